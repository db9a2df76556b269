"""The fold-aware transform against transform-then-fold, and what cendrel reports of it.

The oracle of every identity test is the general route: the whole-space similarity
transform of a backend, then ``downfold_to_active`` (the Majorana fold). Both truncations
(the body cap after each commutator and the 1e-12 pruning) act term by term, so the
fold-aware route must give the very same operator: the same keys, and values within 1e-12
(absolute, or relative for coefficients above 1).
"""

from __future__ import annotations

import itertools
from types import SimpleNamespace

import numpy as np
import openfermion as of
import pytest

from chem import GEOMETRIES, make_calc, problem
from korvel.backends import tavrin
from korvel.backends.tavrin import CpuBackend
from korvel.downfold.projector import downfold_to_active
from korvel.methods import cendrel


def assert_same_operator(got, want, tol=1e-12):
    assert set(got) == set(want), (
        f"{len(set(got) - set(want))} extra and {len(set(want) - set(got))} missing terms")
    for term, value in want.items():
        assert abs(got[term] - value) <= tol * max(1.0, abs(value)), (term, got[term], value)


def general_route(backend, h, generator, space, n_comm, max_body):
    return downfold_to_active(
        backend.similarity_transform(h, generator, n_comm=n_comm, max_body=max_body), space)


# ---------------------------------------------------------------------------
# random operators

N_SO = 12  # six spatial orbitals

# (n_core, n_act, occupied): a core and external virtuals; no core; no external
# virtuals; an open-shell reference (five electrons, one unpaired).
SPACES = {
    "core and virtuals": (1, 3, range(4)),
    "no core": (0, 4, range(4)),
    "no external virtuals": (2, 4, range(6)),
    "open shell": (1, 3, range(5)),
}


def random_hermitian(rng, n_terms=40):
    """A number-conserving one- and two-body operator plus its conjugate, normal-ordered
    by OpenFermion."""
    op = of.FermionOperator((), float(rng.normal()))
    for _ in range(n_terms):
        k = int(rng.integers(1, 3))
        cre = rng.choice(N_SO, k, replace=False)
        ann = rng.choice(N_SO, k, replace=False)
        term = tuple((int(p), 1) for p in cre) + tuple((int(q), 0) for q in ann)
        op += of.FermionOperator(term, complex(rng.normal(), rng.normal()))
    op = of.normal_ordered(op + of.hermitian_conjugated(op))
    return dict(op.terms)


def random_excitation(rng, occupied, n_singles=5, n_doubles=10):
    """Singles and doubles from occupied to empty spin-orbitals, random amplitudes."""
    occ = sorted(occupied)
    emp = [p for p in range(N_SO) if p not in occupied]
    gen = {}
    for _ in range(n_singles):
        a, i = int(rng.choice(emp)), int(rng.choice(occ))
        gen[((a, 1), (i, 0))] = float(rng.normal(scale=0.3))
    for _ in range(n_doubles):
        a, b = sorted(rng.choice(emp, 2, replace=False), reverse=True)
        j, i = sorted(rng.choice(occ, 2, replace=False), reverse=True)
        gen[((int(a), 1), (int(b), 1), (int(j), 0), (int(i), 0))] = float(rng.normal(scale=0.3))
    return gen


@pytest.fixture(scope="module")
def cases():
    rng = np.random.default_rng(20261209)
    out = {}
    for name, (n_core, n_act, occ) in SPACES.items():
        space = SimpleNamespace(n_core=n_core, n_act=n_act, occupied=set(occ))
        out[name] = (space, random_hermitian(rng), random_excitation(rng, space.occupied))
    return out


@pytest.mark.parametrize("space_name", list(SPACES))
def test_random_excitations_fold_as_transform_then_fold(cases, space_name):
    space, h, gen = cases[space_name]
    backend = CpuBackend()
    for n_comm, max_body in itertools.product(range(5), (1, 2, 3, 4, None)):
        got = backend.fold_aware_transform(h, gen, space, n_comm=n_comm, max_body=max_body)
        assert got["screened"] is True
        want = general_route(backend, h, gen, space, n_comm, max_body)
        assert_same_operator(got["effective_hamiltonian"], want)
        assert len(got["partial"]) <= n_comm + 1
        assert got["partial"][-1] == got["effective_hamiltonian"]


