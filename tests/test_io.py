"""Saving and loading Hamiltonians: korvel's own file read back bit for bit,
OpenFermion's loader on its file, PySCF's FCIDUMP reader and FCI on the FCIDUMP,
clear errors for files that are not whole or not korvel's, no partial files."""

import json
import math
import os
import struct

import numpy as np
import pytest

import chem
from korvel import io

openfermion = pytest.importorskip("openfermion")


def bits(c):
    c = complex(c)
    return struct.pack("<dd", c.real, c.imag)


def random_operator(n_spinorb, n_terms, seed, complex_coefs):
    """Terms of one to four ladder operators (any order, repeats allowed) with awkward
    coefficients: signed zero, subnormals, extremes, long mantissas."""
    rng = np.random.default_rng(seed)
    special = [-0.0, 5e-324, 1e-300, 1.7976931348623157e308, 0.1, 1 / 3, -2.5e-12]
    op = {(): complex(0.7071067811865476, -0.0 if complex_coefs else 0.0)}
    while len(op) < n_terms:
        k = int(rng.integers(1, 5))
        term = tuple((int(rng.integers(n_spinorb)), int(rng.integers(2))) for _ in range(k))
        re = special[len(op) % len(special)] if len(op) % 3 == 0 else float(rng.normal())
        im = float(rng.normal()) * 10.0 ** int(rng.integers(-15, 3)) if complex_coefs else 0.0
        op[term] = complex(re, im)
    return op


def oracle_fermion_operator(op):
    fop = openfermion.FermionOperator()
    for term, c in op.items():
        fop += openfermion.FermionOperator(term, c)
    return fop


# -- korvel's own file --------------------------------------------------------------

