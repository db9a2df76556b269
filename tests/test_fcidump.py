"""Problems built from FCIDUMP integrals, checked against the molecule route and against
files written by PySCF (a writer korvel does not own)."""

from __future__ import annotations

import json
import re

import numpy as np
import pytest

pyscf = pytest.importorskip("pyscf")
from pyscf import ao2mo, fci, gto, scf  # noqa: E402
from pyscf.tools import fcidump  # noqa: E402

from chem import GEOMETRIES, make_calc  # noqa: E402

hamiltonian = pytest.importorskip("korvel.core.hamiltonian")
build_problem = hamiltonian.build_problem

from korvel.io import read_fcidump, save_hamiltonian  # noqa: E402

CH2 = [("C", (0.0, 0.0, 0.0)), ("H", (0.0, 0.99, 0.6)), ("H", (0.0, -0.99, 0.6))]


def file_calc(path, **rem):
    calc = make_calc("h2", **rem)
    calc.molecule = {"fcidump": str(path)}
    return calc


def max_term_difference(a, b):
    a, b = a.terms, b.terms
    return max(abs(a.get(k, 0.0) - b.get(k, 0.0)) for k in set(a) | set(b))


def scf_of(atoms, basis, spin=0):
    mol = gto.M(atom=atoms, basis=basis, spin=spin, verbose=0)
    mf = (scf.ROHF if spin else scf.RHF)(mol)
    mf.conv_tol = 1e-12
    return mf.run()


# ---------------------------------------------------------------------------
# The same problem as the molecule route


@pytest.mark.parametrize("atoms, basis, spin, reference, n_act, n_act_elec", [
    (GEOMETRIES["h2o"], "sto-3g", 0, "rhf", 4, 4),
    (GEOMETRIES["n2"], "6-31g", 0, "rhf", 6, 6),
    (CH2, "sto-3g", 2, "rohf", 4, 4),
], ids=["h2o-sto3g", "n2-631g", "ch2-triplet-rohf"])
def test_file_of_the_working_orbitals_gives_the_same_problem(tmp_path, atoms, basis, spin,
                                                            reference, n_act, n_act_elec):
    """PySCF's from_scf writes the integrals in korvel's working orbitals; read back they
    give the molecule route's Hamiltonian term by term, partition, occupation and
    reference energy."""
    rem = dict(basis=basis, multiplicity=spin + 1, reference=reference,
               active_space="manual", n_act=n_act, n_act_elec=n_act_elec)
    mol_problem = build_problem(make_calc(atoms, **rem))
    mf = scf_of(atoms, basis, spin)
    mf.mo_coeff = mol_problem.extras["mo_coeff"]
    path = tmp_path / "FCIDUMP"
    fcidump.from_scf(mf, str(path), tol=0.0)
    file_problem = build_problem(file_calc(path, **rem))

    assert max_term_difference(mol_problem.hamiltonian, file_problem.hamiltonian) < 1e-10
    for field in ("n_orb", "n_elec", "n_core", "n_act", "n_vir", "n_act_elec", "occupied",
                  "spin_2s"):
        assert getattr(file_problem, field) == getattr(mol_problem, field), field
    assert file_problem.e_ref == pytest.approx(mol_problem.e_ref, abs=1e-8)
    assert file_problem.e_ref == pytest.approx(mf.e_tot, abs=1e-8)
    assert file_problem.extras["fcidump"] == str(path)
    np.testing.assert_allclose(file_problem.extras["eps"], mol_problem.extras["eps"],
                               atol=1e-10)


