"""What a new user meets first: the default backend, the shipped examples after a plain
install, libraries refused before the SCF, and nothing lost when a late stage fails.
Energies are checked against PySCF and against the reference backend."""

import re
import sys

import pytest

from test_cli import (EXAMPLES, H2, ROOT, assert_one_error_line, korvel, need_method,
                      need_problem_and_analysis, pyscf_mol, rhf_and_fci, strict_json,
                      write_input)

H4 = [("H", (0.0, 0.0, 0.9 * k)) for k in range(4)]
LIH = [("Li", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.6))]


def summary_energy(stdout, label):
    """The energy the summary prints on the line ``label``."""
    m = re.search(rf"^\s*{re.escape(label)}\s+(-?\d+\.\d+) Eh", stdout, re.M)
    assert m, f"no line {label!r} in\n{stdout}"
    return float(m.group(1))


# -- the default backend -------------------------------------------------------------

def test_auto_backend_is_the_native_one_and_agrees_with_the_reference(tmp_path):
    """Without a GPU, "auto" is the native CPU backend (never the slow reference one),
    and its downfolded energy is the reference backend's."""
    need_method()
    from korvel.backends import get_backend
    from korvel.backends.tavrin import GpuBackend

    auto = get_backend("auto")
    assert auto.name == ("gpu" if GpuBackend().available() else "cpu")
    assert get_backend("openfermion").name == "openfermion"        # still there by name

    rem = {"basis": "sto-3g", "method": "cendrel", "backend": "auto"}
    proc = korvel(write_input(tmp_path / "h2.in", H2, rem), "--json", tmp_path / "a.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "a.json")
    assert data["backend"] == auto.name
    if auto.name == "cpu":
        assert "no GPU found, using the native CPU backend" in proc.stderr
    rem["backend"] = "openfermion"
    proc = korvel(write_input(tmp_path / "h2r.in", H2, rem), "--json", tmp_path / "r.json")
    assert proc.returncode == 0, proc.stderr
    ref = strict_json(tmp_path / "r.json")
    assert ref["backend"] == "openfermion"
    assert data["energy"] == pytest.approx(ref["energy"], abs=1e-10)


# -- the examples after `pip install .` ----------------------------------------------

def test_every_example_needs_only_what_a_plain_install_brings():
    """An example that runs DMRG needs block2, so block2 is a dependency of the package
    itself, not of an extra; no example asks for an optional backend."""
    tomllib = pytest.importorskip("tomllib")
    from korvel.inputfile import read_input

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    plain = {re.split(r"[<>=!~ \[;]", d)[0].lower() for d in project["dependencies"]}
    examples = sorted(EXAMPLES.glob("*.in"))
    assert len(examples) >= 6
    for path in examples:
        rem = read_input(path).rem
        if rem["dmrg_bond_dims"]:
            assert "block2" in plain, path.name
        assert rem["backend"] in ("auto", "cpu"), path.name
    # the README's own statement of it
    readme = (ROOT / "README.md").read_text()
    assert "run as they are, after the `pip install .` above" in readme


@pytest.mark.parametrize("case", ["block2", "cupy"])
def test_a_missing_library_is_refused_before_the_scf(tmp_path, monkeypatch, case):
    need_problem_and_analysis()
    if case == "block2":
        job = EXAMPLES / "h6_dmrg.in"
        for name in ("pyblock2", "pyblock2.driver", "pyblock2.driver.core", "block2"):
            monkeypatch.setitem(sys.modules, name, None)       # unimportable
        pattern = r"dmrg_bond_dims needs the DMRG library block2.*pip install block2"
    else:
        job = write_input(tmp_path / "h2.in", H2, {"method": "cendrel", "backend": "gpu"})
        monkeypatch.setitem(sys.modules, "cupy", None)
        pattern = (r"h2\.in, line \d+: backend gpu is not available on this machine: it "
                   r"needs CuPy.*pip install \"korvel\[gpu\]\"")
    proc = korvel(job, "--json", tmp_path / "r.json")
    assert_one_error_line(proc, pattern)
    assert "building the problem" not in proc.stderr
    assert not (tmp_path / "r.json").exists()


# -- a failure in a late stage -------------------------------------------------------

def _method_out_of_memory(monkeypatch):
    """The method stage runs out of memory."""
    from korvel.methods.cendrel import CCSDDownfold

    def run(self, problem, backend):
        raise MemoryError("the transformed operator needs 7.6 GB")
    monkeypatch.setattr(CCSDDownfold, "run", run)


def _dmrg_fails_at_the_second_run(monkeypatch):
    """The DMRG library fails at the second bond dimension."""
    import korvel.core.analysis as an
    solve, calls = an.dmrg_solve, []

    def once(*args, **kwargs):
        calls.append(1)
        if len(calls) > 1:
            raise RuntimeError("block2 stopped")
        return solve(*args, **kwargs)
    monkeypatch.setattr(an, "dmrg_solve", once)


@pytest.mark.parametrize("stage", ["method", "dmrg"])
def test_a_late_failure_keeps_what_finished(tmp_path, monkeypatch, stage):
    """The summary of what finished is printed and the JSON is written with the error
    recorded; then the one error line and status 2."""
    need_method()
    if stage == "method":
        rem = {"method": "cendrel"}
        _method_out_of_memory(monkeypatch)
        pattern = r"while running method cendrel on backend \w+: MemoryError: the " \
                  r"transformed operator needs 7\.6 GB"
    else:
        pytest.importorskip("pyblock2")
        rem = {"dmrg_bond_dims": "3 4", "dmrg_n_sweeps": 2, "dmrg_n_threads": 1,
               "dmrg_stack_gb": 0.25}
        _dmrg_fails_at_the_second_run(monkeypatch)
        pattern = r"while DMRG of the full-space Hamiltonian, bond dimension 4: " \
                  r"RuntimeError: block2 stopped"
    job = write_input(tmp_path / "h4.in", H4, rem)
    proc = korvel(job, "--json", tmp_path / "r.json")
    last = assert_one_error_line(proc, pattern)
    mf, e_fci = rhf_and_fci(H4)
    # the summary of the finished stages, on stdout
    assert summary_energy(proc.stdout, "exact energy (36 dets)") == pytest.approx(e_fci, abs=1e-9)
    assert "Stopped by an error: " + last[len("korvel: error: "):] in proc.stdout
    # the JSON, with the error recorded
    data = strict_json(tmp_path / "r.json")
    assert data["error"] == last[len("korvel: error: "):]
    h = data["measurements"]["hamiltonian"]
    assert h["exact_energy"] == pytest.approx(e_fci, abs=1e-9)
    assert data["reference_energy"] == pytest.approx(mf.e_tot, abs=1e-8)
    assert data["energy"] is None and data["timings"]["total"] > 0
    assert data["files"]["json"] == {"path": str(tmp_path / "r.json"), "format": "json"}
    if stage == "dmrg":
        (point,) = h["dmrg"]["points"]                 # the run that finished is kept
        assert point["D"] == 3 and point["energy"] > e_fci - 1e-9
        assert "DMRG D = 3" in proc.stdout


# -- what the summary says -----------------------------------------------------------

def test_correlation_energy_is_measured_from_the_scf_energy(tmp_path):
    """With CASSCF orbitals the correlation energy is still exact - SCF; the distance
    from CASSCF is its own line. The spin of a singlet is written as a whole number."""
    need_problem_and_analysis()
    from pyscf import scf

    rem = {"active_space": "manual", "n_act": 2, "n_act_elec": 2, "orbital_opt": "true"}
    proc = korvel(write_input(tmp_path / "lih.in", LIH, rem), "--json", tmp_path / "r.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "r.json")
    e_scf = scf.RHF(pyscf_mol(LIH)).run(conv_tol=1e-10).e_tot
    _, e_fci = rhf_and_fci(LIH)
    e_cas = data["reference_energy"]
    assert data["problem"]["e_scf"] == pytest.approx(e_scf, abs=1e-8)
    assert e_cas < e_scf - 1e-4                      # CASSCF lowered the reference
    assert summary_energy(proc.stdout, "correlation energy (exact - SCF)") == pytest.approx(
        e_fci - e_scf, abs=2e-9)
    assert summary_energy(proc.stdout, "exact - CASSCF") == pytest.approx(e_fci - e_cas,
                                                                          abs=2e-9)
    assert summary_energy(proc.stdout, "SCF energy") == pytest.approx(e_scf, abs=1e-8)
    assert re.search(r"2S\+1 = 1 \(singlet\)", proc.stdout)


def test_plot_run_parses_once_and_names_the_active_space(tmp_path, monkeypatch):
    """With --plot the parse time is that of the one parse of the file (the file read
    a second time, from the caches the first left, took "0.00 s"), and the energy
    ladder names its active space."""
    need_method()
    pytest.importorskip("matplotlib")
    import time

    import korvel.inputfile as inputfile
    import korvel.plot as plot

    read, save, parses, titles = inputfile.read_input, plot.save_figure, [], []

    def slow_read(path):
        parses.append(path)
        time.sleep(0.3)
        return read(path)

    def save_and_look(fig, path):
        titles.extend(ax.get_title() for ax in fig.axes)
        return save(fig, path)

    monkeypatch.setattr(inputfile, "read_input", slow_read)
    monkeypatch.setattr(plot, "save_figure", save_and_look)
    job = write_input(tmp_path / "h4.in", H4, {"active_space": "manual", "n_act": 2,
                                               "n_act_elec": 2, "method": "cendrel"})
    proc = korvel(job, "--plot", tmp_path / "p.png", "--json", tmp_path / "r.json")
    assert proc.returncode == 0, proc.stderr
    assert len(parses) == 1
    data = strict_json(tmp_path / "r.json")
    assert data["timings"]["parse"] >= 0.3
    assert titles == ["energy ladder, active space (2e, 2o)"]
    assert (tmp_path / "p.png").read_bytes().startswith(b"\x89PNG")


# -- DMRG: the same input, the same numbers ------------------------------------------

def test_dmrg_energies_repeat_from_run_to_run(tmp_path):
    """Two runs of one input give the same DMRG energies at truncated bond dimensions:
    the start state comes from a fixed seed, ``dmrg_seed`` (the orbitals, and so the
    Hamiltonian, are the same in every process: test_hamiltonian holds that)."""
    need_problem_and_analysis()
    pytest.importorskip("pyblock2")
    rem = {"dmrg_bond_dims": "3 5", "dmrg_n_sweeps": 4, "dmrg_n_threads": 1,
           "dmrg_stack_gb": 0.25}
    job = write_input(tmp_path / "h4.in", H4, rem)
    runs = []
    for k in range(2):
        proc = korvel(job, "--json", tmp_path / f"r{k}.json")
        assert proc.returncode == 0, proc.stderr
        runs.append(strict_json(tmp_path / f"r{k}.json")["measurements"]["hamiltonian"]["dmrg"])
    assert runs[0]["seed"] == 1
    for a, b in zip(runs[0]["points"], runs[1]["points"]):
        assert a["D"] == b["D"] and a["energy"] == pytest.approx(b["energy"], abs=1e-12)
        assert a["discarded_weight"] == pytest.approx(b["discarded_weight"], rel=1e-8)
    assert all(p["discarded_weight"] > 1e-10 for p in runs[0]["points"])   # truncated runs
    _, e_fci = rhf_and_fci(H4)
    assert all(p["energy"] > e_fci for p in runs[0]["points"])
    # another seed is taken from the input
    rem["dmrg_seed"] = 99
    proc = korvel(write_input(tmp_path / "h4b.in", H4, rem), "--json", tmp_path / "s.json")
    assert proc.returncode == 0, proc.stderr
    assert strict_json(tmp_path / "s.json")["measurements"]["hamiltonian"]["dmrg"]["seed"] == 99
