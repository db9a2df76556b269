"""The korvel input file: a ``$molecule`` and a ``$rem`` section.

A job file looks like this::

    ! water, minimal basis, whole orbital space
    $molecule
    0 1                      ! charge and spin multiplicity 2S+1
    O  0.0000  0.0000  0.1173
    H  0.0000  0.7572 -0.4692
    H  0.0000 -0.7572 -0.4692
    $end

    $rem
    basis        sto-3g
    active_space full
    $end

Coordinates are in Angstrom. Instead of atom lines, ``$molecule`` may hold a single
``read FILE.xyz`` line after the charge/multiplicity line; a relative path is taken
from the folder of the input file. ``$molecule`` may instead name integrals written by
another program, ``fcidump FILE`` (its header gives the electrons and 2S; an optional
``0 multiplicity`` line before it sets the spin); the orbitals are then those of the
file, and the reference the RHF or ROHF determinant of its occupation. ``!`` and ``#`` start a comment anywhere on a
line; section names, keywords and the values of choice keywords are
case-insensitive.

:func:`read_input` and :func:`parse_input_text` return a :class:`Calculation` whose
``rem`` mapping holds every keyword, defaults filled in, converted to its type. Any
malformed input raises ``ValueError`` whose message starts with the file name and
line number ("job.in, line 7: ...") and says what was expected.
"""

from __future__ import annotations

import difflib
import math
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = ["Calculation", "KEYWORDS", "Keyword", "parse_input_text", "read_input"]


# ---------------------------------------------------------------------------
# Keywords of $rem
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Keyword:
    """One ``$rem`` keyword: its value type, its default and a line of help."""

    name: str
    kind: str                 # int, float, bool, str, choice, intlist, labels
    default: Any
    help: str
    choices: tuple[str, ...] = ()
    minimum: float | None = None       # smallest allowed value (int, float, intlist)
    exclusive_minimum: bool = False    # the minimum itself is not allowed
    maximum: float | None = None
    exclusive_maximum: bool = False    # the maximum itself is not allowed


def _kw(*args, **kwargs) -> Keyword:
    return Keyword(*args, **kwargs)


#: Every keyword the ``$rem`` section accepts, in the order the README documents them.
KEYWORDS: dict[str, Keyword] = {k.name: k for k in [
    _kw("basis", "str", "sto-3g", "Gaussian basis set, any name PySCF knows"),
    _kw("reference", "choice", "rhf", "mean-field reference determinant",
        choices=("rhf", "rohf", "uhf")),
    _kw("active_space", "choice", "full",
        "orbital space kept after the fold: the whole space, an AVAS selection or a "
        "manual cut around the Fermi level", choices=("full", "avas", "manual")),
    _kw("avas_aos", "labels", None,
        "AVAS target atomic orbitals, e.g. 'N 2p'; several labels separated by commas "
        "(required with active_space avas)"),
    _kw("avas_threshold", "float", 0.2, "AVAS overlap threshold (an overlap lies in "
        "0..1, so 1 selects no orbital)",
        minimum=0.0, exclusive_minimum=True, maximum=1.0, exclusive_maximum=True),
    _kw("n_act", "int", None,
        "number of active spatial orbitals (required with active_space manual)",
        minimum=1),
    _kw("n_act_elec", "int", None,
        "number of active electrons (required with active_space manual)", minimum=0),
    _kw("orbital_opt", "bool", False,
        "optimise the orbitals by CASSCF in the chosen active space (ignored for full)"),
    _kw("method", "str", None,
        "downfolding method to run after the problem is built (e.g. cendrel); none: "
        "only measure the full-space Hamiltonian"),
    _kw("backend", "str", "auto",
        "operator-algebra backend: auto (the GPU one when a CUDA device is found, else "
        "the native CPU one), cpu, gpu, openfermion (the reference, slow)"),
    _kw("ccsd_n_comm", "int", 2,
        "nested commutators kept in the similarity-transform series (the series of a "
        "two-body Hamiltonian and doubles ends after four)", minimum=0, maximum=8),
    _kw("ccsd_max_body", "int", 4,
        "body-rank cap applied after each commutator", minimum=1, maximum=16),
    _kw("generator_pool", "str", "ccsd_screened",
        "source of the doubles amplitudes: ccsd_screened, ccd_screened, mp2_screened"),
    _kw("ccsd_singles", "bool", True,
        "add the converged CCSD singles to the cluster operator (T = T1 + T2); only "
        "with generator_pool ccsd_screened"),
    _kw("pool_tol", "float", 1e-8,
        "doubles amplitudes smaller than this in modulus are dropped", minimum=0.0,
        maximum=1.0),
    _kw("unitary_grad_tol", "float", 1e-3,
        "method unitary: rotations stop when the largest energy gradient of the pool "
        "falls below this (Eh)", minimum=1e-10, maximum=1.0),
    _kw("unitary_max_rotations", "int", 400,
        "method unitary: the most rotations done", minimum=1, maximum=1_000_000),
    _kw("unitary_max_body", "int", 3,
        "method unitary: body-rank cap applied after each rotation (at least 3: the "
        "three-body terms of a rotated two-body Hamiltonian carry contractions with the "
        "reference that a lower cap would lose)", minimum=3, maximum=16),
    _kw("fci_max_dim", "int", 2_000_000,
        "largest S_z block (determinants) for which the exact energy is computed; "
        "larger ones are skipped", minimum=0, maximum=10**9),
    _kw("dmrg_bond_dims", "intlist", None,
        "bond dimensions of DMRG runs on the full-space Hamiltonian, e.g. '50 100 200'; "
        "none: no DMRG", minimum=1, maximum=50_000),
    _kw("dmrg_extrapolate", "bool", True,
        "report the energy extrapolated to zero discarded weight (needs at least two "
        "bond dimensions)"),
    _kw("dmrg_n_sweeps", "int", 16, "sweeps per bond dimension", minimum=1,
        maximum=10_000),
    _kw("dmrg_n_threads", "int", 4, "threads of the DMRG library", minimum=1,
        maximum=1024),
    _kw("dmrg_stack_gb", "float", 4.0, "memory of the DMRG library in GiB (at least "
        "1/1024, one MiB, and enough for the bond dimensions asked for)",
        minimum=1 / 1024),
    _kw("dmrg_seed", "int", 1,
        "seed of the random DMRG start state: the same seed gives the same energies",
        minimum=1, maximum=2**32 - 1),
]}

