"""The ``korvel`` command: run one input file from top to bottom.

    korvel job.in [--json result.json] [--save-hamiltonian FILE] [--plot FILE.png]
                  [--debug]

Stages: parse the input, build the problem (SCF, active space, integrals), measure
the full-space Hamiltonian (exact energy by PySCF's FCI when its S_z block is small enough,
Pauli LCU 1-norm, DMRG when ``dmrg_bond_dims`` is set), and, when ``method`` is set,
run the downfolding method on the chosen backend and measure its effective
Hamiltonian. Progress lines go to stderr, the summary to stdout.

Any failure prints one line ``korvel: error: ...`` to stderr and exits with status 2;
``--debug`` adds the traceback.

Under an MPI launcher (``mpirun -n N korvel job.in``) rank 0 runs the job and the
DMRG runs on all ranks; see ``korvel.parallel``.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import json
import math
import os
import shutil
import sys
import tempfile
import time
import traceback
from contextlib import contextmanager, redirect_stderr
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
        self.started = time.perf_counter()

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
    """<Phi|op|Phi> for the determinant occupying the spin-orbitals ``occupied``: the
    reference backend's Hartree-Fock expectation, the one place that computes it."""
    (backend_cls,) = _require("korvel.backends.olmera", "OpenFermionBackend")
    # Only terms with as many creators as annihilators on every spin-orbital have a
    # diagonal element; the others (nearly all of a full-space Hamiltonian's n^4 terms)
    # are left out before the reference backend normal-orders each term in Python.
    try:
        from korvel.core.analysis import _number_diagonal_terms
    except ImportError:
        terms = dict(_terms(op))
    else:
        terms = _number_diagonal_terms(op)
    return complex(backend_cls().hf_expectation(terms, set(occupied)))


def _active_occupation(problem) -> set:
    """The reference determinant seen from the active space: its active spin-orbitals,
    numbered from 0 as the effective Hamiltonian numbers them."""
    lo, hi = 2 * problem.n_core, 2 * (problem.n_core + problem.n_act)
    return {p - lo for p in problem.occupied if lo <= p < hi}


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


def _spin_mixed_start(guess):
    """The normalised start vector `guess` plus an admixture of norm 1e-3 from a fixed
    seed, normalised again. The admixture's norm does not grow with the block: per
    determinant it shrinks as 1/sqrt(dim), so that a large block starts from its lowest
    determinant, not from noise (at 1.66 million determinants a per-entry 1e-3 would
    outweigh the determinant itself)."""
    import numpy as np
    noise = np.random.default_rng(7).standard_normal(guess.size)
    mixed = guess + 1e-3 * noise / np.linalg.norm(noise)
    return mixed / np.linalg.norm(mixed)


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
    guess = _spin_mixed_start(guess.reshape(-1)).reshape(na, nb)
    solver.max_cycle = 300
    energy, ci = solver.kernel(ex["h1"], ex["eri"], n_orb, (n_alpha, n_beta),
                               ecore=float(ex["e_nuc"]), ci0=guess)
    if not getattr(solver, "converged", True):
        raise JobError(f"the exact energy did not converge in {solver.max_cycle} Davidson "
                       f"iterations of PySCF's FCI ({dim} determinants); last energy "
                       f"{float(energy):.10f} Eh")
    s2, mult = solver.spin_square(ci, n_orb, (n_alpha, n_beta))
    return {"energy": float(energy), "s_squared": float(s2), "multiplicity": float(mult),
            "block": f"S_z = {(n_alpha - n_beta) / 2:g}", "block_dimension": dim,
            "solver": "pyscf.fci.direct_spin1"}


# ---------------------------------------------------------------------------
# The job
# ---------------------------------------------------------------------------

def _sector_max_spinorb() -> int:
    """Most spin-orbitals korvel's native sector solver (fci_energy) takes."""
    (limit,) = _require("korvel.core.analysis", "SECTOR_MAX_SPINORB")
    return int(limit)


def _measure_hamiltonian(op, n_spinorb, n_elec, rem, progress, *, label, key, out,
                         hermitian=True, with_dmrg=False, problem=None) -> dict:
    """Exact sector energy (Hermitian operators only, largest S_z block small enough),
    LCU 1-norm and optionally DMRG of one operator, written into ``out`` as each is
    found (so that a failure later keeps those before it). With ``problem``, the
    operator is the problem's full-space Hamiltonian and its exact energy comes from
    PySCF's FCI on the problem's integrals."""
    out.update({"n_spinorb": n_spinorb, "n_elec": n_elec, "n_terms": len(_terms(op))})
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
    elif n_spinorb > _sector_max_spinorb():
        out["exact_skipped"] = (f"{n_spinorb} spin-orbitals exceed the "
                                f"{_sector_max_spinorb()} of the native sector solver "
                                "(a determinant is one 64-bit string)")
        progress.say(f"korvel: exact energy of the {label} skipped: {out['exact_skipped']}")
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
        out["dmrg"] = {"points": []}
        out["dmrg"] = _dmrg(op, n_spinorb, n_elec, rem, progress, label, key,
                            out["dmrg"]["points"])
    return out


