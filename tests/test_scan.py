"""Potential-energy scans ($scan): the coordinate line, the geometries, and each point
against a separate run of the job at that geometry."""

from __future__ import annotations

import dataclasses
import io
import json
import math

import numpy as np
import pytest

from chem import GEOMETRIES, make_calc
from korvel.inputfile import parse_input_text, scan_geometry

H2_SCAN = """$molecule
0 1
H 0 0 0
H 0 0 0.74
$end
$rem
basis 6-31g
active_space manual
n_act 2
n_act_elec 2
method cendrel
$end
$scan
{line}
$end
"""


def parsed(line, text=H2_SCAN):
    return parse_input_text(text.format(line=line), "job.in")


# ---------------------------------------------------------------------------
# The coordinate line and the geometries


def test_coordinate_line_forms_and_refusals():
    scan = parsed("stre 1 2 1.5 1.7 0.1").scan
    assert scan["values"] == [1.5, 1.6, 1.7] and scan["atoms"] == (1, 2)
    assert scan["coordinate"] == "stre 1 2 1.5 1.7 0.1"
    assert parsed("stre 1 2 1.7 1.5 -0.1").scan["values"] == [1.7, 1.6, 1.5]
    # stop included only when the steps land on it
    assert parsed("stre 1 2 1.5 1.75 0.1").scan["values"] == [1.5, 1.6, 1.7]
    assert parsed("stre 2 1 1.2 1.4 2.0 2.5").scan["values"] == [1.2, 1.4, 2.0, 2.5]
    assert parsed("stre 1 2 1.5 1.7 0.1").rem["n_act"] == 2
    for line, pattern in [
        ("stre 1 3 1.5 1.7 0.1", r"line 14: atom '3' of the scan is not one of the 2 atoms"),
        ("stre 1 1 1.5 1.7 0.1", "line 14: the two atoms of a bond length must differ"),
        ("stre 1 2 1.5 1.7 -0.1", "line 14: step -0.1 does not lead from 1.5 to 1.7"),
        ("stre 1 2 1.5 1.7 0", "line 14: step 0 does not lead"),
        ("stre 1 2 0.01 0.2", r"line 14: bond length 0.01 Angstrom is outside"),
        ("stre 1 2 1.5 x 0.1", "line 14: .*a distance in Angstrom"),
        ("bond 1 2 1.5 1.7 0.1", "line 14: unknown scan coordinate 'bond'"),
        ("stre 1 2", "line 14: expected 'stre A B start stop step'"),
        ("stre 1 2 1.5 1.7 0.1\nstre 1 2 1.0", "line 15: expected one coordinate line"),
        ("stre 1 2 0.1 100 0.1", "line 14: the scan has 1000 points, more than 500"),
    ]:
        with pytest.raises(ValueError, match=pattern):
            parsed(line)


def test_scan_moves_atom_b_along_the_bond_only():
    water = GEOMETRIES["h2o"]
    scan = {"atoms": (1, 3)}
    for value in (0.8, 1.3):
        moved = scan_geometry(water, scan, value)
        assert math.dist(moved[0][1], moved[2][1]) == pytest.approx(value, abs=1e-12)
        assert moved[:2] == water[:2]                 # O and the other H stay put
        # along the O-H axis: the direction from O is unchanged
        before = np.subtract(water[2][1], water[0][1])
        after = np.subtract(moved[2][1], moved[0][1])
        assert np.allclose(after / value, before / np.linalg.norm(before), atol=1e-12)


def test_manual_cut_follows_the_given_orbitals():
    """A follow matrix that favours an inner occupied and an upper virtual orbital makes
    those the active ones; the occupations, and so the reference energy, stay."""
    from korvel.core.hamiltonian import build_problem
    from pyscf import gto, scf

    rem = dict(active_space="manual", n_act=2, n_act_elec=2)
    plain = build_problem(make_calc("h2o", **rem))
    mol = gto.M(atom=GEOMETRIES["h2o"], basis="sto-3g", verbose=0)
    mf = scf.RHF(mol)
    mf.conv_tol = 1e-12
    mf.run()
    s = mol.intor("int1e_ovlp")
    wanted = mf.mo_coeff[:, [2, 6]]             # not the HOMO (4) and LUMO (5)
    calc = make_calc("h2o", **rem)
    calc.active_follow = s @ wanted
    followed = build_problem(calc)
    act = followed.extras["mo_coeff"][:, 4:6]
    assert np.linalg.svd(wanted.T @ s @ act, compute_uv=False).min() == pytest.approx(1, abs=1e-8)
    assert followed.e_ref == pytest.approx(plain.e_ref, abs=1e-10)
    assert followed.hamiltonian != plain.hamiltonian


# ---------------------------------------------------------------------------
# A scan through the driver, point by point against separate runs


@pytest.fixture(scope="module")
def h2_scan(tmp_path_factory):
    from test_cli import korvel

    folder = tmp_path_factory.mktemp("scan")
    (folder / "scan.in").write_text(H2_SCAN.format(line="stre 1 2 0.7 0.9 0.1"))
    proc = korvel(folder / "scan.in", "--json", folder / "scan.json", "--plot",
                  folder / "scan.png")
    return folder, proc


