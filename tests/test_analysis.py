"""korvel.core.analysis: sector energies, LCU 1-norm and DMRG with extrapolation.

Oracles: PySCF's FCI solver, dense diagonalisation of OpenFermion's full Fock-space
sparse matrices, a Pauli decomposition by traces, and a recording subclass of block2's
driver that sees exactly what the solver asks block2 to do.
"""

from __future__ import annotations

import functools
import inspect
import itertools
import math
import os
import re
import tempfile

import numpy as np
import pytest

import korvel.core.analysis as an
from chem import GEOMETRIES, fresh_python

MISSING_BLOCK2 = "DMRG solver requires block2 — install with `pip install korvel[dmrg]`"
SMALL = dict(n_threads=1, stack_gb=0.25)  # block2 settings for the tests


# ---------------------------------------------------------------------------
# Operators and oracles


@functools.lru_cache(maxsize=None)
def h2o():
    """(Hamiltonian FermionOperator, n_spinorb, n_elec, PySCF FCI energy) for H2O/STO-3G."""
    from pyscf import fci, gto, scf

    atoms = GEOMETRIES["h2o"]
    mol = gto.M(atom=atoms, basis="sto-3g", verbose=0)
    mf = scf.RHF(mol)
    mf.verbose = 0
    mf.kernel()
    e_fci = fci.FCI(mf).kernel()[0]
    try:
        from chem import problem

        p = problem("h2o")
        return p.hamiltonian, p.n_modes, p.n_elec, e_fci
    except ImportError:  # the problem builder is not in this tree yet
        pass
    from openfermion import InteractionOperator, get_fermion_operator, normal_ordered
    from openfermion.chem.molecular_data import spinorb_from_spatial
    from pyscf import ao2mo

    c = mf.mo_coeff
    n = c.shape[1]
    h1 = c.T @ mf.get_hcore() @ c
    eri = ao2mo.restore(1, ao2mo.kernel(mol, c), n)  # (pq|rs), chemists' order
    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1), order="C"))
    op = normal_ordered(get_fermion_operator(InteractionOperator(mol.energy_nuc(), one, 0.5 * two)))
    return op, 2 * n, mol.nelectron, e_fci


def fock_matrix(op, n_modes):
    """Dense matrix of a FermionOp mapping on the whole Fock space (Jordan-Wigner order)."""
    from openfermion import FermionOperator, get_sparse_operator

    fo = FermionOperator()
    fo.terms = dict(op)
    return get_sparse_operator(fo, n_qubits=n_modes).toarray()


def sector_min(op, n_modes, n_elec):
    """Lowest eigenvalue in the n_elec sector from the dense full Fock-space matrix."""
    full = fock_matrix(op, n_modes)
    occ = np.array([bin(i).count("1") for i in range(2**n_modes)])
    idx = np.flatnonzero(occ == n_elec)
    return float(np.linalg.eigvalsh(full[np.ix_(idx, idx)])[0])


def random_op(n_modes, seed, *, hermitian=True, unordered=False, real=False):
    """Random number-conserving one- and two-body operator as a FermionOp mapping."""
    from openfermion import FermionOperator, hermitian_conjugated

    rng = np.random.default_rng(seed)
    op = FermionOperator((), float(rng.normal()))
    for p, q in itertools.product(range(n_modes), repeat=2):
        op += FermionOperator(((p, 1), (q, 0)), complex(rng.normal(), rng.normal()))
    for _ in range(2 * n_modes):
        p, q, r, s = (int(x) for x in rng.integers(0, n_modes, 4))
        term = ((r, 0), (p, 1), (s, 0), (q, 1)) if unordered else ((p, 1), (q, 1), (r, 0), (s, 0))
        op += FermionOperator(term, complex(rng.normal(), rng.normal()))
    if hermitian:
        op = op + hermitian_conjugated(op)
    return {k: (v.real if real else v) for k, v in op.terms.items()}


DIAG4 = {((0, 1), (0, 0)): 1.0, ((1, 1), (1, 0)): 2.0, ((2, 1), (2, 0)): 3.0,
         ((3, 1), (3, 0)): 4.0}


