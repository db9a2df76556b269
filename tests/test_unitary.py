"""The Hermitian downfold by exact rotations: its pool, its one-pass gradients, the chain
of rotations against dense state vectors, and its energies against exact ones."""

from __future__ import annotations

import re
import types

import numpy as np
import pytest

import chem
from korvel.backends import tavrin
from korvel.backends.olmera import OpenFermionBackend
from korvel.backends.tavrin import CpuBackend, GpuBackend
from korvel.core.analysis import fci_energy
from korvel.methods.base import get_method
from korvel.methods.unitary import excitation_pool, generator_of, hermiticity_defect

REF = OpenFermionBackend()


class _Proxy(types.ModuleType):
    def __getattr__(self, name):
        return getattr(np, name)


class ProxyBackend(GpuBackend):
    """The array-module route on the host."""

    @staticmethod
    def _xp():
        return _Proxy("proxy_xp")


def run(problem, backend, **options):
    return get_method("unitary")(options).run(problem, backend)


def dense(op, nq):
    from openfermion import FermionOperator, get_sparse_operator
    x = FermionOperator()
    x.terms = dict(op)
    return get_sparse_operator(x, n_qubits=nq).toarray()


@pytest.fixture(scope="module")
def h2o44():
    return chem.problem("h2o", active_space="manual", n_act=4, n_act_elec=4)


def test_pool_touches_an_external_orbital_and_conserves_spin(h2o44):
    p = h2o44
    pool = excitation_pool(p)
    core, act_end = 2 * p.n_core, 2 * (p.n_core + p.n_act)
    assert pool and len(set(pool)) == len(pool)
    for occ, vir in pool:
        assert set(occ) <= p.occupied and not set(vir) & p.occupied
        assert sorted(o % 2 for o in occ) == sorted(v % 2 for v in vir)
        assert any(q < core or q >= act_end for q in occ + vir)
    # every spin-conserving particle-hole single and double with an external index is in
    from itertools import combinations
    holes = sorted(p.occupied)
    parts = [q for q in range(2 * p.n_orb) if q not in p.occupied]
    wanted = {(tuple(sorted(o, reverse=True)), tuple(sorted(v, reverse=True)))
              for k in (1, 2) for o in combinations(holes, k) for v in combinations(parts, k)
              if sorted(x % 2 for x in o) == sorted(x % 2 for x in v)
              and any(q < core or q >= act_end for q in o + v)}
    assert set(pool) == wanted


