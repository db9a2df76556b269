// korvel.core.hamiltonian: the Problem record and the problem builder.
//
// build_problem runs the whole upstream quantum chemistry once per calculation:
// geometry -> SCF -> active space (full, AVAS or a manual cut) -> optional CASSCF
// orbital optimisation -> block semicanonicalisation -> integrals in the working
// orbitals -> second-quantised Hamiltonian as an OpenFermion FermionOperator.
// Every numerical step is a PySCF, NumPy or OpenFermion call made from here; PySCF
// and OpenFermion are imported inside build_problem on every call, NumPy once when
// the module loads (module attribute `np`).
#include "common.h"

#include "engine/integral_terms.h"
#include "engine/memory.h"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace korvel::py;
using namespace nb::literals;

namespace {

// Energy convergence of the mean field (PySCF conv_tol); its orbital gradient follows as
// the square root.
constexpr double kScfConvTol = 1e-12;

// Full dotted name of this module, recorded when it executes; the builder reads the
// module-level names `np` and `Problem` through it.
std::string g_module_name = "korvel.core.hamiltonian";

nb::object this_module() { return import(g_module_name.c_str()); }

nb::object builtin(const char* name) { return import("builtins").attr(name); }

// a @ b
nb::object matmul(nb::handle a, nb::handle b) {
    return checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}

void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

bool equals(nb::handle a, const char* text) {
    int r = PyObject_RichCompareBool(a.ptr(), nb::str(text).ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object py_str(nb::handle o) { return checked(PyObject_Str(o.ptr())); }

long long floor_div2(long long x) { return x >= 0 ? x / 2 : -((-x + 1) / 2); }

// The (lo:hi, lo:hi) index of a diagonal block.
nb::object block_index(long long lo, long long hi) {
    nb::object s = nb::slice(nb::int_(lo), nb::int_(hi), nb::none());
    return nb::make_tuple(s, s);
}

// ---------------------------------------------------------------------------
// Geometry

const char* const kGeometryDoc =
    "Atom list for PySCF from a parsed $molecule mapping.\n\n"
    "An inline ``geometry`` (a list of (element, (x, y, z)) pairs, or None) is returned\n"
    "as it is and takes precedence over ``xyz_file``. Otherwise the XYZ file named by\n"
    "``xyz_file`` is read (see ``_read_xyz``): line 1 is the atom count, which the atom\n"
    "lines must match, line 2 a comment, every later line with at least four fields an\n"
    "atom ``El x y z`` (further fields are ignored); shorter lines are skipped.\n"
    "Coordinates are passed on unchanged, in file order, without unit conversion.\n\n"
    "Raises TypeError when ``molecule`` is not a dict or the inline geometry is not a\n"
    "list; ValueError when neither key is present; file-system and float-conversion\n"
    "errors propagate unchanged.";

// The XYZ reader of the package (the input parser calls it too, for its checks at
// parse time). Returns (line number, element, (x, y, z)) for every atom line.
//
// At most kXyzMaxChars characters are read: a geometry file is small, and a path such
// as /dev/zero or a huge file by mistake must not read until memory runs out.
constexpr Py_ssize_t kXyzMaxChars = Py_ssize_t(1) << 24;  // 16 Mi characters

const char* const kReadXyzDoc =
    "Atom lines of an XYZ file as (line number, element, (x, y, z)) triples.\n\n"
    "Line 1 is the number of atoms and line 2 a comment; every later line with at\n"
    "least four fields is an atom ``El x y z`` (further fields are ignored), shorter\n"
    "lines are skipped. The file must hold exactly as many atom lines as line 1 says\n"
    "and nothing after them but blank lines: a file of several frames, or one whose\n"
    "count disagrees with its atoms, is a ValueError naming the file and line. At\n"
    "most 16 Mi characters are read; a larger file, a FIFO or socket (refused without\n"
    "waiting for a writer), text that does not decode, or a coordinate that is not a\n"
    "finite number is a ValueError naming the file (and the line). File-system errors\n"
    "propagate unchanged.";

// The file opened for reading as text in the default encoding, as read_text would.
// A FIFO would block until a writer comes, for ever when none does, and a socket is
// no file: both are refused without blocking (the file is opened non-blocking and
// looked at before anything is read).
nb::object open_geometry_file(nb::handle path, const std::string& name) {
    nb::object os = import("os");
    const long flags = nb::cast<long>(os.attr("O_RDONLY")) | nb::cast<long>(os.attr("O_NONBLOCK")) |
                       nb::cast<long>(os.attr("O_CLOEXEC"));
    nb::object fd = os.attr("open")(path, flags);
    try {
        nb::object st = import("stat");
        nb::object mode = os.attr("fstat")(fd).attr("st_mode");
        if (truthy(st.attr("S_ISFIFO")(mode)) || truthy(st.attr("S_ISSOCK")(mode)))
            throw nb::value_error(("xyz file '" + name +
                                   "' is a FIFO or socket, not a file; give a geometry file "
                                   "on disk")
                                      .c_str());
        os.attr("set_blocking")(fd, true);
        return import("builtins").attr("open")(fd);
    } catch (...) {
        os.attr("close")(fd);
        throw;
    }
}

// The atom count of line 1: a non-negative integer of at most nine digits.
long long xyz_atom_count(nb::handle lines, const std::string& name) {
    std::string first = nb::len(lines) > 0 ? str_of(getitem(lines, nb::int_(0))) : std::string();
    const auto begin = first.find_first_not_of(" \t\f\v");
    const auto end = first.find_last_not_of(" \t\f\v");
    const std::string count =
        begin == std::string::npos ? std::string() : first.substr(begin, end - begin + 1);
    const bool digits = !count.empty() && count.size() <= 9 &&
                        count.find_first_not_of("0123456789") == std::string::npos;
    if (!digits)
        throw nb::value_error(("xyz file '" + name +
                               "', line 1: expected the number of atoms, got " +
                               repr_of(nb::str(count.c_str())))
                                  .c_str());
    return std::stoll(count);
}

nb::list read_xyz(nb::handle path_like) {
    nb::object path = import("pathlib").attr("Path")(path_like);
    const std::string name = str_of(path);
    nb::object text;
    {
        nb::object fh = open_geometry_file(path, name);  // default text encoding
        try {
            text = fh.attr("read")(kXyzMaxChars + 1);
        } catch (nb::python_error& e) {
            fh.attr("close")();
            if (e.matches(PyExc_UnicodeDecodeError))
                throw nb::value_error(
                    ("xyz file '" + name + "' is not a text file (" + str_of(e.value()) + ")")
                        .c_str());
            throw;
        }
        fh.attr("close")();
    }
    if (nb::len(text) > size_t(kXyzMaxChars))
        throw nb::value_error(("xyz file '" + name +
                               "' is larger than the 16 Mi characters a geometry file may "
                               "hold; is it the right file?")
                                  .c_str());
    nb::object lines = text.attr("splitlines")();
    const long long count = xyz_atom_count(lines, name);

    nb::list atoms;
    nb::object to_float = builtin("float");
    Py_ssize_t n_lines = nb::len(lines);
    for (Py_ssize_t i = 2; i < n_lines; ++i) {
        nb::object fields = getitem(lines, nb::int_(i)).attr("split")();
        const std::string where = name + ", line " + std::to_string(i + 1) + ": ";
        if (static_cast<long long>(nb::len(atoms)) == count) {
            // the atoms are all read: only blank lines may follow (a second frame would
            // otherwise be read as more atoms of the first)
            if (nb::len(fields) == 0) continue;
            throw nb::value_error((where + "text after the " +
                                   std::to_string(count) +
                                   " atoms that line 1 announces (a file of several frames?); "
                                   "korvel reads one geometry")
                                      .c_str());
        }
        if (nb::len(fields) < 4) continue;
        nb::object xyz[3];
        for (int k = 0; k < 3; ++k) {
            nb::object field = getitem(fields, nb::int_(k + 1));
            PyObject* v = PyFloat_FromString(field.ptr());
            if (!v) {
                nb::python_error err;
                if (!err.matches(PyExc_ValueError)) throw err;
                throw nb::value_error((where + "coordinate " + repr_of(field) +
                                       " is not a number: " + str_of(err.value())).c_str());
            }
            xyz[k] = nb::steal(v);
            if (!std::isfinite(PyFloat_AS_DOUBLE(v)))
                throw nb::value_error(
                    (where + "coordinate " + repr_of(field) + " is not a finite number").c_str());
        }
        atoms.append(nb::make_tuple(nb::int_(i + 1), getitem(fields, nb::int_(0)),
                                    nb::make_tuple(xyz[0], xyz[1], xyz[2])));
    }
    if (static_cast<long long>(nb::len(atoms)) != count)
        throw nb::value_error(("xyz file '" + name + "' holds " + std::to_string(nb::len(atoms)) +
                               " atom lines where its line 1 says " + std::to_string(count) +
                               " atoms")
                                  .c_str());
    return atoms;
}

nb::object geometry_for_pyscf(nb::handle molecule) {
    if (!PyDict_Check(molecule.ptr()))
        throw nb::type_error(
            ("molecule must be a dict, not " + type_name_of(molecule)).c_str());
    nb::dict mol = nb::borrow<nb::dict>(molecule);

    if (mol.contains("geometry")) {
        nb::object g = getitem(mol, "geometry");
        if (g.is_none() || PyList_Check(g.ptr())) return g;
        throw nb::type_error(
            ("the inline geometry must be a list of (element, (x, y, z)) pairs or None, "
             "not " + type_name_of(g)).c_str());
    }

    if (!mol.contains("xyz_file"))
        throw nb::value_error("$molecule has neither inline geometry nor an xyz_file");

    // Path() accepts a string or a path-like object and nothing else (no file
    // descriptors); the file is read in the platform's default encoding and a relative
    // path resolves against the current working directory.
    nb::list atoms;
    for (nb::handle atom : read_xyz(getitem(mol, "xyz_file"))) {
        nb::tuple t = nb::borrow<nb::tuple>(atom);
        atoms.append(nb::make_tuple(t[1], t[2]));
    }
    return atoms;
}

// ---------------------------------------------------------------------------
// Problem builder

const char* const kBuildDoc =
    "Build the electronic-structure problem of one calculation.\n\n"
    "``calc`` has a ``molecule`` mapping (see ``_geometry_for_pyscf``) and a ``rem``\n"
    "keyword mapping with ``basis``, ``charge``, ``multiplicity``, ``reference``\n"
    "(\"rhf\", \"rohf\" or \"uhf\"), ``active_space`` (\"full\", \"avas\" or \"manual\"),\n"
    "``orbital_opt`` and, as the active space needs them, ``avas_aos`` and\n"
    "``avas_threshold`` or ``n_act`` and ``n_act_elec``.\n\n"
    "Pipeline: SCF; active space (full space, PySCF's AVAS projection, or the canonical\n"
    "orbitals cut into core / active / virtual); with ``orbital_opt`` and a non-full\n"
    "space, CASSCF from those orbitals; block semicanonicalisation, i.e. the Fock matrix\n"
    "F = h + J - K/2 of the reference occupation (2 on the lowest n_beta orbitals, 1 on\n"
    "the open shells up to n_alpha) diagonalised separately inside the core, active and\n"
    "virtual blocks, each also cut at n_beta and n_alpha for an open shell (orbitals never\n"
    "mix across blocks); integrals in those orbitals; and the normal-ordered FermionOperator\n"
    "H = E_nuc + sum h_pq a+_p a_q + 1/2 sum (ps|qr) a+_p a+_q a_r a_s on 2 n_orb\n"
    "spin-orbitals (2p spin up, 2p+1 spin down).\n\n"
    "Unrestricted reference: a UHF calculation has separate alpha and beta orbitals,\n"
    "while the integrals need one orbital set. The working orbitals are then the UHF\n"
    "natural orbitals, the eigenvectors of the spin-summed one-particle density matrix\n"
    "(orthonormal in the AO metric), ordered by decreasing occupation and, inside each\n"
    "block of the reference occupation (doubly, singly, un-occupied), by the energy of\n"
    "the spin-averaged UHF Fock matrix, so that the core of a manual cut is the lowest\n"
    "doubly occupied orbitals whatever the degeneracy of the occupations; the manual cut\n"
    "and the full space use them. AVAS projects PySCF's UHF alpha orbitals, as PySCF does.\n"
    "e_ref stays the UHF energy, or the CASSCF energy after orbital optimisation;\n"
    "the reference determinant is then not the UHF determinant.\n\n"
    "The reference determinant ``occupied`` holds spin-orbitals 2p for p < n_alpha and\n"
    "2p + 1 for p < n_beta (n_alpha - n_beta = 2S); its energy is the RHF or ROHF energy.\n"
    "The open shells must lie in the active space.\n\n"
    "CASSCF of a manual cut on a closed-shell RHF reference starts from the MP2 natural\n"
    "orbitals (the active ones are those of the cut in order of decreasing occupation);\n"
    "AVAS and open-shell references start from the orbitals of the active-space step.\n\n"
    "Integrals from another program: a ``molecule`` mapping with ``fcidump`` (a path)\n"
    "builds the problem from that FCIDUMP file (``korvel.io.read_fcidump``) instead of a\n"
    "molecule: the orbitals as the file gives them (no SCF), its NELEC electrons, 2S from\n"
    "``multiplicity``, the core energy as the constant, the RHF or ROHF determinant of the\n"
    "occupation as reference and its energy <Phi|H|Phi> as ``e_ref``; occupied and virtual\n"
    "orbitals are never mixed by the semicanonicalisation, and a block already\n"
    "semicanonical keeps the file's orbitals. AVAS, CASSCF and a UHF reference are\n"
    "refused (ValueError with ``keyword``); ``extras['fcidump']`` names the file.\n\n"
    "Along a scan, ``calc`` may carry ``scf_start`` (a density matrix: the SCF starts from\n"
    "it instead of PySCF's guess) and ``active_follow`` (AO x k: earlier active orbitals\n"
    "as overlaps with this geometry's atomic orbitals): a manual cut then makes active\n"
    "the doubly occupied and the empty orbitals that overlap them most, never changing an\n"
    "orbital's occupation. ``extras['scf_converged']`` is set (False) only when the SCF\n"
    "stopped unconverged.\n\n"
    "A basis set made for effective core potentials (def2 beyond krypton, LANL2DZ, ...)\n"
    "is used with its own ECP (see ``_molecule``); ``extras['ecp']`` then names them.\n\n"
    "Returns a Problem whose ``extras`` hold ``mo_coeff`` (AO x MO), ``h1``, ``eri``\n"
    "(chemists' order (pq|rs)), ``e_nuc``, ``eps`` (semicanonical orbital energies) and\n"
    "``e_scf`` (the mean-field energy, from which correlation energies are measured),\n"
    "and after CASSCF ``casscf``: {\"converged\": bool, \"start\": the starting orbitals}.\n\n"
    "Raises ValueError for an unknown ``active_space``, an AVAS space without\n"
    "``avas_aos``, an ``avas_threshold`` outside (0, 1) or one that selects no orbital,\n"
    "or a manual space that does not fit the molecule or cannot carry its spin (the\n"
    "error's ``keyword`` attribute names the keyword at fault); a missing keyword\n"
    "or an unknown reference raises the mapping's KeyError; PySCF and OpenFermion errors\n"
    "propagate unchanged.";

// UHF natural orbitals: eigenvectors of the spin-summed density, expressed in the
// alpha MOs (orthonormal in the AO metric and spanning the orbital space), so that
// C^T S C = 1 holds for the result; ordered by decreasing occupation.
//
// The occupations of the doubly occupied orbitals all lie near 2 (exactly 2, to rounding,
// where UHF equals RHF) and those of the empty ones near 0, so the order inside each of
// those groups, and with it which orbitals a manual cut makes core, would be set by
// rounding noise. Each block of the reference occupation (the n_beta most occupied, the
// next n_alpha - n_beta, the rest) is therefore rotated to diagonalise the spin-averaged
// UHF Fock matrix inside it, in ascending orbital energy: the core is then the lowest
// orbitals of the doubly occupied block, the same ones on every run.
nb::object uhf_natural_orbitals(nb::handle mf, nb::handle np, long long n_alpha,
                                long long n_beta) {
    nb::object dm = mf.attr("make_rdm1")();
    nb::object dm_total = getitem(dm, nb::int_(0)) + getitem(dm, nb::int_(1));
    nb::object s = mf.attr("get_ovlp")();
    nb::object c_alpha = getitem(mf.attr("mo_coeff"), nb::int_(0));
    nb::object sc = matmul(s, c_alpha);
    nb::object p = matmul(matmul(sc.attr("T"), dm_total), sc);
    nb::object eig = np.attr("linalg").attr("eigh")(p);
    nb::object vectors = getitem(eig, nb::int_(1));
    nb::object reversed_columns =
        nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                       nb::slice(nb::none(), nb::none(), nb::int_(-1)));
    nb::object c = matmul(c_alpha, getitem(vectors, reversed_columns)).attr("copy")();

    nb::object fock = mf.attr("get_fock")();
    nb::object f_ao = nb::float_(0.5) * (getitem(fock, nb::int_(0)) + getitem(fock, nb::int_(1)));
    nb::object f_mo = matmul(matmul(c.attr("T"), f_ao), c);
    const long long n = as_int(getitem(c.attr("shape"), nb::int_(1)), "n_orb");
    const long long cuts[] = {0, std::min(n_beta, n), std::min(n_alpha, n), n};
    nb::object all_rows = nb::slice(nb::none(), nb::none(), nb::none());
    for (int k = 0; k < 3; ++k) {
        const long long lo = cuts[k], hi = cuts[k + 1];
        if (hi - lo < 2) continue;
        nb::object cols = nb::slice(nb::int_(lo), nb::int_(hi), nb::none());
        nb::object rot = getitem(np.attr("linalg").attr("eigh")(getitem(f_mo, block_index(lo, hi))),
                                 nb::int_(1));
        nb::object idx = nb::make_tuple(all_rows, cols);
        setitem(c, idx, matmul(getitem(c, idx), rot));
    }
    return c;
}

// AVAS projects the orbitals onto the atomic orbitals its labels select in the minimal basis
// (MINAO). A label that selects none would be left out without a word, and with none
// selected AVAS returns an empty active space or stops on an assertion: refuse such a
// label, naming the shells the molecule has. A molecule the minimal basis cannot describe
// is left to AVAS to report.
void check_avas_labels(nb::handle mol, nb::handle aos) {
    nb::object minimal = mol.attr("copy")();
    minimal.attr("basis") = "minao";
    try {
        minimal.attr("build")(false, false);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_Exception)) return;
        throw;
    }
    nb::list labels;
    if (PyUnicode_Check(aos.ptr())) labels.append(aos);
    else
        for (nb::handle label : aos) labels.append(label);
    for (nb::handle label : labels) {
        nb::list one;
        one.append(label);
        if (PyObject_Length(minimal.attr("search_ao_label")(one).ptr()) != 0) continue;
        std::vector<std::string> shells;
        for (nb::handle ao : minimal.attr("ao_labels")()) {
            nb::list parts = nb::cast<nb::list>(ao.attr("split")());
            if (parts.size() < 3) continue;
            const std::string name = nb::cast<std::string>(parts[2]);
            const std::string shell = nb::cast<std::string>(parts[1]) + " " + name.substr(0, 2);
            if (std::find(shells.begin(), shells.end(), shell) == shells.end()) shells.push_back(shell);
        }
        std::string listed;
        for (const std::string& sh : shells) listed += (listed.empty() ? "" : ", ") + sh;
        throw nb::value_error(("avas_aos label " + repr_of(label) +
                               " matches no atomic orbital of the minimal basis (MINAO) that AVAS "
                               "projects onto; this molecule has " + listed)
                                  .c_str());
    }
}