def _dmrg(op, n_spinorb, n_elec, rem, progress, label, key, points) -> dict:
    """DMRG at each bond dimension in turn (one progress line each, each point appended
    to ``points`` as it is found), then the discarded-weight extrapolation; the reported
    energy is chosen as ``dmrg_energy`` chooses it. Every run starts from the random
    state of the seed ``dmrg_seed``, so the same input gives the same energies."""
    dmrg_solve, dmrg_extrapolate, reported_energy = _require(
        "korvel.core.analysis", "dmrg_solve", "dmrg_extrapolate", "_dmrg_reported_energy")
    bond_dims = rem["dmrg_bond_dims"]
    session = _MPI_SESSION
    if session is not None:
        with progress.stage(f"{key}_dmrg", f"sending the {label} to the "
                                           f"{session.size} MPI ranks"):
            _on_all_ranks(session.share_hamiltonian, op, n_spinorb, n_elec)
    scratch = tempfile.mkdtemp(prefix="korvel_b2_")
    try:
        for D in bond_dims:
            run_dir = os.path.join(scratch, f"D{D}")
            os.makedirs(run_dir, exist_ok=True)
            with progress.stage(f"{key}_dmrg", f"DMRG of the {label}, bond dimension {D}"
                                + (f", on {session.size} MPI ranks" if session else "")):
                if session is not None:
                    point = _on_all_ranks(session.dmrg_point, D,
                                          n_sweeps=rem["dmrg_n_sweeps"],
                                          stack_gb=float(rem["dmrg_stack_gb"]),
                                          n_threads=rem["dmrg_n_threads"],
                                          seed=rem["dmrg_seed"])
                else:
                    point = dmrg_solve(op, n_spinorb, n_elec, bond_dims=[D],
                                       n_sweeps=rem["dmrg_n_sweeps"],
                                       stack_gb=float(rem["dmrg_stack_gb"]),
                                       n_threads=rem["dmrg_n_threads"],
                                       scratch=run_dir, seed=rem["dmrg_seed"])[0]
            points.append(dict(point))
            progress.say(f"korvel:   D = {D}: E = {point['energy']:.10f}, "
                         f"discarded weight {point['discarded_weight']:.3e}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    info = dict(dmrg_extrapolate(points))
    info["energy"], info["extrapolated"] = reported_energy(info, rem["dmrg_extrapolate"])
    info["seed"] = rem["dmrg_seed"]
    info["points"] = points
    return info


# The MPI job this process belongs to, when it runs as rank 0 under mpirun.
_MPI_SESSION = None


def _on_all_ranks(fn, *args, **kwargs):
    """A step all MPI ranks take; a failure on another rank becomes a JobError."""
    from korvel.parallel import RankFailure

    try:
        return fn(*args, **kwargs)
    except RankFailure as exc:
        raise JobError(str(exc)) from exc


def _parse(path: str, progress: _Progress):
    """The calculation of the input file (read once; its time is the parse stage)."""
    from korvel.inputfile import read_input

    # parse errors name the file and line themselves
    with progress.stage("parse", f"reading {path}", context=False):
        calc = read_input(path)
    for warning in calc.warnings:
        progress.say(f"korvel: warning: {warning}")
    return calc


def run_job(calc, progress: _Progress, keep: dict | None = None,
            report: dict | None = None) -> dict:
    """Everything the summary and the JSON file report, as one mapping: ``report`` when
    given, filled in as each stage finishes, so that after a failure it holds what
    finished before it. ``keep``, when given, receives the problem and the effective
    Hamiltonian (for saving, plotting)."""
    if isinstance(calc, (str, os.PathLike)):
        calc = _parse(os.fspath(calc), progress)
    path = calc.source
    rem = calc.rem
    if report is None:
        report = {}

    (build_problem,) = _require("korvel.core.hamiltonian", "build_problem")
    _announce_size(calc, progress)
    with progress.stage("build_problem", "building the problem (SCF, active space, "
                                          "integrals, Hamiltonian)"):
        try:
            problem = build_problem(calc)
        except ValueError as exc:
            _locate_keyword_error(exc, calc, progress)
            raise
    if keep is not None:
        keep["problem"] = problem

    n_spinorb = 2 * problem.n_orb
    extras = getattr(problem, "extras", None) or {}
    report.update({
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
            "e_scf": float(extras.get("e_scf", problem.e_ref)),
        },
        "rem": rem,
        "measurements": {},
    })
    report["problem"]["e_determinant"] = _determinant_expectation(
        problem.hamiltonian, problem.occupied).real
    if extras.get("fcidump"):
        report["problem"]["fcidump"] = str(extras["fcidump"])
    ecp = extras.get("ecp")
    if ecp:
        report["problem"]["ecp"] = dict(ecp)
    split = _split_degenerate(problem, rem)
    if split:
        report["problem"]["warnings"] = [split]
        progress.say(f"korvel: warning: {split}")
    if extras.get("scf_converged") is False:
        report["problem"]["scf_converged"] = False
        progress.say("korvel: warning: the SCF did not converge; the orbitals and the "
                     "reference energy are those of its last iteration")
    casscf = extras.get("casscf")
    if casscf is not None:
        report["problem"]["casscf"] = dict(casscf)
        if not casscf.get("converged", True):
            progress.say("korvel: warning: CASSCF did not converge; the orbitals and the "
                         "reference energy are those of its last iteration")

    report["measurements"]["hamiltonian"] = {}
    _measure_hamiltonian(problem.hamiltonian, n_spinorb, problem.n_elec, rem, progress,
                         label="full-space Hamiltonian", key="hamiltonian",
                         out=report["measurements"]["hamiltonian"], with_dmrg=True,
                         problem=problem)

    if rem["method"] is not None:
        _run_method(problem, rem, progress, report, keep)

    _record_timings(report, progress)
    return report


class _PointProgress(_Progress):
    """The progress of one scan point: its stages are timed but not printed (the
    scan says one line per point); warnings still are."""

    def __init__(self, parent: _Progress):
        super().__init__(parent.stream)

    def say(self, text: str) -> None:
        if "warning" in text:
            super().say(text)


def _scan_start(problem, rem):
    """The SCF start of the next geometry: the density of the reference determinant
    in this point's working orbitals (both spins apart for an open shell)."""
    import numpy as np

    c = np.asarray(problem.extras["mo_coeff"])
    n_alpha = sum(1 for p in problem.occupied if p % 2 == 0)
    n_beta = len(problem.occupied) - n_alpha
    dm_a = c[:, :n_alpha] @ c[:, :n_alpha].T
    dm_b = c[:, :n_beta] @ c[:, :n_beta].T
    return dm_a + dm_b if rem["reference"] == "rhf" else np.array([dm_a, dm_b])


def _ao_overlap(atoms, rem):
    """AO overlap matrix of the molecule at this geometry."""
    (molecule,) = _require("korvel.core.hamiltonian", "_molecule")
    return molecule(atoms, rem["basis"], rem["charge"], rem["multiplicity"] - 1) \
        .intor("int1e_ovlp")


def _active_columns(problem):
    lo = problem.n_core
    return problem.extras["mo_coeff"][:, lo:lo + problem.n_act]


def _carried_active(prev, s_ao):
    """The point before's active orbitals carried to this geometry: their AO
    coefficients on this geometry's basis functions (which move with their atoms),
    made orthonormal again in its overlap metric (symmetric orthonormalisation, the
    closest orthonormal set)."""
    import numpy as np

    a = _active_columns(prev)
    w, v = np.linalg.eigh(a.T @ s_ao @ a)
    return a @ (v / np.sqrt(w)) @ v.T


def _active_overlap(prev, problem, s_ao) -> float:
    """How far two active spaces are the same: the smallest singular value of the
    overlap of their orbitals (the cosine of the largest principal angle; 1 when one
    spans the other)."""
    import numpy as np

    m = _carried_active(prev, s_ao).T @ s_ao @ _active_columns(problem)
    return float(np.linalg.svd(m, compute_uv=False).min()) if m.size else 1.0


