"""The CPU Majorana backend against the reference backend, in one run.

1. similarity_transform(H, T, n_comm=2, max_body=4) of LiH/STO-3G and H2O/STO-3G (full
   space, screened CCSD doubles T2): time on the CPU backend and on the reference
   (OpenFermion) backend, their ratio (target at least 300), and that both give the same
   terms within 1e-10.
1b. rotate_single, hf_expectation and optimal_theta of H2O/STO-3G about one double
   excitation: the CPU backend (engine loops), the array sequence on NumPy and the
   reference, each ratio to the reference at least 100.
2. The whole `korvel` job H2O/6-31G, manual active space (4 orbitals, 4 electrons),
   cendrel, ccsd_n_comm 2, ccsd_max_body 4, backend cpu, as a new process: wall time and
   peak memory (targets under 120 s and 6 GiB).
3. LiH/6-31G, manual (4, 2), the same method on both backends: the downfolded energies
   agree within 1e-6 Eh (the reference takes minutes here; --skip-reference leaves it out).

    PYTHONPATH=$PWD python benchmarks/bench_tavrin.py [--skip-reference] [--sections 1,1b,2,3]

The wall time of section 2 is the machine's: on a 2-core machine shared with other work, the
process's own CPU time (user + system) is the steadier figure.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

GEOMETRIES = {
    "LiH": [("Li", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.6))],
    "H2O": [("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
            ("H", (0.0, -0.7572, -0.4692))],
}
RATIO_TARGET = 300.0
WALL_TARGET = 120.0
MEMORY_TARGET = 6 * 2**30

H2O_631G_JOB = """$molecule
0 1
O   0.0000   0.0000   0.1173
H   0.0000   0.7572  -0.4692
H   0.0000  -0.7572  -0.4692
$end

