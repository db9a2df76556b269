"""The Majorana backend: bit kernels, products, conversions and the similarity transform,
on both array routes (NumPy arrays in the engine, and the array-module route through a
proxy module), held against OpenFermion and the reference backend."""

from __future__ import annotations

import random
import sys
import types

import numpy as np
import pytest

import chem
from korvel.backends import tavrin
from korvel.backends.olmera import OpenFermionBackend
from korvel.backends.tavrin import CpuBackend, GpuBackend

REF = OpenFermionBackend()


class _Proxy(types.ModuleType):
    """An array module that is not numpy: every attribute is numpy's."""

    def __getattr__(self, name):
        return getattr(np, name)


PROXY = _Proxy("proxy_xp")


class ProxyBackend(GpuBackend):
    """GpuBackend whose array module is the proxy: the array-module route on the host."""

    @staticmethod
    def _xp():
        return PROXY


@pytest.fixture(params=["native", "proxy"])
def xp(request):
    return np if request.param == "native" else PROXY


def arrays(rows):
    """(lo, hi, c) from [(mask, coeff), ...] with 128-bit integer masks."""
    lo = np.array([m & (2**64 - 1) for m, _ in rows], dtype=np.uint64)
    hi = np.array([m >> 64 for m, _ in rows], dtype=np.uint64)
    return lo, hi, np.array([c for _, c in rows], dtype=np.complex128)


def rows_of(lo, hi, c):
    return [(int(l) | (int(h) << 64), complex(v)) for l, h, v in zip(lo, hi, c)]


def mono(*modes):
    return sum(1 << m for m in modes)


def product_oracle(a, b):
    """gamma_A gamma_B by counting the pairs (p in A, q in B) with p > q."""
    pa = [p for p in range(128) if a >> p & 1]
    pb = [q for q in range(128) if b >> q & 1]
    phi = sum(1 for p in pa for q in pb if p > q)
    return a ^ b, (-1) ** phi


def close(a, b, tol=1e-10):
    assert set(a) == set(b), sorted(set(a) ^ set(b))[:5]
    for k in a:
        assert abs(a[k] - b[k]) <= tol, (k, a[k], b[k])


def random_op(seed, nq, n_terms, bodies=(1, 2), conserving=True):
    rng = random.Random(seed)
    op = {}
    for _ in range(n_terms):
        k = rng.choice(bodies)
        cre = rng.sample(range(nq), k)
        ann = rng.sample(range(nq), k if conserving else rng.choice([k - 1, k + 1]))
        term = tuple((p, 1) for p in cre) + tuple((q, 0) for q in ann)
        if rng.random() < 0.3:
            term = tuple(rng.sample(term, len(term)))  # not normal-ordered
        op[term] = complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
    return op


# ---------------------------------------------------------------------------
# Availability and the array module


def test_available_probes_the_device(monkeypatch):
    # CuPy is installed on this machine without a device: False, not an error.
    assert GpuBackend().available() in (False, True)
    monkeypatch.setitem(sys.modules, "cupy", None)  # import fails
    assert GpuBackend().available() is False
    with pytest.raises(ImportError):
        GpuBackend().multiply({(): 1}, {(): 1})
    with pytest.raises(ImportError):
        GpuBackend().similarity_transform({(): 1}, {}, n_comm=1, max_body=None)

    def fake(count):
        mod = types.ModuleType("cupy")
        runtime = types.SimpleNamespace(getDeviceCount=count)
        mod.cuda = types.SimpleNamespace(runtime=runtime)
        return mod

    def raising():
        raise RuntimeError("cudaErrorNoDevice")

    monkeypatch.setitem(sys.modules, "cupy", fake(raising))
    assert GpuBackend().available() is False
    monkeypatch.setitem(sys.modules, "cupy", fake(lambda: 0))
    assert GpuBackend().available() is False
    monkeypatch.setitem(sys.modules, "cupy", fake(lambda: 2))
    assert GpuBackend().available() is True


def test_cpu_backend_frame():
    cpu = CpuBackend()
    assert isinstance(cpu, GpuBackend) and cpu.available() is True
    assert cpu._xp() is np and cpu.name == "cpu" and GpuBackend.name == "gpu"
    from korvel.backends import get_backend
    assert type(get_backend("cpu")) is CpuBackend


# ---------------------------------------------------------------------------
# Bit kernels


def test_popcount_and_or_reduce(xp):
    a = np.array([0, 2**64 - 1, 0b1011, 2**63], dtype=np.uint64)
    got = GpuBackend._popcount64(xp, a)
    assert got.dtype == np.uint64 and got.tolist() == [0, 64, 3, 1]
    assert GpuBackend._popcount64(xp, a.reshape(2, 2)).shape == (2, 2)
    host = GpuBackend._np_popcount(np, a)
    assert host.dtype == np.int64 and host.tolist() == [0, 64, 3, 1]
    assert int(GpuBackend._or_reduce(xp, np.zeros(0, dtype=np.uint64))) == 0
    assert int(GpuBackend._or_reduce(xp, np.array([0b0101, 0b0011], dtype=np.uint64))) == 0b0111


@pytest.mark.parametrize("lo, hi, expected", [
    (0, 0, []), (1, 1, [0, 64]), (2**63, 2**63, [63, 127]), (0b110, 0, [1, 2]),
])
def test_set_bits128(lo, hi, expected):
    assert GpuBackend._set_bits128(lo, hi) == expected


@pytest.mark.parametrize("lo, hi, exc", [(-1, 0, ValueError), (0, 2**64, ValueError),
                                         ("1", 0, TypeError), (0, 1.5, TypeError)])
def test_set_bits128_refuses_values_that_are_not_limbs(lo, hi, exc):
    with pytest.raises(exc):
        GpuBackend._set_bits128(lo, hi)


# ---------------------------------------------------------------------------
# Product, merge, commutator


@pytest.mark.parametrize("a, b, mask, sign", [
    (mono(0), mono(1), mono(0, 1), 1), (mono(1), mono(0), mono(0, 1), -1),
    (mono(0), mono(0), 0, 1), (mono(127), mono(127), 0, 1),
    (mono(0, 1), mono(0), mono(1), -1),
    (mono(64), mono(0), mono(0, 64), -1), (mono(0), mono(64), mono(0, 64), 1),
    (mono(63), mono(64), mono(63, 64), 1), (mono(64), mono(63), mono(63, 64), -1),
    (mono(0, 5), mono(1, 2, 3, 70, 100), mono(0, 1, 2, 3, 5, 70, 100), -1),
    (mono(1, 2, 3, 70, 100), mono(0, 5), mono(0, 1, 2, 3, 5, 70, 100), -1),
    (mono(62, 63, 64, 65), mono(63, 64, 127), mono(62, 65, 127), -1),
])
def test_product_signs_across_the_limbs(xp, a, b, mask, sign):
    out = GpuBackend._maj_product(xp, *arrays([(a, 1.0)]), *arrays([(b, 1.0)]))
    assert rows_of(*out) == [(mask, complex(sign))]
    assert product_oracle(a, b) == (mask, sign)


