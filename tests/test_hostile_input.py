"""Adversarial but legal input at every native entry point that reads an operator.

Mappings changed by their own keys' and values' methods while they are read, items(),
__index__, __complex__ and __repr__ that raise, non-finite coefficients, huge indices and
sizes, wrong dagger flags. Each case asserts the exception type and that the process lives
on; the cases that could take the interpreter down run in a subprocess of their own.
"""

from __future__ import annotations

import math
import os
import subprocess
import sys
import textwrap
from collections.abc import Mapping
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvel.downfold import majorana as M

HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------------------
# Hostile objects. Each factory returns a fresh operator (a dict unless stated).


class ClearingIndex:
    """An index whose __index__ empties the operator it is read from."""

    def __init__(self, target, value=0):
        self.target, self.value = target, value

    def __index__(self):
        self.target.clear()
        return self.value


class NegativeClearingRepr:
    """A negative index whose __repr__ (built for the error message) empties the operator."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        return -1

    def __repr__(self):
        self.target.clear()
        return "NegativeClearingRepr()"


class ClearingComplex:
    """A coefficient whose conversion empties the operator."""

    def __init__(self, target):
        self.target = target

    def __complex__(self):
        self.target.clear()
        return 1.0 + 0j

    def __float__(self):
        self.target.clear()
        return 1.0

    def __abs__(self):
        return 1.0


class GrowingComplex(ClearingComplex):
    """A coefficient whose conversion adds many terms to the operator."""

    def __complex__(self):
        for p in range(200):
            self.target[((p % 8, 1), (p % 7, 0), (p, 1))] = 0.5
        return 1.0 + 0j

    __float__ = None


class RaisingItems(Mapping):
    """A mapping that refuses to be read, whichever way it is read."""

    def __getitem__(self, key):
        raise KeyError("mapping refused")

    def __iter__(self):
        raise KeyError("mapping refused")

    def __len__(self):
        return 1

    def items(self):
        raise KeyError("items refused")

    keys = values = items


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index refused")


class RaisingComplex:
    def __complex__(self):
        raise ArithmeticError("complex refused")


class RaisingRepr:
    """A negative index whose __repr__ raises: the index error must still be the one seen."""

    def __index__(self):
        return -3

    def __repr__(self):
        raise RuntimeError("repr refused")


def op_index_clears():
    op = {((1, 1), (1, 0)): 0.5}
    op[((ClearingIndex(op), 1), (2, 0), (5, 1), (6, 0))] = 1.0
    op[((3, 1), (3, 0))] = 0.25
    return op


def op_negative_repr_clears():
    op = {((1, 1), (1, 0)): 0.5}
    op[((NegativeClearingRepr(op), 1), (2, 0))] = 1.0
    return op


def op_complex_clears():
    op = {((1, 1), (1, 0)): 0.5}
    op[((2, 1), (2, 0))] = ClearingComplex(op)
    op[((3, 1), (3, 0))] = 0.25
    return op


def op_complex_grows():
    op = {((1, 1), (1, 0)): 0.5}
    op[((2, 1), (2, 0))] = GrowingComplex(op)
    return op


MUTATING = {
    "index clears the dict": op_index_clears,
    "negative index's repr clears the dict": op_negative_repr_clears,
    "coefficient's __complex__ clears the dict": op_complex_clears,
    "coefficient's __complex__ grows the dict": op_complex_grows,
}

# ---------------------------------------------------------------------------
# Entry points that read an operator, each called with a small valid context.

PROBLEM = SimpleNamespace(n_core=1, n_act=2, occupied={0, 1, 2, 3})
GENERATOR = {((2, 1), (0, 0)): 0.3, ((0, 1), (2, 0)): -0.3}


def _backend():
    from korvel.backends.olmera import OpenFermionBackend
    return OpenFermionBackend()


def _analysis():
    from korvel.core import analysis
    return analysis


def _cpu_backend():
    from korvel.backends.tavrin import CpuBackend
    return CpuBackend()


def _cendrel():
    from korvel.methods import cendrel
    return cendrel


def _projector():
    from korvel.downfold import projector
    return projector


ENTRY = {
    "majorana.expand_to_majorana": lambda op: M.expand_to_majorana(op),
    "majorana._expand_plain": lambda op: M._expand_plain(op),
    "projector.downfold_to_active": lambda op: _projector().downfold_to_active(op, PROBLEM),
    "olmera.normal_order": lambda op: _backend().normal_order(op),
    "olmera.commutator": lambda op: _backend().commutator(op, GENERATOR),
    "olmera.multiply": lambda op: _backend().multiply(GENERATOR, op),
    "olmera._truncate_body": lambda op: _backend()._truncate_body(op, 1),
    "olmera.hf_expectation": lambda op: _backend().hf_expectation(op, [0, 1]),
    "olmera.similarity_transform":
        lambda op: _backend().similarity_transform(op, GENERATOR, n_comm=2, max_body=None),
    "olmera.rotate_single":
        lambda op: _backend().rotate_single(op, GENERATOR, 0.1, max_body=None, substeps=2),
    "olmera.gradient": lambda op: _backend().gradient(op, GENERATOR, [0, 1]),
    "tavrin.normal_order": lambda op: _cpu_backend().normal_order(op),
    "tavrin.commutator": lambda op: _cpu_backend().commutator(op, GENERATOR),
    "tavrin.multiply": lambda op: _cpu_backend().multiply(GENERATOR, op),
    "tavrin.similarity_transform":
        lambda op: _cpu_backend().similarity_transform(op, GENERATOR, n_comm=2, max_body=2),
    "tavrin.rotate_single": lambda op: _cpu_backend().rotate_single(op, GENERATOR, 0.1, max_body=None),
    "tavrin.fold_aware_transform": lambda op: _cpu_backend().fold_aware_transform(
        op, {((4, 1), (0, 0)): 0.2}, PROBLEM, n_comm=2, max_body=2),
    "tavrin.fold_aware_transform as generator": lambda op: _cpu_backend().fold_aware_transform(
        GENERATOR, op, PROBLEM, n_comm=2, max_body=None),
    "tavrin.optimal_theta": lambda op: _cpu_backend().optimal_theta(op, GENERATOR, [0, 1], 2),
    "tavrin.hf_expectation": lambda op: _cpu_backend().hf_expectation(op, [0, 1]),
    "tavrin.gradient": lambda op: _cpu_backend().gradient(op, GENERATOR, [0, 1]),
    "cendrel._nonhermiticity_l1": lambda op: _cendrel()._nonhermiticity_l1(op),
    "analysis.lcu_one_norm": lambda op: _analysis().lcu_one_norm(op),
    "analysis.fci_energy": lambda op: _analysis().fci_energy(op, 8, 2),
}
NATIVE_READER = ("majorana.expand_to_majorana", "majorana._expand_plain",
                 "projector.downfold_to_active")


def outcome(entry, factory):
    """The name of the exception the call raises, or "ok"."""
    try:
        ENTRY[entry](factory())
    except Exception as e:  # noqa: BLE001 - the type is what the caller checks
        return type(e).__name__
    return "ok"


def run_isolated(entries):
    """outcome(entry, factory) for every entry and every MUTATING case, in one fresh
    interpreter: (exit status, {(entry, case): outcome}, stderr)."""
    code = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {HERE!r})
        import test_hostile_input as T
        for entry in {entries!r}:
            for case, factory in T.MUTATING.items():
                if (entry, case) in T.TOO_LARGE:
                    continue
                print("OUTCOME", entry, "|", case, "|", T.outcome(entry, factory), flush=True)
    """)
    # The same interpreter, on the same import path as this one, started in the tests
    # folder so that a source checkout in the working folder cannot shadow the installed
    # package.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True,
                          text=True, timeout=600, env=env, cwd=HERE)
    got = {}
    for line in proc.stdout.splitlines():
        if line.startswith("OUTCOME "):
            entry, case, result = (part.strip() for part in line[len("OUTCOME "):].split("|"))
            got[entry, case] = result
    return proc.returncode, got, proc.stderr[-3000:]


