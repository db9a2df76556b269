"""The native backend's ladder algebra past 64 spin-orbitals.

Spin-orbital sets of up to 64 spin-orbitals are one machine word; wider operators run on
sets of four words (256 spin-orbitals). Three oracles hold the wide path:
- the one-word path on the very same operator (a zero-coefficient term on spin-orbital
  200 sends a call down the wide path without changing the operator);
- an order-preserving renumbering of the spin-orbitals, which changes no sign of the
  algebra: the operators on spin-orbitals spread over 0..199, across every word boundary,
  must give the renumbered results of the operators on 0..63;
- the reference (OpenFermion) backend on operators past 64 spin-orbitals it can still
  handle, and the Majorana fold of the renumbered operator.
"""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import openfermion as of
import pytest

from chem import problem
from korvel.backends import tavrin
from korvel.backends.tavrin import CpuBackend, GpuBackend
from korvel.downfold.projector import downfold_to_active


def assert_same_operator(got, want, tol=1e-12):
    assert set(got) == set(want), (
        f"{len(set(got) - set(want))} extra and {len(set(want) - set(got))} missing terms")
    for term, value in want.items():
        assert abs(got[term] - value) <= tol * max(1.0, abs(value)), (term, got[term], value)


WIDE_MARKER = ((200, 1), (200, 0))


def widened(op):
    """The same operator, read on wide sets: a zero term on spin-orbital 200."""
    return {**op, WIDE_MARKER: 0.0}


def renumbered(op, new_index):
    return {tuple((new_index[p], d) for p, d in term): v for term, v in op.items()}


def random_operator(rng, n_so, n_terms, hermitian=True, max_rank=2):
    op = of.FermionOperator((), float(rng.normal()))
    for _ in range(n_terms):
        k = int(rng.integers(1, max_rank + 1))
        cre = rng.choice(n_so, k, replace=False)
        ann = rng.choice(n_so, k, replace=False)
        term = tuple((int(p), 1) for p in cre) + tuple((int(q), 0) for q in ann)
        op += of.FermionOperator(term, complex(rng.normal(), rng.normal()))
    if hermitian:
        op = op + of.hermitian_conjugated(op)
    return dict(of.normal_ordered(op).terms)


def random_excitation(rng, occupied, empty, n_singles=6, n_doubles=12):
    occ, emp = sorted(occupied), sorted(empty)
    gen = {}
    for _ in range(n_singles):
        gen[((int(rng.choice(emp)), 1), (int(rng.choice(occ)), 0))] = float(rng.normal(scale=0.3))
    for _ in range(n_doubles):
        a, b = sorted(rng.choice(emp, 2, replace=False), reverse=True)
        j, i = sorted(rng.choice(occ, 2, replace=False), reverse=True)
        gen[((int(a), 1), (int(b), 1), (int(j), 0), (int(i), 0))] = float(rng.normal(scale=0.3))
    return gen


# Spatial orbital p of the 32 one-word orbitals goes to SPREAD[p]: increasing, with gaps
# that put orbitals in every word of the wide sets and pairs across word boundaries.
SPREAD = [0, 1, 2, 3, 5, 8, 13, 21, 31, 32, 33, 34, 40, 47, 55, 63,
          64, 65, 66, 70, 77, 85, 90, 95, 96, 100, 105, 110, 115, 120, 126, 127]
SPIN_SPREAD = {2 * p + s: 2 * q + s for p, q in enumerate(SPREAD) for s in (0, 1)}


@pytest.fixture(scope="module")
def operators():
    rng = np.random.default_rng(2026_12_09)
    n_so = 64
    h = random_operator(rng, n_so, 120)
    occupied = set(range(10))
    gen = random_excitation(rng, occupied, set(range(10, n_so)))
    b = random_operator(rng, n_so, 60, hermitian=False, max_rank=3)
    return SimpleNamespace(h=h, gen=gen, b=b, occupied=occupied)


# ---------------------------------------------------------------------------
# the wide path against the one-word path on the same operators

def test_wide_path_equals_one_word_path(operators):
    cpu = CpuBackend()
    h, g, b, occ = operators.h, operators.gen, operators.b, operators.occupied
    pairs = [
        (cpu.multiply(h, b), cpu.multiply(widened(h), b)),
        (cpu.commutator(h, g), cpu.commutator(h, widened(g))),
        (cpu.normal_order(b), cpu.normal_order(widened(b))),
        (cpu.similarity_transform(h, g, n_comm=3, max_body=3),
         cpu.similarity_transform(widened(h), g, n_comm=3, max_body=3)),
    ]
    for narrow, wide in pairs:
        assert_same_operator(wide, narrow, tol=1e-14)
    assert cpu.hf_expectation(widened(h), occ) == pytest.approx(cpu.hf_expectation(h, occ), abs=1e-13)
    assert cpu.gradient(widened(h), g, occ) == pytest.approx(cpu.gradient(h, g, occ), abs=1e-13)