@pytest.fixture(autouse=True)
def private_tempdir(tmp_path, monkeypatch):
    """Every temporary scratch directory of the solver lands in this test's folder."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path


def scratch_dirs(folder):
    return sorted(p for p in os.listdir(folder) if p.startswith("korvel_b2_"))


# ---------------------------------------------------------------------------
# Module frame and signatures


def test_functions_in_order_with_readable_signatures():
    names = ["_as_fermion_operator", "fci_energy", "lcu_one_norm",
             "_fermionop_to_block2_terms", "dmrg_solve", "dmrg_extrapolate", "dmrg_energy"]
    assert [n for n in vars(an) if n in names] == names
    sig = {n: inspect.signature(getattr(an, n)) for n in names}
    assert str(sig["fci_energy"]) == "(hamiltonian: 'Any', n_spinorb: 'int', n_elec: 'int') -> 'float'"
    assert str(sig["lcu_one_norm"]) == "(hamiltonian: 'Any') -> 'float'"
    assert str(sig["dmrg_extrapolate"]) == "(points) -> 'dict'"
    assert str(sig["dmrg_solve"]) == (
        "(hamiltonian: 'Any', n_spinorb: 'int', n_elec: 'int', *, bond_dims=(250,), "
        "n_sweeps: 'int' = 16, spin: 'int | None' = None, stack_gb: 'float' = 4.0, "
        "n_threads: 'int' = 4, scratch: 'str | None' = None, mpi: 'bool' = False, "
        "mps_dir: 'str | None' = None, seed: 'int | None' = 1)")
    assert str(sig["dmrg_energy"]) == (
        "(hamiltonian: 'Any', n_spinorb: 'int', n_elec: 'int', *, bond_dims=(250,), "
        "n_sweeps: 'int' = 16, spin: 'int | None' = None, extrapolate: 'bool' = False, "
        "stack_gb: 'float' = 4.0, n_threads: 'int' = 4, return_info: 'bool' = False, "
        "seed: 'int | None' = 1)")


# ---------------------------------------------------------------------------
# Coercion


def test_coercion_passes_operators_and_copies_mappings():
    from collections import OrderedDict

    from openfermion import FermionOperator

    fo = FermionOperator("1^ 0", 2.0)
    assert an._as_fermion_operator(fo) is fo
    other = [1, 2]
    assert an._as_fermion_operator(other) is other
    assert an._as_fermion_operator({}).terms == {}

    src = OrderedDict([(((1, 1), (0, 0)), 2), ((), 0.5), (((0, 1), (0, 0)), 1.5)])
    out = an._as_fermion_operator(src)
    assert isinstance(out, FermionOperator)
    assert list(out.terms.items()) == [(((1, 1), (0, 0)), 2 + 0j), ((), 0.5 + 0j),
                                       (((0, 1), (0, 0)), 1.5 + 0j)]
    assert all(type(c) is complex for c in out.terms.values())
    assert src[((1, 1), (0, 0))] == 2 and type(src[((1, 1), (0, 0))]) is int


# ---------------------------------------------------------------------------
# Exact sector energy


def test_fci_energy_of_h2o_matches_pyscf_fci():
    op, n_modes, n_elec, e_fci = h2o()
    assert n_modes == 14 and n_elec == 10
    e = an.fci_energy(op, n_modes, n_elec)
    assert abs(e - e_fci) < 1e-8
    # The mapping and the FermionOperator holding the same (complex) coefficients give
    # the same number, call after call.
    from openfermion import FermionOperator

    mapping = {k: complex(v) for k, v in op.terms.items()}
    fo = FermionOperator()
    fo.terms = dict(mapping)
    e_map = an.fci_energy(mapping, n_modes, n_elec)
    assert an.fci_energy(fo, n_modes, n_elec) == e_map
    assert e_map == pytest.approx(e, abs=1e-10)


@pytest.mark.parametrize("n_elec, expected", [(0, 0.0), (1, 1.0), (2, 3.0), (3, 6.0), (4, 10.0)])
def test_fci_energy_diagonal_operator_every_sector(n_elec, expected):
    # Sectors of dimension 1 (no or all electrons) are solved densely.
    assert an.fci_energy(DIAG4, 4, n_elec) == pytest.approx(expected, abs=1e-10)


@pytest.mark.parametrize("n_modes, n_elec", [(1, 0), (1, 1), (2, 1), (3, 1), (3, 2), (4, 2),
                                             (5, 2), (6, 3)])
@pytest.mark.parametrize("seed", [0, 1])
def test_fci_energy_matches_dense_sector_diagonalisation(n_modes, n_elec, seed):
    # Includes the one- and two-determinant sectors that ARPACK's Lanczos cannot take.
    op = random_op(n_modes, seed)
    e = an.fci_energy(op, n_modes, n_elec)
    assert e == pytest.approx(sector_min(op, n_modes, n_elec), abs=1e-9)
    from openfermion import FermionOperator

    fo = FermionOperator()
    fo.terms = dict(op)
    assert an.fci_energy(fo, n_modes, n_elec) == e


@pytest.mark.parametrize("n_spinorb, n_elec, exc, text", [
    ("4", 2, TypeError, "n_spinorb must be an integer, not str"),
    (4, None, TypeError, "n_elec must be an integer, not NoneType"),
    (4, 2.5j, TypeError, "n_elec must be an integer, not complex"),
    (4, 5, ValueError, "n_elec must lie between 0 and n_spinorb=4, got 5"),
    (4, -1, ValueError, "n_elec must lie between 0 and n_spinorb=4, got -1"),
    (0, 0, ValueError, "n_spinorb must be at least 1, got 0"),
    (3, 1, ValueError, "spin-orbital 3, outside 0..2"),
])
def test_fci_energy_argument_rules(n_spinorb, n_elec, exc, text):
    with pytest.raises(exc, match=re.escape(text)):
        an.fci_energy(DIAG4, n_spinorb, n_elec)
    # Numbers are taken through integer conversion.
    assert an.fci_energy(DIAG4, 4.0, np.int64(2)) == an.fci_energy(DIAG4, 4, 2.9)


# ---------------------------------------------------------------------------
# LCU 1-norm


def pauli_one_norm_by_traces(op, n_modes):
    """sum over non-identity Pauli strings P of |tr(P M)| / 2^n, from the dense matrix."""
    m = fock_matrix(op, n_modes)
    paulis = [np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]),
              np.diag([1.0, -1.0])]
    total = 0.0
    for labels in itertools.product(range(4), repeat=n_modes):
        if not any(labels):
            continue
        p = functools.reduce(np.kron, [paulis[k] for k in labels])
        total += abs(np.trace(p @ m)) / 2**n_modes
    return total


@pytest.mark.parametrize("op, expected", [
    ({}, 0.0),
    ({(): 3.5}, 0.0),
    ({((0, 1), (0, 0)): 1.0}, 0.5),
    ({((0, 1), (1, 0)): 1.0, ((1, 1), (0, 0)): 1.0}, 1.0),
])
def test_lcu_one_norm_edge_values(op, expected):
    assert an.lcu_one_norm(op) == pytest.approx(expected, abs=1e-15)
    assert type(an.lcu_one_norm(op)) is float


@pytest.mark.parametrize("seed, hermitian, unordered", [(0, True, False), (1, False, False),
                                                        (2, True, True), (3, False, True)])
def test_lcu_one_norm_matches_pauli_traces(seed, hermitian, unordered):
    op = random_op(3, seed, hermitian=hermitian, unordered=unordered)
    assert an.lcu_one_norm(op) == pytest.approx(pauli_one_norm_by_traces(op, 3), rel=1e-10)


def test_lcu_one_norm_of_h2o_matches_interaction_operator_route():
    from openfermion import get_interaction_operator, jordan_wigner

    op, n_modes, _, _ = h2o()
    qop = jordan_wigner(get_interaction_operator(op, n_qubits=n_modes))
    expected = sum(abs(c) for k, c in qop.terms.items() if k)
    lam = an.lcu_one_norm(op)
    assert lam == pytest.approx(expected, rel=1e-10)
    assert an.lcu_one_norm(dict(op.terms)) == lam


# ---------------------------------------------------------------------------
# block2 term conversion


def test_block2_terms_keep_operator_order_and_real_parts():
    from openfermion import FermionOperator

    src = {(): 1.5, ((0, 1), (0, 0)): 2 + 1e-13j, ((2, 0), (5, 1)): -1, ((3, 1), (1, 0)): 0j}
    terms, const = an._fermionop_to_block2_terms(src)
    assert terms == [("CD", [0, 0], 2.0), ("DC", [2, 5], -1.0), ("CD", [3, 1], 0.0)]
    assert const == 1.5 and type(const) is float
    fo = FermionOperator()
    fo.terms = {(): 1.0, ((4, 1), (1, 1), (2, 0), (0, 0)): 0.25}
    assert an._fermionop_to_block2_terms(fo) == ([("CCDD", [4, 1, 2, 0], 0.25)], 1.0)
    assert an._fermionop_to_block2_terms({(): 2.0}) == ([], 2.0)


@pytest.mark.parametrize("op, text", [
    ({((0, 1), (1, 0)): 1.0 + 2e-12j}, "has the coefficient (1+2e-12j)"),
    ({(): 3j}, "the term () has the coefficient 3j"),
    ({((0, 1), (1, 0)): float("nan")}, "of term ((0, 1), (1, 0)) is not finite"),
    ({((0, 1), (1, 0)): complex(1, float("inf"))}, "is not finite"),
    ({(): float("-inf")}, "of term () is not finite"),
    ({((0, 2), (1, 0)): 1.0}, "dagger 2 in term ((0, 2), (1, 0)) is neither 0"),
    ({((0, 1), (1, -1)): 1.0}, "dagger -1 in term ((0, 1), (1, -1))"),
])
def test_block2_terms_refuse_what_block2_would_misread(op, text):
    # block2 takes real coefficients and two kinds of ladder operator; an infinite
    # coefficient would make its sweeps run forever.
    with pytest.raises(ValueError, match=re.escape(text)):
        an._fermionop_to_block2_terms(op)
    with pytest.raises(ValueError, match=re.escape(text)):
        an.dmrg_solve(op, 4, 2, bond_dims=(4,), **SMALL)


# ---------------------------------------------------------------------------
# DMRG solver


class Recorder:
    """Wraps block2's DMRGDriver class, logging the calls the solver makes."""

    def __init__(self, monkeypatch):
        import pyblock2.driver.core as core

        self.calls = []
        log = self.calls
        base = core.DMRGDriver

        class RecordingDriver(base):
            def __init__(self, **kw):
                log.append(("init", kw))
                super().__init__(**kw)

            def initialize_system(self, **kw):
                log.append(("initialize_system", kw))
                return super().initialize_system(**kw)

            def get_random_mps(self, **kw):
                ket = super().get_random_mps(**kw)
                log.append(("get_random_mps", kw, ket))
                return ket

            def dmrg(self, mpo, ket, **kw):
                log.append(("dmrg", kw, ket))
                return super().dmrg(mpo, ket, **kw)

        monkeypatch.setattr(core, "DMRGDriver", RecordingDriver)

    def of(self, name):
        return [c for c in self.calls if c[0] == name]