// A manual partition that does not fit the molecule would give negative block sizes
// and a record whose invariants do not hold; refuse it with the values involved.
//
// With spin_2s >= 0 (the input parser asks for it) the active electrons must also be
// able to carry the spin: the core is closed-shell, so all 2S unpaired electrons are
// active, n_act_elec - 2S is even, and 2S does not exceed the active electrons or the
// active holes.
void check_partition(long long n_core, long long n_act, long long n_act_elec,
                     long long n_elec, long long n_orb, long long spin_2s = -1) {
    auto s = [](long long v) { return std::to_string(v); };
    if (n_act < 0) throw nb::value_error(("n_act must be non-negative, got " + s(n_act)).c_str());
    if (n_act_elec < 0 || n_act_elec > n_elec)
        throw nb::value_error(("n_act_elec must lie between 0 and the " + s(n_elec) +
                               " electrons of the molecule, got " + s(n_act_elec))
                                  .c_str());
    // Sums and doubles below in 128 bits: the arguments may be any 64-bit integers.
    using wide = __int128;
    if (wide(n_act_elec) > 2 * wide(n_act))
        throw nb::value_error(("n_act_elec=" + s(n_act_elec) + " electrons do not fit into n_act=" +
                               s(n_act) + " active orbitals (at most " + s(2 * n_act) + ")")
                                  .c_str());
    if (n_core < 0 || wide(n_core) + n_act > n_orb)
        throw nb::value_error(("the active space (" + s(n_core) + " core + " + s(n_act) +
                               " active orbitals) exceeds the " + s(n_orb) +
                               " orbitals of the basis")
                                  .c_str());
    if (spin_2s < 0) return;
    if ((n_act_elec - spin_2s) % 2 != 0)
        throw nb::value_error(("n_act_elec=" + s(n_act_elec) + " and multiplicity " +
                               s(spin_2s + 1) + " do not match: with a closed-shell core the " +
                               "active electrons and 2S=" + s(spin_2s) +
                               " must be both even or both odd")
                                  .c_str());
    if (spin_2s > n_act_elec || wide(spin_2s) > 2 * wide(n_act) - n_act_elec)
        throw nb::value_error(("multiplicity " + s(spin_2s + 1) + " needs " + s(spin_2s) +
                               " unpaired electrons in the active space, which n_act=" +
                               s(n_act) + " orbitals with n_act_elec=" + s(n_act_elec) +
                               " electrons cannot hold")
                                  .c_str());
}