def test_canonical_file_gives_the_same_energies_through_the_driver(tmp_path):
    """An FCIDUMP of PySCF's own canonical RHF orbitals, run as an input file, gives the
    molecule input's reference, exact and downfolded energies; the saved effective
    Hamiltonian names the file."""
    from test_cli import korvel, write_input

    mf = scf_of(GEOMETRIES["h2o"], "sto-3g")
    fcidump.from_scf(mf, str(tmp_path / "FCIDUMP"))
    rem = {"active_space": "manual", "n_act": 4, "n_act_elec": 4, "method": "cendrel"}
    write_input(tmp_path / "mol.in", GEOMETRIES["h2o"], rem)
    (tmp_path / "file.in").write_text(
        "$molecule\nfcidump FCIDUMP\n$end\n$rem\n"
        + "".join(f"{k} {v}\n" for k, v in rem.items()) + "$end\n")
    reports = {}
    for name in ("mol", "file"):
        proc = korvel(tmp_path / f"{name}.in", "--json", tmp_path / f"{name}.json",
                      "--save-hamiltonian", tmp_path / f"{name}_heff.json")
        assert proc.returncode == 0, proc.stderr
        reports[name] = json.loads((tmp_path / f"{name}.json").read_text())
    mol, file = reports["mol"], reports["file"]
    assert file["reference_energy"] == pytest.approx(mf.e_tot, abs=1e-8)
    assert file["reference_energy"] == pytest.approx(mol["reference_energy"], abs=1e-8)
    assert file["energy"] == pytest.approx(mol["energy"], abs=1e-8)
    exact = "exact_energy"
    assert file["measurements"]["hamiltonian"][exact] == pytest.approx(
        mol["measurements"]["hamiltonian"][exact], abs=1e-8)
    assert file["problem"]["fcidump"] == str(tmp_path / "FCIDUMP")
    saved = json.loads((tmp_path / "file_heff.json").read_text())
    assert saved["extra"]["fcidump"] == str(tmp_path / "FCIDUMP")


def test_rotated_orbitals_keep_their_determinant_and_the_exact_energy(tmp_path):
    """from_integrals with orbitals rotated across the occupied / virtual boundary: the
    reference energy is <Phi0|H|Phi0> of those orbitals as PySCF computes it, and the
    exact energy of the full space is the unrotated one."""
    from korvel.cli import _full_space_fci

    mf = scf_of(GEOMETRIES["h2o"], "sto-3g")
    n = mf.mo_coeff.shape[1]
    rng = np.random.default_rng(3)
    u = np.linalg.qr(np.eye(n) + 0.3 * rng.standard_normal((n, n)))[0]
    c = mf.mo_coeff @ u
    h1 = c.T @ mf.get_hcore() @ c
    eri = ao2mo.restore(1, ao2mo.kernel(mf.mol, c), n)
    fcidump.from_integrals(str(tmp_path / "FCIDUMP"), h1, eri, n, 10,
                           nuc=mf.energy_nuc(), tol=0.0)

    # PySCF's determinant energy in those orbitals: a mean field on the bare integrals
    bare = gto.M(verbose=0)
    bare.nelectron = 10
    model = scf.RHF(bare)
    model.get_hcore = lambda *a: h1
    model.get_ovlp = lambda *a: np.eye(n)
    model._eri = ao2mo.restore(8, eri, n)
    bare.incore_anyway = True
    dm = np.diag([2.0] * 5 + [0.0] * (n - 5))
    e_det = model.energy_tot(dm=dm) + mf.energy_nuc()
    assert abs(e_det - mf.e_tot) > 1e-3          # the rotation did move the determinant

    p = build_problem(file_calc(tmp_path / "FCIDUMP", active_space="full"))
    assert p.e_ref == pytest.approx(e_det, abs=1e-10)
    e_exact = fci.direct_spin1.kernel(mf.mo_coeff.T @ mf.get_hcore() @ mf.mo_coeff,
                                      ao2mo.full(mf.mol, mf.mo_coeff), n, 10,
                                      ecore=mf.energy_nuc(), conv_tol=1e-12)[0]
    assert _full_space_fci(p)["energy"] == pytest.approx(e_exact, abs=1e-8)


