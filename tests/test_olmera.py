"""The OpenFermion reference backend against sparse-matrix and dense-algebra oracles."""

from __future__ import annotations

import copy
import inspect
import math

import numpy as np
import pytest
import scipy.linalg
import scipy.optimize
from openfermion import FermionOperator, get_sparse_operator, hermitian_conjugated, normal_ordered

from chem import fresh_python, problem
from korvel.backends import get_backend
from korvel.backends.base import Backend
from korvel.backends import olmera
from korvel.backends.olmera import OpenFermionBackend, _diagonal_on, _from_of, _to_of

B = OpenFermionBackend()
N0, N1 = ((0, 1), (0, 0)), ((1, 1), (1, 0))            # a0+ a0, a1+ a1
SINGLE = {((1, 1), (0, 0)): 1.0, ((0, 1), (1, 0)): -1.0}  # a1+ a0 - a0+ a1


# --------------------------------------------------------------------------- helpers

def fop(op):
    """FermionOperator built term by term through OpenFermion's own constructor."""
    out = FermionOperator()
    for term, c in op.items():
        out += FermionOperator(term, c)
    return out


def dense(op, nq):
    if not op:
        return np.zeros((2 ** nq, 2 ** nq), complex)
    return get_sparse_operator(fop(op), n_qubits=nq).toarray()


def excitation(cre, ann):
    """Unit anti-Hermitian generator a+_cre... a_ann... minus its adjoint."""
    t = tuple((p, 1) for p in cre) + tuple((q, 0) for q in ann)
    adj = tuple((p, 1 - d) for p, d in reversed(t))
    return {t: 1.0, adj: -1.0}


def random_op(seed, nq, n_terms, bodies=(1, 2), shuffle=False):
    """Random number-conserving operator with complex coefficients."""
    rng = np.random.default_rng(seed)
    op = {}
    for _ in range(n_terms):
        k = int(rng.choice(bodies))
        term = [(int(p), 1) for p in rng.choice(nq, k, replace=False)]
        term += [(int(q), 0) for q in rng.choice(nq, k, replace=False)]
        if shuffle:
            term = [term[i] for i in rng.permutation(len(term))]
        op[tuple(term)] = complex(rng.normal(), rng.normal())
    return op


def random_hermitian(seed, nq, n_terms):
    """Random Hermitian operator: orbital energies, pair energies and random couplings."""
    rng = np.random.default_rng(seed + 1000)
    f = fop(random_op(seed, nq, n_terms))
    f = 0.5 * (f + hermitian_conjugated(f))
    for p in range(nq):
        f += FermionOperator(((p, 1), (p, 0)), rng.normal())
        for q in range(p):
            f += FermionOperator(((p, 1), (q, 1), (p, 0), (q, 0)), rng.normal())
    return dict(normal_ordered(f).terms)


def canonical(term):
    """Creations left of annihilations, each block strictly descending."""
    daggers = [d for _, d in term]
    nc = daggers.count(1)
    cre, ann = [p for p, _ in term[:nc]], [p for p, _ in term[nc:]]
    return (daggers == [1] * nc + [0] * (len(term) - nc)
            and cre == sorted(set(cre), reverse=True) and ann == sorted(set(ann), reverse=True))


def hf_index(occupied, nq):
    return sum(1 << (nq - 1 - p) for p in set(occupied))


def energy_along(h, gen, occupied, nq):
    """theta -> <HF| e^{-theta A} H e^{theta A} |HF> with dense matrix exponentials."""
    H, A, i = dense(h, nq), dense(gen, nq), hf_index(occupied, nq)

    def energy(theta):
        psi = scipy.linalg.expm(theta * A)[:, i]
        return float(np.vdot(psi, H @ psi).real)
    return energy


def molecule(name):
    """(Hamiltonian terms, occupied, n_orb, HF energy) of an STO-3G molecule."""
    p = problem(name)
    return dict(p.hamiltonian.terms), frozenset(p.occupied), p.n_orb, p.e_ref


# --------------------------------------------------------------------------- frame