@pytest.mark.parametrize("n_core,n_act,max_body", [(2, 4, 2), (0, 6, 3), (5, 3, None)])
def test_wide_fold_aware_transform_equals_one_word(operators, n_core, n_act, max_body):
    cpu = CpuBackend()
    space = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=operators.occupied)
    narrow = cpu.fold_aware_transform(operators.h, operators.gen, space, n_comm=2, max_body=max_body)
    wide = cpu.fold_aware_transform(widened(operators.h), operators.gen, space, n_comm=2,
                                    max_body=max_body)
    assert_same_operator(wide["effective_hamiltonian"], narrow["effective_hamiltonian"], tol=1e-14)
    assert wide["terms_kept"] == narrow["terms_kept"]
    assert wide["screened"] and narrow["screened"]
    plain = tavrin._fold_aware_transform_plain(widened(operators.h), operators.gen, space,
                                               n_comm=2, max_body=max_body)
    assert_same_operator(plain, narrow["effective_hamiltonian"], tol=1e-12)


# ---------------------------------------------------------------------------
# spread across every word: an order-preserving renumbering changes nothing

def test_algebra_commutes_with_spreading_the_spin_orbitals(operators):
    cpu = CpuBackend()
    spread = lambda op: renumbered(op, SPIN_SPREAD)  # noqa: E731
    h, g, b = operators.h, operators.gen, operators.b
    assert_same_operator(cpu.commutator(spread(h), spread(g)), spread(cpu.commutator(h, g)))
    assert_same_operator(cpu.multiply(spread(b), spread(h)), spread(cpu.multiply(b, h)))
    assert_same_operator(tavrin._wick_commutator_plain(spread(b), spread(g)),
                         spread(cpu.commutator(b, g)))
    assert_same_operator(cpu.similarity_transform(spread(h), spread(g), n_comm=2, max_body=4),
                         spread(cpu.similarity_transform(h, g, n_comm=2, max_body=4)))
    occ = {SPIN_SPREAD[p] for p in operators.occupied}
    assert cpu.hf_expectation(spread(h), occ) == pytest.approx(
        cpu.hf_expectation(h, operators.occupied), abs=1e-12)


def spread_problem(n_core, n_act, n_orb, occupied):
    """The problem whose core and active orbitals stay where they are and whose virtual
    orbitals move up into SPREAD's last places (the last one on spatial orbital 127),
    with the same reference determinant."""
    first_virtual, shift = n_core + n_act, 31 - (n_orb - 1)
    new_spatial = {p: (p if p < first_virtual else SPREAD[p + shift]) for p in range(n_orb)}
    index = {2 * p + s: 2 * q + s for p, q in new_spatial.items() for s in (0, 1)}
    space = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=set(occupied),
                            n_orb=max(new_spatial.values()) + 1)
    return space, index


def test_fold_aware_transform_with_virtuals_past_64(operators):
    """The active space and the occupied orbitals stay below 64; the virtual orbitals of the
    spread problem sit as high as spin-orbital 255."""
    cpu = CpuBackend()
    n_core, n_act = 2, 3
    space = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=operators.occupied)
    wide_space, index = spread_problem(n_core, n_act, 32, operators.occupied)
    assert max(index.values()) == 255
    h, g = operators.h, operators.gen
    for n_comm, max_body in [(1, 2), (2, 4), (3, 3)]:
        narrow = cpu.fold_aware_transform(h, g, space, n_comm=n_comm, max_body=max_body)
        wide = cpu.fold_aware_transform(renumbered(h, index), renumbered(g, index), wide_space,
                                        n_comm=n_comm, max_body=max_body)
        assert_same_operator(wide["effective_hamiltonian"], narrow["effective_hamiltonian"])
        assert wide["terms_kept"] == narrow["terms_kept"]
        assert wide["terms_formed"] == narrow["terms_formed"]
        for p_wide, p_narrow in zip(wide["partial"], narrow["partial"]):
            assert_same_operator(p_wide, p_narrow)


def test_fold_past_64_against_the_majorana_fold(operators):
    """downfold_to_active of a problem past 32 orbitals folds on the ladder terms; the
    Majorana fold of the same operator before spreading is its oracle."""
    n_core, n_act = 3, 2
    h = operators.h
    narrow_space = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=operators.occupied, n_orb=32)
    wide_space, index = spread_problem(n_core, n_act, 32, operators.occupied)
    want = downfold_to_active(h, narrow_space)
    got = downfold_to_active(renumbered(h, index), wide_space)
    assert_same_operator(got, want)


# ---------------------------------------------------------------------------
# the reference backend on operators past 64 spin-orbitals

