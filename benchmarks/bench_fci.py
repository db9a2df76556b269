"""Exact sector energies and LCU 1-norms: korvel's native routes against OpenFermion's.

Prints, in one run:

1. the lowest eigenvalue of a 20,000-determinant sector (H2O/6-31G, 6 electrons in
   9 active orbitals: 18 spin-orbitals, C(18, 6) = 18,564 determinants, all spin
   projections), by korvel's fci_energy (native sector matrix, S_z blocks) and by
   OpenFermion's get_number_preserving_sparse_operator + SciPy's eigsh, with the ratio
   (target: at least 50);
2. the largest sector fci_energy solves in 60 s on this machine: H2O/6-31G with 10
   electrons in a growing number of active orbitals, until a solve takes longer;
3. the Pauli LCU 1-norm of the full H2O/6-31G Hamiltonian (26 spin-orbitals): korvel's
   lcu_one_norm (Majorana monomials) against Jordan-Wigner of normal_ordered(H), with the
   ratio (target: at least 100).

    PYTHONPATH=. python benchmarks/bench_fci.py [--budget SECONDS] [--skip-openfermion]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np

H2O = "O 0 0 0.1173; H 0 0.7572 -0.4692; H 0 -0.7572 -0.4692"


def h2o_scf(basis="6-31g"):
    from pyscf import gto, scf

    mol = gto.M(atom=H2O, basis=basis, verbose=0)
    mf = scf.RHF(mol)
    mf.verbose = 0
    mf.kernel()
    return mf


def fermion_operator(h1, eri, ecore):
    """The second-quantised Hamiltonian of spatial integrals (eri in chemists' order)."""
    from openfermion import InteractionOperator, get_fermion_operator, normal_ordered
    from openfermion.chem.molecular_data import spinorb_from_spatial

    n = h1.shape[0]
    from pyscf import ao2mo

    eri = ao2mo.restore(1, eri, n)
    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1), order="C"))
    return normal_ordered(get_fermion_operator(InteractionOperator(ecore, one, 0.5 * two)))


def cas_operator(mf, n_act, n_elec):
    """The CAS(n_elec, n_act) Hamiltonian over the RHF core, and a PySCF CASCI energy."""
    from pyscf import mcscf

    mc = mcscf.CASCI(mf, n_act, n_elec)
    mc.verbose = 0
    h1, ecore = mc.get_h1eff()
    eri = mc.get_h2eff()
    return fermion_operator(h1, eri, ecore)


def timed(fn, *args, **kw):
    t = time.perf_counter()
    out = fn(*args, **kw)
    return out, time.perf_counter() - t


def openfermion_sector_energy(op, n_spinorb, n_elec):
    from openfermion.linalg import get_number_preserving_sparse_operator
    from scipy.sparse.linalg import eigsh

    m = get_number_preserving_sparse_operator(op, n_spinorb, n_elec, spin_preserving=False)
    v0 = np.random.default_rng(1).standard_normal(m.shape[0])
    return float(eigsh(m, k=1, which="SA", return_eigenvectors=False, v0=v0)[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--budget", type=float, default=60.0,
                    help="seconds a native solve may take in part 2 (default 60)")
    ap.add_argument("--skip-openfermion", action="store_true",
                    help="leave out OpenFermion's sector build in part 1 (it takes minutes)")
    args = ap.parse_args()

    from math import comb

    from korvel.core.analysis import fci_energy, lcu_one_norm

    print(f"korvel bench_fci: {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}", flush=True)
    mf = h2o_scf()

    # 1. 20,000 determinants
    op = cas_operator(mf, 9, 6)
    terms = dict(op.terms)
    dim = comb(18, 6)
    print(f"\n1. sector of {dim} determinants (H2O/6-31G, 6 electrons in 9 orbitals, "
          f"{len(terms)} terms)", flush=True)
    e_native, t_native = timed(fci_energy, terms, 18, 6)
    runs = [t_native] + [timed(fci_energy, terms, 18, 6)[1] for _ in range(2)]
    t_native = statistics.median(runs)
    print(f"   korvel fci_energy            {e_native:.12f} Eh   {t_native:8.3f} s "
          "(median of 3, matrix build and solve)", flush=True)
    if not args.skip_openfermion:
        e_of, t_of = timed(openfermion_sector_energy, op, 18, 6)
        print(f"   OpenFermion sector + eigsh   {e_of:.12f} Eh   {t_of:8.3f} s", flush=True)
        print(f"   difference {abs(e_native - e_of):.2e} Eh; native is {t_of / t_native:.0f}x "
              "faster (target 50x)", flush=True)

    # 2. the largest sector in the budget
    print(f"\n2. largest sector solved natively within {args.budget:.0f} s "
          "(H2O/6-31G, 10 electrons)", flush=True)
    best = None
    for n_act in range(8, 14):
        n_so = 2 * n_act
        block = comb(n_act, 5) ** 2
        op_cas = dict(cas_operator(mf, n_act, 10).terms)
        e, t = timed(fci_energy, op_cas, n_so, 10)
        print(f"   {n_act:2d} orbitals: sector {comb(n_so, 10):>9d} determinants, largest "
              f"S_z block {block:>8d}: {e:.10f} Eh in {t:7.2f} s", flush=True)
        if t > args.budget:
            break
        best = (n_act, comb(n_so, 10), block, t)
    if best:
        print(f"   largest within {args.budget:.0f} s: {best[0]} orbitals, {best[1]} "
              f"determinants in the sector, {best[2]} in its largest S_z block "
              f"({best[3]:.1f} s)", flush=True)

    # 3. the 1-norm of the full-space Hamiltonian
    from openfermion import jordan_wigner, normal_ordered
    from pyscf import ao2mo

    n = mf.mo_coeff.shape[1]
    h1 = mf.mo_coeff.T @ mf.get_hcore() @ mf.mo_coeff
    full = fermion_operator(h1, ao2mo.kernel(mf.mol, mf.mo_coeff), mf.mol.energy_nuc())
    print(f"\n3. LCU 1-norm of the full H2O/6-31G Hamiltonian ({len(full.terms)} terms, "
          f"{2 * n} spin-orbitals)", flush=True)
    lam, _ = timed(lcu_one_norm, full)
    native = statistics.median(timed(lcu_one_norm, full)[1] for _ in range(5))

    def jw_norm():
        q = jordan_wigner(normal_ordered(full))
        return sum(abs(c) for k, c in q.terms.items() if k)
    lam_jw, t_jw = timed(jw_norm)
    print(f"   korvel lcu_one_norm          {lam:.10f}   {native * 1e3:9.2f} ms (median of 5)")
    print(f"   Jordan-Wigner route          {lam_jw:.10f}   {t_jw * 1e3:9.2f} ms")
    print(f"   relative difference {abs(lam - lam_jw) / lam_jw:.1e}; native is "
          f"{t_jw / native:.0f}x faster (target 100x)", flush=True)


if __name__ == "__main__":
    main()