def test_module_loads_without_numerical_libraries():
    code = ("import sys, korvel.backends.olmera as m\n"
            "print(sorted(k for k in ('openfermion', 'scipy', 'numpy') if k in sys.modules))\n"
            "print(m.Backend.__module__, m.FermionOp is __import__('korvel.backends.base')"
            ".backends.base.FermionOp, m.math.__name__, m.Iterable.__name__)")
    out = fresh_python(code)
    assert out.stdout.split("\n")[:2] == ["[]", "korvel.backends.base True math Iterable"]


def test_class_frame_and_registry():
    assert issubclass(OpenFermionBackend, Backend) and OpenFermionBackend.name == "openfermion"
    assert OpenFermionBackend.__doc__ == (
        "The reference operator algebra, implemented directly on OpenFermion.")
    methods = [k for k, v in vars(OpenFermionBackend).items() if callable(v)]
    assert methods == ["commutator", "multiply", "normal_order", "_truncate_body",
                       "similarity_transform", "rotate_single", "optimal_theta",
                       "hf_expectation", "gradient"]
    assert type(get_backend("openfermion")) is OpenFermionBackend and B.available()


@pytest.mark.parametrize("fn, text", [
    (_to_of, "(op: 'FermionOp') -> 'FermionOperator'"),
    (_from_of, "(fo, tol: 'float' = 1e-12) -> 'FermionOp'"),
    (_diagonal_on, "(term: 'tuple', occ: 'set[int]') -> 'bool'"),
    (B.commutator, "(a: 'FermionOp', b: 'FermionOp') -> 'FermionOp'"),
    (B.normal_order, "(a: 'FermionOp') -> 'FermionOp'"),
    (B._truncate_body, "(op: 'FermionOp', max_body: 'int | None') -> 'FermionOp'"),
    (B.similarity_transform, "(h: 'FermionOp', generator: 'FermionOp', *, n_comm: 'int', "
                             "max_body: 'int | None') -> 'FermionOp'"),
    (B.rotate_single, "(h: 'FermionOp', generator: 'FermionOp', theta: 'float', *, "
                      "max_body: 'int | None', substeps: 'int' = 16) -> 'FermionOp'"),
    (B.optimal_theta, "(h: 'FermionOp', generator: 'FermionOp', occupied, n_orb: 'int') "
                      "-> 'float'"),
    (B.hf_expectation, "(h: 'FermionOp', occupied: 'Iterable[int]') -> 'complex'"),
    (B.gradient, "(h: 'FermionOp', generator: 'FermionOp', occupied: 'Iterable[int]') "
                 "-> 'float'"),
])
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text


# --------------------------------------------------------------------------- algebra

@pytest.mark.parametrize("call, expected", [
    (lambda: B.commutator(SINGLE, SINGLE), {}),
    (lambda: B.commutator({}, {}), {}),
    (lambda: B.multiply({}, {}), {}),
    (lambda: B.normal_order({}), {}),
    (lambda: B.multiply({(): 1}, {(): 1}), {(): 1 + 0j}),
    (lambda: B.normal_order({((1, 0), (1, 1)): 1}), {(): 1 + 0j, N1: -1 + 0j}),
    (lambda: B.multiply({((1, 1),): 1}, {((1, 1),): 1}), {}),
    (lambda: B.normal_order({N0: 1e-12, N1: 1.1e-12}), {N1: 1.1e-12 + 0j}),
    (lambda: B.multiply({N0: 1e-12, N1: 1.1e-12}, {(): 1}), {N1: 1.1e-12 + 0j}),
    (lambda: B.commutator({((1, 1), (0, 0)): 0.5e-12, ((2, 1), (0, 0)): 0.55e-12},
                          {N0: 2.0}), {((2, 1), (0, 0)): 1.1e-12 + 0j}),
    (lambda: B.normal_order({N0: 2}), {N0: 2 + 0j}),
])
def test_algebra_edge_cases(call, expected):
    out = call()
    assert out == expected and all(type(c) is complex for c in out.values())


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("op", ["multiply", "commutator", "normal_order"])
def test_algebra_against_sparse_matrices(op, seed):
    a, b = random_op(seed, 6, 6, shuffle=True), random_op(seed + 10, 6, 6, shuffle=True)
    a_saved, b_saved = copy.deepcopy(a), copy.deepcopy(b)
    A, Bm = dense(a, 6), dense(b, 6)
    out, ref = {"multiply": (lambda: B.multiply(a, b), A @ Bm),
                "commutator": (lambda: B.commutator(a, b), A @ Bm - Bm @ A),
                "normal_order": (lambda: B.normal_order(a), A)}[op]
    out = out()
    assert np.abs(dense(out, 6) - ref).max() < 1e-12
    assert all(canonical(t) and type(c) is complex and abs(c) > 1e-12 for t, c in out.items())
    assert a == a_saved and b == b_saved