// ---------------------------------------------------------------------------
// Size of the problem before it is built

// The builder holds the spatial two-electron integrals as full n_orb^4 arrays of doubles
// (PySCF's transformed integrals, the Fock build and the final set: about 24 bytes per
// n_orb^4), then the Hamiltonian as a FermionOperator. Without point-group symmetry every
// normal-ordered two-body term a+_P a+_Q a_R a_S whose creators and annihilators carry the
// same spins is present: 2 C(n,2)^2 same-spin and n^4 mixed-spin ones, besides the 2 n^2
// one-body terms and the constant; symmetry makes it fewer (water: 0.39 n^4, C2v). Each
// term costs some 150 bytes held as a Python key tuple, float and dictionary slot, and up
// to 210 bytes at the peak of the build (measured on water: cc-pVDZ, aug-cc-pVDZ,
// cc-pVTZ); kBytesPerTerm keeps a margin.
constexpr double kBytesPerOrbital4 = 24.0;
constexpr double kBytesPerTerm = 240.0;
constexpr double kLibraryBytes = 512.0 * 1024 * 1024;

const char* const kSizeDoc =
    "Estimated size of the full-space problem on ``n_orb`` spatial orbitals: a dict with\n"
    "``n_orb``, ``n_spinorb``, ``hamiltonian_terms`` (the most there can be, about\n"
    "3/2 n_orb^4; point-group symmetry makes it fewer), ``memory_bytes`` (peak memory of\n"
    "the build, for that many terms) and ``memory_limit_bytes`` (this machine's memory).\n"
    "With ``check`` true, a problem that cannot fit raises MemoryError naming the sizes.";

nb::dict problem_size(long long n_orb, bool check) {
    if (n_orb < 0)
        throw nb::value_error(("n_orb must be non-negative, got " + std::to_string(n_orb)).c_str());
    const double n = double(n_orb), n4 = n * n * n * n, pairs = n * (n - 1) / 2;
    const double terms = 2.0 * pairs * pairs + n4 + 2.0 * n * n + 1.0;
    const double bytes = kBytesPerOrbital4 * n4 + kBytesPerTerm * terms + kLibraryBytes;
    const std::uint64_t limit = korvel::engine::memory_budget_bytes();
    nb::dict out;
    out["n_orb"] = n_orb;
    out["n_spinorb"] = nb::int_(2) * nb::int_(n_orb);
    out["hamiltonian_terms"] = nb::int_(nb::float_(terms));
    out["memory_bytes"] = nb::int_(nb::float_(bytes));
    out["memory_limit_bytes"] = nb::int_(limit);
    if (check && bytes > double(limit)) {
        auto gib = [](double b) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.3g GiB", b / (1024.0 * 1024.0 * 1024.0));
            return std::string(buf);
        };
        char nterms[64];
        std::snprintf(nterms, sizeof nterms, "%.2g", terms);
        PyErr_SetString(PyExc_MemoryError,
                        ("the Hamiltonian on " + std::to_string(n_orb) + " orbitals (" +
                         std::to_string(2 * n_orb) + " spin-orbitals, about " + nterms +
                         " terms) needs about " + gib(bytes) + " of memory to build, more "
                         "than the " + gib(double(limit)) + " this machine has; use a "
                         "smaller basis or fewer atoms")
                            .c_str());
        throw nb::python_error();
    }
    return out;
}

