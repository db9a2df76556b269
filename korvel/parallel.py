"""Running ``korvel`` under an MPI launcher: ``mpirun -n N korvel job.in``.

Only DMRG is distributed. Rank 0 runs the job as a serial ``korvel`` would (parsing,
SCF, transform, fold, every other measurement, all printing and every file written);
the other ranks wait for it. When the job reaches DMRG, rank 0 broadcasts the
Hamiltonian to them once, and then every rank runs each bond dimension of block2's
MPI-parallel DMRG together, each holding its share of the operator's terms.

Failures never leave a rank waiting for ever:

- every collective step (receiving the Hamiltonian, one DMRG run) ends with an
  agreement on whether all ranks succeeded; when one failed, every rank learns it and
  rank 0 reports the first failure as the job's error (exit status 2 on all ranks);
- a rank that failed while the others are still inside block2's own communication
  (which cannot be interrupted) waits a few seconds for them, then prints its error and
  aborts the whole MPI job with status 2;
- a failure on rank 0 outside DMRG (a bad input, SCF) ends the waiting ranks with the
  same status.

Scratch files: each rank keeps block2's working files in a folder of its own under the
node's temporary folder (``TMPDIR``); the matrix-product state, which all ranks read,
goes to a folder that rank 0 makes under ``KORVEL_SCRATCH`` (default: the temporary
folder, which is enough on one machine; on a cluster it must be a file system all nodes
share). All of them are removed when the job ends.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import sys
import tempfile
import time
from typing import Any, Callable

# (size, rank) variables of the common MPI launchers: Open MPI, MPICH / Intel MPI
# (Hydra's PMI), MVAPICH.
_LAUNCHER_VARIABLES = (("OMPI_COMM_WORLD_SIZE", "OMPI_COMM_WORLD_RANK"),
                       ("PMI_SIZE", "PMI_RANK"),
                       ("MV2_COMM_WORLD_SIZE", "MV2_COMM_WORLD_RANK"))

#: Tag of the small message that announces each broadcast of rank 0.
_ANNOUNCE_TAG = 7301

#: Seconds a failed rank waits for the others to reach the end of a collective step
#: before it concludes they are stuck in block2's communication and aborts the job.
ABORT_GRACE_S = 10.0

_INSTALL_HINT = ("install the MPI build over the serial block2: pip install \"korvel[mpi]\" "
                 "&& pip install --force-reinstall --no-deps block2-mpi")


class RankFailure(Exception):
    """A collective step failed on some rank; the message names the first one."""


def launcher_world(environ=None) -> tuple[int, int] | None:
    """(rank, size) that an MPI launcher gave this process, or None when it was started
    without one, or as the only rank (then it runs exactly as a serial job)."""
    env = os.environ if environ is None else environ
    for size_var, rank_var in _LAUNCHER_VARIABLES:
        if size_var in env:
            try:
                size, rank = int(env[size_var]), int(env.get(rank_var, "0"))
            except ValueError:
                continue
            return (rank, size) if size > 1 else None
    return None


def one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


class MpiSession:
    """The ranks of one ``mpirun`` job and the DMRG runs they share."""

    def __init__(self, comm, *, debug: bool = False):
        self.comm = comm
        self.rank = comm.Get_rank()
        self.size = comm.Get_size()
        self.host = socket.gethostname()
        self.debug = debug
        self.scratch: str | None = None        # this rank's block2 working files
        self.shared: str | None = None         # the state files all ranks read
        self.hamiltonian = None
        self.n_runs = 0

    # -- agreement at the end of each collective step ------------------------------

    def step(self, fn: Callable[[], Any]) -> Any:
        """Run ``fn`` on this rank as part of a step all ranks take, then agree on the
        outcome: the result when every rank succeeded, else RankFailure (on rank 0 the
        rank's own exception when it failed itself)."""
        error = None
        result = None
        try:
            result = fn()
        except Exception as exc:       # reported below, after the agreement
            error = exc
            if self.debug:
                import traceback
                traceback.print_exc()
        request = self.comm.Ibarrier()
        if error is None:
            request.Wait()
        else:
            deadline = time.monotonic() + ABORT_GRACE_S
            while not request.Test():
                if time.monotonic() > deadline:
                    self.abort(f"on MPI rank {self.rank} ({self.host}): {one_line(error)}")
                time.sleep(0.02)
        messages = self.comm.allgather(None if error is None else one_line(error))
        failed = [(r, m) for r, m in enumerate(messages) if m is not None]
        if failed:
            if error is not None and self.rank == 0:
                raise error
            rank, message = failed[0]
            raise RankFailure(f"on MPI rank {rank}: {message}")
        return result

    def abort(self, message: str) -> None:
        """Print the error, remove this rank's files and end every rank with status 2."""
        print(f"korvel: error: {message}", file=sys.stderr, flush=True)
        self.cleanup()
        self.comm.Abort(2)

    # -- scratch folders -----------------------------------------------------------

    def _prepare(self, shared: str | None, shared_error: str | None) -> None:
        """This rank's scratch folder; the shared folder must be visible here."""
        try:
            import block2
        except Exception as exc:
            raise RuntimeError(f"block2 is not available ({one_line(exc)}); "
                               + _INSTALL_HINT) from exc
        if not hasattr(getattr(block2, "sgf", None), "MPICommunicator"):
            raise RuntimeError(f"the block2 found ({getattr(block2, '__file__', '?')}) is "
                               "the serial build, which cannot run DMRG over MPI; "
                               + _INSTALL_HINT)
        if shared_error is not None:
            raise RuntimeError(shared_error)
        if self.scratch is None:
            try:
                self.scratch = tempfile.mkdtemp(prefix=f"korvel_b2_rank{self.rank}_")
            except OSError as exc:
                raise RuntimeError(f"cannot make a scratch folder under "
                                   f"{tempfile.gettempdir()!r}: "
                                   f"{exc.strerror or exc}") from exc
        if not os.path.isdir(shared):
            raise RuntimeError(f"the scratch folder {shared!r} made by rank 0 is not "
                               f"visible on host {self.host}; set KORVEL_SCRATCH to a "
                               "folder on a file system that all nodes share")
        self.shared = shared

    def _make_shared(self) -> tuple[str | None, str | None]:
        base = os.environ.get("KORVEL_SCRATCH") or None
        try:
            return tempfile.mkdtemp(prefix="korvel_b2_mpi_", dir=base), None
        except OSError as exc:
            where = base or tempfile.gettempdir()
            return None, f"cannot make a scratch folder under {where!r}: " \
                         f"{exc.strerror or exc}"

    def cleanup(self) -> None:
        if self.scratch:
            shutil.rmtree(self.scratch, ignore_errors=True)
            self.scratch = None
        if self.rank == 0 and self.shared:
            shutil.rmtree(self.shared, ignore_errors=True)
        self.shared = None

    # -- what the ranks do together ------------------------------------------------

    def _receive_hamiltonian(self, payload) -> None:
        shared, shared_error, terms, n_spinorb, n_elec = payload
        self.hamiltonian = None
        self._prepare(shared, shared_error)
        self.hamiltonian = (terms, n_spinorb, n_elec)

    def _run_dmrg(self, options: dict) -> dict:
        from korvel.core.analysis import dmrg_solve

        terms, n_spinorb, n_elec = self.hamiltonian
        run = f"run{options['run']}"
        scratch = os.path.join(self.scratch, run)
        os.makedirs(scratch, exist_ok=True)
        mps_dir = os.path.join(self.shared, run)
        os.makedirs(mps_dir, exist_ok=True)     # the same folder on every rank
        # block2 greets and takes leave on standard output; keep that off the summary
        with _stdout_to_stderr() if self.rank == 0 else contextlib.nullcontext():
            point = dmrg_solve(terms, n_spinorb, n_elec, bond_dims=[options["D"]],
                               n_sweeps=options["n_sweeps"], stack_gb=options["stack_gb"],
                               n_threads=options["n_threads"], scratch=scratch,
                               mpi=True, mps_dir=mps_dir, seed=options["seed"])[0]
        return dict(point)

    # rank 0 ---------------------------------------------------------------------

    def _broadcast(self, message) -> None:
        """Send ``message`` to every rank. A short announcement goes first: the other
        ranks wait for it with a sleeping poll, since MPI's blocking calls spin and
        would take a core from rank 0's work (SCF, transform) for the whole job."""
        for rank in range(1, self.size):
            self.comm.send(None, dest=rank, tag=_ANNOUNCE_TAG)
        self.comm.bcast(message, root=0)

    def share_hamiltonian(self, op, n_spinorb: int, n_elec: int) -> None:
        """Send the operator to every rank (once) and prepare the scratch folders."""
        shared, shared_error = (self.shared, None) if self.shared else self._make_shared()
        self.shared = shared
        terms = dict(op if isinstance(op, dict) else op.terms)
        payload = (shared, shared_error, terms, int(n_spinorb), int(n_elec))
        self._broadcast(("hamiltonian", payload))
        self.step(lambda: self._receive_hamiltonian(payload))

    def dmrg_point(self, D: int, *, n_sweeps: int, stack_gb: float, n_threads: int,
                   seed: int | None = 1) -> dict:
        """One DMRG run at bond dimension D on all ranks, from the random state of
        ``seed`` (the same on every rank)."""
        self.n_runs += 1
        options = {"run": self.n_runs, "D": int(D), "n_sweeps": int(n_sweeps),
                   "stack_gb": float(stack_gb), "n_threads": int(n_threads),
                   "seed": seed}
        self._broadcast(("dmrg", options))
        return self.step(lambda: self._run_dmrg(options))

    def finish(self, status: int) -> int:
        """Tell the other ranks the job is over, with its exit status."""
        try:
            self._broadcast(("end", int(status)))
        finally:
            self.cleanup()
        return status

    # the other ranks --------------------------------------------------------------

    def serve(self) -> int:
        """Follow rank 0 until it ends the job; returns the job's exit status."""
        try:
            while True:
                while not self.comm.Iprobe(source=0, tag=_ANNOUNCE_TAG):
                    time.sleep(0.05)
                self.comm.recv(source=0, tag=_ANNOUNCE_TAG)
                kind, payload = self.comm.bcast(None, root=0)
                if kind == "end":
                    return payload
                try:
                    if kind == "hamiltonian":
                        self.step(lambda: self._receive_hamiltonian(payload))
                    elif kind == "dmrg":
                        self.step(lambda: self._run_dmrg(payload))
                except Exception:
                    pass        # rank 0 reports it and ends the job
        finally:
            self.cleanup()


@contextlib.contextmanager
def _stdout_to_stderr():
    """Point file descriptor 1 at standard error for the duration."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


def start_session(rank: int, size: int, *, debug: bool = False) -> MpiSession:
    """Join the MPI job; ImportError naming the extra when mpi4py is missing."""
    try:
        from mpi4py import MPI
    except ImportError as exc:
        raise ImportError(f"korvel was started by an MPI launcher with {size} ranks, but "
                          f"mpi4py is not available ({one_line(exc)}); "
                          + _INSTALL_HINT) from exc
    return MpiSession(MPI.COMM_WORLD, debug=debug)