#: Keywords set in ``$molecule`` (its first line), not in ``$rem``.
MOLECULE_KEYS = ("charge", "multiplicity")

_SECTIONS = ("molecule", "rem", "scan")
_TRUE = {"true", "yes", "1", "on"}
_FALSE = {"false", "no", "0", "off"}
_NONE = {"none", "null"}


# ---------------------------------------------------------------------------
# The calculation object
# ---------------------------------------------------------------------------

@dataclass
class Calculation:
    """A parsed input file: what ``korvel.core.hamiltonian.build_problem`` takes.

    ``molecule`` holds either ``geometry`` (a list of (element, (x, y, z)) pairs, in
    Angstrom) or ``xyz_file`` (a path); ``rem`` holds every keyword with its default
    filled in, plus ``charge`` and ``multiplicity`` from ``$molecule``. ``warnings``
    lists keywords that were given but have no effect with the chosen options.
    """

    molecule: dict
    rem: dict
    source: str = "<string>"
    warnings: list[str] = field(default_factory=list)
    #: basis functions of the molecule (the spatial orbitals of the full space), when
    #: the parser could build the molecule with PySCF; None otherwise
    basis_functions: int | None = None
    #: electrons of the molecule (nuclear charges less the charge) when the atoms are
    #: known at parse time; None otherwise
    electrons: int | None = None
    #: line of each $rem keyword given, and of charge and multiplicity (the first line
    #: of $molecule), for errors found after parsing
    lines: dict[str, int] = field(default_factory=dict)
    #: the potential-energy scan of a $scan section: {"coordinate": the line as
    #: written, "kind": "stre", "atoms": (a, b) numbered from 1, "values": [Angstrom],
    #: "line": its line}; None for a single geometry
    scan: dict | None = None


# ---------------------------------------------------------------------------
# Elements: symbols checked, electrons counted for the charge/multiplicity check
# ---------------------------------------------------------------------------

_ELEMENTS = (
    "H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn "
    "Ga Ge As Se Br Kr Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn Sb Te I Xe Cs Ba La Ce "
    "Pr Nd Pm Sm Eu Gd Tb Dy Ho Er Tm Yb Lu Hf Ta W Re Os Ir Pt Au Hg Tl Pb Bi Po At Rn "
    "Fr Ra Ac Th Pa U Np Pu Am Cm Bk Cf Es Fm Md No Lr Rf Db Sg Bh Hs Mt Ds Rg Cn Nh Fl "
    "Mc Lv Ts Og").split()
_Z = {sym.lower(): z for z, sym in enumerate(_ELEMENTS, start=1)}
# PySCF atom labels are an element symbol optionally followed by a tag ("H1", "O@2").


# Ghost atoms (basis functions without nucleus or electrons), in PySCF's spellings:
# "ghost-O", "ghost:O", "GHOST_O", "X-O", "X:O", "XO" (but "Xe" is xenon).
_GHOST = re.compile(r"(?i)^(?:ghost[-:_]?|x[-:_]?)(.+)$")


def _element(label: str) -> tuple[str, int] | None:
    """(element symbol, electrons) of an atom label, None for an unknown element.

    A label is an element symbol in any case, optionally followed by a tag that
    starts with a non-letter ("H1", "O@2"); a ghost label carries no electrons."""
    def z_of(text):
        return _Z.get(re.match(r"[A-Za-z]*", text).group(0).lower())

    z = z_of(label)
    if z is not None:
        return _ELEMENTS[z - 1], z
    ghost = _GHOST.match(label)
    z = z_of(ghost.group(1)) if ghost else None
    return None if z is None else (_ELEMENTS[z - 1], 0)


# ---------------------------------------------------------------------------
# Parsing
# ---------------------------------------------------------------------------

class _Source:
    """Names a place in a file for error messages."""

    def __init__(self, filename: str):
        self.filename = filename

    def error(self, lineno: int | None, what: str) -> ValueError:
        where = self.filename if lineno is None else f"{self.filename}, line {lineno}"
        return ValueError(f"{where}: {what}")


def _strip_comment(line: str) -> str:
    cut = len(line)
    for mark in "!#":
        pos = line.find(mark)
        if pos >= 0:
            cut = min(cut, pos)
    return line[:cut].strip()


def _suggest(word: str, options) -> str:
    close = difflib.get_close_matches(word, list(options), n=3, cutoff=0.6)
    return f" (did you mean {' or '.join(close)}?)" if close else ""