def run_scan(calc, progress: _Progress, keep: dict | None = None,
             report: dict | None = None) -> dict:
    """The whole job at each geometry of the calculation's $scan, in order: each
    point's SCF starts from the density of the point before, and a manual active space
    takes the orbitals that overlap the point before's active ones most. Returns the
    report with ``scan``: ``coordinate`` (the line as written) and ``points`` (value,
    energies, ``converged`` and the overlap of the active space with the point
    before's). A point whose SCF or CASSCF did not converge, or that failed, is
    reported as such and does not seed the next one."""
    from korvel.inputfile import scan_geometry

    scan, rem = calc.scan, calc.rem
    if report is None:
        report = {}
    report.update({"input": calc.source, "korvel_version": korvel.__version__,
                   "method": rem["method"], "rem": rem,
                   "scan": {"coordinate": scan["coordinate"], "atoms": list(scan["atoms"]),
                            "unit": "Angstrom", "points": []}})
    points = report["scan"]["points"]
    prev = None
    n = len(scan["values"])
    progress.say(f"korvel: scan {scan['coordinate']}: {n} geometries, one line each")
    for k, value in enumerate(scan["values"]):
        atoms = scan_geometry(scan["atoms_at_start"], scan, value)
        point_calc = dataclasses.replace(calc, molecule={"geometry": atoms}, scan=None)
        s_ao = None
        if prev is not None:
            # the orbitals' AO coefficients carried over to this geometry's basis
            # functions (which move with their atoms)
            s_ao = _ao_overlap(atoms, rem)
            point_calc.scf_start = _scan_start(prev, rem)
            point_calc.active_follow = s_ao @ _carried_active(prev, s_ao)
        sub = _PointProgress(progress)
        point_keep: dict[str, Any] = {}
        point_report: dict[str, Any] = {}
        point = {"value": value, "energy": None, "reference_energy": None,
                 "exact_energy": None, "ccsd_energy": None, "casci_energy": None,
                 "method_energy": None, "converged": False}
        started = time.perf_counter()
        problem = None
        try:
            run_job(point_calc, sub, point_keep, point_report)
        except (KeyboardInterrupt, MemoryError):
            raise
        except Exception as exc:
            point["error"] = _message(exc)
        problem = point_keep.get("problem")
        if problem is not None:
            extras = problem.extras
            casscf = extras.get("casscf")
            scf_ok = bool(extras.get("scf_converged", True))
            cas_ok = casscf is None or bool(casscf.get("converged", True))
            exact = point_report["measurements"]["hamiltonian"].get("exact_energy")
            obs = point_report.get("observables") or {}
            try:
                casci = _casci_energy(problem, rem, sub)["energy"]
            except Exception as exc:
                casci = None
                point.setdefault("error", _message(exc))
            point.update({
                "energy": point_report.get("energy") if rem["method"] else exact,
                "reference_energy": point_report["problem"]["e_ref"],
                "scf_energy": point_report["problem"]["e_scf"],
                "exact_energy": exact,
                "ccsd_energy": obs.get("ccsd_energy"),
                "casci_energy": casci,
                "method_energy": point_report.get("energy"),
                "converged": scf_ok and cas_ok,
                "scf_converged": scf_ok,
                "warnings": point_report["problem"].get("warnings", []),
                "active_overlap": None if s_ao is None else
                _active_overlap(prev, problem, s_ao),
            })
            if casscf is not None:
                point["casscf_converged"] = cas_ok
        points.append(point)
        energy = "-" if point["energy"] is None else f"{point['energy']:.10f} Eh"
        state = ""
        if problem is not None and not point["converged"]:
            state = "  NOT CONVERGED (" + ", ".join(
                w for w, ok in (("SCF", point["scf_converged"]),
                                ("CASSCF", point.get("casscf_converged", True))) if not ok) + ")"
        if "error" in point:
            state += f"  FAILED: {point['error']}"
        overlap = "" if point.get("active_overlap") is None else \
            f", active overlap {point['active_overlap']:.4f}"
        progress.say(f"korvel: scan point {k + 1}/{n}: {value:g} A: {energy}{overlap} "
                     f"({_seconds(time.perf_counter() - started)}){state}")
        if problem is not None and point["converged"]:
            prev = problem
        else:
            prev = None
        if keep is not None:
            keep.setdefault("problems", []).append(problem)
    progress.timings["scan"] = time.perf_counter() - progress.started
    _record_timings(report, progress)
    return report


def format_scan_summary(report: dict) -> str:
    """The table of a scan: one row per geometry."""
    rem, scan = report["rem"], report["scan"]
    method = report["method"]
    lines = [f"korvel {report['korvel_version']}: {report['input']}", "",
             f"Scan {scan['coordinate']} (Angstrom): {rem['basis']}, active space "
             f"{rem['active_space']}" + (f" ({rem['n_act_elec']}e, {rem['n_act']}o)"
                                         if rem["active_space"] == "manual" else "")
             + (f", method {method}" if method else ""), ""]
    head = ["R/A", "SCF/Eh", "CCSD/Eh", "CASCI/Eh", f"{method or 'method'}/Eh",
            "exact/Eh", "err/mEh", "overlap", ""]
    widths = [8, 15, 15, 15, 15, 15, 9, 8, 0]
    lines.append("  ".join(f"{h:>{w}}" for h, w in zip(head, widths)).rstrip())

    def e(x):
        return "-" if x is None else f"{x:.8f}"

    for p in scan["points"]:
        if p["reference_energy"] is None:
            lines.append(f"{p['value']:>8.4f}  failed: {p.get('error')}")
            continue
        err = ("-" if p["method_energy"] is None or p["exact_energy"] is None
               else f"{1e3 * (p['method_energy'] - p['exact_energy']):+.4f}")
        ov = "-" if p.get("active_overlap") is None else f"{p['active_overlap']:.4f}"
        flag = ("" if p["converged"] else "NOT CONVERGED") + \
            (" degenerate level split by the cut" if p.get("warnings") else "") + \
            (" failed: " + p["error"].split(";")[0] if "error" in p else "")
        row = [f"{p['value']:.4f}", e(p["reference_energy"]), e(p["ccsd_energy"]),
               e(p["casci_energy"]), e(p["method_energy"]), e(p["exact_energy"]), err, ov,
               flag]
        lines.append("  ".join(f"{c:>{w}}" for c, w in zip(row, widths)).rstrip())
    lines.append("")
    lines.append("SCF is the reference energy (CASSCF with orbital_opt); err is the method "
                 "minus exact; overlap is that of the active orbitals with the point "
                 "before's (smallest singular value).")
    lines.append(f"Total time {_seconds(report['timings']['total'])}")
    return "\n".join(lines)


