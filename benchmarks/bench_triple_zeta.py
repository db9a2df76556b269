"""Downfolding at triple-zeta size: the Hamiltonian build and two whole CLI jobs.

Prints, in one run:

1. the full-space Hamiltonian build on N2/cc-pVDZ, korvel's native build against
   OpenFermion's InteractionOperator -> get_fermion_operator -> normal_ordered route, and
   the ratio (target: at least 10), with a term-for-term check;
2. the whole ``korvel`` job, each in a fresh process, wall time and peak resident memory
   (targets: under 10 minutes and 12 GiB each on a 2-core machine), with the downfolded,
   CASCI and CCSD energies, for
   - water in cc-pVTZ (58 orbitals, 116 spin-orbitals), manual (4,4) active space;
   - N2 in cc-pVTZ at 1.1 Angstrom (60 orbitals, 120 spin-orbitals), manual (6,6);
   both with ccsd_n_comm 2 and ccsd_max_body 4 on the cpu backend.

    PYTHONPATH=. python benchmarks/bench_triple_zeta.py [--skip-build] [--only water|n2]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

JOBS = {
    "water": ("water cc-pVTZ (4,4)", """$molecule
0 1
O   0.0000   0.0000   0.1173
H   0.0000   0.7572  -0.4692
H   0.0000  -0.7572  -0.4692
$end
$rem
basis           cc-pvtz
active_space    manual
n_act           4
n_act_elec      4
method          cendrel
backend         cpu
ccsd_n_comm     2
ccsd_max_body   4
$end
"""),
    "n2": ("N2 cc-pVTZ 1.1 A (6,6)", """$molecule
0 1
N   0.0000   0.0000   0.0000
N   0.0000   0.0000   1.1000
$end
$rem
basis           cc-pvtz
active_space    manual
n_act           6
n_act_elec      6
method          cendrel
backend         cpu
ccsd_n_comm     2
ccsd_max_body   4
$end
"""),
}

# Runs the job given on the command line and prints its peak resident memory (KiB, of the
# job's process alone: the wrapper waits for no other child).
WRAPPER = """
import resource, subprocess, sys
status = subprocess.run(sys.argv[1:]).returncode
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, status)
"""


def run_job(name, text, folder):
    path = os.path.join(folder, f"{name}.in")
    report = os.path.join(folder, f"{name}.json")
    with open(path, "w") as f:
        f.write(text)
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    start = time.perf_counter()
    # --plot makes the job compute the CASCI energy for its energy ladder
    out = subprocess.run([sys.executable, "-c", WRAPPER, sys.executable, "-m", "korvel", path,
                          "--json", report, "--plot", os.path.join(folder, f"{name}.png")],
                         capture_output=True, text=True, env=env, cwd=folder)
    wall = time.perf_counter() - start
    peak_kib, status = (int(x) for x in out.stdout.split()[-2:])
    if status != 0:
        sys.stderr.write(out.stderr[-3000:])
        raise SystemExit(f"{name}: the job failed with status {status}")
    with open(report) as f:
        return wall, peak_kib * 1024, json.load(f)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--skip-build", action="store_true", help="leave out the build comparison")
    ap.add_argument("--only", choices=sorted(JOBS), help="run one of the two jobs")
    args = ap.parse_args()

    ok = True
    if not args.skip_build:
        sys.path.insert(0, HERE)
        import openfermion  # noqa: F401  (imported once, outside both timings)
        from bench_hamiltonian_build import N2, integrals, openfermion_route, timed

        from korvel.core.hamiltonian import _hamiltonian_from_integrals

        h1, eri, e_nuc = integrals(N2, "cc-pvdz")
        t_native, native = timed(lambda: _hamiltonian_from_integrals(h1, eri, e_nuc), 3)
        t_of, reference = timed(lambda: openfermion_route(h1, eri, e_nuc))
        same = list(native.terms) == list(reference.terms) and max(
            abs(native.terms[k] - v) for k, v in reference.terms.items()) <= 1e-12
        ratio = t_of / t_native
        ok &= same and ratio >= 10
        print(f"Hamiltonian build, N2/cc-pVDZ ({len(native.terms):,} terms): native "
              f"{t_native:.3f} s, OpenFermion {t_of:.2f} s, ratio {ratio:.0f}x (target >= 10x), "
              f"terms {'identical' if same else 'DIFFERENT'}")

    with tempfile.TemporaryDirectory() as folder:
        for name, (label, text) in JOBS.items():
            if args.only and name != args.only:
                continue
            wall, peak, report = run_job(name, text, folder)
            obs = report["observables"]
            casci = report["measurements"].get("casci", {}).get("energy")
            met = wall < 600 and peak < 12 * 2**30
            ok &= met
            print(f"{label}: wall {wall / 60:.1f} min, peak {peak / 2**30:.2f} GiB "
                  f"(targets 10 min, 12 GiB: {'met' if met else 'NOT met'})")
            print(f"    downfolded {report['energy']:.8f}  CCSD {obs['ccsd_energy']:.8f}  "
                  f"CASCI {casci if casci is None else format(casci, '.8f')}  "
                  f"series {['%.8f' % e for e in obs['energy_by_order']]}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