def test_product_grid_row_order_and_paths_agree():
    rng = random.Random(7)
    modes = [0, 1, 2, 5, 31, 62, 63, 64, 65, 90, 126, 127]
    for _ in range(20):
        A = [(sum(1 << m for m in rng.sample(modes, rng.randint(0, 5))), complex(rng.random(), rng.random()))
             for _ in range(rng.randint(1, 4))]
        B = [(sum(1 << m for m in rng.sample(modes, rng.randint(0, 5))), complex(rng.random(), 0))
             for _ in range(rng.randint(1, 4))]
        expected = []
        for ma, ca in A:  # row i*nb + j is A_i B_j
            for mb, cb in B:
                m, s = product_oracle(ma, mb)
                expected.append((m, s * ca * cb))
        for xp in (np, PROXY):
            got = rows_of(*GpuBackend._maj_product(xp, *arrays(A), *arrays(B)))
            assert [m for m, _ in got] == [m for m, _ in expected]
            assert np.allclose([c for _, c in got], [c for _, c in expected], atol=1e-14)
    empty = GpuBackend._maj_product(np, *arrays([]), *arrays([(1, 1.0)]))
    assert [len(e) for e in empty] == [0, 0, 0] and empty[2].dtype == np.complex128


def test_product_grid_too_large_for_memory_is_refused_before_allocation():
    big = (np.zeros(60000, dtype=np.uint64), np.zeros(60000, dtype=np.uint64),
           np.ones(60000, dtype=np.complex128))
    with pytest.raises(MemoryError, match="60000 x 60000"):
        GpuBackend._maj_product(np, *big, *big)


def test_merge_orders_sums_and_prunes(xp):
    lo, hi, c = np.array([5, 0, 1, 5], dtype=np.uint64), np.array([0, 2, 1, 0], dtype=np.uint64), \
        np.array([1, 1, 1, 2], dtype=np.complex128)
    assert rows_of(*GpuBackend._merge(xp, lo, hi, c)) == [(5, 3), (1 | 1 << 64, 1), (2 << 64, 1)]
    # A group that cancels, and one whose sum is exactly tol, are dropped.
    rows = arrays([(3, 1.0), (3, -1.0), (4, 0.5), (4, 0.5), (6, 0.25)])
    assert rows_of(*GpuBackend._merge(xp, *rows, 0.25)) == [(4, 1.0)]
    assert rows_of(*GpuBackend._merge(xp, *arrays([(7, 1.1e-12)]))) == [(7, 1.1e-12)]
    assert rows_of(*GpuBackend._merge(xp, *arrays([(7, 1e-12)]))) == []
    vals = np.array([1.0, 2.0, 3.0, 4.0])
    assert GpuBackend._seg_sum_vals(xp, vals, np.array([True, False, True, False])).tolist() == [3.0, 7.0]


def test_commutator_maj(xp):
    assert rows_of(*GpuBackend._commutator_maj(xp, *arrays([(mono(0, 1), 1.0)]),
                                               *arrays([(mono(2, 3), 1.0)]))) == []
    assert rows_of(*GpuBackend._commutator_maj(xp, *arrays([(mono(0), 1.0)]),
                                               *arrays([(mono(1), 1.0)]))) == [(mono(0, 1), 2.0)]
    assert rows_of(*GpuBackend._commutator_maj(xp, *arrays([]), *arrays([(1, 1.0)]))) == []


def test_array_routes_agree_on_random_operators():
    for seed in range(4):
        a, b = random_op(seed, 64, 4), random_op(seed + 10, 64, 3)
        A = [GpuBackend._to_maj(xp, a) for xp in (np, PROXY)]
        B = [GpuBackend._to_maj(xp, b) for xp in (np, PROXY)]
        com = [GpuBackend._commutator_maj(xp, *A[k], *B[k]) for k, xp in enumerate((np, PROXY))]
        for x, y in (A, B, com):
            assert np.array_equal(x[0], y[0]) and np.array_equal(x[1], y[1])
            assert np.allclose(x[2], y[2], rtol=0, atol=1e-14)
    with pytest.raises(OverflowError):
        GpuBackend._to_maj(np, {((64, 1), (0, 0)): 1.0})
    with pytest.raises(OverflowError):
        GpuBackend._to_maj(PROXY, {((64, 1), (0, 0)): 1.0})


# ---------------------------------------------------------------------------
# Conversions


@pytest.mark.parametrize("term, coeff, rows", [
    (((0, 1),), 1.0, [(1, 0.5), (2, -0.5j)]),
    (((0, 1), (0, 0)), 1.0, [(0, 0.5), (3, 0.5j)]),
    (((40, 0),), 1.0, [(1 << 80, 0.5), (1 << 81, 0.5j)]),
    (((31, 1),), 2.0, [(1 << 62, 1.0), (1 << 63, -1j)]),
    (((32, 0),), 2.0, [(1 << 64, 1.0), (1 << 65, 1j)]),
    ((), 0, [(0, 0)]),
])
def test_expand_fermionic(xp, term, coeff, rows):
    assert rows_of(*GpuBackend._expand_fermionic(xp, term, coeff)) == rows


def test_to_maj_and_from_maj_edges(xp):
    for op in ({}, {(): 0}):
        assert [len(a) for a in GpuBackend._to_maj(xp, op)] == [0, 0, 0]
    assert rows_of(*GpuBackend._to_maj(xp, {(): 2.0})) == [(0, 2.0)]
    n0 = GpuBackend._to_maj(xp, {((0, 1), (0, 0)): 1.0})
    assert GpuBackend._from_maj(xp, *n0, 1) == {((0, 1), (0, 0)): 1 + 0j}
    assert GpuBackend._from_maj(xp, *arrays([(1, 1.0)]), 1) == {}
    assert GpuBackend._from_maj(xp, *arrays([(0, 2.0)]), 1) == {(): 2 + 0j}
    assert GpuBackend._from_maj(xp, *arrays([(0, 1e-13)]), 1) == {}
    with pytest.raises(KeyError):
        GpuBackend._from_maj(xp, *arrays([(mono(4, 5), 1.0)]), 1)
    with pytest.raises(OverflowError):
        GpuBackend._expand_fermionic(xp, ((64, 1),), 1.0)


