"""Round trip of a molecular Hamiltonian through the Majorana engine against OpenFermion.

Times majorana_to_fermion(expand_to_majorana(H)) for the H2O/6-31G Hamiltonian (26
spin-orbitals) and OpenFermion's normal_ordered(H) on the same operator, in one run,
checks that both give the same terms, and reports the ratio and the peak memory.

    PYTHONPATH=. python benchmarks/bench_majorana_roundtrip.py [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import resource
import statistics
import time
import tracemalloc

H2O = [("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
       ("H", (0.0, -0.7572, -0.4692))]
TARGET = 30.0


def h2o_hamiltonian(basis="6-31g"):
    """The full-space H2O Hamiltonian as a normal-ordered FermionOperator."""
    try:
        from types import SimpleNamespace

        from korvel.core.hamiltonian import build_problem
        rem = dict(basis=basis, charge=0, multiplicity=1, reference="rhf", active_space="full",
                   avas_aos=None, avas_threshold=0.2, n_act=None, n_act_elec=None,
                   orbital_opt=False)
        return build_problem(SimpleNamespace(molecule={"geometry": H2O}, rem=rem)).hamiltonian, \
            "build_problem"
    except ImportError:
        pass
    import numpy as np
    from openfermion import InteractionOperator, get_fermion_operator, normal_ordered
    from openfermion.chem.molecular_data import spinorb_from_spatial
    from pyscf import ao2mo, gto, scf
    mol = gto.M(atom=H2O, basis=basis, verbose=0)
    mf = scf.RHF(mol).run()
    mo = mf.mo_coeff
    n = mo.shape[1]
    h1 = mo.T @ mf.get_hcore() @ mo
    eri = ao2mo.restore(1, ao2mo.kernel(mol, mo), n)
    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1), dtype=float))
    iop = InteractionOperator(float(mol.energy_nuc()), one, 0.5 * two)
    return normal_ordered(get_fermion_operator(iop)), "PySCF + OpenFermion"


def n_orb_of(terms):
    return max((p for t in terms for p, _ in t), default=0) // 2 + 1


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return out, times


def peak_python_bytes(fn):
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--basis", default="6-31g")
    args = parser.parse_args()

    from openfermion import normal_ordered

    from korvel.downfold import majorana

    h, source = h2o_hamiltonian(args.basis)
    terms = h.terms
    n_orb = n_orb_of(terms)
    print(f"H2O/{args.basis} Hamiltonian from {source}: {len(terms)} terms, "
          f"{2 * n_orb} spin-orbitals")

    def engine():
        return majorana.majorana_to_fermion(majorana.expand_to_majorana(terms), n_orb)

    def reference():
        return normal_ordered(h)

    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    got, t_engine = timed(engine, args.repeat)
    rss_engine = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    want, t_of = timed(reference, args.repeat)
    rss_of = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    want_terms = {t: c for t, c in want.terms.items() if abs(c) > 1e-12}
    same_keys = set(got) == set(want_terms)
    max_dev = max(abs(got[t] - want_terms[t]) for t in want_terms) if same_keys else float("nan")
    print(f"results agree: same {len(got)} terms: {same_keys}, largest deviation {max_dev:.2e}")

    maj = majorana.expand_to_majorana(terms)
    print(f"Majorana form: {len(maj)} monomials")
    for name, t in (("engine round trip", t_engine), ("OpenFermion normal_ordered", t_of)):
        print(f"{name:28s} best {min(t) * 1e3:8.2f} ms   median {statistics.median(t) * 1e3:8.2f} ms")
    ratio_best = min(t_of) / min(t_engine)
    ratio_median = statistics.median(t_of) / statistics.median(t_engine)
    verdict = "meets" if ratio_best >= TARGET else "BELOW"
    print(f"speed-up: {ratio_best:.1f}x (best), {ratio_median:.1f}x (median); "
          f"{verdict} the {TARGET:.0f}x target")

    print(f"peak Python allocations (tracemalloc): engine {peak_python_bytes(engine) / 2**20:.2f} MiB, "
          f"OpenFermion {peak_python_bytes(reference) / 2**20:.2f} MiB")
    print(f"process peak RSS (ru_maxrss): {rss0 / 1024:.1f} MiB before, "
          f"{rss_engine / 1024:.1f} MiB after the engine runs, {rss_of / 1024:.1f} MiB after "
          f"the OpenFermion runs")


if __name__ == "__main__":
    main()