// A ValueError about the value of one $rem keyword, carrying the keyword's name in its
// attribute ``keyword`` so that the driver can point at the line of the input file.
[[noreturn]] void keyword_error(const char* keyword, const std::string& message) {
    nb::object err = nb::handle(PyExc_ValueError)(nb::str(message.c_str()));
    err.attr("keyword") = keyword;
    PyErr_SetObject(PyExc_ValueError, err.ptr());
    throw nb::python_error();
}

// The basis set named for an element: the basis itself when it is a name, the entry
// for the atom's label or its element when it is a mapping; None otherwise.
nb::object basis_name_for(nb::handle basis, nb::handle label, nb::handle symbol) {
    if (PyUnicode_Check(basis.ptr())) return nb::borrow(basis);
    if (!PyDict_Check(basis.ptr())) return nb::none();
    for (nb::handle key : {label, symbol}) {
        PyObject* v = PyDict_GetItemWithError(basis.ptr(), key.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        if (v && PyUnicode_Check(v)) return nb::borrow(v);
    }
    return nb::none();
}

const char* const kMoleculeDoc =
    "The PySCF molecule of a job: ``gto.M`` with the atoms, basis, charge and 2S, and\n"
    "with the effective core potential of the basis set itself for every element the\n"
    "basis set is made for with one (def2 basis sets beyond krypton, LANL2DZ, ...): such\n"
    "a basis set describes the valence electrons only, and all-electron it would give a\n"
    "meaningless energy. The ECPs used are in the molecule's ``ecp`` mapping (element ->\n"
    "name), empty when none is.";

nb::object molecule_of(nb::handle atoms, nb::handle basis, nb::handle charge, nb::handle spin) {
    nb::object gto = import("pyscf.gto");
    nb::object mol = gto.attr("M")("atom"_a = atoms, "basis"_a = basis, "charge"_a = charge,
                                   "spin"_a = spin, "verbose"_a = 0);
    nb::dict ecp;
    nb::object load_ecp = gto.attr("basis").attr("load_ecp");
    const long long n_atoms = as_int(mol.attr("natm"), "natm");
    for (long long i = 0; i < n_atoms; ++i) {
        if (as_int(mol.attr("atom_charge")(i), "atom charge") == 0) continue;  // a ghost
        nb::object symbol = mol.attr("atom_pure_symbol")(i);
        if (ecp.contains(symbol)) continue;
        nb::object name = basis_name_for(basis, mol.attr("atom_symbol")(i), symbol);
        if (name.is_none()) continue;
        nb::object found;
        try {
            found = load_ecp(name, symbol);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            continue;  // a basis name PySCF keeps no ECP library for
        }
        if (truthy(found)) ecp[symbol] = name;
    }
    if (nb::len(ecp) == 0) return mol;
    return gto.attr("M")("atom"_a = atoms, "basis"_a = basis, "ecp"_a = ecp,
                         "charge"_a = charge, "spin"_a = spin, "verbose"_a = 0);
}

// The open shells of the reference (orbitals n_beta .. n_alpha - 1) must be active: a
// core orbital is folded as doubly occupied and a virtual one as empty.
void check_open_shells_active(long long n_core, long long n_act, long long n_alpha,
                              long long n_beta) {
    if (n_alpha == n_beta) return;
    if (n_core > n_beta || n_core + n_act < n_alpha)
        throw nb::value_error(
            ("the open-shell orbitals " + std::to_string(n_beta) + ".." +
             std::to_string(n_alpha - 1) + " of the reference must lie in the active space (" +
             std::to_string(n_core) + " core + " + std::to_string(n_act) +
             " active orbitals); raise n_act_elec or n_act")
                .c_str());
}

// Spin-orbitals of the reference determinant: 2p for p < n_alpha (spin up) and 2p + 1
// for p < n_beta (spin down).
nb::object reference_occupation(long long n_alpha, long long n_beta) {
    nb::set occ;
    for (long long p = 0; p < n_alpha; ++p) occ.add(nb::int_(2 * p));
    for (long long p = 0; p < n_beta; ++p) occ.add(nb::int_(2 * p + 1));
    return std::move(occ);
}

// Orbital columns ordered by decreasing occupation (stable), so that the doubly, the
// singly and the unoccupied orbitals follow one another; a mean field whose occupations
// already run that way is returned as it is.
nb::object by_occupation(nb::handle mo, nb::handle mo_occ, nb::handle np) {
    nb::object occ = np.attr("asarray")(mo_occ, "dtype"_a = builtin("float"));
    nb::object order = np.attr("argsort")(checked(PyNumber_Negative(occ.ptr())), "kind"_a = "stable");
    nb::object sorted_order = np.attr("arange")(nb::len(order));
    if (truthy(np.attr("array_equal")(order, sorted_order))) return nb::borrow(mo);
    return getitem(mo, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), order));
}

long long n_columns(nb::handle mo) {
    return as_int(getitem(mo.attr("shape"), nb::int_(1)), "n_orb");
}

// Largest coordinate (Angstrom) of a geometry: far beyond any molecule, and small enough
// that PySCF's integrals stay finite (H2 with an atom at 1e300 Angstrom gave -0.16 Eh).
constexpr double kMaxCoordinate = 1e5;

// NaN, infinite or far-off coordinates of an inline geometry would reach PySCF and come
// back as a NaN or meaningless energy; refuse them with the atom. Entries that are not
// (label, (x, y, z)) with real numbers are left to PySCF, which knows its other formats.
void require_plausible_coordinates(nb::handle atoms) {
    if (!PyList_Check(atoms.ptr())) return;
    nb::list list = nb::borrow<nb::list>(atoms);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object atom = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        if (!PyTuple_Check(atom.ptr()) || PyTuple_GET_SIZE(atom.ptr()) != 2) continue;
        nb::object xyz = nb::borrow(PyTuple_GET_ITEM(atom.ptr(), 1));
        if (!PyTuple_Check(xyz.ptr()) && !PyList_Check(xyz.ptr())) continue;
        nb::object coords = checked(PySequence_Tuple(xyz.ptr()));
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(coords.ptr()); ++k) {
            PyObject* c = PyTuple_GET_ITEM(coords.ptr(), k);
            if (!PyFloat_Check(c) && !PyLong_Check(c)) continue;
            double v = PyFloat_AsDouble(c);
            if (v == -1.0 && PyErr_Occurred()) {  // an int beyond a double
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
                PyErr_Clear();
                v = HUGE_VAL;
            }
            const std::string which =
                "atom " + std::to_string(i + 1) + " of the geometry, " + repr_of(atom);
            if (!std::isfinite(v) && PyFloat_Check(c))
                throw nb::value_error((which + ", has a coordinate that is not finite").c_str());
            if (!(std::fabs(v) <= kMaxCoordinate))
                throw nb::value_error((which + ", has a coordinate beyond 1e5 Angstrom; "
                                               "expected the coordinates of a molecule")
                                          .c_str());
        }
    }
}

// Where the orbitals of a problem start: a PySCF mean field of a molecule, or the
// integrals of an FCIDUMP file in the orbitals the file gives.
struct Start {
    nb::object mol, mf;      // None for integrals from a file
    nb::object hcore;        // one-electron integrals in the starting basis
    nb::object eri_source;   // what ao2mo.kernel transforms: the molecule, or the file's
                             // two-electron integrals (8-fold packed)
    nb::object mo;           // starting orbitals, ordered by occupation
    nb::object e_nuc;        // constant of the Hamiltonian (float)
    nb::object e_mf;         // energy of the reference determinant in those orbitals
    nb::object fcidump;      // path of the file, None for a molecule
    long long n_elec = 0, two_s = 0, n_alpha = 0, n_beta = 0, n_basis = 0;
    bool unrestricted = false, rohf = false, converged = true;
};

