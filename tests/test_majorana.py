"""Majorana form of fermionic operators: expansion, contraction, fold and the engine's
monomial algebra, checked against OpenFermion and dense matrices."""

import random
import re

import numpy as np
import pytest

openfermion = pytest.importorskip("openfermion")
from openfermion import FermionOperator, get_sparse_operator, normal_ordered

from korvel.downfold import majorana as M


def random_operator(rng, n_so, max_body, n_terms, complex_coeffs, number_conserving=False):
    """Random ladder terms of 0..max_body bodies, operators in random order, repeats allowed."""
    op = {}
    for _ in range(n_terms):
        k = rng.randint(0, max_body)
        if number_conserving:
            ops = [(rng.randrange(n_so), 1) for _ in range(k)] + [(rng.randrange(n_so), 0)
                                                                  for _ in range(k)]
        else:
            ops = [(rng.randrange(n_so), rng.randint(0, 1)) for _ in range(2 * k)]
            if rng.random() < 0.3:
                ops.append((rng.randrange(n_so), rng.randint(0, 1)))  # odd terms too
        rng.shuffle(ops)
        c = rng.uniform(-1, 1) + (1j * rng.uniform(-1, 1) if complex_coeffs else 0.0)
        op[tuple(ops)] = op.get(tuple(ops), 0) + c
    return op


def of_number_conserving(op, tol=1e-12):
    """OpenFermion's normal_ordered, number-conserving terms with |c| > tol."""
    fo = FermionOperator()
    for term, c in op.items():
        fo += FermionOperator(term, c)
    out = {}
    for term, c in normal_ordered(fo).terms.items():
        if sum(d for _, d in term) * 2 == len(term) and abs(c) > tol:
            out[term] = complex(c)
    return out


@pytest.mark.parametrize("complex_coeffs", [False, True])
@pytest.mark.parametrize("seed,n_so,max_body", [(1, 4, 2), (2, 6, 3), (3, 8, 4), (4, 10, 4),
                                                (5, 10, 3), (6, 3, 4)])
