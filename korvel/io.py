"""Saving and loading Hamiltonians, so that a downfolded operator can be handed to
another program or kept for later.

Three formats, picked by ``fmt`` or by the file name (:func:`format_from_path`):

``"korvel"`` (``*.json``, ``*.korvel``)
    korvel's own file, read back exactly by :func:`load_hamiltonian`. It is one JSON
    object (UTF-8), so any language reads it without korvel::

        {
          "format": "korvel-hamiltonian",
          "version": 1,
          "korvel_version": "0.1.0",
          "description": "effective Hamiltonian of ...",
          "n_spinorb": 8,
          "n_elec": 2,
          "occupied": [0, 1],
          "orbitals": {"core": 0, "active": 4, "virtual": 0},
          "numbering": "spin-orbital 2p is spatial orbital p with spin alpha, ...",
          "constant": [0.7137539936876182, 0.0],
          "n_terms": 428,
          "extra": {...},
          "terms": [
            [[], 0.7137539936876182, 0.0],
            [[[3, 1], [1, 0]], -0.0123, 0.0],
            ...
          ]
        }

    ``terms`` lists every term of the operator in its order: the ladder operators as
    [spin-orbital, dagger] pairs read left to right as a product (dagger 1 creates,
    0 annihilates; ``[]`` is the identity), then the real and imaginary parts of the
    coefficient. Numbers are written as the shortest decimal that reads back to the
    same IEEE double (Python's float repr), so a reload is bit-identical, and the
    file stays readable and diffable. ``constant`` repeats the identity coefficient
    (0 when there is none) for readers that want it without scanning the terms;
    ``occupied`` is the reference determinant; ``orbitals`` counts the spatial
    orbitals of each block. ``extra`` holds what the writer adds (method, energies,
    the input it came from). A reader refuses a higher ``version`` than it knows.

``"openfermion"`` (``*.data``)
    OpenFermion's own operator file (``openfermion.utils.save_operator``, binary):
    ``openfermion.utils.load_operator(file_name="H.data", data_directory="folder")``
    gives the ``FermionOperator``. It holds the operator only, no metadata; note that
    OpenFermion's loader drops terms whose coefficient is below 1e-8 in modulus.

``"fcidump"`` (a name starting with ``FCIDUMP``, or ``*.fcidump``)
    The FCIDUMP file of spatial-orbital integrals (written by
    ``pyscf.tools.fcidump``, 17 significant digits): only for a Hermitian, real,
    spin-free, number-conserving operator with at most two-body terms whose
    two-electron integrals have the usual eight-fold symmetry; anything else is a
    ValueError saying which condition fails. The constant is the core energy line.

Every file is written to a temporary file in the target's folder and then renamed
over the target, so an interrupted write never leaves a partial file where one was
asked for (and an older file of that name stays intact until the new one is whole).
A symbolic link is written through to the file it points to and stays a link; a
device, FIFO or socket (``/dev/stdout``, ``/dev/null``, a pipe) is written as a
stream and never replaced.
"""

from __future__ import annotations

import errno
import json
import math
import os
import re
import stat
import tempfile

FORMAT_NAME = "korvel-hamiltonian"
FORMAT_VERSION = 1
FORMATS = ("korvel", "openfermion", "fcidump")

NUMBERING = ("spin-orbital 2p is spatial orbital p with spin alpha, 2p+1 the same "
             "orbital with spin beta; spatial orbitals run core, active, virtual")

# Coefficients of a Hamiltonian that differ by less than this (relative to its
# largest coefficient, at least 1) count as equal in the FCIDUMP checks.
_FCIDUMP_TOL = 1e-10


# ---------------------------------------------------------------------------
# Formats and atomic writes
# ---------------------------------------------------------------------------

def format_from_path(path) -> str:
    """The format a file name asks for: ``.json``/``.korvel`` -> "korvel", ``.data``
    -> "openfermion", a name starting with FCIDUMP or ending ``.fcidump`` ->
    "fcidump" (case-insensitive). Anything else is a ValueError."""
    name = os.path.basename(os.fspath(path))
    lower = name.lower()
    ext = os.path.splitext(lower)[1]
    if ext in (".json", ".korvel"):
        return "korvel"
    if ext == ".data":
        return "openfermion"
    if lower.startswith("fcidump") or ext == ".fcidump":
        return "fcidump"
    raise ValueError(
        f"{os.fspath(path)}: cannot tell the Hamiltonian format from the file name; "
        "use .json or .korvel (korvel's own file), .data (OpenFermion's operator file), "
        "or FCIDUMP / *.fcidump (FCIDUMP integrals)")


