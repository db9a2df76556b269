"""The korvel command's --save-hamiltonian and --plot: the files it writes, read back
by their own readers (korvel, OpenFermion, PySCF) and checked against PySCF's FCI;
option mistakes refused before any long work."""

import os

import numpy as np
import pytest

import korvel
from test_cli import (EXAMPLES, H2, assert_one_error_line, korvel as run_korvel,
                      need, need_method, need_problem_and_analysis, rhf_and_fci,
                      strict_json, write_input)

H4 = [("H", (0.0, 0.0, 0.9 * k)) for k in range(4)]


def sector_matrix(op, n_spinorb, n_elec):
    """The operator on the n_elec-electron determinants, by OpenFermion."""
    import openfermion as of
    from openfermion.linalg import get_number_preserving_sparse_operator
    fop = op if isinstance(op, of.FermionOperator) else of.FermionOperator()
    if fop is not op:
        fop.terms = dict(op)
    return get_number_preserving_sparse_operator(fop, n_spinorb, n_elec,
                                                 spin_preserving=False).toarray()


# -- option mistakes: refused before the problem is built ----------------------------

@pytest.mark.parametrize("case", ["extension", "plot type", "no matplotlib",
                                  "nothing to plot", "directory", "no folder",
                                  "same file"])
def test_option_mistakes_are_refused_at_once(tmp_path, case):
    job, prelude = EXAMPLES / "h2_631g.in", None
    args = {
        "extension": (["--save-hamiltonian", tmp_path / "h.txt"], r"cannot tell the "
                      r"Hamiltonian format.*\.json or \.korvel.*\.data.*FCIDUMP"),
        "plot type": (["--plot", tmp_path / "p.jpg"], r"--plot: .*\.png, \.svg, \.pdf"),
        "no matplotlib": (["--plot", tmp_path / "p.png"],
                          r"--plot: plots need matplotlib.*korvel\[plot\]"),
        "nothing to plot": (["--plot", tmp_path / "p.png"], "nothing to plot"),
        "directory": (["--save-hamiltonian", tmp_path], "is a directory"),
        "no folder": (["--plot", tmp_path / "nope" / "p.png"], "does not exist"),
        "same file": (["--json", tmp_path / "h.json", "--save-hamiltonian",
                       tmp_path / "h.json"], "same file as --json"),
    }[case]
    if case == "no matplotlib":
        prelude = "sys.modules['matplotlib'] = None"
    if case == "nothing to plot":
        job = EXAMPLES / "h2o_sto3g.in"
    if case == "directory":
        args = (["--save-hamiltonian", tmp_path / "d.json"], args[1])
        (tmp_path / "d.json").mkdir()
    proc = run_korvel(job, *args[0], prelude=prelude)
    assert_one_error_line(proc, args[1])
    assert "building the problem" not in proc.stderr
    assert sorted(os.listdir(tmp_path)) == (["d.json"] if case == "directory" else [])


# -- the full-space Hamiltonian, each format read back by its own reader ------------

