"""The ``korvel`` command: run one input file from top to bottom.

    korvel job.in [--json result.json] [--debug]

Stages: parse the input, build the problem (SCF, active space, integrals), measure
the full-space Hamiltonian (exact energy by PySCF's FCI when its S_z block is small enough,
Pauli LCU 1-norm, DMRG when ``dmrg_bond_dims`` is set), and, when ``method`` is set,
run the downfolding method on the chosen backend and measure its effective
Hamiltonian. Progress lines go to stderr, the summary to stdout.

Any failure prints one line ``korvel: error: ...`` to stderr and exits with status 2;
``--debug`` adds the traceback.
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import shutil
import sys
import tempfile
import time
import traceback
from contextlib import contextmanager
from math import comb
from typing import Any

import korvel

EXIT_OK, EXIT_ERROR, EXIT_INTERRUPTED = 0, 2, 130


class JobError(Exception):
    """A failure with a message meant for the user as it stands."""


# ---------------------------------------------------------------------------
# Progress and timing
# ---------------------------------------------------------------------------

class _Progress:
    """Prints a line when a stage starts and its time when it ends; keeps the times."""

    def __init__(self, stream):
        self.stream = stream
        self.timings: dict[str, float] = {}
        self.current: str | None = None

    def say(self, text: str) -> None:
        print(text, file=self.stream, flush=True)

    @contextmanager
    def stage(self, key: str, text: str, *, context: bool = True):
        """``context``: name the stage in an error raised inside it."""
        self.current = text if context else None
        self.say(f"korvel: {text} ...")
        start = time.perf_counter()
        yield
        elapsed = time.perf_counter() - start
        self.timings[key] = self.timings.get(key, 0.0) + elapsed
        self.say(f"korvel: {text}: done in {_seconds(elapsed)}")
        self.current = None


def _seconds(t: float) -> str:
    return f"{t:.2f} s" if t < 100 else f"{t / 60:.1f} min"


# ---------------------------------------------------------------------------
# Loading the compiled modules
# ---------------------------------------------------------------------------

def _require(module: str, *names: str):
    """The named objects of ``module``, or a JobError saying what is missing."""
    try:
        mod = importlib.import_module(module)
    except ImportError as exc:
        raise JobError(f"module {module} is not available ({exc}); this installation "
                       "of korvel is incomplete, reinstall or rebuild it") from exc
    missing = [name for name in names if not hasattr(mod, name)]
    if missing:
        raise JobError(f"module {module} does not provide {', '.join(missing)}; this "
                       "build of korvel is incomplete, reinstall or rebuild it")
    return [getattr(mod, name) for name in names]


# ---------------------------------------------------------------------------
# Small operator helpers (plain Python, on term mappings)
# ---------------------------------------------------------------------------

def _terms(op) -> dict:
    """The term mapping of a FermionOperator or of a plain mapping."""
    return op if isinstance(op, dict) else op.terms


def _determinant_expectation(op, occupied) -> complex:
    """<Phi|op|Phi> for the determinant occupying the spin-orbitals ``occupied``.

    Each term is applied to the determinant right to left (Jordan-Wigner signs: a
    ladder operator on mode p picks up (-1) to the number of occupied modes below p);
    only terms that map the determinant back onto itself contribute.
    """
    occ0 = frozenset(occupied)
    total = 0j
    for term, coef in _terms(op).items():
        occ = set(occ0)
        sign = 1
        for mode, dagger in reversed(term):
            if dagger:
                if mode in occ:
                    break
                occ.add(mode)
            else:
                if mode not in occ:
                    break
                occ.remove(mode)
            if sum(1 for q in occ if q < mode) % 2:
                sign = -sign
        else:
            if occ == occ0:
                total += sign * complex(coef)
    return total


def _sector_dimension(n_spinorb: int, n_elec: int) -> int:
    """Determinants with n_elec electrons in n_spinorb spin-orbitals, all spin
    projections together."""
    return comb(n_spinorb, n_elec) if 0 <= n_elec <= n_spinorb else 0


def _largest_block(n_spinorb: int, n_elec: int) -> int:
    """Determinants of the largest S_z block of the sector (the S_z = 0 or 1/2 one): the
    largest matrix the exact solvers work on for an operator that keeps S_z."""
    n_up, n_down = (n_spinorb + 1) // 2, n_spinorb // 2
    return max((comb(n_up, a) * comb(n_down, n_elec - a)
                for a in range(max(0, n_elec - n_down), min(n_elec, n_up) + 1)), default=0)


# Bytes per determinant that PySCF's Davidson solver holds (CI vector, trial and sigma
# vectors of its subspace, diagonal), a generous bound.
_FCI_BYTES_PER_DET = 8 * 40


def _full_space_fci(problem) -> dict:
    """Exact energy of the full-space Hamiltonian by PySCF's FCI solver on the problem's
    integrals, in the S_z = 0 (or 1/2) block: that block holds a component of every spin
    state, so the lowest state of any spin is found. Returns the energy, <S^2> and 2S+1
    of that state."""
    import numpy as np
    from pyscf import fci

    ex = problem.extras
    n_orb, n_elec = int(problem.n_orb), int(problem.n_elec)
    n_beta = n_elec // 2
    n_alpha = n_elec - n_beta
    dim = comb(n_orb, n_alpha) * comb(n_orb, n_beta)
    need = dim * _FCI_BYTES_PER_DET
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        total = None
    if total and need > total:
        raise JobError(f"the exact energy needs about {need / 2**30:.1f} GiB for its {dim} "
                       f"determinants, more than the {total / 2**30:.1f} GiB of this machine; "
                       "lower fci_max_dim to skip it")
    solver = fci.direct_spin1.FCI()
    solver.verbose = 0
    solver.conv_tol = 1e-12
    # The solver's own guess is its lowest determinant; a small admixture from a fixed
    # seed keeps the start from being of one pure spin (a closed-shell determinant is a
    # singlet), so that a ground state of higher spin is reached just as well.
    na, nb = comb(n_orb, n_alpha), comb(n_orb, n_beta)
    guess = np.asarray(solver.get_init_guess(n_orb, (n_alpha, n_beta), 1,
                                             solver.make_hdiag(ex["h1"], ex["eri"], n_orb,
                                                               (n_alpha, n_beta))))
    guess = guess.reshape(-1)
    guess = guess + 1e-3 * np.random.default_rng(7).standard_normal(guess.size)
    guess = (guess / np.linalg.norm(guess)).reshape(na, nb)
    energy, ci = solver.kernel(ex["h1"], ex["eri"], n_orb, (n_alpha, n_beta),
                               ecore=float(ex["e_nuc"]), ci0=guess)
    s2, mult = solver.spin_square(ci, n_orb, (n_alpha, n_beta))
    return {"energy": float(energy), "s_squared": float(s2), "multiplicity": float(mult),
            "block": f"S_z = {(n_alpha - n_beta) / 2:g}", "block_dimension": dim,
            "solver": "pyscf.fci.direct_spin1"}


# ---------------------------------------------------------------------------
# The job
# ---------------------------------------------------------------------------

def _measure_hamiltonian(op, n_spinorb, n_elec, rem, progress, *, label, key,
                         hermitian=True, with_dmrg=False, problem=None) -> dict:
    """Exact sector energy (Hermitian operators only, largest S_z block small enough),
    LCU 1-norm and optionally DMRG of one operator. With ``problem``, the operator is
    the problem's full-space Hamiltonian and its exact energy comes from PySCF's FCI on
    the problem's integrals."""
    out: dict[str, Any] = {
        "n_spinorb": n_spinorb, "n_elec": n_elec, "n_terms": len(_terms(op)),
    }
    dim = _sector_dimension(n_spinorb, n_elec)
    block = _largest_block(n_spinorb, n_elec)
    out["sector_dimension"] = dim
    out["block_dimension"] = block
    out["exact_energy"] = None
    if not hermitian:
        out["exact_skipped"] = "non-Hermitian operator; the method's own eigenvalue is used"
    elif block > rem["fci_max_dim"]:
        out["exact_skipped"] = (f"largest S_z block of {block} determinants exceeds "
                                f"fci_max_dim {rem['fci_max_dim']}")
        progress.say(f"korvel: exact energy of the {label} skipped: {out['exact_skipped']}")
    elif problem is not None:
        with progress.stage(f"{key}_exact_energy",
                            f"exact energy of the {label} (PySCF FCI, {n_elec} electrons in "
                            f"{n_spinorb} spin-orbitals, S_z block of {block} determinants)"):
            fci = _full_space_fci(problem)
        out["exact_energy"] = fci["energy"]
        out["exact_solver"] = fci["solver"]
        out["exact_block"] = fci["block"]
        out["exact_s_squared"] = fci["s_squared"]
        out["exact_multiplicity"] = fci["multiplicity"]
    else:
        (fci_energy,) = _require("korvel.core.analysis", "fci_energy")
        with progress.stage(f"{key}_exact_energy",
                            f"exact energy of the {label} ({n_elec} electrons in "
                            f"{n_spinorb} spin-orbitals, largest S_z block {block} "
                            "determinants)"):
            out["exact_energy"] = float(fci_energy(op, n_spinorb, n_elec))
    (lcu_one_norm,) = _require("korvel.core.analysis", "lcu_one_norm")
    with progress.stage(f"{key}_lcu_one_norm", f"LCU 1-norm of the {label}"):
        out["lcu_one_norm"] = float(lcu_one_norm(op))
    if with_dmrg and rem["dmrg_bond_dims"]:
        out["dmrg"] = _dmrg(op, n_spinorb, n_elec, rem, progress, label, key)
    return out