// The manual cut that follows given orbitals: ``follow`` (AO x k) holds the previous
// geometry's active orbitals as overlaps with this geometry's atomic orbitals, so that
// mo[:, p]^T follow is the overlap of orbital p with each of them. Within the doubly
// occupied and within the empty orbitals, the ones that overlap them most become the
// active ones (the open shells are active anyway); the others keep their order as core
// and virtual. Orbitals never change occupation, so the reference determinant is the
// same; when the canonical cut already holds the followed orbitals nothing moves.
nb::object follow_active(nb::handle np, nb::handle mo, nb::handle follow, long long n_core,
                         long long n_act, long long n_alpha, long long n_beta) {
    const long long n = n_columns(mo);
    const long long k_doubly = n_beta - n_core, k_empty = n_core + n_act - n_alpha;
    if (k_doubly < 0 || k_empty < 0 || n_alpha > n) return nb::borrow(mo);
    nb::object overlap = matmul(mo.attr("T"), follow);
    nb::object weight = np.attr("sum")(overlap * overlap, "axis"_a = 1);
    std::vector<double> w(static_cast<std::size_t>(n));
    for (long long p = 0; p < n; ++p)
        w[p] = nb::cast<double>(builtin("float")(getitem(weight, nb::int_(p))));
    // the k orbitals of [lo, hi) with the largest weight, in their original order
    auto pick = [&](long long lo, long long hi, long long k) {
        std::vector<long long> idx;
        for (long long p = lo; p < hi; ++p) idx.push_back(p);
        std::stable_sort(idx.begin(), idx.end(), [&](long long a, long long b) { return w[a] > w[b]; });
        idx.resize(static_cast<std::size_t>(k));
        std::sort(idx.begin(), idx.end());
        return idx;
    };
    const std::vector<long long> act_occ = pick(0, n_beta, k_doubly);
    const std::vector<long long> act_vir = pick(n_alpha, n, k_empty);
    auto in = [](const std::vector<long long>& v, long long p) {
        return std::find(v.begin(), v.end(), p) != v.end();
    };
    nb::list order;
    for (long long p = 0; p < n_beta; ++p)
        if (!in(act_occ, p)) order.append(nb::int_(p));
    for (long long p : act_occ) order.append(nb::int_(p));
    for (long long p = n_beta; p < n_alpha; ++p) order.append(nb::int_(p));
    for (long long p : act_vir) order.append(nb::int_(p));
    for (long long p = n_alpha; p < n; ++p)
        if (!in(act_vir, p)) order.append(nb::int_(p));
    return getitem(mo, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                      np.attr("asarray")(order)));
}

// <Phi|H|Phi> of the determinant with alpha electrons in orbitals 0..n_alpha-1 and beta
// electrons in 0..n_beta-1, from integrals h1 and eri (chemists' order) in those orbitals:
// E = E0 + sum_p n_p h_pp + 1/2 sum_pq [n_p n_q (pp|qq) - (na_p na_q + nb_p nb_q) (pq|qp)].
nb::object determinant_energy(nb::handle np, nb::handle h1, nb::handle eri, nb::handle e0,
                              long long n, long long n_alpha, long long n_beta) {
    nb::object na = np.attr("zeros")(n), nbeta = np.attr("zeros")(n);
    setitem(na, nb::slice(nb::int_(0), nb::int_(n_alpha), nb::none()), nb::float_(1.0));
    setitem(nbeta, nb::slice(nb::int_(0), nb::int_(n_beta), nb::none()), nb::float_(1.0));
    nb::object total = na + nbeta;
    nb::object coulomb = np.attr("einsum")("ppqq->pq", eri);
    nb::object exchange = np.attr("einsum")("pqqp->pq", eri);
    nb::object one = np.attr("dot")(np.attr("diagonal")(h1), total);
    nb::object two = matmul(matmul(total, coulomb), total) -
                     matmul(matmul(na, exchange), na) - matmul(matmul(nbeta, exchange), nbeta);
    return builtin("float")(nb::borrow(e0) + one + nb::float_(0.5) * two);
}

// The start of a molecule: PySCF molecule and mean field.
Start molecule_start(nb::handle calc, nb::handle rem, nb::handle scf, nb::handle np) {
    Start st;
    nb::object atoms = geometry_for_pyscf(calc.attr("molecule"));
    require_plausible_coordinates(atoms);
    nb::object basis = getitem(rem, "basis");
    nb::object charge = getitem(rem, "charge");
    nb::int_ multiplicity = int_object(getitem(rem, "multiplicity"), "multiplicity");
    nb::object spin = multiplicity - nb::int_(1);
    st.mol = molecule_of(atoms, basis, charge, spin);
    st.n_basis = as_int(st.mol.attr("nao_nr")(), "n_orb");
    // Refuse, before the SCF, a Hamiltonian that cannot fit in memory.
    problem_size(st.n_basis, true);

    nb::dict flavours;
    flavours["rhf"] = scf.attr("RHF");
    flavours["rohf"] = scf.attr("ROHF");
    flavours["uhf"] = scf.attr("UHF");
    // Converged well past PySCF's default (1e-9 Eh, an orbital gradient of about 3e-5):
    // the block semicanonicalisation of an active space that holds occupied and virtual
    // orbitals mixes them by the gradient left over, which moves the reference
    // determinant and with it the coupled-cluster energy of the problem (6e-8 Eh for H4
    // at 1.5 A with a (2,2) active space at the default).
    st.mf = getitem(flavours, getitem(rem, "reference"))(st.mol);
    st.mf.attr("conv_tol") = kScfConvTol;
    // A scan starts each geometry's SCF from the density of the one before
    // (``calc.scf_start``), so that the curve stays on one mean-field solution.
    nb::object dm0 = nb::getattr(calc, "scf_start", nb::none());
    if (dm0.is_none()) st.mf.attr("run")();
    else st.mf.attr("kernel")(dm0);
    st.converged = truthy(st.mf.attr("converged"));
    st.unrestricted = nb::isinstance(st.mf, scf.attr("uhf").attr("UHF"));
    st.rohf = nb::isinstance(st.mf, scf.attr("rohf").attr("ROHF"));

    st.n_elec = as_int(st.mol.attr("nelectron"), "n_elec");
    // Reference determinant: alpha electrons in the lowest n_alpha orbitals, beta
    // electrons in the lowest n_beta (PySCF has checked the parity of n_elec and 2S).
    st.two_s = as_int(st.mol.attr("spin"), "spin");
    st.n_alpha = (st.n_elec + st.two_s) / 2;
    st.n_beta = (st.n_elec - st.two_s) / 2;
    st.mo = st.unrestricted ? uhf_natural_orbitals(st.mf, np, st.n_alpha, st.n_beta)
                            : by_occupation(st.mf.attr("mo_coeff"), st.mf.attr("mo_occ"), np);
    st.hcore = st.mf.attr("get_hcore")();
    st.eri_source = st.mol;
    st.e_nuc = builtin("float")(st.mol.attr("energy_nuc")());
    st.e_mf = builtin("float")(st.mf.attr("e_tot"));
    st.fcidump = nb::none();
    return st;
}

// The start of integrals read from an FCIDUMP file: the orbitals as the file gives
// them (no SCF), the electron count of its header, 2S from the multiplicity keyword,
// the core energy as the constant; the reference determinant is the RHF or ROHF one
// by occupation (doubly occupied first, then the open shells) and its energy is
// <Phi|H|Phi> in those orbitals.
Start fcidump_start(nb::handle molecule, nb::handle rem, nb::handle np) {
    Start st;
    nb::object path = getitem(molecule, "fcidump");
    std::string package = g_module_name.substr(0, g_module_name.find('.'));
    nb::object data = import((package + ".io").c_str()).attr("read_fcidump")(path);
    const long long n = as_int(getitem(data, "norb"), "norb");
    st.n_basis = n;
    problem_size(n, true);
    st.n_elec = as_int(getitem(data, "nelec"), "nelec");
    nb::object reference = getitem(rem, "reference");
    if (!equals(reference, "rhf") && !equals(reference, "rohf"))
        keyword_error("reference",
                      "reference " + repr_of(reference) + " is not available for integrals "
                      "from an FCIDUMP file: the file holds one set of orbitals, and the "
                      "reference is the RHF or ROHF determinant of its occupation");
    nb::int_ multiplicity = int_object(getitem(rem, "multiplicity"), "multiplicity");
    st.two_s = as_int(multiplicity - nb::int_(1), "spin_2s");
    if (st.two_s < 0 || (st.n_elec - st.two_s) % 2 != 0 || st.two_s > st.n_elec ||
        st.two_s > 2 * n - st.n_elec)
        keyword_error("multiplicity", "multiplicity " + std::to_string(st.two_s + 1) +
                                          " is impossible with the " +
                                          std::to_string(st.n_elec) + " electrons in " +
                                          std::to_string(n) + " orbitals of the FCIDUMP file");
    st.n_alpha = (st.n_elec + st.two_s) / 2;
    st.n_beta = (st.n_elec - st.two_s) / 2;
    st.rohf = st.two_s != 0;
    st.mo = np.attr("eye")(n);
    st.hcore = getitem(data, "h1");
    nb::object eri = getitem(data, "eri");
    st.eri_source = import("pyscf.ao2mo").attr("restore")(8, eri, n);
    st.e_nuc = builtin("float")(getitem(data, "ecore"));
    st.e_mf = determinant_energy(np, st.hcore, eri, st.e_nuc, n, st.n_alpha, st.n_beta);
    st.fcidump = getitem(data, "path");
    st.mol = nb::none();
    st.mf = nb::none();
    return st;
}

