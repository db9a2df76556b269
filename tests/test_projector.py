"""downfold_to_active: the fold of core and virtual spin-orbitals onto the reference,
checked against the full operator's sparse matrix restricted to the determinants whose
external spin-orbitals hold the reference occupation."""

import inspect
import random
from types import SimpleNamespace

import numpy as np
import pytest

openfermion = pytest.importorskip("openfermion")
from openfermion import FermionOperator, get_sparse_operator, normal_ordered

import korvel.backends.base as base
from korvel.downfold import majorana, projector
from korvel.downfold.projector import downfold_to_active


def to_fo(op):
    fo = FermionOperator()
    for term, c in op.items():
        fo += FermionOperator(term, c)
    return fo


def projected_matrix(op, n_so, n_core, n_act, occupied):
    """Sparse matrix of `op` restricted to determinants whose external spin-orbitals hold
    their occupation in `occupied` (OpenFermion: spin-orbital 0 is the leading bit)."""
    full = get_sparse_operator(to_fo(op), n_qubits=n_so).tocsr()
    external = [p for p in range(n_so) if p < 2 * n_core or p >= 2 * (n_core + n_act)]
    keep = [i for i in range(2 ** n_so)
            if all(((i >> (n_so - 1 - p)) & 1) == (p in occupied) for p in external)]
    return full[keep][:, keep].toarray()


def folded_matrix(folded, n_act):
    if not folded:
        return np.zeros((2 ** (2 * n_act),) * 2)
    return get_sparse_operator(to_fo(folded), n_qubits=2 * n_act).toarray()


def random_number_conserving(rng, n_so, max_body, n_terms):
    op = {}
    for _ in range(n_terms):
        k = rng.randint(0, max_body)
        ops = [(rng.randrange(n_so), 1) for _ in range(k)] + [(rng.randrange(n_so), 0)
                                                              for _ in range(k)]
        rng.shuffle(ops)
        op[tuple(ops)] = complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
    return op


@pytest.mark.parametrize("seed,n_core,n_act,n_vir,max_body", [
    (1, 1, 2, 1, 2), (2, 1, 2, 1, 4), (3, 0, 2, 2, 3), (4, 2, 2, 0, 4), (5, 1, 1, 2, 3),
    (6, 2, 1, 1, 4), (7, 0, 3, 1, 4),
])
def test_fold_equals_the_projection_of_the_full_operator(seed, n_core, n_act, n_vir, max_body):
    rng = random.Random(seed)
    n_so = 2 * (n_core + n_act + n_vir)
    op = random_number_conserving(rng, n_so, max_body, 30)
    n_elec = 2 * n_core + rng.randint(0, 2 * n_act)
    occupied = set(range(n_elec))
    problem = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=occupied)
    folded = downfold_to_active(op, problem)
    assert all(0 <= p < 2 * n_act for t in folded for p, _ in t)
    assert all(sum(d for _, d in t) * 2 == len(t) for t in folded)
    want = projected_matrix(op, n_so, n_core, n_act, occupied)
    assert np.allclose(folded_matrix(folded, n_act), want, atol=1e-10)


def test_fold_with_an_unusual_reference_occupation():
    # The fold reads the occupation of each external spin-orbital from `occupied` alone.
    rng = random.Random(8)
    op = random_number_conserving(rng, 8, 3, 30)
    occupied = {1, 3, 6}
    folded = downfold_to_active(op, SimpleNamespace(n_core=1, n_act=2, occupied=occupied))
    want = projected_matrix(op, 8, 1, 2, occupied)
    assert np.allclose(folded_matrix(folded, 2), want, atol=1e-10)


def lih_problem():
    """LiH/STO-3G with one core, three active and two virtual spatial orbitals."""
    try:
        from chem import problem
        p = problem("lih", active_space="manual", n_act=3, n_act_elec=2)
        return p.hamiltonian, p.n_core, p.n_act, p.occupied
    except ImportError:
        pass
    from openfermion import InteractionOperator, get_fermion_operator
    from openfermion.chem.molecular_data import spinorb_from_spatial
    from pyscf import ao2mo, gto, scf
    mol = gto.M(atom=[("Li", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.6))], basis="sto-3g",
                verbose=0)
    mf = scf.RHF(mol).run()
    mo = mf.mo_coeff
    n = mo.shape[1]
    h1 = mo.T @ mf.get_hcore() @ mo
    eri = ao2mo.restore(1, ao2mo.kernel(mol, mo), n)
    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1), dtype=float))
    h = normal_ordered(get_fermion_operator(InteractionOperator(float(mol.energy_nuc()), one,
                                                                0.5 * two)))
    return h, 1, 3, set(range(mol.nelectron))


