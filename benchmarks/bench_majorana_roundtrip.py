"""Round trip of a molecular Hamiltonian through the Majorana engine against OpenFermion.

Times majorana_to_fermion(expand_to_majorana(H)) for the H2O/6-31G Hamiltonian (26
spin-orbitals) and OpenFermion's normal_ordered(H) on the same operator, in one run,
checks that both give the same terms, and reports the ratio and the peak memory. Calls are
timed warm, back to back as timeit does, and cold, each after a full collection.

    PYTHONPATH=. python benchmarks/bench_majorana_roundtrip.py [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import resource
import statistics
import subprocess
import sys
import tempfile
import time

H2O = [("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
       ("H", (0.0, -0.7572, -0.4692))]
TARGET = 30.0


def h2o_hamiltonian(basis="6-31g"):
    """The full-space H2O Hamiltonian from the problem builder."""
    from types import SimpleNamespace

    from korvel.core.hamiltonian import build_problem
    rem = dict(basis=basis, charge=0, multiplicity=1, reference="rhf", active_space="full",
               avas_aos=None, avas_threshold=0.2, n_act=None, n_act_elec=None,
               orbital_opt=False)
    problem = build_problem(SimpleNamespace(molecule={"geometry": H2O}, rem=rem))
    return problem.hamiltonian, "build_problem"


def n_orb_of(terms):
    return max((p for t in terms for p, _ in t), default=0) // 2 + 1


def timed(fn, repeat):
    """Times fn() `repeat` times, each call cold: the previous run's result is released and
    the cyclic collector run before it (the collector's sweep over the whole heap also
    evicts the operator from the caches), so no call pays for freeing the one before it."""
    times = []
    out = None
    for _ in range(repeat):
        out = None
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return out, times


def timed_warm(fn, repeat):
    """Times fn() `repeat` times back to back, as timeit does: the collector is off during
    the calls, and the previous run's result is released before each of them."""
    times = []
    out = fn()
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            out = None
            t0 = time.perf_counter()
            out = fn()
            times.append(time.perf_counter() - t0)
    finally:
        if enabled:
            gc.enable()
    return out, times


# Run in a fresh interpreter, so that the resident-set growth belongs to one path alone.
_CHILD = """
import gc, pickle, resource, sys, tracemalloc

def peak_rss_kib():
    # VmHWM belongs to this process image alone; ru_maxrss can carry the parent's peak
    # across exec on Linux.
    try:
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

terms = pickle.load(open(sys.argv[1], "rb"))
n_orb = int(sys.argv[3])
if sys.argv[2] == "engine":
    from korvel.downfold import majorana
    run = lambda: majorana.majorana_to_fermion(majorana.expand_to_majorana(terms), n_orb)
else:
    from openfermion import FermionOperator, normal_ordered
    h = FermionOperator()
    h.terms = dict(terms)
    run = lambda: normal_ordered(h)
gc.collect()
before = peak_rss_kib()
tracemalloc.start()
run()
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
after = peak_rss_kib()
print(peak, before, after)
"""


def peak_memory(path, kind, n_orb):
    out = subprocess.run([sys.executable, "-c", _CHILD, path, kind, str(n_orb)],
                         capture_output=True, text=True, check=True, env=os.environ.copy())
    peak, before, after = (int(x) for x in out.stdout.split())
    return peak, before, after


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20)
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
    _, w_engine = timed_warm(engine, args.repeat)
    _, w_of = timed_warm(reference, args.repeat)

    want_terms = {t: c for t, c in want.terms.items() if abs(c) > 1e-12}
    same_keys = set(got) == set(want_terms)
    max_dev = max(abs(got[t] - want_terms[t]) for t in want_terms) if same_keys else float("nan")
    print(f"results agree: same {len(got)} terms: {same_keys}, largest deviation {max_dev:.2e}")

    maj = majorana.expand_to_majorana(terms)
    print(f"Majorana form: {len(maj)} monomials")
    # The target is judged on warm calls, the way timeit and pyperf time a function; the
    # cold calls show what a call costs right after a full collection, for reference.
    print("warm calls (back to back, collector off, as timeit):")
    for name, t in (("engine round trip", w_engine), ("OpenFermion normal_ordered", w_of)):
        print(f"  {name:28s} best {min(t) * 1e3:8.2f} ms   median {statistics.median(t) * 1e3:8.2f} ms")
    print("cold calls (a full collection before each, which also evicts the operator from the caches):")
    for name, t in (("engine round trip", t_engine), ("OpenFermion normal_ordered", t_of)):
        print(f"  {name:28s} best {min(t) * 1e3:8.2f} ms   median {statistics.median(t) * 1e3:8.2f} ms")
    warm_best = min(w_of) / min(w_engine)
    warm_median = statistics.median(w_of) / statistics.median(w_engine)
    cold_best = min(t_of) / min(t_engine)
    cold_median = statistics.median(t_of) / statistics.median(t_engine)
    verdict = "meets" if warm_best >= TARGET else "BELOW"
    print(f"speed-up: {warm_best:.1f}x (best), {warm_median:.1f}x (median); {verdict} the "
          f"{TARGET:.0f}x target")
    print(f"speed-up on cold calls: {cold_best:.1f}x (best), {cold_median:.1f}x (median)")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "terms.pickle")
        with open(path, "wb") as f:
            pickle.dump(dict(terms), f)
        for kind, name in (("engine", "engine round trip"),
                           ("openfermion", "OpenFermion normal_ordered")):
            peak, before, after = peak_memory(path, kind, n_orb)
            print(f"{name:28s} peak Python allocations {peak / 2**20:7.2f} MiB (tracemalloc), "
                  f"peak RSS {before / 1024:.1f} -> {after / 1024:.1f} MiB (fresh interpreter)")
    print(f"this process: peak RSS {rss0 / 1024:.1f} MiB before the timed runs, "
          f"{rss_engine / 1024:.1f} after the engine's, {rss_of / 1024:.1f} after OpenFermion's")


if __name__ == "__main__":
    main()