def test_korvel_fcidump_round_trips(tmp_path):
    """korvel's own FCIDUMP writer, read back: PySCF's reader sees the same integrals,
    and the problem rebuilt from the file has the original Hamiltonian."""
    p = build_problem(make_calc("h2o", active_space="manual", n_act=4, n_act_elec=4))
    path = tmp_path / "FCIDUMP"
    save_hamiltonian(str(path), p.hamiltonian, n_spinorb=2 * p.n_orb, n_elec=p.n_elec,
                     occupied=p.occupied, fmt="fcidump")
    ours, theirs = read_fcidump(path), fcidump.read(str(path), verbose=False)
    assert (ours["norb"], ours["nelec"], ours["ms2"]) == (theirs["NORB"], theirs["NELEC"],
                                                          theirs["MS2"])
    np.testing.assert_allclose(ours["h1"], theirs["H1"], atol=1e-14)
    np.testing.assert_allclose(ours["eri"], ao2mo.restore(1, theirs["H2"], ours["norb"]),
                               atol=1e-14)
    assert ours["ecore"] == theirs["ECORE"]
    back = build_problem(file_calc(path, active_space="manual", n_act=4, n_act_elec=4))
    assert max_term_difference(p.hamiltonian, back.hamiltonian) < 1e-10
    assert back.e_ref == pytest.approx(p.e_ref, abs=1e-10)


# ---------------------------------------------------------------------------
# Refused files and inputs

GOOD_HEAD = " &FCI NORB=2,NELEC=2,MS2=0,\n  ORBSYM=1,1,\n  ISYM=1,\n &END\n"
GOOD_BODY = " 0.5 1 1 1 1\n 0.1 2 1 1 1\n 0.4 2 2 2 2\n -1.0 1 1 0 0\n -0.5 2 2 0 0\n 0.7 0 0 0 0\n"

MALFORMED = [
    ("no header", "0.5 1 1 1 1\n", 1, "expected the FCIDUMP header"),
    ("no NELEC", " &FCI NORB=2,MS2=0,\n &END\n" + GOOD_BODY, 1, "lacks NELEC"),
    ("NORB not a number", " &FCI NORB=two,NELEC=2,\n &END\n", 1, "NORB must be one integer"),
    ("too many electrons", " &FCI NORB=2,NELEC=5,MS2=1,\n &END\n", 1, "do not fit"),
    ("MS2 of wrong parity", " &FCI NORB=2,NELEC=2,\n MS2=1,\n &END\n", 2, "MS2=1 is impossible"),
    ("ORBSYM too short", " &FCI NORB=2,NELEC=2,MS2=0,\n  ORBSYM=1,\n &END\n", 2,
     "ORBSYM must list 2"),
    ("header not closed", " &FCI NORB=2,NELEC=2,MS2=0,\n 0.5 1 1 1 1\n", 1, "not closed"),
    ("index beyond NORB", GOOD_HEAD + " 0.5 1 1 3 1\n", 5, "beyond the NORB=2"),
    ("negative index", GOOD_HEAD + GOOD_BODY + " 0.5 -1 1 1 1\n", 11, "beyond the NORB=2"),
    ("complex value", GOOD_HEAD + " (0.5,0.1) 1 1 1 1\n", 5, "complex value"),
    ("NaN value", GOOD_HEAD + " 0.5 1 1 1 1\n nan 2 2 0 0\n", 6, "not finite"),
    ("infinite value", GOOD_HEAD + " 1e999 1 1 0 0\n", 5, "not finite"),
    ("four fields", GOOD_HEAD + " 0.5 1 1 1\n", 5, "expected 'value i j k l'"),
    ("unknown index pattern", GOOD_HEAD + " 0.5 1 0 1 0\n", 5, "index pattern 1 0 1 0"),
    ("8-fold symmetry broken", GOOD_HEAD + " 0.1 2 1 1 1\n 0.2 1 2 1 1\n", 5,
     r"\(ij\|kl\) = \(ji\|kl\) fails; symmetry found: .*\(ij\|kl\) = \(kl\|ij\)"),
    ("integral given twice", GOOD_HEAD + GOOD_BODY + " 0.4 2 2 2 2\n", 11, "given twice "
     r"\(first at line 7\)"),
    ("second core energy", GOOD_HEAD + GOOD_BODY + " 0.1 0 0 0 0\n", 11,
     "second core-energy line"),
    ("non-symmetric h1", GOOD_HEAD + " -1.0 1 2 0 0\n -0.9 2 1 0 0\n", 5, "Hermitian"),
    ("unrestricted", " &FCI NORB=2,NELEC=2,MS2=0,\n IUHF=1,\n &END\n", 2, "unrestricted"),
]