@pytest.mark.parametrize("op", ["multiply", "commutator", "normal_order"])
def test_small_coefficients_are_kept_down_to_the_cut(op):
    # The results are linear in each argument: scaling one by 1e-10 scales the result,
    # and nothing above 1e-12 may vanish on the way (OpenFermion's own += deletes
    # coefficients below 1e-8 while it accumulates).
    a, b = random_op(21, 6, 6, shuffle=True), random_op(22, 6, 6, shuffle=True)
    small = {t: 1e-10 * c for t, c in a.items()}
    run = {"multiply": lambda x: B.multiply(x, b), "commutator": lambda x: B.commutator(b, x),
           "normal_order": B.normal_order}[op]
    full, scaled = run(a), run(small)
    assert full.keys() == scaled.keys() and len(full) > 0
    assert max(abs(scaled[t] - 1e-10 * c) for t, c in full.items()) < 1e-22
    ref = {"multiply": lambda: fop(a) * fop(b), "commutator": lambda: fop(b) * fop(a) - fop(a) * fop(b),
           "normal_order": lambda: fop(a)}[op]()
    assert list(full) == list(normal_ordered(ref).terms)  # OpenFermion's canonical terms


def test_conversions():
    op = {((3, 1), (5, 0)): 2, ((0, 0), (0, 1)): 0.5j}  # kept as given, not reordered
    fo = _to_of(op)
    assert type(fo) is FermionOperator and fo.terms == op
    assert all(type(c) is complex for c in fo.terms.values())
    fo.terms[()] = 1e-12
    assert _from_of(fo) == {**op} and _from_of(fo, tol=0.6) == {((3, 1), (5, 0)): 2 + 0j}
    assert _from_of(fo, 0) == {**op, (): 1e-12 + 0j}
    for bad, exc in [(lambda: _to_of(None), AttributeError), (lambda: _from_of(op), AttributeError),
                     (lambda: _from_of(fo, "x"), TypeError)]:
        with pytest.raises(exc):
            bad()


def test_truncate_body():
    op = {(): 1, ((0, 1),): 2, N0: 3, ((1, 1), (0, 1), (1, 0), (0, 0)): 4.5}
    assert B._truncate_body(op, None) is op
    assert B._truncate_body(op, 0) == {(): 1}
    assert B._truncate_body(op, 1) == {(): 1, ((0, 1),): 2, N0: 3}
    assert B._truncate_body(op, 2.9) == op and B._truncate_body(op, 2.9) is not op
    assert type(B._truncate_body(op, 1)[N0]) is int  # coefficients pass unconverted
    with pytest.raises(TypeError, match="max_body"):
        B._truncate_body(op, "1")
    with pytest.raises(AttributeError):
        B._truncate_body(None, 1)


# --------------------------------------------------------------------------- series

def series_by_hand(h, sigma, n_comm, max_body):
    """H + sum_n ad^n(H)/n! in OpenFermion, capped as the transform caps it."""
    def cap(f):
        return f if max_body is None else FermionOperator() + sum(
            (FermionOperator(t, c) for t, c in f.terms.items() if len(t) <= 2 * max_body),
            FermionOperator())
    S, cur, total = fop(sigma), fop(h), fop(h)
    for n in range(1, n_comm + 1):
        cur = cap(normal_ordered(cur * S - S * cur))
        total += cur / math.factorial(n)
    return {t: c for t, c in cap(total).terms.items() if abs(c) > 1e-12}