@pytest.mark.parametrize("n_sweeps, spin, noises", [
    (16, None, [1e-4] * 4 + [1e-5] * 4 + [0.0] * 8),
    (4, 0, [1e-4, 1e-5, 0.0, 0.0]),
    (1, None, [1e-4, 1e-5, 0.0]),
    (0, 2.0, [1e-4, 1e-5, 0.0]),
    (9, None, [1e-4] * 2 + [1e-5] * 2 + [0.0] * 5),
])
def test_sweep_schedule_and_warm_start_passed_to_block2(monkeypatch, n_sweeps, spin, noises):
    rec = Recorder(monkeypatch)
    # with spin, the sites are spatial orbitals under S_z symmetry: an operator keeping S_z
    op = random_op(4, 5, real=True) if spin is None else {
        ((0, 1), (0, 0)): 1.0, ((1, 1), (1, 0)): 2.0, ((2, 1), (0, 0)): 0.5,
        ((0, 1), (2, 0)): 0.5, ((3, 1), (1, 0)): -0.25, ((1, 1), (3, 0)): -0.25}
    points = an.dmrg_solve(op, 4.0, 2, bond_dims=(3, 6.0), n_sweeps=n_sweeps, spin=spin, **SMALL)
    (_, init), = rec.of("init")
    assert init["stack_mem"] == int(0.25 * 2**30) and init["n_threads"] == 1
    assert init["symm_type"].name == ("SGF" if spin is None else "SZ")
    # spin None: spin-orbital sites, any S_z (block2 is handed n_elec); else 2 S_z = spin.
    assert rec.of("initialize_system") == [("initialize_system", dict(
        n_sites=4 if spin is None else 2, n_elec=2, spin=2 if spin is None else int(spin)))]
    (_, mps_kw, ket), = rec.of("get_random_mps")  # drawn once, at the first bond dimension
    assert mps_kw == dict(tag="KET", bond_dim=3, nroots=1)
    runs = rec.of("dmrg")
    assert [r[2] for r in runs] == [ket, ket]  # the second run continues the first's state
    L = len(noises)
    for (_, kw, _), D in zip(runs, (3, 6)):
        assert kw == dict(n_sweeps=L, bond_dims=[D] * L, noises=noises, thrds=[1e-10] * L,
                          cutoff=1e-16, iprint=0)
    assert [list(p) for p in points] == [["D", "energy", "discarded_weight"]] * 2
    assert [p["D"] for p in points] == [3, 6] and all(type(p["D"]) is int for p in points)


@pytest.mark.parametrize("n_modes, n_elec, seed, unordered", [
    (4, 2, 0, False), (6, 3, 1, True), (6, 2, 2, False), (4, 1, 3, True)])