# The grown operator spans 200 spin-orbitals: too large for an FCI check.
TOO_LARGE = {("analysis.fci_energy", "coefficient's __complex__ grows the dict")}


# ---------------------------------------------------------------------------
# Mappings changed while they are read: the process lives, and the change is reported
# (the interpreter's own RuntimeError) or the reading finishes on what it holds; the
# negative index is still reported as such. One interpreter per module.

@pytest.mark.parametrize("module", sorted({e.split(".")[0] for e in ENTRY}))
def test_mapping_changed_while_read_leaves_the_process_alive(module):
    entries = [e for e in ENTRY if e.split(".")[0] == module]
    status, got, err = run_isolated(entries)
    assert status == 0, f"{module} killed the interpreter (status {status}) after {got}:\n{err}"
    for entry in entries:
        for case in MUTATING:
            if (entry, case) in TOO_LARGE:
                continue
            allowed = {"ok", "RuntimeError", "ValueError", "TypeError"}
            if entry in NATIVE_READER:
                allowed = {"negative index's repr clears the dict": {"ValueError"}}.get(
                    case, {"RuntimeError"})
            assert got.get((entry, case)) in allowed, f"{entry} on '{case}': {got.get((entry, case))}"


def test_negative_index_with_clearing_repr_names_the_index():
    with pytest.raises(ValueError, match=r"NegativeClearingRepr\(\) .* is negative"):
        M.expand_to_majorana(op_negative_repr_clears())