@pytest.mark.parametrize("max_body", [None, 1, 2])
@pytest.mark.parametrize("n_comm", [1, 2])
@pytest.mark.parametrize("seed", range(2))
def test_similarity_transform_term_by_term(seed, n_comm, max_body):
    h = B.normal_order(random_op(seed, 6, 8))
    sigma = random_op(seed + 5, 6, 4, bodies=(1, 2))
    out = B.similarity_transform(h, sigma, n_comm=n_comm, max_body=max_body)
    ref = series_by_hand(h, sigma, n_comm, max_body)
    assert out.keys() == ref.keys()
    assert max(abs(out[t] - ref[t]) for t in ref) < 1e-12


def test_similarity_transform_second_order_of_a_single_and_trivial_series():
    t = 0.3
    sigma = {k: t * v for k, v in SINGLE.items()}
    out = B.similarity_transform({N0: 1.0}, sigma, n_comm=2, max_body=None)
    assert out == pytest.approx({N0: 1 - t * t, N1: t * t, ((1, 1), (0, 0)): -t,
                                 ((0, 1), (1, 0)): -t})
    h = {N0: 1, (): 1e-12, ((1, 1), (0, 1), (1, 0), (0, 0)): 2.0}
    expect = {N0: 1, ((1, 1), (0, 1), (1, 0), (0, 0)): 2.0}
    for gen, n_comm in [({}, 3), (SINGLE, 0)]:
        out = B.similarity_transform(h, gen, n_comm=n_comm, max_body=None)
        assert out == expect and type(out[N0]) is int
        assert B.similarity_transform(h, gen, n_comm=n_comm, max_body=1) == {N0: 1}


@pytest.mark.parametrize("which", ["h2", "random"])
def test_similarity_transform_against_exact_exponential(which):
    if which == "h2":
        h, _, _, _ = molecule("h2")
        sigma = {((3, 1), (2, 1), (1, 0), (0, 0)): 0.2, ((2, 1), (0, 0)): 0.1}  # not anti-Hermitian
    else:
        h, sigma = random_op(7, 4, 8), {k: 0.05 * v for k, v in random_op(8, 4, 4).items()}
    out = B.similarity_transform(h, sigma, n_comm=10, max_body=None)
    S = dense(sigma, 4)
    exact = scipy.linalg.expm(-S) @ dense(h, 4) @ scipy.linalg.expm(S)
    assert np.abs(dense(out, 4) - exact).max() < 1e-10


@pytest.mark.parametrize("kwargs, args, match", [
    ({}, (), "n_comm"), ({"n_comm": 1}, (), "max_body"), ({}, (1, None), "argument"),
    ({"n_comm": "2", "max_body": None}, (), "n_comm"), ({"n_comm": 1, "max_body": 1j}, (), "max_body"),
])
def test_similarity_transform_argument_errors(kwargs, args, match):
    with pytest.raises(TypeError, match=match):
        B.similarity_transform({N0: 1}, SINGLE, *args, **kwargs)


# --------------------------------------------------------------------------- rotation

GENERATORS = {"single": excitation((2,), (0,)), "double": excitation((3, 2), (1, 0))}


@pytest.mark.parametrize("theta", [-1.3, 0.4, math.pi / 2, 2.5])
@pytest.mark.parametrize("gen", ["single", "double"])
@pytest.mark.parametrize("which", ["h2", "random"])
def test_rotate_single_against_exact_rotation(which, gen, theta):
    h = molecule("h2")[0] if which == "h2" else random_op(3, 4, 10)
    A = GENERATORS[gen]
    out = B.rotate_single(h, A, theta, max_body=None)
    Ad = dense(A, 4)
    exact = scipy.linalg.expm(-theta * Ad) @ dense(h, 4) @ scipy.linalg.expm(theta * Ad)
    assert np.abs(dense(out, 4) - exact).max() < 1e-10


