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

#include "engine/dmrg_schedule.h"

#include <algorithm>
#include <functional>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

namespace nb = nanobind;
using namespace nb::literals;
using korvel::py::as_float;
using korvel::py::as_int;
using korvel::py::as_opt_int;
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

// ---------------------------------------------------------------------------
// Operator coercion

// A dict (or subclass) becomes a FermionOperator with complex coefficients; anything
// else, a FermionOperator included, is returned as it is.
nb::object as_fermion_operator(nb::object hamiltonian) {
    if (!PyDict_Check(hamiltonian.ptr())) return hamiltonian;
    nb::object op = import("openfermion").attr("FermionOperator")();
    nb::object complex_ = import("builtins").attr("complex");
    nb::dict terms;
    for (auto kv : nb::borrow<nb::dict>(hamiltonian)) terms[kv.first] = complex_(kv.second);
    op.attr("terms") = terms;
    return op;
}

// Every spin-orbital index of the operator must name one of the n_spinorb modes; the
// sector matrix and the block2 lattice have exactly that many. Objects without a
// `terms` dict are left to the library that receives them.
void check_mode_indices(nb::handle fo, long long n_spinorb) {
    if (!PyObject_HasAttrString(fo.ptr(), "terms")) return;
    nb::object terms = fo.attr("terms");
    if (!PyDict_Check(terms.ptr())) return;
    for (auto kv : nb::borrow<nb::dict>(terms)) {
        for (nb::handle ladder : kv.first) {
            long long p = as_int(item(ladder, 0), "spin-orbital index");
            if (p < 0 || p >= n_spinorb)
                throw nb::value_error(
                    ("the operator acts on spin-orbital " + std::to_string(p) +
                     ", outside 0.." + std::to_string(n_spinorb - 1) + " (n_spinorb=" +
                     std::to_string(n_spinorb) + ")")
                        .c_str());
        }
    }
}

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

// ---------------------------------------------------------------------------
// Exact sector energy and LCU 1-norm

// Sectors up to this dimension are diagonalised densely: ARPACK's Lanczos needs more
// basis vectors than wanted eigenvalues, which a one- or two-determinant sector
// cannot supply reliably.
constexpr Py_ssize_t kDenseSectorMaxDim = 2;
constexpr unsigned kLanczosSeed = 20240611u;

double fci_energy(nb::object hamiltonian, nb::object n_spinorb_o, nb::object n_elec_o) {
    const long long n_spinorb = as_int(n_spinorb_o, "n_spinorb");
    const long long n_elec = as_int(n_elec_o, "n_elec");
    check_sector(n_spinorb, n_elec);
    nb::object fo = as_fermion_operator(hamiltonian);
    check_mode_indices(fo, n_spinorb);

    nb::object sector_operator =
        import("openfermion.linalg").attr("get_number_preserving_sparse_operator");
    nb::object sparse = sector_operator(fo, nb::int_(n_spinorb), nb::int_(n_elec),
                                        "spin_preserving"_a = false);

    const Py_ssize_t dim = nb::cast<Py_ssize_t>(item(sparse.attr("shape"), 0));
    nb::object lowest;
    if (dim <= kDenseSectorMaxDim) {
        nb::object eigvalsh = import("numpy.linalg").attr("eigvalsh");
        lowest = item(eigvalsh(sparse.attr("toarray")()), 0);
    } else {
        // ARPACK starts from a random vector of its own, drawn afresh at every call, so
        // the last digits would change from call to call; a start vector from a fixed
        // seed keeps the result reproducible and generic (not orthogonal to the ground
        // state by any symmetry of the operator).
        nb::object rng = import("numpy.random").attr("default_rng")(kLanczosSeed);
        nb::object v0 = rng.attr("standard_normal")(nb::int_(dim));
        nb::object eigsh = import("scipy.sparse.linalg").attr("eigsh");
        lowest = item(eigsh(sparse, "k"_a = 1, "which"_a = "SA", "return_eigenvectors"_a = false,
                            "v0"_a = v0),
                      0);
    }
    return to_double(lowest);
}

double lcu_one_norm(nb::object hamiltonian) {
    nb::object fo = as_fermion_operator(hamiltonian);
    nb::object normal_ordered = import("openfermion").attr("normal_ordered");
    nb::object jordan_wigner = import("openfermion.transforms").attr("jordan_wigner");
    nb::object qop = jordan_wigner(normal_ordered(fo));

    // lambda = sum over Pauli strings P != I of |c_P|, accumulated in the mapping's order.
    nb::object total = nb::int_(0);
    for (auto kv : nb::borrow<nb::dict>(qop.attr("terms"))) {
        if (length(kv.first) == 0) continue;
        PyObject* a = PyNumber_Absolute(kv.second.ptr());
        if (!a) throw nb::python_error();
        PyObject* s = PyNumber_Add(total.ptr(), a);
        Py_DECREF(a);
        if (!s) throw nb::python_error();
        total = nb::steal(s);
    }
    return to_double(total);
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
               long long n_spinorb, long long n_elec, long long spin_value, long long n_threads,
               long long stack_mem, const std::vector<long long>& bond_dims,
               const std::vector<double>& noises, nb::handle terms, double constant,
               bool use_mpi, nb::handle mps_dir, nb::list& points);

