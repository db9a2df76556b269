"""Round trip of a molecular Hamiltonian through the Majorana engine against OpenFermion.

Times majorana_to_fermion(expand_to_majorana(H)) for the H2O/6-31G Hamiltonian (26
spin-orbitals) and OpenFermion's normal_ordered(H) on the same operator, in one run,
checks that both give the same terms, and reports the ratio and the peak memory. Calls are
timed warm, back to back as timeit does, and cold, each after a full collection; the two
routes take turns, round after round, so that machine noise falls on both alike.

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
# The reader holds every object it reads and builds the result dict through the public
# C API only, which costs some of the earlier speed; the floor is on the warm median.
TARGET = 15.0


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


def interleaved(routes, rounds, warm):
    """Times the routes {name: (fn, calls per round)} in turn, round after round, so that a
    spell of machine noise falls on both routes alike rather than on one block of calls.

    Warm calls run back to back as timeit runs them: the collector is off, the previous
    result is released before each call, and each route's turn in a round starts with one
    untimed call. Cold calls each follow a full collection (whose sweep over the heap also
    evicts the operator from the caches). Returns ({name: times}, {name: last result})."""
    times = {name: [] for name in routes}
    out = {name: None for name in routes}
    enabled = gc.isenabled()
    try:
        for _ in range(rounds):
            for name, (fn, calls) in routes.items():
                out[name] = None
                if warm:
                    gc.disable()
                    out[name] = fn()
                for _ in range(calls):
                    out[name] = None
                    if not warm:
                        gc.collect()
                    t0 = time.perf_counter()
                    out[name] = fn()
                    times[name].append(time.perf_counter() - t0)
                if enabled:
                    gc.enable()
    finally:
        if enabled:
            gc.enable()
    return times, out


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
    parser.add_argument("--repeat", type=int, default=20,
                        help="rounds; each times both routes in turn")
    parser.add_argument("--engine-calls", type=int, default=5,
                        help="warm engine calls per round (one OpenFermion call per round)")
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
    cold, results = interleaved({"engine": (engine, 1), "reference": (reference, 1)},
                                args.repeat, warm=False)
    got, want = results["engine"], results["reference"]
    warm, _ = interleaved({"engine": (engine, args.engine_calls), "reference": (reference, 1)},
                          args.repeat, warm=True)
    rss_end = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t_engine, t_of = cold["engine"], cold["reference"]
    w_engine, w_of = warm["engine"], warm["reference"]

    want_terms = {t: c for t, c in want.terms.items() if abs(c) > 1e-12}
    same_keys = set(got) == set(want_terms)
    max_dev = max(abs(got[t] - want_terms[t]) for t in want_terms) if same_keys else float("nan")
    print(f"results agree: same {len(got)} terms: {same_keys}, largest deviation {max_dev:.2e}")

    maj = majorana.expand_to_majorana(terms)
    print(f"Majorana form: {len(maj)} monomials")
    # The target is judged on warm calls, the way timeit and pyperf time a function; the
    # cold calls show what a call costs right after a full collection, for reference.
    print(f"{args.repeat} rounds, each timing both routes in turn")
    print(f"warm calls (back to back, collector off, as timeit; {args.engine_calls} engine calls "
          "and 1 OpenFermion call a round):")
    for name, t in (("engine round trip", w_engine), ("OpenFermion normal_ordered", w_of)):
        print(f"  {name:28s} best {min(t) * 1e3:8.2f} ms   median {statistics.median(t) * 1e3:8.2f} ms")
    print("cold calls (a full collection before each, which also evicts the operator from the caches):")
    for name, t in (("engine round trip", t_engine), ("OpenFermion normal_ordered", t_of)):
        print(f"  {name:28s} best {min(t) * 1e3:8.2f} ms   median {statistics.median(t) * 1e3:8.2f} ms")
    warm_best = min(w_of) / min(w_engine)
    warm_median = statistics.median(w_of) / statistics.median(w_engine)
    cold_best = min(t_of) / min(t_engine)
    cold_median = statistics.median(t_of) / statistics.median(t_engine)
    verdict = "meets" if warm_median >= TARGET else "BELOW"
    print(f"speed-up: {warm_best:.1f}x (best), {warm_median:.1f}x (median); the median "
          f"{verdict} the {TARGET:.0f}x target")
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
          f"{rss_end / 1024:.1f} after them")


if __name__ == "__main__":
    main()
