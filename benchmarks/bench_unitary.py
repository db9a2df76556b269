"""The Hermitian downfold by exact rotations (method unitary) on two molecules.

LiH/6-31G with a manual (2,2) active space and H2O/6-31G with a manual (4,4) one, each
with the method's defaults (gradient 1e-3, cap 3, at most 400 rotations) on the native
CPU backend, each in a process of its own: the method's wall time, the process's peak
memory, the rotations done, the final largest gradient, the downfolded energy and the
Hermiticity defect of the effective Hamiltonian, next to CASCI, CCSD and the exact
energy of the full space (PySCF's direct FCI).

    PYTHONPATH=$PWD python benchmarks/bench_unitary.py [--cases lih,h2o] [--max-rotations N]

Benchmarks are not timed tests: nothing here fails on a time.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CASES = {
    "lih": ([("Li", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.6))], "6-31g", 2, 2),
    "h2o": ([("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
             ("H", (0.0, -0.7572, -0.4692))], "6-31g", 4, 4),
}

CHILD = r"""
import json, resource, sys, time
from types import SimpleNamespace
from korvel.core.hamiltonian import build_problem
from korvel.core.analysis import fci_energy
from korvel.downfold.projector import downfold_to_active
from korvel.methods.base import get_method
from korvel.backends.tavrin import CpuBackend
atoms, basis, n_act, n_elec, max_rot = json.loads(sys.argv[1])
rem = dict(basis=basis, charge=0, multiplicity=1, reference="rhf", active_space="manual",
           avas_aos=None, avas_threshold=0.2, n_act=n_act, n_act_elec=n_elec,
           orbital_opt=False)
p = build_problem(SimpleNamespace(molecule={"geometry": [tuple(a) for a in atoms]}, rem=rem))
start = time.perf_counter()
r = get_method("unitary")({"unitary_max_rotations": max_rot}).run(p, CpuBackend())
wall = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
casci = fci_energy(downfold_to_active(dict(p.hamiltonian.terms), p), 2 * p.n_act, p.n_act_elec)
# the exact energy from PySCF's direct CI (no sector matrix: H2O/6-31G's would need 30 GiB)
from pyscf import gto, scf, fci
mol = gto.M(atom=[(a, xyz) for a, xyz in atoms], basis=basis, verbose=0)
mf = scf.RHF(mol).run()
exact = float(fci.FCI(mf).kernel()[0]) if p.n_orb <= 13 else None
o = r.observables
print(json.dumps({"wall_s": wall, "peak_mib": peak, "rotations": o["rotations"],
                  "final_gradient": o["final_gradient"], "energy": r.energy,
                  "defect": o["hermiticity_defect"], "ccsd": o["ccsd_energy"],
                  "casci": casci, "exact": exact, "hf": p.e_ref}))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cases", default="lih,h2o")
    ap.add_argument("--max-rotations", type=int, default=400)
    args = ap.parse_args()
    for name in args.cases.split(","):
        atoms, basis, n_act, n_elec = CASES[name]
        out = subprocess.run([sys.executable, "-c", CHILD,
                              json.dumps([atoms, basis, n_act, n_elec, args.max_rotations])],
                             capture_output=True, text=True, cwd=ROOT)
        if out.returncode != 0:
            print(f"{name}: failed\n{out.stderr[-2000:]}")
            continue
        r = json.loads(out.stdout.strip().splitlines()[-1])
        gap = (f", vs exact {1e3 * (r['energy'] - r['exact']):+.2f} mEh (CASCI "
               f"{1e3 * (r['casci'] - r['exact']):+.2f}, CCSD {1e3 * (r['ccsd'] - r['exact']):+.2f})"
               if r["exact"] is not None else "")
        print(f"{name}/{basis} ({n_elec},{n_act}): {r['wall_s']:.1f} s, peak {r['peak_mib']:.0f} MiB, "
              f"{r['rotations']} rotations, final gradient {r['final_gradient']:.1e}, "
              f"E {r['energy']:.8f} Eh{gap}, Hermiticity defect {r['defect']:.1e}", flush=True)


if __name__ == "__main__":
    main()
