"""korvel.core.hamiltonian: the Problem record, geometry input and the problem builder.

Energies, partitions and orbitals are checked against PySCF run independently here,
and the Hamiltonian against OpenFermion sparse matrices and Slater's rules.
"""

import dataclasses
import functools
import inspect
from unittest import mock

import numpy as np
import pytest
import scipy.linalg
from chem import GEOMETRIES, fresh_python, make_calc, problem, single_threaded_pyscf  # noqa: F401

from korvel.core import hamiltonian as ham
from korvel.core.hamiltonian import Problem, _geometry_for_pyscf, build_problem

pyscf = pytest.importorskip("pyscf")
import openfermion as of  # noqa: E402
from pyscf import fci, gto, mcscf, scf  # noqa: E402
from pyscf.mcscf import avas  # noqa: E402



pytestmark = pytest.mark.usefixtures("single_threaded_pyscf")


FIELDS = [("hamiltonian", "Any"), ("n_orb", "int"), ("n_elec", "int"), ("n_core", "int"),
          ("n_act", "int"), ("n_vir", "int"), ("n_act_elec", "int"), ("occupied", "set[int]"),
          ("spin_2s", "int"), ("e_ref", "float"), ("extras", "dict[str, Any]")]


# ---------------------------------------------------------------------------
# Independent references

def pyscf_mol(name, basis="sto-3g", charge=0, multiplicity=1):
    return gto.M(atom=GEOMETRIES[name], basis=basis, charge=charge, spin=multiplicity - 1,
                 verbose=0)


def determinant_expectation(op, occupied):
    """<D|op|D> by applying each term's ladder operators, right to left, to the
    determinant D (Jordan-Wigner sign: parity of the occupied modes below)."""
    ref = frozenset(occupied)
    total = 0.0
    for term, coeff in op.terms.items():
        occ, sign = set(ref), 1
        for mode, dagger in reversed(term):
            if bool(dagger) == (mode in occ):
                break
            if sum(q < mode for q in occ) % 2:
                sign = -sign
            (occ.add if dagger else occ.remove)(mode)
        else:
            if occ == ref:
                total += sign * coeff
    return total


def sector_ground_energy(op, n_modes, n_elec):
    """Lowest eigenvalue with n_elec electrons and S_z of the lowest-n_elec determinant."""
    sparse = of.get_number_preserving_sparse_operator(op, n_modes, n_elec, spin_preserving=True)
    return np.linalg.eigvalsh(sparse.toarray())[0]


def projector(c, s):
    """AO-space projector onto the span of the columns of c (orthonormal in metric s)."""
    return c @ c.T @ s


def blocks(p):
    return [slice(0, p.n_core), slice(p.n_core, p.n_core + p.n_act),
            slice(p.n_core + p.n_act, p.n_orb)]


def occupation(p):
    """(n_alpha, n_beta) of the problem's electrons."""
    return (p.n_elec + p.spin_2s) // 2, (p.n_elec - p.spin_2s) // 2


def semicanonical_blocks(p):
    """The blocks, each also cut where the reference occupation changes (open shells)."""
    n_alpha, n_beta = occupation(p)
    cuts = {0, p.n_core, p.n_core + p.n_act, p.n_orb} | (
        {n_beta, n_alpha} if n_alpha != n_beta else set())
    cuts = sorted(cuts)
    return [slice(a, b) for a, b in zip(cuts, cuts[1:]) if b > a]


def assert_invariants(p, mol):
    s = mol.intor("int1e_ovlp")
    mo = p.extras["mo_coeff"]
    assert p.n_orb == p.n_core + p.n_act + p.n_vir and min(p.n_core, p.n_act, p.n_vir) >= 0
    assert p.n_core == (p.n_elec - p.n_act_elec) // 2
    n_alpha, n_beta = mol.nelec
    assert p.n_elec == mol.nelectron and p.occupied == (
        {2 * k for k in range(n_alpha)} | {2 * k + 1 for k in range(n_beta)})
    assert p.spin_2s == mol.spin and p.n_modes == 2 * p.n_orb
    assert list(p.extras) == ["mo_coeff", "h1", "eri", "e_nuc", "eps", "e_scf"] + (
        ["casscf"] if "casscf" in p.extras else [])
    assert mo.shape == (mol.nao_nr(), p.n_orb)
    assert p.extras["eri"].shape == (p.n_orb,) * 4 and p.extras["eps"].shape == (p.n_orb,)
    np.testing.assert_allclose(mo.T @ s @ mo, np.eye(p.n_orb), atol=1e-10)
    assert max(i for t in p.hamiltonian.terms for i, _ in t) < p.n_modes
    assert p.hamiltonian.terms[()] == pytest.approx(mol.energy_nuc(), abs=1e-12)
    assert p.extras["e_nuc"] == pytest.approx(mol.energy_nuc(), abs=1e-12)


# ---------------------------------------------------------------------------
# Problem record

def record(**kw):
    base = dict(hamiltonian=None, n_orb=4, n_elec=2, n_core=1, n_act=2, n_vir=1,
                n_act_elec=0, occupied={0, 1}, spin_2s=0, e_ref=-1.0)
    return Problem(**{**base, **kw})


def test_problem_is_a_mutable_unordered_dataclass_with_text_annotations():
    assert dataclasses.is_dataclass(Problem) and Problem.__module__ == ham.__name__
    assert [(f.name, f.type) for f in dataclasses.fields(Problem)] == FIELDS
    assert Problem.__annotations__ == dict(FIELDS)
    a = Problem(None, 4, 2, 1, 2, 1, 0, {0, 1}, 0, -1.0)
    assert a == record() and repr(a).startswith("Problem(hamiltonian=None, n_orb=4")
    a.e_ref = -2.0
    assert a != record()
    with pytest.raises(TypeError):
        a < record()
    a.extras["x"] = 1  # each record has its own extras
    assert record().extras == {}