@pytest.mark.parametrize("space_name", ["core and virtuals", "open shell"])
def test_each_order_is_the_transform_truncated_there(cases, space_name):
    space, h, gen = cases[space_name]
    backend = CpuBackend()
    got = backend.fold_aware_transform(h, gen, space, n_comm=3, max_body=3)
    for k, partial in enumerate(got["partial"]):
        assert_same_operator(partial, general_route(backend, h, gen, space, k, 3), tol=1e-11)


def test_engine_against_its_plain_statement_and_the_reference_backend(cases):
    from korvel.backends.olmera import OpenFermionBackend

    space, h, gen = cases["core and virtuals"]
    got = CpuBackend().fold_aware_transform(h, gen, space, n_comm=2, max_body=2)
    plain = tavrin._fold_aware_transform_plain(h, gen, space, n_comm=2, max_body=2)
    reference = general_route(OpenFermionBackend(), h, gen, space, 2, 2)
    assert_same_operator(got["effective_hamiltonian"], plain)
    assert_same_operator(got["effective_hamiltonian"], reference)


def test_a_generator_that_is_not_an_excitation_is_carried_whole(cases):
    # A de-excitation and a number operator among the terms: no term can be dropped on
    # the way, and the result is still the folded whole-space transform.
    space, h, gen = cases["core and virtuals"]
    gen = dict(gen)
    gen[((0, 1), (9, 0))] = 0.2
    gen[((5, 1), (5, 0))] = 0.1
    backend = CpuBackend()
    got = backend.fold_aware_transform(h, gen, space, n_comm=2, max_body=3)
    assert got["screened"] is False
    assert_same_operator(got["effective_hamiltonian"], general_route(backend, h, gen, space, 2, 3))


def test_only_terms_that_reach_the_fold_are_carried(cases):
    # The last order keeps only terms that survive the fold as they are; the carried
    # terms are a small share of the whole-space series.
    space, h, gen = cases["core and virtuals"]
    backend = CpuBackend()
    got = backend.fold_aware_transform(h, gen, space, n_comm=2, max_body=None)
    whole = backend.commutator(backend.commutator(h, gen), gen)
    external = set(range(2)) | set(range(8, N_SO))
    survivors = sum(1 for t in whole
                    if {p for p, d in t if p in external and d == 1} ==
                    {p for p, d in t if p in external and d == 0} <= space.occupied)
    assert got["terms_kept"][-1] == survivors < len(whole)


# ---------------------------------------------------------------------------
# molecules

def beh2():
    return [("Be", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.33)), ("H", (0.0, 0.0, -1.33))]


MOLECULES = {
    # name: (atoms, rem); a core and external virtuals unless said otherwise
    "LiH": ("lih", dict(active_space="manual", n_act=2, n_act_elec=2)),
    "H2O (4,4), no external virtuals": ("h2o", dict(active_space="manual", n_act=4,
                                                     n_act_elec=4)),
    "BeH2 (4,4)": (beh2(), dict(active_space="manual", n_act=4, n_act_elec=4)),
    "H2O/6-31G (4,4)": ("h2o", dict(basis="6-31g", active_space="manual", n_act=4,
                                    n_act_elec=4)),
}


def molecule_problem(name):
    atoms, rem = MOLECULES[name]
    if isinstance(atoms, str):
        return problem(atoms, **rem)
    from korvel.core.hamiltonian import build_problem
    return build_problem(make_calc(atoms, **rem))


@pytest.mark.parametrize("name", list(MOLECULES))
@pytest.mark.parametrize("singles", [True, False])
def test_molecules_fold_as_transform_then_fold(name, singles):
    p = molecule_problem(name)
    backend = CpuBackend()
    T = cendrel._cluster_operator(p, kind="ccsd_screened", tol=1e-8, singles=singles)
    T1 = {t: c for t, c in T.items() if len(t) == 2}
    T2 = {t: c for t, c in T.items() if len(t) == 4}
    H = dict(p.hamiltonian.terms)
    if T1:
        H = backend.similarity_transform(H, T1, n_comm=4, max_body=None)
    # The whole-space second order of H2O/6-31G has two million terms: there the oracle
    # runs it under a two-body cap.
    settings = ([(1, 4), (2, 2)] if "6-31G" in name else
                [(0, 4), (1, 4), (2, 4), (2, 1), (3, None), (4, 3)])
    for n_comm, max_body in settings:
        got = backend.fold_aware_transform(H, T2, p, n_comm=n_comm, max_body=max_body)
        want = general_route(backend, H, T2, p, n_comm, max_body)
        assert_same_operator(got["effective_hamiltonian"], want)


