"""What a new user meets first: the default backend, the shipped examples after a plain
install, libraries refused before the SCF, and nothing lost when a late stage fails.
Energies are checked against PySCF and against the reference backend."""

import re

import pytest

from test_cli import EXAMPLES, H2, ROOT, korvel, need_method, strict_json, write_input

# -- the default backend -------------------------------------------------------------

def test_auto_backend_is_the_native_one_and_agrees_with_the_reference(tmp_path):
    """Without a GPU, "auto" is the native CPU backend (never the slow reference one),
    and its downfolded energy is the reference backend's."""
    need_method()
    from korvel.backends import get_backend
    from korvel.backends.tavrin import GpuBackend

    auto = get_backend("auto")
    assert auto.name == ("gpu" if GpuBackend().available() else "cpu")
    assert get_backend("openfermion").name == "openfermion"        # still there by name

    rem = {"basis": "sto-3g", "method": "cendrel", "backend": "auto"}
    proc = korvel(write_input(tmp_path / "h2.in", H2, rem), "--json", tmp_path / "a.json")
    assert proc.returncode == 0, proc.stderr
    data = strict_json(tmp_path / "a.json")
    assert data["backend"] == auto.name
    if auto.name == "cpu":
        assert "no GPU found, using the native CPU backend" in proc.stderr
    rem["backend"] = "openfermion"
    proc = korvel(write_input(tmp_path / "h2r.in", H2, rem), "--json", tmp_path / "r.json")
    assert proc.returncode == 0, proc.stderr
    ref = strict_json(tmp_path / "r.json")
    assert ref["backend"] == "openfermion"
    assert data["energy"] == pytest.approx(ref["energy"], abs=1e-10)


# -- the examples after `pip install .` ----------------------------------------------

def test_every_example_needs_only_what_a_plain_install_brings():
    """An example that runs DMRG needs block2, so block2 is a dependency of the package
    itself, not of an extra; no example asks for an optional backend."""
    tomllib = pytest.importorskip("tomllib")
    from korvel.inputfile import read_input

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    plain = {re.split(r"[<>=!~ \[;]", d)[0].lower() for d in project["dependencies"]}
    examples = sorted(EXAMPLES.glob("*.in"))
    assert len(examples) >= 6
    for path in examples:
        rem = read_input(path).rem
        if rem["dmrg_bond_dims"]:
            assert "block2" in plain, path.name
        assert rem["backend"] in ("auto", "cpu"), path.name
    # the README's own statement of it
    readme = (ROOT / "README.md").read_text()
    assert "run as they are, after the `pip install .` above" in readme
