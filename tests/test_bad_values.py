"""Bad values at the entry points of the reference backend and the CCSD downfold:
NaN and infinite coefficients and angles are refused by name, overflow is an
OverflowError, sizes that cannot exist are refused before anything is built; legal
values still give the result of an independent oracle (OpenFermion, dense matrices,
plain Python)."""

from __future__ import annotations

import math
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.linalg
from openfermion import (FermionOperator, commutator, get_sparse_operator,
                         normal_ordered)

from korvel.backends.olmera import OpenFermionBackend, _to_of
from korvel.methods import cendrel

B = OpenFermionBackend()
NAN, INF = float("nan"), float("inf")
H = {((0, 1), (0, 0)): 0.7, ((1, 1), (1, 0)): -0.3, ((1, 1), (0, 0)): 0.2,
     ((0, 1), (1, 0)): 0.2, ((1, 1), (0, 1), (1, 0), (0, 0)): 0.5}
A = {((1, 1), (0, 0)): 1.0, ((0, 1), (1, 0)): -1.0}     # a1+ a0 - a0+ a1
BAD_TERM = ((1, 1), (0, 0))
BAD_VALUES = [NAN, INF, -INF, complex(1.0, NAN), complex(INF, 0.0)]


def fop(op):
    out = FermionOperator()
    for term, c in op.items():
        out += FermionOperator(term, c)
    return out


def dense(op, nq=2):
    return get_sparse_operator(fop(op), n_qubits=nq).toarray()


def canonical(fo, tol=1e-12):
    return {t: complex(c) for t, c in normal_ordered(fo).terms.items() if abs(c) > tol}


def assert_same(got, want, tol=1e-12):
    assert set(got) == set(want)
    for t in want:
        assert abs(got[t] - want[t]) <= tol, t


def spoiled(op, value):
    out = dict(op)
    out[BAD_TERM] = value
    return out


# --------------------------------------------------------------------------
# non-finite coefficients: ValueError naming the argument and the term

CALLS = {
    "commutator": (lambda h, g: B.commutator(h, g), ("a", "b")),
    "multiply": (lambda h, g: B.multiply(h, g), ("a", "b")),
    "normal_order": (lambda h, g: B.normal_order(h), ("a", None)),
    "similarity_transform": (lambda h, g: B.similarity_transform(h, g, n_comm=2,
                                                                 max_body=None),
                             ("h", "generator")),
    "rotate_single": (lambda h, g: B.rotate_single(h, g, 0.3, max_body=None),
                      ("h", "generator")),
    "hf_expectation": (lambda h, g: B.hf_expectation(h, {0}), ("h", None)),
    "gradient": (lambda h, g: B.gradient(h, g, {0}), ("h", "generator")),
    "optimal_theta": (lambda h, g: B.optimal_theta(h, g, {0}, 1), ("h", "generator")),
    "_to_of": (lambda h, g: _to_of(h), ("op", None)),
}


@pytest.mark.parametrize("value", BAD_VALUES, ids=repr)
@pytest.mark.parametrize("name, which", [(n, w) for n, (_, names) in CALLS.items()
                                         for w in (0, 1) if names[w]])
def test_non_finite_coefficient_is_refused_by_name(name, which, value):
    call, names = CALLS[name]
    args = [dict(H), dict(A)]
    args[which] = spoiled(args[which], value)
    with pytest.raises(ValueError) as err:
        call(*args)
    msg = str(err.value)
    assert msg.startswith(f"{names[which]}: ") and repr(BAD_TERM) in msg, msg
    assert "not finite" in msg


def test_refused_n_comm_zero_still_checks_h():
    # no commutator is taken with n_comm 0, yet the NaN must not pass through
    with pytest.raises(ValueError, match=r"^h: .*not finite"):
        B.similarity_transform(spoiled(H, NAN), A, n_comm=0, max_body=None)


# --------------------------------------------------------------------------
# angles

@pytest.mark.parametrize("theta", [NAN, INF, -INF])
def test_non_finite_angle_is_a_value_error(theta):
    with pytest.raises(ValueError, match=r"^theta must be a finite number"):
        B.rotate_single(H, A, theta, max_body=None)


@pytest.mark.parametrize("theta", [1e300, -1e300, 1e30])
def test_angle_whose_series_overflows_never_loses_the_hamiltonian(theta):
    with pytest.raises(OverflowError, match="substeps"):
        B.rotate_single(H, A, theta, max_body=None)