def test_fold_of_a_molecular_hamiltonian():
    h, n_core, n_act, occupied = lih_problem()
    n_so = 2 * 6
    problem = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=occupied)
    folded = downfold_to_active(dict(h.terms), problem)
    want = projected_matrix(dict(h.terms), n_so, n_core, n_act, occupied)
    assert np.allclose(folded_matrix(folded, n_act), want, atol=1e-10)
    # The constant is the energy of the frozen core with the nuclear repulsion.
    assert abs(folded[()].imag) < 1e-12


# ------------------------------------------------------------------------ edge cases

def test_whole_space_active_gives_back_the_operator():
    rng = random.Random(4)
    op = random_number_conserving(rng, 6, 3, 25)
    folded = downfold_to_active(op, SimpleNamespace(n_core=0, n_act=3, occupied={0, 1}))
    want = {t: c for t, c in normal_ordered(to_fo(op)).terms.items() if abs(c) > 1e-12}
    assert set(folded) == set(want)
    assert max(abs(folded[t] - want[t]) for t in want) < 1e-12


def test_empty_and_constant_operators():
    problem = SimpleNamespace(n_core=1, n_act=1, occupied={0, 1})
    assert downfold_to_active({}, problem) == {}
    assert downfold_to_active({(): 2.5}, problem) == {(): 2.5}


@pytest.mark.parametrize("p,want", [(0, {(): 0.75}), (1, {(): 0.75}), (4, {}), (5, {})])
def test_number_operator_on_core_and_virtual(p, want):
    # Spin-orbitals 0, 1 are occupied core; 4, 5 are empty virtual.
    problem = SimpleNamespace(n_core=1, n_act=1, occupied={0, 1})
    assert downfold_to_active({((p, 1), (p, 0)): 0.75}, problem) == want


# ------------------------------------------------------------------ module contract

def test_module_attributes_and_signature():
    assert projector.FermionOp is base.FermionOp
    assert projector.majorana is majorana
    sig = inspect.signature(downfold_to_active)
    assert list(sig.parameters) == ["hamiltonian", "problem"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in sig.parameters.values())


@pytest.mark.parametrize("args,kwargs", [((), {}), (({},), {}), (({}, None, None), {}),
                                         (({}, None), {"extra": 1})])
def test_wrong_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        downfold_to_active(*args, **kwargs)


def test_functions_are_looked_up_at_every_call(monkeypatch):
    calls = []
    real = {name: getattr(majorana, name)
            for name in ("expand_to_majorana", "downfold", "majorana_to_fermion")}

    def spy(name):
        def f(*args):
            calls.append(name)
            return real[name](*args)
        return f

    for name in real:
        monkeypatch.setattr(majorana, name, spy(name))
    problem = SimpleNamespace(n_core=0, n_act=1, occupied={0})
    assert downfold_to_active({((0, 1), (0, 0)): 1.0}, problem) == {((0, 1), (0, 0)): 1.0}
    assert calls == ["expand_to_majorana", "downfold", "majorana_to_fermion"]


def test_missing_problem_attribute_raises_after_the_expansion(monkeypatch):
    calls = []
    real = majorana.expand_to_majorana
    monkeypatch.setattr(majorana, "expand_to_majorana", lambda h: calls.append(1) or real(h))
    with pytest.raises(AttributeError):
        downfold_to_active({(): 1.0}, SimpleNamespace(n_core=0, n_act=1))
    assert calls == [1]


def test_errors_of_the_majorana_module_propagate(monkeypatch):
    class Boom(Exception):
        pass

    def fail(*args):
        raise Boom("from downfold")

    monkeypatch.setattr(majorana, "downfold", fail)
    with pytest.raises(Boom, match="from downfold"):
        downfold_to_active({(): 1.0}, SimpleNamespace(n_core=0, n_act=1, occupied=set()))
    monkeypatch.undo()
    with pytest.raises(ValueError, match="64"):
        downfold_to_active({((64, 1), (0, 0)): 1.0},
                           SimpleNamespace(n_core=0, n_act=1, occupied=set()))