def test_reading_a_changed_dict_reports_the_change():
    with pytest.raises(RuntimeError, match="changed size"):
        M.expand_to_majorana(op_index_clears())


# ---------------------------------------------------------------------------
# Errors of the mapping protocol propagate as they are.

RAISING = {
    "items() raises": (RaisingItems, KeyError),
    "__index__ raises": (lambda: {((RaisingIndex(), 1), (0, 0)): 1.0}, ZeroDivisionError),
    "__complex__ raises": (lambda: {((0, 1), (0, 0)): RaisingComplex()}, ArithmeticError),
    "__repr__ raises": (lambda: {((RaisingRepr(), 1), (0, 0)): 1.0}, ValueError),
}
OTHER_RAISING = {
    # OpenFermion is handed the terms as they are; it never calls __index__ or repr.
    ("olmera", "__index__ raises"), ("olmera", "__repr__ raises"),
    ("cendrel", "__index__ raises"), ("cendrel", "__repr__ raises"),
    # Truncation keeps the coefficients as they are, without converting them.
    ("olmera._truncate_body", "__complex__ raises"),
}


@pytest.mark.parametrize("case", list(RAISING))
@pytest.mark.parametrize("entry", list(ENTRY))
def test_errors_of_the_mapping_protocol_propagate(entry, case):
    factory, expected = RAISING[case]
    if (entry.split(".")[0], case) in OTHER_RAISING or (entry, case) in OTHER_RAISING:
        pytest.skip("this entry point does not read indices itself")
    if entry == "analysis.fci_energy" and case == "items() raises":
        pytest.skip("fci_energy hands a non-dict to OpenFermion as it is")
    with pytest.raises(expected):
        ENTRY[entry](factory())


def test_an_unprintable_index_is_reported_without_its_repr():
    with pytest.raises(ValueError, match="<unprintable>"):
        M.expand_to_majorana({((RaisingRepr(), 1),): 1.0})


# ---------------------------------------------------------------------------
# Non-finite coefficients: ValueError naming the term.

NON_FINITE = [float("nan"), float("inf"), -float("inf"), complex(0.0, float("nan")),
              complex(float("inf"), 0.0), np.float64("nan"), np.complex128(complex(1, np.inf))]


