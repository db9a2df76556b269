"""Cluster amplitudes for the coupled-cluster downfold, from the problem's own integrals.

``compute_t2(problem, kind)`` returns t2[i, j, a, b], the amplitude of the opposite-spin
double excitation i(alpha) j(beta) -> a(alpha) b(beta) in the working orbitals of
``problem.hamiltonian`` (occupied orbitals first, virtual index a counted from the first
virtual orbital). ``compute_amplitudes(problem, kind)`` returns the singles t1[i, a]
(the same for both spins; zero for the doubles-only kinds) together with t2, from one
solve. Every doubly occupied orbital is correlated, core included, so the
amplitudes belong to the same determinant that the Hamiltonian's reference occupies.

The amplitudes are computed with PySCF on a mean field that lives entirely in the
working molecular-orbital basis: the semicanonical one- and two-electron integrals of
``problem.extras`` are injected into a Mole without atoms (overlap = identity, orbital
coefficients = identity), so no second self-consistent field is ever run and the
amplitudes cannot drift to another set of orbitals. PySCF is imported inside the call.
"""

from __future__ import annotations

from typing import Any

#: amplitude sources understood by :func:`compute_t2`
KINDS = ("ccsd_screened", "ccd_screened", "mp2_screened")

# Convergence of the coupled-cluster iterations: tight, because the downfolded
# reference energy is the coupled-cluster energy functional of these amplitudes.
_CC_CONV_TOL = 1e-11
_CC_CONV_TOL_NORMT = 1e-9
_CC_MAX_CYCLE = 200


def _check_kind(kind: Any) -> str:
    if not isinstance(kind, str):
        raise TypeError(f"kind must be a str, not {type(kind).__name__}")
    if kind not in KINDS:
        raise ValueError(
            f"unknown amplitude kind {kind!r}; expected one of {', '.join(KINDS)}")
    return kind


def _closed_shell_occupation(problem) -> int:
    """Number of doubly occupied orbitals; ValueError for an open-shell problem."""
    n_elec = int(problem.n_elec)
    spin_2s = int(problem.spin_2s)
    if spin_2s != 0 or n_elec % 2 != 0:
        raise ValueError(
            "doubles amplitudes need a closed-shell problem (spin_2s = 0 and an even "
            f"electron count); got spin_2s={spin_2s}, n_elec={n_elec}")
    return n_elec // 2


def _integrals(problem):
    """(h1, eri as an n_orb^4 array, e_nuc, eps) from the problem's extras, checked."""
    import numpy as np

    extras = problem.extras
    missing = [k for k in ("h1", "eri", "e_nuc", "eps") if k not in extras]
    if missing:
        raise ValueError(
            "problem.extras lacks the semicanonical integrals "
            f"{', '.join(missing)}; build the problem with build_problem")
    n_orb = int(problem.n_orb)
    h1 = np.asarray(extras["h1"], dtype=float)
    eri = np.asarray(extras["eri"], dtype=float)
    eps = np.asarray(extras["eps"], dtype=float)
    e_nuc = float(extras["e_nuc"])
    if h1.shape != (n_orb, n_orb):
        raise ValueError(f"extras['h1'] has shape {h1.shape}; expected {(n_orb, n_orb)}")
    if eri.shape != (n_orb,) * 4:
        raise ValueError(f"extras['eri'] has shape {eri.shape}; expected {(n_orb,) * 4}")
    if eps.shape != (n_orb,):
        raise ValueError(f"extras['eps'] has shape {eps.shape}; expected {(n_orb,)}")
    return h1, eri, e_nuc, eps


def _mean_field(problem):
    """A PySCF RHF object in the working orbital basis, built from problem.extras.

    The first n_elec // 2 working orbitals are doubly occupied, exactly the reference
    determinant of ``problem.hamiltonian``; the orbital energies are the semicanonical
    ``eps``. Nothing is optimised.
    """
    import numpy as np
    from pyscf import ao2mo, gto, scf

    n_occ = _closed_shell_occupation(problem)
    h1, eri, e_nuc, eps = _integrals(problem)
    n_orb = h1.shape[0]
    if n_occ > n_orb:
        raise ValueError(
            f"{2 * n_occ} electrons do not fit into {n_orb} spatial orbitals")

    mol = gto.M(verbose=0)
    mol.nelectron = 2 * n_occ
    mol.spin = 0
    mol.incore_anyway = True  # keep the injected integrals in memory

    mf = scf.RHF(mol)
    mf.verbose = 0
    eye = np.eye(n_orb)
    mf.get_hcore = lambda *args, **kwargs: h1
    mf.get_ovlp = lambda *args, **kwargs: eye
    mf.energy_nuc = lambda *args, **kwargs: e_nuc
    mf._eri = ao2mo.restore(8, eri, n_orb)
    mf.mo_coeff = eye
    mo_occ = np.zeros(n_orb)
    mo_occ[:n_occ] = 2.0
    mf.mo_occ = mo_occ
    mf.mo_energy = eps.copy()
    mf.e_tot = float(mf.energy_tot(dm=mf.make_rdm1(eye, mo_occ)))
    mf.converged = True
    return mf