def _plot_scan(path: str, report: dict, progress) -> dict:
    from korvel.plot import check_plot_path, save_figure, scan_figure

    title = f"{os.path.basename(report['input'])}: {report['rem']['basis']}"
    with progress.stage("plot", f"drawing the scan to {path}"):
        fig = scan_figure(report["scan"]["points"], coordinate=report["scan"]["coordinate"],
                          method=report["method"], title=title)
        save_figure(fig, path)
    return {"path": path, "format": check_plot_path(path)[1:]}


#: Orbital energies closer than this (Eh) count as one degenerate level.
_DEGENERATE_EH = 1e-5


def _split_degenerate(problem, rem) -> str | None:
    """A manual cut that puts orbitals of one degenerate level on both sides of a block
    boundary (a pi pair split between core and active): which of them is active is then
    decided by rounding, the active space breaks the molecule's symmetry and its
    energies change from run to run. Said, not refused: the cut is what was asked for."""
    if rem.get("active_space") != "manual" or rem.get("orbital_opt"):
        return None
    import numpy as np

    eps = np.asarray(problem.extras.get("eps", ()), dtype=float)
    lo, hi = problem.n_core, problem.n_core + problem.n_act
    if len(eps) != problem.n_orb or not problem.n_act:
        return None
    pairs = []
    if lo:
        pairs.append(("core", "active", eps[:lo].max(), eps[lo:hi].min()))
    if problem.n_vir:
        pairs.append(("active", "virtual", eps[lo:hi].max(), eps[hi:].min()))
    for below, above, top, bottom in pairs:
        if abs(bottom - top) < _DEGENERATE_EH:
            return (f"the manual active space splits a degenerate level (orbital energy "
                    f"{top:.6f} Eh) between the {below} and the {above} orbitals: which "
                    "of them is active is decided by rounding, so the active space "
                    "breaks the molecule's symmetry and its energies are not reproducible; "
                    "choose n_act and n_act_elec that keep the level together")
    return None


def _record_timings(report: dict, progress: _Progress) -> None:
    progress.timings["total"] = time.perf_counter() - progress.started
    report["timings"] = dict(progress.timings)
def _locate_keyword_error(exc: ValueError, calc, progress) -> None:
    """An error about one keyword's value (its ``keyword`` attribute) raised again as
    a JobError with the file and line of that keyword, as a parse error would be."""
    keyword = getattr(exc, "keyword", None)
    line = (getattr(calc, "lines", None) or {}).get(keyword)
    if keyword is None or line is None:
        return
    progress.current = None
    raise JobError(f"{calc.source}, line {line}: {_message(exc)}") from exc


def _bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if n < 1024 or unit == "PiB":
            return f"{n:.3g} {unit}" if unit != "B" else f"{int(n)} B"
        n /= 1024


#: Bytes per determinant of a sector matrix and its eigensolver's vectors, as the exact
#: energy's estimate of its own memory.
_BYTES_PER_DETERMINANT = 320