// ---------------------------------------------------------------------------
// The second-quantised Hamiltonian from the integrals

using RealArray = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

// A float64 C-ordered array of `what` with `ndim` axes of length n each (n taken from the
// first axis when n < 0), as the engine reads it.
RealArray integral_array(nb::handle np, nb::handle a, std::size_t ndim, long long& n,
                         const char* what) {
    // the integrals of real orbitals are real: a complex array would lose its imaginary part
    if (truthy(np.attr("iscomplexobj")(a)))
        throw nb::value_error((std::string(what) + " must be real, got a complex array").c_str());
    nb::object c = np.attr("ascontiguousarray")(a, "dtype"_a = np.attr("float64"));
    RealArray arr = nb::cast<RealArray>(c);
    bool ok = arr.ndim() == ndim;
    for (std::size_t k = 0; ok && k < ndim; ++k) {
        if (n < 0) n = static_cast<long long>(arr.shape(0));
        ok = static_cast<long long>(arr.shape(k)) == n;
    }
    if (!ok)
        throw nb::value_error((std::string(what) + " must be a square array with " +
                               std::to_string(ndim) + " axes of the same length, got shape " +
                               str_of(c.attr("shape")))
                                  .c_str());
    return arr;
}

// The terms as an OpenFermion FermionOperator: the keys are built from one cached
// (mode, action) pair per spin-orbital and action, and the dictionary filled in the
// terms' order, which is that of OpenFermion's own route.
nb::object operator_of_terms(const std::vector<korvel::engine::IntegralTerm>& terms,
                             long long n_spinorb) {
    nb::object op = import("openfermion").attr("FermionOperator")();
    std::vector<nb::object> factor[2];
    for (int action = 0; action < 2; ++action) {
        factor[action].reserve(static_cast<std::size_t>(n_spinorb));
        for (long long p = 0; p < n_spinorb; ++p)
            factor[action].push_back(nb::make_tuple(nb::int_(p), nb::int_(action)));
    }
    nb::dict out;
    for (const auto& t : terms) {
        const int k = t.n_ops;
        nb::object key = checked(PyTuple_New(k));
        for (int i = 0; i < k; ++i) {
            const int mode = t.modes[i];
            if (mode >= n_spinorb) throw std::logic_error("integral term beyond the spin-orbitals");
            PyObject* f = factor[i < k / 2 ? 1 : 0][static_cast<std::size_t>(mode)].ptr();
            Py_INCREF(f);
            PyTuple_SET_ITEM(key.ptr(), i, f);
        }
        nb::object value = checked(PyFloat_FromDouble(t.value));
        if (PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
    }
    op.attr("terms") = out;
    return op;
}

const char* const kTermsDoc =
    "The normal-ordered Hamiltonian E0 + sum h_pq a+_p a_q + 1/2 sum (ps|qr) a+_p a+_q a_r a_s\n"
    "on 2 n spin-orbitals (2p spin up, 2p+1 spin down) as an OpenFermion FermionOperator,\n"
    "from ``h1`` (n x n) and ``eri`` (n^4, chemists' order (pq|rs)) over n spatial orbitals.\n\n"
    "The terms, their coefficients and their order are those of OpenFermion's\n"
    "InteractionOperator(E0, h, g/2) -> get_fermion_operator -> normal_ordered (keys with\n"
    "the creators first, each group in descending index; coefficients below 1e-8 dropped\n"
    "as there, partial sums included). ``plain`` selects the literal term-by-term route\n"
    "(slow; for checks). ValueError for arrays of the wrong shape or beyond 65535\n"
    "spin-orbitals, MemoryError when the terms cannot fit.";

nb::object hamiltonian_from_integrals(nb::handle h1, nb::handle eri, double constant, bool plain) {
    nb::object np = import("numpy");
    long long n = -1;
    RealArray one = integral_array(np, h1, 2, n, "h1");
    RealArray two = integral_array(np, eri, 4, n, "eri");
    if (2 * n > korvel::engine::kMaxIntegralSpinOrbitals)
        throw nb::value_error(("the Hamiltonian on " + std::to_string(n) +
                               " orbitals has more spin-orbitals than the " +
                               std::to_string(korvel::engine::kMaxIntegralSpinOrbitals) +
                               " its terms can index")
                                  .c_str());
    korvel::engine::SpatialIntegrals in;
    in.n_orb = static_cast<int>(n);
    in.constant = constant;
    in.h1 = one.data();
    in.eri = two.data();
    std::vector<korvel::engine::IntegralTerm> terms;
    {
        nb::gil_scoped_release release;
        terms = plain ? korvel::engine::hamiltonian_terms_plain(in)
                      : korvel::engine::hamiltonian_terms(in);
    }
    return operator_of_terms(terms, 2 * n);
}

bool has_key(nb::handle mapping, const char* key) {
    if (!PyDict_Check(mapping.ptr())) return false;
    return nb::borrow<nb::dict>(mapping).contains(key);
}

nb::object build_problem(nb::handle calc) {
    import("pyscf.gto");
    nb::object scf = import("pyscf.scf");
    nb::object mcscf = import("pyscf.mcscf");
    nb::object ao2mo = import("pyscf.ao2mo");
    import("pyscf.cc");
    import("pyscf.mp");
    nb::object avas = import("pyscf.mcscf.avas");
    nb::object self = this_module();
    nb::object np = self.attr("np");

    // 1-3. Molecule and mean field, or the integrals of a file.
    nb::object rem = calc.attr("rem");
    nb::object molecule = calc.attr("molecule");
    const bool from_file = has_key(molecule, "fcidump");
    Start st = from_file ? fcidump_start(molecule, rem, np) : molecule_start(calc, rem, scf, np);
    nb::object mol = st.mol, mf = st.mf, mo_scf = st.mo;
    const bool unrestricted = st.unrestricted;
    const long long n_elec = st.n_elec, two_s = st.two_s, n_alpha = st.n_alpha,
                    n_beta = st.n_beta;

    // 4. Active space.
    nb::object mode = getitem(rem, "active_space");
    long long n_act = 0, n_act_elec = 0, n_core = 0;
    nb::object mo;
    bool full = false;
    if (equals(mode, "full")) {
        full = true;
        n_act = st.n_basis;
        n_act_elec = n_elec;
        n_core = 0;
        mo = mo_scf;
    } else if (equals(mode, "avas")) {
        if (from_file)
            keyword_error("active_space",
                          "active_space avas needs a basis set of atomic orbitals, which "
                          "integrals from an FCIDUMP file do not have; use active_space "
                          "manual (n_act, n_act_elec) or full");
        nb::object aos = getitem(rem, "avas_aos");
        if (!truthy(aos))
            throw nb::value_error("active_space=avas requires avas_aos (e.g. `\"N 2p\"`)");
        check_avas_labels(mol, aos);
        // AVAS keeps the orbitals whose overlap with the target exceeds the threshold,
        // an eigenvalue of a projector in [0, 1]: a NaN or a threshold of 1 or more keeps
        // none, one of 0 or less keeps every orbital.
        const double threshold = as_float(getitem(rem, "avas_threshold"), "avas_threshold");
        if (!(threshold > 0.0 && threshold < 1.0))
            keyword_error("avas_threshold",
                          "avas_threshold must lie strictly between 0 and 1, got " +
                              repr_of(nb::float_(threshold)));
        nb::object res = avas.attr("avas")(mf, aos, "threshold"_a = nb::float_(threshold));
        n_act = as_int(getitem(res, nb::int_(0)), "n_act");
        if (n_act == 0)
            keyword_error("avas_threshold",
                          "AVAS selects no orbital at avas_threshold " +
                              repr_of(nb::float_(threshold)) + " for avas_aos " + repr_of(aos) +
                              "; lower the threshold");
        nb::object nelecas = getitem(res, nb::int_(1));
        nb::object count = truthy(np.attr("isscalar")(nelecas)) ? nelecas : builtin("sum")(nelecas);
        n_act_elec = as_int(count, "n_act_elec");
        n_core = floor_div2(n_elec - n_act_elec);
        mo = getitem(res, nb::int_(2));
    } else if (equals(mode, "manual")) {
        n_act = as_int(getitem(rem, "n_act"), "n_act");
        n_act_elec = as_int(getitem(rem, "n_act_elec"), "n_act_elec");
        n_core = floor_div2(n_elec - n_act_elec);
        mo = mo_scf;
        try {
            check_partition(n_core, n_act, n_act_elec, n_elec, n_columns(mo), two_s);
        } catch (nb::builtin_exception& e) {
            keyword_error("n_act_elec", e.what());
        }
        check_open_shells_active(n_core, n_act, n_alpha, n_beta);
        nb::object follow = nb::getattr(calc, "active_follow", nb::none());
        if (!follow.is_none() && !from_file && !unrestricted)
            mo = follow_active(np, mo, follow, n_core, n_act, n_alpha, n_beta);
    } else {
        // Built as a Python string, so that any text of the value survives intact.
        nb::object text = checked(
            PyUnicode_Concat(nb::str("unknown active_space ").ptr(), py_str(mode).ptr()));
        PyErr_SetObject(PyExc_ValueError, text.ptr());
        throw nb::python_error();
    }

    // 5-6. Reference energy; CASSCF orbital optimisation. The manual cut of a closed-shell
    // RHF reference starts from MP2 natural orbitals (ordered by decreasing occupation,
    // so the cut takes the most strongly correlated ones as active): from the canonical
    // orbitals CASSCF can stop at a higher local minimum, depending on how its first
    // iterations go. AVAS and open-shell references start from the orbitals above.
    nb::object e_ref = st.e_mf;
    nb::object casscf_info = nb::none();
    if (truthy(getitem(rem, "orbital_opt")) && !full && from_file)
        keyword_error("orbital_opt",
                      "orbital_opt (CASSCF) is not available for integrals from an FCIDUMP "
                      "file: korvel's CASSCF runs on a PySCF mean field of a molecule; "
                      "optimise the orbitals in the program that wrote the file");
    if (truthy(getitem(rem, "orbital_opt")) && !full) {
        const bool closed_rhf = !unrestricted && n_alpha == n_beta && !st.rohf;
        nb::object start = mo;
        std::string start_name = equals(mode, "avas") ? "AVAS orbitals" : "SCF orbitals";
        if (closed_rhf && equals(mode, "manual")) {
            nb::object pt = import("pyscf.mp").attr("MP2")(mf);
            pt.attr("verbose") = 0;
            pt.attr("kernel")();
            start = getitem(import("pyscf.mcscf.addons").attr("make_natural_orbitals")(pt),
                            nb::int_(1));
            start_name = "MP2 natural orbitals";
        }
        nb::object mc = mcscf.attr("CASSCF")(mf, n_act, n_act_elec);
        mc.attr("verbose") = 0;
        mc.attr("kernel")(start);
        mo = mc.attr("mo_coeff");
        e_ref = mc.attr("e_tot");
        nb::dict info;
        info["converged"] = nb::bool_(truthy(mc.attr("converged")));
        info["start"] = nb::str(start_name.c_str());
        casscf_info = info;
    }

    // 7. Integrals in the current orbitals.
    long long n_orb = n_columns(mo);
    nb::object h1 = matmul(matmul(mo.attr("T"), st.hcore), mo);
    nb::object eri = ao2mo.attr("restore")(1, ao2mo.attr("kernel")(st.eri_source, mo), n_orb);

    // 8. Fock matrix of the reference occupation: 2 on the lowest n_beta orbitals, 1 on
    // the open shells up to n_alpha (the closed-shell Fock when n_alpha = n_beta).
    nb::object dm = np.attr("zeros")(nb::make_tuple(n_orb, n_orb));
    for (long long p = 0; p < std::min(n_alpha, n_orb); ++p)
        setitem(dm, nb::make_tuple(p, p), nb::float_(p < n_beta ? 2.0 : 1.0));
    nb::object j = np.attr("einsum")("pqrs,rs->pq", eri, dm);
    nb::object k = np.attr("einsum")("prqs,rs->pq", eri, dm);
    nb::object fock = h1 + j - nb::float_(0.5) * k;

    // 9. Block semicanonicalisation: core, active and virtual blocks separately. With
    // open shells each block is also cut where the occupation changes (n_beta, n_alpha),
    // so that no rotation mixes doubly, singly and unoccupied orbitals and the reference
    // determinant stays the one of the mean field.
    nb::object u = np.attr("eye")(n_orb);
    nb::object eps = np.attr("zeros")(n_orb);
    // Orbitals from a file need not be those of a converged mean field: their occupied and
    // virtual orbitals are kept apart in every case, so that the reference determinant
    // stays the one the file's orbitals give.
    std::vector<long long> cuts = {0, n_core, n_core + n_act, n_orb};
    if (n_alpha != n_beta || from_file) {
        cuts.push_back(n_beta);
        cuts.push_back(n_alpha);
    }
    std::sort(cuts.begin(), cuts.end());
    for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
        long long lo = std::max<long long>(cuts[c], 0), hi = std::min(cuts[c + 1], n_orb);
        if (hi <= lo) continue;
        nb::object idx = block_index(lo, hi);
        nb::object block = getitem(fock, idx);
        // Orbitals from a file that are already semicanonical in this block are kept as
        // the file gives them: a diagonaliser would mix degenerate ones (the two pi
        // orbitals of a linear molecule) by whatever the rounding of the off-diagonal is.
        if (from_file) {
            nb::object off = block - np.attr("diag")(np.attr("diag")(block));
            const double off_max = nb::cast<double>(builtin("float")(np.attr("abs")(off).attr("max")()));
            if (off_max <= 1e-10) {
                setitem(eps, nb::slice(nb::int_(lo), nb::int_(hi), nb::none()),
                        np.attr("diag")(block));
                continue;
            }
        }
        nb::object eig = np.attr("linalg").attr("eigh")(block);
        setitem(eps, nb::slice(nb::int_(lo), nb::int_(hi), nb::none()), getitem(eig, nb::int_(0)));
        setitem(u, idx, getitem(eig, nb::int_(1)));
    }
    mo = matmul(mo, u);

    // 9b. A fixed phase for each orbital: its largest AO coefficient positive (the first
    // of equal ones, magnitudes compared to six digits, so that rounding noise between
    // symmetry-equal coefficients cannot decide). An eigensolver returns each orbital
    // with whatever sign its rounding gives, and that differs from process to process
    // (PySCF's start guess depends on hashing); the Hamiltonian's coefficients, and a
    // truncated DMRG run on them, would then differ between runs of the same input.
    {
        nb::object mag = np.attr("abs")(mo);
        nb::object rel = np.attr("round")(mag / mag.attr("max")("axis"_a = 0), 6);
        nb::object lead = np.attr("argmax")(rel, "axis"_a = 0);
        nb::object lead_coef = getitem(
            np.attr("take_along_axis")(mo, getitem(lead, nb::make_tuple(nb::none(), nb::ellipsis())),
                                       "axis"_a = 0),
            nb::int_(0));
        nb::object signs = np.attr("where")(np.attr("less")(lead_coef, 0.0), -1.0, 1.0);
        mo = mo * signs;
    }

    // 10. Final integrals and the second-quantised Hamiltonian.
    h1 = matmul(matmul(mo.attr("T"), st.hcore), mo);
    eri = ao2mo.attr("restore")(1, ao2mo.attr("kernel")(st.eri_source, mo), n_orb);
    nb::object hamiltonian =
        hamiltonian_from_integrals(h1, eri, nb::cast<double>(builtin("float")(st.e_nuc)), false);

    // 11-12. The record.
    long long n_vir = n_orb - n_core - n_act;
    nb::object occupied = reference_occupation(n_alpha, n_beta);
    nb::int_ multiplicity_again = int_object(getitem(rem, "multiplicity"), "multiplicity");
    nb::object spin_2s = multiplicity_again - nb::int_(1);

    nb::dict extras;
    extras["mo_coeff"] = mo;
    extras["h1"] = h1;
    extras["eri"] = eri;
    extras["e_nuc"] = st.e_nuc;
    extras["eps"] = eps;
    extras["e_scf"] = st.e_mf;
    if (!casscf_info.is_none()) extras["casscf"] = casscf_info;
    if (!from_file && truthy(mol.attr("ecp"))) extras["ecp"] = mol.attr("ecp");
    if (from_file) extras["fcidump"] = st.fcidump;
    // present only when the SCF stopped unconverged, so that it is never used unseen
    if (!st.converged) extras["scf_converged"] = nb::bool_(false);

    return self.attr("Problem")(
        "hamiltonian"_a = hamiltonian, "n_orb"_a = n_orb, "n_elec"_a = nb::int_(n_elec),
        "n_core"_a = n_core, "n_act"_a = n_act, "n_vir"_a = n_vir, "n_act_elec"_a = n_act_elec,
        "occupied"_a = occupied, "spin_2s"_a = spin_2s, "e_ref"_a = builtin("float")(e_ref),
        "extras"_a = extras);
}