$rem
basis           6-31g
active_space    manual
n_act           4
n_act_elec      4
method          cendrel
ccsd_n_comm     2
ccsd_max_body   4
backend         cpu
$end
"""


def problem(name, basis, **rem):
    from korvel.core.hamiltonian import build_problem
    full = dict(basis=basis, charge=0, multiplicity=1, reference="rhf", active_space="full",
                avas_aos=None, avas_threshold=0.2, n_act=None, n_act_elec=None,
                orbital_opt=False)
    full.update(rem)
    return build_problem(SimpleNamespace(molecule={"geometry": GEOMETRIES[name]}, rem=full))


def transform_ratio(name):
    from korvel.backends.olmera import OpenFermionBackend
    from korvel.backends.tavrin import CpuBackend
    from korvel.methods.cendrel import _cluster_operator_t2

    p = problem(name, "sto-3g")
    h = dict(p.hamiltonian.terms)
    t = _cluster_operator_t2(p, kind="ccsd_screened", tol=1e-8)
    cpu = CpuBackend()
    cpu.similarity_transform(h, t, n_comm=2, max_body=4)  # warm
    runs = []
    for _ in range(3):
        start = time.perf_counter()
        fast = cpu.similarity_transform(h, t, n_comm=2, max_body=4)
        runs.append(time.perf_counter() - start)
    t_cpu = min(runs)
    start = time.perf_counter()
    ref = OpenFermionBackend().similarity_transform(h, t, n_comm=2, max_body=4)
    t_ref = time.perf_counter() - start
    same = set(fast) == set(ref) and max(abs(fast[k] - ref[k]) for k in ref) <= 1e-10
    ratio = t_ref / t_cpu
    print(f"  {name}/STO-3G: {len(h)} + {len(t)} terms -> {len(fast)} terms; cpu {t_cpu:.4f} s, "
          f"reference {t_ref:.2f} s, ratio {ratio:.0f} (target >= {RATIO_TARGET:.0f}); "
          f"same terms within 1e-10: {same}", flush=True)
    return ratio >= RATIO_TARGET and same


SINGLE_TARGET = 100.0


def single_generator_ratios():
    """rotate_single, hf_expectation and optimal_theta on H2O/STO-3G, one double excitation."""
    from korvel.backends.olmera import OpenFermionBackend
    from korvel.backends.tavrin import CpuBackend, GpuBackend

    class ArrayRoute(GpuBackend):
        """The Majorana array sequence on NumPy (each array step in the engine)."""

        @staticmethod
        def _xp():
            import numpy
            return numpy

    p = problem("H2O", "sto-3g")
    h = dict(p.hamiltonian.terms)
    occ = set(p.occupied)
    n = 2 * p.n_orb
    gen = {((n - 1, 1), (n - 2, 1), (min(occ) + 1, 0), (min(occ), 0)): 1.0,
           ((min(occ), 1), (min(occ) + 1, 1), (n - 2, 0), (n - 1, 0)): -1.0}
    cpu, arrays, ref = CpuBackend(), ArrayRoute(), OpenFermionBackend()
    gpu = GpuBackend() if GpuBackend().available() else None  # timed too where there is a device
    theta = 0.3
    calls = {
        "rotate_single": lambda b: b.rotate_single(h, gen, theta, max_body=None),
        "hf_expectation": lambda b: b.hf_expectation(h, occ),
        "optimal_theta": lambda b: b.optimal_theta(h, gen, occ, p.n_orb),
    }
    ok = True
    def best_of(call, backend, repeat=5):
        call(backend)  # warm
        runs = []
        for _ in range(repeat):
            start = time.perf_counter()
            out = call(backend)
            runs.append(time.perf_counter() - start)
        return out, min(runs)

    for what, call in calls.items():
        fast, t_cpu = best_of(call, cpu)
        _, t_arrays = best_of(call, arrays)
        if gpu is not None:
            _, t_gpu = best_of(call, gpu)
            print(f"  {what}: device {t_gpu * 1e3:.2f} ms", flush=True)
        start = time.perf_counter()
        slow = call(ref)
        t_ref = time.perf_counter() - start
        if isinstance(fast, dict):
            agree = max(abs(fast.get(k, 0) - slow.get(k, 0)) for k in set(fast) | set(slow))
        else:
            agree = abs(fast - slow)
        ratio = t_ref / t_cpu
        ok &= ratio >= SINGLE_TARGET
        print(f"  {what}: cpu {t_cpu * 1e3:.2f} ms (array sequence on NumPy {t_arrays * 1e3:.2f} ms), "
              f"reference {t_ref * 1e3:.1f} ms, ratio {ratio:.0f} (target >= {SINGLE_TARGET:.0f}); "
              f"|cpu - reference| {agree:.1e}", flush=True)
    return ok


def whole_job():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "h2o_631g.in")
        with open(path, "w") as f:
            f.write(H2O_631G_JOB)
        start = time.perf_counter()
        run = subprocess.run([sys.executable, "-m", "korvel", path], capture_output=True,
                             text=True, cwd=tmp, env=dict(os.environ))
        wall = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    for line in run.stdout.splitlines() + run.stderr.splitlines():
        if "commutator order" in line or "downfolded energy" in line:
            print("   ", line.strip())
    if run.returncode != 0:
        print(run.stdout[-2000:], run.stderr[-2000:])
    ok = run.returncode == 0 and wall < WALL_TARGET and peak < MEMORY_TARGET
    print(f"  H2O/6-31G manual (4,4), n_comm 2, max_body 4, backend cpu: exit {run.returncode}, "
          f"wall {wall:.1f} s (target < {WALL_TARGET:.0f}), peak memory {peak / 2**30:.2f} GiB "
          f"(target < 6)", flush=True)
    return ok


def energies_agree():
    from korvel.backends.olmera import OpenFermionBackend
    from korvel.backends.tavrin import CpuBackend
    from korvel.methods.cendrel import CCSDDownfold

    p = problem("LiH", "6-31g", active_space="manual", n_act=4, n_act_elec=2)
    options = {"ccsd_n_comm": 2, "ccsd_max_body": 4, "generator_pool": "ccsd_screened",
               "pool_tol": 1e-8}
    out = {}
    for backend in (CpuBackend(), OpenFermionBackend()):
        start = time.perf_counter()
        out[backend.name] = CCSDDownfold(options).run(p, backend).energy
        print(f"  LiH/6-31G manual (4,2) on {backend.name}: {out[backend.name]:.10f} Eh in "
              f"{time.perf_counter() - start:.1f} s", flush=True)
    diff = abs(out["cpu"] - out["openfermion"])
    print(f"  |E(cpu) - E(reference)| = {diff:.2e} Eh (target <= 1e-6)")
    return diff <= 1e-6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-reference", action="store_true",
                        help="leave out the LiH/6-31G run on the reference backend")
    parser.add_argument("--sections", default="1,1b,2,3",
                        help="comma-separated sections to run (default: all, 1,1b,2,3)")
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    ok = True
    if "1" in sections:
        print("1. similarity_transform(H, T, n_comm=2, max_body=4), CPU backend vs reference:")
        for name in ("LiH", "H2O"):
            ok &= transform_ratio(name)
    if "1b" in sections:
        print("1b. single-generator operations on H2O/STO-3G, CPU backend vs reference:")
        ok &= single_generator_ratios()
    if "2" in sections:
        print("2. the whole korvel job:")
        ok &= whole_job()
    if "3" in sections and not args.skip_reference:
        print("3. downfolded energy on both backends:")
        ok &= energies_agree()
    print("all targets met" if ok else "some target missed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