def test_from_maj_against_openfermion():
    from openfermion import FermionOperator, normal_ordered
    rng = random.Random(11)
    nso = 6
    rows = [(sum(1 << m for m in rng.sample(range(2 * nso), rng.randint(0, 6))),
             complex(rng.uniform(-1, 1), rng.uniform(-1, 1))) for _ in range(30)]
    fop = FermionOperator()
    for mask, c in rows:  # the gammas multiplied in increasing mode order
        op = FermionOperator((), c)
        for j in range(2 * nso):
            if mask >> j & 1:
                p = j // 2
                g = (FermionOperator(((p, 1),)) + FermionOperator(((p, 0),)) if j % 2 == 0
                     else 1j * (FermionOperator(((p, 1),)) - FermionOperator(((p, 0),))))
                op = op * g
        fop += op
    expected = {t: complex(v) for t, v in normal_ordered(fop).terms.items()
                if sum(d == 1 for _, d in t) == sum(d == 0 for _, d in t) and abs(v) > 1e-12}
    merged = GpuBackend._merge(np, *arrays(rows))
    close(GpuBackend._from_maj(np, *merged, nso // 2), expected, 1e-12)


@pytest.mark.parametrize("ops, n", [(({((5, 1), (0, 0)): 1.0},), 3), (({},), 1), ((), 1),
                                    (({((1, 1), (1, 0)): 1}, {((6, 1), (2, 0)): 1}), 4)])
def test_n_orb_of(ops, n):
    assert GpuBackend()._n_orb_of(*ops) == n


def test_truncations(xp):
    op = {(): 1, ((0, 1), (0, 0)): 2, ((1, 1), (0, 1), (1, 0), (0, 0)): 3}
    assert GpuBackend._truncate_body_fermionic(op, None) is op
    assert GpuBackend._truncate_body_fermionic(op, 0) == {(): 1}
    assert GpuBackend._truncate_body_fermionic(op, 1.9) == {(): 1, ((0, 1), (0, 0)): 2}
    rows = arrays([(0, 1.0), (mono(0), 1.0), (mono(0, 1), 1.0), (mono(0, 1, 2), 1.0)])
    assert [m for m, _ in rows_of(*GpuBackend()._truncate_body_maj(xp, *rows, 1))] == [0, 1, 3]
    same = GpuBackend()._truncate_body_maj(xp, *rows, None)
    assert all(x is y for x, y in zip(same, rows))


# ---------------------------------------------------------------------------
# Public operations against the reference backend

BACKENDS = [CpuBackend(), ProxyBackend()]


@pytest.mark.parametrize("backend", BACKENDS, ids=["cpu", "proxy"])
@pytest.mark.parametrize("seed", range(3))
def test_algebra_matches_the_reference(backend, seed):
    a, b = random_op(seed, 8, 10), random_op(seed + 100, 8, 10)
    close(backend.multiply(a, b), REF.multiply(a, b))
    close(backend.commutator(a, b), REF.commutator(a, b))
    close(backend.normal_order(a), REF.normal_order(a))


@pytest.mark.parametrize("backend", BACKENDS, ids=["cpu", "proxy"])
@pytest.mark.parametrize("call, expected", [
    (lambda be: be.multiply({((0, 1),): 1}, {((0, 0),): 1}), {((0, 1), (0, 0)): 1}),
    (lambda be: be.multiply({((0, 0),): 1}, {((0, 1),): 1}), {(): 1, ((0, 1), (0, 0)): -1}),
    (lambda be: be.normal_order({((0, 0), (0, 1)): 1.0}), {(): 1, ((0, 1), (0, 0)): -1}),
    (lambda be: be.commutator({((0, 1), (0, 0)): 1}, {((1, 1), (1, 0)): 1}), {}),
    (lambda be: be.multiply({(): 1}, {(): 1}), {(): 1}),
    (lambda be: be.commutator({}, {}), {}),
])
def test_algebra_edges(backend, call, expected):
    got = call(backend)
    assert got == expected and all(type(v) is complex for v in got.values())


def test_cpu_cut_at_the_lowering_tolerance():
    # Kept down to the cut, as the reference keeps it (the array route prunes each ladder
    # factor's monomials at the same tolerance while it expands, so it cannot).
    op = {((0, 1), (0, 0)): 1.1e-12, ((1, 1), (1, 0)): 1e-12}
    assert CpuBackend().normal_order(op) == REF.normal_order(op) == {((0, 1), (0, 0)): 1.1e-12}


def test_cpu_keeps_terms_that_change_the_particle_number():
    # The reference keeps them; the CPU backend answers as the reference does.
    a, b = {((0, 1),): 1}, {((1, 1),): 1}
    assert CpuBackend().multiply(a, b) == REF.multiply(a, b) == {((1, 1), (0, 1)): -1}
    assert ProxyBackend().multiply(a, b) == {}


def test_wick_commutator_matches_its_plain_statement():
    for seed in range(4):
        a = random_op(seed, 10, 25, bodies=(1, 2, 3), conserving=seed % 2 == 0)
        b = random_op(seed + 50, 10, 15, bodies=(1, 2), conserving=seed % 2 == 0)
        close(CpuBackend().commutator(a, b), tavrin._wick_commutator_plain(a, b), 1e-12)
        close(CpuBackend().commutator(a, b), REF.commutator(a, b))


@pytest.mark.parametrize("backend", BACKENDS, ids=["cpu", "proxy"])
@pytest.mark.parametrize("n_comm", [0, 1, 2, 3])
@pytest.mark.parametrize("max_body", [None, 1, 2, 3])
def test_similarity_transform_matches_the_reference(backend, n_comm, max_body):
    h = REF.normal_order(random_op(n_comm, 6, 10))
    sigma = random_op(n_comm + 20, 6, 5, bodies=(1, 2))
    close(backend.similarity_transform(h, sigma, n_comm=n_comm, max_body=max_body),
          REF.similarity_transform(h, sigma, n_comm=n_comm, max_body=max_body))


def test_similarity_transform_keeps_the_keys_of_h():
    # h as given (not normal-ordered, real values) is kept by key, as the reference keeps it.
    h = {((0, 0), (0, 1)): 0.5, ((1, 1), (1, 0)): 2.0, ((2, 1), (2, 0)): 1e-13}
    sigma = {((1, 1), (0, 0)): 0.1, ((0, 1), (1, 0)): -0.1}
    for max_body in (None, 1):
        got = CpuBackend().similarity_transform(h, sigma, n_comm=2, max_body=max_body)
        close(got, REF.similarity_transform(h, sigma, n_comm=2, max_body=max_body))
    assert CpuBackend().similarity_transform(h, {}, n_comm=2, max_body=None) == {
        ((0, 0), (0, 1)): 0.5, ((1, 1), (1, 0)): 2.0}
    with pytest.raises(TypeError):
        CpuBackend().similarity_transform(h, sigma, 2, None)
    with pytest.raises(TypeError):
        CpuBackend().similarity_transform(h, sigma, n_comm="2", max_body=None)
    with pytest.raises(TypeError):
        ProxyBackend().similarity_transform(h, sigma, n_comm=1, max_body="x")


def test_progress_reports_each_order():
    seen = []
    be = CpuBackend()
    be.progress = lambda order, terms, seconds: seen.append((order, terms))
    h = REF.normal_order(random_op(1, 6, 10))
    out = be.similarity_transform(h, random_op(2, 6, 5), n_comm=2, max_body=2)
    assert [o for o, _ in seen] == [1, 2] and all(t > 0 for _, t in seen) and out


@pytest.fixture(scope="module")
def lih():
    from korvel.methods.cendrel import _cluster_operator_t2
    problem = chem.problem("lih")
    return problem, dict(problem.hamiltonian.terms), _cluster_operator_t2(
        problem, kind="ccsd_screened", tol=1e-8)


@pytest.mark.parametrize("n_comm, max_body", [(1, None), (2, 2)])
def test_lih_transform_matches_the_reference(lih, n_comm, max_body):
    _, h, t = lih
    expected = REF.similarity_transform(h, t, n_comm=n_comm, max_body=max_body)
    close(CpuBackend().similarity_transform(h, t, n_comm=n_comm, max_body=max_body), expected)
    close(ProxyBackend().similarity_transform(h, t, n_comm=n_comm, max_body=max_body), expected)


def test_cendrel_energy_is_the_same_on_both_backends():
    from korvel.methods.cendrel import CCSDDownfold
    problem = chem.problem("lih", active_space="manual", n_act=2, n_act_elec=2)
    options = {"ccsd_n_comm": 2, "ccsd_max_body": 2, "generator_pool": "ccsd_screened",
               "pool_tol": 1e-8}
    ref = CCSDDownfold(options).run(problem, REF)
    cpu = CCSDDownfold(options).run(problem, CpuBackend())
    assert cpu.backend == "cpu"
    assert abs(cpu.energy - ref.energy) < 1e-9


@pytest.mark.skipif(not GpuBackend().available(), reason="needs CuPy and a CUDA device")
def test_device_route_matches_the_host_routes():
    import cupy
    gpu = GpuBackend()
    for seed in range(3):
        a, b = random_op(seed, 8, 10), random_op(seed + 100, 8, 10)
        close(gpu.commutator(a, b), ProxyBackend().commutator(a, b))
        close(gpu.multiply(a, b), ProxyBackend().multiply(a, b))
        A = [cupy.asarray(x) for x in GpuBackend._to_maj(np, a)]
        B = [cupy.asarray(x) for x in GpuBackend._to_maj(np, b)]
        dev = GpuBackend._commutator_maj(cupy, *A, *B)
        host = GpuBackend._commutator_maj(np, *GpuBackend._to_maj(np, a), *GpuBackend._to_maj(np, b))
        assert np.array_equal(dev[0].get(), host[0]) and np.allclose(dev[2].get(), host[2], atol=1e-13)
    h = REF.normal_order(random_op(5, 6, 10))
    for max_body in (None, 2):
        close(gpu.similarity_transform(h, random_op(6, 6, 5), n_comm=2, max_body=max_body),
              REF.similarity_transform(h, random_op(6, 6, 5), n_comm=2, max_body=max_body))


# ---------------------------------------------------------------------------
# Values on the Hartree-Fock determinant


def single(p, q):
    """a_p^dagger a_q - a_q^dagger a_p, unit coefficients."""
    return {((p, 1), (q, 0)): 1.0, ((q, 1), (p, 0)): -1.0}


def double(p, q, r, s):
    """a_p^dagger a_q^dagger a_r a_s - a_s^dagger a_r^dagger a_q a_p, unit coefficients."""
    return {((p, 1), (q, 1), (r, 0), (s, 0)): 1.0, ((s, 1), (r, 1), (q, 0), (p, 0)): -1.0}


def hermitian_op(seed, nq, n_terms):
    """A random Hermitian number-conserving operator: X + X^dagger."""
    from openfermion import FermionOperator, hermitian_conjugated
    x = FermionOperator()
    for term, c in random_op(seed, nq, n_terms).items():
        x += FermionOperator(term, c)
    return REF.normal_order(dict((x + hermitian_conjugated(x)).terms))


class NumpyGpuBackend(GpuBackend):
    """GpuBackend on the numpy module itself: its array methods take the engine route."""

    @staticmethod
    def _xp():
        return np


ROUTES = [CpuBackend(), NumpyGpuBackend(), ProxyBackend()]


def test_hf_values_bit_kernel_against_the_plain_walk(xp):
    rng = np.random.default_rng(7)
    # Random monomials, half of them made of complete pairs (the only nonzero ones).
    pair = rng.integers(0, 2**32, size=200, dtype=np.uint64)
    spread = np.zeros_like(pair)
    for b in range(32):
        spread |= ((pair >> np.uint64(b)) & np.uint64(1)) * np.uint64(3 << (2 * b))
    lo = np.concatenate([spread[:100], rng.integers(0, 2**63, size=100, dtype=np.uint64)])
    hi = np.concatenate([spread[100:], rng.integers(0, 2**63, size=100, dtype=np.uint64)])
    c = rng.normal(size=200) + 1j * rng.normal(size=200)
    occ = set(rng.choice(64, size=20, replace=False).tolist()) | {70}
    got = GpuBackend._hf_value_per_monomial(xp, lo, hi, c, occ)
    assert got.dtype == np.complex128
    np.testing.assert_allclose(got, tavrin._hf_values_plain(lo, hi, c, occ), atol=1e-15)
    assert np.count_nonzero(got[:100]) == 100 and np.count_nonzero(got[100:]) <= 1


@pytest.mark.parametrize("rows, occ, value", [
    ([(0, 2.5)], {0, 5}, 2.5),                       # identity
    ([(mono(0, 1), 1.0)], set(), 1j),                # gamma_0 gamma_1 on an empty orbital
    ([(mono(0, 1), 1.0)], {0}, -1j),                 # ... on an occupied one
    ([(mono(0), 1.0)], {0}, 0.0),                    # a lone gamma
    ([(mono(80, 81), 1.0)], {40}, -1j),              # hi limb: p = 40
    ([(mono(80, 81), 1.0)], {64, 100}, 1j),          # indices >= 64 are ignored
    ([(mono(0, 1, 2, 3), 2.0)], {1}, 2.0),           # i^2 (-1)^1
])
def test_hf_value_edges(xp, rows, occ, value):
    got = GpuBackend._hf_value_per_monomial(xp, *arrays(rows), occ)
    assert abs(got.sum() - value) < 1e-15
    assert GpuBackend._hf_value_per_monomial(xp, *arrays([]), occ).shape == (0,)


def test_occupied_is_checked():
    for be in ROUTES:
        with pytest.raises(ValueError, match="occupied"):
            be.hf_expectation({(): 1.0}, [0, -1])
        with pytest.raises(TypeError, match="occupied"):
            be.hf_expectation({(): 1.0}, [0, 1.5])
        assert be.hf_expectation({((0, 1), (0, 0)): 1.0}, iter([0, 0, 3])) == 1.0


@pytest.mark.parametrize("seed", range(4))
def test_hf_expectation_and_gradient_random_operators(seed):
    h = hermitian_op(seed, 8, 25)
    occ = set(random.Random(seed).sample(range(8), 4))
    e_ref = REF.hf_expectation(h, occ)
    for gen in (single(5, 1), double(7, 6, 1, 0), double(6, 4, 3, 2)):
        g_ref = REF.gradient(h, gen, occ)
        for be in ROUTES:
            assert abs(be.hf_expectation(h, occ) - e_ref) < 1e-12
            assert abs(be.gradient(h, gen, occ) - g_ref) < 1e-12
    for be in ROUTES:
        assert be.hf_expectation({}, occ) == 0 and be.gradient(h, {}, occ) == 0.0


def test_hf_expectation_and_gradient_on_lih(lih):
    problem, h, _ = lih
    occ = set(problem.occupied)
    e_ref = REF.hf_expectation(h, occ)
    assert abs(e_ref.real - problem.e_ref) < 1e-8  # RHF reference of the full space
    gens = [single(4, 0), single(5, 1), double(5, 4, 1, 0), double(11, 10, 3, 2)]
    for be in ROUTES:
        assert abs(be.hf_expectation(h, occ) - e_ref) < 1e-12
        for gen in gens:
            assert abs(be.gradient(h, gen, occ) - REF.gradient(h, gen, occ)) < 1e-12


# ---------------------------------------------------------------------------
# Closed-form rotation about one generator


def dense(op, nq):
    from openfermion import FermionOperator, get_sparse_operator
    x = FermionOperator()
    for term, c in op.items():
        x += FermionOperator(term, c)
    return get_sparse_operator(x, n_qubits=nq).toarray() if op else np.zeros((2**nq, 2**nq))


class Propagator:
    """e^{theta A} of a dense anti-Hermitian A at any angle, from one eigendecomposition
    of the Hermitian iA = V diag(w) V^+ (so e^{theta A} = V diag(e^{-i theta w}) V^+),
    held once against SciPy's expm."""

    def __init__(self, am):
        from scipy.linalg import expm
        self.w, self.v = np.linalg.eigh(1j * am)
        assert np.abs(self(0.37) - expm(0.37 * am)).max() < 1e-12

    def __call__(self, theta):
        return (self.v * np.exp(-1j * theta * self.w)) @ self.v.conj().T

    def states(self, thetas, index):
        """e^{theta A} |index> for every angle, one column each."""
        phase = np.exp(-1j * np.outer(self.w, np.atleast_1d(thetas)))
        return self.v @ (phase * self.v[index].conj()[:, None])


def dense_rotation(hm, prop, theta):
    """e^{-theta A} H e^{theta A} on the Fock space, from the dense H and A's propagator."""
    return prop(-theta) @ hm @ prop(theta)


def majorana_dense(lo, hi, c, nq):
    from openfermion import MajoranaOperator, get_sparse_operator, jordan_wigner
    x = MajoranaOperator()
    for mask, v in rows_of(lo, hi, c):
        x += MajoranaOperator(tuple(j for j in range(128) if mask >> j & 1), v)
    return get_sparse_operator(jordan_wigner(x), n_qubits=nq).toarray()


GENERATORS = [single(4, 1), single(5, 0), double(5, 4, 1, 0), double(5, 2, 3, 0)]
ANGLES = [0.0, 0.37, -1.1, np.pi / 2, 2.9]


@pytest.mark.parametrize("gen", GENERATORS)
def test_rotate_single_is_the_exact_rotation(gen):
    h = hermitian_op(11, 6, 20)
    hm, prop = dense(h, 6), Propagator(dense(gen, 6))
    for theta in ANGLES:
        got = [be.rotate_single(h, gen, theta, max_body=None) for be in ROUTES]
        for other in got[1:]:                       # the routes agree term by term
            close(other, got[0], 1e-12)
        assert all(normal_ordered_key(k) for k in got[0])
        # the exact rotation of the Fock-space matrices
        assert np.abs(dense(got[0], 6) - dense_rotation(hm, prop, theta)).max() < 1e-10
        if theta in (0.37, np.pi / 2):              # and the reference backend's terms
            close(got[0], REF.rotate_single(h, gen, theta, max_body=None))


def normal_ordered_key(term):
    """Whether a term is in the canonical form: creation operators left of annihilation
    operators, each block in descending spin-orbital order without repeats."""
    daggers = [d for _, d in term]
    if daggers != sorted(daggers, reverse=True):
        return False
    for flag in (1, 0):
        idx = [p for p, d in term if d == flag]
        if idx != sorted(set(idx), reverse=True):
            return False
    return True


def sector(op, n_spinorb, n_elec):
    """The operator on the determinants of n_elec electrons, dense, by OpenFermion."""
    from openfermion import FermionOperator
    from openfermion.linalg import get_number_preserving_sparse_operator
    x = FermionOperator()
    x.terms = dict(op)
    return get_number_preserving_sparse_operator(x, n_spinorb, n_elec,
                                                 spin_preserving=False).toarray()


def test_rotate_single_on_lih(lih):
    problem, h, _ = lih
    n_so, n_el = 2 * problem.n_orb, problem.n_elec
    # The single: term by term against the reference backend.
    ref = REF.rotate_single(h, single(4, 0), 0.21, max_body=None)
    for be in ROUTES:
        close(be.rotate_single(h, single(4, 0), 0.21, max_body=None), ref)
    # The double (the reference's stepped rotation takes ~20 s here): the routes agree
    # term by term, in canonical form, and are the exact rotation of the matrices on
    # the molecule's electron-number sector.
    gen, theta = double(11, 10, 3, 2), -0.4
    got = [be.rotate_single(h, gen, theta, max_body=None) for be in ROUTES]
    for other in got[1:]:
        close(other, got[0], 1e-12)
    assert all(normal_ordered_key(k) for k in got[0])
    prop = Propagator(sector(gen, n_so, n_el))
    exact = dense_rotation(sector(h, n_so, n_el), prop, theta)
    assert np.abs(sector(got[0], n_so, n_el) - exact).max() < 1e-10


@pytest.mark.parametrize("scale", [1.0, 2.0, 0.5])
def test_alpha_labels_against_dense_sandwiches(xp, scale):
    h = hermitian_op(3, 4, 12)
    gen = {k: scale * v for k, v in single(3, 1).items()}
    lH, hH, cH = GpuBackend._to_maj(np, h)
    lA, hA, cA = GpuBackend._to_maj(np, gen)
    tcm, lcm, hcm, ccm, alpha, merger = GpuBackend._alpha_per_monomial(xp, lH, hH, cH, lA, hA, cA)
    assert alpha.dtype == np.int64 and len(alpha) == len(lH) and callable(merger)
    assert list(tcm) == sorted(tcm)
    a_m = majorana_dense(lA, hA, cA, 4)
    seen = set()
    for k in range(len(lH)):
        hk = majorana_dense(lH[k:k + 1], hH[k:k + 1], cH[k:k + 1], 4)
        cm = hk @ a_m - a_m @ hk
        sel = tcm == k
        np.testing.assert_allclose(majorana_dense(lcm[sel], hcm[sel], ccm[sel], 4), cm, atol=1e-12)
        if np.abs(cm).max() < 1e-12:
            assert alpha[k] == 1
            continue
        sandwich = a_m @ cm @ a_m
        seen.add(int(alpha[k]) if scale == 1.0 else 1 + 3 * (np.abs(sandwich).max() > 1e-12))
        if scale == 1.0:  # exact: the sandwich is 0 or cm
            expected = 1 if np.abs(sandwich).max() < 1e-12 else 4
            assert np.abs(sandwich - (cm if expected == 4 else 0)).max() < 1e-12
            assert alpha[k] == expected
    unit = GpuBackend._alpha_per_monomial(xp, lH, hH, cH, *GpuBackend._to_maj(np, single(3, 1)))[4]
    assert seen == {1, 4} and set(unit.tolist()) == {1, 4}
    # Doubled: sandwiches 0 stay 0 (alpha 1), S = cm becomes S = 4 cm, nearer to cm (alpha 4).
    # Halved: S = cm / 4 is nearer to 0 (alpha 1).
    assert list(alpha) == (list(unit) if scale != 0.5 else [1] * len(unit))
    # dcm keeps the grandparent tags
    t, l, hh, c = GpuBackend._commutator_tagged(xp, lcm, hcm, ccm, tcm, lA, hA, cA)
    for k in set(tcm.tolist()):
        sel = tcm == k
        cm = majorana_dense(lcm[sel], hcm[sel], ccm[sel], 4)
        np.testing.assert_allclose(majorana_dense(l[t == k], hh[t == k], c[t == k], 4),
                                   cm @ a_m - a_m @ cm, atol=1e-12)


def test_rotate_single_edges():
    h = hermitian_op(5, 6, 15)
    two_body = {k for k in REF.normal_order(h) if len(k) > 2}
    assert two_body
    for be in ROUTES:
        # Empty generator: H itself, exactly the unrotated operator.
        close(be.rotate_single(h, {}, 0.7, max_body=None), REF.normal_order(h))
        # Disjoint generator and theta = 0: H, capped.
        capped = {k: v for k, v in REF.normal_order(h).items() if len(k) <= 2}
        close(be.rotate_single(h, single(10, 8), 0.7, max_body=1), capped)
        close(be.rotate_single(h, single(4, 1), 0, max_body=1), capped)
        full = be.rotate_single(h, single(4, 1), 1.0, max_body=None)
        close(be.rotate_single(h, single(4, 1), 1, max_body=None), full)
        close(be.rotate_single(h, single(4, 1), 1, max_body=1),
              {k: v for k, v in full.items() if len(k) <= 2})
        # Not anti-Hermitian: refused, never rotated into a wrong operator.
        with pytest.raises(ValueError, match="generator"):
            be.rotate_single(h, {((4, 1), (1, 0)): 1.0, ((1, 1), (4, 0)): 1.0}, 0.3, max_body=None)
        with pytest.raises(ValueError, match="generator"):
            be.rotate_single(h, {((4, 1), (1, 0)): 1.0}, 0.3, max_body=None)
        with pytest.raises(ValueError, match="theta"):
            be.rotate_single(h, single(4, 1), float("nan"), max_body=None)
        with pytest.raises(TypeError, match="max_body"):
            be.rotate_single(h, single(4, 1), 0.3)
        with pytest.raises(TypeError, match="max_body"):
            be.rotate_single(h, single(4, 1), 0.3, max_body="2")


# ---------------------------------------------------------------------------
# Closed-form optimal angle


@pytest.mark.parametrize("coeffs, theta", [
    ((0.0, 0.0, 0.0, 0.0, 0.0), 0.0),            # flat curve: 0, not -pi
    ((0.0, 0.0, -1.0, 0.0, 0.0), -np.pi),        # only t = 0 is a real root; pi wins
    ((0.0, 0.0, -4e-8, 0.0, 0.0), 0.0),          # inside the 1e-7 window: the smaller angle
    ((0.0, 0.0, -6e-8, 0.0, 0.0), -np.pi),
    ((0.0, 0.0, 0.0, 0.0, -0.6), -np.pi / 2),    # +-pi/2 tie: the negative one
    ((0.0, 0.0, 0.0, 1.0, 0.0), -np.pi / 4),
    ((0.0, 0.0, 0.0, 0.0, 2.0), 0.0),            # sin^2: minimum at 0 exactly
    ((1.0, 0.3, 0.2, -0.1, 0.05), None),         # general curve: the grid minimum
])
def test_angle_selection(coeffs, theta):
    got = tavrin._select_angle(*coeffs)
    if theta is not None:
        assert got == pytest.approx(theta, abs=1e-12)
        return
    e00, e11, e21, e14, e24 = coeffs
    grid = np.linspace(-np.pi, np.pi, 200001)
    curve = e00 + np.sin(grid) * e11 + (1 - np.cos(grid)) * e21 + 0.5 * np.sin(2 * grid) * e14 \
        + 0.5 * np.sin(grid) ** 2 * e24
    assert got == pytest.approx(grid[np.argmin(curve)], abs=1e-4)


def test_only_roots_with_a_small_imaginary_part_count_as_real():
    # E = -sin t has its minimum at t = pi/2, the root tan(t/2) = 1, here offered with an
    # imaginary part just below and just above the 1e-10 threshold. Taken as real it wins;
    # refused, only t = 0 and pi remain (E = 0 at both), and the smaller angle is chosen.
    curve = (0.0, -1.0, 0.0, 0.0, 0.0)
    assert tavrin._select_angle(*curve) == pytest.approx(np.pi / 2, abs=1e-12)
    assert tavrin._select_angle(*curve, roots=[1 + 0.9e-10j]) == pytest.approx(np.pi / 2, abs=1e-12)
    assert tavrin._select_angle(*curve, roots=[1 + 1.1e-10j]) == 0.0
    assert tavrin._select_angle(*curve, roots=[1 - 1.1e-10j]) == 0.0
    assert tavrin._select_angle(*curve, roots=[]) == 0.0  # only 0 and pi: E(0) = E(pi)


def state_energies(hm, prop, thetas, occ, nq):
    """<HF| e^{-theta A} H e^{theta A} |HF> at each angle, by propagating the determinant
    (dense H, A's propagator)."""
    index = sum(1 << (nq - 1 - p) for p in occ)  # OpenFermion: qubit 0 is the leading bit
    phi = prop.states(thetas, index)
    return np.einsum("ik,ik->k", phi.conj(), hm @ phi).real


def state_energy(hm, prop, theta, occ, nq):
    return float(state_energies(hm, prop, [theta], occ, nq)[0])


@pytest.mark.parametrize("seed", range(3))
def test_optimal_theta_is_the_lowest_exact_energy(seed):
    h = hermitian_op(20 + seed, 6, 20)
    occ = {0, 1, 2}
    grid = np.linspace(-np.pi, np.pi, 73)
    hm = dense(h, 6)
    for gen in (single(4, 1), single(5, 0), double(5, 4, 1, 0), double(4, 3, 2, 0)):
        prop = Propagator(dense(gen, 6))
        ref = REF.optimal_theta(h, gen, occ, 3)
        thetas = [be.optimal_theta(h, gen, occ, 3) for be in ROUTES]
        assert max(thetas) - min(thetas) < 1e-12
        best = state_energy(hm, prop, thetas[0], occ, 6)
        assert best <= state_energies(hm, prop, grid, occ, 6).min() + 1e-9
        assert best <= state_energy(hm, prop, ref, occ, 6) + 1e-9
        if abs(ref) < 3.0:  # the lowest minimum inside the reference's search range
            assert abs(thetas[0] - ref) < 1e-6 or abs(best - state_energy(hm, prop, ref, occ, 6)) < 1e-9
        # The energy after the closed-form rotation is the exact energy at that angle.
        for be in ROUTES:
            rotated = be.rotate_single(h, gen, thetas[0], max_body=None)
            assert abs(be.hf_expectation(rotated, occ).real - best) < 1e-10


def test_optimal_theta_edges():
    h = hermitian_op(4, 6, 15)
    for be in ROUTES:
        assert be.optimal_theta(h, {}, {0, 1}, 3) == 0.0
        assert be.optimal_theta({}, single(4, 1), {0, 1}, 3) == 0.0
        assert be.optimal_theta(h, single(10, 8), {0, 1}, 6) == 0.0
        assert be.optimal_theta({((0, 1), (0, 0)): 1.0}, single(1, 0), {1}, 2) == 0.0
        got = {be.optimal_theta(h, single(4, 1), {0, 1}, n) for n in (0, 4, 100, 4.0)}
        assert len(got) == 1
        with pytest.raises(TypeError, match="n_orb"):
            be.optimal_theta(h, single(4, 1), {0, 1}, "3")
        with pytest.raises(ValueError, match="generator"):
            be.optimal_theta(h, {((4, 1), (1, 0)): 1.0}, {0, 1}, 3)


# ---------------------------------------------------------------------------
# The engine's closed form, held to its plain statement, to the array route and to exact
# state-vector energies


def scaled(gen, s):
    return {k: s * v for k, v in gen.items()}


def summed(*gens):
    out = {}
    for g in gens:
        for k, v in g.items():
            out[k] = out.get(k, 0.0) + v
    return out


def curve_at(e00, waves, t):
    t = np.asarray(t, dtype=float)
    return e00 + sum(s * np.sin(w * t) + c * (1 - np.cos(w * t)) for w, s, c in waves)


# Every kind of anti-Hermitian generator: unit excitations, multiples of them (whose nested
# commutators close with other frequencies), sums of commuting and of non-commuting ones.
ANY_GENERATORS = {
    "unit single": single(4, 1),
    "0.3 single": scaled(single(4, 1), 0.3),
    "2 single": scaled(single(5, 0), 2.0),
    "-1.7 double": scaled(double(5, 4, 1, 0), -1.7),
    "commuting singles": summed(single(4, 1), single(5, 0)),
    "non-commuting singles": summed(single(4, 1), single(5, 4)),
    "single and double": summed(single(4, 0), scaled(double(5, 3, 2, 1), 0.6)),
    "non-commuting doubles": summed(double(5, 4, 1, 0), scaled(double(4, 3, 2, 0), -0.7)),
}


@pytest.mark.parametrize("name", list(ANY_GENERATORS))
def test_rotation_and_angle_are_exact_for_every_generator(name):
    gen = ANY_GENERATORS[name]
    h = hermitian_op(11, 6, 20)
    occ = {0, 1, 3}
    hm, prop = dense(h, 6), Propagator(dense(gen, 6))
    for theta in (0.37, -1.1, 2.9):
        exact = dense_rotation(hm, prop, theta)
        got = [be.rotate_single(h, gen, theta, max_body=None) for be in ROUTES]
        for out in got:
            assert np.abs(dense(out, 6) - exact).max() < 1e-10
        for other in got[1:]:
            close(other, got[0], 1e-12)
    # The plain statement (a stepped Taylor series) gives the same operator.
    close(got[0], tavrin._rotate_single_plain(h, gen, 2.9), 1e-11)
    # The energy curve is the state-vector energy at every angle.
    grid = np.linspace(-np.pi, np.pi, 721)
    exact = state_energies(hm, prop, grid, occ, 6)
    e00, waves = tavrin._energy_curve(h, gen, occ)
    assert np.abs(curve_at(e00, waves, grid) - exact).max() < 1e-10
    # The optimal angle is the same on every route, and no angle of the dense scan lies
    # lower than its exact energy (up to the scan's resolution of a minimum).
    thetas = [be.optimal_theta(h, gen, occ, 3) for be in ROUTES]
    assert max(thetas) - min(thetas) < 1e-9
    best = state_energy(hm, prop, thetas[0], occ, 6)
    assert abs(curve_at(e00, waves, thetas[0]) - best) < 1e-10
    assert best <= exact.min() + 1e-9
    for be in ROUTES:
        rotated = be.rotate_single(h, gen, thetas[0], max_body=None)
        assert abs(be.hf_expectation(rotated, occ).real - best) < 1e-10


def test_scaled_generator_angle_is_the_unit_angle_rescaled():
    # e^{t (s A)} = e^{(s t) A}: the optimal angle of s A is that of A divided by s.
    h = hermitian_op(13, 6, 20)
    occ = {0, 1, 3}
    for be in ROUTES:
        unit = be.optimal_theta(h, double(5, 4, 1, 0), occ, 3)
        assert unit != 0.0
        for s in (0.3, 2.0):
            assert be.optimal_theta(h, scaled(double(5, 4, 1, 0), s), occ, 3) == pytest.approx(unit / s, abs=1e-9)


def test_generator_without_a_small_closed_algebra_is_refused():
    # Many overlapping non-commuting doubles around one monomial: its nested commutators
    # span more operators than an exact rotation is formed over; refused by name.
    rng = random.Random(5)
    gen = {}
    for _ in range(10):
        p, q, r, s = rng.sample(range(8), 4)
        gen = summed(gen, scaled(double(p, q, r, s), rng.uniform(0.2, 1.0)))
    h = {((0, 1), (7, 1), (6, 0), (5, 0)): 1.0, ((5, 1), (6, 1), (7, 0), (0, 0)): 1.0}
    for be in ROUTES:
        with pytest.raises(ValueError, match="no exact rotation about the generator {"):
            be.rotate_single(h, gen, 0.3, max_body=None)
        with pytest.raises(ValueError, match="no exact rotation about the generator {"):
            be.optimal_theta(h, gen, {0, 1, 2, 3}, 4)


def test_optimal_theta_on_lih_matches_the_reference_line_search(lih):
    problem, h, _ = lih
    occ = set(problem.occupied)
    for gen in (single(4, 0), double(11, 10, 3, 2), double(5, 4, 1, 0)):
        ref = REF.optimal_theta(h, gen, occ, problem.n_orb)
        thetas = [be.optimal_theta(h, gen, occ, problem.n_orb) for be in ROUTES]
        assert max(thetas) - min(thetas) < 1e-12
        assert abs(ref) < 3.0 and abs(thetas[0] - ref) < 1e-6


def _tagged_rows(seed, n, ntags):
    """Random tagged rows over few masks (many repeats), with exact cancellations."""
    rng = np.random.default_rng(seed)
    t = rng.integers(0, ntags, size=n).astype(np.int64)
    lo = rng.integers(0, 16, size=n, dtype=np.uint64) << np.uint64(2)
    hi = rng.integers(0, 2, size=n, dtype=np.uint64)
    c = rng.normal(size=n) + 1j * rng.normal(size=n)
    # Every tenth row cancelled by a copy of itself: the sum is pruned on both routes.
    k = np.arange(0, n, 10)
    return (np.concatenate([t, t[k]]), np.concatenate([lo, lo[k]]), np.concatenate([hi, hi[k]]),
            np.concatenate([c, -c[k]]))


def test_tagged_merge_and_commutator_agree_on_both_routes():
    h = hermitian_op(3, 4, 12)
    gen = GpuBackend._to_maj(np, double(3, 2, 1, 0))
    mergers = [GpuBackend._alpha_per_monomial(x, *GpuBackend._to_maj(np, h), *gen)[5] for x in (np, PROXY)]
    t, lo, hi, c = _tagged_rows(9, 400, 7)
    native, proxy = (m(t, lo, hi, c) for m in mergers)
    for got in (native, proxy):
        order = list(zip(got[0].tolist(), got[2].tolist(), got[1].tolist()))
        assert order == sorted(set(order))  # canonical: ascending (tag, hi, lo), each once
    for a, b in zip(native[:3], proxy[:3]):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(native[3], proxy[3], rtol=0, atol=1e-14)
    # The pruning threshold is strict: a sum of modulus exactly 1e-12 goes, 1.0000001e-12 stays.
    edge = (np.array([0, 1, 2], dtype=np.int64), np.array([12, 12, 12], dtype=np.uint64),
            np.zeros(3, dtype=np.uint64), np.array([1e-12, -1.0000001e-12, 0.5e-12 + 0.5e-12j]))
    for merge in mergers:
        t_kept, _, _, c_kept = merge(*edge)
        assert t_kept.tolist() == [1] and c_kept.tolist() == [-1.0000001e-12]
    # The commutator of tagged rows with unsorted tags keeps the tags and the canonical order.
    t, lo, hi, c = _tagged_rows(10, 60, 5)
    outs = [GpuBackend._commutator_tagged(x, lo, hi, c, t, *gen) for x in (np, PROXY)]
    for a, b in zip(outs[0][:3], outs[1][:3]):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(outs[0][3], outs[1][3], rtol=0, atol=1e-13)
    # Each tag's rows are the commutator of that tag's rows alone (the untagged grid kernel).
    for k in range(5):
        sel, got = t == k, outs[0][0] == k
        expected = GpuBackend._commutator_maj(np, lo[sel], hi[sel], c[sel], *gen)
        for a, b in zip((x[got] for x in outs[0][1:3]), expected[:2]):
            np.testing.assert_array_equal(a, b)
        np.testing.assert_allclose(outs[0][3][got], expected[2], rtol=0, atol=1e-13)


def test_engine_rotation_from_threads_at_once():
    from concurrent.futures import ThreadPoolExecutor
    h = hermitian_op(12, 8, 40)
    cpu = CpuBackend()
    jobs = [(double(7, 6, 1, 0), 0.3), (single(5, 2), -0.8), (double(6, 4, 3, 1), 1.2)] * 2
    serial = [cpu.rotate_single(h, g, t, max_body=None) for g, t in jobs]
    with ThreadPoolExecutor(3) as pool:
        threaded = list(pool.map(lambda job: cpu.rotate_single(h, job[0], job[1], max_body=None), jobs))
    assert threaded == serial


def test_a_generator_too_large_for_an_exact_rotation_is_refused_promptly():
    # Every single excitation among 64 spin-orbitals: the orbit of one number operator
    # outgrows the bounds at its third direction, before any large product is formed.
    gen = {}
    for p in range(64):
        for q in range(p):
            gen.update(single(p, q))
    for be in (CpuBackend(), ProxyBackend()):
        with pytest.raises(ValueError, match="no exact rotation about the generator"):
            be.rotate_single({((0, 1), (0, 0)): 1.0}, gen, 0.3, max_body=None)
        with pytest.raises(ValueError, match="no exact rotation about the generator"):
            be.optimal_theta({((0, 1), (0, 0)): 1.0}, gen, {0}, 32)


@pytest.mark.skipif(not GpuBackend().available(), reason="needs CuPy and a CUDA device")
def test_device_closed_form_matches_the_host():
    gpu, cpu = GpuBackend(), CpuBackend()
    h = hermitian_op(11, 6, 20)
    occ = {0, 1, 2}
    assert abs(gpu.hf_expectation(h, occ) - cpu.hf_expectation(h, occ)) < 1e-12
    for gen in GENERATORS + list(ANY_GENERATORS.values()):  # unit, scaled and summed
        assert abs(gpu.gradient(h, gen, occ) - cpu.gradient(h, gen, occ)) < 1e-12
        for theta in ANGLES:
            close(gpu.rotate_single(h, gen, theta, max_body=None), cpu.rotate_single(h, gen, theta, max_body=None))
        assert abs(gpu.optimal_theta(h, gen, occ, 3) - cpu.optimal_theta(h, gen, occ, 3)) < 1e-9


# ---------------------------------------------------------------------------
# Bad input and number-changing operators: both routes answer as the CPU route does


GOOD = {((0, 1), (1, 0)): 0.5, ((1, 1), (0, 0)): 0.5, ((2, 1), (2, 0)): -1.0}


@pytest.mark.parametrize("route", [NumpyGpuBackend, ProxyBackend])
@pytest.mark.parametrize("bad, pattern", [
    ({((0, 1), (1, 0)): float("nan")}, "not finite"),
    ({((0, 1), (1, 0)): complex(0.0, float("inf"))}, "not finite"),
    ({((0, 2), (1, 0)): 1.0}, "dagger flag 2 in term"),
])
def test_bad_coefficients_and_daggers_are_refused_on_both_routes(route, bad, pattern):
    backend, cpu = route(), CpuBackend()
    calls = {
        "multiply": lambda b: b.multiply(GOOD, bad),
        "commutator": lambda b: b.commutator(bad, GOOD),
        "normal_order": lambda b: b.normal_order(bad),
        "hf_expectation": lambda b: b.hf_expectation(bad, {0, 1}),
        "similarity_transform": lambda b: b.similarity_transform(GOOD, bad, n_comm=1,
                                                                max_body=None),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError, match=pattern):
            call(cpu)
        with pytest.raises(ValueError, match=pattern):
            call(backend)
    with pytest.raises(ValueError, match=pattern):
        backend._to_maj(backend._xp(), bad)


@pytest.mark.parametrize("route", [NumpyGpuBackend, ProxyBackend])
def test_normal_order_keeps_number_changing_terms_on_both_routes(route):
    import openfermion as of
    backend = route()
    for op in ({((0, 1),): 1.0},                                   # a_0^dagger
               {((0, 0),): 1.0, ((0, 1),): 1.0},                   # a_0 + a_0^dagger
               {((1, 0), (2, 1), (3, 1)): 0.5j, ((0, 1), (0, 0)): 2.0}):
        fop = of.FermionOperator()
        fop.terms = dict(op)
        expected = {t: complex(c) for t, c in of.normal_ordered(fop).terms.items()}
        got = backend.normal_order(op)
        assert got.keys() == expected.keys()
        for term, c in expected.items():
            assert got[term] == pytest.approx(c, abs=1e-14)
        assert got == REF.normal_order(op) == CpuBackend().normal_order(op)