def test_round_trip_matches_openfermion_normal_ordered(seed, n_so, max_body, complex_coeffs):
    rng = random.Random(seed)
    op = random_operator(rng, n_so, max_body, 25, complex_coeffs)
    got = M.majorana_to_fermion(M.expand_to_majorana(op), (n_so + 1) // 2)
    want = of_number_conserving(op)
    assert set(got) == set(want)
    for term, c in want.items():
        assert abs(got[term] - c) <= 1e-12
        assert isinstance(got[term], complex)


def test_round_trip_of_a_normal_ordered_operator_is_itself():
    rng = random.Random(11)
    op = of_number_conserving(random_operator(rng, 10, 4, 40, True, number_conserving=True))
    got = M.majorana_to_fermion(M.expand_to_majorana(op), 5)
    assert set(got) == set(op)
    assert max(abs(got[t] - op[t]) for t in op) <= 1e-12


def test_large_operators_split_into_parts_match_openfermion():
    # Thousands of terms take the engine's split, multi-threaded route in both directions.
    rng = random.Random(21)
    op = random_operator(rng, 12, 3, 3000, True)
    op.update(of_number_conserving(random_operator(rng, 14, 2, 2500, False, number_conserving=True)))
    assert len(op) > 2048
    maj = M.expand_to_majorana(op)
    assert len(maj) > 2048
    got = M.majorana_to_fermion(maj, 7)
    want = of_number_conserving(op)
    assert set(got) == set(want)
    assert max(abs(got[t] - want[t]) for t in want) <= 1e-12
    # The same rows rebuilt in canonical order, without the layout the expansion gives them
    # (rows of one set of spin-orbitals together), are grouped and split the general way.
    again = M.majorana_to_fermion(M.MajoranaOperator(maj.items()), 7)
    assert set(again) == set(want)
    assert max(abs(again[t] - want[t]) for t in want) <= 1e-12
    # The rows are presented sorted, each mask once.
    masks = [m for m, _ in maj.items()]
    assert masks == sorted(set(masks)) and maj.lo == [m & (2 ** 64 - 1) for m in masks]


def test_large_dicts_of_numpy_and_subclassed_floats_read_like_floats():
    # OpenFermion's Hamiltonians hold numpy.float64 values; a float subclass defined in Python
    # is read through its own type as well. Both, first met early or late in a dict large
    # enough to be read on several threads, give exactly the result of plain floats.
    class Coefficient(float):
        pass

    rng = random.Random(8)
    pairs = [(p, q) for p in range(16) for q in range(p)]
    plain = {}
    while len(plain) < 5000:
        (p, q), (r, t) = rng.choice(pairs), rng.choice(pairs)
        plain[((p, 1), (q, 1), (r, 0), (t, 0))] = rng.uniform(-1, 1)
    want = M.majorana_to_fermion(M.expand_to_majorana(plain), 8)
    keys = list(plain)
    for kind in (np.float64, Coefficient):
        for first in (1, len(keys) // 2):
            mixed = {t: (kind(plain[t]) if i >= first else plain[t]) for i, t in enumerate(keys)}
            assert M.majorana_to_fermion(M.expand_to_majorana(mixed), 8) == want


def test_contraction_of_a_large_expansion_refuses_modes_beyond_the_active_space():
    op = random_operator(random.Random(9), 12, 3, 4000, False)
    maj = M.expand_to_majorana(op)
    assert len(maj) > 2048
    with pytest.raises(ValueError, match="outside the 8 spin-orbitals"):
        M.majorana_to_fermion(maj, 4)
    # The same rows rebuilt, so without the expansion's grouping, are refused alike.
    with pytest.raises(ValueError, match="outside the 8 spin-orbitals"):
        M.majorana_to_fermion(M.MajoranaOperator(maj.items()), 4)


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork()")
def test_a_forked_child_runs_large_round_trips():
    # The parent's helper threads do not exist in a child made by fork(); the child starts
    # its own and gets the same result.
    import os
    op = random_operator(random.Random(13), 12, 3, 4000, True)
    want = M.majorana_to_fermion(M.expand_to_majorana(op), 6)
    pid = os.fork()
    if pid == 0:
        same = False
        try:
            same = M.majorana_to_fermion(M.expand_to_majorana(op), 6) == want
        finally:
            os._exit(0 if same else 1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def test_results_do_not_depend_on_the_thread_count(tmp_path):
    # The operator is handed to the children as a literal, so that each imports only
    # the Majorana module (not this file's OpenFermion and pytest).
    from concurrent.futures import ThreadPoolExecutor

    from chem import fresh_python
    op_file = tmp_path / "op.txt"
    op_file.write_text(repr(random_operator(random.Random(5), 12, 3, 4000, True)))
    code = f"""
import ast
from korvel.downfold import majorana as M
op = ast.literal_eval(open({str(op_file)!r}).read())
maj = M.expand_to_majorana(op)
print(repr(list(M.majorana_to_fermion(maj, 6).items())))
print(repr(maj.items()))
"""
    import os
    envs = [dict(os.environ, OMP_NUM_THREADS=threads) for threads in ("1", "2", "3")]
    with ThreadPoolExecutor(2) as pool:
        outs = list(pool.map(lambda env: fresh_python(code, env).stdout, envs))
    assert outs[0] == outs[1] == outs[2] and outs[0]


@pytest.mark.parametrize("op,rows", [
    ({((0, 1),): 1.0}, [(1, 0.5), (2, -0.5j)]),
    ({((0, 1), (0, 0)): 1.0}, [(0, 0.5), (3, 0.5j)]),
    ({((40, 0),): 1.0}, [(1 << 80, 0.5), (1 << 81, 0.5j)]),
    ({}, []),
    ({(): 0}, []),
    ({(): 2.0}, [(0, 2.0)]),
    ({((3, 1), (3, 1)): 1.0}, []),
])
def test_expansion_rows(op, rows):
    got = M.expand_to_majorana(op).items()
    assert [m for m, _ in got] == [m for m, _ in rows]
    for (_, c), (_, w) in zip(got, rows):
        assert abs(c - w) < 1e-15


@pytest.mark.parametrize("rows,n_act,want", [
    ([(1, 1.0)], 1, {}),                         # gamma_0 changes the particle number
    ([(0, 2.0)], 1, {(): 2.0}),
    ([(0, 1e-13)], 1, {}),
    ([(3, 1.0)], 1, {(): 1j, ((0, 1), (0, 0)): -2j}),  # gamma_0 gamma_1 = i (1 - 2 n_0)
])
def test_contraction_of_single_monomials(rows, n_act, want):
    got = M.majorana_to_fermion(M.MajoranaOperator(rows), n_act)
    assert set(got) == set(want)
    for t, c in want.items():
        assert abs(got[t] - c) < 1e-15


def test_terms_on_the_high_limb_round_trip():
    op = {((63, 1), (40, 1), (2, 0), (33, 0)): 0.7 - 0.2j, ((31, 1), (32, 0)): 1.5,
          ((32, 1), (31, 0)): 1.5, ((63, 1), (63, 0)): -0.25}
    got = M.majorana_to_fermion(M.expand_to_majorana(op), 32)
    want = of_number_conserving(op)
    assert set(got) == set(want)
    assert max(abs(got[t] - want[t]) for t in want) <= 1e-12


def test_accepts_fermion_operators_and_numeric_types():
    fo = FermionOperator("3^ 1", 0.5) + FermionOperator("1^ 3", 0.5)
    got = M.majorana_to_fermion(M.expand_to_majorana(fo), 2)
    assert got == {((3, 1), (1, 0)): 0.5, ((1, 1), (3, 0)): 0.5}
    npy = {((np.int64(1), np.int8(1)), (np.int64(1), 0)): np.float32(2.0)}
    assert M.majorana_to_fermion(M.expand_to_majorana(npy), 1) == {((1, 1), (1, 0)): 2.0}


# ----------------------------------------------------------------------------- errors

@pytest.mark.parametrize("op,exc,words", [
    ({((64, 1),): 1.0}, ValueError, ["64", "beyond"]),
    ({((1, 1), (100, 0)): 1.0}, ValueError, ["100"]),
    ({((2 ** 70, 1),): 1.0}, ValueError, [str(2 ** 70)]),
    ({((-1, 1),): 1.0}, ValueError, ["-1", "negative"]),
    ({((1, 2),): 1.0}, ValueError, ["dagger", "2"]),
    ({((1.5, 1),): 1.0}, TypeError, ["float"]),
    ({((1, 1, 0),): 1.0}, TypeError, ["pairs"]),
    ({(1, 1): 1.0}, TypeError, ["pairs"]),
    ({"1^ 0": 1.0}, TypeError, ["tuple"]),
    ({((1, 1),): "x"}, TypeError, ["number", "str"]),
    ({((1, 1),): None}, TypeError, ["number"]),
    ({((1, 1),): float("nan")}, ValueError, ["finite"]),
    ({((1, 1),): complex(1, float("inf"))}, ValueError, ["finite"]),
    ([1, 2], TypeError, ["mapping"]),
    (3, TypeError, ["mapping"]),
])
def test_bad_terms_are_refused(op, exc, words):
    with pytest.raises(exc) as info:
        M.expand_to_majorana(op)
    for w in words:
        assert w in str(info.value)


def test_oversized_expansion_raises_memory_error():
    # prod_p n_p over 40 spin-orbitals expands into 2^40 monomials.
    term = tuple(x for p in range(40) for x in ((p, 1), (p, 0)))
    with pytest.raises(MemoryError):
        M.expand_to_majorana({term: 1.0})


def test_oversized_term_in_a_large_operator_raises_memory_error():
    # The same term among thousands of others is expanded in one of the parallel parts; the
    # error comes back from it, and the engine goes on working afterwards.
    op = random_operator(random.Random(3), 10, 2, 4000, False)
    op[tuple(x for p in range(40) for x in ((p, 1), (p, 0)))] = 1.0
    assert len(op) > 2048
    with pytest.raises(MemoryError):
        M.expand_to_majorana(op)
    del op[tuple(x for p in range(40) for x in ((p, 1), (p, 0)))]
    assert M.majorana_to_fermion(M.expand_to_majorana(op), 5) == pytest.approx(
        of_number_conserving(op), abs=1e-12)


def test_oversized_contraction_raises_memory_error():
    # gamma_0 ... gamma_79 = prod_p i (1 - 2 n_p) has 2^40 normal-ordered terms.
    with pytest.raises(MemoryError):
        M.majorana_to_fermion(M.MajoranaOperator([((1 << 80) - 1, 1.0)]), 40)


def test_contraction_refuses_modes_beyond_the_active_space():
    with pytest.raises(ValueError, match="spin-orbital 2"):
        M.majorana_to_fermion(M.MajoranaOperator([(0b110000, 1.0)]), 1)


@pytest.mark.parametrize("call,exc,word", [
    (lambda mj: M.downfold({}, 0, 1, set()), TypeError, "MajoranaOperator"),
    (lambda mj: M.downfold(mj, -1, 1, set()), ValueError, "n_core"),
    (lambda mj: M.downfold(mj, 0, "2", set()), TypeError, "n_act"),
    (lambda mj: M.downfold(mj, 0, 1, 5), TypeError, "occupied"),
    (lambda mj: M.downfold(mj, 0, 1, {"a"}), TypeError, "occupied"),
    (lambda mj: M.downfold(mj, 0, 1, {64}), ValueError, "64"),
    (lambda mj: M.majorana_to_fermion(mj, -1), ValueError, "n_act"),
    (lambda mj: M.majorana_to_fermion({}, 1), TypeError, "MajoranaOperator"),
    (lambda mj: M.MajoranaOperator([(1 << 128, 1.0)]), ValueError, "2**128"),
    (lambda mj: M.MajoranaOperator([(-1, 1.0)]), ValueError, "mask"),
])
def test_bad_fold_arguments_are_refused(call, exc, word):
    mj = M.expand_to_majorana({((0, 1), (0, 0)): 1.0})
    with pytest.raises(exc, match=re.escape(word)):
        call(mj)


# ------------------------------------------------------- the monomial algebra (engine)

def gamma_matrix(mask, n_so):
    """Dense matrix of the increasing product of the gammas in `mask` (Jordan-Wigner)."""
    mat = np.eye(2 ** n_so, dtype=complex)
    for j in range(2 * n_so):
        if mask >> j & 1:
            p = j // 2
            g = (FermionOperator(((p, 1),)) + FermionOperator(((p, 0),)) if j % 2 == 0
                 else 1j * (FermionOperator(((p, 1),)) - FermionOperator(((p, 0),))))
            mat = mat @ get_sparse_operator(g, n_qubits=n_so).toarray()
    return mat


def matrix(op, n_so):
    out = np.zeros((2 ** n_so, 2 ** n_so), dtype=complex)
    for mask, c in op.items():
        out += c * gamma_matrix(mask, n_so)
    return out


def random_majorana(rng, n_rows, n_modes):
    return M.MajoranaOperator([(rng.getrandbits(n_modes), complex(rng.gauss(0, 1), rng.gauss(0, 1)))
                               for _ in range(n_rows)])


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_products_and_commutators_match_dense_matrices(seed):
    rng = random.Random(seed)
    a, b = random_majorana(rng, 7, 6), random_majorana(rng, 5, 6)
    ma, mb = matrix(a, 3), matrix(b, 3)
    assert np.allclose(matrix(a * b, 3), ma @ mb, atol=1e-12)
    assert np.allclose(matrix(a.commutator(b), 3), ma @ mb - mb @ ma, atol=1e-12)
    assert np.allclose(matrix(a + b, 3), ma + mb, atol=1e-12)
    assert np.allclose(matrix(a - b, 3), ma - mb, atol=1e-12)


def test_expansion_matches_the_dense_operator():
    rng = random.Random(5)
    op = random_operator(rng, 4, 3, 15, True)
    fo = FermionOperator()
    for t, c in op.items():
        fo += FermionOperator(t, c)
    want = get_sparse_operator(fo, n_qubits=4).toarray()
    assert np.allclose(matrix(M.expand_to_majorana(op), 4), want, atol=1e-12)


def brute_sign(a, b):
    """(-1)^#{(p in A, q in B): p > q}, counted pair by pair."""
    pa = [j for j in range(128) if a >> j & 1]
    pb = [j for j in range(128) if b >> j & 1]
    return (-1) ** sum(1 for p in pa for q in pb if p > q)


@pytest.mark.parametrize("a,b,mask,c", [
    (0b1, 0b10, 0b11, 1), (0b10, 0b1, 0b11, -1),
    (1, 1, 0, 1), (1 << 127, 1 << 127, 0, 1),
    (0b11, 0b1, 0b10, -1),
    (1 << 64, 1, (1 << 64) | 1, -1), (1, 1 << 64, (1 << 64) | 1, 1),
    (1 << 63, 1 << 64, 3 << 63, 1), (1 << 64, 1 << 63, 3 << 63, -1),
    ((1 << 0) | (1 << 5), 0b1110 | (1 << 70) | (1 << 100),
     0b101111 | (1 << 70) | (1 << 100), -1),
    (0b1110 | (1 << 70) | (1 << 100), (1 << 0) | (1 << 5),
     0b101111 | (1 << 70) | (1 << 100), -1),
])
def test_monomial_product_signs(a, b, mask, c):
    assert (M.MajoranaOperator([(a, 1.0)]) * M.MajoranaOperator([(b, 1.0)])).items() == [(mask, c)]


def test_random_128_bit_product_signs():
    rng = random.Random(9)
    for _ in range(200):
        a, b = rng.getrandbits(128), rng.getrandbits(128)
        [(mask, c)] = (M.MajoranaOperator([(a, 1.0)]) * M.MajoranaOperator([(b, 1.0)])).items()
        assert mask == a ^ b and c == brute_sign(a, b)
        comm = M.MajoranaOperator([(a, 1.0)]).commutator(M.MajoranaOperator([(b, 1.0)])).items()
        wa, wb, wab = bin(a).count("1"), bin(b).count("1"), bin(a & b).count("1")
        assert comm == ([] if (wa * wb - wab) % 2 == 0 else [(a ^ b, 2.0 * c)])


def test_canonical_form_sorts_sums_and_drops_zeros():
    rows = [(5, 1.0), (2 << 64, 1.0), ((1 << 64) | 1, 1.0), (5, 2.0), (7, 1.0), (7, -1.0)]
    op = M.MajoranaOperator(rows)
    assert op.items() == [(5, 3.0), ((1 << 64) | 1, 1.0), (2 << 64, 1.0)]
    assert op.lo == [5, 1, 0] and op.hi == [0, 1, 2] and op.c == [3.0, 1.0, 1.0]
    assert len(op) == 3


def test_chunked_products_agree_with_row_blocks():
    # A 1200 x 1000 grid is larger than one chunk of pairs.
    rng = random.Random(3)
    a, b = random_majorana(rng, 1200, 24), random_majorana(rng, 1000, 24)
    rows = a.items()
    parts = [M.MajoranaOperator(rows[i:i + 300]) * b for i in range(0, len(rows), 300)]
    total = parts[0]
    for p in parts[1:]:
        total = total + p
    ab = a * b
    want = dict(total.items())
    got = dict(ab.items())
    assert set(got) == set(want)
    assert max(abs(got[m] - want[m]) for m in want) < 1e-9
    comm = dict(a.commutator(b).items())
    diff = dict((ab - b * a).items())
    assert set(k for k, v in diff.items() if abs(v) > 1e-9) == set(k for k, v in comm.items()
                                                                     if abs(v) > 1e-9)
    assert max(abs(comm.get(m, 0) - diff.get(m, 0)) for m in set(comm) | set(diff)) < 1e-9


@pytest.mark.parametrize("n_core,n_act,want", [(0, 2 ** 62, {0b11: 1.0}), (2 ** 62, 2 ** 62, {0: -1j}),
                                              (0, 0, {0: -1j})])
def test_fold_with_huge_orbital_counts(n_core, n_act, want):
    got = dict(M.downfold(M.MajoranaOperator([(0b11, 1.0)]), n_core, n_act, {0}).items())
    assert got == want


def test_fold_of_pairs_and_lone_majoranas():
    # Core spin-orbital 0 occupied, core spin-orbital 1 empty, active 2 and 3, virtual 4 on.
    mj = M.MajoranaOperator([(0b11, 3.0), (0b1100, 1.0), (0b110000, 1.0), (0b1 | 0b110000, 1.0),
                             (0b11 | 0b110000, 2.0), (1 << 8, 5.0)])
    got = dict(M.downfold(mj, 1, 1, {0}).items())
    # gamma_0 gamma_1 -> -i (occupied), gamma_2 gamma_3 -> +i (empty), a lone gamma_0 or a
    # lone virtual gamma_8 vanishes, gamma_4 gamma_5 becomes active mask 0b11.
    assert set(got) == {0, 0b11}
    assert abs(got[0] - (-3j + 1j)) < 1e-15
    assert abs(got[0b11] - (1.0 - 2j)) < 1e-15


# ---------------------------------------------------------------------------
# The optimised expansion and contraction against their plain versions (one ladder term as
# a product of local Majorana factors; one monomial contracted back), on random operators
# small enough for one part and large enough to be split into parts on the helper threads.

def _assert_same_rows(fast, plain, tol=1e-12):
    fast, plain = dict(fast), dict(plain)
    for key in fast.keys() | plain.keys():
        assert abs(fast.get(key, 0) - plain.get(key, 0)) <= tol, key


@pytest.mark.parametrize("seed,n_so,max_body,n_terms", [(21, 6, 2, 30), (22, 10, 3, 60), (23, 12, 4, 80),
                                                        (24, 16, 2, 3000), (25, 40, 2, 2500),
                                                        (26, 64, 3, 400)])
def test_expansion_matches_the_plain_product_of_local_factors(seed, n_so, max_body, n_terms):
    rng = random.Random(seed)
    op = random_operator(rng, n_so, max_body, n_terms, complex_coeffs=seed % 2 == 0)
    _assert_same_rows(M.expand_to_majorana(op).items(), M._expand_plain(op).items())


@pytest.mark.parametrize("seed,n_so,n_rows,max_weight", [(31, 4, 40, 8), (32, 8, 300, 8),
                                                        (33, 12, 3000, 10), (34, 20, 2500, 6),
                                                        (35, 64, 500, 6)])
def test_contraction_matches_the_plain_contraction_of_each_monomial(seed, n_so, n_rows, max_weight):
    rng = random.Random(seed)
    rows = {}
    for _ in range(n_rows):
        modes = rng.sample(range(2 * n_so), rng.randint(0, min(max_weight, 2 * n_so)))
        rows[sum(1 << j for j in modes)] = complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
    maj = M.MajoranaOperator(rows)
    n_act = (n_so + 1) // 2
    _assert_same_rows(M.majorana_to_fermion(maj, n_act).items(), M._contract_plain(maj, n_act).items())


def test_round_trip_of_a_large_operator_matches_the_plain_route():
    rng = random.Random(41)
    op = random_operator(rng, 14, 2, 4000, True)
    fast = M.majorana_to_fermion(M.expand_to_majorana(op), 7)
    plain = M._contract_plain(M._expand_plain(op), 7)
    _assert_same_rows(fast.items(), plain.items(), tol=1e-11)