def test_open_shell_reference_folds_as_transform_then_fold():
    # Triplet CH2 on its ROHF determinant, with an excitation operator of that
    # determinant (singles and doubles of every spin, random amplitudes).
    from korvel.core.hamiltonian import build_problem

    ch2 = [("C", (0.0, 0.0, 0.0)), ("H", (0.0, 0.86, 0.63)), ("H", (0.0, -0.86, 0.63))]
    p = build_problem(make_calc(ch2, multiplicity=3, reference="rohf", active_space="manual",
                                n_act=4, n_act_elec=4))
    n_so = 2 * p.n_orb
    occ = sorted(p.occupied)
    emp = [q for q in range(n_so) if q not in p.occupied]
    rng = np.random.default_rng(7)
    gen = {}
    for a, i in itertools.product(emp, occ):
        if (a - i) % 2 == 0 and rng.random() < 0.5:
            gen[((a, 1), (i, 0))] = float(rng.normal(scale=0.1))
    for _ in range(40):
        a, b = sorted(rng.choice(emp, 2, replace=False), reverse=True)
        j, i = sorted(rng.choice(occ, 2, replace=False), reverse=True)
        if (a % 2 + b % 2) == (i % 2 + j % 2):
            gen[((int(a), 1), (int(b), 1), (int(j), 0), (int(i), 0))] = float(rng.normal(scale=0.1))
    backend = CpuBackend()
    H = dict(p.hamiltonian.terms)
    got = backend.fold_aware_transform(H, gen, p, n_comm=2, max_body=3)
    assert got["screened"] is True
    assert_same_operator(got["effective_hamiltonian"], general_route(backend, H, gen, p, 2, 3))


# ---------------------------------------------------------------------------
# the method

class GeneralRouteBackend(CpuBackend):
    """The CPU backend without the fold-aware transform: cendrel takes the general route."""

    fold_aware_transform = None


def options(**kw):
    return {"ccsd_n_comm": 2, "ccsd_max_body": 4, "generator_pool": "ccsd_screened",
            "pool_tol": 1e-8, **kw}


def test_method_is_the_same_on_both_routes():
    p = molecule_problem("BeH2 (4,4)")
    fast = cendrel.CCSDDownfold(options()).run(p, CpuBackend())
    general = cendrel.CCSDDownfold(options()).run(p, GeneralRouteBackend())
    assert fast.observables["fold_aware"] and not general.observables["fold_aware"]
    assert_same_operator(fast.effective_hamiltonian, general.effective_hamiltonian)
    assert fast.energy == pytest.approx(general.energy, abs=1e-10)
    np.testing.assert_allclose(fast.observables["energy_by_order"],
                               general.observables["energy_by_order"], atol=1e-10, rtol=0)
    assert fast.observables["energy_by_order"][-1] == fast.energy
    assert len(fast.observables["energy_by_order"]) == 3
    # the general route cannot see what the cap removed
    assert general.observables["body_cap_dropped_l1"] is None
    assert fast.observables["body_cap_dropped_l1"] == [0.0, 0.0, 0.0]