// ---------------------------------------------------------------------------
// Problem record

const char* const kProblemDoc =
    "The built electronic-structure problem, handed to every downfolding method.\n\n"
    "``hamiltonian`` is the full-space FermionOperator in the working (semicanonical)\n"
    "orbitals on 2 n_orb spin-orbitals: spatial orbital p carries spin-orbitals 2p\n"
    "(spin up) and 2p+1 (spin down), spatial orbitals run core, active, virtual.\n"
    "Invariants: n_orb = n_core + n_act + n_vir; n_core = floor((n_elec - n_act_elec)/2)\n"
    "(core doubly occupied, virtuals empty); ``occupied``, the reference determinant,\n"
    "holds 2p for p < n_alpha and 2p + 1 for p < n_beta. ``spin_2s`` is 2S, ``e_ref`` the reference energy (SCF, or\n"
    "CASSCF after orbital optimisation); ``extras`` is a per-record scratch mapping.";

const char* const kModesDoc = "Number of fermionic modes (spin-orbitals): 2 n_orb.";
const char* const kActiveDoc =
    "Spin-orbital indices of the active space: range(2 n_core, 2 (n_core + n_act)).";

nb::object make_problem_class(const char* module) {
    nb::object dataclasses = import("dataclasses");
    nb::object field = dataclasses.attr("field");

    nb::list fields;
    const char* required[][2] = {
        {"hamiltonian", "Any"}, {"n_orb", "int"},   {"n_elec", "int"},
        {"n_core", "int"},      {"n_act", "int"},   {"n_vir", "int"},
        {"n_act_elec", "int"},  {"occupied", "set[int]"},
        {"spin_2s", "int"},     {"e_ref", "float"}};
    for (const auto& f : required) fields.append(nb::make_tuple(f[0], f[1]));
    fields.append(nb::make_tuple("extras", "dict[str, Any]",
                                 field("default_factory"_a = builtin("dict"))));

    nb::object property = builtin("property");
    nb::object n_modes = method(
        module, "Problem", "n_modes", "(self) -> int", kModesDoc,
        [](nb::object self) -> nb::object {
            return nb::int_(2) * int_object(self.attr("n_orb"), "n_orb");
        },
        nb::arg("self"));
    nb::object active = method(
        module, "Problem", "active_spinorbitals", "(self) -> range", kActiveDoc,
        [](nb::object self) -> nb::object {
            nb::int_ n_core = int_object(self.attr("n_core"), "n_core");
            nb::int_ n_act = int_object(self.attr("n_act"), "n_act");
            nb::object two = nb::int_(2);
            return builtin("range")(two * n_core, two * (n_core + n_act));
        },
        nb::arg("self"));

    nb::dict ns;
    ns["__doc__"] = kProblemDoc;
    ns["__module__"] = module;
    ns["n_modes"] = property(n_modes, nb::none(), nb::none(), kModesDoc);
    ns["active_spinorbitals"] = property(active, nb::none(), nb::none(), kActiveDoc);

    nb::object cls = dataclasses.attr("make_dataclass")(
        "Problem", fields, "namespace"_a = ns, "init"_a = true, "repr"_a = true,
        "eq"_a = true, "order"_a = false, "frozen"_a = false);
    cls.attr("__module__") = module;
    cls.attr("__qualname__") = "Problem";
    return cls;
}

}  // namespace