def test_one_pass_gradients_match_each_members_commutator(h2o44):
    p = h2o44
    pool = excitation_pool(p)
    h = dict(p.hamiltonian.terms)
    occ = set(p.occupied)
    # a Hamiltonian with three-body terms and no symmetry left: rotated twice, uncapped
    for occ_vir, theta in ((pool[3], 0.3), (pool[-5], -0.7)):
        h = CpuBackend().rotate_single(h, generator_of(*occ_vir), theta, max_body=None)
    fast = tavrin.pool_gradients(h, pool, occ)
    plain = tavrin.pool_gradients(h, pool, occ, plain=True)
    np.testing.assert_allclose(fast, plain, atol=1e-12)
    picks = list(range(0, len(pool), max(1, len(pool) // 25)))
    for k in picks:  # the reference backend's <HF|[H, A]|HF>, member by member
        assert fast[k] == pytest.approx(REF.gradient(h, generator_of(*pool[k]), occ), abs=1e-10)
    assert max(abs(g) for g in fast) > 1e-3


def test_rotation_chain_is_the_dense_unitary_and_keeps_the_spectrum():
    # H2/6-31G with one active orbital: uncapped, every rotation is exact, so the
    # reference energies are those of the dense state e^{t_1 A_1} ... e^{t_k A_k}|HF>,
    # and the folded spectrum can only come from a unitary transform of H.
    p = chem.problem("h2", basis="6-31g", active_space="manual", n_act=1, n_act_elec=2)
    nq = 2 * p.n_orb
    r = run(p, CpuBackend(), unitary_grad_tol=1e-6, unitary_max_body=8)
    obs = r.observables
    assert obs["rotations"] == len(obs["generators"]) >= 3
    hm = dense(p.hamiltonian.terms, nq)
    psi = np.zeros(2 ** nq, complex)
    psi[sum(1 << (nq - 1 - q) for q in p.occupied)] = 1.0
    from scipy.linalg import expm
    # H_k = U_k^+ H U_k with U_k = e^{t_1 A_1} ... e^{t_k A_k}: the later rotations act
    # first on the determinant.
    u = np.eye(2 ** nq, dtype=complex)
    energies = [float((psi.conj() @ hm @ psi).real)]
    for g in obs["generators"]:
        am = dense(generator_of(tuple(g["occupied"]), tuple(g["virtual"])), nq)
        u = u @ expm(g["theta"] * am)
        phi = u @ psi
        energies.append(float((phi.conj() @ hm @ phi).real))
    np.testing.assert_allclose(obs["reference_energy_by_rotation"], energies, atol=1e-10)
    assert np.all(np.diff(energies) <= 1e-12)   # each optimal angle lowers the energy
    assert obs["final_gradient"] < 1e-3 and obs["hermiticity_defect"] < 1e-12
    exact = fci_energy(p.hamiltonian.terms, nq, p.n_elec)
    assert abs(r.energy - exact) < 1e-4   # H2 is a two-electron problem: rotations reach it


def test_every_orbital_active_leaves_nothing_to_rotate():
    p = chem.problem("h2o")   # the whole space active
    r = run(p, CpuBackend())
    assert r.observables["pool_size"] == 0 and r.observables["rotations"] == 0
    assert r.energy == pytest.approx(fci_energy(p.hamiltonian.terms, 2 * p.n_orb, p.n_elec), abs=1e-9)
    assert r.observables["reference_energy_by_rotation"] == [pytest.approx(p.e_ref, abs=1e-9)]


def test_energy_is_hermitian_beats_casci_and_agrees_on_both_routes():
    p = chem.problem("h2", basis="6-31g", active_space="manual", n_act=2, n_act_elec=2)
    cpu = run(p, CpuBackend())
    arrays = run(p, ProxyBackend())
    exact = fci_energy(p.hamiltonian.terms, 2 * p.n_orb, p.n_elec)
    from korvel.downfold.projector import downfold_to_active
    casci = fci_energy(downfold_to_active(dict(p.hamiltonian.terms), p), 2 * p.n_act, p.n_act_elec)
    heff = cpu.effective_hamiltonian
    assert cpu.observables["hermiticity_defect"] < 1e-12
    assert hermiticity_defect(heff) == cpu.observables["hermiticity_defect"]
    # the dense matrix of the folded operator is Hermitian too (an independent check)
    m = dense(heff, 2 * p.n_act)
    assert np.abs(m - m.conj().T).max() < 1e-12
    assert abs(cpu.energy - arrays.energy) < 1e-8
    assert cpu.observables["rotations"] == arrays.observables["rotations"] > 0
    # spin symmetry makes gradients equal up to rounding, which differs between the
    # routes: the ties are broken the same way, so both take the same path
    path = [[(g["occupied"], g["virtual"]) for g in r.observables["generators"]] for r in (cpu, arrays)]
    assert path[0] == path[1]
    # the rotations recover correlation that the bare active space misses
    assert abs(cpu.energy - exact) < 0.5 * abs(casci - exact)
    assert abs(cpu.energy - exact) < 1.6e-3


@pytest.mark.parametrize("bad, error", [
    ({"unitary_grad_tol": -1.0}, ValueError),
    ({"unitary_max_rotations": 0}, ValueError),
    ({"unitary_max_body": 1.5}, TypeError),
    ({"unitary_max_body": 2}, ValueError),
])
def test_bad_options_are_refused(h2o44, bad, error):
    with pytest.raises(error, match=next(iter(bad))):
        run(h2o44, CpuBackend(), **bad)


def test_cli_run_reports_progress_json_and_the_rotation_picture(tmp_path):
    from test_cli import korvel, strict_json, write_input
    pytest.importorskip("matplotlib")
    job = write_input(tmp_path / "h2.in", chem.GEOMETRIES["h2"],
                      {"basis": "6-31g", "active_space": "manual", "n_act": 1,
                       "n_act_elec": 2, "method": "unitary", "unitary_grad_tol": 1e-3})
    proc = korvel(job, "--json", tmp_path / "r.json", "--plot", tmp_path / "r.png")
    assert proc.returncode == 0, proc.stderr
    report = strict_json(tmp_path / "r.json")
    obs = report["observables"]
    exact = report["measurements"]["hamiltonian"]["exact_energy"]
    assert report["method"] == "unitary" and obs["hermitian"] is True
    assert len(obs["reference_energy_by_rotation"]) == obs["rotations"] + 1
    assert obs["reference_energy_by_rotation"][-1] == pytest.approx(report["energy"], abs=1e-9)
    assert abs(report["energy"] - exact) < 1e-4
    assert re.search(r"\d+ rotations \((converged|no energy left to gain)\): largest gradient",
                     proc.stderr)
    assert (tmp_path / "r.png").stat().st_size > 0
    # the picture's rotation panel holds the reference energies, one point per rotation
    from korvel.plot import results_figure
    fig = results_figure(rotations=(obs["reference_energy_by_rotation"],
                                    [("CCSD", obs["ccsd_energy"]), ("exact", exact)]))
    line = fig.axes[0].lines[0]
    np.testing.assert_allclose(line.get_ydata(), obs["reference_energy_by_rotation"])
    assert [l.get_label().split()[0] for l in fig.axes[0].lines[1:]] == ["CCSD", "exact"]


# ---------------------------------------------------------------------------
# The operator held in the engine between rotations (the cpu backend's loop)

@pytest.fixture(scope="module")
def h2_631g_three_body():
    """H2/6-31G (8 spin-orbitals) rotated once, uncapped, about a double on the
    Majorana route: a Hamiltonian with three- and four-body terms, small enough for
    dense matrices."""
    p = chem.problem("h2", basis="6-31g", active_space="manual", n_act=1, n_act_elec=2)
    h = CpuBackend().rotate_single(dict(p.hamiltonian.terms), generator_of((1, 0), (5, 2)), 0.4,
                                   max_body=None)
    return p, h


def test_held_rotation_is_the_dense_unitary_for_singles_and_doubles(h2_631g_three_body):
    from scipy.linalg import expm
    p, h = h2_631g_three_body
    nq = 2 * p.n_orb
    hm = dense(h, nq)
    # singles and doubles, particle-hole and not, spin-conserving and not
    for occ, vir in (((0,), (2,)), ((1,), (7,)), ((1, 0), (3, 2)), ((7, 4), (6, 1)),
                     ((2,), (5,)), ((6, 5), (3, 0))):
        am = dense(generator_of(occ, vir), nq)
        for theta in (0.37, 2.9):
            held = tavrin.LadderTerms(h)
            held.rotate(occ, vir, theta, None)
            u = expm(theta * am)
            want = u.conj().T @ hm @ u
            assert np.abs(dense(held.to_dict(), nq) - want).max() < 1e-10, (occ, vir, theta)


def test_held_rotation_and_angle_match_the_closed_form_route(h2o44):
    p = h2o44
    occ = set(p.occupied)
    pool = excitation_pool(p)
    # three-body terms from two uncapped rotations, as in the rotation loop
    h = dict(p.hamiltonian.terms)
    for member, theta in ((pool[3], 0.3), (pool[-5], -0.7)):
        h = CpuBackend().rotate_single(h, generator_of(*member), theta, max_body=None)
    held = tavrin.LadderTerms(h)
    assert held.pool_gradients(pool, occ) == pytest.approx(tavrin.pool_gradients(h, pool, occ), abs=1e-12)
    assert held.hf_value(occ) == pytest.approx(CpuBackend().hf_expectation(h, occ).real, abs=1e-10)
    for member in (pool[0], pool[len(pool) // 2], pool[-1]):
        gen = generator_of(*member)
        theta = held.best_angle(member[0], member[1], occ)
        assert theta == pytest.approx(CpuBackend().optimal_theta(h, gen, occ, p.n_orb), abs=1e-10)
        for cap in (3, None):
            rotated = tavrin.LadderTerms(h)
            rotated.rotate(member[0], member[1], 0.8, cap)
            want = CpuBackend().rotate_single(h, gen, 0.8, max_body=cap)
            got = rotated.to_dict()
            assert max(abs(got.get(t, 0.0) - want.get(t, 0.0)) for t in set(got) | set(want)) < 1e-9
            if cap is not None:
                assert max(len(t) for t in got) <= 2 * cap


def test_held_angle_agrees_with_the_reference_backend(h2_631g_three_body):
    # The reference backend searches the same energy curve to ~1e-7 in the angle: its
    # angle lies close, and the state-vector energy at the held angle is no higher than
    # at its own.
    p, h = h2_631g_three_body
    occ = set(p.occupied)
    nq = 2 * p.n_orb
    hm = dense(h, nq)
    psi = np.zeros(2 ** nq, complex)
    psi[sum(1 << (nq - 1 - q) for q in p.occupied)] = 1.0
    held = tavrin.LadderTerms(h)
    assert held.hf_value(occ) == pytest.approx(REF.hf_expectation(h, occ).real, abs=1e-10)
    for occ_, vir in (((0,), (2,)), ((1, 0), (3, 2)), ((1, 0), (7, 6))):
        gen = generator_of(occ_, vir)
        theta = held.best_angle(occ_, vir, occ)
        theta_ref = REF.optimal_theta(h, gen, occ, p.n_orb)
        assert theta == pytest.approx(theta_ref, abs=1e-6)
        lam, vec = np.linalg.eigh(1j * dense(gen, nq))
        c = vec.conj().T @ psi

        def energy(t):
            phi = vec @ (np.exp(-1j * lam * t) * c)
            return float((phi.conj() @ hm @ phi).real)

        assert energy(theta) <= energy(theta_ref) + 1e-12


def test_held_angle_minimises_the_state_vector_energy(h2_631g_three_body):
    p, h = h2_631g_three_body
    nq = 2 * p.n_orb
    hm = dense(h, nq)
    psi = np.zeros(2 ** nq, complex)
    psi[sum(1 << (nq - 1 - q) for q in p.occupied)] = 1.0
    held = tavrin.LadderTerms(h)
    for occ, vir in (((0,), (2,)), ((1, 0), (3, 2)), ((1, 0), (7, 6))):
        # e^{tA} psi from one eigendecomposition of the Hermitian iA
        lam, vec = np.linalg.eigh(1j * dense(generator_of(occ, vir), nq))
        c = vec.conj().T @ psi

        def energy(t):
            phi = vec @ (np.exp(-1j * lam * t) * c)
            return float((phi.conj() @ hm @ phi).real)

        theta = held.best_angle(occ, vir, set(p.occupied))
        grid = np.linspace(-np.pi / 2, np.pi / 2, 721)
        assert energy(theta) <= min(energy(t) for t in grid) + 1e-12
        assert -np.pi / 2 <= theta < np.pi / 2


@pytest.mark.parametrize("occ, vir", [((0,), (0,)), ((), (2,)), ((0, 1, 3), (4, 5, 6)),
                                      ((0,), (2, 3)), ((0,), (64,)), ((-1,), (2,))])
def test_held_rotation_refuses_what_is_not_an_excitation(occ, vir):
    held = tavrin.LadderTerms({((2, 1), (0, 0)): 0.5, ((0, 1), (2, 0)): 0.5})
    with pytest.raises(ValueError):
        held.rotate(occ, vir, 0.3, None)
    with pytest.raises(ValueError):
        held.best_angle(occ, vir, {0, 1})


def test_held_angle_refuses_an_excitation_of_empty_orbitals():
    held = tavrin.LadderTerms({((2, 1), (0, 0)): 0.5, ((0, 1), (2, 0)): 0.5})
    with pytest.raises(ValueError, match="empty occupied"):
        held.best_angle((2,), (0,), {0, 1})   # spin-orbital 2 is empty
    with pytest.raises(ValueError, match="0 .. 63"):
        tavrin.LadderTerms({((70, 1), (0, 0)): 1.0})


def test_held_operator_from_threads_at_once(h2o44):
    import threading
    p = h2o44
    occ = set(p.occupied)
    pool = excitation_pool(p)
    held = tavrin.LadderTerms(p.hamiltonian.terms)
    errors = []

    def rotate():
        try:
            for member in pool[:20]:
                held.rotate(member[0], member[1], 0.05, 3)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def read():
        try:
            for _ in range(20):
                held.pool_gradients(pool, occ)
                held.hf_value(occ)
                len(held.to_dict())
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=f) for f in (rotate, rotate, read)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(held) > len(p.hamiltonian.terms)