@pytest.mark.parametrize("name", ["h4.json", "FCIDUMP"])
def test_full_space_hamiltonian_file_gives_fci_energy(tmp_path, name):
    need_problem_and_analysis()
    job = write_input(tmp_path / "h4.in", H4, {"basis": "sto-3g"})
    out = tmp_path / name
    proc = run_korvel(job, "--save-hamiltonian", out, "--json", tmp_path / "r.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "r.json")
    fmt = {"h4.json": "korvel", "h4.data": "openfermion", "FCIDUMP": "fcidump"}[name]
    assert data["files"]["hamiltonian"] == {"path": str(out), "format": fmt,
                                            "operator": "full-space"}
    assert data["files"]["json"]["path"] == str(tmp_path / "r.json")
    assert data["korvel_version"] == korvel.__version__
    _, e_fci = rhf_and_fci(H4)
    if fmt == "fcidump":
        from test_io import pyscf_fci_of_fcidump
        energy = pyscf_fci_of_fcidump(out)[0]
    else:
        if fmt == "korvel":
            from korvel.io import load_hamiltonian
            op, meta = load_hamiltonian(out)
            assert (meta["n_spinorb"], meta["n_elec"], meta["occupied"]) == (8, 4, [0, 1, 2, 3])
            assert meta["extra"]["operator"] == "full-space"
            assert meta["extra"]["exact_energy"] == data["measurements"]["hamiltonian"][
                "exact_energy"]
        else:
            from openfermion.utils import load_operator
            op = load_operator(file_name=name, data_directory=str(tmp_path))
        energy = np.linalg.eigvalsh(sector_matrix(op, 8, 4))[0]
    assert energy == pytest.approx(e_fci, abs=1e-8)
    assert energy == pytest.approx(data["measurements"]["hamiltonian"]["exact_energy"],
                                   abs=1e-9)


# -- a method run: the effective Hamiltonian and the energy ladder ------------------

def test_method_run_saves_effective_hamiltonian_and_draws_ladder(tmp_path):
    need_method()
    pytest.importorskip("matplotlib")
    heff, pic = tmp_path / "heff.korvel", tmp_path / "ladder.svg"
    proc = run_korvel(EXAMPLES / "h2_631g.in", "--save-hamiltonian", heff, "--plot", pic,
                      "--json", tmp_path / "r.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "r.json")
    assert data["files"]["hamiltonian"]["operator"] == "effective"
    assert data["files"]["plot"] == {"path": str(pic), "format": "svg"}
    from korvel.io import load_hamiltonian
    op, meta = load_hamiltonian(heff)
    assert (meta["n_spinorb"], meta["n_elec"], meta["occupied"]) == (8, 2, [0, 1])
    assert meta["extra"]["energy"] == data["energy"] and meta["extra"]["method"] == "cendrel"
    assert len(op) == data["measurements"]["effective_hamiltonian"]["n_terms"]
    # the file holds the operator the method diagonalised: same lowest eigenvalue
    eig = np.linalg.eigvals(sector_matrix(op, 8, 2))
    assert eig[np.argmin(eig.real)].real == pytest.approx(data["energy"], abs=1e-8)
    # the CASCI rung: the whole space is active here, so it is PySCF's FCI energy
    _, e_fci = rhf_and_fci(H2, "6-31g")
    assert data["measurements"]["casci"]["energy"] == pytest.approx(e_fci, abs=1e-8)
    assert pic.read_bytes().startswith(b"<?xml")


def test_refused_fcidump_still_writes_plot_and_json(tmp_path):
    """The non-Hermitian effective Hamiltonian has no FCIDUMP: one clear error, no
    partial file, and the rest of the results (a plot of DMRG and the ladder, the
    JSON) are kept."""
    need_method()
    need("korvel.core.analysis", "dmrg_solve")
    pytest.importorskip("pyblock2")
    pytest.importorskip("matplotlib")
    job = write_input(tmp_path / "h2.in", H2, {"basis": "sto-3g", "method": "cendrel",
                                              "dmrg_bond_dims": "2 3", "dmrg_n_sweeps": 4,
                                              "dmrg_n_threads": 1, "dmrg_stack_gb": 0.5})
    proc = run_korvel(job, "--save-hamiltonian", tmp_path / "FCIDUMP",
                      "--plot", tmp_path / "p.pdf", "--json", tmp_path / "r.json")
    assert_one_error_line(proc, r"while writing the effective Hamiltonian to .*FCIDUMP.*"
                                r"FCIDUMP holds")
    data = strict_json(tmp_path / "r.json")
    assert "hamiltonian" not in data["files"]
    assert data["files"]["plot"] == {"path": str(tmp_path / "p.pdf"), "format": "pdf"}
    assert (tmp_path / "p.pdf").read_bytes().startswith(b"%PDF")
    assert sorted(os.listdir(tmp_path)) == ["h2.in", "p.pdf", "r.json"]


@pytest.mark.parametrize("fci_max_dim, computed", [(70, True), (69, False)])
def test_casci_rung_is_pyscf_casci(fci_max_dim, computed):
    """The ladder's CASCI energy: H2O, 4 electrons in 4 orbitals (70 determinants),
    against PySCF's CASCI on the RHF orbitals."""
    import io

    import chem
    from korvel import cli
    need("korvel.downfold.projector", "downfold_to_active")
    need_problem_and_analysis()
    from pyscf import gto, mcscf, scf

    p = chem.problem("h2o", active_space="manual", n_act=4, n_act_elec=4)
    text = io.StringIO()
    out = cli._casci_energy(p, {"fci_max_dim": fci_max_dim}, cli._Progress(text))
    assert (out["n_spinorb"], out["n_elec"]) == (8, 4)
    if not computed:
        assert out["energy"] is None and "70 determinants" in out["skipped"]
        assert "CASCI energy skipped" in text.getvalue()
        return
    mf = scf.RHF(gto.M(atom=chem.GEOMETRIES["h2o"], basis="sto-3g", verbose=0)).run(conv_tol=1e-12)
    assert out["energy"] == pytest.approx(mcscf.CASCI(mf, 4, 4).kernel()[0], abs=1e-9)


def test_json_file_permissions_and_no_leftovers(tmp_path):
    """The JSON result gets the permissions of a plain new file (not the private
    ones of a temporary file), and a failed write leaves nothing behind."""
    from korvel import cli
    mask = os.umask(0o022)
    try:
        cli.write_json(tmp_path / "r.json", {"energy": float("nan"), "x": 1j})
    finally:
        os.umask(mask)
    assert os.stat(tmp_path / "r.json").st_mode & 0o777 == 0o644
    assert strict_json(tmp_path / "r.json") == {"energy": None, "x": [0.0, 1.0]}
    (tmp_path / "d.json").mkdir()
    with pytest.raises(cli.JobError, match="cannot write JSON file"):
        cli.write_json(tmp_path / "d.json", {})
    assert sorted(os.listdir(tmp_path)) == ["d.json", "r.json"]


# -- output files that are links, streams or no name at all --------------------------

def run_with_stdin(args, text, cwd):
    """The command with ``text`` on its standard input (a pipe)."""
    import subprocess
    import sys
    from test_cli import PACKAGE_PARENT
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_PARENT), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "korvel", *map(str, args)], input=text,
                          capture_output=True, text=True, env=env, cwd=cwd, timeout=900)


