"""The korvel command end to end: ``python -m korvel`` on the shipped examples and on
small generated inputs, checked against PySCF and OpenFermion computed here."""

import io
import json
import os
import re
import subprocess
import sys
import tempfile
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path

import numpy as np
import pytest

import korvel

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# the child interpreter must import the same korvel as this one: the source tree
# after an in-place build, site-packages after ``pip install .``
PACKAGE_PARENT = Path(korvel.__file__).resolve().parents[1]
_NEUTRAL = tempfile.TemporaryDirectory(prefix="korvel-cli-")


def need(module, attr):
    """Skip until the compiled module (and the object the command uses) is built."""
    mod = pytest.importorskip(module)
    if not hasattr(mod, attr):
        pytest.skip(f"{module} does not provide {attr} yet")
    return mod


def need_problem_and_analysis():
    need("korvel.core.hamiltonian", "build_problem")
    need("korvel.core.analysis", "fci_energy")
    need("korvel.core.analysis", "lcu_one_norm")


def korvel(*args, prelude=None, cwd=None, fresh=False):
    """Run the command and return its exit status, stdout and stderr. With ``prelude``
    (code run before main, e.g. to make a module unimportable) it runs in a fresh
    interpreter, as ``python -m korvel``; without, in this one, through the same
    ``main`` (a fresh interpreter spends seconds importing PySCF and OpenFermion);
    ``fresh`` (a run whose own standard streams matter, e.g. /proc/self/fd/1) and
    KORVEL_TEST_SUBPROCESS=1 run in a fresh interpreter. The default working
    folder is an empty one, since ``python -m`` puts the working folder first on the
    module path."""
    if cwd is None:
        cwd = _NEUTRAL.name
    if prelude is None and not fresh and not os.environ.get("KORVEL_TEST_SUBPROCESS"):
        return _korvel_here(args, cwd)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_PARENT), env.get("PYTHONPATH", "")])
    if prelude is None:
        cmd = [sys.executable, "-m", "korvel", *map(str, args)]
    else:
        code = (f"import sys; {prelude}; from korvel.cli import main; "
                f"sys.exit(main({[str(a) for a in args]!r}))")
        cmd = [sys.executable, "-c", code]
    return subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=cwd,
                          timeout=900)


def _korvel_here(args, cwd):
    from korvel.cli import main

    out, err = io.StringIO(), io.StringIO()
    here = os.getcwd()
    os.chdir(cwd)
    try:
        with redirect_stdout(out), redirect_stderr(err):
            try:
                status = main([str(a) for a in args])
            except SystemExit as exc:          # argparse: usage errors, --version
                status = exc.code if isinstance(exc.code, int) else int(exc.code is not None)
    finally:
        os.chdir(here)
    return subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue())


def strict_json(path):
    def refuse(name):
        raise AssertionError(f"non-standard JSON constant {name}")
    return json.loads(Path(path).read_text(), parse_constant=refuse)


def assert_one_error_line(proc, pattern):
    assert proc.returncode == 2, proc.stderr
    assert "Traceback" not in proc.stderr
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith("korvel: error: "), proc.stderr
    import re
    assert re.search(pattern, last), last
    return last


# -- oracles ---------------------------------------------------------------------

def pyscf_mol(atoms, basis="sto-3g", charge=0, spin=0):
    from pyscf import gto
    return gto.M(atom=atoms, basis=basis, charge=charge, spin=spin, verbose=0)


def rhf_and_fci(atoms, basis="sto-3g"):
    from pyscf import fci, scf
    mf = scf.RHF(pyscf_mol(atoms, basis)).run(conv_tol=1e-12)
    e_fci = fci.FCI(mf).kernel()[0]
    return mf, float(e_fci)


def jw_one_norm(mf):
    """Pauli 1-norm of the Hamiltonian in the canonical RHF orbitals, through
    OpenFermion's InteractionOperator and Jordan-Wigner transform. The 1-norm is not
    invariant under orbital rotations, so the orbitals are made exact eigenvectors of
    the converged Fock matrix first (the SCF leaves it diagonal only to its
    convergence threshold)."""
    import openfermion as of
    from openfermion.chem.molecular_data import spinorb_from_spatial
    from pyscf import ao2mo
    fock = mf.mo_coeff.T @ mf.get_fock() @ mf.mo_coeff
    mo = mf.mo_coeff @ np.linalg.eigh(fock)[1]
    n = mo.shape[1]
    h1 = mo.T @ mf.get_hcore() @ mo
    eri = ao2mo.restore(1, ao2mo.kernel(mf.mol, mo), n)
    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1)))
    iop = of.InteractionOperator(0.0, one, 0.5 * two)
    qop = of.jordan_wigner(iop)
    return sum(abs(c) for k, c in qop.terms.items() if k != ())