@pytest.mark.parametrize("value", NON_FINITE, ids=repr)
@pytest.mark.parametrize("entry", list(ENTRY))
def test_non_finite_coefficients_are_refused(entry, value):
    if entry == "olmera._truncate_body":
        pytest.skip("the truncation passes coefficients on as they are, unread")
    op = {((0, 1), (0, 0)): 0.5, ((2, 1), (3, 0)): value}
    with np.errstate(all="ignore"), pytest.raises(ValueError, match=r"\(\(2, 1\), \(3, 0\)\)"):
        ENTRY[entry](op)


# ---------------------------------------------------------------------------
# Indices, daggers and sizes out of range.

BAD_TERMS = {
    "dagger 2": (((0, 2),), ValueError),
    "dagger -1": (((0, -1),), ValueError),
    "dagger 0.5": (((0, 0.5),), TypeError),
    "index -1": (((-1, 1),), ValueError),
    "index 64": (((64, 1),), ValueError),
    "index 2**70": (((2**70, 1),), ValueError),
    "index 'a'": ((("a", 1),), TypeError),
    "pair of three": (((0, 1, 2),), TypeError),
    "term not a tuple": ([(0, 1)], TypeError),
}


@pytest.mark.parametrize("case", list(BAD_TERMS))
@pytest.mark.parametrize("entry", NATIVE_READER)
def test_bad_terms_are_refused_with_the_term_named(entry, case):
    term, expected = BAD_TERMS[case]
    op = {((1, 1), (1, 0)): 1.0}
    try:
        op[term] = 1.0
    except TypeError:  # an unhashable term: handed over as the items of a mapping instead
        op = SimpleNamespace(items=lambda: [(term, 1.0)])
    with pytest.raises(expected):
        ENTRY[entry](op)


@pytest.mark.parametrize("n_act", [2**62, 2**200])
def test_huge_sizes_are_refused_or_bounded(n_act):
    maj = M.expand_to_majorana({((0, 1), (1, 0)): 1.0})
    if n_act < 2**63:
        got = M.majorana_to_fermion(maj, n_act)
        assert got == {((0, 1), (1, 0)): 1.0 + 0j}
        assert M.downfold(maj, 0, n_act, set()).items() == maj.items()
    else:
        with pytest.raises(ValueError, match="n_act"):
            M.majorana_to_fermion(maj, n_act)
        with pytest.raises(ValueError, match="n_act"):
            M.downfold(maj, 0, n_act, set())


def test_an_expansion_beyond_memory_is_refused_with_its_size():
    term = tuple((p, 1) for p in range(50))
    with pytest.raises(MemoryError, match=r"needs \d+ entries"):
        M.expand_to_majorana({term: 1.0})


@pytest.mark.parametrize("occupied,expected", [([2**70], ValueError), ([-1], ValueError),
                                               (["0"], TypeError), ([RaisingIndex()], ZeroDivisionError),
                                               ("01", TypeError)])
def test_bad_occupied_sets_are_refused(occupied, expected):
    maj = M.expand_to_majorana({((0, 1), (0, 0)): 1.0})
    with pytest.raises(expected):
        M.downfold(maj, 1, 1, occupied)


@pytest.mark.parametrize("masks,expected", [({-1: 1.0}, ValueError), ({2**128: 1.0}, ValueError),
                                            ({1: float("nan")}, ValueError), ({1.5: 1.0}, TypeError),
                                            ({RaisingIndex(): 1.0}, ZeroDivisionError),
                                            ({1: RaisingComplex()}, ArithmeticError)])
def test_bad_monomials_are_refused(masks, expected):
    with pytest.raises(expected):
        M.MajoranaOperator(masks)


# ---------------------------------------------------------------------------
# Sums and products that overflow: OverflowError, never inf.