@pytest.mark.parametrize("theta, substeps", [(1e3, 16), (-1e5, 16), (1e5, 1000)])
def test_angle_whose_series_cannot_converge_is_refused(theta, substeps):
    with pytest.raises(OverflowError, match="does not converge"):
        B.rotate_single(H, A, theta, max_body=None, substeps=substeps)


@pytest.mark.parametrize("theta, substeps", [(0.0, 16), (0.4, 16), (-1.3, 16),
                                             (math.pi, 16), (30.0, 16), (100.0, 200)])
def test_finite_angle_matches_the_matrix_exponential(theta, substeps):
    got = B.rotate_single(H, A, theta, max_body=None, substeps=substeps)
    a = dense(A)
    want = scipy.linalg.expm(-theta * a) @ dense(H) @ scipy.linalg.expm(theta * a)
    np.testing.assert_allclose(dense(got), want, atol=1e-8)


# --------------------------------------------------------------------------
# overflow of finite inputs

BIG = {((0, 1), (0, 0)): 1e200}


@pytest.mark.parametrize("call", [
    lambda: B.multiply(BIG, BIG),
    lambda: B.commutator({((0, 1), (1, 0)): 1e300}, {((1, 1), (0, 0)): 1e300}),
    lambda: B.normal_order({((0, 0), (0, 1)): 1.7e308, (): 1.7e308}),
    lambda: B.similarity_transform({((0, 1), (1, 0)): 1e300}, {((1, 1), (0, 0)): 1e300},
                                   n_comm=2, max_body=None),
    lambda: B.hf_expectation({(): 1.7e308, ((0, 1), (0, 0)): 1.7e308}, {0}),
    lambda: B.gradient({((0, 1), (1, 0)): 1e300, ((1, 1), (0, 0)): 1e300},
                       {((1, 1), (0, 0)): 1e300, ((0, 1), (1, 0)): -1e300}, {0}),
    lambda: cendrel._nonhermiticity_l1({((0, 1), (1, 0)): 1.7e308,
                                        ((2, 1), (3, 0)): 1.7e308}),
], ids=["multiply", "commutator", "normal_order", "similarity_transform",
        "hf_expectation", "gradient", "nonhermiticity_l1"])
def test_sums_that_overflow_raise_instead_of_returning_inf(call):
    with pytest.raises(OverflowError, match="overflows"):
        call()


def test_large_but_representable_values_agree_with_openfermion():
    a = {((0, 1), (1, 0)): 1e150, ((1, 1), (0, 0)): 2e150}
    b = {((1, 1), (0, 0)): 3e150}
    assert_same(B.commutator(a, b), canonical(commutator(fop(a), fop(b))), tol=1e288)
    assert B.hf_expectation({(): 1e307, ((0, 1), (0, 0)): 1e307}, {0}) == 2e307


# --------------------------------------------------------------------------
# sizes

@pytest.mark.parametrize("n_orb", [2**62, 2**62 + 1, 2**31, 40, 32])
def test_optimal_theta_size_beyond_memory_is_refused_up_front(n_orb):
    with pytest.raises(MemoryError, match=f"n_orb={n_orb}"):
        B.optimal_theta(H, A, {0}, n_orb)


def test_optimal_theta_size_beyond_64_bits_is_a_clear_error():
    with pytest.raises(ValueError, match="n_orb is out of range"):
        B.optimal_theta(H, A, {0}, 2**70)


def test_optimal_theta_after_refusals_matches_a_dense_scan():
    for bad in (2**62, 2**40):
        with pytest.raises(MemoryError):
            B.optimal_theta(H, A, {0}, bad)
    got = B.optimal_theta(H, A, {0}, 1)
    # E(theta) on the dense 4x4 space, minimised on a fine grid
    hf = np.zeros(4, complex)
    hf[2] = 1.0                                   # spin-orbital 0 is the high bit
    a, h = dense(A), dense(H)
    grid = np.linspace(-math.pi / 2 - 0.2, math.pi / 2 + 0.2, 20001)
    energies = [np.vdot(p := scipy.linalg.expm(t * a) @ hf, h @ p).real for t in grid]
    best = grid[int(np.argmin(energies))]
    e = lambda t: np.vdot(p := scipy.linalg.expm(t * a) @ hf, h @ p).real
    assert e(got) == pytest.approx(e(best), abs=1e-9)


