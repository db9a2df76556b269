// korvel.core.analysis: measurements of an (effective) Hamiltonian.
//
//  * the exact lowest eigenvalue in an electron-number sector (sparse FCI),
//  * the Pauli (Jordan-Wigner) LCU 1-norm, which sets the query cost of qubitised
//    phase estimation,
//  * DMRG on block2 at a list of bond dimensions, with a linear extrapolation of the
//    energy in the discarded weight.
//
// Every function takes an OpenFermion FermionOperator or a plain FermionOp mapping.
// OpenFermion, SciPy, NumPy and block2 are imported inside each call, so the module
// loads without them.
#include "common.h"

#include "fermion_terms.h"

#include <nanobind/ndarray.h>

#include "engine/dmrg_schedule.h"
#include "engine/lcu_norm.h"
#include "engine/ladder.h"
#include "engine/majorana_op.h"
#include "engine/memory.h"
#include "engine/sector.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <cmath>
#include <cstddef>
#include <limits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace nb = nanobind;
using namespace nb::literals;
namespace engine = korvel::engine;
using korvel::py::as_float;
using korvel::py::getitem;
using korvel::py::as_int;
using korvel::py::as_opt_int;
using korvel::py::checked;
using korvel::py::import;
using korvel::py::truthy;
using korvel::py::type_name_of;