def test_overflowing_sums_and_products_raise_overflow_error():
    big = 1.5e308
    with pytest.raises(OverflowError):  # identity: 1.5e308 + 1.7e308 / 2
        M.expand_to_majorana({(): big, ((0, 1), (0, 0)): 1.7e308})
    with pytest.raises(OverflowError):
        M.MajoranaOperator({1: 1e200}) * M.MajoranaOperator({2: 1e200})
    with pytest.raises(OverflowError):
        M.MajoranaOperator({1: big}) + M.MajoranaOperator({1: big})
    with pytest.raises(OverflowError):
        M.MajoranaOperator([(1, big), (1, big)])
    with pytest.raises(OverflowError):  # gamma_0 gamma_1 = i (1 - 2 n): n gets -2i * 1e308
        M.majorana_to_fermion(M.MajoranaOperator({3: 1e308}), 1)
    # The largest finite values that do not overflow go through unchanged.
    assert M.majorana_to_fermion(M.expand_to_majorana({((0, 1), (0, 0)): 1e308}), 1) == {
        ((0, 1), (0, 0)): 1e308 + 0j}


# ---------------------------------------------------------------------------
# Random hostile terms: the fast reader and the plain one agree on every input, on the
# error type or on the result.

index_like = st.one_of(st.integers(-3, 70), st.booleans(), st.integers(0, 9).map(np.int64),
                       st.just(2**70), st.text(max_size=1), st.none(), st.floats(0, 3))
pair_like = st.one_of(st.tuples(index_like, index_like), st.tuples(st.integers(0, 9), st.integers(0, 1)),
                      st.lists(st.integers(0, 3), max_size=3).map(tuple))
value_like = st.one_of(st.floats(-1e6, 1e6), st.sampled_from([math.nan, math.inf, -math.inf]),
                       st.complex_numbers(max_magnitude=1e3), st.integers(-5, 5),
                       st.floats(-2, 2).map(np.float64), st.text(max_size=1), st.none())


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.dictionaries(st.lists(pair_like, max_size=5).map(tuple), value_like, max_size=6))
def test_fast_and_plain_readers_agree_on_random_hostile_terms(op):
    def run(f):
        try:
            return "ok", dict(f(op).items())
        except Exception as e:  # noqa: BLE001 - compared between the two readers
            return type(e).__name__, None

    fast, plain = run(M.expand_to_majorana), run(M._expand_plain)
    assert fast[0] == plain[0]
    assert fast[0] in {"ok", "TypeError", "ValueError"}
    if fast[0] == "ok":
        for mask in fast[1].keys() | plain[1].keys():
            assert abs(fast[1].get(mask, 0) - plain[1].get(mask, 0)) <= 1e-9


# ---------------------------------------------------------------------------
# The problem builder reads the molecule mapping: errors of the mapping propagate, a
# non-mapping is a TypeError, and a NaN coordinate is refused before PySCF runs.

class RaisingMolecule(dict):
    def __getitem__(self, key):
        raise LookupError("molecule refused")


@pytest.mark.parametrize("molecule,expected", [
    (RaisingMolecule(geometry=[("H", (0.0, 0.0, 0.0))]), LookupError),
    (RaisingItems(), TypeError),
    ({"geometry": ("H", (0.0, 0.0, 0.0))}, TypeError),
])
def test_problem_builder_reads_the_molecule_mapping_safely(molecule, expected):
    from korvel.core.hamiltonian import _geometry_for_pyscf
    with pytest.raises(expected):
        _geometry_for_pyscf(molecule)


def test_problem_builder_refuses_a_nan_coordinate():
    from korvel.core.hamiltonian import build_problem
    rem = dict(basis="sto-3g", charge=0, multiplicity=1, reference="rhf", active_space="full",
               avas_aos=None, avas_threshold=0.2, n_act=None, n_act_elec=None, orbital_opt=False)
    calc = SimpleNamespace(molecule={"geometry": [("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, math.nan))]},
                           rem=rem)
    with pytest.raises(ValueError):
        build_problem(calc)