def _method_size(calc, build_bytes: int, library_bytes: int) -> dict | None:
    """Memory of the job at the method stage, estimated before the SCF; None without a
    method.

    With a backend that folds the doubles series as it builds it (cpu, and auto without
    a GPU), the stage holds the whole-space Hamiltonian a second time in the exact
    singles transform (the build's estimate less the libraries) and the largest S_z block of
    the active space for the ground state of the effective Hamiltonian; the series keeps
    only terms that reach the active space, small beside both. A whole-space transform
    (the other backends) is not sized: it grows with every commutator order and can need
    many times the build. An AVAS active space is not known before the SCF; only the
    transform is sized then.
    """
    rem = calc.rem
    if rem["method"] is None:
        return None
    fold_aware = rem["backend"] in ("cpu", "auto")
    n_orb, n_elec = calc.basis_functions, getattr(calc, "electrons", None)
    if rem["active_space"] == "manual":
        n_act, n_act_elec = rem["n_act"], rem["n_act_elec"]
    elif rem["active_space"] == "full" and n_elec is not None:
        n_act, n_act_elec = n_orb, n_elec
    else:
        n_act = n_act_elec = None
    dets = 0
    if n_act is not None:
        # every S_z block is solved; the one nearest S_z = 0 is the largest
        dets = math.comb(n_act, (n_act_elec + 1) // 2) * math.comb(n_act, n_act_elec // 2)
    peak = 2 * build_bytes - library_bytes + _BYTES_PER_DETERMINANT * dets
    return {"bytes": peak if fold_aware else None,
            "determinants": dets if n_act is not None else None, "fold_aware": fold_aware}


def _announce_size(calc, progress) -> None:
    """Say how large the problem is before the long build, and refuse up front one
    that cannot fit in this machine's memory (the builder's own estimate, and the
    method stage's)."""
    n_ao = getattr(calc, "basis_functions", None)
    if n_ao is None:
        return
    (problem_size,) = _require("korvel.core.hamiltonian", "_problem_size")
    size = problem_size(n_ao)
    method = _method_size(calc, size["memory_bytes"], problem_size(0)["memory_bytes"])
    if method is None:
        stage = ""
    elif method["bytes"] is None:
        stage = (f"; the whole-space transform of backend {calc.rem['backend']!r} is not "
                 "sized and can need many times that (backend cpu folds the series as it "
                 "builds it)")
    else:
        stage = f", about {_bytes(method['bytes'])} at the method stage"
    progress.say(f"korvel: problem size: {n_ao} basis functions, {size['n_spinorb']} "
                 f"spin-orbitals, about {size['hamiltonian_terms']:.2g} Hamiltonian terms, "
                 f"about {_bytes(size['memory_bytes'])} of memory to build{stage} "
                 f"(this machine has {_bytes(size['memory_limit_bytes'])})")
    try:
        problem_size(n_ao, check=True)
    except MemoryError as exc:
        raise JobError(f"{calc.source}: {exc}") from None
    if method is not None and method["bytes"] is not None and \
            method["bytes"] > size["memory_limit_bytes"]:
        dets = f" ({method['determinants']:.3g} determinants in its largest S_z block)" \
            if method["determinants"] else ""
        raise JobError(f"{calc.source}: the method stage needs about "
                       f"{_bytes(method['bytes'])} of memory{dets}, more than the "
                       f"{_bytes(size['memory_limit_bytes'])} this machine has; use a smaller "
                       "active space or basis")


def _run_method(problem, rem, progress, report, keep=None) -> None:
    from korvel.backends import get_backend
    from korvel.methods.base import get_method

    name = rem["method"]
    try:
        method_cls = get_method(name)
    except ImportError as exc:
        raise JobError(f"method {name!r} is not available ({exc}); this installation "
                       "of korvel is incomplete, reinstall or rebuild it") from exc
    from korvel.inputfile import BACKEND_MAX_SPINORB

    wide = 2 * problem.n_orb > BACKEND_MAX_SPINORB["gpu"]
    try:
        # the GPU backend's Majorana masks hold 64 spin-orbitals: auto takes cpu past them
        backend = get_backend("cpu" if rem["backend"] == "auto" and wide else rem["backend"])
    except ImportError as exc:
        raise JobError(f"backend {rem['backend']!r} is not available ({exc})") from exc
    report["backend"] = getattr(backend, "name", type(backend).__name__)
    if rem["backend"] == "auto" and wide:
        progress.say(f"korvel: backend auto: {2 * problem.n_orb} spin-orbitals exceed the "
                     f"{BACKEND_MAX_SPINORB['gpu']} of the GPU backend, using the native "
                     "CPU backend (cpu)")
    elif rem["backend"] == "auto":
        progress.say("korvel: backend auto: "
                     + ("a CUDA device was found, using the GPU backend"
                        if report["backend"] == "gpu" else
                        "no GPU found, using the native CPU backend (cpu)"))
    if hasattr(backend, "progress"):  # the Majorana backends report each commutator order
        backend.progress = lambda order, terms, seconds: progress.say(
            f"korvel:   commutator order {order}: {terms} terms in {_seconds(seconds)}")

    method = method_cls(rem)
    method.progress = lambda text: progress.say(f"korvel:   {text}")
    with progress.stage("method", f"running method {name} on backend {report['backend']}"):
        result = method.run(problem, backend)

    report["method"] = result.method
    report["backend"] = result.backend
    report["energy"] = float(result.energy)
    report["reference_energy"] = float(result.reference_energy)
    report["observables"] = dict(result.observables)
    for warning in report["observables"].get("warnings") or ():
        progress.say(f"korvel: warning: {warning}")

    heff = result.effective_hamiltonian
    if keep is not None:
        keep["effective_hamiltonian"] = heff
    n_act_so = 2 * problem.n_act
    hermitian = bool(report["observables"].get("hermitian", True))
    meas = report["measurements"]["effective_hamiltonian"] = {}
    _measure_hamiltonian(heff, n_act_so, problem.n_act_elec, rem, progress,
                         label="effective Hamiltonian", key="effective", out=meas,
                         hermitian=hermitian)
    meas["reference_expectation"] = _determinant_expectation(
        heff, _active_occupation(problem))


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
    from korvel.io import atomic_write

    data = json.dumps(_jsonable(report), indent=2, allow_nan=False) + "\n"
    try:
        # removes its temporary file on failure; the file gets the usual permissions
        atomic_write(path, lambda fh: fh.write(data))
    except (OSError, ValueError) as exc:
        raise JobError(f"cannot write JSON file {path!r}: "
                       f"{getattr(exc, 'strerror', None) or exc}") from exc


def _energy(e) -> str:
    return "n/a" if e is None or (isinstance(e, float) and not math.isfinite(e)) \
        else f"{e:.10f} Eh"


def _multiplicity(mult: float) -> str:
    """2S+1 of a state found by the exact solver: an eigenstate of S^2 has a whole
    number, written as one with its name; a value between whole numbers (degenerate
    states of different spin mixed by the solver) is written as it is."""
    nearest = round(mult)
    if abs(mult - nearest) < 1e-3:
        names = {1: "singlet", 2: "doublet", 3: "triplet", 4: "quartet", 5: "quintet"}
        return f"{nearest}" + (f" ({names[nearest]})" if nearest in names else "")
    return f"{mult:.4f} (not a pure spin state)"


def format_summary(report: dict) -> str:
    """The summary of a report; after a failure, of the stages that finished."""
    p = report["problem"]
    rem = report["rem"]
    lines = [f"korvel {report['korvel_version']}: {report['input']}", ""]
    row = lines.append

    def kv(label, value, indent=2):
        row(f"{' ' * indent}{label:<34}{value}")

    cas = rem["orbital_opt"] and rem["active_space"] != "full"
    e_scf = p.get("e_scf", p["e_ref"])
    row("Problem")
    if p.get("fcidump"):
        kv("integrals / reference", f"FCIDUMP {p['fcidump']} / {rem['reference']}, "
                                    f"multiplicity {rem['multiplicity']}")
    else:
        kv("basis / reference", f"{rem['basis']} / {rem['reference']}, charge "
           f"{rem['charge']}, multiplicity {rem['multiplicity']}")
    kv("active space", rem["active_space"] + (" + CASSCF orbitals" if cas else ""))
    kv("orbitals", f"n_orb {p['n_orb']} = n_core {p['n_core']} + n_act {p['n_act']} "
                   f"+ n_vir {p['n_vir']}")
    kv("electrons", f"n_elec {p['n_elec']}, n_act_elec {p['n_act_elec']}")
    if cas:
        kv("SCF energy", _energy(e_scf))
    if p.get("ecp"):
        kv("effective core potentials", ", ".join(f"{el}: {name}"
                                                  for el, name in p["ecp"].items())
           + " (the basis set's own; its core electrons are not counted)")
    kind = "CASSCF" if cas else "determinant of the file's orbitals" if p.get("fcidump") \
        else "SCF"
    kv(f"reference energy ({kind})", _energy(p["e_ref"]))
    if "casscf" in p:
        c = p["casscf"]
        kv("CASSCF", f"{'converged' if c.get('converged') else 'NOT converged'}, started "
                     f"from {c.get('start', 'the SCF orbitals')}")
    kv("determinant energy <HF|H|HF>", _energy(p["e_determinant"]))
    h = report["measurements"].get("hamiltonian", {})
    if "n_terms" in h:
        kv("Hamiltonian", f"{h['n_terms']} terms on {h['n_spinorb']} spin-orbitals")

    not_done = "not computed (stopped by the error below)"
    row("")
    row("Full-space Hamiltonian")
    if h.get("exact_energy") is not None:
        kv(f"exact energy ({h['block_dimension']} dets)", _energy(h["exact_energy"]))
        if "exact_s_squared" in h:
            kv("exact state spin", f"<S^2> = {h['exact_s_squared']:.6f}, 2S+1 = "
                                   f"{_multiplicity(h['exact_multiplicity'])} (PySCF FCI, "
                                   f"{h['exact_block']} block)")
        # the correlation energy is measured from the mean field, whatever the orbitals
        kv("correlation energy (exact - SCF)", _energy(h["exact_energy"] - e_scf))
        if cas:
            kv("exact - CASSCF", _energy(h["exact_energy"] - p["e_ref"]))
    elif "exact_skipped" in h:
        kv("exact energy", f"skipped ({h['exact_skipped']})")
    else:
        kv("exact energy", not_done)
    kv("LCU 1-norm", f"{h['lcu_one_norm']:.6f}" if "lcu_one_norm" in h else not_done)
    if "dmrg" in h:
        d = h["dmrg"]
        for pt in d["points"]:
            kv(f"DMRG D = {pt['D']}", f"{_energy(pt['energy'])}  (discarded weight "
                                      f"{pt['discarded_weight']:.2e})")
        fitted = ", ".join(str(D) for D in d.get("fitted_bond_dims", []))
        if "energy" not in d:
            kv("DMRG energy", not_done)
        elif d.get("converged"):
            kv("DMRG energy (converged)", f"{_energy(d['energy'])}  (D = "
                                          f"{d.get('converged_bond_dim')}: discarded weight "
                                          "below 1e-12, nothing to extrapolate)")
        elif d["extrapolated"]:
            kv("DMRG extrapolated (dw -> 0)", f"{_energy(d['extrapolated_energy'])}  "
                                              f"(95% half-width {d['ci95_halfwidth']:.2e}; "
                                              f"fit over D = {fitted or 'none'})")
        else:
            kv("DMRG energy (lowest computed)", _energy(d["energy"]))
        if "seed" in d:
            kv("DMRG seed", str(d["seed"]))
        if d.get("note"):
            row(f"  note: {d['note']}")

    if report["energy"] is not None:
        obs = report["observables"] or {}
        eff = report["measurements"].get("effective_hamiltonian", {})
        row("")
        row(f"Method {report['method']} on backend {report['backend']}")
        kv("reference energy", _energy(report["reference_energy"]))
        kv("downfolded energy", _energy(report["energy"]))
        kv("correlation energy (vs SCF)", _energy(report["energy"] - e_scf))
        if obs.get("ccsd_energy") is not None:
            kv("CCSD energy (amplitude solve)", _energy(obs["ccsd_energy"]))
            kv("downfolded - CCSD", f"{report['energy'] - obs['ccsd_energy']:+.3e} Eh")
        if h.get("exact_energy") is not None:
            kv("downfolded - exact", f"{report['energy'] - h['exact_energy']:+.3e} Eh")
        if "eigenvalue_imag" in obs:
            kv("eigenvalue imaginary part", f"{obs['eigenvalue_imag']:.3e}")
        if "nonhermiticity_l1" in obs:
            kv("non-Hermiticity |H - H^+|_1", f"{obs['nonhermiticity_l1']:.6e}")
        if "cluster_terms" in obs:
            split = (f" ({obs['cluster_singles']} singles, {obs['cluster_doubles']} doubles)"
                     if "cluster_singles" in obs else "")
            kv("cluster terms", f"{obs['cluster_terms']}{split}")
        if "n_comm" in obs:
            kv("commutators / body cap", f"{obs['n_comm']} / {obs.get('max_body')}")
        if "n_terms" in eff:
            kv("effective Hamiltonian", f"{eff['n_terms']} terms on {eff['n_spinorb']} "
                                        f"spin-orbitals, {eff['n_elec']} electrons")
        kv("effective LCU 1-norm",
           f"{eff['lcu_one_norm']:.6f}" if "lcu_one_norm" in eff else not_done)
        if "reference_expectation" in eff:
            kv("<HF|H_eff|HF>", _energy(eff["reference_expectation"].real))
        if eff.get("exact_energy") is not None:
            kv("effective exact energy", _energy(eff["exact_energy"]))
        if "note" in obs:
            row(f"  note: {obs['note']}")
        lines.extend(_series_table(obs))
        for warning in obs.get("warnings") or ():
            row(f"  warning: {warning}")
    elif report.get("error") and report["method"] is not None:
        row("")
        row(f"Method {report['method']}" + (f" on backend {report['backend']}"
                                            if report.get("backend") else ""))
        kv("downfolded energy", not_done)

    row("")
    row("Timings")
    for key, t in report["timings"].items():
        kv(key.replace("_", " "), _seconds(t))
    if report.get("error"):
        row("")
        row(f"Stopped by an error: {report['error']}")
    return "\n".join(lines)


def _series_table(obs: dict) -> list[str]:
    """The downfolded energy after each commutator order, its change, and the 1-norm
    that the body cap removed from the folded operator at that order: whether the
    series and the cap have converged."""
    energies = obs.get("energy_by_order")
    if not energies:
        return []
    dropped = obs.get("body_cap_dropped_l1")
    out = ["", "  Series convergence (downfolded energy after each commutator order)",
           f"  {'order':>5}  {'energy / Eh':>17}  {'change / mEh':>13}  {'cap dropped |.|_1':>17}"]
    for k, e in enumerate(energies):
        change = f"{1e3 * (e - energies[k - 1]):+13.4f}" if k else f"{'':>13}"
        cut = f"{dropped[k]:17.3e}" if dropped is not None and k < len(dropped) else f"{'n/a':>17}"
        out.append(f"  {k:>5}  {e:17.10f}  {change}  {cut}")
    return out


# ---------------------------------------------------------------------------
# Files besides the summary: the Hamiltonian, the plot
# ---------------------------------------------------------------------------

def _file_identity(path: str):
    """(device, inode) of an existing file, its resolved path otherwise: two names of
    one file, through links or not, compare equal."""
    try:
        st = os.stat(path)
        return (st.st_dev, st.st_ino)
    except OSError:
        return os.path.realpath(path)


def _check_outputs(args) -> None:
    """Refuse output options that cannot work, before any long work starts: an empty
    name, an unknown file type, a missing folder, a directory, the same file named
    twice, a plot without matplotlib. A symbolic link is checked as the file it points
    to; a device or FIFO (``/dev/stdout``) is written as a stream and needs only to be
    writable."""
    from korvel.io import output_target

    targets = [("--json", args.json), ("--save-hamiltonian", args.save_hamiltonian),
               ("--plot", args.plot)]
    seen = {_file_identity(args.input): "the input file"}
    for option, path in targets:
        if path is None:
            continue
        try:
            kind, target = output_target(path)
        except ValueError as exc:
            raise JobError(f"{option} {path!r}: {exc}") from None
        if kind == "stream":
            if not os.access(path, os.W_OK):
                raise JobError(f"{option} {path!r}: the device or FIFO is not writable")
            continue
        key = _file_identity(target)
        if key in seen:
            raise JobError(f"{option} {path!r} is the same file as {seen[key]}")
        seen[key] = option
        folder = os.path.dirname(target)
        shown = "" if target == os.path.abspath(path) else f" (a link to {target!r})"
        if not os.path.isdir(folder):
            raise JobError(f"{option} {path!r}{shown}: the folder {folder!r} does not exist")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise JobError(f"{option} {path!r}{shown}: the folder {folder!r} is not writable")
    if args.save_hamiltonian:
        from korvel.io import format_from_path
        try:
            format_from_path(args.save_hamiltonian)
        except ValueError as exc:
            raise JobError(f"--save-hamiltonian: {exc}") from None
    if args.plot:
        from korvel.plot import check_plot_path, require_matplotlib
        try:
            check_plot_path(args.plot)
            require_matplotlib()
        except (ValueError, ImportError) as exc:
            raise JobError(f"--plot: {exc}") from None


def _check_plot_content(args, calc) -> None:
    """A plot needs DMRG runs or a method to draw; checked on the parsed input, right
    after it is read (the input is read once: it may be a pipe)."""
    rem = calc.rem
    if args.plot and rem["method"] is None and not rem["dmrg_bond_dims"] \
            and not getattr(calc, "scan", None):
        raise JobError(f"--plot: {calc.source} sets neither dmrg_bond_dims nor method "
                       "in $rem, so there is nothing to plot")


def _check_libraries(rem: dict) -> None:
    """Refuse, before any calculation starts, a job whose optional libraries are
    missing: block2 for DMRG. The message gives the install line to type."""
    if rem["dmrg_bond_dims"] and _MPI_SESSION is None:   # the MPI session checks its own
        try:
            importlib.import_module("pyblock2.driver.core")
        except Exception as exc:
            raise JobError(f"dmrg_bond_dims needs the DMRG library block2, which cannot be "
                           f"imported ({_message(exc)}); install it with: "
                           f"pip install block2") from None
    # backend gpu (CuPy and a CUDA device) is checked by the input parser, with its line


def _save_hamiltonian(path: str, report: dict, keep: dict, progress) -> dict:
    """Write the effective Hamiltonian when a method ran, else the full-space one."""
    from korvel.io import format_from_path, save_hamiltonian

    problem, rem = keep["problem"], report["rem"]
    fmt = format_from_path(path)
    extra = {"input": report["input"], "basis": rem["basis"], "charge": rem["charge"],
             **({"fcidump": report["problem"]["fcidump"], "basis": None}
                if report["problem"].get("fcidump") else {}),
             "multiplicity": rem["multiplicity"], "reference": rem["reference"],
             "active_space": rem["active_space"], "method": report["method"],
             "backend": report["backend"], "reference_energy": report["reference_energy"]}
    if "effective_hamiltonian" in keep:
        op, label = keep["effective_hamiltonian"], "effective Hamiltonian"
        sizes = dict(n_spinorb=2 * problem.n_act, n_elec=problem.n_act_elec,
                     occupied=range(problem.n_act_elec))
        extra.update(operator="effective", energy=report["energy"],
                     exact_energy=report["measurements"]["effective_hamiltonian"]
                     ["exact_energy"],
                     full_space={k: report["problem"][k] for k in
                                 ("n_orb", "n_elec", "n_core", "n_act", "n_vir")})
        text = (f"effective Hamiltonian of method {report['method']} on the active space "
                f"of {report['input']}")
    else:
        op, label = problem.hamiltonian, "full-space Hamiltonian"
        sizes = dict(n_spinorb=2 * problem.n_orb, n_elec=problem.n_elec,
                     occupied=problem.occupied, n_core=problem.n_core,
                     n_vir=problem.n_vir)
        extra.update(operator="full-space",
                     exact_energy=report["measurements"]["hamiltonian"]["exact_energy"])
        text = f"full-space Hamiltonian of {report['input']}"
    with progress.stage("save_hamiltonian", f"writing the {label} to {path} ({fmt} format)"):
        save_hamiltonian(path, op, **sizes, description=text, extra=_jsonable(extra),
                         fmt=fmt)
    return {"path": path, "format": fmt, "operator": extra["operator"]}


def _casci_energy(problem, rem, progress) -> dict:
    """Lowest energy of the untransformed Hamiltonian folded onto the active space."""
    n_so, n_e = 2 * problem.n_act, problem.n_act_elec
    dim = _sector_dimension(n_so, n_e)
    out: dict[str, Any] = {"energy": None, "n_spinorb": n_so, "n_elec": n_e}
    if dim > rem["fci_max_dim"]:
        out["skipped"] = f"sector of {dim} determinants exceeds fci_max_dim {rem['fci_max_dim']}"
        progress.say(f"korvel: CASCI energy skipped: {out['skipped']}")
        return out
    if n_so > _sector_max_spinorb():
        out["skipped"] = (f"{n_so} active spin-orbitals exceed the {_sector_max_spinorb()} "
                          "of the native sector solver")
        progress.say(f"korvel: CASCI energy skipped: {out['skipped']}")
        return out
    (fci_energy,) = _require("korvel.core.analysis", "fci_energy")
    with progress.stage("casci", f"CASCI energy (the Hamiltonian folded onto the active "
                                 f"space without transformation, {dim} determinants)"):
        # past 64 spin-orbitals the projector folds on the native backend's ladder terms
        (downfold_to_active,) = _require("korvel.downfold.projector", "downfold_to_active")
        folded = downfold_to_active(dict(_terms(problem.hamiltonian)), problem)
        out["energy"] = float(fci_energy(folded, n_so, n_e))
    return out


def _plot(path: str, report: dict, keep: dict, progress) -> dict:
    """DMRG panel when DMRG ran, energy ladder when a method ran."""
    from korvel.plot import check_plot_path, results_figure, save_figure

    rem, p = report["rem"], report["problem"]
    h = report["measurements"]["hamiltonian"]
    levels = None
    if "effective_hamiltonian" in keep:
        casci = _casci_energy(keep["problem"], rem, progress)
        report["measurements"]["casci"] = casci
        cas = rem["orbital_opt"] and rem["active_space"] != "full"
        obs = report["observables"] or {}
        levels = [("CASSCF" if cas else "SCF", p["e_ref"]), ("CASCI", casci["energy"]),
                  ("CCSD", obs.get("ccsd_energy")),
                  (f"downfolded\n({report['method']})", report["energy"]),
                  ("exact", h["exact_energy"])]
    basis = (f"FCIDUMP {os.path.basename(p['fcidump'])}" if p.get("fcidump")
             else rem["basis"])
    title = (f"{os.path.basename(report['input'])}: {basis}, {p['n_elec']} electrons "
             f"in {p['n_orb']} orbitals")
    active = (p["n_act_elec"], p["n_act"]) if levels is not None else None
    rotations = None
    by_rotation = (report.get("observables") or {}).get("reference_energy_by_rotation")
    if by_rotation:
        obs = report["observables"]
        rotations = (by_rotation, [("CCSD", obs.get("ccsd_energy")),
                                   ("CASCI", report["measurements"].get("casci", {}).get("energy")),
                                   ("exact", h["exact_energy"])])
    with progress.stage("plot", f"drawing the results to {path}"):
        fig = results_figure(dmrg=h.get("dmrg"), exact=h["exact_energy"], levels=levels,
                             title=title, active_space=active, rotations=rotations)
        save_figure(fig, path)
    return {"path": path, "format": check_plot_path(path)[1:]}


def _write_outputs(args, report: dict, keep: dict, progress) -> list[str]:
    """Write the requested Hamiltonian file and plot; record them in the report.
    Returns the failures (one line each), so that the JSON is written regardless."""
    report["files"] = {}
    failures = []
    for key, path, write in (("hamiltonian", args.save_hamiltonian, _save_hamiltonian),
                             ("plot", args.plot, _plot)):
        if not path:
            continue
        try:
            report["files"][key] = write(path, report, keep, progress)
        except Exception as exc:
            if args.debug:
                traceback.print_exc()
            where = f"while {progress.current}: " if progress.current else ""
            progress.current = None
            failures.append(where + _message(exc))
    if args.json:
        report["files"]["json"] = {"path": args.json, "format": "json"}
    return failures


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
    ap.add_argument("--save-hamiltonian", metavar="FILE",
                    help="write the effective Hamiltonian (the full-space one when no "
                         "method runs) to FILE: .json/.korvel korvel's own file, .data "
                         "OpenFermion's, FCIDUMP or *.fcidump FCIDUMP integrals")
    ap.add_argument("--plot", metavar="FILE",
                    help="draw the DMRG extrapolation and the energy ladder to FILE "
                         "(.png, .svg or .pdf; needs matplotlib)")
    ap.add_argument("--debug", action="store_true", help="show tracebacks of errors")
    ap.add_argument("--version", action="version", version=f"korvel {korvel.__version__}")
    return ap


def main(argv=None) -> int:
    from korvel.parallel import launcher_world

    world = launcher_world()
    if world is not None:
        return _main_mpi(argv, *world)
    return _run(_argparser().parse_args(argv))


def _main_mpi(argv, rank: int, size: int) -> int:
    """One rank of ``mpirun -n N korvel ...``: rank 0 runs the job and alone prints
    and writes files; the other ranks take part in the DMRG runs only."""
    from korvel import parallel

    if rank != 0:
        devnull = open(os.devnull, "w")
        os.dup2(devnull.fileno(), 1)
        sys.stdout = devnull
        try:
            with redirect_stderr(devnull):     # rank 0 reports bad arguments
                args = _argparser().parse_args(argv)
        except SystemExit as exc:
            return exc.code if isinstance(exc.code, int) else EXIT_ERROR
        try:
            session = parallel.start_session(rank, size, debug=args.debug)
        except ImportError as exc:
            # said on every rank: a process that inherited a launcher's variables (an MPI
            # program's child) has no rank 0 to say it
            print(f"korvel: error: (MPI rank {rank} of {size}) {_message(exc)}",
                  file=sys.stderr, flush=True)
            return EXIT_ERROR
        return session.serve()

    global _MPI_SESSION
    args = _argparser().parse_args(argv)
    try:
        session = parallel.start_session(rank, size, debug=args.debug)
    except ImportError as exc:
        print(f"korvel: error: {_message(exc)}", file=sys.stderr, flush=True)
        return EXIT_ERROR
    print(f"korvel: running on {size} MPI ranks: DMRG is distributed over all of them, "
          "everything else runs on rank 0", file=sys.stderr, flush=True)
    status = EXIT_ERROR
    _MPI_SESSION = session
    try:
        status = _run(args)
    finally:
        _MPI_SESSION = None
        session.finish(status)
        # the MPI library takes leave on standard output at exit; keep it off the summary
        sys.stdout.flush()
        os.dup2(2, 1)
    return status


def _run(args) -> int:
    progress = _Progress(sys.stderr)
    report: dict[str, Any] = {}
    try:
        _check_outputs(args)
        calc = _parse(args.input, progress)
        _check_plot_content(args, calc)
        _check_libraries(calc.rem)
        keep: dict[str, Any] = {}
        if getattr(calc, "scan", None):
            return _run_scan(args, calc, progress, keep, report)
        run_job(calc, progress, keep, report)
        print(format_summary(report), flush=True)
        failures = _write_outputs(args, report, keep, progress)
        if args.json:
            write_json(args.json, report)
            progress.say(f"korvel: results written to {args.json}")
        if failures:
            raise JobError("; ".join(failures))
    except KeyboardInterrupt:
        print("korvel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # every failure becomes one line and status 2
        if args.debug:
            traceback.print_exc()
        where = f"while {progress.current}: " if progress.current else ""
        message = where + _message(exc)
        if "problem" in report and "timings" not in report:
            _report_what_finished(args, report, message, progress)
        print(f"korvel: error: {message}", file=sys.stderr, flush=True)
        return EXIT_ERROR
    return EXIT_OK


def _run_scan(args, calc, progress, keep, report) -> int:
    if args.save_hamiltonian:
        raise JobError("--save-hamiltonian writes one Hamiltonian, and a $scan makes one "
                       "per geometry; run the geometry you want without $scan")
    run_scan(calc, progress, keep, report)
    print(format_scan_summary(report), flush=True)
    report["files"] = {}
    failure = None
    if args.plot:
        try:
            report["files"]["plot"] = _plot_scan(args.plot, report, progress)
        except Exception as exc:
            failure = f"while {progress.current}: {_message(exc)}" if progress.current \
                else _message(exc)
            progress.current = None
    if args.json:
        report["files"]["json"] = {"path": args.json, "format": "json"}
        write_json(args.json, report)
        progress.say(f"korvel: results written to {args.json}")
    if failure:
        raise JobError(failure)
    bad = [p for p in report["scan"]["points"] if not p["converged"]]
    if bad:
        progress.say(f"korvel: warning: {len(bad)} of {len(report['scan']['points'])} scan "
                     "points did not converge or failed; they are marked in the table")
    return EXIT_OK


def _report_what_finished(args, report: dict, message: str, progress) -> None:
    """After a failure in a stage after the build: the summary of the stages that
    finished, and the JSON file with the error recorded in it, so that nothing already
    computed is lost. A failure here is added to the error line, never hides it."""
    report["error"] = message
    _record_timings(report, progress)
    progress.current = None
    try:
        print(format_summary(report), flush=True)
    except Exception as exc:      # a report cut short in an unforeseen place
        progress.say(f"korvel: the summary of the finished stages failed too: "
                     f"{_message(exc)}")
    if args.json:
        report.setdefault("files", {})["json"] = {"path": args.json, "format": "json"}
        try:
            write_json(args.json, report)
            progress.say(f"korvel: results of the finished stages, with the error, "
                         f"written to {args.json}")
        except Exception as exc:
            progress.say(f"korvel: {_message(exc)}")