def _number(text: str, src: _Source, lineno: int, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise src.error(lineno, f"{what} {text!r} is not a number") from None
    if not math.isfinite(value):
        raise src.error(lineno, f"{what} {text!r} is not a finite number")
    return value


def _split_lines(text: str):
    """(line number, stripped text without comment) for every line, blank ones too."""
    for lineno, raw in enumerate(text.splitlines(), start=1):
        yield lineno, _strip_comment(raw)


def _sections(text: str, src: _Source) -> dict[str, tuple[int, list[tuple[int, str]]]]:
    """Section name -> (line of its header, [(line number, content line), ...])."""
    found: dict[str, tuple[int, list[tuple[int, str]]]] = {}
    current: str | None = None
    opened = 0
    body: list[tuple[int, str]] = []
    for lineno, line in _split_lines(text):
        if not line:
            continue
        if line.startswith("$"):
            tokens = line[1:].split()
            word, extra = (tokens[0].lower(), tokens[1:]) if tokens else ("", [])
            if word == "end":
                if current is None:
                    raise src.error(lineno, "$end without an open section")
                if extra:
                    raise src.error(lineno, f"unexpected text after $end: {' '.join(extra)!r}")
                found[current] = (opened, body)
                current, body = None, []
                continue
            if current is not None:
                raise src.error(lineno, f"expected $end to close ${current} "
                                        f"(opened at line {opened}) before ${word}")
            if word not in _SECTIONS:
                raise src.error(lineno, f"unknown section ${word}{_suggest(word, _SECTIONS)}; "
                                        "expected $molecule or $rem (or $scan)")
            if word in found:
                raise src.error(lineno, f"section ${word} given twice "
                                        f"(first at line {found[word][0]})")
            if extra:
                raise src.error(lineno, f"unexpected text after ${word}: {' '.join(extra)!r}")
            current, opened, body = word, lineno, []
            continue
        if current is None:
            raise src.error(lineno, f"text outside a section: {line!r}; "
                                    "expected $molecule or $rem")
        body.append((lineno, line))
    if current is not None:
        raise src.error(opened, f"section ${current} is not closed; expected $end")
    return found


def _charge_multiplicity(lineno: int, line: str, src: _Source) -> tuple[int, int]:
    expected = "expected the charge and the spin multiplicity as two integers, e.g. '0 1'"
    fields = line.split()
    if len(fields) != 2:
        raise src.error(lineno, f"{expected}; got {line!r}")
    try:
        charge, mult = int(fields[0]), int(fields[1])
    except ValueError:
        raise src.error(lineno, f"{expected}; got {line!r}") from None
    if mult < 1:
        raise src.error(lineno, f"multiplicity must be at least 1 (2S+1); got {mult}")
    return charge, mult


def _check_symbol(symbol: str, src: _Source, lineno: int, what: str = "El x y z") -> None:
    if not symbol[0].isalpha():
        raise src.error(lineno, f"expected an element symbol first ({what}); got {symbol!r}")
    if _element(symbol) is None:
        letters = re.match(r"[A-Za-z]*", symbol).group(0)
        hint = _suggest(letters.capitalize(), _ELEMENTS)
        raise src.error(lineno, f"unknown element symbol {symbol!r}{hint}; expected a "
                                "symbol such as H, C or Fe, optionally tagged (H1) or "
                                "as a ghost (ghost-H)")


def _check_coordinates(coords, src: _Source, lineno: int) -> None:
    """The problem builder's bound on coordinates (MAX_COORDINATE, Angstrom), with the
    line; without the compiled builder the build itself reports it."""
    try:
        from korvel.core.hamiltonian import MAX_COORDINATE as bound
    except ImportError:
        return
    for c in coords:
        if abs(c) > bound:
            raise src.error(lineno, f"coordinate {c:g} is beyond {bound:g} Angstrom; "
                                    "expected coordinates of a molecule in Angstrom")


def _atom(lineno: int, fields: list[str], src: _Source, what: str = "El x y z"):
    symbol = fields[0]
    _check_symbol(symbol, src, lineno, what)
    coords = tuple(_number(f, src, lineno, "coordinate") for f in fields[1:4])
    _check_coordinates(coords, src, lineno)
    return symbol, coords


def _read_xyz(path: Path, src: _Source, lineno: int) -> list | None:
    """(line, element, (x, y, z)) of every atom of an XYZ file, read by the problem
    builder's own reader (which bounds what it reads and names the file and line of
    a bad coordinate), with the element symbols checked here. None when the compiled
    builder is not available: the file is then read when the problem is built."""
    try:
        from korvel.core.hamiltonian import _read_xyz as read
    except ImportError:
        return None
    try:
        atoms = read(path)
    except OSError as exc:
        raise src.error(lineno, f"cannot read xyz file {str(path)!r}: "
                                f"{exc.strerror or exc}") from None
    except ValueError as exc:
        raise src.error(lineno, str(exc)) from None
    xyz = _Source(str(path))
    for n, symbol, coords in atoms:
        _check_symbol(symbol, xyz, n, "element x y z")
        _check_coordinates(coords, xyz, n)
    if not atoms:
        raise src.error(lineno, f"xyz file {str(path)!r} holds no atom lines "
                                "(after its two header lines)")
    return atoms


#: Nuclei closer than this (Angstrom) are refused: two atoms typed at one point, or a
#: coordinate off by a factor, not a molecule (the shortest bond, H2, is 0.74).
MIN_DISTANCE = 0.1


def _check_distances(placed) -> None:
    """Refuse two nuclei closer than MIN_DISTANCE; ``placed`` holds (source, line,
    label, (x, y, z)). Ghost atoms carry no nucleus and may sit on an atom. Atoms are
    binned into cells of that size, so only neighbouring cells are compared."""
    cells: dict[tuple[int, int, int], list] = {}
    for atom in placed:
        src, line, label, xyz = atom
        if _element(label)[1] == 0:          # a ghost
            continue
        try:
            key = tuple(math.floor(c / MIN_DISTANCE) for c in xyz)
        except OverflowError:               # far off: near nothing (the builder refuses it)
            continue
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                for dz in (-1, 0, 1):
                    for other in cells.get((key[0] + dx, key[1] + dy, key[2] + dz), ()):
                        d = math.dist(xyz, other[3])
                        if d < MIN_DISTANCE:
                            first = f"line {other[1]}" if other[0] is src else \
                                f"{other[0].filename}, line {other[1]}"
                            raise src.error(line, f"atom {label} is {d:.3g} Angstrom from "
                                                  f"atom {other[2]} of {first}; nuclei "
                                                  f"closer than {MIN_DISTANCE} Angstrom are "
                                                  "refused (two atoms at one point?)")
        cells.setdefault(key, []).append(atom)


def _parse_fcidump(header: int, body, src: _Source, folder: Path):
    """``$molecule`` naming an FCIDUMP file: an optional 'charge multiplicity' line
    (charge 0: the file fixes the electrons; the multiplicity overrides MS2 + 1), then
    ``fcidump FILE``. The whole file is read and checked here, so that a malformed one
    is refused before anything runs."""
    from korvel.io import read_fcidump

    lines = list(body)
    mult_line = None
    if len(lines) == 2 and lines[1][1].split()[0].lower() == "fcidump":
        charge, mult = _charge_multiplicity(*lines[0], src)
        if charge != 0:
            raise src.error(lines[0][0], f"charge {charge} with an FCIDUMP file: the file's "
                                         "NELEC fixes the electrons; give charge 0")
        mult_line = lines[0][0]
        lines = lines[1:]
    if len(lines) != 1:
        raise src.error(lines[1][0] if len(lines) > 1 else header,
                        "expected only 'fcidump FILE' in $molecule (after an optional "
                        "'0 multiplicity' line), no atoms")
    lineno, line = lines[0]
    name = line.split(None, 1)[1].strip() if len(line.split(None, 1)) == 2 else ""
    if not name:
        raise src.error(lineno, "expected a file name after 'fcidump'")
    path = Path(os.path.expanduser(name))
    if not path.is_absolute():
        path = Path(os.path.abspath(folder / path))
    try:
        data = read_fcidump(path)
    except OSError as exc:
        raise src.error(lineno, f"cannot read FCIDUMP file {str(path)!r}: "
                                f"{exc.strerror or exc}") from None
    except (ValueError, MemoryError) as exc:
        raise src.error(lineno, f"FCIDUMP file: {exc}") from None
    if mult_line is None:
        mult = data["ms2"] + 1
        mult_line = lineno
    n_elec, two_s, norb = data["nelec"], mult - 1, data["norb"]
    if (n_elec - two_s) % 2 or two_s > n_elec or two_s > 2 * norb - n_elec:
        raise src.error(mult_line, f"multiplicity {mult} is impossible with the {n_elec} "
                                   f"electrons in {norb} orbitals of the FCIDUMP file")
    return {"fcidump": str(path)}, 0, mult, n_elec, norb, mult_line


def _is_fcidump(body) -> bool:
    return any(line.split()[0].lower() == "fcidump" for _, line in body)


def _parse_molecule(header: int, body, src: _Source, folder: Path):
    if not body:
        raise src.error(header, "$molecule is empty; expected a charge/multiplicity "
                                "line, then atom lines or 'read FILE.xyz'")
    charge, mult = _charge_multiplicity(*body[0], src)
    atoms, atom_lines, xyz_path, read_line = [], [], None, None
    for lineno, line in body[1:]:
        fields = line.split()
        if fields[0].lower() == "read":
            if xyz_path is not None or atoms:
                raise src.error(lineno, "expected either atom lines or a single "
                                        "'read FILE.xyz' line in $molecule, not both")
            name = line[len(fields[0]):].strip()
            if not name:
                raise src.error(lineno, "expected a file name after 'read'")
            xyz_path, read_line = Path(os.path.expanduser(name)), lineno
            if not xyz_path.is_absolute():
                # absolute, so that the builder finds it whatever the working folder
                xyz_path = Path(os.path.abspath(folder / xyz_path))
            continue
        if xyz_path is not None:
            raise src.error(lineno, "expected either atom lines or a single "
                                    "'read FILE.xyz' line in $molecule, not both")
        if len(fields) != 4:
            raise src.error(lineno, f"expected an atom line 'El x y z'; got {line!r}")
        atoms.append(_atom(lineno, fields, src))
        atom_lines.append(lineno)
    if xyz_path is not None:
        read = _read_xyz(xyz_path, src, read_line)
        xyz = _Source(str(xyz_path))
        placed = None if read is None else [(xyz, n, sym, c) for n, sym, c in read]
        atoms = [] if read is None else [(sym, c) for _, sym, c in read]
        molecule = {"xyz_file": str(xyz_path)}
    elif atoms:
        placed = [(src, n, sym, c) for n, (sym, c) in zip(atom_lines, atoms)]
        molecule = {"geometry": atoms}
    else:
        raise src.error(header, "$molecule has no atoms; expected atom lines "
                                "'El x y z' or a 'read FILE.xyz' line")
    if placed is not None:
        _check_distances(placed)

    if placed is not None:
        n_elec = sum(_element(sym)[1] for sym, _ in atoms) - charge
        if n_elec < 0:
            raise src.error(body[0][0], f"charge {charge} leaves a negative number of "
                                        f"electrons ({n_elec})")
        if (n_elec + mult - 1) % 2 or mult - 1 > n_elec:
            raise src.error(body[0][0], f"multiplicity {mult} is impossible with "
                                        f"{n_elec} electrons (charge {charge})")
    else:
        n_elec = None
    return molecule, charge, mult, n_elec, atoms


def _convert(kw: Keyword, value: str, src: _Source, lineno: int):
    """The text of a ``$rem`` value converted to the keyword's type."""
    low = value.lower()
    if low in _NONE and kw.default is None:
        return None
    if kw.kind == "str":
        return low if kw.name in ("method", "backend", "generator_pool") else value
    if kw.kind == "labels":
        labels = [part.strip() for part in value.split(",")]
        if not all(labels):
            raise src.error(lineno, f"expected AVAS orbital labels such as 'N 2p' or "
                                    f"'N 2p, O 2p' for {kw.name}; got {value!r}")
        return labels[0] if len(labels) == 1 else labels
    if kw.kind == "choice":
        if low not in kw.choices:
            raise src.error(lineno, f"{kw.name} must be one of {', '.join(kw.choices)}; "
                                    f"got {value!r}{_suggest(low, kw.choices)}")
        return low
    if kw.kind == "bool":
        if low in _TRUE:
            return True
        if low in _FALSE:
            return False
        raise src.error(lineno, f"{kw.name} expects true or false (yes/no, 1/0); "
                                f"got {value!r}")
    if kw.kind == "int":
        number = _int(value, kw, src, lineno, "an integer")
        _check_range(kw, number, src, lineno)
        return number
    if kw.kind == "float":
        try:
            number = float(value)
        except ValueError:
            raise src.error(lineno, f"{kw.name} expects a number; got {value!r}") from None
        if not math.isfinite(number):
            raise src.error(lineno, f"{kw.name} expects a finite number; got {value!r}")
        _check_range(kw, number, src, lineno)
        return number
    if kw.kind == "intlist":
        parts = [p for p in re.split(r"[\s,]+", value) if p]
        if not parts:
            raise src.error(lineno, f"{kw.name} expects a list of integers such as "
                                    f"'50 100 200'; got {value!r}")
        numbers = [_int(p, kw, src, lineno, "a list of integers such as '50 100 200'")
                   for p in parts]
        for number in numbers:
            _check_range(kw, number, src, lineno)
        return numbers
    raise AssertionError(kw.kind)  # pragma: no cover - table and code disagree


#: Most digits of an integer keyword: every bound of the keyword table is far below.
_MAX_INT_DIGITS = 18


def _int(text: str, kw: Keyword, src: _Source, lineno: int, expected: str) -> int:
    match = re.fullmatch(r"[+-]?0*(\d+)", text.strip())
    if not match:
        raise src.error(lineno, f"{kw.name} expects {expected}; got {_shown(text)}")
    if len(match.group(1)) > _MAX_INT_DIGITS:
        raise src.error(lineno, f"{kw.name} {_shown(text)} is out of range (an integer of "
                                f"{len(match.group(1))} digits)")
    return int(text)


def _shown(text: str) -> str:
    """A value quoted for a message, cut to 40 characters."""
    return repr(text) if len(text) <= 40 else repr(text[:37] + "...")


def _check_range(kw: Keyword, number, src: _Source, lineno: int) -> None:
    low, high = kw.minimum, kw.maximum
    if low is not None and (number < low or (kw.exclusive_minimum and number == low)):
        bound = f"greater than {low:g}" if kw.exclusive_minimum else f"at least {low:g}"
        raise src.error(lineno, f"{kw.name} must be {bound}; got {number:g}")
    if high is not None and (number > high or (kw.exclusive_maximum and number == high)):
        bound = f"less than {high:g}" if kw.exclusive_maximum else f"at most {high:g}"
        raise src.error(lineno, f"{kw.name} must be {bound}; got {number:g}")


def _parse_rem(header: int | None, body, src: _Source):
    values: dict[str, Any] = {}
    where: dict[str, int] = {}
    for lineno, line in body:
        match = re.match(r"^([^\s=]+)\s*(?:=\s*|\s+)?(.*)$", line)
        key, value = match.group(1).lower(), match.group(2).strip()
        if key in MOLECULE_KEYS:
            raise src.error(lineno, f"{key} is set on the first line of $molecule "
                                    "('charge multiplicity'), not in $rem")
        kw = KEYWORDS.get(key)
        if kw is None:
            raise src.error(lineno, f"unknown keyword {key!r} in $rem"
                                    f"{_suggest(key, KEYWORDS)}")
        if key in values:
            raise src.error(lineno, f"keyword {key} given twice (first at line {where[key]})")
        if not value:
            raise src.error(lineno, f"expected a value after {key}")
        values[key] = _convert(kw, value, src, lineno)
        where[key] = lineno
    return values, where


def _check_combination(rem: dict, given: dict, where: dict, header: int | None,
                       src: _Source, n_elec: int | None) -> list[str]:
    """Keywords that depend on each other; returns warnings for ignored ones."""
    mode = rem["active_space"]
    line = where.get("active_space", header)
    warnings = []
    if mode == "manual":
        missing = [k for k in ("n_act", "n_act_elec") if rem[k] is None]
        if missing:
            raise src.error(line, f"active_space manual requires {' and '.join(missing)} "
                                  "in $rem (active orbitals and active electrons)")
        # how the partition fits the molecule is checked with the basis, below
    if mode == "avas" and not rem["avas_aos"]:
        raise src.error(line, "active_space avas requires avas_aos in $rem "
                              "(e.g. avas_aos N 2p)")
    ignored = {
        "n_act": mode != "manual", "n_act_elec": mode != "manual",
        "avas_aos": mode != "avas", "avas_threshold": mode != "avas",
        "orbital_opt": mode == "full" and rem["orbital_opt"],
    }
    for key, unused in ignored.items():
        if unused and key in given:
            warnings.append(f"{src.filename}, line {where[key]}: {key} has no effect "
                            f"with active_space {mode}")
    ccsd_keys = ("ccsd_n_comm", "ccsd_max_body", "generator_pool", "pool_tol", "ccsd_singles")
    unitary_keys = ("unitary_grad_tol", "unitary_max_rotations", "unitary_max_body")
    for keys, owner in ((ccsd_keys, "cendrel"), (unitary_keys, "unitary")):
        if rem["method"] != owner:
            for key in keys:
                if key in given:
                    warnings.append(f"{src.filename}, line {where[key]}: {key} has no "
                                    + ("effect without a method" if rem["method"] is None
                                       else f"effect with method {rem['method']}"))
    if rem["method"] is None:
        pass
    elif "ccsd_singles" in given and rem["generator_pool"] != "ccsd_screened":
        warnings.append(f"{src.filename}, line {where['ccsd_singles']}: ccsd_singles has no "
                        f"effect with generator_pool {rem['generator_pool']} (no singles)")
    if rem["dmrg_bond_dims"] is None:
        for key in ("dmrg_extrapolate", "dmrg_n_sweeps", "dmrg_n_threads", "dmrg_stack_gb",
                    "dmrg_seed"):
            if key in given:
                warnings.append(f"{src.filename}, line {where[key]}: {key} has no "
                                "effect without dmrg_bond_dims")
    return warnings


def _memory_bytes() -> int | None:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return None


def _check_machine(rem: dict, where: dict, src: _Source) -> None:
    """Resources asked for that this machine does not have."""
    memory = _memory_bytes()
    if memory and rem["dmrg_bond_dims"] is not None \
            and rem["dmrg_stack_gb"] * 2**30 > memory:
        raise src.error(where.get("dmrg_stack_gb"),
                        f"dmrg_stack_gb {rem['dmrg_stack_gb']:g} is more than the "
                        f"{memory / 2**30:.1f} GiB of memory of this machine")


def _check_dmrg_resources(rem: dict, where: dict, rem_header, n_spinorb: int,
                          src: _Source) -> None:
    """The DMRG runs asked for, checked by the solver's own rules before any SCF: the
    threads can be started, and each bond dimension fits the stack."""
    if rem["dmrg_bond_dims"] is None:
        return
    try:
        from korvel.core.analysis import _check_dmrg_resources as check
    except ImportError:
        return
    try:
        check(n_spinorb, rem["dmrg_bond_dims"], rem["dmrg_stack_gb"], rem["dmrg_n_threads"])
    except (ValueError, MemoryError) as exc:
        text = str(exc)
        key = ("dmrg_n_threads" if "thread" in text else
               "dmrg_stack_gb" if "dmrg_stack_gb" in where else "dmrg_bond_dims")
        raise src.error(where.get(key, rem_header),
                        f"{text} (dmrg_bond_dims, dmrg_stack_gb, dmrg_n_threads)") from None


def _check_method(rem: dict, where: dict, n_elec: int, src: _Source) -> None:
    """A method and backend that cannot run this molecule, refused before the SCF."""
    if rem["method"] == "cendrel":
        # its cluster operator comes from closed-shell amplitudes, whatever their source
        from types import SimpleNamespace

        from korvel.core.amplitudes import _closed_shell_occupation
        try:
            _closed_shell_occupation(SimpleNamespace(n_elec=n_elec,
                                                     spin_2s=rem["multiplicity"] - 1))
        except ValueError as exc:
            raise src.error(where["method"], f"method cendrel: {exc}; the charge and "
                                             "multiplicity are on the first line of "
                                             "$molecule") from None
    name = rem["backend"]
    if rem["method"] is not None and name not in (None, "auto"):
        import importlib

        from korvel.backends import get_backend
        if name == "gpu":
            try:
                importlib.import_module("cupy")
            except Exception as exc:  # noqa: BLE001 - any failure to import it
                raise src.error(where.get("backend"), "backend gpu is not available on this "
                                f"machine: it needs CuPy, which cannot be imported ({exc}); "
                                "install it with: pip install \"korvel[gpu]\" (or use "
                                "backend auto or cpu)") from None
        try:
            backend = get_backend(name)
            usable = backend.available() if hasattr(backend, "available") else True
        except ImportError as exc:
            raise src.error(where.get("backend"), f"backend {name} is not available: "
                                                  f"{exc}") from None
        if not usable:
            raise src.error(where.get("backend"), f"backend {name} is not available on "
                                                  "this machine: CuPy finds no CUDA device; "
                                                  "use backend cpu or auto")


def _check_chemistry(rem: dict, where: dict, molecule_header: int, rem_header,
                     atoms: list, src: _Source) -> int | None:
    """The basis, the molecule and the partition, checked with PySCF's own basis
    library and the problem builder's partition rule before any SCF runs. Returns the
    number of basis functions; None when PySCF or the compiled builder is missing
    (the builder then reports what is wrong)."""
    import warnings
    try:
        from pyscf import gto
        from korvel.core.hamiltonian import _check_avas_labels, _check_partition, _molecule
    except ImportError:
        return None
    basis = rem["basis"]
    basis_line = where.get("basis", rem_header if rem_header is not None else molecule_header)
    elements = sorted({_element(sym)[0] for sym, _ in atoms})
    missing = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")     # PySCF's hint to install basis-set-exchange
        for el in elements:
            try:
                gto.basis.load(basis, el)
            except Exception:
                missing.append(el)
        if missing and len(missing) == len(elements):
            known = False
            for probe in ("H", "C"):
                try:
                    gto.basis.load(basis, probe)
                    known = True
                    break
                except Exception:
                    pass
            if not known:
                names = list(getattr(gto.basis, "ALIAS", {}))
                hint = _suggest(re.sub(r"[-_ ]", "", basis.lower()), names)
                raise src.error(basis_line, f"basis {basis!r} is not known to PySCF{hint}")
        if missing:
            raise src.error(basis_line, f"basis {basis!r} has no functions for "
                                        f"{', '.join(missing)}")
        try:
            # with the basis set's own ECP, as the problem builder makes it
            mol = _molecule(atoms, basis, rem["charge"], rem["multiplicity"] - 1)
        except Exception as exc:
            raise src.error(molecule_header, f"PySCF cannot build the molecule: "
                                             f"{' '.join(str(exc).split())}") from None
    n_ao, n_elec = int(mol.nao_nr()), int(mol.nelectron)
    _check_method(rem, where, n_elec, src)
    _check_dmrg_resources(rem, where, rem_header, 2 * n_ao, src)
    if rem["active_space"] == "avas" and rem["avas_aos"]:
        try:
            _check_avas_labels(mol, rem["avas_aos"])
        except ValueError as exc:
            raise src.error(where.get("avas_aos", rem_header), str(exc)) from None
    if rem["active_space"] == "manual":
        n_act, n_act_elec = rem["n_act"], rem["n_act_elec"]
        try:
            _check_partition((n_elec - n_act_elec) // 2, n_act, n_act_elec, n_elec, n_ao,
                             spin_2s=rem["multiplicity"] - 1)
        except ValueError as exc:
            line = where["n_act"] if n_act > n_ao else where["n_act_elec"]
            raise src.error(line, f"{exc} ({n_elec} electrons and {n_ao} orbitals "
                                  f"in basis {basis})") from None
    return n_ao


def _check_integrals(rem: dict, given: dict, where: dict, rem_header, n_elec: int,
                     norb: int, src: _Source, warnings: list) -> int:
    """The keywords of a job on FCIDUMP integrals: no basis, no AVAS (it projects onto
    atomic orbitals), no CASSCF, an RHF or ROHF reference, a partition that fits."""
    if "basis" in given:
        warnings.append(f"{src.filename}, line {where['basis']}: basis has no effect with "
                        "an FCIDUMP file (the integrals are given in its orbitals)")
    if rem["active_space"] == "avas":
        raise src.error(where.get("active_space", rem_header),
                        "active_space avas needs a basis set of atomic orbitals, which "
                        "integrals from an FCIDUMP file do not have; use active_space "
                        "manual (n_act, n_act_elec) or full")
    if rem["orbital_opt"] and rem["active_space"] != "full":
        raise src.error(where.get("orbital_opt", rem_header),
                        "orbital_opt (CASSCF) is not available for integrals from an "
                        "FCIDUMP file; optimise the orbitals in the program that wrote it")
    if rem["reference"] not in ("rhf", "rohf"):
        raise src.error(where.get("reference", rem_header),
                        f"reference {rem['reference']} is not available with an FCIDUMP "
                        "file: it holds one set of orbitals (use rhf or rohf)")
    _check_method(rem, where, n_elec, src)
    _check_dmrg_resources(rem, where, rem_header, 2 * norb, src)
    if rem["active_space"] == "manual":
        try:
            from korvel.core.hamiltonian import _check_partition
        except ImportError:
            return norb
        n_act, n_act_elec = rem["n_act"], rem["n_act_elec"]
        try:
            _check_partition((n_elec - n_act_elec) // 2, n_act, n_act_elec, n_elec, norb,
                             spin_2s=rem["multiplicity"] - 1)
        except ValueError as exc:
            line = where["n_act"] if n_act > norb else where["n_act_elec"]
            raise src.error(line, f"{exc} ({n_elec} electrons and {norb} orbitals "
                                  "in the FCIDUMP file)") from None
    return norb


#: Most geometries of one scan.
MAX_SCAN_POINTS = 500


def _parse_scan(header: int, body, src: _Source, atoms: list) -> dict:
    """``stre A B start stop step`` (``stop`` included when the steps land on it) or
    ``stre A B v1 v2 ...`` (four or more values, or one or two): the distance of atoms
    A and B (numbered from 1) in Angstrom; atom B moves along the A-B axis."""
    if len(body) != 1:
        raise src.error(body[1][0] if body else header,
                        "expected one coordinate line in $scan, 'stre A B start stop step' "
                        "or 'stre A B v1 v2 ...'")
    lineno, line = body[0]
    fields = line.split()
    if fields[0].lower() != "stre":
        raise src.error(lineno, f"unknown scan coordinate {fields[0]!r}; expected 'stre A B "
                                "start stop step' (a bond length, Angstrom)")
    if len(fields) < 4:
        raise src.error(lineno, "expected 'stre A B start stop step' or 'stre A B v1 v2 ...'")
    if not atoms:
        raise src.error(lineno, "$scan needs atoms in $molecule (an FCIDUMP file has no "
                                "geometry to vary)")
    pair = []
    for text in fields[1:3]:
        if not re.fullmatch(r"\d{1,6}", text) or not 1 <= int(text) <= len(atoms):
            raise src.error(lineno, f"atom {text!r} of the scan is not one of the "
                                    f"{len(atoms)} atoms of $molecule (numbered from 1)")
        pair.append(int(text))
    if pair[0] == pair[1]:
        raise src.error(lineno, "the two atoms of a bond length must differ")
    numbers = [_number(t, src, lineno, "a distance in Angstrom") for t in fields[3:]]
    if len(numbers) == 3:
        start, stop, step = numbers
        if step == 0 or (stop - start) * step < 0:
            raise src.error(lineno, f"step {step:g} does not lead from {start:g} to "
                                    f"{stop:g}")
        count = math.floor((stop - start) / step + 1e-9) + 1
        if count > MAX_SCAN_POINTS:
            raise src.error(lineno, f"the scan has {count} points, more than "
                                    f"{MAX_SCAN_POINTS}")
        values = [round(start + k * step, 12) for k in range(count)]
    else:
        values = numbers
    if len(values) > MAX_SCAN_POINTS:
        raise src.error(lineno, f"the scan has {len(values)} points, more than "
                                f"{MAX_SCAN_POINTS}")
    for v in values:
        if not MIN_DISTANCE <= v <= 1e3:
            raise src.error(lineno, f"bond length {v:g} Angstrom is outside "
                                    f"[{MIN_DISTANCE:g}, 1000]")
    return {"coordinate": line.strip(), "kind": "stre", "atoms": tuple(pair),
            "values": values, "line": lineno}


def scan_geometry(atoms: list, scan: dict, value: float) -> list:
    """The atoms with the scanned bond set to ``value`` Angstrom: atom B moves along
    the A-B axis, every other atom stays where it is."""
    a, b = (i - 1 for i in scan["atoms"])
    xa, xb = atoms[a][1], atoms[b][1]
    d = math.dist(xa, xb)
    if d == 0.0:
        raise ValueError("the scanned atoms coincide; the bond has no direction")
    moved = tuple(pa + (pb - pa) * value / d for pa, pb in zip(xa, xb))
    out = list(atoms)
    out[b] = (atoms[b][0], moved)
    return out


def _check_names(rem: dict, where: dict, src: _Source) -> None:
    """Method and backend names against the registries (plain-Python modules)."""
    from korvel.backends import backend_names
    from korvel.methods.base import method_names

    for key, names in (("method", method_names()), ("backend", backend_names())):
        value = rem[key]
        if value is not None and value not in names:
            raise src.error(where[key], f"unknown {key} {value!r}{_suggest(value, names)}; "
                                        f"expected one of: {', '.join(names)}")


def parse_input_text(text: str, filename: str = "<string>") -> Calculation:
    """Parse the text of an input file; ``filename`` names it in error messages and
    is the folder against which ``read FILE.xyz`` is resolved (the current folder for
    text without a file)."""
    src = _Source(filename)
    folder = Path(filename).parent if filename != "<string>" else Path.cwd()
    sections = _sections(text, src)
    if "molecule" not in sections:
        raise src.error(None, "no $molecule section; expected $molecule ... $end with "
                              "a charge/multiplicity line and the atoms")
    mol_header = sections["molecule"][0]
    norb = None
    if _is_fcidump(sections["molecule"][1]):
        molecule, charge, mult, n_elec, norb, mult_line = _parse_fcidump(
            *sections["molecule"], src, folder)
        atoms = []
    else:
        molecule, charge, mult, n_elec, atoms = _parse_molecule(*sections["molecule"], src,
                                                                folder)
        mult_line = sections["molecule"][1][0][0]
    rem_header, rem_body = sections.get("rem", (None, []))
    given, where = _parse_rem(rem_header, rem_body, src)

    rem = {"basis": KEYWORDS["basis"].default, "charge": charge, "multiplicity": mult}
    rem.update((name, kw.default) for name, kw in KEYWORDS.items() if name != "basis")
    rem.update(given)
    if rem["dmrg_bond_dims"] is not None:
        rem["dmrg_bond_dims"] = list(rem["dmrg_bond_dims"])
    warnings = _check_combination(rem, given, where, rem_header, src, n_elec)
    _check_names(rem, where, src)
    _check_machine(rem, where, src)
    if norb is not None:
        n_ao = _check_integrals(rem, given, where, rem_header, n_elec, norb, src, warnings)
    else:
        n_ao = _check_chemistry(rem, where, mol_header, rem_header, atoms, src) if atoms \
            else None
    _check_backend_width(rem, where, n_ao, src)
    lines = dict(where)
    lines.update(charge=mult_line, multiplicity=mult_line)
    scan = None
    if "scan" in sections:
        scan = _parse_scan(*sections["scan"], src, atoms)
        scan["atoms_at_start"] = list(atoms)
        for value in scan["values"]:
            _check_distances([(src, scan["line"], sym, c)
                              for sym, c in scan_geometry(atoms, scan, value)])
    return Calculation(molecule=molecule, rem=rem, source=filename, warnings=warnings,
                       basis_functions=n_ao, electrons=n_elec, lines=lines, scan=scan)


#: Most spin-orbitals each backend's operator algebra holds (the GPU backend's 128-bit
#: Majorana masks; the native backend's widest spin-orbital sets).
BACKEND_MAX_SPINORB = {"gpu": 64, "cpu": 256}


def _check_backend_width(rem: dict, where: dict, n_ao: int | None, src: _Source) -> None:
    """A method on a backend that cannot hold the problem's spin-orbitals is refused here,
    before the SCF, naming the sizes."""
    if rem["method"] is None or n_ao is None:
        return
    if rem["method"] == "unitary" and 2 * n_ao > BACKEND_MAX_SPINORB["gpu"]:
        # its rotations run on the 128-bit Majorana masks whatever the backend
        raise src.error(where.get("method"),
                        f"method unitary holds at most {BACKEND_MAX_SPINORB['gpu']} "
                        f"spin-orbitals (its exact rotations run on 128-bit Majorana masks), "
                        f"and this problem has {n_ao} orbitals ({2 * n_ao} spin-orbitals); "
                        "use method cendrel (up to 256 spin-orbitals) or a smaller basis set")
    name, limit = rem["backend"], BACKEND_MAX_SPINORB.get(rem["backend"])
    if limit is None or 2 * n_ao <= limit:
        return
    hint = ("use backend cpu (up to 256 spin-orbitals) or auto" if name == "gpu"
            else "use a smaller basis set or fewer atoms")
    raise src.error(where.get("backend", where.get("basis")),
                    f"backend {name} holds at most {limit} spin-orbitals ({limit // 2} "
                    f"orbitals), and this problem has {n_ao} orbitals ({2 * n_ao} "
                    f"spin-orbitals); {hint}")


#: Most characters read from an input file.
MAX_INPUT_CHARS = 2**24


def read_input(path: str | os.PathLike) -> Calculation:
    """Read and parse the input file at ``path``."""
    path = Path(path)
    try:
        # tolerate a byte-order mark; read a bounded amount (an input file is small,
        # and a device such as /dev/zero would otherwise be read until memory runs out)
        with open(path, encoding="utf-8-sig") as fh:
            text = fh.read(MAX_INPUT_CHARS + 1)
        if len(text) > MAX_INPUT_CHARS:
            raise ValueError(f"input file {str(path)!r} is larger than "
                             f"{MAX_INPUT_CHARS // 2**20} Mi characters; is it the right "
                             "file?")
    except OSError as exc:
        raise ValueError(f"cannot read input file {str(path)!r}: "
                         f"{exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise ValueError(f"input file {str(path)!r} is not a text file") from None
    return parse_input_text(text, filename=str(path))
