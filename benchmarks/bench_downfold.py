"""The fold-aware downfold against transform-then-fold, and the N2/cc-pVDZ job.

Part 1, H2O/6-31G with a manual (4,4) active space, T = T1 + T2 of CCSD, n_comm 2,
max_body 4: the downfold stage (the doubles series and the fold, after the exact singles
transform) on the CPU backend, once fold-aware and once as the whole-space
similarity_transform followed by downfold_to_active, on the same inputs. Each route runs
in a process of its own, so that its peak memory is its own; the stage's share is the
peak less the memory held before it started. Prints both times, the ratio (target: at
least 30) and the largest difference between the two operators.

Part 2, the whole CLI job on N2/cc-pVDZ at 1.1 Angstrom, manual (6,6), max_body 4, at
n_comm 2 and 4 (examples/n2_ccpvdz_downfold.in): wall time, peak memory, the downfolded
energy, the CCSD energy of the amplitude solve, and CASCI (PySCF, on the same orbitals).
Targets on a 2-core machine: n_comm 2 under 3 minutes and 4 GiB, n_comm 4 under 10
minutes.

    PYTHONPATH=$PWD python benchmarks/bench_downfold.py [--parts 1,2] [--repeat N]

Benchmarks are not timed tests: nothing here fails on a time.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WATER = [("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
         ("H", (0.0, -0.7572, -0.4692))]


def rss_kib(field: str = "VmRSS") -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def run_child(args: list[str]) -> tuple[dict, float]:
    """Runs a child process; returns the JSON object of its last line starting with "{"
    and its wall seconds. Each child reports its own peak (VmHWM): a forked child's
    rusage counts the parent's pages too."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT), env.get("PYTHONPATH", "")])
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, *args], capture_output=True, env=env, text=True)
    wall = time.perf_counter() - t0
    if proc.returncode != 0:
        raise SystemExit(f"child {args} failed with status {proc.returncode}:\n{proc.stderr}")
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    return (json.loads(lines[-1]) if lines else {}), wall


# The CLI in a child that reports its peak memory after the job.
CLI_CHILD = ("import json, sys\n"
             "from korvel.cli import main\n"
             "rc = main(sys.argv[1:])\n"
             "peak = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')]\n"
             "print(json.dumps({'rc': rc, 'peak_kib': int(peak[0].split()[1])}))\n")


# -- part 1: the downfold stage ------------------------------------------------------

def prepare_stage(path: str) -> None:
    """Builds the problem, the amplitudes and the singles transform once, and pickles
    what the doubles stage needs."""
    sys.path.insert(0, str(ROOT))
    from types import SimpleNamespace

    from korvel.backends.tavrin import CpuBackend
    from korvel.core.hamiltonian import build_problem
    from korvel.methods import cendrel

    rem = dict(basis="6-31g", charge=0, multiplicity=1, reference="rhf",
               active_space="manual", avas_aos=None, avas_threshold=0.2, n_act=4,
               n_act_elec=4, orbital_opt=False)
    p = build_problem(SimpleNamespace(molecule={"geometry": WATER}, rem=rem))
    T = cendrel._cluster_operator(p, kind="ccsd_screened", tol=1e-8, singles=True)
    T1 = {t: c for t, c in T.items() if len(t) == 2}
    T2 = {t: c for t, c in T.items() if len(t) == 4}
    H = CpuBackend().similarity_transform(dict(p.hamiltonian.terms), T1, n_comm=4,
                                          max_body=None)
    space = dict(n_core=p.n_core, n_act=p.n_act, occupied=sorted(p.occupied))
    with open(path, "wb") as f:
        pickle.dump((H, T2, space), f)
    print(f"H2O/6-31G (4,4): {len(H)} terms of H after the singles transform, "
          f"{len(T2)} doubles", flush=True)


def stage_child(path: str, route: str, repeat: int, out_path: str) -> None:
    """One route of the downfold stage, timed (best of `repeat`), with its memory."""
    from types import SimpleNamespace

    from korvel.backends.tavrin import CpuBackend
    from korvel.downfold.projector import downfold_to_active

    with open(path, "rb") as f:
        H, T2, space = pickle.load(f)
    space = SimpleNamespace(n_core=space["n_core"], n_act=space["n_act"],
                            occupied=set(space["occupied"]))
    backend = CpuBackend()
    before = rss_kib()
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        if route == "fold-aware":
            result = backend.fold_aware_transform(H, T2, space, n_comm=2,
                                                  max_body=4)["effective_hamiltonian"]
        else:
            result = downfold_to_active(
                backend.similarity_transform(H, T2, n_comm=2, max_body=4), space)
        best = min(best, time.perf_counter() - t0)
    with open(out_path, "wb") as f:
        pickle.dump(result, f)
    print(json.dumps({"seconds": best, "rss_before_kib": before, "peak_kib": rss_kib("VmHWM"),
                      "terms": len(result)}))