def _dmrg(op, n_spinorb, n_elec, rem, progress, label, key) -> dict:
    """DMRG at each bond dimension in turn (one progress line each), then the
    discarded-weight extrapolation; the energy follows the rule of ``dmrg_energy``:
    extrapolated when asked for and more than one point exists, else the lowest."""
    dmrg_solve, dmrg_extrapolate = _require("korvel.core.analysis",
                                            "dmrg_solve", "dmrg_extrapolate")
    bond_dims = rem["dmrg_bond_dims"]
    scratch = tempfile.mkdtemp(prefix="korvel_b2_")
    points = []
    try:
        for D in bond_dims:
            run_dir = os.path.join(scratch, f"D{D}")
            os.makedirs(run_dir, exist_ok=True)
            with progress.stage(f"{key}_dmrg", f"DMRG of the {label}, bond dimension {D}"):
                point = dmrg_solve(op, n_spinorb, n_elec, bond_dims=[D],
                                   n_sweeps=rem["dmrg_n_sweeps"],
                                   stack_gb=float(rem["dmrg_stack_gb"]),
                                   n_threads=rem["dmrg_n_threads"],
                                   scratch=run_dir)[0]
            points.append(dict(point))
            progress.say(f"korvel:   D = {D}: E = {point['energy']:.10f}, "
                         f"discarded weight {point['discarded_weight']:.3e}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    info = dict(dmrg_extrapolate(points))
    use_fit = bool(rem["dmrg_extrapolate"]) and len(points) > 1
    info["energy"] = info["extrapolated_energy" if use_fit else "lowest_computed"]
    info["extrapolated"] = use_fit
    info["points"] = points
    return info


def run_job(path: str, progress: _Progress) -> dict:
    """Everything the summary and the JSON file report, as one mapping."""
    from korvel.inputfile import read_input

    t_start = time.perf_counter()
    # parse errors name the file and line themselves
    with progress.stage("parse", f"reading {path}", context=False):
        calc = read_input(path)
    for warning in calc.warnings:
        progress.say(f"korvel: warning: {warning}")
    rem = calc.rem

    (build_problem,) = _require("korvel.core.hamiltonian", "build_problem")
    with progress.stage("build_problem", "building the problem (SCF, active space, "
                                          "integrals, Hamiltonian)"):
        problem = build_problem(calc)
    _check_partition(problem)

    n_spinorb = 2 * problem.n_orb
    report: dict[str, Any] = {
        "input": path,
        "korvel_version": korvel.__version__,
        "method": rem["method"],
        "backend": None,
        "energy": None,
        "reference_energy": float(problem.e_ref),
        "observables": None,
        "problem": {
            "n_orb": problem.n_orb, "n_elec": problem.n_elec, "n_core": problem.n_core,
            "n_act": problem.n_act, "n_vir": problem.n_vir,
            "n_act_elec": problem.n_act_elec, "e_ref": float(problem.e_ref),
            "spin_2s": problem.spin_2s,
        },
        "rem": rem,
        "measurements": {},
    }
    report["problem"]["e_determinant"] = _determinant_expectation(
        problem.hamiltonian, problem.occupied).real

    report["measurements"]["hamiltonian"] = _measure_hamiltonian(
        problem.hamiltonian, n_spinorb, problem.n_elec, rem, progress,
        label="full-space Hamiltonian", key="hamiltonian", with_dmrg=True, problem=problem)

    if rem["method"] is not None:
        _run_method(problem, rem, progress, report)

    progress.timings["total"] = time.perf_counter() - t_start
    report["timings"] = dict(progress.timings)
    return report


def _check_partition(problem) -> None:
    """The partition must be a real cut of the orbital space (a manual active space
    larger than the basis would otherwise yield a negative virtual count)."""
    counts = {k: getattr(problem, k) for k in ("n_core", "n_act", "n_vir", "n_act_elec")}
    bad = [f"{k} = {v}" for k, v in counts.items() if v < 0]
    if bad:
        raise JobError(f"the active space does not fit the molecule ({', '.join(bad)}; "
                       f"{problem.n_orb} orbitals, {problem.n_elec} electrons); "
                       "check n_act and n_act_elec")


def _run_method(problem, rem, progress, report) -> None:
    from korvel.backends import get_backend
    from korvel.methods.base import get_method

    name = rem["method"]
    try:
        method_cls = get_method(name)
    except ImportError as exc:
        raise JobError(f"method {name!r} is not available ({exc}); this installation "
                       "of korvel is incomplete, reinstall or rebuild it") from exc
    try:
        backend = get_backend(rem["backend"])
    except ImportError as exc:
        raise JobError(f"backend {rem['backend']!r} is not available ({exc})") from exc
    report["backend"] = getattr(backend, "name", type(backend).__name__)

    with progress.stage("method", f"running method {name} on backend {report['backend']}"):
        result = method_cls(rem).run(problem, backend)

    report["method"] = result.method
    report["backend"] = result.backend
    report["energy"] = float(result.energy)
    report["reference_energy"] = float(result.reference_energy)
    report["observables"] = dict(result.observables)

    heff = result.effective_hamiltonian
    n_act_so = 2 * problem.n_act
    hermitian = bool(report["observables"].get("hermitian", True))
    meas = _measure_hamiltonian(heff, n_act_so, problem.n_act_elec, rem, progress,
                                label="effective Hamiltonian", key="effective",
                                hermitian=hermitian)
    meas["reference_expectation"] = _determinant_expectation(
        heff, range(problem.n_act_elec))
    report["measurements"]["effective_hamiltonian"] = meas


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------

def _jsonable(obj):
    """A strictly JSON-serialisable copy: complex -> [re, im], non-finite -> None,
    NumPy scalars and arrays -> Python values, sets -> sorted lists."""
    if obj is None or isinstance(obj, (bool, str)):
        return obj
    if isinstance(obj, int):
        return int(obj)
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, complex):
        return [_jsonable(obj.real), _jsonable(obj.imag)]
    if isinstance(obj, dict):
        return {str(k): _jsonable(v) for k, v in obj.items()}
    if isinstance(obj, (set, frozenset)):
        return [_jsonable(v) for v in sorted(obj)]
    if isinstance(obj, (list, tuple, range)):
        return [_jsonable(v) for v in obj]
    if hasattr(obj, "tolist"):          # NumPy arrays and scalars
        return _jsonable(obj.tolist())
    if hasattr(obj, "item"):
        return _jsonable(obj.item())
    return str(obj)