def test_dmrg_solve_reaches_exact_sector_energy(n_modes, n_elec, seed, unordered):
    # Bond dimension 2^(n/2) is exact; the constant is added outside block2, and terms
    # whose ladder operators are not normal-ordered keep their order.
    op = random_op(n_modes, seed, unordered=unordered, real=True)
    exact = sector_min(op, n_modes, n_elec)
    points = an.dmrg_solve(op, n_modes, n_elec, bond_dims=(2, 2 ** (n_modes // 2)), n_sweeps=8,
                           **SMALL)
    assert points[1]["energy"] == pytest.approx(exact, abs=1e-8)
    assert points[0]["energy"] >= exact - 1e-8  # variational
    assert all(isinstance(p["discarded_weight"], float) for p in points)


def test_constant_only_operator_gives_the_constant(monkeypatch):
    rec = Recorder(monkeypatch)
    for op in ({(): 2.5}, {(): 2.5, ((0, 1), (0, 0)): 1e-13j}):
        points = an.dmrg_solve(op, 4, 2, bond_dims=(5, 7), **SMALL)
        assert [(p["D"], p["energy"]) for p in points] == [(5, 2.5), (7, 2.5)]
        assert all(math.isnan(p["discarded_weight"]) for p in points)
    assert rec.calls == []  # no sweep for the zero operator


def test_discarded_weight_readout_failure_gives_nan(monkeypatch):
    import pyblock2.driver.core as core

    def broken(self):
        raise RuntimeError("no history")

    monkeypatch.setattr(core.DMRGDriver, "get_dmrg_results", broken)
    points = an.dmrg_solve(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2, **SMALL)
    assert points[0]["energy"] == pytest.approx(3.0, abs=1e-10)
    assert math.isnan(points[0]["discarded_weight"])
    monkeypatch.setattr(core.DMRGDriver, "get_dmrg_results", lambda self: (None, [], None))
    assert math.isnan(an.dmrg_solve(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2,
                                    **SMALL)[0]["discarded_weight"])


def test_scratch_directories(private_tempdir, tmp_path_factory, monkeypatch):
    # No scratch (or an empty one): a fresh korvel_b2_ directory, removed at the end,
    # since no caller knows its path.
    rec = Recorder(monkeypatch)
    an.dmrg_solve(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2, **SMALL)
    an.dmrg_solve(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2, scratch="", **SMALL)
    made = [kw["scratch"] for _, kw in rec.of("init")]
    assert len(made) == 2 and all(os.path.basename(d).startswith("korvel_b2_") for d in made)
    assert scratch_dirs(private_tempdir) == []
    # A given directory is used as it is, and kept.
    given = tmp_path_factory.mktemp("given")
    an.dmrg_solve(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2, scratch=str(given), **SMALL)
    assert os.listdir(given) and scratch_dirs(private_tempdir) == []
    # dmrg_energy always uses a fresh temporary one, removed as well.
    an.dmrg_energy(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2, **SMALL)
    assert len(rec.of("init")) == 4 and scratch_dirs(private_tempdir) == []
    # Also when block2 fails half-way.
    import pyblock2.driver.core as core

    def fail(self, *args, **kwargs):
        raise RuntimeError("sweep failed")

    monkeypatch.setattr(core.DMRGDriver, "dmrg", fail)
    with pytest.raises(RuntimeError, match="sweep failed"):
        an.dmrg_solve(DIAG4, 4, 2, bond_dims=(4,), n_sweeps=2, **SMALL)
    assert scratch_dirs(private_tempdir) == []


@pytest.mark.parametrize("kw, exc, text", [
    (dict(scratch=3), TypeError, "scratch must be a string or None, not int"),
    (dict(scratch=b"/tmp"), TypeError, "scratch must be a string or None, not bytes"),
    (dict(bond_dims=()), IndexError, "bond_dims holds no bond dimension"),
    (dict(bond_dims=8), TypeError, "bond_dims must be a sequence of integers, not int"),
    (dict(bond_dims=(8, "x")), TypeError, "bond_dims entry must be an integer, not str"),
    (dict(bond_dims=(8, 0)), ValueError, "bond dimensions must be at least 1, got 0"),
    (dict(n_sweeps="4"), TypeError, "n_sweeps must be an integer, not str"),
    (dict(n_sweeps=10**15), ValueError, "n_sweeps must be at most 1000000, got 1000000000000000"),
    (dict(spin="0"), TypeError, "spin must be an integer or None, not str"),
    (dict(n_threads=0), ValueError, "n_threads must be at least 1, got 0"),
    (dict(seed=0), ValueError, "seed must be from 1 to 4294967295"),
    (dict(seed=2**32), ValueError, "seed must be from 1 to 4294967295"),
    (dict(seed="7"), TypeError, "seed must be an integer or None, not str"),
    (dict(stack_gb="1"), TypeError, "stack_gb must be a real number, not str"),
    (dict(stack_gb=1e-7), ValueError, "stack_gb must be a finite size in GiB"),
    (dict(stack_gb=float("nan")), ValueError, "stack_gb must be a finite size in GiB"),
    (dict(stack_gb=1e7), MemoryError, "GiB (stack_gb) exceeds the"),
    (dict(bond_dims=(4, 10**6)), MemoryError, "bond dimension 1000000 needs at least 29802.32"),
    (dict(n_spinorb=10**6), ValueError, "n_spinorb=1000000 sites exceed the DMRG limit of 4096"),
    (dict(n_elec=5), ValueError, "n_elec must lie between 0 and n_spinorb=4, got 5"),
    (dict(n_spinorb=3), ValueError, "spin-orbital 3, outside 0..2"),
    (dict(op={((0, 1),): 1.0}), ValueError, "the term C on spin-orbitals [0] has 1 creation"),
    (dict(op={((0, 1), (1, 1)): 0.5, ((1, 1), (1, 0)): 1.0}), ValueError,
     "conserves the electron number; the term CC on spin-orbitals [0, 1] has 2 creation and 0"),
])
def test_dmrg_solve_refuses_bad_arguments_before_any_work(monkeypatch, private_tempdir, kw,
                                                          exc, text):
    rec = Recorder(monkeypatch)
    args = dict(n_spinorb=4, n_elec=2, bond_dims=(4,), **SMALL)
    args.update(kw)
    with pytest.raises(exc, match=re.escape(text)):
        an.dmrg_solve(args.pop("op", DIAG4), args.pop("n_spinorb"), args.pop("n_elec"), **args)
    assert rec.calls == [] and scratch_dirs(private_tempdir) == []


def test_missing_block2_is_reported_before_anything_else(tmp_path):
    code = f"""
import sys, os, tempfile
tempfile.tempdir = {str(tmp_path)!r}
for name in ("pyblock2", "pyblock2.driver", "pyblock2.driver.core", "block2"):
    sys.modules[name] = None
import korvel.core.analysis as an
# Bad arguments everywhere: none of them may be looked at first.
for f, kw in ((an.dmrg_solve, dict(bond_dims=(), scratch=3, n_sweeps="x")),
              (an.dmrg_energy, dict(bond_dims=(), n_sweeps="x"))):
    try:
        f({{((9, 1), (9, 0)): 1.0}}, "four", None, **kw)
    except RuntimeError as e:
        print(repr(str(e)), type(e.__cause__).__name__, e.__suppress_context__)
print(sorted(m for m in ("openfermion", "scipy") if m in sys.modules), os.listdir({str(tmp_path)!r}))
"""
    out = fresh_python(code).stdout.splitlines()
    assert out == [f"{MISSING_BLOCK2!r} ModuleNotFoundError True"] * 2 + ["[] []"]


# ---------------------------------------------------------------------------
# Extrapolation


def pts(*pairs):
    return [{"D": 10 * (k + 1), "energy": e, "discarded_weight": w} for k, (e, w) in enumerate(pairs)]


def test_extrapolate_exact_line_through_three_points():
    e0, s = -1.25, 40.0
    points = pts(*[(e0 + s * w, w) for w in (3e-4, 1e-4, 2e-5)])
    info = an.dmrg_extrapolate(points)
    assert list(info) == ["extrapolated_energy", "ci95_halfwidth", "slope", "lowest_computed",
                          "points", "fitted_bond_dims", "converged", "converged_bond_dim",
                          "note"]
    assert info["points"] is points and info["fitted_bond_dims"] == [10, 20, 30]
    assert info["converged_bond_dim"] is None
    assert info["extrapolated_energy"] == pytest.approx(e0, abs=1e-12)
    assert info["slope"] == pytest.approx(s, rel=1e-9)
    assert info["ci95_halfwidth"] == pytest.approx(0.0, abs=1e-10)
    assert info["lowest_computed"] == e0 + s * 2e-5


def test_extrapolate_noisy_points_matches_least_squares():
    # Five runs; the two of the smallest bond dimensions lie off the line and are left
    # out: the fit takes the three largest.
    w = np.array([9e-3, 5e-3, 4e-4, 2e-4, 1e-4])
    e = -2.0 + 30.0 * w + np.array([5e-2, 1e-2, 1e-6, -2e-6, 1.5e-6])
    info = an.dmrg_extrapolate(pts(*zip(e.tolist(), w.tolist())))
    assert info["fitted_bond_dims"] == [30, 40, 50] and info["converged"] is False
    w, e = w[2:], e[2:]
    a = np.vstack([w, np.ones_like(w)]).T
    coef, res, *_ = np.linalg.lstsq(a, e, rcond=None)
    cov = np.linalg.inv(a.T @ a) * res[0] / (len(w) - 2)
    assert info["slope"] == pytest.approx(coef[0], rel=1e-8)
    assert info["extrapolated_energy"] == pytest.approx(coef[1], abs=1e-12)
    # three points leave one degree of freedom: Student's t quantile, not the normal one
    from scipy.stats import t
    assert info["ci95_halfwidth"] == pytest.approx(t.ppf(0.975, 1) * math.sqrt(cov[1, 1]),
                                                   rel=1e-6)


def test_extrapolate_two_points_draws_the_line_through_them():
    info = an.dmrg_extrapolate(pts((-1.0, 2e-4), (-1.1, 1e-4)))
    assert info["slope"] == pytest.approx(1000.0, rel=1e-9)
    assert info["extrapolated_energy"] == pytest.approx(-1.2, abs=1e-12)
    assert math.isnan(info["ci95_halfwidth"])
    assert info["lowest_computed"] == -1.1


@pytest.mark.parametrize("pairs, lowest", [
    ([(-1.0, 1e-4)], -1.0),                                    # one point
    ([(-1.0, 1e-4), (-1.1, 0.0)], -1.1),                       # zero weight: truncated nothing
    ([(-1.0, 1e-4), (-1.3, float("nan"))], -1.3),              # unreadable weight
    ([(-1.0, 1e-4), (-1.2, -1e-6), (float("inf"), 1e-3)], -1.2),
    ([(float("nan"), 1e-4), (float("nan"), 2e-4)], float("nan")),
    ([(-1.0, 1e-4), (-1.1, 1e-4)], -1.1),                      # one weight: no line
    ([(-1.0, 1e-4), (-1.1, 1e-4), (-1.05, 1e-4)], -1.1),
    ([], float("nan")),
])
def test_extrapolate_without_a_fit_falls_back_to_lowest(pairs, lowest):
    info = an.dmrg_extrapolate(pts(*pairs))
    assert info["slope"] == 0.0 and info["ci95_halfwidth"] == 0.0
    if math.isnan(lowest):
        assert math.isnan(info["lowest_computed"]) and math.isnan(info["extrapolated_energy"])
    else:
        assert info["lowest_computed"] == info["extrapolated_energy"] == lowest


@pytest.mark.parametrize("pairs, energy, dim", [
    ([(-1.0, 3e-4), (-1.2, 1e-13), (-1.19, 2e-5)], -1.2, 20),
    ([(-1.0, 3e-4), (-1.1, 1e-4), (-1.25, 0.0), (-1.25 + 1e-12, 5e-13)], -1.25, 30),
])
def test_extrapolate_converged_run_is_not_extrapolated(pairs, energy, dim):
    # Below 1e-12 of discarded weight a run is converged: its energy, no line.
    info = an.dmrg_extrapolate(pts(*pairs))
    assert info["extrapolated_energy"] == energy and info["ci95_halfwidth"] == 0.0
    # nothing was fitted, and the reported energy is no extrapolation
    assert info["converged"] is True and info["fitted_bond_dims"] == []
    assert info["converged_bond_dim"] == dim
    assert an._dmrg_reported_energy(info, True) == (energy, False)
    assert an._dmrg_reported_energy(info, False) == (info["lowest_computed"], False)


def test_h6_dmrg_converged_is_fci():
    # H6/STO-3G, 12 spin-orbitals: D = 60 truncates (almost) nothing, and the reported
    # energy is FCI, not a straight line's intercept below it.
    from pyscf import fci, gto, scf

    from chem import problem

    mol = gto.M(atom=GEOMETRIES["h6"], basis="sto-3g", verbose=0)
    e_fci = fci.FCI(scf.RHF(mol).run(conv_tol=1e-12)).kernel()[0]
    p = problem("h6")
    e, info = an.dmrg_energy(p.hamiltonian, p.n_modes, p.n_elec, bond_dims=(20, 40, 60),
                             n_sweeps=8, extrapolate=True, return_info=True, **SMALL)
    assert info["converged"] is True and info["converged_bond_dim"] in (40, 60)
    assert e == pytest.approx(e_fci, abs=1e-8)
    assert e >= e_fci - 1e-9 and info["ci95_halfwidth"] == 0.0


def test_a_truncated_dmrg_run_repeats_with_its_seed():
    # H6/STO-3G at D = 8 truncates: where the sweeps end depends on the random start
    # state, which the seed fixes, so the same call gives the same energy to the bit.
    from pyscf import fci, gto, scf

    from chem import problem

    p = problem("h6")

    def run(**kw):
        return an.dmrg_solve(p.hamiltonian, p.n_modes, p.n_elec, bond_dims=(8,),
                             n_sweeps=4, **SMALL, **kw)

    first = run()
    assert first[0]["discarded_weight"] > 1e-8          # truly truncated
    assert run() == first                                # the default seed
    assert run(seed=12345) == run(seed=12345)
    mol = gto.M(atom=GEOMETRIES["h6"], basis="sto-3g", verbose=0)
    e_fci = fci.FCI(scf.RHF(mol).run(conv_tol=1e-12)).kernel()[0]
    assert first[0]["energy"] > e_fci                    # variational, and truncated


def test_extrapolate_lookup_errors_propagate():
    with pytest.raises(KeyError, match="discarded_weight"):
        an.dmrg_extrapolate([{"energy": -1.0}])
    with pytest.raises(KeyError, match="energy"):
        an.dmrg_extrapolate([{"discarded_weight": 1e-4}])


# ---------------------------------------------------------------------------
# DMRG energy


@pytest.mark.parametrize("bond_dims, extrapolate, key", [
    ((10,), True, "lowest_computed"),
    ((10, 20), False, "lowest_computed"),
    ((10, 20), True, "extrapolated_energy"),
    ((10, 20, 30), True, "extrapolated_energy"),
])
def test_dmrg_energy_selects_the_reported_energy(monkeypatch, bond_dims, extrapolate, key):
    seen = {}
    table = {10: (-1.0, 3e-4), 20: (-1.1, 2e-4), 30: (-1.2, 1e-4)}

    def fake_solve(h, n_spinorb, n_elec, **kw):
        seen.update(kw, args=(h, n_spinorb, n_elec))
        return pts(*[table[d] for d in kw["bond_dims"]])

    monkeypatch.setattr(an, "dmrg_solve", fake_solve)
    e, info = an.dmrg_energy(DIAG4, 4, 2, bond_dims=bond_dims, extrapolate=extrapolate,
                             stack_gb=2, n_threads=1, return_info=True)
    assert seen == dict(args=(DIAG4, 4, 2), bond_dims=bond_dims, n_sweeps=16, spin=None,
                        stack_gb=2.0, n_threads=1, seed=1)
    assert type(seen["stack_gb"]) is float
    assert e == info[key]
    assert an.dmrg_energy(DIAG4, 4, 2, bond_dims=bond_dims, extrapolate=extrapolate) == e
    if len(bond_dims) > 1 and extrapolate:
        assert e == pytest.approx(-1.3, abs=1e-9)  # the points lie on one line


def test_dmrg_energy_of_h2o_extrapolates_to_exact_energy():
    op, n_modes, n_elec, exact = h2o()  # PySCF's FCI energy
    e, info = an.dmrg_energy(op, n_modes, n_elec, bond_dims=(24, 32, 40), n_sweeps=8,
                             extrapolate=True, return_info=True, **SMALL)
    assert abs(e - exact) < 1e-5
    assert list(info) == ["extrapolated_energy", "ci95_halfwidth", "slope", "lowest_computed",
                          "points", "fitted_bond_dims", "converged", "converged_bond_dim",
                          "note"]
    assert [p["D"] for p in info["points"]] == [24, 32, 40]
    assert all(p["energy"] > exact - 1e-8 for p in info["points"])
    assert info["lowest_computed"] == min(p["energy"] for p in info["points"])
    # Two bond dimensions: the line through both points, no uncertainty estimate.
    e2, info2 = an.dmrg_energy(dict(op.terms), n_modes, n_elec, bond_dims=(16, 24), n_sweeps=4,
                               extrapolate=True, return_info=True, **SMALL)
    (p, q) = info2["points"]
    assert p["discarded_weight"] > 0 and q["discarded_weight"] > 0
    s = (q["energy"] - p["energy"]) / (q["discarded_weight"] - p["discarded_weight"])
    assert e2 == pytest.approx(p["energy"] - s * p["discarded_weight"], abs=1e-9)
    assert math.isnan(info2["ci95_halfwidth"])


# ---------------------------------------------------------------------------
# Native sector matrices against OpenFermion's sector build and a plain build


def random_body_op(n_modes, seed, *, hermitian, real, keeps_sz, n_terms=40):
    """Random number-conserving operator with 1- to 4-body terms in scrambled operator
    order. ``keeps_sz``: each term moves as many spin-up (even) electrons as it removes."""
    from openfermion import FermionOperator, hermitian_conjugated

    rng = np.random.default_rng(seed)
    op = FermionOperator((), float(rng.normal()))
    for _ in range(n_terms):
        k = int(rng.integers(1, 5))
        cre = [int(x) for x in rng.integers(0, n_modes, k)]
        ann = [int(x) for x in rng.integers(0, n_modes, k)]
        if keeps_sz:  # annihilate on the same spins as created
            ann = [2 * int(rng.integers(0, n_modes // 2)) + (p % 2) for p in cre]
        ops = [(p, 1) for p in cre] + [(q, 0) for q in ann]
        term = tuple(ops[i] for i in rng.permutation(len(ops)))
        c = float(rng.normal()) if real else complex(rng.normal(), rng.normal())
        op += FermionOperator(term, c)
    # A non-Hermitian operator is a Hermitian one plus a non-Hermitian part, like an
    # effective Hamiltonian: a purely random sparse one tends to have defective
    # eigenvalues, whose rounding errors grow like eps^(1/k).
    herm = op + hermitian_conjugated(op)
    if hermitian:
        return herm
    return herm + 0.3 * op


def openfermion_lowest(op, n_modes, n_elec, hermitian):
    """Lowest eigenvalue (smallest real part) of OpenFermion's sector matrix, densely."""
    from openfermion.linalg import get_number_preserving_sparse_operator

    m = get_number_preserving_sparse_operator(op, n_modes, n_elec,
                                              spin_preserving=False).toarray()
    if hermitian:
        return float(np.linalg.eigvalsh(m)[0])
    w = np.linalg.eigvals(m)
    return float(w[np.argmin(w.real)].real)


SECTOR_CASES = [(6, 3), (8, 4), (8, 3), (10, 5), (12, 6)]


@pytest.mark.parametrize("n_modes, n_elec", SECTOR_CASES)
@pytest.mark.parametrize("hermitian", [True, False])
@pytest.mark.parametrize("real", [True, False])
@pytest.mark.parametrize("keeps_sz", [True, False])
def test_native_sector_energy_matches_openfermion(n_modes, n_elec, hermitian, real, keeps_sz):
    if n_modes == 12 and not (hermitian and keeps_sz):
        pytest.skip("the 924-determinant case once, for the sparse solvers")
    seed = 100 * n_modes + 10 * n_elec + 4 * hermitian + 2 * real + keeps_sz
    op = random_body_op(n_modes, seed, hermitian=hermitian, real=real, keeps_sz=keeps_sz)
    expected = openfermion_lowest(op, n_modes, n_elec, hermitian)
    blocks = an._sector_matrices(op, n_modes, n_elec)
    assert (blocks[0][0] is None) == (not keeps_sz)
    if hermitian:
        assert an.fci_energy(op, n_modes, n_elec) == pytest.approx(expected, abs=1e-10)
        assert an.fci_energy(dict(op.terms), n_modes, n_elec) == \
            an.fci_energy(op, n_modes, n_elec)
    re, im, solver = an._sector_lowest(op, n_modes, n_elec, general=True)
    assert re == pytest.approx(expected, abs=1e-10)
    if hermitian:
        assert abs(im) < 1e-10
    # A non-Hermitian operator never reaches the symmetric solver.
    assert hermitian or "eigvalsh" not in an._sector_lowest(op, n_modes, n_elec)[2]


@pytest.mark.parametrize("n_modes, n_elec", [(4, 2), (6, 3), (7, 3), (8, 4)])
@pytest.mark.parametrize("keeps_sz", [True, False])
def test_fast_sector_matrix_equals_plain_build(n_modes, n_elec, keeps_sz):
    op = random_body_op(n_modes, n_modes + n_elec, hermitian=False, real=False,
                        keeps_sz=keeps_sz, n_terms=60)
    blocks = an._sector_matrices(dict(op.terms), n_modes, n_elec)
    if keeps_sz:
        up, down = (n_modes + 1) // 2, n_modes // 2
        assert [a for a, _ in blocks] == list(range(max(0, n_elec - down),
                                                    min(n_elec, up) + 1))
    for n_alpha, m in blocks:
        plain = an._sector_matrix_plain(op, n_modes, n_elec, n_alpha)
        assert np.abs(m.toarray() - plain).max() < 1e-13
        assert m.has_sorted_indices


def sector_determinants(n_modes, n_elec, n_alpha):
    """The documented order: bit strings ascending; a block ranks its spin-up string
    first, then its spin-down string."""
    dets = [d for d in range(2**n_modes) if bin(d).count("1") == n_elec]
    if n_alpha is None:
        return dets
    even = sum(1 << p for p in range(0, n_modes, 2))

    def half(d, shift):
        return sum(((d >> (2 * i + shift)) & 1) << i for i in range(n_modes))
    block = [d for d in dets if bin(d & even).count("1") == n_alpha]
    return sorted(block, key=lambda d: (half(d, 0), half(d, 1)))


@pytest.mark.parametrize("n_modes, n_elec", [(5, 2), (6, 3), (8, 4)])
def test_sector_order_of_the_determinants(n_modes, n_elec):
    # sum_p 2^p n_p is diagonal with the bit string itself on the diagonal.
    op = {((p, 1), (p, 0)): float(2**p) for p in range(n_modes)}
    for n_alpha, m in an._sector_matrices(op, n_modes, n_elec):
        assert m.nnz == m.shape[0]
        assert list(m.diagonal().real) == sector_determinants(n_modes, n_elec, n_alpha)


@pytest.mark.parametrize("op", [{}, {((0, 1), (1, 0)): 0.0}, {((1, 1), (1, 0), (0, 1)): 0.0}])
@pytest.mark.parametrize("n_elec", [0, 1, 2])
def test_zero_operator_in_the_sector_gives_zero(op, n_elec):
    # A term of zero coefficient that changes the electron number is no term at all.
    assert an.fci_energy(op, 4, n_elec) == 0.0
    assert an._sector_lowest(op, 4, n_elec, general=True)[:2] == (0.0, 0.0)
    assert an.fci_energy({(): -1.5, **op}, 4, n_elec) == pytest.approx(-1.5, abs=1e-14)


def test_non_hermitian_operator_is_not_symmetrised():
    # One-way hopping: eigenvalues 1 and 2; eigsh would have seen [[1, 2.5], [2.5, 2]].
    op = {((0, 1), (0, 0)): 1.0, ((1, 1), (1, 0)): 2.0, ((1, 1), (0, 0)): 5.0}
    assert an.fci_energy(op, 2, 1) == pytest.approx(1.0, abs=1e-12)


@pytest.mark.parametrize("value", [float("nan"), complex(1.0, float("inf")), float("-inf")])
@pytest.mark.parametrize("func", ["fci_energy", "lcu_one_norm"])
def test_non_finite_coefficients_are_refused_naming_the_term(func, value):
    op = {((0, 1), (0, 0)): 1.0, ((1, 1), (0, 0)): value}
    args = (op, 4, 2) if func == "fci_energy" else (op,)
    with pytest.raises(ValueError, match=r"\(\(1, 1\), \(0, 0\)\).*not finite"):
        getattr(an, func)(*args)


@pytest.mark.parametrize("n_spinorb, n_elec, op", [
    (64, 32, {((0, 1), (1, 0)): 1.0}),           # changes S_z: the whole sector
    (64, 32, {((0, 1), (0, 0)): 1.0}),           # keeps S_z: the 16+16 block
    (60, 30, {((2, 1), (0, 0)): 1.0}),
])
def test_sector_too_large_is_a_memory_error_naming_its_size(n_spinorb, n_elec, op):
    with pytest.raises(MemoryError, match="determinants"):
        an.fci_energy(op, n_spinorb, n_elec)


def test_huge_spin_orbital_index_is_refused_at_once():
    import time

    t = time.perf_counter()
    for func, args in [("lcu_one_norm", ()), ("fci_energy", (4, 2))]:
        with pytest.raises(ValueError, match="spin-orbital index"):
            getattr(an, func)({((2**70, 1), (0, 0)): 1.0}, *args)
    assert time.perf_counter() - t < 1.0


def jordan_wigner_one_norm(op):
    from openfermion import FermionOperator, jordan_wigner, normal_ordered

    fo = FermionOperator()
    fo.terms = {k: complex(v) for k, v in dict(op).items()}
    return sum(abs(c) for k, c in jordan_wigner(normal_ordered(fo)).terms.items() if k)


@pytest.mark.parametrize("seed", range(6))
def test_lcu_one_norm_matches_jordan_wigner_on_random_many_body_operators(seed):
    op = random_body_op(10, seed, hermitian=seed % 2 == 0, real=seed % 3 == 0,
                        keeps_sz=seed % 4 < 2, n_terms=80)
    lam = an.lcu_one_norm(op)
    assert lam == pytest.approx(jordan_wigner_one_norm(op.terms), rel=1e-10)
    assert an.lcu_one_norm(dict(op.terms)) == lam


def test_coercion_holds_the_items_while_complex_runs():
    from openfermion import FermionOperator

    class Grabby:
        """A coefficient whose complex() empties the mapping it lies in."""
        def __init__(self, owner, value):
            self.owner, self.value = owner, value

        def __complex__(self):
            self.owner.clear()
            return complex(self.value)

    src = {}
    src[((1, 1), (0, 0))] = Grabby(src, 2.0)
    src[((0, 1), (0, 0))] = 1.5
    out = an._as_fermion_operator(src)
    assert isinstance(out, FermionOperator)
    assert out.terms == {((1, 1), (0, 0)): 2 + 0j, ((0, 1), (0, 0)): 1.5 + 0j}
    assert src == {}


@pytest.mark.parametrize("modes", [(0, 70, 200), tuple(range(0, 140, 2)), (3, 2**40, 5)])
def test_lcu_one_norm_beyond_64_spin_orbitals(modes):
    # Spin-orbitals far apart (renumbered for the engine), more than 64 of them (through
    # Jordan-Wigner), and an index far beyond any memory (renumbered, answered at once).
    rng = np.random.default_rng(len(modes))
    op = {(): 0.5}
    for p, q in itertools.combinations(modes, 2):
        c = complex(rng.normal(), rng.normal())
        op[((q, 1), (p, 0))] = c
        op[((p, 1), (q, 0))] = c.conjugate()
    for p, q in zip(modes, modes[1:]):
        op[((q, 1), (p, 1), (q, 0), (p, 0))] = float(rng.normal())
    # Jordan-Wigner on the operator as it stands where its strings fit memory, else on the
    # operator renumbered in the order of its spin-orbitals.
    dense = {tuple((modes.index(p), d) for p, d in k): v for k, v in op.items()}
    expected = jordan_wigner_one_norm(op if max(modes) < 1000 else dense)
    assert an.lcu_one_norm(op) == pytest.approx(expected, rel=1e-10)


def random_ladder_op(n_modes, n_terms, seed, max_ops=4):
    """Terms of 1 to max_ops ladder operators in any order, repeated spin-orbitals included
    (so that Majoranas cancel and terms of different supports meet), real and complex."""
    rng = np.random.default_rng(seed)
    op = {}
    for _ in range(n_terms):
        k = int(rng.integers(1, max_ops + 1))
        pool = rng.choice(n_modes, size=3, replace=False) if rng.random() < 0.3 else None
        term = tuple((int(rng.choice(pool) if pool is not None else rng.integers(n_modes)),
                      int(rng.integers(2))) for _ in range(k))
        op[term] = op.get(term, 0) + (complex(rng.normal(), rng.normal())
                                      if rng.random() < 0.3 else float(rng.normal()))
    # a Hermitian pair on distinct spin-orbitals, the common case of a Hamiltonian
    op[((5, 1), (3, 1), (2, 0), (1, 0))] = 0.25
    op[((2, 1), (1, 1), (5, 0), (3, 0))] = 0.25
    # and one term of the longest kind
    op[tuple((int(m), i % 2) for i, m in enumerate(rng.integers(n_modes, size=max_ops)))] = 0.5
    return op


@pytest.mark.parametrize("n_modes, n_terms, seed, max_ops", [
    (8, 200, 0, 4), (40, 300, 1, 4), (64, 300, 2, 6), (80, 300, 3, 4), (150, 400, 4, 4),
    (200, 300, 5, 8), (120, 12, 6, 12),
])
def test_wide_lcu_expansion_matches_jordan_wigner(n_modes, n_terms, seed, max_ops):
    # Monomials keyed by their index lists, for any number of spin-orbitals: the fast and
    # the literal route, against Jordan-Wigner, and against the 64-bit engine where it fits.
    op = random_ladder_op(n_modes, n_terms, seed, max_ops)
    expected = jordan_wigner_one_norm(op)
    assert an._lcu_one_norm_expanded(op) == pytest.approx(expected, rel=1e-10)
    assert an._lcu_one_norm_expanded(op, plain=True) == pytest.approx(expected, rel=1e-10)
    assert an.lcu_one_norm(op) == pytest.approx(expected, rel=1e-10)


def test_wide_lcu_expansion_of_a_hamiltonian_matches_the_engine():
    # a real molecular Hamiltonian (H2O/STO-3G, 14 spin-orbitals), spread over 140 by
    # spacing its spin-orbitals: the Pauli strings only get longer Z chains, the norm stays
    from korvel.core.hamiltonian import build_problem
    from chem import make_calc
    h = build_problem(make_calc("h2o")).hamiltonian
    lam = an.lcu_one_norm(h)
    assert an._lcu_one_norm_expanded(h) == pytest.approx(lam, rel=1e-12)
    spread = {tuple((10 * p, d) for p, d in k): v for k, v in h.terms.items()}
    assert an.lcu_one_norm(spread) == pytest.approx(lam, rel=1e-12)
    with pytest.raises(ValueError, match="dagger flag 2"):
        an.lcu_one_norm({**spread, ((3, 2),): 1.0})
    with pytest.raises(ValueError, match="not finite"):
        an.lcu_one_norm({**spread, ((3, 1),): float("nan")})

@pytest.mark.parametrize("op, expected", [
    # terms that cancel exactly: the zero matrix, stored without entries
    ({((0, 1), (1, 0)): 1.0, ((1, 0), (0, 1)): 1.0}, 0.0),
    # one hopping term: a Krylov space of three vectors in a 924-determinant sector
    ({((0, 1), (2, 0)): 1.0, ((2, 1), (0, 0)): 1.0}, -1.0),
    # a diagonal operator with three distinct values
    ({((p, 1), (p, 0)): float(p % 3) for p in range(12)}, 2.0),
])
def test_sparse_solver_on_degenerate_sectors(op, expected):
    assert an.fci_energy(op, 12, 6) == pytest.approx(expected, abs=1e-10)
    assert an._sector_lowest(op, 12, 6, general=True)[0] == pytest.approx(expected, abs=1e-10)
    for _, m in an._sector_matrices(op, 12, 6):
        assert m.nnz == m.count_nonzero()


# ---------------------------------------------------------------------------
# Answers that belonged to another question: number-changing operators, the spin of a
# DMRG state, an extrapolation that goes the wrong way, threads that cannot start

@pytest.mark.parametrize("op, term", [
    ({((0, 1),): 1.0, ((0, 0),): 1.0}, r"\(\(0, 1\),\)"),                # a_0^dagger + a_0
    ({((0, 1), (0, 0)): 1.0, ((1, 1), (1, 0), (0, 1)): 2.0}, r"\(\(1, 1\), \(1, 0\), \(0, 1\)\)"),
])
def test_sector_energy_of_a_number_changing_operator_is_refused(op, term):
    for n_elec in (0, 1, 2):
        with pytest.raises(ValueError, match=rf"conserves the electron number; the term {term}"):
            an.fci_energy(op, 4, n_elec)
        with pytest.raises(ValueError, match="conserves the electron number"):
            an._sector_lowest(op, 4, n_elec, general=True)
    import openfermion as of
    fop = of.FermionOperator()
    fop.terms = dict(op)
    with pytest.raises(ValueError, match="conserves the electron number"):
        an.fci_energy(fop, 4, 1)


def sz_block_energy(op, n_modes, n_elec, two_sz):
    """Lowest eigenvalue of the operator among determinants of n_elec electrons with
    2 S_z = two_sz (even spin-orbitals spin up), from OpenFermion's full sparse matrix."""
    import openfermion as of
    fop = op if isinstance(op, of.FermionOperator) else of.FermionOperator()
    if fop is not op:
        fop.terms = dict(op)
    m = of.get_sparse_operator(fop, n_modes).toarray()
    keep = []
    for index in range(2**n_modes):
        occ = [(index >> (n_modes - 1 - q)) & 1 for q in range(n_modes)]  # qubit q = mode q
        if sum(occ) == n_elec and sum(occ[0::2]) - sum(occ[1::2]) == two_sz:
            keep.append(index)
    return float(np.linalg.eigvalsh(m[np.ix_(keep, keep)])[0])


def test_dmrg_spin_gives_the_lowest_state_of_that_sz():
    pytest.importorskip("pyblock2")
    import chem
    p = chem.problem("h4")                          # 4 electrons in 8 spin-orbitals
    op = dict(p.hamiltonian.terms)
    kw = dict(bond_dims=(20,), n_sweeps=6, **SMALL)
    for two_sz in (0, 2, -2, 4):
        exact = sz_block_energy(op, 8, 4, two_sz)
        assert an.dmrg_energy(op, 8, 4, spin=two_sz, **kw) == pytest.approx(exact, abs=1e-7)
    # spin None: the lowest state of any S_z (the singlet here)
    assert an.dmrg_energy(op, 8, 4, **kw) == pytest.approx(sz_block_energy(op, 8, 4, 0),
                                                          abs=1e-7)
    # H2, two electrons: the S_z = 1 state lies far above the singlet
    h2 = dict(chem.problem("h2").hamiltonian.terms)
    e1 = an.dmrg_energy(h2, 4, 2, spin=2, **kw)
    assert e1 == pytest.approx(sz_block_energy(h2, 4, 2, 2), abs=1e-8)
    assert e1 > an.fci_energy(h2, 4, 2) + 0.5


@pytest.mark.parametrize("args, pattern", [
    ((4, 2, 1), "spin=1 .* has no state"),        # parity of two electrons
    ((4, 2, 4), "spin=4 .* has no state"),        # more unpaired than electrons
    ((4, 3, -3), "spin=-3 .* has no state"),       # three spin-down in two orbitals
    ((5, 2, 0), "even number of spin-orbitals"),
])
def test_dmrg_spin_without_a_state_is_refused(args, pattern):
    pytest.importorskip("pyblock2")
    n_modes, n_elec, spin = args
    op = {((q, 1), (q, 0)): 1.0 + q for q in range(n_modes)}
    with pytest.raises(ValueError, match=pattern):
        an.dmrg_solve(op, n_modes, n_elec, spin=spin, bond_dims=(4,), **SMALL)
    # an operator that changes S_z has no state of one S_z either
    flip = {((0, 1), (1, 0)): 1.0, ((1, 1), (0, 0)): 1.0}
    with pytest.raises(ValueError, match="conserves S_z; the term CD on spin-orbitals"):
        an.dmrg_solve(flip, 4, 2, spin=0, bond_dims=(4,), **SMALL)


def test_extrapolation_that_goes_the_wrong_way_is_not_reported():
    # Runs of small D (as for H6 at D = 3, 5, 7) whose weights do not fall with D: the
    # line meets zero weight far above the lowest energy computed, which bounds the
    # exact energy from above.
    points = pts((-3.1543, 2e-3), (-3.2101, 9e-3), (-3.2275, 4e-3))
    info = an.dmrg_extrapolate(points)
    fit = np.polyfit([p["discarded_weight"] for p in points],
                     [p["energy"] for p in points], 1)
    assert fit[1] > -3.2275 + 1e-2                        # the line does go the wrong way
    assert info["extrapolated_energy"] == info["lowest_computed"] == -3.2275
    assert math.isnan(info["ci95_halfwidth"]) and info["fitted_bond_dims"] == []
    assert "goes the wrong way" in info["note"] and f"{fit[1]:.10f}" in info["note"]
    assert an._dmrg_reported_energy(info, True) == (-3.2275, False)
    # a rising line whose intercept still lies above a lower run of a smaller D
    info = an.dmrg_extrapolate(pts((-3.30, 5e-2), (-3.00, 3e-2), (-3.05, 2e-2), (-3.10, 1e-2)))
    assert np.polyfit([3e-2, 2e-2, 1e-2], [-3.00, -3.05, -3.10], 1)[0] > 0
    assert info["extrapolated_energy"] == -3.30 and info["note"]
    # a line that goes the right way stands, with no note
    info = an.dmrg_extrapolate(pts((-1.0, 3e-4), (-1.1, 2e-4), (-1.2, 1e-4)))
    assert info["note"] is None and info["extrapolated_energy"] == pytest.approx(-1.3)
    assert an._dmrg_reported_energy(info, True) == (info["extrapolated_energy"], True)


def test_extrapolation_interval_is_students_t_of_the_fit():
    """The 95 % half-width of the intercept, against SciPy's least-squares line and its
    intercept standard error with Student's t for n - 2 degrees of freedom."""
    from scipy import stats
    w = np.array([4e-4, 2e-4, 1e-4])
    e = -2.0 + 25.0 * w + np.array([3e-6, -5e-6, 2e-6])
    info = an.dmrg_extrapolate(pts(*zip(e.tolist(), w.tolist())))
    fit = stats.linregress(w, e)
    assert info["extrapolated_energy"] == pytest.approx(fit.intercept, abs=1e-12)
    assert info["ci95_halfwidth"] == pytest.approx(
        stats.t.ppf(0.975, 1) * fit.intercept_stderr, rel=1e-6)


def test_threads_that_cannot_start_are_a_clear_error():
    """With address space for few thread stacks, dmrg_solve says how many threads could
    start, before block2's runtime would end the process with its own message."""
    pytest.importorskip("pyblock2")
    code = ("import resource, korvel.core.analysis as an\n"
            "import pyblock2.driver.core\n"
            "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
            "resource.setrlimit(resource.RLIMIT_AS, (size + 2**26, size + 2**26))\n"
            "try:\n"
            "    an.dmrg_solve({((0, 1), (0, 0)): 1.0}, 2, 1, bond_dims=(2,), n_threads=256,"
            " stack_gb=0.01)\n"
            "except ValueError as e:\n    print('refused:', e)\n")
    out = fresh_python(code).stdout
    assert re.match(r"refused: n_threads=256: only \d+ threads could be started", out), out