def _new_file_mode(path: str) -> int:
    """The permission bits a plain ``open(path, "w")`` would give: those of the file
    being replaced, else 0o666 less the umask."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


_FD_FOLDER = re.compile(r"^/proc/[^/]+/fd$")


def _through_open_file(path: str) -> bool:
    """Whether ``path`` reaches its file through a link of a process's open files
    (``/dev/stdout`` -> ``/proc/self/fd/1``, ``/dev/fd/N``): that names an open stream,
    whatever it is opened on, not a file to replace."""
    for _ in range(40):                          # the kernel's own bound on link chains
        if _FD_FOLDER.match(os.path.realpath(os.path.dirname(os.path.abspath(path)))):
            return True
        if not os.path.islink(path):
            return False
        path = os.path.join(os.path.dirname(os.path.abspath(path)), os.readlink(path))
    return False


def output_target(path) -> tuple[str, str]:
    """Where a file written to ``path`` goes, without touching anything: ("file", the
    regular file to create or replace, a symbolic link followed to its target) or
    ("stream", ``path`` itself) for a device, a FIFO, a socket or an open file named
    through ``/proc/self/fd`` (``/dev/stdout``), which is written in place, appended
    to, and never replaced. An empty name, a directory or a link that ends in a
    directory is a ValueError."""
    path = os.fspath(path)
    if not path:
        raise ValueError("an empty file name (an unset shell variable?)")
    try:
        st = os.stat(path)                      # follows links, /proc/self/fd ones too
    except FileNotFoundError:
        if _through_open_file(path):
            raise ValueError(f"{path}: names a file descriptor that is not open") from None
        # a new file, or a link to a file not there yet: created where the link points
        return "file", os.path.realpath(path)
    if stat.S_ISDIR(st.st_mode):
        raise ValueError(f"{path}: is a directory, not a file name")
    if stat.S_ISREG(st.st_mode) and not _through_open_file(path):
        return "file", os.path.realpath(path)
    return "stream", path


def _open_stream(path: str, binary: bool):
    """A stream opened for writing, appending (a standard output redirected to a file
    keeps what was written before), without blocking on a FIFO that no process reads
    (ENXIO); writes then block as usual."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK | os.O_NOCTTY
                     | os.O_CLOEXEC)
    except OSError as exc:
        if exc.errno == errno.ENXIO:
            raise ValueError(f"{path}: a FIFO or device that no process reads; start the "
                             "reader first") from None
        raise
    os.set_blocking(fd, True)
    return os.fdopen(fd, "wb" if binary else "w",
                     **({} if binary else {"encoding": "utf-8"}))


def atomic_write(path, write, *, binary: bool = False) -> None:
    """Call ``write(fh)`` on a temporary file in the target's folder, then rename it
    onto the target. On any failure (including an interrupt) the temporary file is
    removed and the target keeps what it held before.

    The target is what :func:`output_target` names: a symbolic link is written
    through to the file it points to (the link stays), and a device, FIFO or socket
    (``/dev/stdout``, ``/dev/null``, a pipe) is written as a stream, never replaced."""
    kind, target = output_target(path)
    if kind == "stream":
        with _open_stream(target, binary) as fh:
            write(fh)
        return
    folder = os.path.dirname(target)
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                               dir=folder)
    try:
        with os.fdopen(fd, "wb" if binary else "w",
                       **({} if binary else {"encoding": "utf-8"})) as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.chmod(tmp, _new_file_mode(target))
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


# ---------------------------------------------------------------------------
# Checking what is saved
# ---------------------------------------------------------------------------

def _terms_of(op) -> dict:
    if isinstance(op, dict):
        return op
    terms = getattr(op, "terms", None)
    if isinstance(terms, dict):
        return terms
    raise TypeError("op must be a FermionOp mapping or an OpenFermion FermionOperator, "
                    f"not {type(op).__name__}")