namespace {

constexpr const char* kMissingBlock2 =
    "DMRG solver requires block2 \xe2\x80\x94 install with `pip install korvel[dmrg]`";

constexpr double kBytesPerGiB = 1073741824.0;
// block2 splits its stack into several pools and aborts the process when one of them
// ends up empty; below a mebibyte that happens for any system.
constexpr double kMinStackBytes = 1048576.0;
// The sweep schedule is materialised as lists handed to block2; a bound far beyond any
// useful run keeps an absurd count from exhausting memory.
constexpr long long kMaxSweeps = 1000000;

// Name under which this module was loaded, for calls that go through the module's
// namespace (as a Python module's global lookup would).
std::string& module_name() {
    static std::string name;
    return name;
}

nb::object item(nb::handle container, nb::handle key) {
    PyObject* r = PyObject_GetItem(container.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object item(nb::handle container, Py_ssize_t index) {
    return item(container, nb::int_(index));
}

nb::object richcompare(nb::handle a, nb::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object bit_and(nb::handle a, nb::handle b) {
    PyObject* r = PyNumber_And(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

double to_double(nb::handle o) {
    double r = PyFloat_AsDouble(o.ptr());
    if (r == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

// The list of items of any iterable, taken once.
nb::list as_list(nb::handle o) {
    PyObject* r = PySequence_List(o.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::list>(r);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sectors up to these dimensions are diagonalised densely: ARPACK needs more basis vectors
// than wanted eigenvalues, which a tiny sector cannot supply, and a dense solve of a few
// hundred determinants is exact and quick.
constexpr std::uint64_t kDenseSectorMaxDim = 128;
constexpr std::uint64_t kDenseGeneralMaxDim = 256;
constexpr unsigned kLanczosSeed = 20240611u;
constexpr std::uint64_t kLanczosVectors = 40;
// A sector matrix counts as Hermitian when max |A_ij - conj(A_ji)| is below this, relative
// to the largest coefficient.
constexpr double kHermitianTolerance = 1e-12;

// ---------------------------------------------------------------------------
// Operator coercion

nb::object as_fermion_operator(nb::object hamiltonian) {
    return korvel::py::fermion_operator_of(hamiltonian);
}

// The sector solver holds a determinant as one 64-bit string, and the Majorana expansion of
// the 1-norm (and of the fold) masks of 64 spin-orbitals: fixed by their design, whatever
// width the ladder-string algebra of the backends has.
constexpr int kSectorMaxSpinOrbitals = 64;
constexpr int kMajoranaMaxSpinOrbitals = 64;

// An n_elec-electron sector of n_spinorb spin-orbitals exists for 0 <= n_elec <= n_spinorb.
void check_sector(long long n_spinorb, long long n_elec) {
    if (n_spinorb < 1)
        throw nb::value_error(
            ("n_spinorb must be at least 1, got " + std::to_string(n_spinorb)).c_str());
    if (n_elec < 0 || n_elec > n_spinorb)
        throw nb::value_error(("n_elec must lie between 0 and n_spinorb=" +
                               std::to_string(n_spinorb) + ", got " + std::to_string(n_elec))
                                  .c_str());
}

// Every spin-orbital an operator acts on must be one of the n_spinorb modes.
void check_mode_mask(std::uint64_t used, long long n_spinorb) {
    if (n_spinorb >= 64 || (used >> n_spinorb) == 0) return;
    const long long p = 63 - std::countl_zero(used);
    throw nb::value_error(("the operator acts on spin-orbital " + std::to_string(p) +
                           ", outside 0.." + std::to_string(n_spinorb - 1) +
                           " (n_spinorb=" + std::to_string(n_spinorb) + ")")
                              .c_str());
}

// ---------------------------------------------------------------------------
// Sector matrices

// The operator read for a sector of n_spinorb spin-orbitals (at most 64, the width of a
// determinant's bit string), with its indices checked.
// The k-th term key of an operator (a mapping or a FermionOperator), for a message.
std::string nth_term(nb::handle op, std::ptrdiff_t k) {
    nb::object terms = PyDict_Check(op.ptr()) ? nb::borrow(op) : korvel::py::optional_attr(op, "terms");
    if (terms.is_valid() && PyDict_Check(terms.ptr())) {
        nb::list keys = as_list(terms);
        if (k < static_cast<std::ptrdiff_t>(keys.size())) return korvel::py::repr_of(keys[k]);
    }
    return "number " + std::to_string(k + 1);
}

struct SectorInput {
    engine::SectorOperator op;
    int n_spinorb = 0;
    int n_elec = 0;
};

SectorInput read_sector_input(nb::handle hamiltonian, nb::handle n_spinorb_o,
                              nb::handle n_elec_o) {
    const long long n_spinorb = as_int(n_spinorb_o, "n_spinorb");
    const long long n_elec = as_int(n_elec_o, "n_elec");
    check_sector(n_spinorb, n_elec);
    if (n_spinorb > kSectorMaxSpinOrbitals)
        throw nb::value_error(("sector energies are computed for at most " +
                               std::to_string(kSectorMaxSpinOrbitals) +
                               " spin-orbitals, got n_spinorb=" + std::to_string(n_spinorb))
                                  .c_str());
    const korvel::py::ReducedFermionOp terms =
        korvel::py::reduced_terms_from(hamiltonian, "hamiltonian");
    std::uint64_t used = 0;
    for (std::size_t t = 0; t < terms.terms.size(); ++t)
        if (terms.keep[t]) used |= terms.terms[t].orbitals();
    check_mode_mask(used, n_spinorb);
    SectorInput in;
    in.n_spinorb = static_cast<int>(n_spinorb);
    in.n_elec = static_cast<int>(n_elec);
    in.op = engine::sector_operator(terms.terms.data(), terms.keep.data(), terms.terms.size());
    // A term that changes the electron number has no element in the sector: the sector's
    // energy would be that of another operator (0 for a_0^dagger + a_0), so it is refused.
    if (in.op.first_number_changing >= 0)
        throw nb::value_error(("a sector energy needs an operator that conserves the electron "
                               "number; the term " +
                               nth_term(hamiltonian, in.op.first_number_changing) +
                               " changes it")
                                  .c_str());
    return in;
}

// The spaces a sector is solved in: its S_z blocks (n_alpha spin-up electrons on the even
// spin-orbitals) when the operator keeps S_z, else the whole sector.
std::vector<engine::DeterminantBasis> sector_spaces(const SectorInput& in) {
    std::vector<engine::DeterminantBasis> spaces;
    if (!in.op.conserves_sz) {
        spaces.push_back(engine::DeterminantBasis::sector(in.n_spinorb, in.n_elec));
        return spaces;
    }
    const int n_up = (in.n_spinorb + 1) / 2, n_down = in.n_spinorb / 2;
    for (int a = std::max(0, in.n_elec - n_down); a <= std::min(in.n_elec, n_up); ++a)
        spaces.push_back(engine::DeterminantBasis::sz_block(in.n_spinorb, a, in.n_elec - a));
    return spaces;
}

// Every space must fit before the first is built: its determinants, row pointers and the
// eigensolver's vectors (kBytesPerDeterminant together) for the largest of them; the
// matrix itself is counted again, entry by entry, when it is built.
constexpr std::uint64_t kBytesPerDeterminant = 3 * 8 + 48 * 16;

void require_sector_memory(const SectorInput& in,
                           const std::vector<engine::DeterminantBasis>& spaces) {
    std::uint64_t largest = 0;
    for (const auto& b : spaces) largest = std::max(largest, b.size());
    const std::string what =
        std::string(in.op.conserves_sz ? "the largest S_z block" : "the sector") + " of " +
        std::to_string(in.n_elec) + " electrons in " + std::to_string(in.n_spinorb) +
        " spin-orbitals (" +
        (largest == engine::kCountMax ? std::string("more than 2^64") : std::to_string(largest)) +
        " determinants)";
    if (largest > engine::kMaxSectorDimension)
        throw engine::MemoryLimitError(what + " is beyond the 2^31 determinants the sector "
                                              "solver handles");
    engine::require_memory(largest, kBytesPerDeterminant, what.c_str());
}

template <typename T>
nb::object numpy_of(std::vector<T>&& v) {
    if (v.empty()) v.reserve(1);
    auto* heap = new std::vector<T>(std::move(v));
    nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    const std::size_t shape[1] = {heap->size()};
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(heap->data(), 1, shape, owner));
}

// The matrix of the operator in one space as a scipy.sparse.csr_matrix.
nb::object sector_matrix(const engine::SectorOperator& op, const engine::DeterminantBasis& basis) {
    nb::object csr_matrix = import("scipy.sparse").attr("csr_matrix");
    const std::uint64_t dim = basis.size();
    const auto wrap = [&](auto&& m) {
        nb::object indptr = numpy_of(std::move(m.indptr));
        nb::object indices = numpy_of(std::move(m.indices));
        nb::object data = numpy_of(std::move(m.data));
        return csr_matrix(nb::make_tuple(data, indices, indptr),
                          "shape"_a = nb::make_tuple(dim, dim));
    };
    if (op.real) {
        engine::CsrMatrix<double> m;
        {
            nb::gil_scoped_release release;
            m = engine::build_sector_matrix<double>(op, basis);
        }
        return wrap(m);
    }
    engine::CsrMatrix<engine::cplx> m;
    {
        nb::gil_scoped_release release;
        m = engine::build_sector_matrix<engine::cplx>(op, basis);
    }
    return wrap(m);
}

// Whether a sector matrix is Hermitian: max |A - A^dagger| at most kHermitianTolerance
// relative to its largest element (at least 1).
bool is_hermitian(nb::handle m) {
    if (nb::cast<long long>(m.attr("nnz")) == 0) return true;
    nb::object builtins = import("builtins");
    nb::object adjoint = m.attr("conj")().attr("transpose")();
    nb::object diff = checked(PyNumber_Subtract(m.ptr(), adjoint.ptr()));
    const double defect = to_double(builtins.attr("abs")(diff).attr("max")());
    const double scale = to_double(builtins.attr("abs")(m).attr("max")());
    return defect <= kHermitianTolerance * std::max(1.0, scale);
}

// Lowest eigenvalue (smallest real part for a general matrix) over the spaces, with the
// names of the solvers that ran, in order.
struct SectorRoot {
    double re = 0.0, im = 0.0;
    std::vector<std::string> solvers;
};

SectorRoot lowest_in_space(nb::object m, std::uint64_t dim, bool general) {
    SectorRoot r;
    if (nb::cast<long long>(m.attr("nnz")) == 0) {  // the zero matrix: every eigenvalue is 0
        r.solvers.push_back("none (zero matrix)");
        return r;
    }
    nb::object np = import("numpy");
    korvel::engine::require_memory(dim, 16 * 48, "eigensolver vectors of the sector");
    nb::object w;
    if (!general) {
        if (dim <= kDenseSectorMaxDim) {
            w = np.attr("linalg").attr("eigvalsh")(m.attr("toarray")());
            r.solvers.push_back("numpy.linalg.eigvalsh");
        } else {
            // ARPACK's own start vector is drawn afresh at every call, so the last digits
            // would change from call to call; a start vector from a fixed seed keeps the
            // result reproducible and generic (not orthogonal to the ground state by any
            // symmetry of the operator).
            nb::object v0 = np.attr("random").attr("default_rng")(kLanczosSeed)
                                .attr("standard_normal")(nb::int_(dim));
            // A Lanczos basis of 40 vectors restarts far less often than ARPACK's default
            // of 20 on molecular sectors (4.5 times faster on a 44,100-determinant block).
            const std::uint64_t ncv = std::min<std::uint64_t>(kLanczosVectors, dim - 1);
            w = import("scipy.sparse.linalg").attr("eigsh")(
                m, "k"_a = 1, "which"_a = "SA", "return_eigenvectors"_a = false, "v0"_a = v0,
                "ncv"_a = ncv);
            r.solvers.push_back("scipy.sparse.linalg.eigsh");
        }
        r.re = to_double(np.attr("min")(w));
        return r;
    }
    if (dim <= kDenseGeneralMaxDim) {
        w = np.attr("linalg").attr("eigvals")(m.attr("toarray")());
        r.solvers.push_back("numpy.linalg.eigvals");
    } else {
        nb::object eigs = import("scipy.sparse.linalg").attr("eigs");
        nb::object v0 = np.attr("random").attr("default_rng")(kLanczosSeed)
                            .attr("standard_normal")(nb::int_(dim));
        const long long k = std::min<long long>(6, static_cast<long long>(dim) - 2);
        try {
            w = eigs(m, "k"_a = k, "which"_a = "SR", "return_eigenvectors"_a = false,
                     "maxiter"_a = 5000, "v0"_a = v0);
            r.solvers.push_back("scipy.sparse.linalg.eigs");
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;  // interrupts are not swallowed
            // Arnoldi for the smallest real part did not converge: shift-invert about zero.
            w = eigs(m, "k"_a = k, "sigma"_a = 0.0, "which"_a = "LM",
                     "return_eigenvectors"_a = false, "maxiter"_a = 5000);
            r.solvers.push_back("scipy.sparse.linalg.eigs (shift-invert about 0)");
        }
    }
    w = np.attr("asarray")(w);
    if (length(w) == 0)
        throw nb::value_error("the eigensolver returned no eigenvalue for the sector");
    nb::object root = getitem(w, nb::int_(np.attr("argmin")(w.attr("real"))));
    r.re = to_double(root.attr("real"));
    r.im = to_double(root.attr("imag"));
    return r;
}

SectorRoot sector_lowest(nb::handle hamiltonian, nb::handle n_spinorb, nb::handle n_elec,
                         bool general) {
    // The matrices come through the module's namespace, as a Python module's global
    // lookup would find them.
    nb::object module = import(module_name().c_str());
    nb::list blocks = as_list(module.attr("_sector_matrices")(hamiltonian, n_spinorb, n_elec));
    // A symmetric solver on a non-Hermitian matrix would return the spectrum of another
    // operator: such a matrix goes to the general solver.
    if (!general)
        for (nb::handle b : blocks)
            if (!is_hermitian(item(b, 1))) general = true;
    SectorRoot best;
    bool first = true;
    for (nb::handle b : blocks) {
        nb::object m = item(b, 1);
        const auto dim = nb::cast<std::uint64_t>(item(m.attr("shape"), 0));
        SectorRoot r = lowest_in_space(m, dim, general);
        for (auto& s : r.solvers)
            if (std::find(best.solvers.begin(), best.solvers.end(), s) == best.solvers.end())
                best.solvers.push_back(s);
        if (first || r.re < best.re) {
            best.re = r.re;
            best.im = r.im;
        }
        first = false;
    }
    return best;
}

std::string solver_names(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? " and " : "") + names[i];
    return out;
}

// ---------------------------------------------------------------------------
// Exact sector energy and LCU 1-norm

double fci_energy(nb::object hamiltonian, nb::object n_spinorb_o, nb::object n_elec_o) {
    return sector_lowest(hamiltonian, n_spinorb_o, n_elec_o, false).re;
}

nb::tuple sector_lowest_py(nb::object hamiltonian, nb::object n_spinorb, nb::object n_elec,
                           nb::object general) {
    const SectorRoot r = sector_lowest(hamiltonian, n_spinorb, n_elec, truthy(general));
    return nb::make_tuple(r.re, r.im, solver_names(r.solvers));
}

// [(n_alpha or None, csr_matrix)]: the blocks the sector is solved in.
nb::list sector_matrices(nb::object hamiltonian, nb::object n_spinorb, nb::object n_elec) {
    const SectorInput in = read_sector_input(hamiltonian, n_spinorb, n_elec);
    const std::vector<engine::DeterminantBasis> spaces = sector_spaces(in);
    require_sector_memory(in, spaces);
    nb::list out;
    for (const auto& b : spaces)
        out.append(nb::make_tuple(b.is_block() ? nb::object(nb::int_(b.n_alpha())) : nb::none(),
                                  sector_matrix(in.op, b)));
    return out;
}

// The dense matrix of the plain build, in the space of sector_matrices with the given
// n_alpha (None: the whole sector).
nb::object sector_matrix_plain(nb::object hamiltonian, nb::object n_spinorb_o,
                               nb::object n_elec_o, nb::object n_alpha_o) {
    const long long n_spinorb = as_int(n_spinorb_o, "n_spinorb");
    const long long n_elec = as_int(n_elec_o, "n_elec");
    const std::optional<long long> n_alpha = as_opt_int(n_alpha_o, "n_alpha");
    check_sector(n_spinorb, n_elec);
    if (n_spinorb > 20) throw nb::value_error("the plain sector build is for at most 20 spin-orbitals");
    if (n_alpha && (*n_alpha < 0 || *n_alpha > n_elec))
        throw nb::value_error("n_alpha must lie between 0 and n_elec");
    const korvel::py::ReducedFermionOp terms =
        korvel::py::reduced_terms_from(hamiltonian, "hamiltonian");
    const engine::DeterminantBasis b =
        n_alpha ? engine::DeterminantBasis::sz_block(static_cast<int>(n_spinorb), static_cast<int>(*n_alpha),
                                                     static_cast<int>(n_elec - *n_alpha))
                : engine::DeterminantBasis::sector(static_cast<int>(n_spinorb), static_cast<int>(n_elec));
    std::vector<engine::cplx> dense = engine::sector_matrix_plain(terms.terms.data(), terms.keep.data(),
                                                                  terms.terms.size(), b);
    const long long dim = static_cast<long long>(b.size());
    return numpy_of(std::move(dense)).attr("reshape")(dim, dim);
}

// The term dict of a FermionOp (a dict, or the `terms` dict of a FermionOperator), or None
// for any other mapping.
nb::object term_dict(nb::handle op) {
    if (PyDict_Check(op.ptr())) return nb::borrow(op);
    if (!PyObject_HasAttrString(op.ptr(), "items") && PyObject_HasAttrString(op.ptr(), "terms")) {
        nb::object terms = nb::borrow(op).attr("terms");
        if (PyDict_Check(terms.ptr())) return terms;
    }
    return nb::none();
}

// A key read without running Python code: an exact tuple of exact (int, int) tuples whose
// indices fit 63 bits. Calls fn(index) for each of its ladder operators; false otherwise.
template <typename Fn>
bool plain_key_indices(PyObject* key, Fn&& fn) {
    if (!PyTuple_CheckExact(key)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(key, i);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
        PyObject* p = PyTuple_GET_ITEM(pair, 0);
        if (!PyLong_CheckExact(p)) return false;
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (overflow || x < 0) return false;
        fn(x);
    }
    return true;
}

// The operator with its spin-orbitals renumbered 0, 1, ... in their order, when every key
// is plain and some index lies beyond the engine's 64 spin-orbitals; None otherwise. The
// renumbering keeps the order of the modes, so every Majorana monomial keeps its
// coefficient: the 1-norm is unchanged, and no index sets the size of anything.
nb::object renumbered_beyond_engine(nb::handle op, std::size_t& n_modes) {
    nb::object d = term_dict(op);
    if (d.is_none()) return nb::none();
    std::vector<long long> used;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    long long top = -1;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        const bool plain = plain_key_indices(key, [&](long long p) {
            top = std::max(top, p);
            used.push_back(p);
        });
        if (!plain) return nb::none();  // the reader checks and reports such keys
    }
    if (top < kMajoranaMaxSpinOrbitals) return nb::none();
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    n_modes = used.size();
    // The items are held as one list while the new keys are made and hashed.
    nb::object items = checked(PyDict_Items(d.ptr()));
    nb::dict out;
    for (nb::handle kv : items) {
        PyObject* term = PyTuple_GET_ITEM(kv.ptr(), 0);
        const Py_ssize_t k = PyTuple_GET_SIZE(term);
        nb::object renamed = checked(PyTuple_New(k));
        for (Py_ssize_t i = 0; i < k; ++i) {
            PyObject* pair = PyTuple_GET_ITEM(term, i);
            const long long p = PyLong_AsLongLong(PyTuple_GET_ITEM(pair, 0));
            const auto rank = std::lower_bound(used.begin(), used.end(), p) - used.begin();
            PyTuple_SET_ITEM(renamed.ptr(), i,
                             checked(PyTuple_Pack(2, nb::int_(static_cast<long long>(rank)).ptr(),
                                                  PyTuple_GET_ITEM(pair, 1)))
                                 .release()
                                 .ptr());
        }
        if (PyDict_SetItem(out.ptr(), renamed.ptr(), PyTuple_GET_ITEM(kv.ptr(), 1)) != 0)
            throw nb::python_error();
    }
    return out;
}

double majorana_one_norm(nb::handle op) {
    const korvel::py::ReducedFermionOp terms = korvel::py::reduced_terms_from(op, "hamiltonian");
    nb::gil_scoped_release release;
    const engine::MajoranaOp maj =
        engine::expand_reduced(terms.terms.data(), terms.keep.data(), terms.terms.size(), 0.0);
    double total = 0.0;
    for (std::size_t k = 0; k < maj.size(); ++k)
        if (!maj.mask(k).empty()) total += std::abs(maj.c[k]);
    return total;
}

// The terms of a renumbered operator (plain keys, see renumbered_beyond_engine) as flat
// ladder arrays for the wide expansion; false when a term is longer than that expansion
// keys. A dagger flag other than 0 or 1, or a coefficient that is not a finite number, is a
// ValueError naming the term.
bool wide_terms_of(nb::handle renamed, engine::LadderTerms& out) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(renamed.ptr(), &pos, &key, &value)) {
        const Py_ssize_t k = PyTuple_GET_SIZE(key);
        if (static_cast<std::size_t>(k) > engine::kLcuMaxLadderOps) return false;
        for (Py_ssize_t i = 0; i < k; ++i) {
            PyObject* pair = PyTuple_GET_ITEM(key, i);
            PyObject* flag = PyTuple_GET_ITEM(pair, 1);
            int overflow = 0;
            const long long f = PyLong_Check(flag) ? PyLong_AsLongLongAndOverflow(flag, &overflow) : -1;
            if (f == -1 && PyErr_Occurred()) throw nb::python_error();
            const bool is_one = !overflow && f == 1;
            if (overflow || (f != 0 && f != 1))
                throw nb::value_error(("dagger flag " + korvel::py::repr_of(flag) + " in term " +
                                       korvel::py::repr_of(key) + " must be 0 or 1")
                                          .c_str());
            out.modes.push_back(static_cast<std::uint32_t>(PyLong_AsLongLong(PyTuple_GET_ITEM(pair, 0))));
            out.dagger.push_back(is_one ? 1 : 0);
        }
        out.offsets.push_back(out.modes.size());
        const std::complex<double> c =
            PyFloat_CheckExact(value) ? std::complex<double>(PyFloat_AS_DOUBLE(value), 0.0)
                                      : korvel::py::to_complex(value);
        if (!std::isfinite(c.real()) || !std::isfinite(c.imag()))
            throw nb::value_error(("coefficient of term " + korvel::py::repr_of(key) +
                                   " is not finite")
                                      .c_str());
        out.coef.push_back(c);
    }
    return true;
}

// The 1-norm by the wide expansion of an operator with plain keys (a dict), or -1 when a
// term is too long for it or the modes too many.
double wide_one_norm(nb::handle terms_dict, std::size_t n_modes, bool plain) {
    engine::LadderTerms terms;
    if (n_modes > engine::kLcuMaxMode || !wide_terms_of(terms_dict, terms)) return -1.0;
    nb::gil_scoped_release release;
    return plain ? engine::lcu_one_norm_plain(terms) : engine::lcu_one_norm_wide(terms);
}

// lambda = sum over the non-identity Majorana monomials gamma_A of |c_A|: each monomial is,
// up to a phase, one Jordan-Wigner Pauli string, and distinct monomials give distinct strings.
// An operator on more spin-orbitals than the engine holds is renumbered first and, when it
// still acts on more than 64, expanded with monomials keyed by their index lists, for any
// number of spin-orbitals; only a term of more than 16 ladder operators still goes through
// OpenFermion's Jordan-Wigner transform.
double lcu_one_norm(nb::object hamiltonian) {
    // Past the engine's width with indices the wide keys hold: expanded as it is, without
    // renumbering (a new key for every term would cost more than the expansion).
    nb::object d = term_dict(hamiltonian);
    if (!d.is_none()) {
        std::vector<std::uint8_t> seen(engine::kLcuMaxMode + 1, 0);
        bool fits = true;
        long long top = -1;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (fits && PyDict_Next(d.ptr(), &pos, &key, &value))
            fits = plain_key_indices(key, [&](long long p) {
                top = std::max(top, p);
                if (p <= static_cast<long long>(engine::kLcuMaxMode)) seen[p] = 1;
            });
        fits = fits && top >= kMajoranaMaxSpinOrbitals &&
               top <= static_cast<long long>(engine::kLcuMaxMode);
        if (fits && std::count(seen.begin(), seen.end(), 1) > kMajoranaMaxSpinOrbitals) {
            const double wide = wide_one_norm(d, static_cast<std::size_t>(top + 1), false);
            if (wide >= 0.0) return wide;
        }
    }
    std::size_t n_modes = 0;
    nb::object renamed = renumbered_beyond_engine(hamiltonian, n_modes);
    if (renamed.is_none()) return majorana_one_norm(hamiltonian);
    if (n_modes <= static_cast<std::size_t>(kMajoranaMaxSpinOrbitals))
        return majorana_one_norm(renamed);
    const double wide = wide_one_norm(renamed, n_modes, false);
    if (wide >= 0.0) return wide;
    for (auto kv : nb::borrow<nb::dict>(renamed)) {
        const std::complex<double> c = korvel::py::to_complex(kv.second);
        if (!std::isfinite(c.real()) || !std::isfinite(c.imag()))
            throw nb::value_error(("coefficient of term " + korvel::py::repr_of(kv.first) +
                                   " is not finite")
                                      .c_str());
    }
    nb::object fo = korvel::py::fermion_operator_of(renamed);
    nb::object qop = import("openfermion.transforms").attr("jordan_wigner")(
        import("openfermion").attr("normal_ordered")(fo));
    double total = 0.0;
    for (auto kv : nb::borrow<nb::dict>(qop.attr("terms")))
        if (length(kv.first) != 0) total += std::abs(korvel::py::to_complex(kv.second));
    return total;
}

// The wide expansion on any operator with plain keys (no renumbering), for checks against
// the engine's 64-bit expansion and Jordan-Wigner.
double lcu_one_norm_expanded(nb::object hamiltonian, bool plain) {
    nb::object d = term_dict(hamiltonian);
    if (d.is_none()) throw nb::type_error("expected a FermionOperator or a dict of terms");
    std::uint64_t top = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d.ptr(), &pos, &key, &value))
        if (!plain_key_indices(key, [&](long long p) { top = std::max<std::uint64_t>(top, p + 1); }))
            throw nb::value_error(("term " + korvel::py::repr_of(key) +
                                   " must be a tuple of (index, dagger) pairs of integers")
                                      .c_str());
    const double norm = wide_one_norm(d, top, plain);
    if (norm < 0.0)
        throw nb::value_error("a term is longer than 16 ladder operators, or a spin-orbital "
                              "index is beyond 32767");
    return norm;
}

// The terms that can have a diagonal element between determinants: those whose ladder
// operators on each spin-orbital are as many creators as annihilators. Any other term
// changes the occupation of some spin-orbital and has no diagonal element on any
// determinant, so <Phi|op|Phi> needs only these (a few n^2 of the n^4 terms of a
// Hamiltonian). A key that is not a tuple of (int, int) pairs is kept, for the caller to
// judge.
nb::dict number_diagonal_terms(nb::handle op) {
    nb::object d = term_dict(op);
    if (d.is_none()) d = as_fermion_operator(nb::borrow(op)).attr("terms");
    if (!PyDict_Check(d.ptr())) throw nb::type_error("expected a FermionOperator or a dict of terms");
    nb::dict out;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    std::vector<long long> modes;
    std::vector<int> steps;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        modes.clear();
        steps.clear();
        bool plain = plain_key_indices(key, [&](long long p) { modes.push_back(p); });
        for (Py_ssize_t i = 0; plain && i < PyTuple_GET_SIZE(key); ++i) {
            PyObject* flag = PyTuple_GET_ITEM(PyTuple_GET_ITEM(key, i), 1);
            int overflow = 0;
            const long long f = PyLong_Check(flag) ? PyLong_AsLongLongAndOverflow(flag, &overflow) : -1;
            if (f == -1 && PyErr_Occurred()) throw nb::python_error();
            plain = !overflow && (f == 0 || f == 1);
            steps.push_back(f == 1 ? 1 : -1);
        }
        bool balanced = true;
        for (std::size_t i = 0; plain && balanced && i < modes.size(); ++i) {
            int net = 0;
            for (std::size_t j = 0; j < modes.size(); ++j)
                if (modes[j] == modes[i]) net += steps[j];
            balanced = net == 0;
        }
        if (plain && !balanced) continue;
        if (PyDict_SetItem(out.ptr(), key, value) != 0) throw nb::python_error();
    }
    return out;
}

// ---------------------------------------------------------------------------
// DMRG

// Largest imaginary part a coefficient may carry on its way to block2, which takes real
// coefficients only.
constexpr double kMaxImaginary = 1e-12;

// (term list, constant): one ("CD..." string, [sites], real coefficient) per non-empty
// term, in the operator's order and with its operator order; the identity's real part
// is gathered into the constant, which stays outside the matrix-product operator.
// A dagger other than 0 or 1, a non-finite coefficient or an imaginary part beyond
// 1e-12 is a ValueError naming the term.
// block2 has no bound of its own on the lattice or on memory; sizes are checked here,
// before any file is made or any block2 object is built.
constexpr long long kMaxSites = 4096;

void check_dmrg_sizes(long long n_spinorb, const std::vector<long long>& bond_dims,
                      double stack_bytes) {
    auto gib = [](double bytes) {
        return nb::cast<std::string>(nb::repr(nb::float_(std::round(bytes / kBytesPerGiB * 100) / 100)));
    };
    if (n_spinorb > kMaxSites)
        throw nb::value_error(("n_spinorb=" + std::to_string(n_spinorb) +
                               " sites exceed the DMRG limit of " + std::to_string(kMaxSites))
                                  .c_str());
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        const double physical = static_cast<double>(pages) * static_cast<double>(page_size);
        if (stack_bytes > physical) {
            PyErr_SetString(PyExc_MemoryError,
                            ("DMRG stack of " + gib(stack_bytes) + " GiB (stack_gb) exceeds the " +
                             gib(physical) + " GiB of memory of this machine")
                                .c_str());
            throw nb::python_error();
        }
    }
    // The two-site wavefunction alone holds 4 D^2 doubles (two spin-orbital sites of
    // dimension 2 between bonds of dimension D); it must fit into block2's stack.
    for (long long D : bond_dims) {
        const double need = 32.0 * static_cast<double>(D) * static_cast<double>(D);
        if (need > stack_bytes) {
            PyErr_SetString(PyExc_MemoryError,
                            ("bond dimension " + std::to_string(D) + " needs at least " +
                             gib(need) + " GiB for one two-site wavefunction, more than the " +
                             gib(stack_bytes) + " GiB DMRG stack (stack_gb)")
                                .c_str());
            throw nb::python_error();
        }
    }
}

// The DMRG stack in bytes, refused unless a finite size of at least one MiB.
double stack_bytes_of(double stack_gb) {
    const double stack_bytes = stack_gb * kBytesPerGiB;
    if (!std::isfinite(stack_gb) || stack_bytes < kMinStackBytes || stack_bytes >= 9.2e18)
        throw nb::value_error(
            ("stack_gb must be a finite size in GiB of at least 1/1024 (one MiB of block2 "
             "stack), got " + nb::cast<std::string>(nb::repr(nb::float_(stack_gb))))
                .c_str());
    return stack_bytes;
}

// block2's OpenMP runtime ends the whole process, with a message of its own, when it
// cannot create the threads asked for (a limit on processes or on memory for their
// stacks): n_threads threads are started here first, all alive at once with the default
// stack, and a failure is a ValueError saying how many could be started.
void check_threads(long long n_threads) {
    if (n_threads < 1)
        throw nb::value_error(
            ("n_threads must be at least 1, got " + std::to_string(n_threads)).c_str());
    std::size_t started = 0;
    std::string failure;
    {
        nb::gil_scoped_release release;
        std::mutex m;
        std::condition_variable all_started;
        bool go = false;
        std::vector<std::thread> threads;
        try {
            threads.reserve(static_cast<std::size_t>(n_threads));
            for (long long k = 1; k < n_threads; ++k) {  // the calling thread is the first
                threads.emplace_back([&] {
                    std::unique_lock<std::mutex> lock(m);
                    all_started.wait(lock, [&] { return go; });
                });
                ++started;
            }
        } catch (const std::exception& e) {
            failure = e.what();
        }
        {
            std::lock_guard<std::mutex> lock(m);
            go = true;
        }
        all_started.notify_all();
        for (auto& t : threads) t.join();
    }
    if (!failure.empty())
        throw nb::value_error(("n_threads=" + std::to_string(n_threads) +
                               ": only " + std::to_string(started + 1) +
                               " threads could be started on this machine (" + failure +
                               "); ask for fewer")
                                  .c_str());
}

nb::tuple fermionop_to_block2_terms(nb::object hamiltonian) {
    nb::object fo = as_fermion_operator(hamiltonian);
    nb::object complex_ = import("builtins").attr("complex");
    // The items are taken once, as a list that holds every key and value.
    nb::list items = as_list(fo.attr("terms").attr("items")());
    nb::list terms;
    double constant = 0.0;
    for (nb::handle kv : items) {
        nb::handle term = nb::handle(PyTuple_GetItem(kv.ptr(), 0));
        nb::handle value = nb::handle(PyTuple_GetItem(kv.ptr(), 1));
        if (!term.ptr() || !value.ptr()) throw nb::python_error();
        nb::object c = complex_(value);
        const Py_complex z = PyComplex_AsCComplex(c.ptr());
        if (z.real == -1.0 && PyErr_Occurred()) throw nb::python_error();
        if (!std::isfinite(z.real) || !std::isfinite(z.imag))
            throw nb::value_error(("the coefficient " + korvel::py::repr_of(value) + " of term " +
                                   korvel::py::repr_of(term) + " is not finite")
                                      .c_str());
        if (std::abs(z.imag) > kMaxImaginary)
            throw nb::value_error(
                ("DMRG takes real coefficients; the term " + korvel::py::repr_of(term) +
                 " has the coefficient " + korvel::py::repr_of(value) +
                 " (imaginary part beyond 1e-12)")
                    .c_str());
        if (length(term) == 0) {
            constant += z.real;
            continue;
        }
        std::string ops;
        nb::list sites;
        for (nb::handle ladder : as_list(term)) {
            nb::object dagger = item(ladder, 1);
            const long long d = as_int(dagger, "dagger");
            if (d != 0 && d != 1)
                throw nb::value_error(("dagger " + korvel::py::repr_of(dagger) + " in term " +
                                       korvel::py::repr_of(term) +
                                       " is neither 0 (annihilation) nor 1 (creation)")
                                          .c_str());
            ops += d == 1 ? 'C' : 'D';
            sites.append(item(ladder, 0));
        }
        terms.append(nb::make_tuple(nb::str(ops.c_str()), sites, z.real));
    }
    if (!std::isfinite(constant))
        throw nb::value_error("the constant term of the operator overflows to infinity");
    return nb::make_tuple(terms, constant);
}

// Imports block2's driver; RuntimeError chained to the import error when it is missing.
nb::object import_block2_driver() {
    try {
        return import("pyblock2.driver.core");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object cause = nb::borrow(e.value());
        nb::object err = nb::handle(PyExc_RuntimeError)(nb::str(kMissingBlock2));
        PyException_SetCause(err.ptr(), cause.inc_ref().ptr());  // also suppresses context
        PyException_SetContext(err.ptr(), cause.release().ptr());
        PyErr_SetObject(PyExc_RuntimeError, err.ptr());
        throw nb::python_error();
    }
}

void remove_tree(nb::handle path);
void sweep_all(nb::handle DMRGDriver, nb::handle SymmetryTypes, nb::handle scratch_dir,
               long long n_spinorb, long long n_elec, const std::optional<long long>& spin,
               long long n_threads, long long stack_mem, const std::vector<long long>& bond_dims,
               const std::vector<double>& noises, nb::handle terms, double constant,
               bool use_mpi, nb::handle mps_dir, std::optional<long long> seed,
               nb::list& points);

// The seed of block2's random generator when the caller names none: the random start
// state, and with it every energy of a truncated run, is then the same from run to run.
constexpr long long kDefaultDmrgSeed = 1;
// block2 seeds a 32-bit Mersenne twister; 0 asks it for a seed from the clock.
constexpr long long kMaxDmrgSeed = 4294967295LL;

// The seed argument: a number from 1 to 2^32 - 1, or None for a seed from the clock.
std::optional<long long> dmrg_seed(nb::handle seed_o) {
    const std::optional<long long> seed = as_opt_int(seed_o, "seed");
    if (seed && (*seed < 1 || *seed > kMaxDmrgSeed))
        throw nb::value_error(("seed must be from 1 to 4294967295 (or None for a seed from "
                               "the clock), got " + std::to_string(*seed))
                                  .c_str());
    return seed;
}

// The states a 2 S_z = spin can be asked of: spin of the parity of n_elec, with
// n_alpha = (n_elec + spin) / 2 and n_beta = (n_elec - spin) / 2 electrons each fitting
// the n_spinorb / 2 spatial orbitals (spin-orbital 2p spin up, 2p + 1 spin down).
void check_spin(long long spin, long long n_spinorb, long long n_elec) {
    const std::string what = "spin=" + std::to_string(spin) + " (2 S_z) with " +
                             std::to_string(n_elec) + " electrons in " +
                             std::to_string(n_spinorb) + " spin-orbitals";
    if (n_spinorb % 2 != 0)
        throw nb::value_error((what + ": spin needs an even number of spin-orbitals "
                                      "(2p spin up, 2p + 1 spin down)").c_str());
    const long long n_orb = n_spinorb / 2;
    if ((n_elec - spin) % 2 != 0 || spin > n_elec || -spin > n_elec ||
        (n_elec + spin) / 2 > n_orb || (n_elec - spin) / 2 > n_orb)
        throw nb::value_error(
            (what + " has no state: 2 S_z must have the parity of the electron number and "
                    "leave n_alpha = (n_elec + spin) / 2 and n_beta = (n_elec - spin) / 2 "
                    "between 0 and the " + std::to_string(n_orb) + " spatial orbitals")
                .c_str());
}

// The term list on spatial-orbital sites for block2's S_z symmetry: spin-orbital 2p is
// site p with 'c' / 'd' (spin up), 2p + 1 site p with 'C' / 'D' (spin down). A term with a
// non-zero coefficient that changes S_z is refused: the sweeps keep S_z fixed.
nb::list sz_terms(nb::handle terms) {
    nb::list out;
    for (nb::handle t : terms) {
        const std::string ops = nb::cast<std::string>(item(t, 0));
        nb::list sites = nb::borrow<nb::list>(item(t, 1));
        std::string sz_ops;
        nb::list sz_sites;
        long long change = 0;
        for (std::size_t k = 0; k < ops.size(); ++k) {
            const long long p = as_int(sites[k], "spin-orbital index");
            const bool up = p % 2 == 0, create = ops[k] == 'C';
            sz_ops += up ? (create ? 'c' : 'd') : (create ? 'C' : 'D');
            sz_sites.append(nb::int_(p / 2));
            change += (create ? 1 : -1) * (up ? 1 : -1);
        }
        if (change != 0 && nb::cast<double>(item(t, 2)) != 0.0)
            throw nb::value_error(("spin asks for a state of one S_z, which needs an operator "
                                   "that conserves S_z; the term " + ops + " on spin-orbitals " +
                                   nb::cast<std::string>(nb::str(sites)) + " changes it")
                                      .c_str());
        out.append(nb::make_tuple(nb::str(sz_ops.c_str()), sz_sites, item(t, 2)));
    }
    return out;
}

nb::list dmrg_solve(nb::object hamiltonian, nb::object n_spinorb_o, nb::object n_elec_o,
                    nb::object bond_dims_o, nb::object n_sweeps_o, nb::object spin_o,
                    nb::object stack_gb_o, nb::object n_threads_o, nb::object scratch_o,
                    nb::object mpi_o, nb::object mps_dir_o, nb::object seed_o) {
    // Nothing is converted, read or written before block2 is known to be there.
    nb::object core = import_block2_driver();
    nb::object DMRGDriver = core.attr("DMRGDriver");
    nb::object SymmetryTypes = core.attr("SymmetryTypes");

    // Arguments, all checked before any file is made or any block2 object is built.
    const long long n_spinorb = as_int(n_spinorb_o, "n_spinorb");
    const long long n_elec = as_int(n_elec_o, "n_elec");
    const long long n_sweeps = as_int(n_sweeps_o, "n_sweeps");
    const std::optional<long long> spin = as_opt_int(spin_o, "spin");
    const double stack_gb = as_float(stack_gb_o, "stack_gb");
    const long long n_threads = as_int(n_threads_o, "n_threads");
    const std::optional<long long> seed = dmrg_seed(seed_o);
    if (!scratch_o.is_none() && !PyUnicode_Check(scratch_o.ptr()))
        throw nb::type_error(
            ("scratch must be a string or None, not " + type_name_of(scratch_o)).c_str());
    if (!mps_dir_o.is_none() && !PyUnicode_Check(mps_dir_o.ptr()))
        throw nb::type_error(
            ("mps_dir must be a string or None, not " + type_name_of(mps_dir_o)).c_str());
    const bool use_mpi = truthy(mpi_o);
    if (use_mpi && !PyObject_HasAttrString(import("block2").attr("sgf").ptr(), "MPICommunicator"))
        throw std::runtime_error(
            "DMRG over MPI needs block2's MPI build (block2-mpi), not the serial block2 "
            "\xe2\x80\x94 install it over the serial one with `pip install korvel[mpi]` and "
            "`pip install --force-reinstall --no-deps block2-mpi`");
    if (!PyObject_HasAttrString(bond_dims_o.ptr(), "__iter__") ||
        PyUnicode_Check(bond_dims_o.ptr()))
        throw nb::type_error(("bond_dims must be a sequence of integers, not " +
                              type_name_of(bond_dims_o))
                                 .c_str());
    std::vector<long long> bond_dims;
    for (nb::handle d : as_list(bond_dims_o)) {
        const long long D = as_int(d, "bond_dims entry");
        if (D < 1)
            throw nb::value_error(
                ("bond dimensions must be at least 1, got " + std::to_string(D)).c_str());
        bond_dims.push_back(D);
    }
    if (bond_dims.empty()) throw nb::index_error("bond_dims holds no bond dimension");

    check_sector(n_spinorb, n_elec);
    if (n_sweeps > kMaxSweeps)
        throw nb::value_error(("n_sweeps must be at most " + std::to_string(kMaxSweeps) +
                               ", got " + std::to_string(n_sweeps))
                                  .c_str());
    check_threads(n_threads);
    const double stack_bytes = stack_bytes_of(stack_gb);
    const long long stack_mem = static_cast<long long>(stack_bytes);  // integer part
    check_dmrg_sizes(n_spinorb, bond_dims, stack_bytes);
    if (spin) check_spin(*spin, n_spinorb, n_elec);
    const std::vector<double> noises = korvel::engine::dmrg_noise_schedule(n_sweeps);

    nb::tuple converted = fermionop_to_block2_terms(hamiltonian);
    nb::list terms = nb::borrow<nb::list>(converted[0]);
    const double constant = nb::cast<double>(converted[1]);

    // block2 takes down the process on a term outside the lattice, and on an operator
    // whose every term changes the electron number (its sweeps work inside one
    // electron-number sector); both are refused here. Terms with a zero coefficient
    // never reach the matrix-product operator.
    bool any_nonzero = false;
    for (nb::handle t : terms) {
        nb::list sites = nb::borrow<nb::list>(item(t, 1));
        for (nb::handle s : sites) {
            const long long p = as_int(s, "spin-orbital index");
            if (p < 0 || p >= n_spinorb)
                throw nb::value_error(
                    ("the operator acts on spin-orbital " + std::to_string(p) +
                     ", outside 0.." + std::to_string(n_spinorb - 1) + " (n_spinorb=" +
                     std::to_string(n_spinorb) + ")")
                        .c_str());
        }
        if (nb::cast<double>(item(t, 2)) == 0.0) continue;
        any_nonzero = true;
        const std::string ops = nb::cast<std::string>(item(t, 0));
        const auto n_create = std::count(ops.begin(), ops.end(), 'C');
        const auto n_annihilate = static_cast<std::ptrdiff_t>(ops.size()) - n_create;
        if (n_create != n_annihilate)
            throw nb::value_error(
                ("DMRG needs an operator that conserves the electron number; the term " + ops +
                 " on spin-orbitals " + nb::cast<std::string>(nb::str(sites)) + " has " +
                 std::to_string(n_create) + " creation and " + std::to_string(n_annihilate) +
                 " annihilation operators")
                    .c_str());
    }

    // With spin the sites are spatial orbitals (see sweep_all); an operator that changes
    // S_z is refused here, before any file is made.
    if (spin) terms = sz_terms(terms);

    nb::list points;
    if (!any_nonzero) {
        // block2 refuses an expression without a non-zero term ("Empty Hamiltonian").
        // The zero operator has energy 0 in every sector, so each point is the constant
        // alone; no sweep ran, so there is no discarded weight to report.
        for (long long D : bond_dims) {
            nb::dict point;
            point["D"] = nb::int_(D);
            point["energy"] = 0.0 + constant;
            point["discarded_weight"] = kNaN;
            points.append(point);
        }
        return points;
    }

    // A scratch directory made here is known to no caller: it is removed when the call
    // ends, however it ends. One the caller named is left as it is.
    const bool own_scratch = !truthy(scratch_o);
    nb::object scratch_dir =
        own_scratch ? import("tempfile").attr("mkdtemp")("prefix"_a = "korvel_b2_") : scratch_o;
    try {
        sweep_all(DMRGDriver, SymmetryTypes, scratch_dir, n_spinorb, n_elec, spin,
                  n_threads, stack_mem, bond_dims, noises, terms, constant, use_mpi, mps_dir_o,
                  seed, points);
    } catch (...) {
        if (own_scratch) remove_tree(scratch_dir);
        throw;
    }
    if (own_scratch) remove_tree(scratch_dir);
    return points;
}

// Removes a directory tree, ignoring every error (it only tidies up).
void remove_tree(nb::handle path) {
    try {
        import("shutil").attr("rmtree")(path, "ignore_errors"_a = true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// The block2 part of dmrg_solve: driver, matrix-product operator, one random state and
// the sweeps at each bond dimension; `terms` are on the sites of the symmetry used. Every block2 object lives in this scope only, so
// that none holds the scratch directory once it returns.
//
// Without spin the sites are the spin-orbitals (general fermion symmetry, the electron
// number only): the lowest state of any S_z. With spin they are the spatial orbitals under
// block2's S_z symmetry: the lowest state of that 2 S_z.
void sweep_all(nb::handle DMRGDriver, nb::handle SymmetryTypes, nb::handle scratch_dir,
               long long n_spinorb, long long n_elec, const std::optional<long long>& spin,
               long long n_threads, long long stack_mem, const std::vector<long long>& bond_dims,
               const std::vector<double>& noises, nb::handle terms, double constant,
               bool use_mpi, nb::handle mps_dir, std::optional<long long> seed,
               nb::list& points) {
    const std::size_t L = noises.size();
    nb::dict driver_kw;
    driver_kw["scratch"] = scratch_dir;
    driver_kw["symm_type"] = SymmetryTypes.attr(spin ? "SZ" : "SGF");
    driver_kw["n_threads"] = nb::int_(n_threads);
    driver_kw["stack_mem"] = nb::int_(stack_mem);
    if (use_mpi) {
        // Distributed run: every rank of the MPI job calls this with the same operator.
        // The sweeps read the state from mps_dir, which all ranks must see.
        driver_kw["mpi"] = true;
        if (!mps_dir.is_none()) driver_kw["mps_dir"] = mps_dir;
    }
    nb::object driver = DMRGDriver(**driver_kw);
    driver.attr("initialize_system")("n_sites"_a = nb::int_(spin ? n_spinorb / 2 : n_spinorb),
                                     "n_elec"_a = nb::int_(n_elec),
                                     "spin"_a = nb::int_(spin ? *spin : n_elec));

    nb::object builder = driver.attr("expr_builder")();
    nb::object add_term = builder.attr("add_term");
    if (!use_mpi) {
        for (nb::handle t : terms) add_term(item(t, 0), item(t, 1), item(t, 2));
    } else {
        // The distributed operator is the sum of the ranks' parts: the non-zero terms
        // are dealt out in turn, or, when there are fewer of them than ranks, every
        // rank holds all of them scaled by 1/size.
        nb::object comm = driver.attr("mpi");
        const long long rank = nb::cast<long long>(comm.attr("rank"));
        const long long size = nb::cast<long long>(comm.attr("size"));
        long long n_nonzero = 0;
        for (nb::handle t : terms) n_nonzero += nb::cast<double>(item(t, 2)) != 0.0;
        long long k = 0;
        for (nb::handle t : terms) {
            const double c = nb::cast<double>(item(t, 2));
            if (c == 0.0) continue;
            if (n_nonzero < size)
                add_term(item(t, 0), item(t, 1), nb::float_(c / static_cast<double>(size)));
            else if (k % size == rank)
                add_term(item(t, 0), item(t, 1), item(t, 2));
            ++k;
        }
    }
    nb::object expr = builder.attr("finalize")("adjust_order"_a = true,
                                               "fermionic_ops"_a = spin ? "cdCD" : "CD");
    nb::object mpo = driver.attr("get_mpo")(expr, "iprint"_a = 0);

    // One random state, drawn at the first bond dimension; each further bond dimension
    // continues from the state the previous one left (warm start). A truncated run ends
    // in a state that depends on where it started, so the generator is seeded first.
    if (seed)
        driver.attr("bw").attr("b").attr("Random").attr("rand_seed")(nb::int_(*seed));
    nb::object ket = driver.attr("get_random_mps")("tag"_a = "KET",
                                                   "bond_dim"_a = nb::int_(bond_dims[0]),
                                                   "nroots"_a = 1);

    nb::list noise_list;
    for (double x : noises) noise_list.append(x);
    nb::list thrds;
    for (std::size_t i = 0; i < L; ++i) thrds.append(1e-10);

    for (long long D : bond_dims) {
        nb::list dims;
        for (std::size_t i = 0; i < L; ++i) dims.append(nb::int_(D));
        nb::object energy = driver.attr("dmrg")(
            mpo, ket, "n_sweeps"_a = nb::int_(static_cast<long long>(L)), "bond_dims"_a = dims,
            "noises"_a = noise_list, "thrds"_a = thrds, "cutoff"_a = 1e-16, "iprint"_a = 0);
        const double e = to_double(energy) + constant;

        // Discarded weight of the last sweep; an unreadable history is reported as NaN.
        double dw = kNaN;
        try {
            nb::list results = as_list(driver.attr("get_dmrg_results")());
            if (nb::len(results) != 3)
                throw nb::value_error("expected (bond_dims, discarded_weights, energies)");
            nb::object dws = results[1];
            if (length(dws) > 0) dw = to_double(item(dws, -1));
        } catch (nb::python_error& err) {
            if (!err.matches(PyExc_Exception)) throw;
            dw = kNaN;
        }

        nb::dict point;
        point["D"] = nb::int_(D);
        point["energy"] = e;
        point["discarded_weight"] = dw;
        points.append(point);
    }
}

// A run whose discarded weight is below this truncated nothing that matters: its
// energy is converged in the bond dimension and nothing is left to extrapolate.
constexpr double kConvergedWeight = 1e-12;
// The extrapolation fits the runs of the largest bond dimensions only: the energy is
// linear in the discarded weight only once the weight is small.
constexpr std::size_t kFitPoints = 3;
// An intercept this far (Eh) above the lowest energy is taken as equal to it (rounding
// of a fit through energies that no longer change).
constexpr double kFitAboveLowest = 1e-10;

nb::dict dmrg_extrapolate(nb::object points) {
    nb::object np = import("numpy");
    nb::object float_ = import("builtins").attr("float");
    nb::list items = as_list(points);
    const std::size_t n = items.size();
    std::vector<double> dw(n), es(n);
    std::vector<nb::object> dims(n);
    bool all_dims = true;
    for (std::size_t k = 0; k < n; ++k) dw[k] = to_double(float_(item(items[k], nb::str("discarded_weight"))));
    for (std::size_t k = 0; k < n; ++k) es[k] = to_double(float_(item(items[k], nb::str("energy"))));
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* d = PyMapping_Check(items[k].ptr()) ? PyObject_GetItem(items[k].ptr(), nb::str("D").ptr())
                                                       : nullptr;
        if (d) {
            dims[k] = nb::steal(d);
        } else {
            PyErr_Clear();
            dims[k] = nb::none();
        }
        all_dims = all_dims && PyNumber_Check(dims[k].ptr());
    }

    double lowest = kNaN;
    for (std::size_t k = 0; k < n; ++k)
        if (std::isfinite(es[k]) && !(es[k] >= lowest)) lowest = es[k];

    double extrapolated = lowest, ci95 = 0.0, slope = 0.0;
    bool converged = false;
    nb::list fitted;
    nb::object converged_dim = nb::none();
    nb::object note = nb::none();

    // A converged run: the lowest energy among the runs with a weight below 1e-12.
    std::ptrdiff_t best = -1;
    for (std::size_t k = 0; k < n; ++k)
        if (std::isfinite(dw[k]) && dw[k] >= 0.0 && dw[k] < kConvergedWeight &&
            std::isfinite(es[k]) && (best < 0 || es[k] < es[best]))
            best = static_cast<std::ptrdiff_t>(k);
    if (best >= 0) {
        // Reported as it is: no line is fitted, so no run is listed as fitted.
        converged = true;
        extrapolated = es[best];
        converged_dim = dims[best];
    } else {
        // Usable runs: a finite, positive weight and a finite energy; the largest bond
        // dimensions first (the smallest weights when the runs carry no D).
        std::vector<std::size_t> usable;
        for (std::size_t k = 0; k < n; ++k)
            if (std::isfinite(dw[k]) && dw[k] > 0.0 && std::isfinite(es[k])) usable.push_back(k);
        std::stable_sort(usable.begin(), usable.end(), [&](std::size_t a, std::size_t b) {
            if (all_dims) {
                int gt = PyObject_RichCompareBool(dims[a].ptr(), dims[b].ptr(), Py_GT);
                if (gt < 0) throw nb::python_error();
                return gt == 1;
            }
            return dw[a] < dw[b];
        });
        if (usable.size() > kFitPoints) usable.resize(kFitPoints);
        std::sort(usable.begin(), usable.end());  // back in the caller's order
        nb::list x, y;
        std::vector<double> weights;
        for (std::size_t k : usable) {
            x.append(dw[k]);
            y.append(es[k]);
            weights.push_back(dw[k]);
        }
        std::sort(weights.begin(), weights.end());
        const bool two_weights =
            weights.size() >= 2 && std::adjacent_find(weights.begin(), weights.end(),
                                                      std::not_equal_to<double>()) != weights.end();
        // A line needs two different weights; runs that all share one weight leave the
        // slope undefined, and the lowest energy is reported as without a fit.
        if (two_weights) {
            nb::object coef;
            if (usable.size() == 2) {
                // The line through two points is exact and leaves no residual to
                // estimate the intercept's uncertainty from: report it as unknown.
                coef = np.attr("polyfit")(x, y, 1);
                ci95 = kNaN;
            } else {
                // The intercept's standard error comes from the residual of n points
                // with n - 2 degrees of freedom: its 95 % interval takes Student's t
                // quantile (12.7 for three points), not the normal one.
                nb::object fit = np.attr("polyfit")(x, y, 1, "cov"_a = true);
                coef = item(fit, 0);
                nb::object cov = item(fit, 1);
                const double dof = static_cast<double>(usable.size() - 2);
                const double t = to_double(
                    import("scipy.stats").attr("t").attr("ppf")(0.975, dof));
                ci95 = t * to_double(np.attr("sqrt")(item(cov, nb::make_tuple(1, 1))));
            }
            slope = to_double(item(coef, 0));
            extrapolated = to_double(item(coef, 1));
            for (std::size_t k : usable) fitted.append(dims[k]);
            // Each variational energy is an upper bound of the exact one, and the energy
            // falls with the discarded weight: a line that rises towards zero weight, or
            // an intercept above the lowest energy computed, goes the wrong way (the runs
            // are not yet where the energy is linear in the weight). It is no estimate:
            // the lowest variational energy stands, and the note says why.
            if (slope < 0.0 || extrapolated > lowest + kFitAboveLowest) {
                char text[320];
                std::snprintf(text, sizeof text,
                              "the linear fit in the discarded weight goes the wrong way (it "
                              "gives %.10f Eh at zero weight, slope %.4g, against the lowest "
                              "variational energy %.10f Eh, an upper bound of the exact "
                              "energy); the lowest variational energy is reported",
                              extrapolated, slope, lowest);
                note = nb::str(text);
                extrapolated = lowest;
                ci95 = kNaN;
                slope = 0.0;
                fitted = nb::list();
            }
        }
    }

    nb::dict info;
    info["extrapolated_energy"] = extrapolated;
    info["ci95_halfwidth"] = ci95;
    info["slope"] = slope;
    info["lowest_computed"] = lowest;
    info["points"] = points;
    info["fitted_bond_dims"] = fitted;
    info["converged"] = nb::bool_(converged);
    info["converged_bond_dim"] = converged_dim;
    info["note"] = note;
    return info;
}

// The energy a DMRG calculation reports, and whether it is an extrapolation: the
// extrapolated energy when it is asked for and there is more than one run, else the
// lowest variational energy. A converged run is reported as it is, and that is no
// extrapolation. dmrg_energy and the command line both take it from here.
nb::tuple reported_energy(nb::object info, nb::object extrapolate) {
    // a fit that went the wrong way carries a note and is not reported as extrapolated
    PyObject* note = PyMapping_Check(info.ptr()) ? PyObject_GetItem(info.ptr(), nb::str("note").ptr())
                                                  : nullptr;
    if (!note && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();  // an info mapping without a note: the fit stands
    }
    const bool rejected = note && note != Py_None;
    Py_XDECREF(note);
    const bool use_fit =
        truthy(extrapolate) && length(item(info, nb::str("points"))) > 1 && !rejected;
    nb::object e = item(info, nb::str(use_fit ? "extrapolated_energy" : "lowest_computed"));
    const bool converged = PyMapping_Check(info.ptr()) &&
                           PyMapping_HasKeyString(info.ptr(), "converged") &&
                           truthy(item(info, nb::str("converged")));
    return nb::make_tuple(e, nb::bool_(use_fit && !converged));
}

nb::object dmrg_energy(nb::object hamiltonian, nb::object n_spinorb, nb::object n_elec,
                       nb::object bond_dims, nb::object n_sweeps, nb::object spin,
                       nb::object extrapolate, nb::object stack_gb_o, nb::object n_threads,
                       nb::object return_info, nb::object seed) {
    const double stack_gb = as_float(stack_gb_o, "stack_gb");
    nb::object module = import(module_name().c_str());
    nb::object points = module.attr("dmrg_solve")(
        hamiltonian, n_spinorb, n_elec, "bond_dims"_a = bond_dims, "n_sweeps"_a = n_sweeps,
        "spin"_a = spin, "stack_gb"_a = stack_gb, "n_threads"_a = n_threads, "seed"_a = seed);
    nb::object info = module.attr("dmrg_extrapolate")(points);
    nb::object e = reported_energy(info, extrapolate)[0];
    if (truthy(return_info)) return nb::make_tuple(e, info);
    return e;
}

}  // namespace

NB_MODULE(analysis, m) {
    using korvel::py::def;
    module_name() = nb::cast<std::string>(m.attr("__name__"));
    m.attr("Any") = import("typing").attr("Any");

    def(m, "_as_fermion_operator", "(hamiltonian: Any)",
        "The operator as an OpenFermion FermionOperator: a FermionOp mapping is copied into\n"
        "a new operator with complex coefficients; anything else is returned as it is.",
        &as_fermion_operator, nb::arg("hamiltonian").none());

    def(m, "fci_energy", "(hamiltonian: Any, n_spinorb: int, n_elec: int) -> float",
        "Exact lowest eigenvalue of the operator among the states of n_elec electrons in\n"
        "n_spinorb spin-orbitals (all spin projections together; S_z blocks solved one by\n"
        "one when the operator keeps S_z). A non-Hermitian operator gives the real part of\n"
        "its eigenvalue of smallest real part.",
        &fci_energy, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none());

    def(m, "lcu_one_norm", "(hamiltonian: Any) -> float",
        "Pauli LCU 1-norm: the sum of |c_P| over the Jordan-Wigner Pauli strings P of the\n"
        "operator, the identity excluded (from its Majorana monomials, one per string).",
        &lcu_one_norm, nb::arg("hamiltonian").none());
    def(m, "_number_diagonal_terms", "(hamiltonian: Any) -> dict",
        "The terms of the operator with as many creators as annihilators on every\n"
        "spin-orbital (the only ones with diagonal elements between determinants), as a\n"
        "dict in the operator's order; keys that are not (index, dagger) pairs are kept.",
        &number_diagonal_terms, nb::arg("hamiltonian"));
    m.attr("SECTOR_MAX_SPINORB") = kSectorMaxSpinOrbitals;
    def(m, "_lcu_one_norm_expanded", "(hamiltonian: Any, *, plain: bool = False) -> float",
        "The Pauli LCU 1-norm by the expansion whose Majorana monomials are keyed by their\n"
        "index lists, for any number of spin-orbitals (``plain``: the literal, slow route).\n"
        "For checks; lcu_one_norm uses it past 64 spin-orbitals.",
        &lcu_one_norm_expanded, nb::arg("hamiltonian"), nb::kw_only(), nb::arg("plain") = false);

    def(m, "_sector_lowest", "(hamiltonian: Any, n_spinorb: int, n_elec: int, general: bool = False)",
        "(real part, imaginary part, solver) of the lowest eigenvalue in the n_elec sector:\n"
        "symmetric solvers for a Hermitian matrix, general ones (smallest real part) with\n"
        "general or for a non-Hermitian matrix; solver names the eigensolvers that ran.",
        &sector_lowest_py, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(),
        nb::arg("n_elec").none(), nb::arg("general").none() = false);

    def(m, "_sector_matrices", "(hamiltonian: Any, n_spinorb: int, n_elec: int) -> list",
        "The sector's matrices as [(n_alpha, scipy.sparse.csr_matrix)]: one per S_z block\n"
        "(n_alpha spin-up electrons on the even spin-orbitals) when the operator keeps S_z,\n"
        "else [(None, whole sector)]. Determinants in increasing order of their bit strings.",
        &sector_matrices, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(),
        nb::arg("n_elec").none());

    def(m, "_sector_matrix_plain", "(hamiltonian: Any, n_spinorb: int, n_elec: int, n_alpha: int | None = None)",
        "Dense matrix of the same space as _sector_matrices, built one determinant and one\n"
        "ladder operator at a time (at most 20 spin-orbitals).",
        &sector_matrix_plain, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(),
        nb::arg("n_elec").none(), nb::arg("n_alpha").none() = nb::none());

    def(m, "_fermionop_to_block2_terms", "(hamiltonian: Any)",
        "(terms, constant) for block2's expression builder: one (op_string, sites, coeff)\n"
        "triple per non-identity term ('C' creation, 'D' annihilation, real part of the\n"
        "coefficient), and the real part of the identity coefficient.",
        &fermionop_to_block2_terms, nb::arg("hamiltonian").none());

    def(m, "dmrg_solve",
        "(hamiltonian: Any, n_spinorb: int, n_elec: int, *, bond_dims=(250,), "
        "n_sweeps: int = 16, spin: int | None = None, stack_gb: float = 4.0, "
        "n_threads: int = 4, scratch: str | None = None, mpi: bool = False, "
        "mps_dir: str | None = None, seed: int | None = 1)",
        "Ground state by DMRG (block2, spin-orbital sites) at each bond dimension in turn,\n"
        "each continuing from the state of the previous one. spin None: the lowest state of\n"
        "n_elec electrons of any S_z; spin = 2 S_z: the lowest state of that S_z (block2's\n"
        "S_z symmetry on the spatial orbitals, spin-orbital 2p spin up, 2p + 1 spin down),\n"
        "for an operator that conserves S_z; a spin no state of n_elec electrons has, or an\n"
        "operator that changes S_z, is a ValueError. Returns one point\n"
        "{'D', 'energy', 'discarded_weight'} per bond dimension. Without a scratch\n"
        "directory a fresh temporary one (prefix 'korvel_b2_') is made and removed when the\n"
        "call ends; a named one is left as it is. Coefficients must be real (imaginary parts\n"
        "up to 1e-12) and finite; sizes are checked against the DMRG stack before block2\n"
        "starts. With mpi (block2's MPI build, every rank calling with the same arguments)\n"
        "the operator is distributed over the ranks; mps_dir is then a folder all ranks see.\n"
        "seed (1 to 2^32 - 1) seeds block2's random start state, so that a truncated run\n"
        "gives the same energy every time; None takes a seed from the clock.",
        &dmrg_solve, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none(),
        nb::kw_only(), nb::arg("bond_dims").none() = nb::make_tuple(250), nb::arg("n_sweeps").none() = 16,
        nb::arg("spin").none() = nb::none(), nb::arg("stack_gb").none() = 4.0, nb::arg("n_threads").none() = 4,
        nb::arg("scratch").none() = nb::none(), nb::arg("mpi").none() = false,
        nb::arg("mps_dir").none() = nb::none(), nb::arg("seed").none() = kDefaultDmrgSeed);

    def(m, "_check_dmrg_resources",
        "(n_spinorb: int, bond_dims, stack_gb: float, n_threads: int) -> None",
        "The resource checks of dmrg_solve, for a caller that knows the sizes before the\n"
        "operator (the input parser): the threads can be started (ValueError naming how\n"
        "many could), the stack is at least one MiB and within this machine's memory, and\n"
        "each bond dimension's two-site wavefunction fits the stack (MemoryError).",
        [](nb::object n_spinorb, nb::object bond_dims_o, nb::object stack_gb, nb::object n_threads) {
            std::vector<long long> bond_dims;
            for (nb::handle d : as_list(bond_dims_o)) bond_dims.push_back(as_int(d, "bond_dims entry"));
            check_threads(as_int(n_threads, "n_threads"));
            check_dmrg_sizes(as_int(n_spinorb, "n_spinorb"), bond_dims,
                             stack_bytes_of(as_float(stack_gb, "stack_gb")));
        },
        nb::arg("n_spinorb"), nb::arg("bond_dims"), nb::arg("stack_gb"), nb::arg("n_threads"));

    def(m, "dmrg_extrapolate", "(points) -> dict",
        "DMRG energy extrapolated to zero discarded weight.\n\n"
        "A run whose discarded weight is below 1e-12 is converged: its energy is returned\n"
        "with a zero half-width. Otherwise a straight line in the discarded weight is fitted\n"
        "to the usable runs (finite positive weight, finite energy) of the three largest\n"
        "bond dimensions; the 95 % half-width of its intercept takes Student's t quantile\n"
        "for n - 2 degrees of freedom. Returns extrapolated_energy, ci95_halfwidth, slope,\n"
        "lowest_computed, points, fitted_bond_dims (the D of each run the line was fitted\n"
        "to; none for a converged run), converged, converged_bond_dim (the D of the\n"
        "converged run, else None) and note. With two fitted runs the line passes through\n"
        "both and the half-width is NaN; with fewer, or when all share one weight, the\n"
        "lowest energy is returned. A fit that goes the wrong way (a negative slope, or\n"
        "an intercept above the lowest variational energy, which bounds the exact energy\n"
        "from above) is no estimate: the lowest energy is returned with a NaN half-width and\n"
        "``note`` says why (None otherwise).",
        &dmrg_extrapolate, nb::arg("points").none());

    def(m, "_dmrg_reported_energy", "(info: dict, extrapolate: bool) -> tuple[float, bool]",
        "(energy, extrapolated) for a dmrg_extrapolate result: the extrapolated energy when\n"
        "extrapolate is true, there is more than one run and the fit stands (no ``note``),\n"
        "else the lowest computed one; extrapolated is False for a converged run, reported\n"
        "as it is.",
        &reported_energy, nb::arg("info").none(), nb::arg("extrapolate").none());

    def(m, "dmrg_energy",
        "(hamiltonian: Any, n_spinorb: int, n_elec: int, *, bond_dims=(250,), "
        "n_sweeps: int = 16, spin: int | None = None, extrapolate: bool = False, "
        "stack_gb: float = 4.0, n_threads: int = 4, return_info: bool = False, "
        "seed: int | None = 1)",
        "DMRG ground energy (of the 2 S_z = spin states with spin, see dmrg_solve): the\n"
        "lowest variational energy over the bond dimensions, or, with extrapolate and more\n"
        "than one bond dimension, the zero-discarded-weight extrapolation unless that fit\n"
        "goes the wrong way (see dmrg_extrapolate). With return_info, the pair (energy,\n"
        "extrapolation info). seed as for dmrg_solve.",
        &dmrg_energy, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none(),
        nb::kw_only(), nb::arg("bond_dims").none() = nb::make_tuple(250), nb::arg("n_sweeps").none() = 16,
        nb::arg("spin").none() = nb::none(), nb::arg("extrapolate").none() = false,
        nb::arg("stack_gb").none() = 4.0, nb::arg("n_threads").none() = 4, nb::arg("return_info").none() = false,
        nb::arg("seed").none() = kDefaultDmrgSeed);
}