nb::list dmrg_solve(nb::object hamiltonian, nb::object n_spinorb_o, nb::object n_elec_o,
                    nb::object bond_dims_o, nb::object n_sweeps_o, nb::object spin_o,
                    nb::object stack_gb_o, nb::object n_threads_o, nb::object scratch_o,
                    nb::object mpi_o, nb::object mps_dir_o) {
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
            "\xe2\x80\x94 install with `pip install korvel[mpi]` in an environment of its own");
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
    if (n_threads < 1)
        throw nb::value_error(
            ("n_threads must be at least 1, got " + std::to_string(n_threads)).c_str());
    const double stack_bytes = stack_gb * kBytesPerGiB;
    if (!std::isfinite(stack_gb) || stack_bytes < kMinStackBytes || stack_bytes >= 9.2e18)
        throw nb::value_error(
            ("stack_gb must be a finite size in GiB of at least 1/1024 (one MiB of block2 "
             "stack), got " + nb::cast<std::string>(nb::repr(nb::float_(stack_gb))))
                .c_str());
    const long long stack_mem = static_cast<long long>(stack_bytes);  // integer part
    check_dmrg_sizes(n_spinorb, bond_dims, stack_bytes);
    const long long spin_value = spin ? *spin : n_elec;
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
        sweep_all(DMRGDriver, SymmetryTypes, scratch_dir, n_spinorb, n_elec, spin_value,
                  n_threads, stack_mem, bond_dims, noises, terms, constant, use_mpi, mps_dir_o,
                  points);
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
// the sweeps at each bond dimension. Every block2 object lives in this scope only, so
// that none holds the scratch directory once it returns.
void sweep_all(nb::handle DMRGDriver, nb::handle SymmetryTypes, nb::handle scratch_dir,
               long long n_spinorb, long long n_elec, long long spin_value, long long n_threads,
               long long stack_mem, const std::vector<long long>& bond_dims,
               const std::vector<double>& noises, nb::handle terms, double constant,
               bool use_mpi, nb::handle mps_dir, nb::list& points) {
    const std::size_t L = noises.size();
    nb::dict driver_kw;
    driver_kw["scratch"] = scratch_dir;
    driver_kw["symm_type"] = SymmetryTypes.attr("SGF");
    driver_kw["n_threads"] = nb::int_(n_threads);
    driver_kw["stack_mem"] = nb::int_(stack_mem);
    if (use_mpi) {
        // Distributed run: every rank of the MPI job calls this with the same operator.
        // The sweeps read the state from mps_dir, which all ranks must see.
        driver_kw["mpi"] = true;
        if (!mps_dir.is_none()) driver_kw["mps_dir"] = mps_dir;
    }
    nb::object driver = DMRGDriver(**driver_kw);
    driver.attr("initialize_system")("n_sites"_a = nb::int_(n_spinorb),
                                     "n_elec"_a = nb::int_(n_elec),
                                     "spin"_a = nb::int_(spin_value));

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
    nb::object expr = builder.attr("finalize")("adjust_order"_a = true, "fermionic_ops"_a = "CD");
    nb::object mpo = driver.attr("get_mpo")(expr, "iprint"_a = 0);

    // One random state, drawn at the first bond dimension; each further bond dimension
    // continues from the state the previous one left (warm start).
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

    // A converged run: the lowest energy among the runs with a weight below 1e-12.
    std::ptrdiff_t best = -1;
    for (std::size_t k = 0; k < n; ++k)
        if (std::isfinite(dw[k]) && dw[k] >= 0.0 && dw[k] < kConvergedWeight &&
            std::isfinite(es[k]) && (best < 0 || es[k] < es[best]))
            best = static_cast<std::ptrdiff_t>(k);
    if (best >= 0) {
        converged = true;
        extrapolated = es[best];
        fitted.append(dims[best]);
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
                nb::object fit = np.attr("polyfit")(x, y, 1, "cov"_a = true);
                coef = item(fit, 0);
                nb::object cov = item(fit, 1);
                ci95 = 1.96 * to_double(np.attr("sqrt")(item(cov, nb::make_tuple(1, 1))));
            }
            slope = to_double(item(coef, 0));
            extrapolated = to_double(item(coef, 1));
            for (std::size_t k : usable) fitted.append(dims[k]);
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
    return info;
}

// The energy a DMRG calculation reports, and whether it is the extrapolated one: the
// extrapolation when it is asked for and there is more than one run, else the lowest
// variational energy. dmrg_energy and the command line both take it from here.
nb::tuple reported_energy(nb::object info, nb::object extrapolate) {
    const bool use_fit = truthy(extrapolate) && length(item(info, nb::str("points"))) > 1;
    nb::object e = item(info, nb::str(use_fit ? "extrapolated_energy" : "lowest_computed"));
    return nb::make_tuple(e, nb::bool_(use_fit));
}