def test_scan_points_equal_separate_runs(h2_scan):
    from korvel.cli import _Progress, run_job
    from korvel.inputfile import read_input

    folder, proc = h2_scan
    assert proc.returncode == 0, proc.stderr
    report = json.loads((folder / "scan.json").read_text())
    scan = report["scan"]
    assert scan["coordinate"] == "stre 1 2 0.7 0.9 0.1"
    assert [p["value"] for p in scan["points"]] == [0.7, 0.8, 0.9]
    calc = read_input(folder / "scan.in")
    for p in scan["points"]:
        assert p["converged"] is True
        one = dataclasses.replace(calc, molecule={"geometry": scan_geometry(
            calc.scan["atoms_at_start"], calc.scan, p["value"])}, scan=None)
        alone = run_job(one, _Progress(io.StringIO()))
        assert p["energy"] == pytest.approx(alone["energy"], abs=1e-8)
        assert p["reference_energy"] == pytest.approx(alone["reference_energy"], abs=1e-8)
        assert p["exact_energy"] == pytest.approx(
            alone["measurements"]["hamiltonian"]["exact_energy"], abs=1e-8)
        assert p["ccsd_energy"] == pytest.approx(alone["observables"]["ccsd_energy"],
                                                 abs=1e-8)
        assert p["casci_energy"] is not None and p["exact_energy"] <= p["casci_energy"]
    assert all(p["active_overlap"] > 0.9 for p in scan["points"][1:])
    # one progress line per point, a table row per point, and the picture
    assert proc.stderr.count("korvel: scan point ") == 3
    rows = [line for line in proc.stdout.splitlines() if line.strip().startswith("0.")]
    assert len(rows) == 3 and "0.8000" in rows[1]
    assert (folder / "scan.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_unconverged_point_is_marked_and_does_not_seed_the_next(monkeypatch):
    """A point whose SCF stops unconverged is reported as such in the table and the
    JSON, and the point after it starts afresh rather than from its density."""
    import korvel.core.hamiltonian as ham
    from korvel.cli import _Progress, format_scan_summary, run_scan

    real = ham.build_problem
    starts = []

    def build(calc):
        starts.append(getattr(calc, "scf_start", None) is not None)
        p = real(calc)
        if len(starts) == 2:
            p.extras["scf_converged"] = False
        return p

    monkeypatch.setattr(ham, "build_problem", build)
    calc = parsed("stre 1 2 0.7 0.9 0.1")
    calc.rem["method"] = None                   # the exact energy is the scan's energy
    report = run_scan(calc, _Progress(io.StringIO()))
    points = report["scan"]["points"]
    assert [p["converged"] for p in points] == [True, False, True]
    assert starts == [False, True, False]
    assert points[1]["energy"] == points[1]["exact_energy"] is not None
    table = format_scan_summary(report).splitlines()
    assert "NOT CONVERGED" in next(r for r in table if r.strip().startswith("0.8000"))
    assert "NOT CONVERGED" not in next(r for r in table if r.strip().startswith("0.9000"))


def test_scan_refuses_a_single_hamiltonian_file(tmp_path):
    from test_cli import korvel

    (tmp_path / "scan.in").write_text(H2_SCAN.format(line="stre 1 2 0.7 0.8 0.1"))
    proc = korvel(tmp_path / "scan.in", "--save-hamiltonian", tmp_path / "h.json")
    assert proc.returncode != 0
    assert "a $scan makes one per geometry" in proc.stderr
    assert "scan point" not in proc.stderr


def test_cut_through_a_degenerate_level_is_said_in_run_and_scan():
    """N2/STO-3G at 0.9 A has its pi_u pair below 2sigma_u: a (6,6) cut puts one pi
    orbital in the core and one in the active space. The run says so, and so does the
    scan's row; at 1.1 A the cut keeps the pair together and nothing is said."""
    from korvel.cli import _Progress, format_scan_summary, run_job, run_scan

    text = ("$molecule\n0 1\nN 0 0 0\nN 0 0 {r}\n$end\n$rem\nbasis sto-3g\n"
            "active_space manual\nn_act 6\nn_act_elec 6\nfci_max_dim 1\n$end\n")
    out = io.StringIO()
    report = run_job(parse_input_text(text.format(r=1.1), "n2.in"), _Progress(out))
    assert "warnings" not in report["problem"] and "degenerate" not in out.getvalue()
    calc = parse_input_text(text.format(r=1.1) + "$scan\nstre 1 2 0.9\n$end\n", "n2.in")
    out = io.StringIO()
    scan = run_scan(calc, _Progress(out))
    (point,) = scan["scan"]["points"]
    assert "splits a degenerate level" in point["warnings"][0]
    assert "korvel: warning: the manual active space splits a degenerate level" in \
        out.getvalue()
    assert "degenerate level split by the cut" in format_scan_summary(scan)