@pytest.mark.parametrize("n_orb, n_core, n_act, modes, active", [
    (0, 0, 0, 0, range(0, 0)),
    (5, 0, 3, 10, range(0, 6)),
    (6, 2, 0, 12, range(4, 4)),
    (7, 2, 3, 14, range(4, 10)),
])
def test_computed_properties(n_orb, n_core, n_act, modes, active):
    p = record(n_orb=n_orb, n_core=n_core, n_act=n_act)
    assert p.n_modes == modes and p.active_spinorbitals == active
    assert type(p.active_spinorbitals) is range
    p.n_core, p.n_orb = n_core + 1, n_orb + 2  # recomputed from the current fields
    assert p.active_spinorbitals == range(2 * n_core + 2, 2 * (n_core + n_act) + 2)
    assert p.n_modes == modes + 4
    for name in ("n_modes", "active_spinorbitals"):
        with pytest.raises(AttributeError):
            setattr(p, name, 1)


# ---------------------------------------------------------------------------
# Geometry

def write_xyz(tmp_path, text, name="g.xyz"):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_inline_geometry_is_returned_itself_and_wins_over_the_file(tmp_path):
    geom = [("O", (0.0, 0.0, 0.0))]
    assert _geometry_for_pyscf({"geometry": geom, "xyz_file": tmp_path / "absent.xyz"}) is geom
    assert _geometry_for_pyscf({"geometry": None}) is None


@pytest.mark.parametrize("body, atoms", [
    ("O 0 0 0.1\nh 0 1 -0.5\n", [("O", (0.0, 0.0, 0.1)), ("h", (0.0, 1.0, -0.5))]),
    ("O 0 0 0.1 -0.8 extra\nH 1e-1 2 3 0.4\n", [("O", (0.0, 0.0, 0.1)), ("H", (0.1, 2.0, 3.0))]),
    ("", []),
    ("\nO 0 0\nLi 1 2 3\n\n", [("Li", (1.0, 2.0, 3.0))]),
    ("He 1 2 3\r\nNe 4 5 6", [("He", (1.0, 2.0, 3.0)), ("Ne", (4.0, 5.0, 6.0))]),
])
def test_xyz_file_atoms(tmp_path, body, atoms):
    # line 1 holds the atom count, which the atom lines must match
    path = write_xyz(tmp_path, f" {len(atoms)} \nX 9 9 9 this comment line is not an atom\n"
                     + body)
    assert _geometry_for_pyscf({"xyz_file": str(path)}) == atoms
    assert _geometry_for_pyscf({"xyz_file": path}) == atoms


def test_relative_xyz_path_is_read_from_the_working_directory(tmp_path, monkeypatch):
    write_xyz(tmp_path, "1\n\nH 0 0 0.5\n")
    monkeypatch.chdir(tmp_path)
    assert _geometry_for_pyscf({"xyz_file": "g.xyz"}) == [("H", (0.0, 0.0, 0.5))]


@pytest.mark.parametrize("molecule, error, match", [
    ({}, ValueError, r"^\$molecule has neither inline geometry nor an xyz_file$"),
    ({"charge": 0}, ValueError, r"^\$molecule has neither inline geometry"),
    ([("H", (0, 0, 0))], TypeError, "molecule must be a dict, not list"),
    ({"geometry": (("H", (0, 0, 0)),)}, TypeError, "not tuple"),
    ({"xyz_file": 3}, TypeError, "int"),
])
def test_geometry_errors(molecule, error, match):
    with pytest.raises(error, match=match):
        _geometry_for_pyscf(molecule)


def test_xyz_file_errors_propagate(tmp_path):
    with pytest.raises(FileNotFoundError):
        _geometry_for_pyscf({"xyz_file": str(tmp_path / "absent.xyz")})
    path = write_xyz(tmp_path, "1\n\nH 0 zero 0\n")
    with pytest.raises(ValueError, match="could not convert string to float: 'zero'"):
        _geometry_for_pyscf({"xyz_file": str(path)})


# ---------------------------------------------------------------------------
# Full space: Hamiltonian against PySCF RHF