nb::object dmrg_energy(nb::object hamiltonian, nb::object n_spinorb, nb::object n_elec,
                       nb::object bond_dims, nb::object n_sweeps, nb::object spin,
                       nb::object extrapolate, nb::object stack_gb_o, nb::object n_threads,
                       nb::object return_info) {
    const double stack_gb = as_float(stack_gb_o, "stack_gb");
    nb::object module = import(module_name().c_str());
    nb::object points = module.attr("dmrg_solve")(
        hamiltonian, n_spinorb, n_elec, "bond_dims"_a = bond_dims, "n_sweeps"_a = n_sweeps,
        "spin"_a = spin, "stack_gb"_a = stack_gb, "n_threads"_a = n_threads);
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
        "n_spinorb spin-orbitals (all spin projections together).",
        &fci_energy, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none());

    def(m, "lcu_one_norm", "(hamiltonian: Any) -> float",
        "Pauli LCU 1-norm: the sum of |c_P| over the Jordan-Wigner Pauli strings P of the\n"
        "operator, the identity excluded.",
        &lcu_one_norm, nb::arg("hamiltonian").none());

    def(m, "_fermionop_to_block2_terms", "(hamiltonian: Any)",
        "(terms, constant) for block2's expression builder: one (op_string, sites, coeff)\n"
        "triple per non-identity term ('C' creation, 'D' annihilation, real part of the\n"
        "coefficient), and the real part of the identity coefficient.",
        &fermionop_to_block2_terms, nb::arg("hamiltonian").none());

    def(m, "dmrg_solve",
        "(hamiltonian: Any, n_spinorb: int, n_elec: int, *, bond_dims=(250,), "
        "n_sweeps: int = 16, spin: int | None = None, stack_gb: float = 4.0, "
        "n_threads: int = 4, scratch: str | None = None, mpi: bool = False, "
        "mps_dir: str | None = None)",
        "Ground state by DMRG (block2, spin-orbital sites) at each bond dimension in turn,\n"
        "each continuing from the state of the previous one. Returns one point\n"
        "{'D', 'energy', 'discarded_weight'} per bond dimension. Without a scratch\n"
        "directory a fresh temporary one (prefix 'korvel_b2_') is made and removed when the\n"
        "call ends; a named one is left as it is. Coefficients must be real (imaginary parts\n"
        "up to 1e-12) and finite; sizes are checked against the DMRG stack before block2\n"
        "starts. With mpi (block2's MPI build, every rank calling with the same arguments)\n"
        "the operator is distributed over the ranks; mps_dir is then a folder all ranks see.",
        &dmrg_solve, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none(),
        nb::kw_only(), nb::arg("bond_dims").none() = nb::make_tuple(250), nb::arg("n_sweeps").none() = 16,
        nb::arg("spin").none() = nb::none(), nb::arg("stack_gb").none() = 4.0, nb::arg("n_threads").none() = 4,
        nb::arg("scratch").none() = nb::none(), nb::arg("mpi").none() = false,
        nb::arg("mps_dir").none() = nb::none());

    def(m, "dmrg_extrapolate", "(points) -> dict",
        "DMRG energy extrapolated to zero discarded weight.\n\n"
        "A run whose discarded weight is below 1e-12 is converged: its energy is returned\n"
        "with a zero half-width. Otherwise a straight line in the discarded weight is fitted\n"
        "to the usable runs (finite positive weight, finite energy) of the three largest\n"
        "bond dimensions. Returns extrapolated_energy, ci95_halfwidth, slope,\n"
        "lowest_computed, points, fitted_bond_dims (the D of each run used: the fitted ones,\n"
        "or the converged one) and converged. With two fitted runs the line passes through\n"
        "both and the half-width is NaN; with fewer, or when all share one weight, the\n"
        "lowest energy is returned.",
        &dmrg_extrapolate, nb::arg("points").none());

    def(m, "_dmrg_reported_energy", "(info: dict, extrapolate: bool) -> tuple[float, bool]",
        "(energy, extrapolated) for a dmrg_extrapolate result: the extrapolated energy when\n"
        "extrapolate is true and there is more than one run, else the lowest computed one.",
        &reported_energy, nb::arg("info").none(), nb::arg("extrapolate").none());

    def(m, "dmrg_energy",
        "(hamiltonian: Any, n_spinorb: int, n_elec: int, *, bond_dims=(250,), "
        "n_sweeps: int = 16, spin: int | None = None, extrapolate: bool = False, "
        "stack_gb: float = 4.0, n_threads: int = 4, return_info: bool = False)",
        "DMRG ground energy: the lowest variational energy over the bond dimensions, or,\n"
        "with extrapolate and more than one bond dimension, the zero-discarded-weight\n"
        "extrapolation. With return_info, the pair (energy, extrapolation info).",
        &dmrg_energy, nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none(),
        nb::kw_only(), nb::arg("bond_dims").none() = nb::make_tuple(250), nb::arg("n_sweeps").none() = 16,
        nb::arg("spin").none() = nb::none(), nb::arg("extrapolate").none() = false,
        nb::arg("stack_gb").none() = 4.0, nb::arg("n_threads").none() = 4, nb::arg("return_info").none() = false);
}