def write_json(path: str, report: dict) -> None:
    """Write the report as one JSON object, replacing ``path`` only when complete."""
    data = json.dumps(_jsonable(report), indent=2, allow_nan=False) + "\n"
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".korvel-", suffix=".json", dir=folder)
        with os.fdopen(fd, "w") as fh:
            fh.write(data)
        os.replace(tmp, path)
    except OSError as exc:
        raise JobError(f"cannot write JSON file {path!r}: {exc.strerror or exc}") from exc


def _energy(e) -> str:
    return "n/a" if e is None or (isinstance(e, float) and not math.isfinite(e)) \
        else f"{e:.10f} Eh"


def format_summary(report: dict) -> str:
    p = report["problem"]
    rem = report["rem"]
    lines = [f"korvel {report['korvel_version']}: {report['input']}", ""]
    row = lines.append

    def kv(label, value, indent=2):
        row(f"{' ' * indent}{label:<34}{value}")

    cas = rem["orbital_opt"] and rem["active_space"] != "full"
    row("Problem")
    kv("basis / reference", f"{rem['basis']} / {rem['reference']}, charge "
       f"{rem['charge']}, multiplicity {rem['multiplicity']}")
    kv("active space", rem["active_space"] + (" + CASSCF orbitals" if cas else ""))
    kv("orbitals", f"n_orb {p['n_orb']} = n_core {p['n_core']} + n_act {p['n_act']} "
                   f"+ n_vir {p['n_vir']}")
    kv("electrons", f"n_elec {p['n_elec']}, n_act_elec {p['n_act_elec']}")
    kv(f"reference energy ({'CASSCF' if cas else 'SCF'})", _energy(p["e_ref"]))
    kv("determinant energy <HF|H|HF>", _energy(p["e_determinant"]))
    h = report["measurements"]["hamiltonian"]
    kv("Hamiltonian", f"{h['n_terms']} terms on {h['n_spinorb']} spin-orbitals")

    row("")
    row("Full-space Hamiltonian")
    if h["exact_energy"] is not None:
        kv(f"exact energy ({h['block_dimension']} dets)", _energy(h["exact_energy"]))
        if "exact_s_squared" in h:
            kv("exact state spin", f"<S^2> = {h['exact_s_squared']:.6f}, 2S+1 = "
                                   f"{h['exact_multiplicity']:.4f} (PySCF FCI, "
                                   f"{h['exact_block']} block)")
        kv("correlation energy", _energy(h["exact_energy"] - p["e_ref"]))
    else:
        kv("exact energy", f"skipped ({h['exact_skipped']})")
    kv("LCU 1-norm", f"{h['lcu_one_norm']:.6f}")
    if "dmrg" in h:
        d = h["dmrg"]
        for pt in d["points"]:
            kv(f"DMRG D = {pt['D']}", f"{_energy(pt['energy'])}  (discarded weight "
                                      f"{pt['discarded_weight']:.2e})")
        if d["extrapolated"]:
            kv("DMRG extrapolated (dw -> 0)", f"{_energy(d['extrapolated_energy'])}  "
                                              f"(95% half-width {d['ci95_halfwidth']:.2e})")
        else:
            kv("DMRG energy (lowest computed)", _energy(d["energy"]))

    if report["energy"] is not None:
        obs = report["observables"] or {}
        eff = report["measurements"]["effective_hamiltonian"]
        row("")
        row(f"Method {report['method']} on backend {report['backend']}")
        kv("reference energy", _energy(report["reference_energy"]))
        kv("downfolded energy", _energy(report["energy"]))
        kv("correlation energy", _energy(report["energy"] - report["reference_energy"]))
        if h["exact_energy"] is not None:
            kv("downfolded - exact", f"{report['energy'] - h['exact_energy']:+.3e} Eh")
        if "eigenvalue_imag" in obs:
            kv("eigenvalue imaginary part", f"{obs['eigenvalue_imag']:.3e}")
        if "nonhermiticity_l1" in obs:
            kv("non-Hermiticity |H - H^+|_1", f"{obs['nonhermiticity_l1']:.6e}")
        if "cluster_terms" in obs:
            kv("cluster terms", str(obs["cluster_terms"]))
        if "n_comm" in obs:
            kv("commutators / body cap", f"{obs['n_comm']} / {obs.get('max_body')}")
        kv("effective Hamiltonian", f"{eff['n_terms']} terms on {eff['n_spinorb']} "
                                    f"spin-orbitals, {eff['n_elec']} electrons")
        kv("effective LCU 1-norm", f"{eff['lcu_one_norm']:.6f}")
        kv("<HF|H_eff|HF>", _energy(eff["reference_expectation"].real))
        if eff.get("exact_energy") is not None:
            kv("effective exact energy", _energy(eff["exact_energy"]))
        if "note" in obs:
            row(f"  note: {obs['note']}")

    row("")
    row("Timings")
    for key, t in report["timings"].items():
        kv(key.replace("_", " "), _seconds(t))
    return "\n".join(lines)