@pytest.mark.parametrize("name", ["h2o", "lih"])
@pytest.mark.parametrize("basis", ["sto-3g", "6-31g"])
def test_full_space_reference_energy(name, basis):
    p = problem(name, basis=basis)
    mol = pyscf_mol(name, basis)
    mf = scf.RHF(mol).run(conv_tol=1e-12)
    assert_invariants(p, mol)
    assert (p.n_core, p.n_act, p.n_vir, p.n_act_elec) == (0, mol.nao_nr(), 0, mol.nelectron)
    assert type(p.e_ref) is float and p.e_ref == pytest.approx(mf.e_tot, abs=1e-8)
    assert determinant_expectation(p.hamiltonian, p.occupied) == pytest.approx(mf.e_tot, abs=1e-8)
    # One block: eps are the eigenvalues of the Fock matrix of the SCF density.
    fock = mf.get_hcore() + mf.get_veff(mol, mf.make_rdm1())
    np.testing.assert_allclose(p.extras["eps"], scipy.linalg.eigvalsh(fock, mf.get_ovlp()),
                               atol=1e-8)
    # Closed-shell energy from the stored chemists' integrals.
    h1, eri, o = p.extras["h1"], p.extras["eri"], slice(0, p.n_elec // 2)
    e = (p.extras["e_nuc"] + 2 * np.trace(h1[o, o])
         + 2 * np.einsum("iijj->", eri[o, o, o, o]) - np.einsum("ijji->", eri[o, o, o, o]))
    assert e == pytest.approx(mf.e_tot, abs=1e-8)


@pytest.mark.parametrize("case", ["lih-full", "lih-manual-casscf", "lih-uhf-triplet"])
def test_full_configuration_interaction_is_that_of_pyscf(case):
    """The spectrum does not depend on the orbitals: FCI of the operator = PySCF FCI
    (a singlet ground state, so also for the operator built on a triplet UHF)."""
    p = {"lih-full": lambda: problem("lih"),
         "lih-uhf-triplet": lambda: problem("lih", reference="uhf", multiplicity=3),
         }.get(case, lambda: traced(case)[0])()
    e_fci = fci.FCI(scf.RHF(pyscf_mol("lih")).run(conv_tol=1e-12)).kernel()[0]
    e = sector_ground_energy(p.hamiltonian, p.n_modes, p.n_elec)
    assert e == pytest.approx(e_fci, abs=1e-8)


# ---------------------------------------------------------------------------
# Partitions

PARTITIONS = [
    ("h2o", dict(active_space="manual", n_act=4, n_act_elec=4), (3, 4, 0, 4)),
    ("h2o", dict(active_space="manual", n_act=5, n_act_elec=6), (2, 5, 0, 6)),
    ("h2o", dict(active_space="manual", n_act=0, n_act_elec=0), (5, 0, 2, 0)),
    ("lih", dict(reference="rohf", multiplicity=3, active_space="manual", n_act=2,
                 n_act_elec=2), (1, 2, 3, 2)),
]


@pytest.mark.parametrize("name, rem, partition", PARTITIONS)
def test_manual_and_full_partitions(name, rem, partition):
    p = problem(name, **rem)
    mol = pyscf_mol(name, multiplicity=rem.get("multiplicity", 1))
    mf = (scf.ROHF if rem.get("reference") == "rohf" else scf.RHF)(mol).run(conv_tol=1e-12)
    assert_invariants(p, mol)
    assert (p.n_core, p.n_act, p.n_vir, p.n_act_elec) == partition
    assert p.e_ref == pytest.approx(mf.e_tot, abs=1e-8)
    # Without orbital optimisation the canonical SCF orbitals only rotate within blocks.
    overlap = mf.mo_coeff.T @ mol.intor("int1e_ovlp") @ p.extras["mo_coeff"]
    for a in blocks(p):
        for b in blocks(p):
            if a != b:
                assert np.abs(overlap[a, b]).max(initial=0.0) < 1e-8


@pytest.mark.parametrize("name, charge, multiplicity, reference, aos", [
    ("n2", 0, 1, "rhf", "N 2p"),
    ("lih", 1, 2, "uhf", "Li 2s"),  # PySCF's AVAS projects the UHF alpha orbitals
])
def test_avas_partition_is_pyscfs(name, charge, multiplicity, reference, aos):
    p = problem(name, charge=charge, multiplicity=multiplicity, reference=reference,
                active_space="avas", avas_aos=aos)
    mol = pyscf_mol(name, charge=charge, multiplicity=multiplicity)
    mf = getattr(scf, reference.upper())(mol).run(conv_tol=1e-12)
    n_act, nelecas, mo = avas.avas(mf, aos, threshold=0.2)
    assert_invariants(p, mol)
    assert (p.n_act, p.n_act_elec) == (n_act, nelecas) and p.e_ref == pytest.approx(mf.e_tot)
    s, c = mol.intor("int1e_ovlp"), p.extras["mo_coeff"]
    for block in blocks(p):
        np.testing.assert_allclose(projector(c[:, block], s), projector(mo[:, block], s),
                                   atol=1e-8)


def test_avas_electron_pair_is_summed(monkeypatch):
    calls = []

    def avas_pair(mf, aos, threshold):
        calls.append((aos, threshold))
        n, nelec, mo = avas.kernel(mf, aos, threshold=threshold)
        return n, (nelec // 2 + 1, nelec // 2 - 1), mo

    monkeypatch.setattr(avas, "avas", avas_pair)
    p = build_problem(make_calc("h2o", active_space="avas", avas_aos="O 2p",
                                avas_threshold=0.3))
    n, nelec, _ = avas.kernel(scf.RHF(pyscf_mol("h2o")).run(conv_tol=1e-12), "O 2p", threshold=0.3)
    assert calls == [("O 2p", 0.3)]
    assert (p.n_act, p.n_act_elec, p.n_core) == (n, nelec, (10 - nelec) // 2)


# ---------------------------------------------------------------------------
# Orbital optimisation and semicanonicalisation

CASES = {
    "n2-avas-casscf": ("n2", dict(active_space="avas", avas_aos="N 2p", orbital_opt=True)),
    "lih-manual-casscf": ("lih", dict(active_space="manual", n_act=3, n_act_elec=2,
                                      orbital_opt=True)),
    "h2o-manual": ("h2o", dict(active_space="manual", n_act=4, n_act_elec=4)),
    "h2o-full": ("h2o", {}),
    "lih+-uhf-manual": ("lih", dict(reference="uhf", charge=1, multiplicity=2,
                                    active_space="manual", n_act=2, n_act_elec=1)),
}


@functools.lru_cache(maxsize=None)
def traced(case):
    """build_problem for a case, keeping the PySCF mean-field and CASSCF objects it made
    (so a test can rebuild the Fock matrix from exactly the orbitals the builder had)."""
    name, rem = CASES[case]
    seen = {}

    def spy(owner, attr):
        real = getattr(owner, attr)

        def make(*args, **kwargs):
            obj = real(*args, **kwargs)
            seen.setdefault(attr, obj)
            return obj
        return mock.patch.object(owner, attr, make)

    with spy(scf, "RHF"), spy(scf, "UHF"), spy(mcscf, "CASSCF"):
        p = build_problem(make_calc(name, **rem))
    return p, seen


def orbitals_before_semicanonicalisation(p, seen):
    if "CASSCF" in seen:
        return seen["CASSCF"].mo_coeff
    if "UHF" in seen:
        return uhf_working_orbitals(seen["UHF"], *occupation(p))
    return seen["RHF"].mo_coeff


@pytest.mark.parametrize("case", ["n2-avas-casscf", "lih-manual-casscf"])
def test_orbital_optimisation_gives_the_casscf_energy(case):
    name, rem = CASES[case]
    p, seen = traced(case)
    mol = pyscf_mol(name)
    mf = scf.RHF(mol).run(conv_tol=1e-12)
    assert_invariants(p, mol)
    mo = avas.avas(mf, rem["avas_aos"], threshold=0.2)[2] if "avas_aos" in rem else mf.mo_coeff
    mc = mcscf.CASSCF(mf, p.n_act, p.n_act_elec)
    mc.verbose = 0
    # CASSCF converges its energy to 1e-7 (orbitals to about 1e-4): two runs agree to that.
    assert p.e_ref == pytest.approx(mc.kernel(mo)[0], abs=1e-6) and p.e_ref < mf.e_tot - 1e-3
    assert p.e_ref == seen["CASSCF"].e_tot
    # after CASSCF the mean-field energy is still kept, for the correlation energy
    assert p.extras["e_scf"] == pytest.approx(mf.e_tot, abs=1e-8)
    # The CASCI energy is invariant under rotations inside the core, active and virtual
    # blocks, so the working orbitals reproduce it exactly.
    casci = mcscf.CASCI(seen["RHF"], p.n_act, p.n_act_elec)
    casci.verbose = 0
    assert casci.kernel(p.extras["mo_coeff"])[0] == pytest.approx(p.e_ref, abs=1e-8)


@pytest.mark.parametrize("case", list(CASES))
def test_fock_matrix_is_diagonal_in_each_block(case):
    """F = h + J - K/2 of the reference occupation of the orbitals the builder started
    from (2 below n_beta, 1 up to n_alpha), built by PySCF from AO integrals, is diagonal
    with eps inside each block of the working orbitals (open shells cut further)."""
    p, seen = traced(case)
    name, rem = CASES[case]
    mol = pyscf_mol(name, charge=rem.get("charge", 0), multiplicity=rem.get("multiplicity", 1))
    mo = orbitals_before_semicanonicalisation(p, seen)
    n_alpha, n_beta = occupation(p)
    dm = 2.0 * mo[:, :n_beta] @ mo[:, :n_beta].T + mo[:, n_beta:n_alpha] @ mo[:, n_beta:n_alpha].T
    rhf = scf.hf.RHF(mol)
    fock_ao = rhf.get_hcore() + rhf.get_veff(mol, dm)
    c, eps = p.extras["mo_coeff"], p.extras["eps"]
    fock = c.T @ fock_ao @ c
    for b in semicanonical_blocks(p):
        np.testing.assert_allclose(fock[b, b], np.diag(eps[b]), atol=1e-9)
        assert np.all(np.diff(eps[b]) >= -1e-12)
    # The blocks span what they spanned before: orbitals never mix across blocks.
    s = mol.intor("int1e_ovlp")
    for b in semicanonical_blocks(p):
        np.testing.assert_allclose(projector(c[:, b], s), projector(mo[:, b], s), atol=1e-9)


# ---------------------------------------------------------------------------
# Unrestricted reference: natural orbitals

def uhf_natural_orbitals(mf):
    s = mf.mol.intor("int1e_ovlp")
    d = mf.make_rdm1().sum(axis=0)
    occ, c = scipy.linalg.eigh(s @ d @ s, s)
    return occ[::-1], c[:, ::-1]


def uhf_working_orbitals(mf, n_alpha, n_beta):
    """The natural orbitals with the doubly (n_beta), singly and un-occupied blocks each
    made eigenvectors of the spin-averaged UHF Fock matrix, by ascending energy."""
    c = uhf_natural_orbitals(mf)[1].copy()
    f = 0.5 * mf.get_fock().sum(axis=0)
    for lo, hi in ((0, n_beta), (n_beta, n_alpha), (n_alpha, c.shape[1])):
        if hi > lo:
            c[:, lo:hi] = c[:, lo:hi] @ np.linalg.eigh(c[:, lo:hi].T @ f @ c[:, lo:hi])[1]
    return c


@pytest.mark.parametrize("name, charge, multiplicity, rem", [
    ("lih", 0, 3, {}),
    ("lih", 0, 3, dict(active_space="manual", n_act=2, n_act_elec=2)),
    ("lih", 1, 2, dict(active_space="manual", n_act=1, n_act_elec=1)),
    ("lih", 0, 3, dict(active_space="manual", n_act=2, n_act_elec=2, orbital_opt=True)),
])
def test_uhf_uses_natural_orbitals(name, charge, multiplicity, rem):
    p = problem(name, reference="uhf", charge=charge, multiplicity=multiplicity, **rem)
    mol = pyscf_mol(name, charge=charge, multiplicity=multiplicity)
    mf = scf.UHF(mol).run(conv_tol=1e-12)
    _, nat = uhf_natural_orbitals(mf)
    assert_invariants(p, mol)
    s, c = mol.intor("int1e_ovlp"), p.extras["mo_coeff"]
    if rem.get("orbital_opt"):
        mc = mcscf.CASSCF(mf, p.n_act, p.n_act_elec)
        mc.verbose = 0
        assert p.e_ref == pytest.approx(mc.kernel(nat)[0], abs=1e-6)
        return
    assert p.e_ref == pytest.approx(mf.e_tot, abs=1e-8)
    # The spin-summed density stays block diagonal: blocks are spans of natural orbitals.
    d = c.T @ s @ mf.make_rdm1().sum(axis=0) @ s @ c
    assert np.trace(d) == pytest.approx(p.n_elec, abs=1e-8)
    for a in blocks(p):
        for b in blocks(p):
            if a != b:
                assert np.abs(d[a, b]).max(initial=0.0) < 1e-8
    if p.n_core:
        for block in blocks(p)[:2]:
            np.testing.assert_allclose(projector(c[:, block], s), projector(nat[:, block], s),
                                       atol=1e-8)


# ---------------------------------------------------------------------------
# Edge cases and messages

def test_full_space_ignores_orbital_optimisation(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("CASSCF must not run for the full space")

    monkeypatch.setattr(mcscf, "CASSCF", refuse)
    p = build_problem(make_calc("h2", orbital_opt=True))
    assert p.e_ref == pytest.approx(scf.RHF(pyscf_mol("h2")).run(conv_tol=1e-12).e_tot, abs=1e-10)


@pytest.mark.parametrize("rem, error, message", [
    (dict(active_space="avas", avas_aos=None), ValueError,
     'active_space=avas requires avas_aos (e.g. `"N 2p"`)'),
    (dict(active_space="avas", avas_aos=""), ValueError,
     'active_space=avas requires avas_aos (e.g. `"N 2p"`)'),
    (dict(active_space="avas", avas_aos=[]), ValueError,
     'active_space=avas requires avas_aos (e.g. `"N 2p"`)'),
    (dict(active_space="Full"), ValueError, "unknown active_space Full"),
    (dict(active_space=7), ValueError, "unknown active_space 7"),
    (dict(active_space="full\0x"), ValueError, "unknown active_space full\0x"),
    (dict(reference="RHF"), KeyError, "RHF"),
    (dict(active_space="manual", n_act=None, n_act_elec=2), TypeError,
     "n_act must be an integer, not NoneType"),
    (dict(active_space="manual", n_act=-1, n_act_elec=0), ValueError,
     "n_act must be non-negative, got -1"),
    (dict(active_space="manual", n_act=2, n_act_elec=12), ValueError,
     "n_act_elec must lie between 0 and the 2 electrons of the molecule, got 12"),
    (dict(active_space="manual", n_act=0, n_act_elec=2), ValueError,
     "n_act_elec=2 electrons do not fit into n_act=0 active orbitals (at most 0)"),
    (dict(active_space="manual", n_act=3, n_act_elec=2), ValueError,
     "the active space (0 core + 3 active orbitals) exceeds the 2 orbitals of the basis"),
    (dict(active_space="avas", avas_aos="N 2p"), ValueError,
     "avas_aos label 'N 2p' matches no atomic orbital of the minimal basis (MINAO) that AVAS "
     "projects onto; this molecule has H 1s"),
    (dict(active_space="avas", avas_aos=["H 1s", "H 2p"]), ValueError,
     "avas_aos label 'H 2p' matches no atomic orbital of the minimal basis (MINAO) that AVAS "
     "projects onto; this molecule has H 1s"),
])
def test_builder_errors(rem, error, message):
    with pytest.raises(error) as info:
        build_problem(make_calc("h2", **rem))
    assert (info.value.args[0] if error is KeyError else str(info.value)) == message


def test_missing_keyword_and_geometry():
    calc = make_calc("h2", active_space="manual")
    del calc.rem["n_act"]
    with pytest.raises(KeyError, match="n_act"):
        build_problem(calc)
    calc.molecule = {}
    with pytest.raises(ValueError, match=r"^\$molecule has neither inline geometry"):
        build_problem(calc)


def test_builder_reads_an_xyz_file(tmp_path):
    body = "".join(f"{el} {x} {y} {z}\n" for el, (x, y, z) in GEOMETRIES["h2"])
    calc = make_calc("h2")
    calc.molecule = {"xyz_file": str(write_xyz(tmp_path, f"2\nH2\n{body}"))}
    assert build_problem(calc).e_ref == pytest.approx(problem("h2").e_ref, abs=1e-10)


def test_signatures_and_module_attributes():
    assert str(inspect.signature(build_problem)) == "(calc) -> 'Problem'"
    assert str(inspect.signature(_geometry_for_pyscf)) == (
        "(molecule: 'dict[str, Any]') -> 'list[tuple[str, tuple[float, float, float]]]'")
    assert ham.np is np
    assert build_problem.__doc__ and "natural orbitals" in build_problem.__doc__


def test_import_leaves_pyscf_and_openfermion_unloaded():
    code = ("import sys, korvel.core.hamiltonian as h\n"
            "print(sorted(m for m in ('pyscf', 'openfermion') if m in sys.modules), "
            "'numpy' in sys.modules)")
    out = fresh_python(code)
    assert out.stdout.split() == ["[]", "True"]


# ---------------------------------------------------------------------------
# The XYZ reader, the partition check and the size estimate used before a build

def test_xyz_reader_gives_lines_and_refuses_non_finite(tmp_path):
    from korvel.core.hamiltonian import _read_xyz
    path = write_xyz(tmp_path, "3\n\nO 0 0 0\n\nH 0 0.75 -0.5 1\nH 0 -0.75 -0.5\n")
    assert _read_xyz(path) == [(3, "O", (0.0, 0.0, 0.0)), (5, "H", (0.0, 0.75, -0.5)),
                               (6, "H", (0.0, -0.75, -0.5))]
    assert _geometry_for_pyscf({"xyz_file": path}) == [a[1:] for a in _read_xyz(path)]
    for bad in ("nan", "inf", "-1e999"):
        path = write_xyz(tmp_path, f"1\n\nH 0 0 {bad}\n")
        with pytest.raises(ValueError, match=rf"g\.xyz, line 3: coordinate '{bad}' is not "
                                             "a finite number"):
            _geometry_for_pyscf({"xyz_file": path})


def test_xyz_reader_is_bounded(tmp_path):
    from korvel.core.hamiltonian import _read_xyz
    for path in ("/dev/zero", tmp_path / "big.xyz"):
        if path != "/dev/zero":
            path.write_text("1\n\n" + "H 0 0 0\n" * (2**24 // 8 + 1))
        with pytest.raises(ValueError, match="is larger than the 16 Mi characters"):
            _read_xyz(path)
    path = write_xyz(tmp_path, "1\n\nH 0 0 0\n" + " " * (2**24 - 20))
    assert len(_read_xyz(path)) == 1            # just under the bound: read


@pytest.mark.parametrize("args, ok", [
    ((0, 2**62, 2, 2, 7), False), ((2**62, 2**62, 0, 0, 7), False),
    ((-1, 1, 0, 0, 7), False), ((0, 7, 10, 10, 7), True), ((2, 4, 5, 10, 7), True),
    ((2, 4, 5, 10, 7, 1), True), ((2, 4, 5, 10, 7, 0), False), ((2, 4, 4, 10, 7, 0), True),
    ((2, 4, 4, 10, 7, 6), False), ((2, 1, 2, 10, 7, 2), False),
])
def test_partition_check(args, ok):
    from korvel.core.hamiltonian import _check_partition
    if ok:
        _check_partition(*args)
    else:
        with pytest.raises(ValueError):
            _check_partition(*args)


def test_size_estimate_bounds_the_water_build():
    from korvel.core.hamiltonian import _problem_size
    p = problem("h2o", basis="6-31g")
    size = _problem_size(p.n_orb)
    assert size["n_spinorb"] == 2 * p.n_orb
    # an upper bound of the terms; water's C2v symmetry leaves about a quarter of them
    assert len(p.hamiltonian.terms) <= size["hamiltonian_terms"] <= 5 * len(p.hamiltonian.terms)
    # without symmetry the bound is reached: generic real integrals with the 8-fold symmetry
    from korvel.core.hamiltonian import _hamiltonian_from_integrals
    n = 5
    g = np.random.default_rng(3).normal(size=(n,) * 4)
    g = sum(g.transpose(t) for t in [(0, 1, 2, 3), (1, 0, 2, 3), (0, 1, 3, 2), (1, 0, 3, 2)])
    g = g + g.transpose(2, 3, 0, 1)
    h1 = np.ones((n, n))
    assert len(_hamiltonian_from_integrals(h1, g, 1.0).terms) == \
        _problem_size(n)["hamiltonian_terms"]
    with pytest.raises(MemoryError, match="508 orbitals"):
        _problem_size(508, check=True)


def test_build_refuses_before_the_scf_what_cannot_fit(monkeypatch):
    from pyscf import scf
    def no_scf(*a, **k):
        raise AssertionError("the SCF must not start")
    monkeypatch.setattr(scf, "RHF", no_scf)
    calc = make_calc([("C", (0, 0, 0)), ("C", (0, 0, 1.3)), ("C", (0, 1.3, 0)),
                      ("C", (1.3, 0, 0))], basis="aug-cc-pv5z")
    with pytest.raises(MemoryError, match="needs about .* of memory"):
        build_problem(calc)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_build_refuses_non_finite_inline_coordinates(bad):
    calc = make_calc([("H", (0.0, 0.0, 0.0)), ("H", (0.0, bad, 0.74))])
    with pytest.raises(ValueError, match=r"atom 2 of the geometry, .* not finite"):
        build_problem(calc)


@pytest.mark.parametrize("far", [1e300, -2e5, 10**400])
def test_build_refuses_coordinates_far_beyond_a_molecule(far):
    # H2 with an atom at 1e300 Angstrom came back with an RHF energy of -0.16 Eh
    calc = make_calc([("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, far))])
    with pytest.raises(ValueError, match=r"atom 2 of the geometry, .* beyond 1e5 Angstrom"):
        build_problem(calc)
    near = make_calc([("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 0.74))])
    assert build_problem(near).e_ref == pytest.approx(
        scf.RHF(pyscf_mol("h2")).run(conv_tol=1e-12).e_tot, abs=1e-9)


# Open-shell reference determinant

OPEN_SHELLS = {
    "ch2-triplet": ([("C", (0.0, 0.0, 0.0)), ("H", (0.0, 0.86, 0.63)),
                     ("H", (0.0, -0.86, 0.63))], 3),
    "ch-quartet": ([("C", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.12))], 4),
}


def _rohf(case):
    atoms, multiplicity = OPEN_SHELLS[case]
    mol = gto.M(atom=atoms, basis="sto-3g", spin=multiplicity - 1, verbose=0)
    return scf.ROHF(mol).run(conv_tol=1e-12)


@pytest.mark.parametrize("case", list(OPEN_SHELLS))
def test_open_shell_determinant_energy_is_rohf(case):
    atoms, multiplicity = OPEN_SHELLS[case]
    mf = _rohf(case)
    p = build_problem(make_calc(atoms, reference="rohf", multiplicity=multiplicity))
    assert_invariants(p, mf.mol)
    assert determinant_expectation(p.hamiltonian, p.occupied).real == pytest.approx(
        mf.e_tot, abs=1e-8)


def test_open_shell_fold_is_rohf_casci():
    from korvel.downfold.projector import downfold_to_active

    atoms, multiplicity = OPEN_SHELLS["ch2-triplet"]
    mf = _rohf("ch2-triplet")
    p = build_problem(make_calc(atoms, reference="rohf", multiplicity=multiplicity,
                                active_space="manual", n_act=4, n_act_elec=4))
    casci = mcscf.CASCI(mf, 4, 4)
    casci.verbose = 0
    e_casci = casci.kernel()[0]
    heff = downfold_to_active(dict(p.hamiltonian.terms), p)
    lo = 2 * p.n_core
    active = sorted(q - lo for q in p.occupied if lo <= q < lo + 2 * p.n_act)
    assert active == [0, 1, 2, 4]  # orbital 2 doubly, the open shells 3 and 4 spin up
    ref = np.zeros(2 * p.n_act, dtype=bool)
    ref[active] = True
    f = of.FermionOperator()
    f.terms = dict(heff)
    m = of.linalg.get_number_preserving_sparse_operator(
        f, 2 * p.n_act, p.n_act_elec, reference_determinant=ref, spin_preserving=True)
    # The first basis state is the reference determinant: its energy is the ROHF one.
    assert m[0, 0].real == pytest.approx(mf.e_tot, abs=1e-8)
    assert np.linalg.eigvalsh(m.toarray()).min() == pytest.approx(e_casci, abs=1e-8)


def test_every_process_builds_the_same_problem():
    # H2O/STO-3G, manual (4, 4): from the canonical orbitals CASSCF may stop at
    # -74.97613; the lower minimum -75.00857 is PySCF's CASSCF from its MP2 natural
    # orbitals. Fresh interpreters that hash strings differently (which changes PySCF's
    # start guess, and with it the signs of the orbitals it returns) must all land on
    # it, and all build the same H4 Hamiltonian, coefficient for coefficient: the
    # orbital phases are fixed, so a truncated DMRG run repeats.
    import os
    from concurrent.futures import ThreadPoolExecutor

    mf = scf.RHF(pyscf_mol("h2o")).run(conv_tol=1e-12)
    from pyscf import mp
    _, natural = mcscf.addons.make_natural_orbitals(mp.MP2(mf).run())
    mc = mcscf.CASSCF(mf, 4, 4)
    mc.verbose = 0
    lower = mc.kernel(natural)[0]
    assert lower == pytest.approx(-75.00857, abs=1e-5)
    code = ("from chem import problem\n"
            "p = problem('h2o', active_space='manual', n_act=4, n_act_elec=4, "
            "orbital_opt=True)\n"
            "h = problem('h4').hamiltonian.terms\n"
            "print(repr(p.e_ref), p.extras['casscf'], sep='\\n')\n"
            "print(repr([(k, complex(c)) for k, c in sorted(h.items())]))\n")
    # hash seeds 0 and 1 give H4 orbitals of opposite signs when nothing fixes them
    envs = [dict(os.environ, PYTHONHASHSEED=str(k)) for k in range(2)]
    with ThreadPoolExecutor(2) as pool:
        runs = list(pool.map(lambda env: fresh_python(code, env).stdout.splitlines(), envs))
    h4 = problem("h4").hamiltonian.terms
    for e_ref, info, terms in runs:
        assert float(e_ref) == pytest.approx(lower, abs=1e-6)
        assert "'converged': True" in info and "MP2 natural orbitals" in info
        other = dict(eval(terms))
        assert other.keys() == h4.keys()
        assert max(abs(other[k] - h4[k]) for k in h4) < 1e-10
    # the convention itself: each orbital's largest AO coefficient is positive
    mo = problem("h4").extras["mo_coeff"]
    lead = np.argmax(np.round(np.abs(mo) / np.abs(mo).max(axis=0), 6), axis=0)
    assert (mo[lead, np.arange(mo.shape[1])] > 0).all()


# ---------------------------------------------------------------------------
# Inputs that used to give an answer for another molecule, another partition or another
# basis without a word

@pytest.mark.parametrize("text, message", [
    # two frames of H2: read as one molecule of four atoms before
    ("2\nframe 1\nH 0 0 0\nH 0 0 0.74\n2\nframe 2\nH 0 0 0\nH 0 0 0.75\n",
     r"g\.xyz, line 5: text after the 2 atoms that line 1 announces \(a file of several "
     r"frames\?\)"),
    # a count of 5 over 3 atom lines: computed as the smaller molecule before
    ("5\n\nO 0 0 0\nH 0 0.76 -0.47\nH 0 -0.76 -0.47\n",
     r"holds 3 atom lines where its line 1 says 5 atoms"),
    ("O 0 0 0\nH 0 0.76 -0.47\nH 0 -0.76 -0.47\n", r"line 1: expected the number of atoms"),
    ("", r"line 1: expected the number of atoms, got ''"),
])
def test_xyz_atom_count_is_honoured(tmp_path, text, message):
    path = write_xyz(tmp_path, text)
    with pytest.raises(ValueError, match=message):
        _geometry_for_pyscf({"xyz_file": path})
    # a trailing blank line after the counted atoms is fine
    good = write_xyz(tmp_path, "2\nH2\nH 0 0 0\nH 0 0 0.74\n\n  \n", name="ok.xyz")
    assert _geometry_for_pyscf({"xyz_file": good}) == list(GEOMETRIES["h2"])


def test_xyz_fifo_is_refused_without_blocking(tmp_path):
    import os
    import subprocess
    import sys
    fifo = tmp_path / "g.xyz"
    os.mkfifo(fifo)
    code = ("from korvel.core.hamiltonian import _geometry_for_pyscf as g\n"
            f"try:\n    g({{'xyz_file': {str(fifo)!r}}})\n"
            "except ValueError as e:\n    print(e)\n")
    import korvel
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(korvel.__file__)))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=env, cwd=str(tmp_path))
    assert "is a FIFO or socket, not a file" in proc.stdout, proc.stderr
    assert fifo.is_fifo()


@pytest.mark.parametrize("rem, message, keyword", [
    # LiH (4 electrons): 1 active electron leaves an odd core; the fold held 2 before
    (dict(active_space="manual", n_act=2, n_act_elec=1),
     "n_act_elec=1 and multiplicity 1 do not match", "n_act_elec"),
    (dict(active_space="avas", avas_aos="Li 2s", avas_threshold=float("nan")),
     "avas_threshold must lie strictly between 0 and 1, got nan", "avas_threshold"),
    (dict(active_space="avas", avas_aos="Li 2s", avas_threshold=1.0),
     "avas_threshold must lie strictly between 0 and 1, got 1.0", "avas_threshold"),
])
def test_partitions_the_parser_refuses_are_refused_by_the_builder(rem, message, keyword):
    with pytest.raises(ValueError, match=message) as info:
        build_problem(make_calc("lih", **rem))
    assert info.value.keyword == keyword
    # the partition the parser accepts gives PySCF's CASCI energy
    p = problem("lih", active_space="manual", n_act=2, n_act_elec=2)
    mf = scf.RHF(pyscf_mol("lih")).run(conv_tol=1e-12)
    from korvel.core.analysis import fci_energy
    from korvel.downfold.projector import downfold_to_active
    folded = downfold_to_active(dict(p.hamiltonian.terms), p)
    assert fci_energy(folded, 4, 2) == pytest.approx(mcscf.CASCI(mf, 2, 2).kernel()[0], abs=1e-8)


def test_basis_made_for_an_ecp_uses_its_ecp():
    """Rb+ in def2-SVP: the def2 ECP replaces 28 core electrons, as PySCF's own input
    with ecp='def2-svp' says; all-electron it gave -485.7 Eh."""
    p = build_problem(make_calc([("Rb", (0.0, 0.0, 0.0))], basis="def2-svp", charge=1))
    mol = gto.M(atom="Rb 0 0 0", basis="def2-svp", ecp="def2-svp", charge=1, verbose=0)
    e_pyscf = scf.RHF(mol).run(conv_tol=1e-12).e_tot
    assert p.n_elec == mol.nelectron == 8
    assert p.e_ref == pytest.approx(e_pyscf, abs=1e-8)
    assert p.extras["ecp"] == {"Rb": "def2-svp"}
    # a basis without ECPs, and light elements in def2-SVP, stay all-electron
    assert "ecp" not in problem("h2").extras
    mol = ham._molecule(GEOMETRIES["h2o"], "def2-svp", 0, 0)
    assert mol.nelectron == 10 and not mol.ecp


def rhf_casci(name, n_act, n_act_elec, **kw):
    mf = scf.RHF(pyscf_mol(name, **kw)).run(conv_tol=1e-12)
    return mcscf.CASCI(mf, n_act, n_act_elec).kernel()[0]


def problem_casci(p, name, **kw):
    """PySCF's CASCI on the problem's own orbitals (its core and active blocks)."""
    mol = pyscf_mol(name, **kw)
    mf = scf.RHF(mol) if p.spin_2s == 0 else scf.ROHF(mol)
    mf.run()
    mc = mcscf.CASCI(mf, p.n_act, p.n_act_elec)
    return mc.kernel(p.extras["mo_coeff"])[0]


def test_uhf_core_is_the_lowest_orbitals_whatever_the_degeneracy():
    """N2 is closed-shell, so UHF equals RHF and every occupied natural occupation is 2:
    the (6,6) space must be RHF's, with CASCI equal to PySCF's on the RHF orbitals (it
    took valence orbitals as core before, by rounding noise)."""
    rem = dict(reference="uhf", active_space="manual", n_act=6, n_act_elec=6)
    p = build_problem(make_calc("n2", **rem))
    assert problem_casci(p, "n2") == pytest.approx(rhf_casci("n2", 6, 6), abs=1e-7)
    again = build_problem(make_calc("n2", **rem))
    assert problem_casci(again, "n2") == pytest.approx(problem_casci(p, "n2"), abs=1e-9)


def test_triplet_o2_core_holds_the_o_1s_orbitals():
    o2 = [("O", (0.0, 0.0, 0.0)), ("O", (0.0, 0.0, 1.21))]
    rem = dict(reference="uhf", multiplicity=3, active_space="manual", n_act=6, n_act_elec=8)
    p = build_problem(make_calc(o2, **rem))
    assert (p.n_core, p.n_act) == (4, 6)
    mol = gto.M(atom=o2, basis="sto-3g", spin=2, verbose=0)
    s = mol.intor("int1e_ovlp")
    c = p.extras["mo_coeff"]
    core = c[:, :p.n_core]
    # the two O 1s orbitals of ROHF lie in the core span, not in the active space
    rohf = scf.ROHF(mol).run(conv_tol=1e-12)
    inside = core.T @ s @ rohf.mo_coeff[:, :2]
    assert np.linalg.svd(inside, compute_uv=False).min() > 0.999