def _coupled_cluster(mf, kind: str):
    """Converged CCSD or CCD (singles held at zero) on ``mf``; returns the solver."""
    from pyscf import cc
    from pyscf.cc import ccd

    solver = cc.CCSD(mf) if kind == "ccsd_screened" else ccd.CCD(mf)
    solver.verbose = 0
    solver.conv_tol = _CC_CONV_TOL
    solver.conv_tol_normt = _CC_CONV_TOL_NORMT
    solver.max_cycle = _CC_MAX_CYCLE
    solver.kernel()
    if not solver.converged:
        method = "CCSD" if kind == "ccsd_screened" else "CCD"
        raise RuntimeError(
            f"{method} amplitudes did not converge in {_CC_MAX_CYCLE} iterations "
            f"(kind {kind!r}); the reference is too strongly correlated for "
            "coupled-cluster doubles, try mp2_screened or a larger active space")
    return solver


def _first_order(mf, eps):
    """First-order (MP2) doubles from the semicanonical orbital energies."""
    from pyscf import mp

    pt = mp.MP2(mf)
    pt.verbose = 0
    eris = pt.ao2mo(mf.mo_coeff)
    _, t2 = pt.init_amps(mo_energy=eps, mo_coeff=mf.mo_coeff, eris=eris)
    return t2


def compute_amplitudes(problem, kind: str, *, with_energy: bool = False):
    """(t1, t2): singles t1[i, a] (i -> a, either spin) and doubles t2[i, j, a, b].

    ``kind``: "ccsd_screened" (singles and doubles of converged CCSD), "ccd_screened"
    (CCD: the CCSD equations with the singles held at zero) or "mp2_screened"
    (first-order doubles (ia|jb) / (e_i + e_j - e_a - e_b) from the semicanonical
    energies; no singles at first order). The doubles-only kinds return t1 = 0.
    Float arrays of shapes (n_occ, n_vir) and (n_occ, n_occ, n_vir, n_vir), with
    n_occ = n_elec // 2 and n_vir = n_orb - n_occ. The screening itself happens where
    the cluster operator is built. With ``with_energy``, (t1, t2, energy): the total
    energy of the coupled-cluster solve (CCSD or CCD), None for the first-order kind.
    """
    import numpy as np

    kind = _check_kind(kind)
    mf = _mean_field(problem)
    n_occ = int(problem.n_elec) // 2
    n_vir = int(problem.n_orb) - n_occ
    t1 = np.zeros((n_occ, n_vir))
    energy = None
    if n_occ == 0 or n_vir == 0:
        t2 = np.zeros((n_occ, n_occ, n_vir, n_vir))
        if kind != "mp2_screened":
            energy = float(mf.e_tot)  # nothing to correlate
    elif kind == "mp2_screened":
        t2 = _first_order(mf, np.asarray(problem.extras["eps"], dtype=float))
    else:
        solver = _coupled_cluster(mf, kind)
        t2 = solver.t2
        energy = float(solver.e_tot)
        if kind == "ccsd_screened":
            t1 = np.ascontiguousarray(np.asarray(solver.t1).real, dtype=float)
    t2 = np.ascontiguousarray(np.asarray(t2).real, dtype=float)
    return (t1, t2, energy) if with_energy else (t1, t2)


def ccsd_energy(problem) -> float:
    """Total CCSD energy of the problem's own integrals (one converged solve)."""
    return compute_amplitudes(problem, "ccsd_screened", with_energy=True)[2]


def compute_t2(problem, kind: str):
    """Doubles amplitudes t2[i, j, a, b] (i alpha, j beta -> a alpha, b beta).

    The doubles of :func:`compute_amplitudes`: a float array of shape
    (n_occ, n_occ, n_vir, n_vir).
    """
    return compute_amplitudes(problem, kind)[1]