def test_rotate_single_edges():
    assert B.rotate_single({N0: 1, N1: 1}, SINGLE, math.pi / 2, max_body=None) == {N0: 1, N1: 1}
    out = B.rotate_single({N0: 1}, SINGLE, math.pi / 2, max_body=None)
    assert out.keys() == {N1} and abs(out[N1] - 1) < 1e-12
    h = {N0: 2, N1: 1e-13, (): 1.1e-13}
    assert B.rotate_single(h, {}, 0.7, max_body=None, substeps=3) == {N0: 2, (): 1.1e-13}
    # The result is capped at max_body like the other backends' rotation.
    full = B.rotate_single({N0: 1.0}, GENERATORS["double"], 0.3, max_body=None)
    assert any(len(t) == 4 for t in full)
    assert B.rotate_single({N0: 1.0}, GENERATORS["double"], 0.3, max_body=1) == {
        t: c for t, c in full.items() if len(t) <= 2}
    with pytest.raises(ZeroDivisionError):
        B.rotate_single(h, SINGLE, 0.1, max_body=None, substeps=0)
    for bad, match in [(dict(max_body=None, substeps=-2), "substeps"), ({}, "max_body"),
                       (dict(max_body="x"), "max_body"), (dict(max_body=None, substeps="4"),
                                                          "substeps")]:
        with pytest.raises((TypeError, ValueError), match=match):
            B.rotate_single(h, SINGLE, 0.1, **bad)
    with pytest.raises(TypeError, match="theta"):
        B.rotate_single(h, SINGLE, "0.1", max_body=None)


# --------------------------------------------------------------------------- HF quantities

@pytest.mark.parametrize("term, occ, expected", [
    ((), set(), True), (N1, {1}, True), (N1, set(), False), (((2, 1), (1, 0)), {1, 2}, False),
    (((3, 1), (1, 1), (3, 0), (1, 0)), {1, 3}, True), (((3, 1), (1, 1), (3, 0), (1, 0)), {1}, False),
    (((1, 1), (1, 7)), {1}, False),  # an unknown dagger value joins neither block
])
def test_diagonal_on(term, occ, expected):
    assert _diagonal_on(term, occ) is expected


@pytest.mark.parametrize("term, occ, exc", [
    ([(1, 1), (1, 0)], {1}, TypeError), ((), frozenset(), TypeError), ((), None, TypeError),
    (((1, 1, 0),), {1}, ValueError), (((1,),), {1}, ValueError),
])
def test_diagonal_on_errors(term, occ, exc):
    with pytest.raises(exc):
        _diagonal_on(term, occ)


@pytest.mark.parametrize("h, occ, expected", [
    ({(): 2.5}, [], 2.5), ({(): 2.5}, {0, 3}, 2.5), ({((0, 0), (0, 1)): 1}, set(), 1),
    ({((0, 0), (0, 1)): 1}, {0}, 0), ({N0: 1, N1: 1, ((1, 1), (0, 1), (1, 0), (0, 0)): 0.5}, {0, 1}, 1.5),
])
def test_hf_expectation_edges(h, occ, expected):
    out = B.hf_expectation(h, occ)
    assert type(out) is complex and out == expected


@pytest.mark.parametrize("seed", range(4))
def test_hf_expectation_against_sparse_diagonal(seed):
    h = random_op(seed, 6, 30, bodies=(1, 2, 3), shuffle=True)
    occ = [int(p) for p in np.random.default_rng(seed).choice(6, 3, replace=False)]
    assert abs(B.hf_expectation(h, iter(occ)) - dense(h, 6)[hf_index(occ, 6), hf_index(occ, 6)]) < 1e-12


@pytest.mark.parametrize("name", ["h2", "lih"])
def test_hf_expectation_is_the_scf_energy(name):
    h, occ, _, e_hf = molecule(name)
    assert abs(B.hf_expectation(h, occ) - e_hf) < 1e-8


@pytest.mark.parametrize("which, gen", [("h2", "double"), ("random", "single"),
                                        ("random", "double")])