def test_body_cap_removal_is_reported_per_order():
    # A one-body cap drops the two-body part of H from the sum (order 0) and every
    # two-body term of the first commutator: what it removes is what the uncapped
    # series would have folded in at those orders.
    p = molecule_problem("LiH")
    res = cendrel.CCSDDownfold(options(ccsd_max_body=1, ccsd_n_comm=1)).run(p, CpuBackend())
    dropped = res.observables["body_cap_dropped_l1"]
    backend = CpuBackend()
    T = cendrel._cluster_operator(p, kind="ccsd_screened", tol=1e-8, singles=True)
    H = backend.similarity_transform(dict(p.hamiltonian.terms),
                                     {t: c for t, c in T.items() if len(t) == 2},
                                     n_comm=4, max_body=None)
    two_body = {t: c for t, c in H.items() if len(t) > 2}
    l1 = sum(abs(c) for c in downfold_to_active(two_body, p).values())
    assert dropped[0] == pytest.approx(l1, rel=1e-12) and dropped[0] > 0
    assert len(dropped) == 2 and dropped[1] > 0


def pyscf_ccsd(atoms):
    from pyscf import cc, gto, scf

    mf = scf.RHF(gto.M(atom=atoms, basis="sto-3g", verbose=0)).run(conv_tol=1e-12)
    solver = cc.CCSD(mf)
    solver.conv_tol, solver.conv_tol_normt = 1e-12, 1e-10
    solver.kernel()
    return float(solver.e_tot)


H4_STRETCHED = [("H", (0.0, 0.0, 1.5 * k)) for k in range(4)]


@pytest.mark.parametrize("atoms, n_act, n_elec", [
    (GEOMETRIES["lih"], 2, 2), (GEOMETRIES["h2o"], 4, 4),
    # stretched: the mean field must be converged tightly, or the semicanonical active
    # block mixes occupied and virtual orbitals and moves the reference (6e-8 Eh)
    (H4_STRETCHED, 2, 2)])
def test_uncapped_series_reproduces_the_ccsd_energy(atoms, n_act, n_elec):
    # With n_comm 4 and a cap that keeps every term the transform is exact; the folded
    # operator's reference expectation is then the CCSD energy.
    from korvel.core.hamiltonian import build_problem

    p = build_problem(make_calc(atoms, active_space="manual", n_act=n_act, n_act_elec=n_elec))
    res = cendrel.CCSDDownfold(options(ccsd_n_comm=4, ccsd_max_body=8)).run(p, CpuBackend())
    e_ccsd = pyscf_ccsd(atoms)
    heff = of.FermionOperator()
    heff.terms = dict(res.effective_hamiltonian)
    matrix = of.get_sparse_operator(heff, n_qubits=2 * n_act)
    det = sum(1 << (2 * n_act - 1 - k) for k in range(n_elec))  # OpenFermion's qubit order
    assert matrix[det, det].real == pytest.approx(e_ccsd, abs=1e-8)
    assert res.observables["ccsd_energy"] == pytest.approx(e_ccsd, abs=1e-8)


def test_warnings_mark_a_stretched_bond_and_spare_equilibrium():
    def run(r):
        atoms = [("N", (0.0, 0.0, 0.0)), ("N", (0.0, 0.0, r))]
        from korvel.core.hamiltonian import build_problem
        p = build_problem(make_calc(atoms, active_space="manual", n_act=6, n_act_elec=6))
        return cendrel.CCSDDownfold(options()).run(p, CpuBackend()).observables

    assert run(1.1)["warnings"] == []
    stretched = run(1.7)
    energies = stretched["energy_by_order"]
    assert abs(energies[-1] - energies[-2]) > 1e-3
    assert len(stretched["warnings"]) == 2
    assert "has not converged" in stretched["warnings"][0]
    assert "far from Hermitian" in stretched["warnings"][1]


def test_progress_names_each_series_and_order():
    lines, orders = [], []
    p = molecule_problem("LiH")
    backend = CpuBackend()
    backend.progress = lambda order, terms, seconds: orders.append((order, terms))
    method = cendrel.CCSDDownfold(options())
    method.progress = lines.append
    method.run(p, backend)
    assert lines[0].startswith("singles:") and lines[1].startswith("doubles:")
    assert "folded as it is built" in lines[1]
    # the singles series runs four commutators, then the doubles series its two orders
    assert [o for o, _ in orders] == [1, 2, 3, 4, 1, 2]


def test_commutator_count_is_bounded():
    p = molecule_problem("LiH")
    with pytest.raises(ValueError, match="ccsd_n_comm must be at most 64"):
        cendrel.CCSDDownfold(options(ccsd_n_comm=65)).run(p, CpuBackend())