# --------------------------------------------------------------------------
# the CCSD downfold's entry points

def test_witness_refuses_non_finite_and_matches_a_plain_sum():
    with pytest.raises(ValueError, match=r"^op: .*\(\(1, 1\), \(0, 0\)\).*not finite"):
        cendrel._nonhermiticity_l1(spoiled(H, NAN))
    op = {((0, 1), (1, 0)): 1 + 2j, ((1, 1), (0, 0)): 0.5, ((0, 1), (0, 0)): 2 + 3j}
    diff = {}
    for term, c in op.items():
        dag = tuple((p, 1 - d) for p, d in reversed(term))
        diff[term] = diff.get(term, 0) + c
        diff[dag] = diff.get(dag, 0) - np.conj(c)
    assert cendrel._nonhermiticity_l1(op) == pytest.approx(sum(abs(v) for v in diff.values()))


@pytest.mark.parametrize("value", [NAN, INF])
def test_ground_energy_refuses_non_finite(value):
    with pytest.raises(ValueError, match=r"term \(\(1, 1\), \(0, 0\)\) is not finite"):
        cendrel._nonhermitian_ground_energy(spoiled(H, value), 2, 1)


def test_ground_energy_of_a_legal_operator_matches_dense_eigenvalues():
    op = dict(H)
    op[((1, 1), (0, 0))] = 0.9                    # not Hermitian
    re, im = cendrel._nonhermitian_ground_energy(op, 2, 1)
    m = dense(op)[[1, 2]][:, [1, 2]]              # the one-electron states
    w = np.linalg.eigvals(m)
    root = w[np.argmin(w.real)]
    assert (re, im) == (pytest.approx(root.real), pytest.approx(root.imag, abs=1e-12))


@pytest.fixture
def amplitudes(monkeypatch):
    def install(t2):
        monkeypatch.setattr(cendrel, "compute_t2", lambda *a, **k: t2)
    return install


@pytest.mark.parametrize("tol", [NAN, INF, -INF])
def test_cluster_operator_refuses_non_finite_tol(amplitudes, tol):
    amplitudes(np.full((1, 1, 1, 1), 0.1))
    with pytest.raises(ValueError, match=r"^tol must be a finite number"):
        cendrel._cluster_operator_t2(SimpleNamespace(), kind="ccd_screened", tol=tol)


@pytest.mark.parametrize("as_array", [True, False])
def test_cluster_operator_refuses_non_finite_amplitude(amplitudes, as_array):
    t2 = np.full((2, 2, 1, 1), 0.1)
    t2[1, 0, 0, 0] = NAN
    amplitudes(t2 if as_array else t2.astype(object))   # buffer or item-by-item read
    with pytest.raises(ValueError, match=r"t2\[1, 0, 0, 0\] is not finite"):
        cendrel._cluster_operator_t2(SimpleNamespace(), kind="ccd_screened", tol=1e-8)


def test_cluster_operator_of_legal_amplitudes_is_the_plain_sum(amplitudes):
    t2 = np.array([[[[0.25]]]])
    amplitudes(t2)
    T = cendrel._cluster_operator_t2(SimpleNamespace(), kind="ccd_screened", tol=1e-8)
    # one occupied, one virtual orbital: a2+ a3+ a1 a0 with t2[0, 0, 0, 0]
    assert T == {((2, 1), (3, 1), (1, 0), (0, 0)): 0.25 + 0j}


@pytest.mark.parametrize("key, value, match", [
    ("ccsd_n_comm", NAN, r"option ccsd_n_comm must be a finite integer"),
    ("ccsd_max_body", INF, r"option ccsd_max_body must be a finite integer"),
    ("pool_tol", NAN, r"^pool_tol must be a finite number"),
])
def test_run_refuses_non_finite_options(amplitudes, key, value, match):
    amplitudes(np.full((1, 1, 1, 1), 0.1))
    options = {"ccsd_n_comm": 1, "ccsd_max_body": 4, "generator_pool": "ccd_screened",
               "pool_tol": 0.0, key: value}
    with pytest.raises(ValueError, match=match):
        cendrel.CCSDDownfold(options).run(SimpleNamespace(), B)