@pytest.mark.parametrize("text, line, pattern", [m[1:] for m in MALFORMED],
                         ids=[m[0] for m in MALFORMED])
def test_malformed_file_is_refused_with_its_line(tmp_path, text, line, pattern):
    path = tmp_path / "FCIDUMP"
    path.write_text(text)
    with pytest.raises(ValueError) as err:
        read_fcidump(path)
    message = str(err.value)
    assert message.startswith(f"{path}, line {line}: "), message
    assert re.search(pattern, message), message


def test_file_too_large_or_not_a_file_is_refused(tmp_path, monkeypatch):
    import korvel.io as kio

    path = tmp_path / "FCIDUMP"
    path.write_text(GOOD_HEAD + GOOD_BODY)
    d = read_fcidump(path)          # the good file itself reads, with 8-fold filling
    assert d["eri"][0, 1, 0, 0] == d["eri"][0, 0, 1, 0] == d["eri"][1, 0, 0, 0] == 0.1
    assert d["h1"][1, 1] == -0.5 and d["ecore"] == 0.7
    monkeypatch.setattr(kio, "MAX_FCIDUMP_BYTES", 64)
    with pytest.raises(ValueError, match="more than the 64 bytes of the largest FCIDUMP"):
        read_fcidump(path)
    with pytest.raises(ValueError, match="is a directory"):
        read_fcidump(tmp_path)


def test_input_file_names_the_file_and_refuses_what_needs_atoms(tmp_path):
    from korvel.inputfile import read_input

    (tmp_path / "FCIDUMP").write_text(GOOD_HEAD + GOOD_BODY)
    (tmp_path / "BAD").write_text(GOOD_HEAD + " 0.5 1 1 3 1\n")

    def job(molecule, rem=""):
        (tmp_path / "job.in").write_text(f"$molecule\n{molecule}\n$end\n$rem\n{rem}$end\n")
        return read_input(tmp_path / "job.in")

    calc = job("fcidump FCIDUMP")
    assert calc.molecule == {"fcidump": str(tmp_path / "FCIDUMP")}
    assert (calc.rem["multiplicity"], calc.electrons, calc.basis_functions) == (1, 2, 2)
    assert job("0 3\nfcidump FCIDUMP").rem["multiplicity"] == 3
    cases = [
        ("fcidump BAD", "", r"job.in, line 2: FCIDUMP file: .*BAD, line 5: index beyond"),
        ("fcidump FCIDUMP", "active_space avas\navas_aos H 1s\n",
         "line 5: active_space avas needs a basis set"),
        ("fcidump FCIDUMP", "active_space manual\nn_act 1\nn_act_elec 2\norbital_opt true\n",
         "line 8: orbital_opt"),
        ("fcidump FCIDUMP", "reference uhf\n", "line 5: reference uhf is not available"),
        ("1 1\nfcidump FCIDUMP", "", "line 2: charge 1 with an FCIDUMP file"),
        ("0 2\nfcidump FCIDUMP", "", "line 2: multiplicity 2 is impossible"),
        ("fcidump FCIDUMP", "active_space manual\nn_act 3\nn_act_elec 2\n", "line 6: .*exceeds"),
        ("fcidump FCIDUMP\nH 0 0 0", "", "line 3: expected only 'fcidump FILE'"),
    ]
    for molecule, rem, pattern in cases:
        with pytest.raises(ValueError, match=pattern):
            job(molecule, rem)