@pytest.mark.parametrize("kind", ["problem", "real", "complex"])
def test_korvel_file_round_trip_is_bit_identical(tmp_path, kind):
    if kind == "problem":
        p = chem.problem("h4")
        op, n_so, n_e, occ = p.hamiltonian, 8, 4, p.occupied
        source = p.hamiltonian.terms
    else:
        op = random_operator(10, 300, seed=7, complex_coefs=kind == "complex")
        n_so, n_e, occ, source = 10, 3, {0, 1, 4}, op
    path = tmp_path / "h.json"
    fmt = io.save_hamiltonian(path, op, n_spinorb=n_so, n_elec=n_e, occupied=occ,
                              n_core=1, n_vir=2, extra={"method": "x", "e": [1.5, None]})
    assert fmt == "korvel"
    back, meta = io.load_hamiltonian(path)
    assert list(back) == list(source)                       # same keys, same order
    assert [bits(c) for c in back.values()] == [bits(c) for c in source.values()]
    assert all(type(c) is complex for c in back.values())
    assert (meta["n_spinorb"], meta["n_elec"], meta["occupied"]) == (n_so, n_e, sorted(occ))
    assert meta["orbitals"] == {"core": 1, "active": n_so // 2 - 3, "virtual": 2}
    assert bits(meta["constant"]) == bits(source[()])
    assert meta["extra"] == {"method": "x", "e": [1.5, None]}
    assert (meta["format"], meta["version"]) == ("korvel-hamiltonian", 1)
    # plain JSON for any other reader: no NaN/Infinity tokens, terms as documented
    data = json.loads(path.read_text(), parse_constant=lambda name: pytest.fail(name))
    first = data["terms"][1]
    assert tuple(map(tuple, first[0])) == list(source)[1]
    assert complex(first[1], first[2]) == complex(list(source.values())[1])


def test_empty_operator_and_defaults(tmp_path):
    io.save_hamiltonian(tmp_path / "e.korvel", {}, n_spinorb=4, n_elec=2)
    back, meta = io.load_hamiltonian(tmp_path / "e.korvel")
    assert back == {} and meta["occupied"] == [0, 1] and meta["constant"] == 0j


@pytest.mark.parametrize("op, kwargs, pattern", [
    ({((4, 1), (0, 0)): 1.0}, {}, "spin-orbital in 0..3"),
    ({((1, 2),): 1.0}, {}, "dagger 0 or 1"),
    ({((1, 1), (1, 0)): float("nan")}, {}, "non-finite"),
    ({}, {"n_spinorb": 5}, "even"),
    ({}, {"n_elec": 5}, "exceeds"),
    ({}, {"occupied": [0, 0]}, "distinct"),
    ({}, {"n_core": 2, "n_vir": 1}, "exceed"),
    ({}, {"extra": {"x": object()}}, "not plain JSON"),
])
def test_bad_arguments_are_refused_before_writing(tmp_path, op, kwargs, pattern):
    args = {"n_spinorb": 4, "n_elec": 2, **kwargs}
    with pytest.raises(ValueError, match=pattern):
        io.save_hamiltonian(tmp_path / "h.json", op, **args)
    assert os.listdir(tmp_path) == []


# -- OpenFermion's file -------------------------------------------------------------

@pytest.mark.parametrize("complex_coefs", [False, True])
def test_openfermion_file_loads_in_openfermion(tmp_path, complex_coefs):
    from openfermion.utils import load_operator

    op = random_operator(8, 120, seed=3, complex_coefs=complex_coefs)
    # OpenFermion's loader drops coefficients below its tolerance; keep clear of it
    op = {t: c for t, c in op.items() if abs(c) > 1e-6 and math.isfinite(abs(c))}
    io.save_hamiltonian(tmp_path / "h.data", op, n_spinorb=8, n_elec=2)
    loaded = load_operator(file_name="h.data", data_directory=str(tmp_path))
    assert isinstance(loaded, openfermion.FermionOperator)
    assert loaded.terms == oracle_fermion_operator(op).terms
    assert os.listdir(tmp_path) == ["h.data"]


# -- FCIDUMP ------------------------------------------------------------------------

def pyscf_fci_of_fcidump(path):
    from pyscf import fci
    from pyscf.tools import fcidump

    d = fcidump.read(str(path), verbose=False)
    n_alpha = (d["NELEC"] + d["MS2"]) // 2
    e, _ = fci.direct_spin1.FCI().kernel(d["H1"], d["H2"], d["NORB"],
                                         (n_alpha, d["NELEC"] - n_alpha), ecore=d["ECORE"])
    return e, d


def casci_operator(problem):
    from korvel.downfold.projector import downfold_to_active
    return downfold_to_active(dict(problem.hamiltonian.terms), problem)


@pytest.mark.parametrize("case", ["h4 full space", "h2o active-space fold", "lih"])
def test_fcidump_gives_pyscf_fci_energy_of_fci_energy(tmp_path, case):
    from korvel.core.analysis import fci_energy

    if case == "h2o active-space fold":
        p = chem.problem("h2o", active_space="manual", n_act=4, n_act_elec=4)
        op, n_so, n_e = casci_operator(p), 8, 4
    else:
        p = chem.problem(case.split()[0])
        op, n_so, n_e = p.hamiltonian, 2 * p.n_orb, p.n_elec
    path = tmp_path / "FCIDUMP"
    assert io.save_hamiltonian(path, op, n_spinorb=n_so, n_elec=n_e) == "fcidump"
    e_pyscf, d = pyscf_fci_of_fcidump(path)
    assert (d["NORB"], d["NELEC"], d["MS2"]) == (n_so // 2, n_e, 0)
    assert e_pyscf == pytest.approx(fci_energy(op, n_so, n_e), abs=1e-9)


def test_fcidump_integrals_are_the_builders(tmp_path):
    """The integrals read back from the operator are the molecular-orbital integrals
    the problem was built from (PySCF's, in chemists' order)."""
    p = chem.problem("h4")
    const, h1, eri = io.spatial_integrals(p.hamiltonian, 2 * p.n_orb)
    from pyscf import ao2mo
    ref = ao2mo.restore(1, np.asarray(p.extras["eri"]), p.n_orb)
    assert np.allclose(h1, p.extras["h1"], atol=1e-10)
    assert np.allclose(eri, ref, atol=1e-10)
    assert const == pytest.approx(float(p.extras["e_nuc"]), abs=1e-10)


def _spin_broken(op):
    op = dict(op)
    op[((0, 1), (0, 0))] = op.get(((0, 1), (0, 0)), 0) + 0.25     # alpha only
    return op


@pytest.mark.parametrize("change, pattern", [
    (lambda op: {**op, ((2, 1), (0, 0)): 0.3, ((3, 1), (1, 0)): 0.3}, "not Hermitian"),
    (lambda op: {**op, ((2, 1), (0, 0)): 0.3j, ((0, 1), (2, 0)): -0.3j}, "complex"),
    (lambda op: {**op, ((3, 1), (2, 1), (1, 1), (2, 0), (1, 0), (0, 0)): 0.1}, "3-body"),
    (lambda op: {**op, ((1, 1), (0, 1)): 0.1, ((0, 0), (1, 0)): 0.1}, "electron number"),
    (_spin_broken, "not spin-free"),
])
def test_fcidump_refuses_what_it_cannot_hold(tmp_path, change, pattern):
    p = chem.problem("h2")
    op = change(dict(p.hamiltonian.terms))
    with pytest.raises(ValueError, match=pattern):
        io.save_hamiltonian(tmp_path / "FCIDUMP", op, n_spinorb=4, n_elec=2)
    assert os.listdir(tmp_path) == []


# -- files that are not whole, not ours, or not files -----------------------------

def _korvel_file(path):
    io.save_hamiltonian(path, chem.problem("h2").hamiltonian, n_spinorb=4, n_elec=2)
    return path.read_text()


def _edit(key, value):
    def make(path):
        data = json.loads(_korvel_file(path))
        data[key] = value
        path.write_text(json.dumps(data))
    return make


def _openfermion_file(path):
    io.save_hamiltonian(path.with_suffix(".data"), {(): 1.0}, n_spinorb=2, n_elec=0)
    os.replace(path.with_suffix(".data"), path)


BAD_FILES = {
    "truncated": (lambda p: p.write_text(_korvel_file(p)[:-200]), "truncated"),
    "cut after the header": (lambda p: p.write_text(_korvel_file(p).split('"terms"')[0]),
                             "truncated"),
    "newer version": (_edit("version", 2), "version 2 is newer"),
    "version zero": (_edit("version", 0), "unknown format version 0"),
    "version as text": (_edit("version", "1"), "unknown format version '1'"),
    "other format name": (_edit("format", "qiskit-op"), "'qiskit-op' file"),
    "term count": (_edit("n_terms", 3), "header says 3"),
    "constant": (_edit("constant", [1.0, 0.0]), "constant"),
    "bad index": (_edit("terms", [[[[9, 1], [0, 0]], 1.0, 0.0]]), r"spin-orbital in 0\.\.3"),
    "fcidump": (lambda p: p.write_text(" &FCI NORB=2,NELEC=2,MS2=0,\n &END\n"),
                "FCIDUMP"),
    "openfermion binary": (_openfermion_file, "OpenFermion"),
    "other JSON": (lambda p: p.write_text('{"energy": -1.0}'), "not a korvel"),
    "binary noise": (lambda p: p.write_bytes(bytes(range(256))), "not a korvel"),
    "empty": (lambda p: p.write_text(""), "not a korvel"),
}


@pytest.mark.parametrize("case", list(BAD_FILES))
def test_bad_files_are_clear_errors(tmp_path, case):
    make, pattern = BAD_FILES[case]
    path = tmp_path / "h.json"
    make(path)
    with pytest.raises(ValueError, match=pattern) as err:
        io.load_hamiltonian(path)
    assert str(path) in str(err.value)


def test_directory_is_a_clear_error(tmp_path):
    with pytest.raises(ValueError, match="is a directory"):
        io.load_hamiltonian(tmp_path)
    for name in ("h.json", "h.data", "FCIDUMP"):
        (tmp_path / name).mkdir()
        with pytest.raises(ValueError, match="is a directory"):
            io.save_hamiltonian(tmp_path / name, {}, n_spinorb=2, n_elec=0)
        assert sorted(os.listdir(tmp_path / name)) == []


@pytest.mark.parametrize("name, fmt", [
    ("h.json", "korvel"), ("H.KORVEL", "korvel"), ("op.data", "openfermion"),
    ("FCIDUMP", "fcidump"), ("fcidump.h2o", "fcidump"), ("h2o.FCIDUMP", "fcidump"),
    ("h.txt", None), ("h", None), ("h.data.bak", None),
])
def test_format_from_path(name, fmt):
    if fmt is None:
        with pytest.raises(ValueError, match="cannot tell"):
            io.format_from_path(name)
    else:
        assert io.format_from_path(name) == fmt


# -- interrupted writes -------------------------------------------------------------

class Interrupt(Exception):
    pass


def _raise_after(n, real, exc):
    calls = {"n": 0}

    def fake(*args, **kwargs):
        calls["n"] += 1
        if calls["n"] > n:
            raise exc("stopped midway")
        return real(*args, **kwargs)
    return fake


@pytest.mark.parametrize("name", ["h.json", "h.data", "FCIDUMP"])
@pytest.mark.parametrize("exc", [Interrupt, KeyboardInterrupt])
def test_interrupted_write_leaves_old_file_and_no_partial_one(tmp_path, monkeypatch,
                                                             name, exc):
    """The writer fails (an error, or Ctrl-C) with part of the file written."""
    p = chem.problem("h2")
    path = tmp_path / name
    path.write_bytes(b"old contents\n")
    if name == "h.json":              # fail after ten terms have been written
        monkeypatch.setattr(io, "_term_row", _raise_after(10, io._term_row, exc))
    elif name == "h.data":            # the binary dump writes half its bytes, then fails
        import marshal

        from openfermion.utils import operator_utils

        def half_dump(obj, fh):
            data = marshal.dumps(obj)
            fh.write(data[: len(data) // 2])
            raise exc("stopped midway")
        monkeypatch.setattr(operator_utils, "marshal",
                            type("M", (), {"dump": staticmethod(half_dump)}))
    else:                             # the two-electron block is out, the rest fails
        from pyscf.tools import fcidump
        monkeypatch.setattr(fcidump, "write_hcore", _raise_after(0, fcidump.write_hcore, exc))
    with pytest.raises(exc):
        io.save_hamiltonian(path, p.hamiltonian, n_spinorb=4, n_elec=2)
    assert path.read_bytes() == b"old contents\n"
    assert os.listdir(tmp_path) == [name]


def test_new_file_has_ordinary_permissions(tmp_path):
    mask = os.umask(0o022)
    try:
        io.save_hamiltonian(tmp_path / "h.json", {}, n_spinorb=2, n_elec=0)
    finally:
        os.umask(mask)
    assert os.stat(tmp_path / "h.json").st_mode & 0o777 == 0o644


# -- what a write may touch: links written through, streams never replaced ----------

H2_TERMS = {(): 0.7, ((0, 1), (0, 0)): -1.25, ((1, 1), (1, 0)): -1.25}


def saved_bytes(tmp_path, name="h.json"):
    """The bytes save_hamiltonian writes for H2_TERMS to a plain file."""
    path = tmp_path / "plain" / name
    path.parent.mkdir(exist_ok=True)
    io.save_hamiltonian(path, H2_TERMS, n_spinorb=2, n_elec=1)
    return path.read_bytes()


@pytest.mark.parametrize("name", ["h.json", "h.data", "FCIDUMP"])
def test_a_link_is_written_through_and_stays_a_link(tmp_path, name):
    if name == "FCIDUMP":
        pytest.importorskip("pyscf")
    target = tmp_path / "store" / ("real_" + name if name != "FCIDUMP" else "FCIDUMP.real")
    target.parent.mkdir()
    target.write_text("old")
    link = tmp_path / name
    link.symlink_to(target)
    fmt = io.save_hamiltonian(link, {(): 0.5, ((0, 1), (0, 0)): -1.0, ((1, 1), (1, 0)): -1.0},
                              n_spinorb=2, n_elec=1, fmt=io.format_from_path(name))
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_bytes() != b"old"
    assert sorted(os.listdir(tmp_path)) == [name, "store"]          # nothing left beside
    assert os.listdir(target.parent) == [target.name]
    if fmt == "korvel":
        back, _ = io.load_hamiltonian(link)
        assert back == {(): 0.5, ((0, 1), (0, 0)): -1.0, ((1, 1), (1, 0)): -1.0}
    elif fmt == "openfermion":
        from openfermion.utils import load_operator
        op = load_operator(file_name=target.name, data_directory=str(target.parent))
        assert op.terms[((0, 1), (0, 0))] == -1.0


def test_a_dangling_link_creates_its_target(tmp_path):
    link = tmp_path / "h.json"
    link.symlink_to(tmp_path / "new.json")
    io.save_hamiltonian(link, H2_TERMS, n_spinorb=2, n_elec=1)
    assert link.is_symlink() and (tmp_path / "new.json").read_bytes() == saved_bytes(tmp_path)


def test_standard_output_through_a_link_is_written_as_a_stream(tmp_path, capfd):
    # /dev/stdout is a link to /proc/self/fd/1: a link in a temporary folder stands for it
    link = tmp_path / "stdout.json"
    link.symlink_to("/proc/self/fd/1")
    print("before", flush=True)
    io.save_hamiltonian(link, H2_TERMS, n_spinorb=2, n_elec=1)
    out = capfd.readouterr().out
    assert out == "before\n" + saved_bytes(tmp_path).decode()  # appended, nothing clobbered
    assert link.is_symlink() and os.readlink(link) == "/proc/self/fd/1"
    assert io.output_target(link) == ("stream", str(link))


def test_a_fifo_is_written_as_a_stream_or_refused_without_waiting(tmp_path):
    import threading
    fifo = tmp_path / "h.json"
    os.mkfifo(fifo)
    # no reader: refused at once, the FIFO left as it is
    with pytest.raises(ValueError, match="no process reads"):
        io.save_hamiltonian(fifo, H2_TERMS, n_spinorb=2, n_elec=1)
    assert fifo.is_fifo()
    # with a reader: the file's bytes arrive through it
    got = []
    ready = threading.Event()

    def read():
        fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        ready.set()
        os.set_blocking(fd, True)
        chunks = []
        while True:
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                continue
            if chunk:
                chunks.append(chunk)
            elif chunks:                # end of file once the writer has come and gone
                break
        os.close(fd)
        got.append(b"".join(chunks))

    reader = threading.Thread(target=read)
    reader.start()
    ready.wait(10)
    io.save_hamiltonian(fifo, H2_TERMS, n_spinorb=2, n_elec=1)
    reader.join(10)
    assert got == [saved_bytes(tmp_path)] and fifo.is_fifo()


def test_a_link_to_a_closed_descriptor_is_refused(tmp_path):
    closed = os.open(tmp_path, os.O_RDONLY)
    os.close(closed)                    # a descriptor number that is now not open
    link = tmp_path / "out.json"
    link.symlink_to(f"/proc/self/fd/{closed}")
    with pytest.raises(ValueError, match="names a file descriptor that is not open"):
        io.save_hamiltonian(link, H2_TERMS, n_spinorb=2, n_elec=1)
    assert os.listdir(tmp_path) == ["out.json"]


def test_a_file_its_reader_would_refuse_is_not_written(tmp_path):
    with pytest.raises(ValueError, match="n_spinorb must be at most"):
        io.save_hamiltonian(tmp_path / "h.json", {}, n_spinorb=10**30, n_elec=0)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("path, pattern", [("", "empty file name"),
                                           (".", "is a directory")])
def test_no_file_name_or_a_directory_is_refused(tmp_path, path, pattern, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if path:
        os.mkdir("sub.data")
    for fmt in io.FORMATS:
        if fmt == "fcidump":
            pytest.importorskip("pyscf")
        with pytest.raises(ValueError, match=pattern):
            io.save_hamiltonian("sub.data" if fmt == "openfermion" and path else path,
                                H2_TERMS, n_spinorb=2, n_elec=1, fmt=fmt)
    assert os.listdir(tmp_path) == (["sub.data"] if path else [])
    assert not path or os.listdir("sub.data") == []


# -- what a read may take: no FIFO, no device, nothing without bound -----------------

def test_load_refuses_fifo_and_device_links_without_blocking(tmp_path):
    import threading
    fifo = tmp_path / "fifo.json"
    os.mkfifo(fifo)
    # no writer: an open that blocks would never return, so the load runs in a thread
    # of its own that the test does not wait on for ever
    outcome = []

    def load():
        try:
            io.load_hamiltonian(fifo)
        except ValueError as exc:
            outcome.append(str(exc))

    loader = threading.Thread(target=load, daemon=True)
    loader.start()
    loader.join(30)
    assert not loader.is_alive(), "load_hamiltonian blocked on a FIFO without a writer"
    assert outcome and "not a regular file" in outcome[0]
    zero = tmp_path / "zero.json"
    zero.symlink_to("/proc/self/fd/0" if not os.isatty(0) else "/proc/self/fd/1")
    if os.path.isfile(zero):
        pytest.skip("standard input is a regular file here")
    with pytest.raises(ValueError, match="not a regular file"):
        io.load_hamiltonian(zero)


def test_load_refuses_a_file_over_the_size_limit(tmp_path, monkeypatch):
    path = tmp_path / "h.json"
    io.save_hamiltonian(path, H2_TERMS, n_spinorb=2, n_elec=1)
    monkeypatch.setattr(io, "MAX_FILE_BYTES", path.stat().st_size - 1)
    with pytest.raises(ValueError, match="more than the .* bytes"):
        io.load_hamiltonian(path)


@pytest.mark.parametrize("edit, pattern", [
    (lambda t: t.replace("-1.25", "-1e400", 1), r"h\.json: the number -1e400 is beyond"),
    (lambda t: t.replace('"constant": [0.7', '"constant": [7e400', 1),
     r"h\.json: the number 7e400 is beyond"),
    (lambda t: t.replace("-1.25", "-" + "9" * 400, 1), r"h\.json: an integer of 400 digits"),
    (lambda t: t.replace('"extra": {}', '"extra": ' + "[" * 100000 + "]" * 100000, 1),
     r"h\.json: the JSON is nested too deeply"),
])
def test_load_refuses_numbers_out_of_range_naming_the_file(tmp_path, edit, pattern):
    path = tmp_path / "h.json"
    io.save_hamiltonian(path, H2_TERMS, n_spinorb=2, n_elec=1)
    path.write_text(edit(path.read_text()))
    with pytest.raises(ValueError, match=pattern):
        io.load_hamiltonian(path)