def part1(repeat: int) -> None:
    print("== 1. downfold stage, H2O/6-31G (4,4), n_comm 2, max_body 4 ==", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "stage.pkl")
        prepare_stage(data)
        rows = {}
        for route, n in (("fold-aware", repeat), ("transform-then-fold", 1)):
            out = os.path.join(tmp, f"{route}.pkl")
            info, _ = run_child([__file__, "--stage-child", data, route, str(n), out])
            with open(out, "rb") as f:
                info["operator"] = pickle.load(f)
            peak = info["peak_kib"]
            rows[route] = info
            print(f"  {route:<20} {info['seconds']:10.3f} s   stage memory "
                  f"{(peak - info['rss_before_kib']) / 1024:8.1f} MiB   (process peak "
                  f"{peak / 1024:.0f} MiB)   {info['terms']} terms", flush=True)
        fast, slow = rows["fold-aware"], rows["transform-then-fold"]
        a, b = fast["operator"], slow["operator"]
        worst = max((abs(a.get(k, 0) - b.get(k, 0)) / max(1.0, abs(b.get(k, 0)))
                     for k in set(a) | set(b)), default=0.0)
        print(f"  ratio (transform-then-fold / fold-aware): "
              f"{slow['seconds'] / fast['seconds']:.0f}x (target >= 30x); same keys: "
              f"{set(a) == set(b)}; largest difference {worst:.1e}", flush=True)


# -- part 2: the N2/cc-pVDZ job ----------------------------------------------------

def casci_energy() -> float:
    from pyscf import gto, mcscf, scf

    mol = gto.M(atom=[("N", (0, 0, 0)), ("N", (0, 0, 1.1))], basis="cc-pvdz", verbose=0)
    mf = scf.RHF(mol).run(conv_tol=1e-10)
    return float(mcscf.CASCI(mf, 6, 6).kernel()[0])


def part2() -> None:
    print("== 2. whole job, N2/cc-pVDZ at 1.1 A, manual (6,6), max_body 4 ==", flush=True)
    example = (ROOT / "examples" / "n2_ccpvdz_downfold.in").read_text()
    e_casci = casci_energy()
    with tempfile.TemporaryDirectory() as tmp:
        for n_comm in (2, 4):
            job = Path(tmp, f"n2_{n_comm}.in")
            job.write_text(example.replace("ccsd_n_comm     2", f"ccsd_n_comm     {n_comm}"))
            out = Path(tmp, f"n2_{n_comm}.json")
            info, wall = run_child(["-c", CLI_CHILD, str(job), "--json", str(out)])
            if info.get("rc") != 0:
                raise SystemExit(f"korvel {job.name} exited with {info.get('rc')}")
            peak = info["peak_kib"]
            data = json.loads(out.read_text())
            obs = data["observables"]
            print(f"  n_comm {n_comm}: wall {wall:6.1f} s, peak {peak / 1024 ** 2:.2f} GiB, "
                  f"method stage {data['timings']['method']:.1f} s", flush=True)
            print(f"    downfolded {data['energy']:.8f} Eh, CCSD {obs['ccsd_energy']:.8f} Eh, "
                  f"CASCI {e_casci:.8f} Eh, SCF {data['reference_energy']:.8f} Eh", flush=True)
            print("    by order: " + ", ".join(f"{e:.8f}" for e in obs["energy_by_order"]),
                  flush=True)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--stage-child":
        stage_child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--parts", default="1,2", help="comma-separated: 1 (stage), 2 (N2 job)")
    ap.add_argument("--repeat", type=int, default=5,
                    help="timed runs of the fold-aware stage (best is kept)")
    args = ap.parse_args()
    parts = {s.strip() for s in args.parts.split(",")}
    if "1" in parts:
        part1(args.repeat)
    if "2" in parts:
        part2()


if __name__ == "__main__":
    main()