WATER = [("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
         ("H", (0.0, -0.7572, -0.4692))]
H2 = [("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 0.74))]


def write_input(path, atoms, rem, charge_mult="0 1"):
    lines = ["$molecule", charge_mult]
    lines += [f"{el} {x} {y} {z}" for el, (x, y, z) in atoms]
    lines += ["$end", "$rem"] + [f"{k} {v}" for k, v in rem.items()] + ["$end"]
    path.write_text("\n".join(lines) + "\n")
    return path


# -- errors (need no compiled module) ----------------------------------------------

def test_parse_error_is_one_line_with_file_and_line(tmp_path):
    bad = tmp_path / "bad.in"
    bad.write_text("$molecule\n0 1\nH 0 0 0\nH 0 0 0.74\n$end\n$rem\nbassis sto-3g\n$end\n")
    proc = korvel(bad)
    assert_one_error_line(proc, rf"^korvel: error: {bad}, line 7: unknown keyword "
                                r"'bassis' in \$rem \(did you mean basis\?\)$")
    assert proc.stdout == ""
    debug = korvel(bad, "--debug")
    assert debug.returncode == 2 and "Traceback" in debug.stderr
    assert debug.stderr.strip().splitlines()[-1].startswith("korvel: error: ")


@pytest.mark.parametrize("args, pattern", [
    (["nope.in"], r"cannot read input file 'nope\.in'"),
])
def test_missing_input_file(args, pattern, tmp_path):
    assert_one_error_line(korvel(*args, cwd=tmp_path), pattern)


def test_usage_error_exits_2():
    proc = korvel()
    assert proc.returncode == 2 and "usage: korvel" in proc.stderr


def test_missing_problem_builder_is_a_clear_error():
    proc = korvel(EXAMPLES / "h2o_sto3g.in",
                  prelude="sys.modules['korvel.core.hamiltonian'] = None")
    assert_one_error_line(proc, r"module korvel\.core\.hamiltonian is not available")


# -- full-space measurements ------------------------------------------------------

@pytest.fixture(scope="module")
def water_run(tmp_path_factory):
    need_problem_and_analysis()
    out = tmp_path_factory.mktemp("water") / "h2o.json"
    proc = korvel(EXAMPLES / "h2o_sto3g.in", "--json", out)
    assert proc.returncode == 0, proc.stderr
    return proc, strict_json(out)


@pytest.fixture(scope="module")
def water_oracle():
    return rhf_and_fci(WATER)


def test_water_example_json_against_pyscf(water_run, water_oracle):
    _, data = water_run
    mf, e_fci = water_oracle
    assert set(data) >= {"method", "backend", "energy", "reference_energy",
                         "observables", "problem", "measurements", "timings"}
    assert data["problem"] == {**data["problem"], "n_orb": 7, "n_elec": 10, "n_core": 0,
                               "n_act": 7, "n_vir": 0, "n_act_elec": 10}
    assert data["problem"]["e_ref"] == pytest.approx(mf.e_tot, abs=1e-8)
    assert data["reference_energy"] == pytest.approx(mf.e_tot, abs=1e-8)
    # <HF|H|HF> in the full space is the RHF energy itself
    assert data["problem"]["e_determinant"] == pytest.approx(mf.e_tot, abs=1e-8)
    h = data["measurements"]["hamiltonian"]
    assert (h["n_spinorb"], h["n_elec"], h["sector_dimension"]) == (14, 10, 1001)
    assert h["exact_energy"] == pytest.approx(e_fci, abs=1e-8)
    assert h["lcu_one_norm"] == pytest.approx(jw_one_norm(mf), abs=1e-8)
    assert data["method"] is None and data["energy"] is None
    assert {"parse", "build_problem", "total"} <= set(data["timings"])


def test_water_summary_and_progress(water_run, water_oracle):
    proc, data = water_run
    out = proc.stdout
    assert "n_orb 7 = n_core 0 + n_act 7 + n_vir 0" in out
    assert "n_elec 10, n_act_elec 10" in out
    assert f"{data['problem']['e_ref']:.10f}" in out
    assert f"{data['measurements']['hamiltonian']['exact_energy']:.10f}" in out
    assert f"{data['measurements']['hamiltonian']['n_terms']} terms on 14" in out
    # a start and a done line per stage
    for stage in ("reading", "building the problem", "exact energy", "LCU 1-norm"):
        lines = [ln for ln in proc.stderr.splitlines() if stage in ln]
        assert len(lines) == 2 and lines[1].split(": done in ")[1].endswith(" s"), lines


@pytest.mark.parametrize("limit, computed", [(3, False), (4, True)])
def test_fci_max_dim_boundary(tmp_path, limit, computed):
    need_problem_and_analysis()
    # H2 in STO-3G: 2 electrons in 4 spin-orbitals, 6 determinants, of which 4 in the
    # S_z = 0 block that is solved
    inp = write_input(tmp_path / "h2.in", H2, {"fci_max_dim": limit})
    proc = korvel(inp, "--json", tmp_path / "h2.json")
    assert proc.returncode == 0, proc.stderr
    h = strict_json(tmp_path / "h2.json")["measurements"]["hamiltonian"]
    assert (h["sector_dimension"], h["block_dimension"]) == (6, 4)
    if computed:
        assert h["exact_energy"] == pytest.approx(rhf_and_fci(H2)[1], abs=1e-8)
    else:
        assert h["exact_energy"] is None
        assert "block of 4 determinants exceeds fci_max_dim 3" in h["exact_skipped"]
        assert "skipped" in proc.stdout


O2 = [("O", (0.0, 0.0, 0.0)), ("O", (0.0, 0.0, 1.21))]


def pyscf_fci(atoms, reference="rhf", spin=0):
    """PySCF FCI energy in the molecule's own M_s = S block, converged tightly."""
    from pyscf import fci, scf
    mol = pyscf_mol(atoms, spin=spin)
    mf = (scf.ROHF if reference == "rohf" else scf.RHF)(mol).run(conv_tol=1e-12)
    solver = fci.FCI(mf)
    solver.conv_tol = 1e-12
    return float(solver.kernel()[0])


def test_full_space_exact_energy_of_a_triplet_against_pyscf_fci(tmp_path):
    need_problem_and_analysis()
    # O2: the lowest state is the triplet, found in the S_z = 0 block.
    inp = write_input(tmp_path / "o2.in", O2, {"basis": "sto-3g", "reference": "rohf"},
                      charge_mult="0 3")
    proc = korvel(inp, "--json", tmp_path / "o2.json")
    assert proc.returncode == 0, proc.stderr
    h = strict_json(tmp_path / "o2.json")["measurements"]["hamiltonian"]
    assert h["exact_energy"] == pytest.approx(pyscf_fci(O2, "rohf", spin=2), abs=1e-9)
    assert h["block_dimension"] == 45**2 and h["exact_block"] == "S_z = 0"
    assert h["exact_multiplicity"] == pytest.approx(3.0, abs=1e-6)
    assert "2S+1 = 3 (triplet)" in proc.stdout


@pytest.mark.parametrize("dim", [4, 45**2, 1_656_369])
def test_fci_start_stays_on_its_determinant_at_any_block_size(dim):
    # H2O/6-31G's S_z = 0 block has 1,656,369 determinants: a per-entry admixture of 1e-3
    # there had norm 1.3, and the Davidson solver stopped far from the ground state.
    from korvel.cli import _spin_mixed_start
    lowest = 3
    guess = np.zeros(dim)
    guess[lowest] = 1.0
    start = _spin_mixed_start(guess)
    assert np.linalg.norm(start) == pytest.approx(1.0, abs=1e-12)
    assert start[lowest] >= 1 - 1e-6
    off = np.delete(start, lowest)
    assert 1e-4 < np.linalg.norm(off) <= 1e-3
    assert np.count_nonzero(off) == dim - 1  # every other determinant, so every spin, is touched


def test_water_exact_energy_within_1e9_of_pyscf_fci(water_run):
    proc, data = water_run
    h = data["measurements"]["hamiltonian"]
    assert h["exact_energy"] == pytest.approx(pyscf_fci(WATER), abs=1e-9)
    assert h["exact_solver"] == "pyscf.fci.direct_spin1"
    assert h["exact_multiplicity"] == pytest.approx(1.0, abs=1e-6)


def test_xyz_example_against_pyscf(tmp_path):
    need_problem_and_analysis()
    proc = korvel(EXAMPLES / "lih_xyz.in", "--json", tmp_path / "lih.json", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "lih.json")
    mf, e_fci = rhf_and_fci([("Li", (0, 0, 0)), ("H", (0, 0, 1.6))])
    assert data["problem"]["e_ref"] == pytest.approx(mf.e_tot, abs=1e-8)
    assert data["measurements"]["hamiltonian"]["exact_energy"] == \
        pytest.approx(e_fci, abs=1e-8)


def test_avas_example_partition_and_casscf_energy(tmp_path):
    need_problem_and_analysis()
    from pyscf import mcscf, scf
    from pyscf.mcscf import avas
    proc = korvel(EXAMPLES / "n2_avas.in", "--json", tmp_path / "n2.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "n2.json")
    mf = scf.RHF(pyscf_mol([("N", (0, 0, 0)), ("N", (0, 0, 1.098))])).run(conv_tol=1e-12)
    n_act, n_el, mo = avas.avas(mf, "N 2p", threshold=0.2)
    mc = mcscf.CASSCF(mf, n_act, n_el)
    mc.verbose = 0
    mc.kernel(mo)
    p = data["problem"]
    assert (p["n_act"], p["n_act_elec"]) == (n_act, n_el)
    assert p["n_core"] == (14 - n_el) // 2 and p["n_vir"] == 10 - p["n_core"] - n_act
    assert p["e_ref"] == pytest.approx(mc.e_tot, abs=1e-7)
    h = data["measurements"]["hamiltonian"]
    # the full-space exact energy: 14 electrons in 20 spin-orbitals, S_z = 0 block of
    # 120 x 120 determinants
    assert h["block_dimension"] == 14400
    assert h["exact_energy"] == pytest.approx(
        pyscf_fci([("N", (0, 0, 0)), ("N", (0, 0, 1.098))]), abs=1e-9)
    assert f"{h['exact_energy']:.10f}" in proc.stdout
    assert "CASSCF" in proc.stdout


def test_missing_analysis_module_is_a_clear_error(tmp_path):
    need("korvel.core.hamiltonian", "build_problem")
    proc = korvel(write_input(tmp_path / "h2.in", H2, {}),
                  prelude="sys.modules['korvel.core.analysis'] = None")
    assert_one_error_line(proc, r"module korvel\.core\.analysis is not available")


def test_unwritable_json_path(tmp_path):
    need_problem_and_analysis()
    proc = korvel(write_input(tmp_path / "h2.in", H2, {}), "--json",
                  tmp_path / "no" / "such" / "x.json")
    # known before the job: refused before it starts
    assert_one_error_line(proc, r"--json .*x\.json': the folder .*such' does not exist")
    assert "building the problem" not in proc.stderr


def test_inconsistent_active_space_is_reported(tmp_path):
    need("korvel.core.hamiltonian", "build_problem")
    # 6 active orbitals do not fit into H2's two STO-3G orbitals
    inp = write_input(tmp_path / "h2.in", H2, {"active_space": "manual", "n_act": 6,
                                               "n_act_elec": 2})
    assert_one_error_line(korvel(inp), r"\S")


def test_dmrg_example_against_fci(tmp_path):
    need_problem_and_analysis()
    need("korvel.core.analysis", "dmrg_solve")
    pytest.importorskip("pyblock2")
    proc = korvel(EXAMPLES / "h6_dmrg.in", "--json", tmp_path / "h6.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "h6.json")
    _, e_fci = rhf_and_fci([("H", (0, 0, 0.9 * k)) for k in range(6)])
    d = data["measurements"]["hamiltonian"]["dmrg"]
    assert [pt["D"] for pt in d["points"]] == [20, 40, 60]
    for pt in d["points"]:                      # variational: never below the exact energy
        assert pt["energy"] > e_fci - 1e-8
    assert d["lowest_computed"] == min(pt["energy"] for pt in d["points"])
    assert d["lowest_computed"] == pytest.approx(e_fci, abs=1e-5)
    # D = 60 truncates nothing (discarded weight ~1e-17): that run is converged and its
    # energy is reported, not a straight line's intercept below the exact energy;
    # otherwise the fit in the discarded weight at zero.
    usable = [pt for pt in d["points"] if pt["discarded_weight"] and pt["discarded_weight"] > 0]
    assert d["energy"] == d["extrapolated_energy"]
    if min(pt["discarded_weight"] for pt in d["points"]) < 1e-12:
        # a converged run is reported as it is: nothing fitted, nothing extrapolated
        assert d["converged"] is True and d["ci95_halfwidth"] == 0.0
        assert d["extrapolated"] is False and d["fitted_bond_dims"] == []
        assert d["converged_bond_dim"] == 60
        assert d["energy"] == pytest.approx(e_fci, abs=1e-8)
        assert "DMRG energy (converged)" in proc.stdout and "extrapolated" not in proc.stdout
    elif len(usable) >= 2:
        assert d["extrapolated"] is True
        slope, intercept = np.polyfit([pt["discarded_weight"] for pt in usable],
                                      [pt["energy"] for pt in usable], 1)
        assert d["extrapolated_energy"] == pytest.approx(intercept, abs=1e-9)
        assert d["slope"] == pytest.approx(slope, rel=1e-6)
    assert data["measurements"]["hamiltonian"]["exact_energy"] == pytest.approx(e_fci, abs=1e-8)
    per_d = [ln for ln in proc.stderr.splitlines() if "bond dimension" in ln]
    assert len(per_d) == 6                       # a start and a done line per D


# -- the downfolding method --------------------------------------------------------

def need_method():
    need_problem_and_analysis()
    need("korvel.methods.cendrel", "CCSDDownfold")
    need("korvel.backends.olmera", "OpenFermionBackend")


OBSERVABLE_KEYS = ["hermitian", "note", "n_comm", "max_body", "cluster_terms",
                   "cluster_singles", "cluster_doubles", "eigenvalue_imag", "nonhermiticity_l1",
                   "ccsd_energy", "energy_by_order", "body_cap_dropped_l1", "fold_aware",
                   "warnings"]


def test_h2_example_method_result(tmp_path):
    need_method()
    proc = korvel(EXAMPLES / "h2_631g.in", "--json", tmp_path / "h2.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "h2.json")
    mf, e_fci = rhf_and_fci(H2, "6-31g")
    assert data["method"] == "cendrel"
    assert data["reference_energy"] == pytest.approx(mf.e_tot, abs=1e-8)
    assert list(data["observables"]) == OBSERVABLE_KEYS
    assert data["observables"]["hermitian"] is False
    assert (data["observables"]["n_comm"], data["observables"]["max_body"]) == (2, 4)
    assert abs(data["observables"]["eigenvalue_imag"]) < 1e-8
    # a truncated series: close to, but not below, the correlation of FCI by much
    assert abs(data["energy"] - e_fci) < 5e-3
    eff = data["measurements"]["effective_hamiltonian"]
    assert (eff["n_spinorb"], eff["n_elec"]) == (8, 2)
    assert eff["exact_energy"] is None and "non-Hermitian" in eff["exact_skipped"]
    obs = data["observables"]
    assert obs["cluster_terms"] == obs["cluster_singles"] + obs["cluster_doubles"]
    assert obs["cluster_singles"] > 0  # 6-31G: 1 sigma_g -> 2 sigma_g is allowed
    assert f"{obs['cluster_singles']} singles, {obs['cluster_doubles']} doubles" in proc.stdout
    for label in ("downfolded energy", "eigenvalue imaginary part", "cluster terms",
                  "effective LCU 1-norm", "non-Hermiticity"):
        assert label in proc.stdout


def test_complete_series_reproduces_fci(tmp_path):
    """For a two-body H and a doubles T the series ends at the fourth commutator."""
    need_method()
    inp = write_input(tmp_path / "h2.in", H2, {
        "basis": "6-31g", "method": "cendrel", "ccsd_n_comm": 4, "ccsd_max_body": 6})
    proc = korvel(inp, "--json", tmp_path / "h2.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "h2.json")
    _, e_fci = rhf_and_fci(H2, "6-31g")
    assert data["energy"] == pytest.approx(e_fci, abs=1e-8)
    assert data["measurements"]["hamiltonian"]["exact_energy"] == \
        pytest.approx(e_fci, abs=1e-8)


def pyscf_ccd(mf):
    """CCD: the CCSD equations with the singles held at zero."""
    from pyscf import cc
    mycc = cc.CCSD(mf)
    update = mycc.update_amps

    def doubles_only(t1, t2, eris):
        t1, t2 = update(t1, t2, eris)
        return np.zeros_like(t1), t2
    mycc.update_amps = doubles_only
    mycc.conv_tol, mycc.conv_tol_normt = 1e-12, 1e-10
    mycc.kernel()
    return float(mycc.e_tot)


def test_reference_expectation_of_effective_hamiltonian_is_ccd(tmp_path):
    need_method()
    inp = write_input(tmp_path / "h2.in", H2, {
        "basis": "6-31g", "method": "cendrel", "generator_pool": "ccd_screened",
        "pool_tol": 0, "ccsd_n_comm": 2, "ccsd_max_body": 4})
    proc = korvel(inp, "--json", tmp_path / "h2.json")
    assert proc.returncode == 0, proc.stderr
    eff = strict_json(tmp_path / "h2.json")["measurements"]["effective_hamiltonian"]
    from pyscf import scf
    e_ccd = pyscf_ccd(scf.RHF(pyscf_mol(H2, "6-31g")).run(conv_tol=1e-12))
    re, im = eff["reference_expectation"]
    assert re == pytest.approx(e_ccd, abs=1e-8) and abs(im) < 1e-10


def test_manual_active_space_method_run(tmp_path):
    need_method()
    proc = korvel(EXAMPLES / "h2o_manual.in", "--json", tmp_path / "w.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "w.json")
    mf, e_fci = rhf_and_fci(WATER)
    p = data["problem"]
    assert (p["n_core"], p["n_act"], p["n_vir"], p["n_act_elec"]) == (3, 4, 0, 4)
    assert data["reference_energy"] == pytest.approx(mf.e_tot, abs=1e-8)
    eff = data["measurements"]["effective_hamiltonian"]
    assert (eff["n_spinorb"], eff["n_elec"]) == (8, 4)
    assert data["observables"]["cluster_terms"] > 0
    # downfolded onto 4 of 7 orbitals: lies between HF and a little beyond FCI
    assert e_fci - 5e-3 < data["energy"] < mf.e_tot


def test_open_shell_determinant_energy_is_rohf(tmp_path):
    need_problem_and_analysis()
    ch2 = [("C", (0.0, 0.0, 0.0)), ("H", (0.0, 0.86, 0.63)), ("H", (0.0, -0.86, 0.63))]
    inp = write_input(tmp_path / "ch2.in", ch2, {"reference": "rohf", "fci_max_dim": 0},
                      charge_mult="0 3")
    proc = korvel(inp, "--json", tmp_path / "ch2.json")
    assert proc.returncode == 0, proc.stderr
    from pyscf import gto, scf
    e_rohf = scf.ROHF(gto.M(atom=ch2, basis="sto-3g", spin=2, verbose=0)).run(conv_tol=1e-12).e_tot
    p = strict_json(tmp_path / "ch2.json")["problem"]
    assert p["e_determinant"] == pytest.approx(e_rohf, abs=1e-8)
    assert f"{p['e_determinant']:.10f}" in proc.stdout


def test_casscf_convergence_is_reported(tmp_path):
    need_problem_and_analysis()
    inp = write_input(tmp_path / "w.in", WATER, {
        "active_space": "manual", "n_act": 4, "n_act_elec": 4, "orbital_opt": "true",
        "fci_max_dim": 0})
    proc = korvel(inp, "--json", tmp_path / "w.json")
    assert proc.returncode == 0, proc.stderr
    p = strict_json(tmp_path / "w.json")["problem"]
    assert p["e_ref"] == pytest.approx(-75.00857, abs=1e-5)
    assert p["casscf"] == {"converged": True, "start": "MP2 natural orbitals"}
    assert "converged, started from MP2 natural orbitals" in proc.stdout


def test_missing_method_module_is_a_clear_error(tmp_path):
    need_problem_and_analysis()
    proc = korvel(EXAMPLES / "h2_631g.in",
                  prelude="sys.modules['korvel.methods.cendrel'] = None")
    assert_one_error_line(proc, r"method 'cendrel' is not available")


# -- checks before the build: size, memory, bad input found at parse time ------------

def test_problem_size_printed_before_the_build(tmp_path):
    need("korvel.core.hamiltonian", "_problem_size")
    need_problem_and_analysis()
    proc = korvel(write_input(tmp_path / "h2.in", H2, {"basis": "6-31g"}))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    size = [i for i, l in enumerate(lines) if l.startswith("korvel: problem size: ")]
    build = [i for i, l in enumerate(lines) if "building the problem" in l]
    assert size and build and size[0] < build[0]
    n_ao = pyscf_mol(H2, "6-31g").nao_nr()
    assert f"problem size: {n_ao} basis functions, {2 * n_ao} spin-orbitals" in lines[size[0]]


def test_job_beyond_memory_refused_in_seconds(tmp_path):
    need("korvel.core.hamiltonian", "_problem_size")
    c4 = [("C", (0.0, 0.0, 0.0)), ("C", (0.0, 0.0, 1.3)), ("C", (0.0, 1.3, 0.0)),
          ("C", (1.3, 0.0, 0.0))]
    inp = write_input(tmp_path / "c4.in", c4, {"basis": "aug-cc-pv5z"})
    import time
    start = time.perf_counter()
    proc = korvel(inp)
    assert time.perf_counter() - start < 60
    n_ao = pyscf_mol(c4, "aug-cc-pv5z").nao_nr()
    assert f"problem size: {n_ao} basis functions" in proc.stderr
    assert_one_error_line(proc, rf"c4\.in: the Hamiltonian on {n_ao} orbitals .* needs "
                                r"about .* of memory to build, more than the")
    assert "SCF" not in proc.stderr.replace("(SCF, active", "")


@pytest.mark.parametrize("atoms, rem, pattern", [
    ([("Qq", (0, 0, 0)), ("H", (0, 0, 0.74))], {}, r"line 3: unknown element symbol 'Qq'"),
    (H2, {"basis": "cc-pvqq"}, r"line 7: basis 'cc-pvqq' is not known to PySCF"),
    ([("H", (0, 0, 0)), ("H", (0, 0, 0))], {}, r"line 4: atom H is 0 Angstrom from atom H"),
    (H2, {"active_space": "manual", "n_act": 6, "n_act_elec": 2},
     r"line 8: the active space \(0 core \+ 6 active orbitals\) exceeds the 2 orbitals"),
    (H2, {"ccsd_max_body": 0}, r"line 7: ccsd_max_body must be at least 1"),
    (H2, {"dmrg_bond_dims": "0 50"}, r"line 7: dmrg_bond_dims must be at least 1"),
])
def test_bad_input_found_at_parse_time_with_file_and_line(tmp_path, atoms, rem, pattern):
    inp = write_input(tmp_path / "bad.in", atoms, rem)
    proc = korvel(inp)
    assert_one_error_line(proc, rf"bad\.in, {pattern}")
    assert "building the problem" not in proc.stderr


def test_read_dev_zero_is_a_clear_error(tmp_path):
    inp = tmp_path / "z.in"
    inp.write_text("$molecule\n0 1\nread /dev/zero\n$end\n")
    proc = korvel(inp)
    assert_one_error_line(proc, r"z\.in, line 3: xyz file '/dev/zero' is larger than")
    assert "MemoryError" not in proc.stderr


def test_series_convergence_table_and_ccsd_energy(tmp_path):
    """The summary shows the downfolded energy after each order (the last one is the
    method's energy), the CCSD energy beside it, and the progress names both series."""
    need_method()
    lih = [("Li", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.6))]
    inp = write_input(tmp_path / "lih.in", lih, {
        "basis": "sto-3g", "active_space": "manual", "n_act": 2, "n_act_elec": 2,
        "method": "cendrel", "backend": "cpu", "ccsd_n_comm": 3})
    proc = korvel(inp, "--json", tmp_path / "lih.json")
    assert proc.returncode == 0, proc.stderr
    obs = strict_json(tmp_path / "lih.json")["observables"]
    rows = proc.stdout.split("Series convergence")[1].splitlines()[2:6]
    printed = [float(r.split()[1]) for r in rows]
    assert [int(r.split()[0]) for r in rows] == [0, 1, 2, 3]
    assert printed == pytest.approx(obs["energy_by_order"], abs=1e-9)
    assert obs["energy_by_order"][-1] == strict_json(tmp_path / "lih.json")["energy"]
    from pyscf import cc, scf
    solver = cc.CCSD(scf.RHF(pyscf_mol(lih)).run(conv_tol=1e-12))
    solver.conv_tol, solver.conv_tol_normt = 1e-12, 1e-10
    assert obs["ccsd_energy"] == pytest.approx(solver.kernel()[0] + solver._scf.e_tot, abs=1e-8)
    assert f"{obs['ccsd_energy']:.10f}" in proc.stdout
    assert obs["warnings"] == [] and "warning" not in proc.stderr
    assert "singles: e^{-T1} H e^{T1}" in proc.stderr
    assert "doubles: e^{-T2} H e^{T2} to 3 commutators" in proc.stderr


def test_method_stage_beyond_memory_refused_before_the_scf(tmp_path):
    """The method stage is sized before the SCF too: an active space whose largest S_z
    block cannot fit is refused there, naming its determinants."""
    need("korvel.core.hamiltonian", "_problem_size")
    from math import comb
    n2 = [("N", (0.0, 0.0, 0.0)), ("N", (0.0, 0.0, 1.1))]
    ok = korvel(write_input(tmp_path / "ok.in", n2, {
        "basis": "sto-3g", "active_space": "manual", "n_act": 6, "n_act_elec": 6,
        "method": "cendrel", "backend": "cpu", "fci_max_dim": 0}))
    assert ok.returncode == 0, ok.stderr
    assert re.search(r"problem size: .* at the method stage", ok.stderr)
    big = korvel(write_input(tmp_path / "big.in", n2, {
        "basis": "cc-pvdz", "active_space": "manual", "n_act": 20, "n_act_elec": 14,
        "method": "cendrel", "backend": "cpu"}))
    dets = comb(20, 7) ** 2
    assert_one_error_line(big, r"big\.in: the method stage needs about .* \(" +
                          re.escape(f"{dets:.3g}") +
                          r" determinants in its largest S_z block\), more than the")
    assert "building the problem" not in big.stderr
# -- values that used to fail late, without a line, or not at all ---------------------

def gpu_present():
    try:
        from korvel.backends.tavrin import GpuBackend
        return GpuBackend().available()
    except ImportError:
        return False


@pytest.mark.parametrize("case", ["n_act digits", "coordinate", "avas_threshold 1",
                                  "stack", "gpu without CuPy", "open-shell cendrel",
                                  "xyz frames", "xyz count"])
def test_refused_with_file_and_line_before_the_scf(tmp_path, case):
    need_problem_and_analysis()
    atoms, rem, cm = H2, {"basis": "sto-3g"}, "0 1"
    if case == "n_act digits":
        rem.update(active_space="manual", n_act="7" * 5001, n_act_elec=2)
        pattern = r"line 9: n_act '7777.*\.\.\.' is out of range \(an integer of 5001 digits\)"
    elif case == "coordinate":
        atoms = [("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.7e308))]
        pattern = r"line 4: coordinate 1\.7e\+308 is beyond 100000 Angstrom"
    elif case == "avas_threshold 1":
        rem.update(active_space="avas", avas_aos="H 1s", avas_threshold=1, method="cendrel")
        pattern = r"line 10: avas_threshold must be less than 1; got 1"
    elif case == "stack":
        rem.update(dmrg_bond_dims=4, dmrg_stack_gb=1e-12)
        pattern = r"line 9: dmrg_stack_gb must be at least 0\.000976562; got 1e-12"
    elif case == "gpu without CuPy":
        if gpu_present():
            pytest.skip("a GPU is there")
        rem.update(method="cendrel", backend="gpu")
        pattern = r"line 9: backend gpu is not available on this machine"
    elif case == "open-shell cendrel":
        cm = "0 3"
        rem.update(method="cendrel")
        pattern = r"line 8: method cendrel: doubles amplitudes need a closed-shell problem"
    else:
        body = ("2\nframe 1\nH 0 0 0\nH 0 0 0.74\n2\nframe 2\nH 0 0 0\nH 0 0 0.75\n"
                if case == "xyz frames" else "5\n\nH 0 0 0\nH 0 0 0.74\n")
        (tmp_path / "g.xyz").write_text(body)
        inp = tmp_path / "bad.in"
        inp.write_text("$molecule\n0 1\nread g.xyz\n$end\n")
        proc = korvel(inp)
        assert_one_error_line(proc, r"bad\.in, line 3: .*g\.xyz" + (
            r", line 5: text after the 2 atoms" if case == "xyz frames" else
            r"' holds 2 atom lines where its line 1 says 5 atoms"))
        assert "building the problem" not in proc.stderr
        return
    inp = write_input(tmp_path / "bad.in", atoms, rem, charge_mult=cm)
    proc = korvel(inp)
    assert_one_error_line(proc, rf"bad\.in, {pattern}")
    assert "building the problem" not in proc.stderr


def test_threads_that_cannot_start_are_refused_at_parse_time(tmp_path):
    """With address space for few thread stacks, dmrg_n_threads is refused with its
    line (block2's runtime ended the process with exit 1 and its own message before)."""
    need_problem_and_analysis()
    pytest.importorskip("pyblock2")
    inp = write_input(tmp_path / "t.in", H2, {"dmrg_bond_dims": 4, "dmrg_n_threads": 256,
                                             "dmrg_stack_gb": 0.01})
    prelude = ("import resource, pyscf.gto, pyscf.scf, pyblock2.driver.core, "
               "korvel.core.analysis, korvel.core.hamiltonian, korvel.inputfile; "
               "size = int(open('/proc/self/statm').read().split()[0]) "
               "* resource.getpagesize() + 2**26; "
               "resource.setrlimit(resource.RLIMIT_AS, (size, size))")
    proc = korvel(inp, prelude=prelude)
    assert_one_error_line(proc, r"t\.in, line 8: n_threads=256: only \d+ threads could be "
                                r"started")


def test_inherited_launcher_variables_without_mpi4py_say_why(tmp_path):
    """A korvel started from an MPI program inherits its rank variables; without mpi4py
    every rank, not only rank 0, says what is wrong (exit 2 with no output before)."""
    inp = write_input(tmp_path / "h2.in", H2, {})
    env = dict(os.environ, OMPI_COMM_WORLD_SIZE="2", OMPI_COMM_WORLD_RANK="1")
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_PARENT), env.get("PYTHONPATH", "")])
    code = ("import sys; sys.modules['mpi4py'] = None; from korvel.cli import main; "
            f"sys.exit(main([{str(inp)!r}]))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, cwd=_NEUTRAL.name, timeout=300)
    assert_one_error_line(proc, r"\(MPI rank 1 of 2\) .*mpi4py")


def test_builder_error_about_a_keyword_names_its_line(tmp_path):
    """AVAS that selects no orbital (here made to, the threshold being legal) is found
    only when the problem is built; the error still points at avas_threshold's line."""
    need_problem_and_analysis()
    inp = write_input(tmp_path / "a.in", H2, {"active_space": "avas", "avas_aos": "H 1s",
                                             "avas_threshold": 0.5})
    prelude = ("import pyscf.mcscf.avas as a, numpy as np; "
               "a.avas = lambda mf, aos, threshold: (0, 0, np.asarray(mf.mo_coeff))")
    proc = korvel(inp, prelude=prelude)
    assert_one_error_line(proc, r"a\.in, line 9: AVAS selects no orbital at avas_threshold "
                                r"0\.5 for avas_aos 'H 1s'")