def test_gradient_against_finite_difference(which, gen):
    if which == "h2":
        h, occ = molecule("h2")[:2]
    else:
        h, occ = random_hermitian(11, 4, 12), {0, 1}
    A, d = GENERATORS[gen], 1e-5
    energy = energy_along(h, A, occ, 4)
    fd = (energy(d) - energy(-d)) / (2 * d)
    g = B.gradient(h, A, occ)
    assert type(g) is float and abs(g - fd) < 1e-8 and (which != "h2" or abs(g) > 1e-3)
    assert B.gradient({((0, 1), (1, 0)): 1, ((1, 1), (0, 0)): 1}, SINGLE, {0}) == 2.0


@pytest.mark.parametrize("which, gen", [("h2", "double"), ("h2", "single"), ("random", "single"),
                                        ("random", "double")])
def test_optimal_theta_against_brute_force(which, gen):
    h, occ = molecule("h2")[:2] if which == "h2" else (random_hermitian(5, 4, 12), {0, 1})
    A = GENERATORS[gen]

    energy = energy_along(h, A, occ, 4)
    # E is pi-periodic for one excitation: scan a full period and polish the best point
    thetas = np.linspace(-math.pi, math.pi, 4001)
    i = int(np.argmin([energy(t) for t in thetas]))
    best = scipy.optimize.minimize_scalar(energy, bounds=(thetas[max(i - 1, 0)],
                                                          thetas[min(i + 1, 4000)]),
                                          method="bounded", options={"xatol": 1e-11}).x
    theta = B.optimal_theta(h, A, occ, 2)
    assert type(theta) is float and abs((theta - best + math.pi / 2) % math.pi - math.pi / 2) < 1e-6
    assert energy(theta) - energy(best) < 1e-11
    if which == "h2" and gen == "double":  # one double rotation reaches full CI in H2/STO-3G
        H = dense(h, 4)
        n = np.array([bin(k).count("1") for k in range(16)])
        e_fci = np.linalg.eigvalsh(H[np.ix_(n == 2, n == 2)])[0]
        assert abs(energy(theta) - e_fci) < 1e-10 and e_fci < molecule("h2")[3] - 1e-2


def test_optimal_theta_edges():
    assert abs(B.optimal_theta({N0: 1}, SINGLE, {1}, 1)) < 1e-6  # E = sin^2(theta)
    # The vacuum is basis state 0: a0+ - a0 fills orbital 0 from it, E = -sin^2(theta).
    odd = {((0, 1),): 1.0, ((0, 0),): -1.0}
    assert abs(abs(B.optimal_theta({N0: -1}, odd, [], 1)) - math.pi / 2) < 1e-6
    assert abs(B.optimal_theta({N0: -1}, odd, [0], 1)) < 1e-6
    # A repeated occupied index counts once (E = cos^2(theta) from a1+ a1 along 1 -> 2).
    a = excitation((2,), (1,))
    assert abs(abs(B.optimal_theta({N1: 1}, a, [1, 1], 2)) - math.pi / 2) < 1e-6
    for occ, n_orb, exc in [({2}, 1, ValueError), ({-1}, 1, IndexError), ({0}, "1", TypeError),
                            ({0}, -1, ValueError)]:
        with pytest.raises(exc):
            B.optimal_theta({N0: 1}, SINGLE, occ, n_orb)


# --------------------------------------------------------------------------- overrides

class Doubled(OpenFermionBackend):
    """Commutator scaled by two: ad doubles, so every composite operation must follow."""

    def commutator(self, a, b):
        return {t: 2 * c for t, c in super().commutator(a, b).items()}


def test_subclass_commutator_reaches_composites():
    d, (h, occ) = Doubled(), molecule("h2")[:2]
    A = GENERATORS["double"]
    assert d.similarity_transform(h, A, n_comm=1, max_body=None) == pytest.approx(
        {t: c for t, c in B.similarity_transform(
            h, {k: 2 * v for k, v in A.items()}, n_comm=1, max_body=None).items()})
    Ad = dense(A, 4)
    exact = scipy.linalg.expm(-0.6 * Ad) @ dense(h, 4) @ scipy.linalg.expm(0.6 * Ad)
    assert np.abs(dense(d.rotate_single(h, A, 0.3, max_body=None), 4) - exact).max() < 1e-10
    assert d.gradient(h, A, occ) == pytest.approx(2 * B.gradient(h, A, occ), abs=1e-14)
