"""Small molecules and calculation objects shared by the tests.

``problem(name, **rem)`` builds (and caches) a Problem for one of the molecules below,
with the keyword defaults of a plain input file unless overridden.
"""

from __future__ import annotations

import functools
from types import SimpleNamespace

import pytest

GEOMETRIES = {
    "h2": [("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 0.74))],
    "lih": [("Li", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 1.6))],
    "h2o": [("O", (0.0, 0.0, 0.1173)), ("H", (0.0, 0.7572, -0.4692)),
            ("H", (0.0, -0.7572, -0.4692))],
    "n2": [("N", (0.0, 0.0, 0.0)), ("N", (0.0, 0.0, 1.098))],
    "h4": [("H", (0.0, 0.0, 0.0)), ("H", (0.0, 0.0, 0.9)), ("H", (0.0, 0.0, 1.8)),
           ("H", (0.0, 0.0, 2.7))],
    "h6": [("H", (0.0, 0.0, 0.9 * k)) for k in range(6)],
}

REM_DEFAULTS = dict(
    basis="sto-3g", charge=0, multiplicity=1, reference="rhf", active_space="full",
    avas_aos=None, avas_threshold=0.2, n_act=None, n_act_elec=None, orbital_opt=False,
)


def make_calc(name_or_atoms, **rem):
    """A calculation object with ``molecule`` and ``rem`` as the builder expects."""
    atoms = GEOMETRIES[name_or_atoms] if isinstance(name_or_atoms, str) else name_or_atoms
    return SimpleNamespace(molecule={"geometry": list(atoms)}, rem={**REM_DEFAULTS, **rem})


@functools.lru_cache(maxsize=None)
def _cached_problem(name, rem_items):
    from korvel.core.hamiltonian import build_problem
    return build_problem(make_calc(name, **dict(rem_items)))


def problem(name, **rem):
    """A cached Problem for molecule ``name``; treat it as read-only."""
    return _cached_problem(name, tuple(sorted(rem.items())))


@pytest.fixture(scope="module")
def single_threaded_pyscf():
    """Tiny molecules: PySCF's OpenMP threads only cost time on a shared machine. A test
    module takes it with ``pytestmark = pytest.mark.usefixtures(...)`` after importing it."""
    import pyscf

    old = pyscf.lib.num_threads()
    pyscf.lib.num_threads(1)
    yield
    pyscf.lib.num_threads(old)


def fresh_python(code, env=None):
    """Run ``code`` in a new interpreter that imports the same korvel as this process.

    It runs in the tests folder (which holds no korvel package) with the folder above
    the imported korvel package first on PYTHONPATH, so a source checkout without
    compiled modules never shadows an installed package (``python -c`` puts the working
    folder first on the path).
    Returns the completed process; a non-zero exit raises CalledProcessError.
    """
    import os
    import subprocess
    import sys

    import korvel

    root = os.path.dirname(os.path.dirname(os.path.abspath(korvel.__file__)))
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join(
        [root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, cwd=os.path.dirname(os.path.abspath(__file__)), check=True)
