"""The measurements of a job whose full space is wider than 64 spin-orbitals.

The exact energy is PySCF's (skipped past fci_max_dim), the LCU 1-norm native at any
width, DMRG block2's; the CASCI fold of a full space wider than the Majorana masks runs on
the native backend's wide ladder sets and must equal the Majorana fold where both work;
the determinant energy reads only the terms that can be diagonal.
"""

import io
import json

import numpy as np
import pytest
from chem import make_calc

pytest.importorskip("pyscf")
from korvel import cli  # noqa: E402
from korvel.core import analysis as an  # noqa: E402
from korvel.core.hamiltonian import build_problem  # noqa: E402

H2 = [("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 0.74))]


@pytest.mark.parametrize("name, rem", [
    ("h2o", dict(active_space="manual", n_act=4, n_act_elec=4)),
    ("lih", dict(reference="rohf", multiplicity=3, active_space="manual", n_act=3,
                 n_act_elec=2)),
    ("lih", dict(reference="uhf", multiplicity=3, active_space="manual", n_act=4,
                 n_act_elec=2)),
])
def test_ladder_fold_on_wide_sets_equals_the_majorana_fold(name, rem):
    from korvel.backends.tavrin import _fold_to_active
    from korvel.downfold.projector import downfold_to_active
    p = build_problem(make_calc(name, **rem))
    majorana = downfold_to_active(dict(p.hamiltonian.terms), p)
    # a zero term on spin-orbital 200 sends the ladder fold onto its wide sets
    wide = _fold_to_active({**dict(p.hamiltonian.terms), ((200, 1), (200, 0)): 0.0}, p)
    assert set(wide) == set(majorana)
    assert max(abs(wide[k] - majorana[k]) for k in majorana) < 1e-12
    n_so = 2 * p.n_act
    assert an.fci_energy(wide, n_so, p.n_act_elec) == pytest.approx(
        an.fci_energy(majorana, n_so, p.n_act_elec), abs=1e-10)


def test_determinant_energy_reads_only_number_diagonal_terms():
    from korvel.backends.olmera import OpenFermionBackend
    rng = np.random.default_rng(5)
    op = {(): 0.5}
    for _ in range(300):   # terms in any order, repeated spin-orbitals included
        k = int(rng.integers(1, 5))
        op[tuple((int(rng.integers(6)), int(rng.integers(2))) for _ in range(k))] = \
            float(rng.normal())
    kept = an._number_diagonal_terms(op)
    assert 0 < len(kept) < len(op) and list(kept) == [k for k in op if k in kept]
    backend = OpenFermionBackend()
    for occupied in ({0, 1}, {0, 2, 3}, {1, 4, 5}, set()):
        assert complex(cli._determinant_expectation(op, occupied)) == pytest.approx(
            complex(backend.hf_expectation(dict(op), occupied)), abs=1e-12)


def test_effective_operator_past_the_sector_solver_is_skipped_with_a_reason():
    op = {((70, 1), (3, 0)): 1.0, ((3, 1), (70, 0)): 1.0, ((70, 1), (70, 0)): 0.5}
    err = io.StringIO()
    out = {}
    rem = {"fci_max_dim": 10**6, "dmrg_bond_dims": []}
    cli._measure_hamiltonian(op, 72, 1, rem, cli._Progress(err), label="operator",
                             key="op", out=out)
    assert out["exact_energy"] is None
    assert "72 spin-orbitals exceed the 64 of the native sector solver" in out["exact_skipped"]
    assert "exact energy of the operator skipped" in err.getvalue()
    assert out["lcu_one_norm"] == pytest.approx(2 * 0.5 + 0.25, rel=1e-12)


def test_full_space_past_64_spin_orbitals_is_measured_and_downfolded(tmp_path):
    # H2 in aug-cc-pVTZ: 46 orbitals, 92 spin-orbitals, downfolded onto (2,2) by backend
    # auto, which takes the native CPU backend past the GPU backend's 64 spin-orbitals
    inp = tmp_path / "h2.in"
    inp.write_text("$molecule\n0 1\n" + "".join(f"{e} {x} {y} {z}\n" for e, (x, y, z) in H2)
                   + "$end\n$rem\nbasis aug-cc-pvtz\nfci_max_dim 1000\nactive_space manual\n"
                   "n_act 2\nn_act_elec 2\nmethod cendrel\n$end\n")
    out = io.StringIO()
    err = io.StringIO()
    from contextlib import redirect_stderr, redirect_stdout
    with redirect_stdout(out), redirect_stderr(err):
        status = cli.main([str(inp), "--json", str(tmp_path / "h2.json")])
    assert status == 0, err.getvalue()
    report = json.loads((tmp_path / "h2.json").read_text())
    h = report["measurements"]["hamiltonian"]
    assert h["n_spinorb"] == 92 and h["exact_energy"] is None
    assert "2116 determinants exceeds fci_max_dim 1000" in h["exact_skipped"]
    assert h["lcu_one_norm"] > 0
    # the determinant energy, through the number-diagonal terms, is the RHF energy
    from pyscf import gto, scf
    mol = gto.M(atom=H2, basis="aug-cc-pvtz", verbose=0)
    e_rhf = scf.RHF(mol).run(conv_tol=1e-12).e_tot
    assert report["problem"]["e_determinant"] == pytest.approx(e_rhf, abs=1e-8)
    assert "92 spin-orbitals exceed the 64 of the GPU backend" in err.getvalue()
    assert report["backend"] == "cpu"
    # two electrons: CCSD is exact, and the downfolded energy is CCSD's
    from pyscf import fci
    mf = scf.RHF(mol).run(conv_tol=1e-12)
    e_fci = fci.FCI(mf).kernel()[0]
    assert report["observables"]["ccsd_energy"] == pytest.approx(e_fci, abs=1e-8)
    assert report["energy"] == pytest.approx(e_fci, abs=1e-8)


def test_a_method_past_the_backends_width_is_refused_at_parse_time():
    from korvel.inputfile import parse_input_text
    text = ("$molecule\n0 1\nO 0 0 0.1173\nH 0 0.7572 -0.4692\nH 0 -0.7572 -0.4692\n$end\n"
            "$rem\nbasis aug-cc-pvqz\nmethod cendrel\nbackend cpu\n$end\n")
    with pytest.raises(ValueError, match=r"w\.in, line 10: backend cpu holds at most 256 "
                       r"spin-orbitals \(128 orbitals\), and this problem has 172 orbitals"):
        parse_input_text(text, "w.in")
    # the reference backend has no such limit, and without a method nothing is refused
    assert parse_input_text(text.replace("cpu", "openfermion"), "w.in").basis_functions == 172
    assert parse_input_text(text.replace("method cendrel\n", ""), "w.in").basis_functions == 172
    # the unitary method's rotations hold 64 spin-orbitals on any backend
    with pytest.raises(ValueError, match=r"line 9: method unitary holds at most 64 "
                       r"spin-orbitals.*172 orbitals \(344 spin-orbitals\)"):
        parse_input_text(text.replace("cendrel", "unitary"), "w.in")