def _message(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    if isinstance(exc, (JobError, ValueError)) and text:
        return text
    if isinstance(exc, ImportError):
        return f"a required module is not available: {text or type(exc).__name__}"
    if isinstance(exc, KeyError):
        return f"missing key {text}"
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _argparser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="korvel",
        description="Build a molecular problem from an input file, measure its "
                    "Hamiltonian and, with 'method' in $rem, downfold it onto the "
                    "active space.")
    ap.add_argument("input", metavar="INPUT", help="input file ($molecule and $rem)")
    ap.add_argument("--json", metavar="FILE", help="also write the results to FILE as JSON")
    ap.add_argument("--debug", action="store_true", help="show tracebacks of errors")
    ap.add_argument("--version", action="version", version=f"korvel {korvel.__version__}")
    return ap


def main(argv=None) -> int:
    args = _argparser().parse_args(argv)
    progress = _Progress(sys.stderr)
    try:
        report = run_job(args.input, progress)
        print(format_summary(report), flush=True)
        if args.json:
            write_json(args.json, report)
            progress.say(f"korvel: results written to {args.json}")
    except KeyboardInterrupt:
        print("korvel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # every failure becomes one line and status 2
        if args.debug:
            traceback.print_exc()
        where = f"while {progress.current}: " if progress.current else ""
        print(f"korvel: error: {where}{_message(exc)}", file=sys.stderr, flush=True)
        return EXIT_ERROR
    return EXIT_OK