def test_against_the_reference_backend_past_64():
    from korvel.backends.olmera import OpenFermionBackend

    rng = np.random.default_rng(80200)
    n_so = 200
    # a sparse operator on 80 of the 200 spin-orbitals, so that products contract often
    modes = np.sort(rng.choice(n_so, 80, replace=False))
    local_h = random_operator(rng, 80, 40)
    local_b = random_operator(rng, 80, 25, hermitian=False, max_rank=3)
    occupied = set(range(0, 80, 3))
    local_g = random_excitation(rng, occupied, set(range(80)) - occupied, 6, 10)
    to_wide = {k: int(m) for k, m in enumerate(modes)}
    h, b, g = (renumbered(x, to_wide) for x in (local_h, local_b, local_g))
    assert max(p for op in (h, b, g) for term in op for p, _ in term) >= 64

    cpu, ref = CpuBackend(), OpenFermionBackend()
    assert_same_operator(cpu.multiply(h, b), ref.multiply(h, b), tol=1e-11)
    assert_same_operator(cpu.commutator(b, h), ref.commutator(b, h), tol=1e-11)
    assert_same_operator(cpu.similarity_transform(h, g, n_comm=2, max_body=3),
                         ref.similarity_transform(h, g, n_comm=2, max_body=3), tol=1e-11)
    occ = {to_wide[p] for p in occupied}
    assert cpu.hf_expectation(h, occ) == pytest.approx(ref.hf_expectation(h, occ), abs=1e-11)


# ---------------------------------------------------------------------------
# a real Hamiltonian, its virtual orbitals moved past spin-orbital 64

def test_lih_singles_and_fold_with_virtuals_moved_up():
    from korvel.methods import cendrel

    prob = problem("lih", active_space="manual", n_act=2, n_act_elec=2)
    T = cendrel._cluster_operator(prob, kind="ccsd_screened", tol=1e-8, singles=True)
    t1 = {t: c for t, c in T.items() if len(t) == 2}
    t2 = {t: c for t, c in T.items() if len(t) == 4}
    space = SimpleNamespace(n_core=prob.n_core, n_act=prob.n_act, occupied=set(prob.occupied))
    wide_space, index = spread_problem(prob.n_core, prob.n_act, prob.n_orb, prob.occupied)
    assert max(index.values()) == 255
    cpu = CpuBackend()
    h = dict(prob.hamiltonian.terms)
    dressed = cpu.similarity_transform(h, t1, n_comm=4, max_body=None)
    wide_dressed = cpu.similarity_transform(renumbered(h, index), renumbered(t1, index),
                                            n_comm=4, max_body=None)
    assert_same_operator(wide_dressed, renumbered(dressed, index))
    narrow = cpu.fold_aware_transform(dressed, t2, space, n_comm=2, max_body=4)
    wide = cpu.fold_aware_transform(wide_dressed, renumbered(t2, index), wide_space,
                                    n_comm=2, max_body=4)
    assert_same_operator(wide["effective_hamiltonian"], narrow["effective_hamiltonian"])
    # the bare fold (CASCI's operator) of the moved Hamiltonian, on the ladder terms
    assert_same_operator(downfold_to_active(renumbered(h, index), wide_space),
                         downfold_to_active(h, prob))


# ---------------------------------------------------------------------------
# limits

def test_limits_are_named():
    cpu = CpuBackend()
    with pytest.raises(ValueError, match="256 spin-orbitals"):
        cpu.commutator({((256, 1), (0, 0)): 1.0}, {((1, 1), (0, 0)): 1.0})
    with pytest.raises(ValueError, match="0 to 255"):
        cpu.fold_aware_transform({((3, 1), (3, 0)): 1.0}, {},
                                 SimpleNamespace(n_core=0, n_act=1, occupied={300}),
                                 n_comm=1, max_body=None)
    # the Majorana engine keeps its 64 spin-orbitals and says where more are held
    with pytest.raises((ValueError, OverflowError), match="64 spin-orbitals"):
        GpuBackend._to_maj(np, {((70, 1), (0, 0)): 1.0})
    from korvel.downfold import majorana
    with pytest.raises(ValueError, match="64 spin-orbitals.*256"):
        majorana.expand_to_majorana({((70, 1), (70, 0)): 1.0})


# ---------------------------------------------------------------------------
# the contraction index of the commutator

def random_any_parity(rng, n_so, n_terms):
    """Terms of one to five ladder operators in any order: fermion-odd ones, ones that
    change the particle number and repeated spin-orbitals included."""
    op = {}
    for _ in range(n_terms):
        k = int(rng.integers(1, 6))
        term = tuple((int(rng.integers(n_so)), int(rng.integers(2))) for _ in range(k))
        op[term] = complex(rng.normal(), rng.normal())
    return op


@pytest.mark.parametrize("wide", [False, True])
def test_indexed_commutator_equals_every_pair(wide):
    """The commutator meets only the rows of its right factor that can contract with a
    row of the left one (and the odd rows, for an odd row); every pair of the plain
    statement and the reference backend must give the same operator."""
    from korvel.backends.olmera import OpenFermionBackend

    rng = np.random.default_rng(77 + wide)
    a, b = random_any_parity(rng, 12, 60), random_any_parity(rng, 12, 80)
    if wide:
        a, b = renumbered(a, SPIN_SPREAD), renumbered(b, SPIN_SPREAD)
    got = CpuBackend().commutator(a, b)
    assert_same_operator(got, tavrin._wick_commutator_plain(a, b))
    assert_same_operator(got, OpenFermionBackend().commutator(a, b), tol=1e-11)
    assert_same_operator(CpuBackend().commutator(b, a), {k: -v for k, v in got.items()})
