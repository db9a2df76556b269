"""The full-space Hamiltonian built from the integrals, against OpenFermion's route.

OpenFermion's InteractionOperator -> get_fermion_operator -> normal_ordered is the
oracle: the native build must give the same keys, in the same order, with the same
coefficients, including what that route drops (coefficients below 1e-8, partial sums
that cancel) on real molecules and on integrals made to hit those cases.
"""

import numpy as np
import pytest
from chem import make_calc, problem, single_threaded_pyscf  # noqa: F401

from korvel.core.hamiltonian import _hamiltonian_from_integrals, build_problem

pyscf = pytest.importorskip("pyscf")
import openfermion as of  # noqa: E402
from openfermion.chem.molecular_data import spinorb_from_spatial  # noqa: E402


pytestmark = pytest.mark.usefixtures("single_threaded_pyscf")


def openfermion_route(h1, eri, constant):
    one, two = spinorb_from_spatial(h1, np.asarray(eri.transpose(0, 2, 3, 1), dtype=float))
    iop = of.InteractionOperator(constant, one, 0.5 * two)
    return of.normal_ordered(of.get_fermion_operator(iop))


def assert_same_terms(native, reference):
    assert isinstance(native, of.FermionOperator)
    assert list(native.terms) == list(reference.terms)  # same keys, same order
    a = np.array(list(native.terms.values()), dtype=float)
    b = np.array(list(reference.terms.values()), dtype=float)
    np.testing.assert_allclose(a, b, rtol=0, atol=1e-12)


@pytest.mark.parametrize("name, rem", [
    ("h2o", {}),                                                    # RHF, full space
    ("n2", dict(basis="6-31g", active_space="manual", n_act=6, n_act_elec=6)),
    ("lih", dict(reference="rohf", multiplicity=3, active_space="manual", n_act=3,
                 n_act_elec=2)),
    ("lih", dict(reference="uhf", multiplicity=3)),                 # UHF natural orbitals
])
def test_problem_hamiltonian_is_openfermions(name, rem):
    p = problem(name, **rem)
    x = p.extras
    reference = openfermion_route(x["h1"], x["eri"], x["e_nuc"])
    assert_same_terms(p.hamiltonian, reference)
    assert max(i for t in p.hamiltonian.terms for i, _ in t) == p.n_modes - 1
    # the terms own the Python objects: the operator survives the record
    h = p.hamiltonian * 1.0
    assert h == reference


def awkward_integrals(n, seed):
    """Integrals on n orbitals whose values come from a small set, so that coefficients
    fall below or near the 1e-8 cut, and partial sums of the orderings of one term cancel
    exactly (OpenFermion then removes and re-inserts the term, at the end)."""
    rng = np.random.default_rng(seed)
    values = np.array([0.0, 1e-9, -1e-9, 1.5e-8, -1.5e-8, 2e-8, 0.25, -0.25, 0.5, 0.75])
    h1 = rng.choice(values, size=(n, n))
    eri = rng.choice(values, size=(n,) * 4)
    return h1, eri


@pytest.mark.parametrize("n, seed, constant", [
    (1, 0, 0.0), (2, 1, 1.5e-8), (3, 2, -7.25), (3, 3, 5e-9), (4, 4, 0.125),
])
def test_native_and_plain_kernels_follow_openfermion_on_awkward_integrals(n, seed, constant):
    h1, eri = awkward_integrals(n, seed)
    reference = openfermion_route(h1, eri, constant)
    # the awkward values do hit the cut and the re-insertions the test is for
    assert len(reference.terms) > 0
    for plain in (False, True):
        assert_same_terms(_hamiltonian_from_integrals(h1, eri, constant, plain=plain), reference)


def test_symmetric_integrals_with_cancellation_reorder_like_openfermion():
    # (ps|qr) with the 8-fold symmetry of real orbitals and an exact cancellation between
    # the first two orderings of some terms: their key moves behind later ones.
    rng = np.random.default_rng(7)
    n = 3
    eri = np.round(rng.normal(size=(n,) * 4), 1)
    eri = (eri + eri.transpose(1, 0, 2, 3) + eri.transpose(0, 1, 3, 2) + eri.transpose(2, 3, 0, 1))
    eri[0, 1, 2, 0] = eri[0, 1, 0, 2] = eri[1, 0, 2, 0] = eri[1, 0, 0, 2] = 0.5
    eri[0, 2, 1, 0] = eri[2, 0, 1, 0] = eri[0, 2, 0, 1] = eri[2, 0, 0, 1] = 0.5
    h1 = np.round(rng.normal(size=(n, n)), 2)
    h1 = h1 + h1.T
    reference = openfermion_route(h1, eri, 1.0)
    assert_same_terms(_hamiltonian_from_integrals(h1, eri, 1.0), reference)


def test_integrals_of_wrong_shape_are_refused():
    with pytest.raises(ValueError, match="h1 must be a square array"):
        _hamiltonian_from_integrals(np.zeros((2, 3)), np.zeros((2,) * 4), 0.0)
    with pytest.raises(ValueError, match="eri must be a square array"):
        _hamiltonian_from_integrals(np.zeros((2, 2)), np.zeros((3,) * 4), 0.0)
    with pytest.raises(ValueError, match="eri must be a square array"):
        _hamiltonian_from_integrals(np.zeros((2, 2)), np.zeros((2,) * 3), 0.0)
    with pytest.raises(ValueError, match="eri must be real"):
        _hamiltonian_from_integrals(np.zeros((2, 2)), np.zeros((2,) * 4, dtype=complex), 0.0)
    with pytest.raises(TypeError):
        _hamiltonian_from_integrals(np.zeros((1, 1)), np.zeros((1,) * 4), "x")
    empty = _hamiltonian_from_integrals(np.zeros((0, 0)), np.zeros((0,) * 4), 0.0)
    assert empty.terms == {}


def test_fcidump_problem_hamiltonian_is_openfermions(tmp_path):
    from pyscf import gto, scf
    from pyscf.tools import fcidump
    mol = gto.M(atom="O 0 0 0.1173; H 0 0.7572 -0.4692; H 0 -0.7572 -0.4692",
                basis="sto-3g", verbose=0)
    mf = scf.RHF(mol).run()
    path = tmp_path / "h2o.fcidump"
    fcidump.from_scf(mf, str(path))
    calc = make_calc("h2o")
    calc.molecule = {"fcidump": str(path)}
    p = build_problem(calc)
    x = p.extras
    assert_same_terms(p.hamiltonian, openfermion_route(x["h1"], x["eri"], x["e_nuc"]))