def _count(name: str, value, *, low: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        try:
            import operator
            value = operator.index(value)
        except TypeError:
            raise TypeError(f"{name} must be an integer, not {value!r}") from None
    if value < low:
        raise ValueError(f"{name} must be at least {low}, not {value}")
    return int(value)


def _clean_terms(op, n_spinorb: int) -> list[tuple[tuple, complex]]:
    """(term, complex coefficient) pairs, each term checked: (index, dagger) pairs
    with 0 <= index < n_spinorb and dagger 0 or 1, finite coefficients."""
    out = []
    for term, coef in list(_terms_of(op).items()):
        try:
            clean = tuple((int(p), int(d)) for p, d in term)
        except (TypeError, ValueError):
            raise ValueError(f"term {term!r} is not a tuple of (spin-orbital, dagger) "
                             "pairs") from None
        for (p, d), (p0, d0) in zip(clean, term):
            if p != p0 or d != d0 or d not in (0, 1) or not 0 <= p < n_spinorb:
                raise ValueError(f"term {term!r}: ladder operator ({p0!r}, {d0!r}) is "
                                 f"not (spin-orbital in 0..{n_spinorb - 1}, dagger 0 or 1)")
        c = complex(coef)
        if not (math.isfinite(c.real) and math.isfinite(c.imag)):
            raise ValueError(f"term {term!r} has a non-finite coefficient {c!r}")
        out.append((clean, c))
    return out


#: Most spin-orbitals a Hamiltonian file describes (far beyond any that can be built).
MAX_SPINORB = 2**32


def _metadata(n_spinorb, n_elec, occupied, n_core, n_vir) -> dict:
    n_spinorb = _count("n_spinorb", n_spinorb)
    if n_spinorb > MAX_SPINORB:
        raise ValueError(f"n_spinorb must be at most {MAX_SPINORB}, not {n_spinorb}")
    if n_spinorb % 2:
        raise ValueError(f"n_spinorb must be even (two spin-orbitals per spatial orbital), "
                         f"not {n_spinorb}")
    n_elec = _count("n_elec", n_elec)
    if n_elec > n_spinorb:
        raise ValueError(f"n_elec {n_elec} exceeds n_spinorb {n_spinorb}")
    occ = sorted({_count("occupied spin-orbital", p) for p in
                  (range(n_elec) if occupied is None else occupied)})
    if len(occ) != n_elec or (occ and occ[-1] >= n_spinorb):
        raise ValueError(f"occupied must name {n_elec} distinct spin-orbitals in "
                         f"0..{n_spinorb - 1}, not {occ}")
    n_core, n_vir = _count("n_core", n_core), _count("n_vir", n_vir)
    n_act = n_spinorb // 2 - n_core - n_vir
    if n_act < 0:
        raise ValueError(f"n_core {n_core} + n_vir {n_vir} exceed the "
                         f"{n_spinorb // 2} spatial orbitals")
    return {"n_spinorb": n_spinorb, "n_elec": n_elec, "occupied": occ,
            "orbitals": {"core": n_core, "active": n_act, "virtual": n_vir}}


# ---------------------------------------------------------------------------
# Saving
# ---------------------------------------------------------------------------

def save_hamiltonian(path, op, *, n_spinorb: int, n_elec: int, occupied=None,
                     n_core: int = 0, n_vir: int = 0, description: str = "",
                     extra: dict | None = None, fmt: str | None = None) -> str:
    """Write the operator ``op`` (a FermionOp mapping or a FermionOperator) to ``path``.

    ``n_spinorb`` spin-orbitals, ``n_elec`` electrons, reference determinant
    ``occupied`` (default: the lowest n_elec spin-orbitals), ``n_core`` and ``n_vir``
    spatial orbitals below and above the active block. ``extra``: JSON-serialisable
    provenance kept in korvel's file. ``fmt``: "korvel", "openfermion" or "fcidump";
    None picks it from the file name. Returns the format written.
    """
    path = os.fspath(path)
    fmt = format_from_path(path) if fmt is None else str(fmt).lower()
    if fmt not in FORMATS:
        raise ValueError(f"unknown Hamiltonian format {fmt!r}; expected one of "
                         f"{', '.join(FORMATS)}")
    meta = _metadata(n_spinorb, n_elec, occupied, n_core, n_vir)
    terms = _clean_terms(op, meta["n_spinorb"])
    if fmt == "korvel":
        head = _korvel_head(terms, meta, description, extra)
        atomic_write(path, lambda fh: _write_korvel(fh, head, terms))
    elif fmt == "openfermion":
        _write_openfermion(path, terms)
    else:
        _write_fcidump(path, terms, meta)
    return fmt


def _korvel_head(terms, meta, description, extra) -> str:
    import korvel

    const = next((c for t, c in terms if t == ()), 0j)
    head = {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION,
        "korvel_version": korvel.__version__,
        "description": str(description),
        **meta,
        "numbering": NUMBERING,
        "constant": [const.real, const.imag],
        "n_terms": len(terms),
        "extra": {} if extra is None else extra,
    }
    try:
        lines = ["{"] + [f" {json.dumps(k)}: "
                         f"{json.dumps(v, separators=(', ', ': '), allow_nan=False)},"
                         for k, v in head.items()] + [' "terms": [']
    except (TypeError, ValueError) as exc:
        raise ValueError(f"extra metadata is not plain JSON: {exc}") from None
    return "\n".join(lines)


def _term_row(term, c: complex) -> str:
    return json.dumps([[list(op) for op in term], c.real, c.imag], separators=(",", ":"))


def _write_korvel(fh, head: str, terms) -> None:
    fh.write(head + "\n")
    for k, (term, c) in enumerate(terms):
        fh.write(("  " if k == 0 else ",\n  ") + _term_row(term, c))
    fh.write("\n ]\n}\n")


def _write_openfermion(path: str, terms) -> None:
    from openfermion import FermionOperator
    from openfermion.utils import save_operator

    output_target(path)                 # a directory or an empty name: refused first
    if not path.endswith(".data"):
        raise ValueError(f"{path}: OpenFermion's loader only reads names ending in .data")
    fop = FermionOperator()
    fop.terms = {t: c for t, c in terms}

    # save_operator opens its own file: it writes into a private folder, and the
    # finished bytes go to the target as any other file of korvel's.
    tmpdir = tempfile.mkdtemp(prefix="korvel-data-")
    try:
        save_operator(fop, file_name="operator.data", data_directory=tmpdir,
                      allow_overwrite=True, plain_text=False)
        with open(os.path.join(tmpdir, "operator.data"), "rb") as fh:
            data = fh.read()
    finally:
        for name in os.listdir(tmpdir):
            os.unlink(os.path.join(tmpdir, name))
        os.rmdir(tmpdir)
    atomic_write(path, lambda fh: fh.write(data), binary=True)


# ---------------------------------------------------------------------------
# FCIDUMP
# ---------------------------------------------------------------------------

def spatial_integrals(op, n_spinorb: int):
    """(constant, h1, eri) of a spin-free, number-conserving, at most two-body
    operator: H = c + sum h1[i,j] a+_{i s} a_{j s}
    + 1/2 sum (ij|kl) a+_{i s} a+_{k t} a_{l t} a_{j s} (chemists' order, spin-orbital
    2i is orbital i with spin alpha, 2i+1 with spin beta). Raises ValueError naming
    the first condition the operator breaks; the integrals are checked by rebuilding
    the operator from them."""
    import numpy as np
    from openfermion import FermionOperator, normal_ordered

    terms = _clean_terms(op, n_spinorb)
    scale = max([1.0] + [abs(c) for _, c in terms])
    tol = _FCIDUMP_TOL * scale
    for term, c in terms:
        n_create = sum(d for _, d in term)
        if 2 * n_create != len(term):
            raise ValueError(f"term {term!r} changes the electron number; FCIDUMP holds "
                             "number-conserving operators only")
        if len(term) > 4:
            raise ValueError(f"term {term!r} is {len(term) // 2}-body; FCIDUMP holds "
                             "at most two-body operators")
        if abs(c.imag) > tol:
            raise ValueError(f"term {term!r} has the complex coefficient {c!r}; FCIDUMP "
                             "holds real integrals only")
    fop = FermionOperator()
    fop.terms = {t: c.real for t, c in terms}
    ordered = normal_ordered(fop).terms

    n = n_spinorb // 2

    def coef(creators, annihilators):
        """Coefficient of a+_{c0} a+_{c1} ... a_{a0} a_{a1} in the normal-ordered
        operator (whose blocks are in descending index order)."""
        sign = 1
        keyc, keya = list(creators), list(annihilators)
        for block in (keyc, keya):          # bubble sort into descending order
            for i in range(len(block)):
                for j in range(len(block) - 1 - i):
                    if block[j] < block[j + 1]:
                        block[j], block[j + 1] = block[j + 1], block[j]
                        sign = -sign
        key = tuple((p, 1) for p in keyc) + tuple((p, 0) for p in keya)
        return sign * complex(ordered.get(key, 0.0)).real

    const = complex(ordered.get((), 0.0)).real
    h1 = np.array([[coef([2 * i], [2 * j]) for j in range(n)] for i in range(n)])
    eri = np.zeros((n, n, n, n))
    for i in range(n):
        for j in range(n):
            for k in range(n):
                for l in range(n):
                    eri[i, j, k, l] = coef([2 * i, 2 * k + 1], [2 * l + 1, 2 * j])

    built: dict = {(): const} if const else {}

    def add(term, value):
        built[term] = built.get(term, 0.0) + value

    for i, j in zip(*np.nonzero(h1)):
        i, j = int(i), int(j)
        for s in (0, 1):
            add(((2 * i + s, 1), (2 * j + s, 0)), h1[i, j])
    for i, j, k, l in zip(*np.nonzero(eri)):
        i, j, k, l = int(i), int(j), int(k), int(l)
        for s in (0, 1):
            for t in (0, 1):
                add(((2 * i + s, 1), (2 * k + t, 1), (2 * l + t, 0), (2 * j + s, 0)),
                    0.5 * eri[i, j, k, l])
    rebuilt = FermionOperator()
    rebuilt.terms = built
    rebuilt = normal_ordered(rebuilt).terms
    worst = max([abs(complex(ordered.get(t, 0.0)) - complex(rebuilt.get(t, 0.0)))
                 for t in set(ordered) | set(rebuilt)] + [0.0])
    if worst > tol:
        raise ValueError(f"the operator is not spin-free (alpha and beta integrals differ "
                         f"or spin-flip terms are present, by up to {worst:.3e}); FCIDUMP "
                         "holds spatial-orbital integrals only")
    herm = max(float(np.abs(h1 - h1.T).max(initial=0.0)),
               float(np.abs(eri - eri.transpose(1, 0, 3, 2)).max(initial=0.0)))
    if herm > tol:
        raise ValueError(f"the operator is not Hermitian (its integrals differ from their "
                         f"adjoints by up to {herm:.3e}); FCIDUMP holds Hermitian "
                         "operators only")
    sym = float(np.abs(eri - eri.transpose(1, 0, 2, 3)).max(initial=0.0))
    if sym > tol:
        raise ValueError(f"the two-electron integrals lack the symmetry (ij|kl) = (ji|kl) "
                         f"of real orbitals (by up to {sym:.3e}) that FCIDUMP assumes")
    h1 = 0.5 * (h1 + h1.T)
    eri = 0.5 * (eri + eri.transpose(1, 0, 2, 3))
    eri = 0.5 * (eri + eri.transpose(0, 1, 3, 2))
    eri = 0.5 * (eri + eri.transpose(2, 3, 0, 1))
    return const, h1, eri


def _write_fcidump(path: str, terms, meta) -> None:
    from pyscf.tools import fcidump

    op = {t: c for t, c in terms}
    const, h1, eri = spatial_integrals(op, meta["n_spinorb"])
    n_alpha = sum(1 for p in meta["occupied"] if p % 2 == 0)
    n_beta = meta["n_elec"] - n_alpha

    def write(fh):
        fcidump.write_head(fh, meta["n_spinorb"] // 2, (n_alpha, n_beta))
        fcidump.write_eri(fh, eri, meta["n_spinorb"] // 2, tol=0.0, float_format=" %.17g")
        fcidump.write_hcore(fh, h1, meta["n_spinorb"] // 2, tol=0.0, float_format=" %.17g")
        fh.write(" %.17g  0  0  0  0\n" % const)

    atomic_write(path, write)


# ---------------------------------------------------------------------------
# Loading korvel's own file
# ---------------------------------------------------------------------------

def _refuse_constant(name):
    raise ValueError(f"non-finite number {name}")


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"the number {text} is beyond the range of a double")
    return value


# Integers of a Hamiltonian file are indices, counts and version numbers.
_MAX_INT_DIGITS = 20


def _small_int(text: str) -> int:
    if len(text.lstrip("-")) > _MAX_INT_DIGITS:
        raise ValueError(f"an integer of {len(text.lstrip('-'))} digits is out of range")
    return int(text)


#: Largest korvel Hamiltonian file read, in bytes (some 20 million terms).
MAX_FILE_BYTES = 2**31


def _read_regular_file(path: str, limit: int, kind: str = "korvel Hamiltonian") -> bytes:
    """The bytes of the regular file at ``path``, at most ``limit`` of them. A FIFO,
    device or socket is refused without waiting for a writer (it is opened without
    blocking and looked at before anything is read)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise ValueError(f"{path}: is a directory, not a {kind} file")
        if not stat.S_ISREG(st.st_mode):
            raise ValueError(f"{path}: is not a regular file (a FIFO, device or socket); "
                             f"a {kind} file is read from a file on disk")
        if st.st_size > limit:
            raise ValueError(f"{path}: is {st.st_size} bytes, more than the "
                             f"{limit} bytes of the largest {kind} file read")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    with os.fdopen(fd, "rb") as fh:
        raw = fh.read(limit + 1)
    if len(raw) > limit:
        raise ValueError(f"{path}: holds more than the {limit} bytes of the largest "
                         f"{kind} file read")
    return raw


def _what_else(head: bytes) -> str:
    """A hint at what a file that is not korvel's might be."""
    text = head.lstrip()
    if text[:4].upper() == b"&FCI":
        return " (it looks like an FCIDUMP file: read it with pyscf.tools.fcidump.read)"
    if head[:1] in (b"(", b")", b"\xa8", b"\xa9") and b"Operator" in head[:64]:
        return (" (it looks like an OpenFermion operator file: read it with "
                "openfermion.utils.load_operator)")
    if text.startswith((b"FermionOperator:", b"QubitOperator:")):
        return " (it looks like an OpenFermion plain-text operator file)"
    return ""


def load_hamiltonian(path) -> tuple[dict, dict]:
    """Read a file of korvel's own format: (FermionOp mapping with complex
    coefficients, in the order written; metadata mapping without the terms, with
    ``constant`` as a complex number). A file that is not whole, not korvel's, of a
    newer format version, or inconsistent is a ValueError naming the path and what
    is wrong; so is a directory, a FIFO or device (refused without waiting on it), a
    file over MAX_FILE_BYTES, a number beyond the range of a double, an integer of
    more than 20 digits and JSON nested too deeply."""
    path = os.fspath(path)
    raw = _read_regular_file(path, MAX_FILE_BYTES)

    def bad(what):
        return ValueError(f"{path}: {what}")

    not_ours = bad("not a korvel Hamiltonian file" + _what_else(raw[:256]))
    if not raw.lstrip()[:1] == b"{":
        raise not_ours
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise not_ours from None
    try:
        data = json.loads(text, parse_constant=_refuse_constant,
                          parse_float=_finite_float, parse_int=_small_int)
    except RecursionError:
        raise bad("the JSON is nested too deeply to be a korvel Hamiltonian file") from None
    except json.JSONDecodeError as exc:
        if not text[exc.pos:].strip():
            raise bad(f"the file ends early (line {exc.lineno}): it is truncated or "
                      "was not written completely") from None
        raise bad(f"not valid JSON at line {exc.lineno}, column {exc.colno}: "
                  f"{exc.msg}") from None
    except ValueError as exc:
        raise bad(str(exc)) from None
    if not isinstance(data, dict) or "format" not in data:
        raise not_ours
    if data["format"] != FORMAT_NAME:
        raise bad(f"a {data['format']!r} file, not a korvel Hamiltonian file "
                  f"(format {FORMAT_NAME!r})")
    version = data.get("version")
    if isinstance(version, bool) or not isinstance(version, int) or version < 1:
        raise bad(f"unknown format version {version!r}")
    if version > FORMAT_VERSION:
        raise bad(f"format version {version} is newer than this korvel reads "
                  f"({FORMAT_VERSION}); upgrade korvel to read it")
    return _read_v1(data, bad)


def _read_v1(data: dict, bad) -> tuple[dict, dict]:
    def need(key, kind):
        if key not in data:
            raise bad(f"missing entry {key!r}")
        value = data[key]
        if not isinstance(value, kind) or isinstance(value, bool):
            raise bad(f"entry {key!r} is {value!r}, not {kind.__name__}")
        return value

    def number(value, where):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise bad(f"{where}: {value!r} is not a number")
        return float(value)

    try:
        meta = _metadata(need("n_spinorb", int), need("n_elec", int),
                         need("occupied", list), need("orbitals", dict).get("core"),
                         need("orbitals", dict).get("virtual"))
    except (TypeError, ValueError) as exc:
        raise bad(f"inconsistent metadata: {exc}") from None
    if need("orbitals", dict).get("active") != meta["orbitals"]["active"]:
        raise bad("inconsistent metadata: the orbital blocks do not add up to "
                  f"{meta['n_spinorb'] // 2} spatial orbitals")
    n = meta["n_spinorb"]
    constant = need("constant", list)
    if len(constant) != 2:
        raise bad("entry 'constant' is not [real, imaginary]")
    constant = complex(number(constant[0], "constant"), number(constant[1], "constant"))

    op: dict = {}
    for k, row in enumerate(need("terms", list)):
        where = f"term {k + 1}"
        if not (isinstance(row, list) and len(row) == 3 and isinstance(row[0], list)):
            raise bad(f"{where}: {row!r} is not [[ladder operators], real, imaginary]")
        term = []
        for pair in row[0]:
            if not (isinstance(pair, list) and len(pair) == 2
                    and all(isinstance(x, int) and not isinstance(x, bool) for x in pair)
                    and 0 <= pair[0] < n and pair[1] in (0, 1)):
                raise bad(f"{where}: ladder operator {pair!r} is not [spin-orbital in "
                          f"0..{n - 1}, dagger 0 or 1]")
            term.append((pair[0], pair[1]))
        term = tuple(term)
        if term in op:
            raise bad(f"{where}: the term {term!r} appears twice")
        op[term] = complex(number(row[1], where), number(row[2], where))
    if need("n_terms", int) != len(op):
        raise bad(f"the file holds {len(op)} terms where its header says "
                  f"{data['n_terms']}: it is incomplete or was edited")
    if op.get((), 0j) != constant:
        raise bad(f"entry 'constant' {constant!r} differs from the identity term "
                  f"{op.get((), 0j)!r}")
    out = {k: v for k, v in data.items() if k != "terms"}
    out.update(meta)
    out["constant"] = constant
    return op, out


# ---------------------------------------------------------------------------
# Reading FCIDUMP integrals
# ---------------------------------------------------------------------------

#: Largest FCIDUMP file read, in bytes (some 30 million integral lines, beyond the
#: orbital count whose Hamiltonian fits in memory).
MAX_FCIDUMP_BYTES = 2**31

# The eight index permutations of real-orbital two-electron integrals (ij|kl), each as
# the positions of (i, j, k, l) it takes, with the relation it stands for.
_ERI_PERMUTATIONS = (
    ((1, 0, 2, 3), "(ij|kl) = (ji|kl)"),
    ((0, 1, 3, 2), "(ij|kl) = (ij|lk)"),
    ((1, 0, 3, 2), "(ij|kl) = (ji|lk)"),
    ((2, 3, 0, 1), "(ij|kl) = (kl|ij)"),
    ((3, 2, 0, 1), "(ij|kl) = (lk|ij)"),
    ((2, 3, 1, 0), "(ij|kl) = (kl|ji)"),
    ((3, 2, 1, 0), "(ij|kl) = (lk|ji)"),
)


def _fcidump_number(text: str) -> float:
    """A real number of an FCIDUMP file (Fortran's D exponent accepted)."""
    return float(text.replace("D", "E").replace("d", "e"))


def _fcidump_header(lines, where):
    """Keys of the namelist header (``&FCI NORB=.., NELEC=.., MS2=.., ORBSYM=..,
    ISYM=.. &END`` or ``/``): {KEY: (values as text, line)}; and the index of the first
    line after it."""
    first = next((n for n, line in enumerate(lines) if line.strip()), None)
    if first is None:
        raise ValueError(f"{where}: is empty; expected an FCIDUMP header '&FCI NORB=..., "
                         "NELEC=..., MS2=...' and integral lines")
    if not lines[first].lstrip().upper().startswith("&FCI"):
        raise ValueError(f"{where}, line {first + 1}: expected the FCIDUMP header "
                         f"'&FCI NORB=..., NELEC=..., MS2=...', got {lines[first].strip()[:60]!r}")
    keys: dict = {}
    current = None
    for n in range(first, len(lines)):
        text = lines[n].strip()
        if n == first:
            text = text[4:]
        end = re.search(r"(&END|/)\s*$", text, flags=re.IGNORECASE)
        if end:
            text = text[:end.start()]
        for token in text.split(","):
            token = token.strip()
            if not token:
                continue
            if "=" in token:
                key, value = (t.strip() for t in token.split("=", 1))
                key = key.upper()
                if not re.fullmatch(r"[A-Z][A-Z0-9_]*", key):
                    raise ValueError(f"{where}, line {n + 1}: expected KEY=value in the "
                                     f"FCIDUMP header, got {token!r}")
                if key in keys:
                    raise ValueError(f"{where}, line {n + 1}: {key} given twice in the "
                                     f"header (first at line {keys[key][1]})")
                keys[key] = ([value] if value else [], n + 1)
                current = key
            elif current is not None:
                keys[current][0].append(token)
            else:
                raise ValueError(f"{where}, line {n + 1}: expected KEY=value in the FCIDUMP "
                                 f"header, got {token!r}")
        if end:
            return keys, n + 1
        if n > first and re.match(r"^\s*[-+0-9.(]", lines[n]) and "=" not in lines[n]:
            break
    raise ValueError(f"{where}, line {first + 1}: the FCIDUMP header is not closed by "
                     "'&END' or '/'")


def _header_int(keys, key, where, header_line, default=None) -> tuple[int, int]:
    if key not in keys:
        if default is not None:
            return default, 0
        raise ValueError(f"{where}, line {header_line}: the FCIDUMP header lacks {key}")
    values, line = keys[key]
    if len(values) != 1 or not re.fullmatch(r"[-+]?\d{1,9}", values[0]):
        raise ValueError(f"{where}, line {line}: {key} must be one integer, got "
                         f"{','.join(values)!r}")
    return int(values[0]), line


def read_fcidump(path) -> dict:
    """The integrals of an FCIDUMP file (real orbitals, restricted), checked.

    Returns a dict with ``norb``, ``nelec``, ``ms2`` (from the header), ``h1``
    (n x n), ``eri`` (n^4, chemists' order (ij|kl)), ``ecore`` (the constant),
    ``orbsym`` (list or None), ``symmetry`` (the permutational symmetry used), ``path``.
    Integrals the file leaves out are zero; each line given is spread over the eight
    permutations of real orbitals, and a file whose lines contradict one of them is
    refused, naming the relation that fails and the relations that hold. Orbital
    energy lines (``e i 0 0 0``) are skipped. Every error is a ValueError naming the
    file and line: missing or impossible header fields, an index beyond NORB or of
    no known pattern, a complex or non-finite value, a line given twice, an
    unrestricted (IUHF) file, a file larger than MAX_FCIDUMP_BYTES or an orbital count
    whose Hamiltonian cannot fit in memory.
    """
    import numpy as np

    where = os.fspath(path)
    raw = _read_regular_file(where, MAX_FCIDUMP_BYTES, kind="FCIDUMP")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"{where}: is not a text file; expected FCIDUMP integrals") from None
    lines = text.splitlines()
    keys, body = _fcidump_header(lines, where)
    head = next(n for n, line in enumerate(lines) if line.strip()) + 1
    norb, norb_line = _header_int(keys, "NORB", where, head)
    nelec, nelec_line = _header_int(keys, "NELEC", where, head)
    ms2, ms2_line = _header_int(keys, "MS2", where, head, default=0)
    if "IUHF" in keys and keys["IUHF"][0] not in (["0"], ["F"], [".FALSE."]):
        raise ValueError(f"{where}, line {keys['IUHF'][1]}: unrestricted integrals (IUHF) "
                         "are not read; korvel takes one set of orbitals for both spins")
    if norb < 1:
        raise ValueError(f"{where}, line {norb_line}: NORB must be at least 1, got {norb}")
    if not 0 <= nelec <= 2 * norb:
        raise ValueError(f"{where}, line {nelec_line}: NELEC={nelec} electrons do not fit "
                         f"into NORB={norb} orbitals")
    if ms2 < 0 or (nelec - ms2) % 2 or ms2 > nelec or ms2 > 2 * norb - nelec:
        raise ValueError(f"{where}, line {ms2_line or nelec_line}: MS2={ms2} is impossible "
                         f"with NELEC={nelec} in NORB={norb} orbitals")
    orbsym = None
    if "ORBSYM" in keys:
        values, line = keys["ORBSYM"]
        if len(values) != norb or not all(re.fullmatch(r"\d{1,3}", v) for v in values):
            raise ValueError(f"{where}, line {line}: ORBSYM must list {norb} irrep numbers "
                             f"(one per orbital), got {len(values)} entries")
        orbsym = [int(v) for v in values]
    try:
        from korvel.core.hamiltonian import _problem_size
    except ImportError:
        _problem_size = None
    if _problem_size is not None:
        try:
            _problem_size(norb, check=True)
        except MemoryError as exc:
            raise ValueError(f"{where}, line {norb_line}: NORB={norb}: {exc}") from None

    h1_given: dict = {}
    eri_given: dict = {}
    ecore, ecore_line = 0.0, None
    for n in range(body, len(lines)):
        fields = lines[n].split()
        if not fields:
            continue
        at = f"{where}, line {n + 1}"
        if len(fields) != 5:
            if "(" in lines[n] or "," in fields[0]:
                raise ValueError(f"{at}: a complex value {fields[0]!r}; korvel reads real "
                                 "integrals only")
            raise ValueError(f"{at}: expected 'value i j k l', got {lines[n].strip()[:60]!r}")
        try:
            value = _fcidump_number(fields[0])
        except ValueError:
            kind = "a complex value" if fields[0].startswith("(") else "not a number"
            raise ValueError(f"{at}: {fields[0]!r} is {kind}; expected a real "
                             "integral value") from None
        if not math.isfinite(value):
            raise ValueError(f"{at}: the value {fields[0]} is not finite")
        try:
            i, j, k, l = (int(f) for f in fields[1:])
        except ValueError:
            raise ValueError(f"{at}: expected four integer indices, got "
                             f"{' '.join(fields[1:])!r}") from None
        if min(i, j, k, l) < 0 or max(i, j, k, l) > norb:
            raise ValueError(f"{at}: index beyond the NORB={norb} orbitals of the header "
                             f"({i} {j} {k} {l}); indices run from 1 to NORB, 0 for none")
        if i and j and k and l:
            table, key = eri_given, (i - 1, j - 1, k - 1, l - 1)
        elif i and j and not k and not l:
            table, key = h1_given, (i - 1, j - 1)
        elif not (i or j or k or l):
            if ecore_line is not None:
                raise ValueError(f"{at}: a second core-energy line (first at line "
                                 f"{ecore_line})")
            ecore, ecore_line = value, n + 1
            continue
        elif i and not (j or k or l):
            continue                       # an orbital energy, not needed
        else:
            raise ValueError(f"{at}: index pattern {i} {j} {k} {l} is none of FCIDUMP's "
                             "(i j k l: two-electron, i j 0 0: one-electron, 0 0 0 0: core "
                             "energy, i 0 0 0: orbital energy)")
        if key in table:
            raise ValueError(f"{at}: integral {' '.join(fields[1:])} given twice (first at "
                             f"line {table[key][1]})")
        table[key] = (value, n + 1)

    values = [abs(v) for v, _ in h1_given.values()] + [abs(v) for v, _ in eri_given.values()]
    tol = _FCIDUMP_TOL * max([1.0] + values)
    h1 = np.zeros((norb, norb))
    for (i, j), (v, line) in h1_given.items():
        other = h1_given.get((j, i))
        if other is not None and abs(other[0] - v) > tol:
            raise ValueError(f"{where}, line {line}: h({i + 1},{j + 1}) = {v!r} but "
                             f"h({j + 1},{i + 1}) = {other[0]!r} at line {other[1]}; "
                             "korvel reads Hermitian one-electron integrals of real orbitals")
        h1[i, j] = h1[j, i] = v

    failed = None
    for key, (v, line) in eri_given.items():
        for perm, relation in _ERI_PERMUTATIONS:
            other = eri_given.get(tuple(key[p] for p in perm))
            if other is not None and abs(other[0] - v) > tol:
                failed = (key, v, line, tuple(key[p] for p in perm), other, relation)
                break
        if failed:
            break
    if failed:
        holds = [rel for perm, rel in _ERI_PERMUTATIONS
                 if all(abs(eri_given.get(tuple(k[p] for p in perm), (v, 0))[0] - v) <= tol
                        for k, (v, _) in eri_given.items())]
        key, v, line, okey, other, relation = failed
        idx = lambda t: " ".join(str(x + 1) for x in t)
        raise ValueError(
            f"{where}, line {line}: ({idx(key)}) = {v!r} but ({idx(okey)}) = {other[0]!r} at "
            f"line {other[1]}: the file's two-electron integrals lack the 8-fold symmetry "
            f"of real orbitals ({relation} fails; symmetry found: "
            f"{', '.join(holds) if holds else 'none'}); korvel reads real orbitals only")
    eri = np.zeros((norb,) * 4)
    if eri_given:
        idx = np.array(list(eri_given), dtype=np.intp).T
        vals = np.array([v for v, _ in eri_given.values()])
        for perm in ((0, 1, 2, 3),) + tuple(p for p, _ in _ERI_PERMUTATIONS):
            eri[tuple(idx[p] for p in perm)] = vals
    return {"path": where, "norb": norb, "nelec": nelec, "ms2": ms2, "h1": h1, "eri": eri,
            "ecore": float(ecore), "orbsym": orbsym, "symmetry": "8-fold (real orbitals)"}
