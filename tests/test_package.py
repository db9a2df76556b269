"""Package layout: every compiled module loads without the optional libraries."""

import pytest

from chem import fresh_python

COMPILED = [
    "korvel.core.hamiltonian",
    "korvel.core.analysis",
    "korvel.backends.olmera",
    "korvel.methods.cendrel",
    "korvel.downfold.majorana",
    "korvel.downfold.projector",
]

HEAVY = ["pyscf", "openfermion", "scipy", "cupy", "pyblock2", "block2"]


@pytest.mark.parametrize("module", COMPILED)
def test_compiled_module_loads_without_heavy_libraries(module):
    code = (
        "import sys, importlib\n"
        f"importlib.import_module({module!r})\n"
        f"print(','.join(m for m in {HEAVY!r} if m in sys.modules))\n"
    )
    out = fresh_python(code)
    assert out.stdout.strip() == ""
