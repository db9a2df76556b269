"""The full-space Hamiltonian build: korvel's native build against OpenFermion's route.

Prints, in one run, for N2/cc-pVDZ at 1.098 Angstrom (28 orbitals, 56 spin-orbitals,
about 191,000 terms), from the same SCF integrals:

1. the native build (``_hamiltonian_from_integrals``: integrals -> normal-ordered
   FermionOperator) and OpenFermion's spinorb_from_spatial -> InteractionOperator ->
   get_fermion_operator -> normal_ordered, each timed on its own, with the ratio
   (target: at least 10);
2. whether the two agree term for term (keys in the same order, coefficients within
   1e-12);
3. with ``--sizes``, the time and peak resident memory of the native build alone, each
   in a fresh process, for water in a few basis sets (for the builder's memory estimate).

    PYTHONPATH=. python benchmarks/bench_hamiltonian_build.py [--repeat N] [--sizes]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

import numpy as np

N2 = "N 0 0 0; N 0 0 1.098"
H2O = "O 0 0 0.1173; H 0 0.7572 -0.4692; H 0 -0.7572 -0.4692"


def integrals(atom, basis):
    """h1, eri (full n^4, chemists' order) and E_nuc in the RHF orbitals."""
    from pyscf import ao2mo, gto, scf

    mol = gto.M(atom=atom, basis=basis, verbose=0)
    mf = scf.RHF(mol).run()
    mo = mf.mo_coeff
    n = mo.shape[1]
    h1 = mo.T @ mf.get_hcore() @ mo
    eri = ao2mo.restore(1, ao2mo.kernel(mol, mo), n)
    return h1, eri, mol.energy_nuc()


def openfermion_route(h1, eri, constant):
    from openfermion import InteractionOperator, get_fermion_operator, normal_ordered
    from openfermion.chem.molecular_data import spinorb_from_spatial

    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1), dtype=float))
    return normal_ordered(get_fermion_operator(InteractionOperator(constant, one, 0.5 * two)))


def timed(fn, repeat=1):
    best, out = float("inf"), None
    for _ in range(repeat):
        out = None
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def peak_of_native_build(basis):
    """(n_orb, terms, seconds, RSS before, peak RSS during) of the native build of water in
    a fresh process: the peak is reset just before the build (/proc/self/clear_refs), so
    that the SCF's own peak does not hide it."""
    code = f"""
import sys, time
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from bench_hamiltonian_build import integrals, H2O
import openfermion
from korvel.core.hamiltonian import _hamiltonian_from_integrals
def status(k):
    for line in open("/proc/self/status"):
        if line.startswith(k):
            return int(line.split()[1]) * 1024
h1, eri, e = integrals(H2O, {basis!r})
open("/proc/self/clear_refs", "w").write("5")
before = status("VmRSS")
start = time.perf_counter()
h = _hamiltonian_from_integrals(h1, eri, e)
t = time.perf_counter() - start
print(h1.shape[0], len(h.terms), t, before, status("VmHWM"))
"""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=root, OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=env, cwd=root, check=True).stdout.split()
    return int(out[0]), int(out[1]), float(out[2]), int(out[3]), int(out[4])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=1, help="best of N native builds")
    ap.add_argument("--sizes", action="store_true", help="peak memory of the native build "
                    "for water in a few basis sets")
    args = ap.parse_args()

    import openfermion  # noqa: F401  (imported once, outside both timings)

    from korvel.core.hamiltonian import _hamiltonian_from_integrals

    t0 = time.perf_counter()
    h1, eri, e_nuc = integrals(N2, "cc-pvdz")
    print(f"N2/cc-pVDZ: {h1.shape[0]} orbitals, {2 * h1.shape[0]} spin-orbitals "
          f"(SCF and integrals {time.perf_counter() - t0:.1f} s)")

    t_native, native = timed(lambda: _hamiltonian_from_integrals(h1, eri, e_nuc), args.repeat)
    print(f"  native build:      {t_native:8.3f} s  ({len(native.terms):,} terms)")
    t_of, reference = timed(lambda: openfermion_route(h1, eri, e_nuc))
    print(f"  OpenFermion route: {t_of:8.3f} s  ({len(reference.terms):,} terms)")
    ratio = t_of / t_native
    print(f"  ratio: {ratio:.1f}x (target >= 10x: {'met' if ratio >= 10 else 'NOT met'})")

    same_keys = list(native.terms) == list(reference.terms)
    diff = max((abs(native.terms[k] - v) for k, v in reference.terms.items()), default=0.0) \
        if same_keys else float("nan")
    agree = same_keys and diff <= 1e-12
    print(f"  terms agree: {'yes' if agree else 'NO'} (same keys in the same order: "
          f"{same_keys}; largest coefficient difference {diff:.1e})")

    if args.sizes:
        print("native build of water, peak resident memory (fresh process each):")
        for basis in ("cc-pvdz", "aug-cc-pvdz", "cc-pvtz"):
            n, terms, t, before, peak = peak_of_native_build(basis)
            print(f"  {basis:12s} n_orb {n:3d}: {terms:>10,} terms, {t:6.2f} s, RSS "
                  f"{before / 2**20:7.0f} MiB before, {peak / 2**20:7.0f} MiB peak "
                  f"({(peak - before) / terms:.0f} bytes per term above)")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
