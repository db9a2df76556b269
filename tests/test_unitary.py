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
