"""The input parser: sections, conversions, defaults, xyz paths and error messages."""

import math
import re
from pathlib import Path

import numpy as np
import pytest

from korvel.inputfile import KEYWORDS, parse_input_text, read_input

WATER = """\
$molecule
0 1
O 0.0 0.0 0.1173
H 0.0 0.7572 -0.4692
H 0.0 -0.7572 -0.4692
$end
"""


def job(rem_lines="", molecule=WATER):
    return molecule + "$rem\n" + rem_lines + "$end\n"


# -- what a well-formed file gives ------------------------------------------------

def test_defaults_filled_and_geometry_as_tuples():
    calc = parse_input_text(WATER)
    assert calc.molecule == {"geometry": [
        ("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
        ("H", (0.0, -0.7572, -0.4692))]}
    rem = calc.rem
    expected = dict(basis="sto-3g", charge=0, multiplicity=1, reference="rhf",
                    active_space="full", avas_aos=None, avas_threshold=0.2, n_act=None,
                    n_act_elec=None, orbital_opt=False, method=None, backend="auto",
                    ccsd_n_comm=2, ccsd_max_body=4, generator_pool="ccsd_screened",
                    pool_tol=1e-8, dmrg_bond_dims=None, dmrg_extrapolate=True, dmrg_seed=1)
    assert {k: rem[k] for k in expected} == expected
    # every documented keyword is present, nothing else besides charge/multiplicity
    assert set(rem) == set(KEYWORDS) | {"charge", "multiplicity"}
    assert isinstance(rem["fci_max_dim"], int) and rem["fci_max_dim"] > 0
    assert calc.warnings == []


@pytest.mark.parametrize("key, text, value", [
    ("basis", "6-31G*", "6-31G*"),                  # case of strings kept
    ("reference", "ROHF", "rohf"),                  # choices lower-cased
    ("active_space", "Manual\nn_act 4\nn_act_elec 4", "manual"),
    ("avas_threshold", "0.35", 0.35),
    ("avas_threshold", "1e-1", 0.1),
    ("orbital_opt", "yes", True), ("orbital_opt", "1", True), ("orbital_opt", "TRUE", True),
    ("orbital_opt", "no", False), ("orbital_opt", "0", False), ("orbital_opt", "False", False),
    ("ccsd_n_comm", "4", 4),
    ("pool_tol", "0", 0.0),
    ("dmrg_bond_dims", "50 100 200", [50, 100, 200]),
    ("dmrg_bond_dims", "50,100,200", [50, 100, 200]),
    ("dmrg_bond_dims", "50, 100", [50, 100]),
    ("dmrg_bond_dims", "none", None),
    ("method", "CENDREL", "cendrel"),
    ("backend", "OpenFermion", "openfermion"),
    ("fci_max_dim", "5000", 5000),
])
def test_values_converted_by_key(key, text, value):
    rem = parse_input_text(job(f"{key} {text}\n")).rem
    assert rem[key] == value and type(rem[key]) is type(value)


def test_keys_and_sections_case_insensitive_comments_and_equals():
    text = """! leading comment
    $MOLECULE   # section names in any case
    1 2          ! cation doublet
    O 0 0 0.1173
    H 0 0.7572 -0.4692   # trailing comment
    H 0 -0.7572 -0.4692
    $End
    # the rem section
    $Rem
    BASIS = cc-pvdz
    Reference rohf   ! open shell
    $END
    """
    calc = parse_input_text(text)
    assert calc.rem["basis"] == "cc-pvdz" and calc.rem["reference"] == "rohf"
    assert (calc.rem["charge"], calc.rem["multiplicity"]) == (1, 2)
    assert calc.molecule["geometry"][1] == ("H", (0.0, 0.7572, -0.4692))


def test_avas_labels_single_and_list():
    base = "active_space avas\navas_aos {}\n"
    assert parse_input_text(job(base.format("O 2p"))).rem["avas_aos"] == "O 2p"
    assert parse_input_text(job(base.format("O 2p, H 1s"))).rem["avas_aos"] == \
        ["O 2p", "H 1s"]
    assert parse_input_text(job(base.format("O 2px"))).rem["avas_aos"] == "O 2px"


def test_ignored_keywords_warned_not_silently_dropped():
    calc = parse_input_text(job("n_act 4\npool_tol 1e-6\n"))
    assert len(calc.warnings) == 2
    assert "line 8: n_act has no effect with active_space full" in calc.warnings[0]
    assert "pool_tol has no effect without a method" in calc.warnings[1]


# -- xyz files -------------------------------------------------------------------

XYZ = "3\nwater\nO 0.0 0.0 0.1173\nH 0.0 0.7572 -0.4692 extra\nH 0.0 -0.7572 -0.4692\n"


def test_read_xyz_resolved_against_input_folder(tmp_path, monkeypatch):
    (tmp_path / "geom").mkdir()
    (tmp_path / "geom" / "w.xyz").write_text(XYZ)
    inp = tmp_path / "job.in"
    inp.write_text("$molecule\n0 1\nread geom/w.xyz\n$end\n")
    monkeypatch.chdir("/")                       # resolution must not use the cwd
    calc = read_input(inp)
    assert calc.molecule == {"xyz_file": str(tmp_path / "geom" / "w.xyz")}
    assert Path(calc.molecule["xyz_file"]).read_text() == XYZ


def test_read_xyz_absolute_path_and_text_without_file(tmp_path, monkeypatch):
    xyz = tmp_path / "w.xyz"
    xyz.write_text(XYZ)
    calc = parse_input_text(f"$molecule\n0 1\nREAD {xyz}\n$end\n")
    assert calc.molecule == {"xyz_file": str(xyz)}
    monkeypatch.chdir(tmp_path)                   # text without a file: the cwd
    calc = parse_input_text("$molecule\n0 1\nread w.xyz\n$end\n")
    assert Path(calc.molecule["xyz_file"]) == tmp_path / "w.xyz"


# -- malformed input: file, line, what was expected ---------------------------------

MISSING_END = "$molecule\n0 1\nH 0 0 0\nH 0 0 0.74\n$end\n$rem\nbasis sto-3g\n"
UNCLOSED_MOL = "$molecule\n0 1\nH 0 0 0\n$rem\nbasis sto-3g\n$end\n"
BAD_COORD = "$molecule\n0 1\nH 0 0 0\nH 0 0 zero\n$end\n"
H2 = "$molecule\n0 1\nH 0 0 0\nH 0 0 0.74\n$end\n"


@pytest.mark.parametrize("text, line, expected", [
    (MISSING_END, 6, r"section \$rem is not closed; expected \$end"),
    (UNCLOSED_MOL, 4, r"expected \$end to close \$molecule \(opened at line 1\)"),
    ("$molecul\n0 1\nH 0 0 0\n$end\n", 1, r"unknown section \$molecul \(did you mean "
                                         r"molecule\?\); expected \$molecule or \$rem"),
    ("$geometry\n$end\n", 1, r"unknown section \$geometry; expected"),
    (BAD_COORD, 4, r"coordinate 'zero' is not a number"),
    ("$molecule\n0 1\nH 0 0 nan\n$end\n", 3, r"coordinate 'nan' is not a finite number"),
    ("$molecule\n0 1\nH 0 0\n$end\n", 3, r"expected an atom line 'El x y z'"),
    ("$molecule\n0 1\n1.0 0 0 0\n$end\n", 3, r"expected an element symbol first"),
    (H2 + "$rem\nbassis sto-3g\n$end\n", 7, r"unknown keyword 'bassis' in \$rem "
                                            r"\(did you mean basis\?\)"),
    (H2 + "$rem\nfoo 1\n$end\n", 7, r"unknown keyword 'foo' in \$rem$"),
    (H2 + "$rem\nccsd_n_comm two\n$end\n", 7, r"ccsd_n_comm expects an integer; got 'two'"),
    (H2 + "$rem\nccsd_n_comm 2.5\n$end\n", 7, r"ccsd_n_comm expects an integer"),
    (H2 + "$rem\npool_tol tiny\n$end\n", 7, r"pool_tol expects a number; got 'tiny'"),
    (H2 + "$rem\npool_tol -1e-3\n$end\n", 7, r"pool_tol must be at least 0"),
    (H2 + "$rem\norbital_opt maybe\n$end\n", 7, r"orbital_opt expects true or false"),
    (H2 + "$rem\nreference rfh\n$end\n", 7, r"reference must be one of rhf, rohf, uhf; "
                                            r"got 'rfh' \(did you mean rhf"),
    (H2 + "$rem\ndmrg_bond_dims 50 x\n$end\n", 7, r"dmrg_bond_dims expects a list of "
                                                 r"integers"),
    (H2 + "$rem\ndmrg_bond_dims 50 0\n$end\n", 7, r"dmrg_bond_dims must be at least 1"),
    (H2 + "$rem\nbasis\n$end\n", 7, r"expected a value after basis"),
    (H2 + "$rem\nbasis sto-3g\nbasis 6-31g\n$end\n", 8, r"keyword basis given twice "
                                                        r"\(first at line 7\)"),
    (H2 + "$rem\nactive_space manual\nn_act 2\n$end\n", 7,
     r"active_space manual requires n_act_elec in \$rem"),
    (H2 + "$rem\nactive_space manual\n$end\n", 7,
     r"active_space manual requires n_act and n_act_elec"),
    ("$molecule\n0 1\nLi 0 0 0\nH 0 0 1.6\n$end\n$rem\nactive_space manual\nn_act 1\n"
     "n_act_elec 4\n$end\n", 9,
     r"n_act_elec=4 electrons do not fit into n_act=1 active orbitals \(at most 2\)"),
    (H2 + "$rem\nactive_space manual\nn_act 2\nn_act_elec 4\n$end\n", 9,
     r"n_act_elec must lie between 0 and the 2 electrons of the molecule, got 4"),
    (H2 + "$rem\nactive_space avas\n$end\n", 7, r"active_space avas requires avas_aos"),
    # AVAS labels against the minimal basis the AVAS projection uses
    (H2 + "$rem\nactive_space avas\navas_aos N 2p\n$end\n", 8,
     r"avas_aos label 'N 2p' matches no atomic orbital of the minimal basis \(MINAO\) .* "
     r"this molecule has H 1s$"),
    (H2 + "$rem\nactive_space avas\navas_aos H 1s, H 2p\n$end\n", 8, r"label 'H 2p' matches no"),
    (H2 + "$rem\nactive_space avas\navas_aos H1s\n$end\n", 8, r"label 'H1s' matches no"),
    (H2 + "$rem\nmethod cendral\n$end\n", 7, r"unknown method 'cendral' \(did you mean "
                                             r"cendrel\?\)"),
    (H2 + "$rem\nbackend gpx\n$end\n", 7, r"unknown backend 'gpx' \(did you mean gpu\?\)"),
    (H2 + "$rem\ncharge 1\n$end\n", 7, r"charge is set on the first line of \$molecule"),
    ("$molecule\n0\nH 0 0 0\n$end\n", 2, r"expected the charge and the spin multiplicity "
                                         r"as two integers, e.g. '0 1'; got '0'"),
    ("$molecule\nzero one\nH 0 0 0\n$end\n", 2, r"expected the charge and the spin "
                                               r"multiplicity as two integers"),
    ("$molecule\n0 0\nH 0 0 0\n$end\n", 2, r"multiplicity must be at least 1"),
    ("$molecule\n0 1\nH 0 0 0\n$end\n", 2, r"multiplicity 1 is impossible with 1 "
                                           r"electrons"),
    ("$molecule\n0 2\nH 0 0 0\nH 0 0 0.74\n$end\n", 2, r"multiplicity 2 is impossible"),
    ("$molecule\n0 1\n$end\n", 1, r"\$molecule has no atoms"),
    ("$molecule\n0 1\nH 0 0 0\nread a.xyz\n$end\n", 4, r"expected either atom lines or "
                                                      r"a single 'read FILE.xyz' line"),
    ("$molecule\n0 1\nread\n$end\n", 3, r"expected a file name after 'read'"),
    ("basis sto-3g\n", 1, r"text outside a section"),
    ("$molecule\n0 1\nH 0 0 0\nH 0 0 1\n$end\n$end\n", 6, r"\$end without an open section"),
    (H2 + "$molecule\n0 1\nH 0 0 0\n$end\n", 6, r"section \$molecule given twice"),
])
def test_malformed_input_names_file_line_and_expectation(text, line, expected):
    with pytest.raises(ValueError) as err:
        parse_input_text(text, filename="job.in")
    message = str(err.value)
    assert message.startswith(f"job.in, line {line}: "), message
    assert re.search(expected, message), message


def test_missing_molecule_section_names_file():
    with pytest.raises(ValueError, match=r"^job.in: no \$molecule section"):
        parse_input_text("$rem\nbasis sto-3g\n$end\n", filename="job.in")


def test_bad_xyz_coordinate_reported_in_the_xyz_file(tmp_path):
    (tmp_path / "bad.xyz").write_text("2\n\nH 0 0 0\nH 0 0 x\n")
    (tmp_path / "job.in").write_text("$molecule\n0 1\nread bad.xyz\n$end\n")
    with pytest.raises(ValueError, match=r"bad\.xyz, line 4: coordinate 'x' is not a "
                                         r"number"):
        read_input(tmp_path / "job.in")


@pytest.mark.parametrize("content, expected", [
    (None, r"job\.in, line 3: cannot read xyz file '.*missing\.xyz'"),
    ("0\ncomment only\n", r"job\.in, line 3: xyz file '.*' holds no atom lines"),
    ("2\ncomment only\n", r"job\.in, line 3: xyz file '.*' holds 0 atom lines where its "
                          r"line 1 says 2"),
])
def test_xyz_file_missing_or_empty(tmp_path, content, expected):
    if content is not None:
        (tmp_path / "missing.xyz").write_text(content)
    (tmp_path / "job.in").write_text("$molecule\n0 1\nread missing.xyz\n$end\n")
    with pytest.raises(ValueError, match=expected):
        read_input(tmp_path / "job.in")


def test_unreadable_input_file(tmp_path):
    with pytest.raises(ValueError, match=r"cannot read input file '.*nope\.in'"):
        read_input(tmp_path / "nope.in")


# -- chemistry checked at parse time: elements, basis, geometry, partition, ranges --

@pytest.mark.parametrize("label", ["H", "h", "H1", "O@2", "He3", "ghost-H", "ghost:H",
                                   "GHOST-H", "X-H", "XH", "Xy", "Xe", "Xq", "Hx", "Qq", "J",
                                   "Zz1"])
def test_element_symbols_accepted_exactly_when_pyscf_builds_them(label):
    gto = pytest.importorskip("pyscf.gto")
    try:
        gto.M(atom=[(label, (0, 0, 0)), ("Li", (0, 0, 1.6))], basis="def2-svp",
              spin=None, verbose=0)
        pyscf_ok = True
    except Exception:
        pyscf_ok = False
    text = f"$molecule\n0 2\n{label} 0 0 0\nLi 0 0 1.6\n$end\n$rem\nbasis def2-svp\n$end\n"
    if pyscf_ok:
        # charge/multiplicity may not fit this label; only the symbol is at stake
        try:
            parse_input_text(text, filename="job.in")
        except ValueError as exc:
            assert "element" not in str(exc), exc
    else:
        with pytest.raises(ValueError, match=r"^job\.in, line 3: unknown element symbol"):
            parse_input_text(text, filename="job.in")


def test_unknown_element_in_xyz_named_by_its_own_line(tmp_path):
    (tmp_path / "g.xyz").write_text("2\n\nH 0 0 0\nQq 0 0 0.74\n")
    (tmp_path / "job.in").write_text("$molecule\n0 1\nread g.xyz\n$end\n")
    with pytest.raises(ValueError, match=r"g\.xyz, line 4: unknown element symbol 'Qq'"):
        read_input(tmp_path / "job.in")


@pytest.mark.parametrize("basis, pattern", [
    ("sto-4q", r"basis 'sto-4q' is not known to PySCF"),
    ("cc-pvdzz", r"basis 'cc-pvdzz' is not known to PySCF \(did you mean"),
    ("sto-3g\nbasis sto-3g", r"keyword basis given twice"),
])
def test_unknown_basis_named_at_its_line(basis, pattern):
    pytest.importorskip("pyscf")
    with pytest.raises(ValueError, match=r"^job\.in, line \d+: " + pattern):
        parse_input_text(job(f"basis {basis}\n", H2), filename="job.in")


def test_basis_without_functions_for_an_element():
    pytest.importorskip("pyscf")
    text = "$molecule\n0 1\nU 0 0 0\n$end\n$rem\nbasis 6-31g\n$end\n"
    with pytest.raises(ValueError, match=r"^job\.in, line 6: basis '6-31g' has no "
                                         r"functions for U"):
        parse_input_text(text, filename="job.in")


@pytest.mark.parametrize("basis", ["sto-3g", "6-31g*", "cc-pvdz", "def2-svp"])
def test_basis_functions_counted_as_pyscf_counts_them(basis):
    gto = pytest.importorskip("pyscf.gto")
    calc = parse_input_text(job(f"basis {basis}\n"))
    mol = gto.M(atom=calc.molecule["geometry"], basis=basis, verbose=0)
    assert calc.basis_functions == mol.nao_nr()


@pytest.mark.parametrize("second, line, pattern", [
    ("H 0 0 0", 4, r"atom H is 0 Angstrom from atom H of line 3"),
    ("H 0 0.05 0.05", 4, r"atom H is 0\.0707 Angstrom from atom H of line 3; nuclei "
                         r"closer than 0\.1 Angstrom are refused"),
    ("H 0.0 -0.03 0.09", 4, r"atom H is 0\.0949 Angstrom from atom H of line 3"),
])
def test_atoms_too_close_are_refused(second, line, pattern):
    text = f"$molecule\n0 1\nH 0 0 0\n{second}\n$end\n"
    with pytest.raises(ValueError, match=rf"^job\.in, line {line}: {pattern}"):
        parse_input_text(text, filename="job.in")


def test_close_atoms_found_among_many_far_apart():
    rng = np.random.default_rng(7)
    pts = [(float(x), float(y), float(z)) for x, y, z in rng.uniform(-50, 50, (400, 3))]
    # a brute-force pair scan is the oracle
    d = min(math.dist(p, q) for i, p in enumerate(pts) for q in pts[:i])
    assert d > 0.1
    lines = "".join(f"He {x} {y} {z}\n" for x, y, z in pts)
    parse_input_text(f"$molecule\n0 1\n{lines}$end\n$rem\nbasis sto-3g\n$end\n")
    x, y, z = pts[123]
    close = f"He {x + 0.04} {y - 0.04} {z + 0.04}\n"
    with pytest.raises(ValueError, match=r"line 403: atom He is 0\.0693 Angstrom from "
                                         r"atom He of line 126"):
        parse_input_text(f"$molecule\n0 1\n{lines}{close}$end\n", filename="job.in")


def test_ghost_atom_may_sit_on_an_atom():
    calc = parse_input_text("$molecule\n0 1\nH 0 0 0\nH 0 0 0.74\nghost-H 0 0 0\n$end\n")
    assert len(calc.molecule["geometry"]) == 3


def test_atoms_too_close_in_xyz_named_in_the_xyz_file(tmp_path):
    (tmp_path / "g.xyz").write_text("3\n\nO 0 0 0\nH 0 0 1\nH 0 0 1.01\n")
    (tmp_path / "job.in").write_text("$molecule\n0 1\nread g.xyz\n$end\n")
    with pytest.raises(ValueError, match=r"g\.xyz, line 5: atom H is 0\.01 Angstrom "
                                         r"from atom H of line 4"):
        read_input(tmp_path / "job.in")


@pytest.mark.parametrize("charge_mult, rem, line, pattern", [
    # water in STO-3G has 7 orbitals and 10 electrons
    ("0 1", "n_act 8\nn_act_elec 2", 9, r"the active space \(4 core \+ 8 active orbitals\) "
                                        r"exceeds the 7 orbitals of the basis"),
    ("0 1", "n_act 3\nn_act_elec 3", 10, r"n_act_elec=3 and multiplicity 1 do not match"),
    ("0 3", "n_act 4\nn_act_elec 3\nreference rohf", 10, r"n_act_elec=3 and multiplicity 3"),
    ("0 3", "n_act 1\nn_act_elec 2\nreference rohf", 10, r"multiplicity 3 needs 2 unpaired "
                                                       r"electrons"),
    ("0 3", "n_act 2\nn_act_elec 4\nreference rohf", 10, r"multiplicity 3 needs 2 unpaired"),
    ("0 3", "n_act 4\nn_act_elec 4\nreference rohf", None, None),
    ("1 2", "n_act 4\nn_act_elec 3\nreference rohf", None, None),
    ("0 1", "n_act 7\nn_act_elec 10", None, None),
])
def test_partition_checked_against_the_basis_and_the_spin(charge_mult, rem, line, pattern):
    pytest.importorskip("pyscf")
    molecule = WATER.replace("0 1", charge_mult, 1)
    text = job(f"active_space manual\n{rem}\n", molecule)
    if pattern is None:
        assert parse_input_text(text, filename="job.in").basis_functions == 7
        return
    with pytest.raises(ValueError, match=rf"^job\.in, line {line}: {pattern}"):
        parse_input_text(text, filename="job.in")


@pytest.mark.parametrize("key, value, pattern", [
    ("ccsd_max_body", "0", r"ccsd_max_body must be at least 1; got 0"),
    ("ccsd_max_body", "17", r"ccsd_max_body must be at most 16; got 17"),
    ("ccsd_n_comm", "-1", r"ccsd_n_comm must be at least 0"),
    ("ccsd_n_comm", "9", r"ccsd_n_comm must be at most 8"),
    ("dmrg_bond_dims", "50 100000", r"dmrg_bond_dims must be at most 50000"),
    ("dmrg_n_sweeps", "0", r"dmrg_n_sweeps must be at least 1"),
    ("dmrg_n_threads", "100000", r"dmrg_n_threads must be at most 1024"),
    ("pool_tol", "2", r"pool_tol must be at most 1"),
    ("pool_tol", "inf", r"pool_tol expects a finite number"),
    ("avas_threshold", "0", r"avas_threshold must be greater than 0"),
    ("fci_max_dim", "10000000000", r"fci_max_dim must be at most 1e\+09"),
    ("dmrg_stack_gb", "nan", r"dmrg_stack_gb expects a finite number"),
])
def test_every_range_checked_with_its_line(key, value, pattern):
    with pytest.raises(ValueError, match=rf"^job\.in, line 7: {pattern}"):
        parse_input_text(job(f"{key} {value}\n", H2), filename="job.in")


def test_dmrg_stack_beyond_this_machine_is_refused():
    text = job("dmrg_bond_dims 10\ndmrg_stack_gb 1e9\n", H2)
    with pytest.raises(ValueError, match=r"^job\.in, line 8: dmrg_stack_gb 1e\+09 is more "
                                         r"than the .* GiB of memory of this machine"):
        parse_input_text(text, filename="job.in")


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_reading_a_device_is_bounded_and_names_the_file(tmp_path, device):
    import time
    (tmp_path / "job.in").write_text(f"$molecule\n0 1\nread {device}\n$end\n")
    start = time.perf_counter()
    with pytest.raises(ValueError, match=rf"job\.in, line 3: xyz file '{device}' "):
        read_input(tmp_path / "job.in")
    assert time.perf_counter() - start < 30


def test_input_file_read_is_bounded():
    with pytest.raises(ValueError, match=r"input file '/dev/zero' is larger than"):
        read_input("/dev/zero")


@pytest.mark.parametrize("rem, value, warning", [
    ("", True, None),
    ("method cendrel\nccsd_singles false\n", False, None),
    ("method cendrel\ngenerator_pool mp2_screened\nccsd_singles true\n", True,
     "ccsd_singles has no effect with generator_pool mp2_screened"),
    ("ccsd_singles off\n", False, "ccsd_singles has no effect without a method"),
])
def test_ccsd_singles_keyword(rem, value, warning):
    calc = parse_input_text(job(rem))
    assert calc.rem["ccsd_singles"] is value
    assert [w for w in calc.warnings if "ccsd_singles" in w] == (
        [] if warning is None else [calc.warnings[-1]])
    if warning:
        assert warning in calc.warnings[-1]