NB_MODULE(hamiltonian, m) {
    m.doc() =
        "Problem construction: the Problem record and the PySCF problem builder.";
    g_module_name = nb::cast<std::string>(m.attr("__name__"));
    const char* module = g_module_name.c_str();

    m.attr("np") = import("numpy");
    m.attr("MAX_COORDINATE") = kMaxCoordinate;
    m.attr("Problem") = make_problem_class(module);

    def(m, "_geometry_for_pyscf",
        "(molecule: dict[str, Any]) -> list[tuple[str, tuple[float, float, float]]]",
        kGeometryDoc, [](nb::object molecule) { return geometry_for_pyscf(molecule); },
        nb::arg("molecule"));
    def(m, "_molecule", "(atoms, basis, charge: int, spin: int)", kMoleculeDoc,
        [](nb::object atoms, nb::object basis, nb::object charge, nb::object spin) {
            return molecule_of(atoms, basis, charge, spin);
        },
        nb::arg("atoms"), nb::arg("basis"), nb::arg("charge"), nb::arg("spin"));
    def(m, "_read_xyz", "(path) -> list[tuple[int, str, tuple[float, float, float]]]",
        kReadXyzDoc, [](nb::object path) { return read_xyz(path); }, nb::arg("path"));
    def(m, "_check_partition",
        "(n_core: int, n_act: int, n_act_elec: int, n_elec: int, n_orb: int, "
        "spin_2s: int | None = None) -> None",
        "Refuse a core / active partition that does not fit the molecule (ValueError\n"
        "naming the values); with ``spin_2s``, also one whose active electrons cannot\n"
        "carry the spin.",
        [](nb::object n_core, nb::object n_act, nb::object n_act_elec, nb::object n_elec,
           nb::object n_orb, nb::object spin_2s) {
            std::optional<long long> s2 = as_opt_int(spin_2s, "spin_2s");
            check_partition(as_int(n_core, "n_core"), as_int(n_act, "n_act"),
                            as_int(n_act_elec, "n_act_elec"), as_int(n_elec, "n_elec"),
                            as_int(n_orb, "n_orb"), s2 ? *s2 : -1);
        },
        nb::arg("n_core"), nb::arg("n_act"), nb::arg("n_act_elec"), nb::arg("n_elec"),
        nb::arg("n_orb"), nb::arg("spin_2s").none() = nb::none());
    def(m, "_check_avas_labels", "(mol, avas_aos: str | list[str]) -> None",
        "Refuse an AVAS label that selects no atomic orbital of the minimal basis (MINAO)\n"
        "of the PySCF molecule ``mol`` (ValueError naming the label and the shells there).",
        [](nb::object mol, nb::object aos) { check_avas_labels(mol, aos); }, nb::arg("mol"),
        nb::arg("avas_aos"));
    def(m, "_problem_size", "(n_orb: int, *, check: bool = False) -> dict", kSizeDoc,
        [](nb::object n_orb, bool check) { return problem_size(as_int(n_orb, "n_orb"), check); },
        nb::arg("n_orb"), nb::kw_only(), nb::arg("check") = false);
    def(m, "_hamiltonian_from_integrals",
        "(h1, eri, constant: float, *, plain: bool = False) -> FermionOperator", kTermsDoc,
        [](nb::object h1, nb::object eri, nb::object constant, bool plain) {
            return hamiltonian_from_integrals(h1, eri, as_float(constant, "constant"), plain);
        },
        nb::arg("h1"), nb::arg("eri"), nb::arg("constant"), nb::kw_only(),
        nb::arg("plain") = false);
    def(m, "build_problem", "(calc) -> Problem", kBuildDoc,
        [](nb::object calc) { return build_problem(calc); }, nb::arg("calc"));
}