def test_json_to_standard_output_and_through_links(tmp_path):
    """--json to a link to /proc/self/fd/1 (what /dev/stdout is) reaches standard
    output after the summary; --save-hamiltonian to a link writes the linked file; both
    links stay links. Energies against PySCF's FCI."""
    need_problem_and_analysis()
    job = write_input(tmp_path / "h2.in", H2, {"basis": "sto-3g"})
    stdout = tmp_path / "stdout.json"
    stdout.symlink_to("/proc/self/fd/1")
    (tmp_path / "store").mkdir()
    ham = tmp_path / "h.json"
    ham.symlink_to(tmp_path / "store" / "kept.json")
    proc = run_korvel(job, "--json", stdout, "--save-hamiltonian", ham, fresh=True)
    assert proc.returncode == 0, proc.stderr
    summary, brace, rest = proc.stdout.partition("\n{")
    assert "Full-space Hamiltonian" in summary
    import json
    data = json.loads(brace.strip() + rest)
    _, e_fci = rhf_and_fci(H2)
    assert data["measurements"]["hamiltonian"]["exact_energy"] == pytest.approx(e_fci, abs=1e-9)
    assert stdout.is_symlink() and os.readlink(stdout) == "/proc/self/fd/1"
    assert ham.is_symlink() and os.listdir(tmp_path / "store") == ["kept.json"]
    from korvel.io import load_hamiltonian
    op, meta = load_hamiltonian(ham)
    assert meta["n_spinorb"] == 4 and meta["extra"]["operator"] == "full-space"


@pytest.mark.parametrize("option", ["--json", "--save-hamiltonian", "--plot"])
@pytest.mark.parametrize("case", ["empty name", "directory", "link to a directory"])
def test_no_name_or_a_directory_is_refused_before_the_job(tmp_path, option, case):
    if case == "empty name":
        target, pattern = "", "empty file name"
    else:
        (tmp_path / "d").mkdir()
        target = tmp_path / ("d" if case == "directory" else "l.json")
        if case == "link to a directory":
            target.symlink_to(tmp_path / "d")
        pattern = "is a directory"
    proc = run_korvel(EXAMPLES / "h2_631g.in", option, target)
    assert_one_error_line(proc, rf"{option} .*{pattern}")
    assert "building the problem" not in proc.stderr and "reading" not in proc.stderr
    assert os.listdir(tmp_path / "d") == [] if case != "empty name" else True


def test_plot_with_the_input_on_a_pipe(tmp_path):
    """The input file is read once: from a pipe (a link to /proc/self/fd/0 stands for
    /dev/stdin) a --plot job runs as the same job from a file does."""
    need("korvel.core.analysis", "dmrg_solve")
    need_problem_and_analysis()
    pytest.importorskip("pyblock2")
    pytest.importorskip("matplotlib")
    job = write_input(tmp_path / "h2.in", H2, {"basis": "sto-3g", "dmrg_bond_dims": "2 3",
                                              "dmrg_n_sweeps": 4, "dmrg_n_threads": 1,
                                              "dmrg_stack_gb": 0.5})
    stdin = tmp_path / "stdin.in"
    stdin.symlink_to("/proc/self/fd/0")
    proc = run_with_stdin([stdin, "--plot", tmp_path / "p.svg", "--json", tmp_path / "r.json"],
                          job.read_text(), tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "p.svg").read_bytes().startswith(b"<?xml")
    data = strict_json(tmp_path / "r.json")
    _, e_fci = rhf_and_fci(H2)
    assert data["measurements"]["hamiltonian"]["dmrg"]["energy"] == pytest.approx(e_fci, abs=1e-6)
    # nothing to plot: said right after reading, from the pipe as well
    plain = write_input(tmp_path / "plain.in", H2, {"basis": "sto-3g"})
    proc = run_with_stdin([stdin, "--plot", tmp_path / "q.svg"], plain.read_text(), tmp_path)
    assert_one_error_line(proc, "nothing to plot")
    assert "building the problem" not in proc.stderr
