"""Doubles amplitudes from the problem's own integrals, checked against PySCF."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pytest
from pyscf import ao2mo, cc, gto, mp, scf
from pyscf.cc import ccd

from chem import GEOMETRIES, fresh_python, problem
from korvel.core.amplitudes import compute_t2

KINDS = ["ccsd_screened", "ccd_screened", "mp2_screened"]


def _scf(name, basis="sto-3g"):
    mol = gto.M(atom=GEOMETRIES[name], basis=basis, verbose=0)
    return scf.RHF(mol).run(conv_tol=1e-12)


def _problem_on(mf, mo, eps):
    """A problem record holding the integrals of orbitals ``mo`` (as the builder stores them)."""
    mol = mf.mol
    n = mo.shape[1]
    return SimpleNamespace(
        n_orb=n, n_elec=mol.nelectron, spin_2s=0,
        extras={"mo_coeff": mo, "h1": mo.T @ mf.get_hcore() @ mo,
                "eri": ao2mo.restore(1, ao2mo.kernel(mol, mo), n),
                "e_nuc": float(mol.energy_nuc()), "eps": np.asarray(eps, dtype=float)})


def _rotated_orbitals(mf, seed):
    """SCF orbitals mixed by random rotations inside the occupied and the virtual blocks."""
    rng = np.random.default_rng(seed)
    nocc = mf.mol.nelectron // 2
    mo = mf.mo_coeff.copy()
    for lo, hi in ((0, nocc), (nocc, mo.shape[1])):
        q, _ = np.linalg.qr(rng.normal(size=(hi - lo, hi - lo)))
        mo[:, lo:hi] = mo[:, lo:hi] @ q
    return mo


def _oracle(mf, kind, mo):
    """PySCF's own amplitudes of the real molecule in orbitals ``mo``."""
    if kind == "mp2_screened":
        solver = mp.MP2(mf, mo_coeff=mo)
        solver.kernel()
        return solver.t2
    solver = (cc.CCSD if kind == "ccsd_screened" else ccd.CCD)(mf, mo_coeff=mo)
    solver.conv_tol, solver.conv_tol_normt = 1e-12, 1e-10
    solver.kernel()
    assert solver.converged
    return solver.t2


@pytest.mark.parametrize("name", ["lih", "h4", "h2o"])
@pytest.mark.parametrize("kind", KINDS)
def test_amplitudes_match_pyscf_on_the_canonical_orbitals(name, kind):
    mf = _scf(name)
    t2 = compute_t2(_problem_on(mf, mf.mo_coeff, mf.mo_energy), kind)
    nocc = mf.mol.nelectron // 2
    nvir = mf.mo_coeff.shape[1] - nocc
    assert isinstance(t2, np.ndarray) and t2.dtype == np.float64
    assert t2.shape == (nocc, nocc, nvir, nvir)
    np.testing.assert_allclose(t2, _oracle(mf, kind, mf.mo_coeff), atol=1e-8, rtol=0)


@pytest.mark.parametrize("kind", ["ccsd_screened", "ccd_screened"])
def test_coupled_cluster_amplitudes_follow_the_problem_orbitals(kind):
    # Non-canonical orbitals: a second SCF (or canonical orbitals of any kind) would give
    # different numbers; the amplitudes must belong to exactly the orbitals of the record.
    mf = _scf("h4")
    mo = _rotated_orbitals(mf, seed=7)
    t2 = compute_t2(_problem_on(mf, mo, np.zeros(mo.shape[1])), kind)
    canonical = _oracle(mf, kind, mf.mo_coeff)
    assert np.abs(t2 - canonical).max() > 1e-3
    np.testing.assert_allclose(t2, _oracle(mf, kind, mo), atol=1e-8, rtol=0)


def test_ccd_holds_the_singles_at_zero():
    # LiH has symmetry-allowed singles, so CCD and CCSD doubles differ.
    mf = _scf("lih")
    p = _problem_on(mf, mf.mo_coeff, mf.mo_energy)
    ccsd_t2, ccd_t2 = compute_t2(p, "ccsd_screened"), compute_t2(p, "ccd_screened")
    assert np.abs(ccsd_t2 - ccd_t2).max() > 1e-5
    ref = ccd.CCD(mf)
    ref.conv_tol = 1e-12
    ref.kernel()
    nocc = mf.mol.nelectron // 2
    eri = p.extras["eri"]
    ovov = eri[:nocc, nocc:, :nocc, nocc:]
    e_corr = (2 * np.einsum("iajb,ijab", ovov, ccd_t2)
              - np.einsum("ibja,ijab", ovov, ccd_t2))
    assert e_corr == pytest.approx(ref.e_corr, abs=1e-9)


def test_first_order_amplitudes_use_the_stored_orbital_energies():
    mf = _scf("h2o")
    eps = mf.mo_energy.copy()
    nocc = mf.mol.nelectron // 2
    eps[nocc:] += 0.5  # shifted virtual energies: the amplitudes must follow them
    p = _problem_on(mf, mf.mo_coeff, eps)
    ovov = p.extras["eri"][:nocc, nocc:, :nocc, nocc:]
    denom = (eps[:nocc, None, None, None] + eps[None, :nocc, None, None]
             - eps[None, None, nocc:, None] - eps[None, None, None, nocc:])
    np.testing.assert_allclose(compute_t2(p, "mp2_screened"),
                               ovov.transpose(0, 2, 1, 3) / denom, atol=1e-12, rtol=0)


@pytest.mark.parametrize("rem", [dict(active_space="manual", n_act=3, n_act_elec=2),
                                 dict(active_space="full")])
def test_built_problem_correlates_every_occupied_orbital(rem):
    p = problem("lih", **rem)
    t2 = compute_t2(p, "ccsd_screened")
    nocc = p.n_elec // 2
    assert t2.shape == (nocc, nocc, p.n_orb - nocc, p.n_orb - nocc)  # core included
    mf = _scf("lih")
    np.testing.assert_allclose(t2, _oracle(mf, "ccsd_screened", p.extras["mo_coeff"]),
                               atol=1e-8, rtol=0)


def _fake(n_elec=2, spin_2s=0):
    return SimpleNamespace(n_elec=n_elec, n_orb=2, spin_2s=spin_2s, extras={})


@pytest.mark.parametrize("n_elec, spin_2s", [(2, 2), (3, 1), (3, 0)])
def test_open_shell_is_refused(n_elec, spin_2s):
    with pytest.raises(ValueError, match="closed-shell") as err:
        compute_t2(_fake(n_elec, spin_2s), "ccsd_screened")
    assert f"spin_2s={spin_2s}" in str(err.value)


@pytest.mark.parametrize("kind", ["all_doubles", "ccsd", "CCSD_SCREENED", ""])
def test_unknown_kind_is_refused(kind):
    with pytest.raises(ValueError, match="unknown amplitude kind") as err:
        compute_t2(_fake(), kind)
    assert repr(kind) in str(err.value)


def test_kind_must_be_a_string():
    with pytest.raises(TypeError, match="kind must be a str"):
        compute_t2(_fake(), 3)


def test_missing_integrals_are_named():
    with pytest.raises(ValueError, match="h1, eri, e_nuc, eps"):
        compute_t2(_fake(), "mp2_screened")


def test_module_loads_without_pyscf():
    code = ("import sys, korvel.core.amplitudes\n"
            "print('pyscf' in sys.modules)\n")
    out = fresh_python(code)
    assert out.stdout.strip() == "False"
