// korvel.methods.cendrel: coupled-cluster downfolding.
//
// The Hamiltonian is transformed with the bare cluster operator,
// H̄ = e^{-T} H e^{T} (T = T₁ + T₂ of converged CCSD, or the doubles alone; no -T† part),
// through whichever operator-algebra
// backend the caller hands over; the external orbitals are then folded onto the
// Hartree-Fock reference and the ground state of the (non-Hermitian) active-space
// operator is taken from a general eigensolver. ⟨HF|H̄|HF⟩ is the coupled-cluster
// energy of the amplitudes, which is what makes the downfolded reference exact.
//
// The binding is thin: the operator algebra lives in the backend, the fold in the
// projector, the sector matrix and the eigensolvers in the analysis module.
// Names that Python code would look up as module globals (compute_t2,
// downfold_to_active, the private helpers, Result, np) are looked up on the module at
// call time, so a replacement installed on the module takes effect at once.
#include "common.h"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using korvel::py::as_float;
using korvel::py::checked;
using korvel::py::repr_of;
using korvel::py::str_of;
using korvel::py::to_complex;
using korvel::py::truthy;
using korvel::py::import;
using korvel::py::int_object;
using korvel::py::type_name_of;
using korvel::py::finite_float;
using korvel::py::require_finite_coefficient;
using korvel::py::require_finite_operator;
using korvel::py::require_finite_result;

namespace {

constexpr const char* kModule = "korvel.methods.cendrel";

constexpr const char* kAllDoublesMessage =
    "cendrel needs amplitude-bearing doubles; set generator_pool to ccsd_screened / "
    "ccd_screened / mp2_screened (not all_doubles)";

constexpr const char* kEmptyClusterMessage =
    "CCSD-downfold cluster operator is empty \xe2\x80\x94 loosen pool_tol or check that "
    "the active space couples to external orbitals";

// The energy note, with the name of the eigensolver that ran.
std::string energy_note(const std::string& solver) {
    return "effective Hamiltonian is NON-Hermitian (CCSD similarity transform); energy from " +
           solver + " (smallest real part), not eigsh.";
}

// The module object; a module is initialised once per process and lives as long as
// the interpreter, so a borrowed pointer is enough.
PyObject* g_module = nullptr;

nb::object global(const char* name) { return nb::borrow(g_module).attr(name); }

long long index_value(nb::handle o) {
    nb::object idx = checked(PyNumber_Index(o.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (overflow) throw nb::value_error(("integer " + repr_of(o) + " is out of range").c_str());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// Python's float(x) and complex(x).
double to_float(nb::handle o) {
    nb::object f = checked(PyNumber_Float(o.ptr()));
    return PyFloat_AS_DOUBLE(f.ptr());
}


// Unpack an iterable into exactly n values, with Python's unpacking messages.
nb::tuple unpack(nb::handle o, Py_ssize_t n) {
    nb::tuple t = nb::steal<nb::tuple>(checked(PySequence_Tuple(o.ptr())).release());
    Py_ssize_t got = PyTuple_GET_SIZE(t.ptr());
    if (got < n)
        throw nb::value_error(("not enough values to unpack (expected " + std::to_string(n) +
                               ", got " + std::to_string(got) + ")")
                                  .c_str());
    if (got > n)
        throw nb::value_error(
            ("too many values to unpack (expected " + std::to_string(n) + ")").c_str());
    return t;
}

// ---------------------------------------------------------------------------
// Doubles cluster operator

// Amplitudes t2[i, j, a, b] for i, j < n_occ and a, b < n_vir, read once in loop
// order and converted to float. A C-ordered copy of a real NumPy array is read
// through the buffer protocol; anything else element by element through indexing.
class Amplitudes {
  public:
    Amplitudes(nb::handle t2, long long n_occ, long long n_vir)
        : n_occ_(n_occ < 0 ? 0 : n_occ), n_vir_(n_vir < 0 ? 0 : n_vir) {
        if (n_occ_ == 0 || n_vir_ == 0) return;
        if (!read_buffer(t2)) read_items(t2);
    }

    // A NaN or infinite amplitude (amplitude equations that diverged) would pass the
    // screening (abs(nan) < tol is false) and poison every coefficient downstream.
    void require_finite() const {
        for (std::size_t k = 0; k < data_.size(); ++k) {
            if (std::isfinite(data_[k])) continue;
            std::size_t r = k;
            const long long b = r % n_vir_; r /= n_vir_;
            const long long a = r % n_vir_; r /= n_vir_;
            const long long j = r % n_occ_; const long long i = r / n_occ_;
            throw nb::value_error(("doubles amplitude t2[" + std::to_string(i) + ", " +
                                   std::to_string(j) + ", " + std::to_string(a) + ", " +
                                   std::to_string(b) + "] is not finite (" +
                                   std::to_string(data_[k]) + ")").c_str());
        }
    }

    double operator()(long long i, long long j, long long a, long long b) const {
        return data_[((i * n_occ_ + j) * n_vir_ + a) * n_vir_ + b];
    }

  private:
    bool read_buffer(nb::handle t2) {
        nb::object np = global("np");
        if (!nb::isinstance(t2, np.attr("ndarray"))) return false;
        std::string kind = nb::cast<std::string>(t2.attr("dtype").attr("kind"));
        if (kind == "c")  // a cast to float would drop the imaginary parts unnoticed
            throw nb::type_error(("doubles amplitudes must be real; got an array of dtype " +
                                  str_of(t2.attr("dtype")))
                                     .c_str());
        if (kind != "f" && kind != "i" && kind != "u" && kind != "b") return false;
        nb::tuple shape = nb::borrow<nb::tuple>(nb::object(t2.attr("shape")));
        if (nb::len(shape) != 4) return false;
        long long ext[4];
        for (int k = 0; k < 4; ++k) ext[k] = index_value(shape[k]);
        // The loops run both occupied indices over n_occ = shape[0] and both virtual
        // indices over n_vir = shape[2]; a shorter second or fourth extent is left to
        // the indexing path, which raises the IndexError.
        if (ext[1] < n_occ_ || ext[3] < n_vir_) return false;
        nb::object arr = np.attr("ascontiguousarray")(t2, "dtype"_a = np.attr("float64"));
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
            throw nb::python_error();
        const double* p = static_cast<const double*>(view.buf);
        data_.resize(static_cast<std::size_t>(n_occ_ * n_occ_ * n_vir_ * n_vir_));
        std::size_t k = 0;
        for (long long i = 0; i < n_occ_; ++i)
            for (long long j = 0; j < n_occ_; ++j)
                for (long long a = 0; a < n_vir_; ++a)
                    for (long long b = 0; b < n_vir_; ++b)
                        data_[k++] = p[((i * ext[1] + j) * ext[2] + a) * ext[3] + b];
        PyBuffer_Release(&view);
        return true;
    }

    void read_items(nb::handle t2) {
        for (long long i = 0; i < n_occ_; ++i)
            for (long long j = 0; j < n_occ_; ++j)
                for (long long a = 0; a < n_vir_; ++a)
                    for (long long b = 0; b < n_vir_; ++b) {
                        nb::tuple key = nb::make_tuple(i, j, a, b);
                        nb::object el = checked(PyObject_GetItem(t2.ptr(), key.ptr()));
                        if (PyComplex_Check(el.ptr()))
                            throw nb::type_error(("doubles amplitudes must be real; t2" +
                                                  repr_of(key) +
                                                  " is " + repr_of(el))
                                                     .c_str());
                        data_.push_back(to_float(el));
                    }
    }

    long long n_occ_, n_vir_;
    std::vector<double> data_;
};

nb::tuple ladder(long long index, int dagger) { return nb::make_tuple(index, dagger); }

// T[term] += complex(coef), keeping the order of first insertion.
void accumulate(nb::dict& T, nb::handle term, double coef) {
    PyObject* old = PyDict_GetItemWithError(T.ptr(), term.ptr());
    if (!old && PyErr_Occurred()) throw nb::python_error();
    std::complex<double> base = old ? to_complex(old) : std::complex<double>(0.0, 0.0);
    base += std::complex<double>(coef, 0.0);
    T[term] = checked(PyComplex_FromDoubles(base.real(), base.imag()));
}

// kind must be a str; "all_doubles" carries no amplitudes and is refused before any
// amplitude is computed. Returns the screening threshold.
double check_cluster_arguments(nb::handle kind, nb::handle tol_obj) {
    if (!PyUnicode_CheckExact(kind.ptr()))
        throw nb::type_error(("kind must be a str, not " + type_name_of(kind)).c_str());
    const double tol = finite_float(tol_obj, "tol");
    if (PyUnicode_CompareWithASCIIString(kind.ptr(), "all_doubles") == 0)
        throw nb::value_error(kAllDoublesMessage);
    return tol;
}

// (n_occ, n_vir) of a doubles array t2[i, j, a, b]: its first and third extents.
std::array<long long, 2> doubles_extents(nb::handle t2) {
    nb::tuple shape = unpack(t2.attr("shape"), 4);
    return {index_value(shape[0]), index_value(shape[2])};
}

// Adds the doubles of t2 with |t2| >= tol to T.
void add_doubles(nb::dict& T, nb::handle t2, double tol) {
    const auto [n_occ, n_vir] = doubles_extents(t2);
    Amplitudes amp(t2, n_occ, n_vir);
    amp.require_finite();

    // Opposite-spin doubles a†_{a↑} a†_{b↓} a_{j↓} a_{i↑}: every ordered pair (i, j)
    // and (a, b), coefficient t2[i, j, a, b].
    std::set<std::array<long long, 4>> seen;
    for (long long i = 0; i < n_occ; ++i)
        for (long long j = 0; j < n_occ; ++j)
            for (long long a = 0; a < n_vir; ++a)
                for (long long b = 0; b < n_vir; ++b) {
                    const double x = amp(i, j, a, b);
                    const long long cre0 = 2 * (n_occ + a), cre1 = 2 * (n_occ + b) + 1;
                    const long long ann0 = 2 * i, ann1 = 2 * j + 1;
                    if (std::abs(x) < tol) continue;
                    if (!seen.insert({cre0, cre1, ann0, ann1}).second) continue;
                    nb::tuple term = nb::make_tuple(ladder(cre0, 1), ladder(cre1, 1),
                                                    ladder(ann1, 0), ladder(ann0, 0));
                    accumulate(T, term, x);
                }
    // Same-spin doubles implied by the spatial amplitudes: for spin σ, i < j and a < b,
    // a†_{aσ} a†_{bσ} a_{jσ} a_{iσ} with t2[i, j, a, b] − t2[j, i, a, b]. Without them
    // ⟨HF|H̄|HF⟩ misses the same-spin pair energy as soon as there are two occupied
    // orbitals.
    for (int sigma = 0; sigma < 2; ++sigma)
        for (long long i = 0; i < n_occ; ++i)
            for (long long j = i + 1; j < n_occ; ++j)
                for (long long a = 0; a < n_vir; ++a)
                    for (long long b = a + 1; b < n_vir; ++b) {
                        const double x = amp(i, j, a, b) - amp(j, i, a, b);
                        if (std::abs(x) < tol) continue;
                        nb::tuple term = nb::make_tuple(
                            ladder(2 * (n_occ + a) + sigma, 1), ladder(2 * (n_occ + b) + sigma, 1),
                            ladder(2 * j + sigma, 0), ladder(2 * i + sigma, 0));
                        accumulate(T, term, x);
                    }
}

// Adds the singles a†_{aσ} a_{iσ} with coefficient t1[i, a] (both spins σ, |t1| >= tol)
// to T. t1 must have the shape (n_occ, n_vir) of the doubles it goes with.
void add_singles(nb::dict& T, nb::handle t1, long long n_occ, long long n_vir, double tol) {
    nb::tuple shape = unpack(t1.attr("shape"), 2);
    const long long rows = index_value(shape[0]), cols = index_value(shape[1]);
    if (rows != n_occ || cols != n_vir)
        throw nb::value_error(("singles amplitudes have shape (" + std::to_string(rows) + ", " +
                               std::to_string(cols) + "); the doubles need (" +
                               std::to_string(n_occ) + ", " + std::to_string(n_vir) + ")")
                                  .c_str());
    for (long long i = 0; i < n_occ; ++i)
        for (long long a = 0; a < n_vir; ++a) {
            nb::tuple key = nb::make_tuple(i, a);
            nb::object el = checked(PyObject_GetItem(t1.ptr(), key.ptr()));
            if (PyComplex_Check(el.ptr()) ||
                (nb::hasattr(el, "imag") && to_float(el.attr("imag")) != 0.0))
                throw nb::type_error(("singles amplitudes must be real; t1" + repr_of(key) +
                                      " is " + repr_of(el))
                                         .c_str());
            const double x = to_float(el);
            if (!std::isfinite(x))
                throw nb::value_error(("singles amplitude t1" + repr_of(key) + " is " +
                                       repr_of(el))
                                          .c_str());
            if (std::abs(x) < tol) continue;
            for (int sigma = 0; sigma < 2; ++sigma)
                accumulate(T,
                           nb::make_tuple(ladder(2 * (n_occ + a) + sigma, 1),
                                          ladder(2 * i + sigma, 0)),
                           x);
        }
}

nb::dict cluster_operator_t2(nb::handle problem, nb::handle kind, nb::handle tol_obj) {
    const double tol = check_cluster_arguments(kind, tol_obj);
    nb::object t2 = global("compute_t2")(problem, kind);
    nb::dict T;
    add_doubles(T, t2, tol);
    return T;
}

// T = T1 + T2 from one amplitude solve when `singles` is set and the kind carries
// singles (converged CCSD); otherwise the doubles alone, as _cluster_operator_t2. With
// `energy`, the total energy of that solve is stored there (None on the doubles-only path,
// whose amplitudes come from compute_t2 alone).
nb::dict cluster_operator(nb::handle problem, nb::handle kind, nb::handle tol_obj,
                          nb::handle singles, nb::object* energy = nullptr) {
    const double tol = check_cluster_arguments(kind, tol_obj);
    const bool with_singles =
        truthy(singles) && PyUnicode_CompareWithASCIIString(kind.ptr(), "ccsd_screened") == 0;
    if (energy) *energy = nb::none();
    if (!with_singles) return nb::cast<nb::dict>(global("_cluster_operator_t2")(
        problem, "kind"_a = kind, "tol"_a = tol_obj));
    nb::tuple amplitudes =
        unpack(global("compute_amplitudes")(problem, kind, "with_energy"_a = true), 3);
    nb::handle t1 = amplitudes[0], t2 = amplitudes[1];
    if (energy) *energy = nb::borrow(amplitudes[2]);
    const auto [n_occ, n_vir] = doubles_extents(t2);
    nb::dict T;
    add_singles(T, t1, n_occ, n_vir, tol);
    add_doubles(T, t2, tol);
    return T;
}

// ---------------------------------------------------------------------------
// Non-Hermitian ground energy and witness

// The sector matrix is built natively by the analysis module, which also holds the one
// rule for choosing the eigensolver; the general solver is asked for here, so that the
// matrix is never symmetrised.
nb::tuple nonhermitian_ground_energy(nb::handle hamiltonian, nb::handle n_spinorb_obj,
                                     nb::handle n_elec_obj, bool return_solver) {
    nb::int_ n_spinorb = int_object(n_spinorb_obj, "n_spinorb");
    nb::int_ n_elec = int_object(n_elec_obj, "n_elec");
    nb::object lowest = import("korvel.core.analysis").attr("_sector_lowest");
    nb::tuple root = unpack(lowest(hamiltonian, n_spinorb, n_elec, "general"_a = true), 3);
    require_finite_result({to_float(root[0]), to_float(root[1])}, "the ground-state eigenvalue");
    if (return_solver) return root;
    return nb::make_tuple(root[0], root[1]);
}

// One ladder term read as (spin-orbital, dagger) pairs; daggers are 0 or 1.
using Ladder = std::vector<std::pair<long long, int>>;

Ladder read_term(nb::handle term) {
    nb::tuple ops = nb::steal<nb::tuple>(checked(PySequence_Tuple(term.ptr())).release());
    Ladder out;
    for (nb::handle entry : ops) {
        PyObject* pair = PySequence_Check(entry.ptr()) ? PySequence_Tuple(entry.ptr()) : nullptr;
        if (!pair || PyTuple_GET_SIZE(pair) != 2) {
            Py_XDECREF(pair);
            PyErr_Clear();
            throw nb::value_error(("operator term entries must be (index, dagger) pairs, got " +
                                   repr_of(entry))
                                      .c_str());
        }
        nb::tuple pd = nb::steal<nb::tuple>(pair);
        const long long p = index_value(pd[0]);
        const long long d = index_value(pd[1]);
        if (p < 0)
            throw nb::value_error(("spin-orbital index " + std::to_string(p) + " of term " +
                                   repr_of(term) + " is negative")
                                      .c_str());
        if (d != 0 && d != 1)
            throw nb::value_error(("dagger flag " + std::to_string(d) + " of term " +
                                   repr_of(term) + " is neither 0 nor 1")
                                      .c_str());
        out.emplace_back(p, static_cast<int>(d));
    }
    return out;
}

// Creation operators left of annihilation operators, each block strictly descending:
// the canonical normal order, in which a term's key is unique.
bool is_canonical(const Ladder& t) {
    std::size_t k = 0;
    while (k < t.size() && t[k].second == 1) ++k;
    for (std::size_t m = k; m < t.size(); ++m)
        if (t[m].second != 0) return false;
    for (std::size_t m = 1; m < t.size(); ++m)
        if (m != k && t[m].first >= t[m - 1].first) return false;
    return true;
}

// The Hermitian conjugate of a canonical term, in canonical order, and its sign:
// (a+_{c1}..a+_{ck} a_{a1}..a_{am})^+ = a+_{am}..a+_{a1} a_{ck}..a_{c1}; reversing a
// block of n operators that anticommute costs (-1)^{n(n-1)/2}.
std::pair<Ladder, double> canonical_conjugate(const Ladder& t) {
    std::size_t k = 0;
    while (k < t.size() && t[k].second == 1) ++k;
    const std::size_t m = t.size() - k;
    Ladder out;
    out.reserve(t.size());
    for (std::size_t q = k; q < t.size(); ++q) out.emplace_back(t[q].first, 1);
    for (std::size_t q = 0; q < k; ++q) out.emplace_back(t[q].first, 0);
    const std::size_t swaps = k * (k - 1) / 2 + m * (m - 1) / 2;
    return {out, (swaps % 2) ? -1.0 : 1.0};
}

double nonhermiticity_l1(nb::handle op) {
    // The items are taken once, as a list that holds every key and value.
    nb::list items = nb::borrow<nb::list>(checked(PySequence_List(op.attr("items")().ptr())));
    std::vector<std::pair<Ladder, std::complex<double>>> terms;
    terms.reserve(items.size());
    bool canonical = true;
    for (nb::handle item : items) {
        nb::tuple kv = unpack(item, 2);
        Ladder t = read_term(kv[0]);
        const std::complex<double> c = to_complex(kv[1]);
        require_finite_coefficient(c, "op", kv[0]);
        canonical = canonical && is_canonical(t);
        terms.emplace_back(std::move(t), c);
    }

    if (canonical) {
        // Every term is in canonical order, so like terms share one key: H - H^+ is
        // gathered term by term with the conjugate brought to canonical order.
        std::map<Ladder, std::complex<double>> diff;
        for (const auto& [t, c] : terms) {
            diff[t] += c;
            auto [dag, sign] = canonical_conjugate(t);
            diff[dag] -= sign * std::conj(c);
        }
        double total = 0.0;
        for (const auto& kv : diff) total += std::abs(kv.second);
        require_finite_result(total, "the non-Hermiticity 1-norm");
        return total;
    }

    // Terms in any other order: H - H^+ normal-ordered by OpenFermion, which combines
    // every way of writing one operator into its canonical terms.
    nb::object of = import("openfermion");
    nb::dict mapping;
    for (const auto& [t, c] : terms) {
        nb::object key = checked(PyTuple_New(static_cast<Py_ssize_t>(t.size())));
        for (std::size_t q = 0; q < t.size(); ++q)
            PyTuple_SET_ITEM(key.ptr(), static_cast<Py_ssize_t>(q),
                             nb::make_tuple(t[q].first, t[q].second).release().ptr());
        nb::object old = nb::borrow(PyDict_GetItemWithError(mapping.ptr(), key.ptr()));
        if (!old.is_valid() && PyErr_Occurred()) throw nb::python_error();
        std::complex<double> v = old.is_valid() ? to_complex(old) + c : c;
        mapping[key] = checked(PyComplex_FromDoubles(v.real(), v.imag()));
    }
    nb::object fo = of.attr("FermionOperator")();
    fo.attr("terms") = mapping;
    nb::object difference = checked(
        PyNumber_Subtract(fo.ptr(), of.attr("hermitian_conjugated")(fo).ptr()));
    nb::object ordered = of.attr("normal_ordered")(difference);
    double total = 0.0;
    for (auto kv : nb::borrow<nb::dict>(ordered.attr("terms"))) total += std::abs(to_complex(kv.second));
    require_finite_result(total, "the non-Hermiticity 1-norm");
    return total;
}

// ---------------------------------------------------------------------------
// The method

// One line of progress through the method's `progress` hook (a callable taking a str, or
// None), so that a driver can say which series the backend's per-order lines belong to.
void say(nb::handle self, const std::string& text) {
    nb::object hook = nb::getattr(self, "progress", nb::none());
    if (!hook.is_none()) hook(text);
}

// The most commutators the series is asked for.
constexpr long long kMaxOrders = 64;

// When the downfolded energy should not be trusted as it stands. Both thresholds come
// from bond stretches of N2/STO-3G (6,6), H2O/6-31G (4,4) and LiH/6-31G (4,2) (see the
// README): near equilibrium the last order moves the energy by under 0.4 mEh and the
// witness stays under 7 % of the operator's 1-norm; where the downfold fails (N2 from
// 1.7 Å on, 2.5 to 21 mEh below the exact energy) the witness is 28 % and more.
//  - The last commutator order still moves the energy by more than 1 mEh: the series has
//    not converged at this n_comm.
//  - The non-Hermiticity witness |H_eff - H_eff^+|_1 exceeds kWitnessRatio of the
//    1-norm of H_eff: the bare cluster operator no longer describes the state.
constexpr double kLastOrderShift = 1e-3;
constexpr double kWitnessRatio = 0.2;

// sum of |c| over the terms of an operator
double effective_l1(nb::handle op) {
    double total = 0.0;
    for (auto kv : nb::borrow<nb::dict>(op)) total += std::abs(to_complex(kv.second));
    return total;
}

nb::list trust_warnings(nb::handle by_order, double witness, double l1) {
    nb::list out;
    const Py_ssize_t n = static_cast<Py_ssize_t>(nb::len(by_order));
    if (n >= 2) {
        const double last = as_float(nb::borrow(by_order)[n - 1], "energy");
        const double before = as_float(nb::borrow(by_order)[n - 2], "energy");
        const double shift = last - before;
        if (std::abs(shift) > kLastOrderShift) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "the last commutator order moved the downfolded energy by %+.2f mEh "
                          "(more than %.0f mEh): the series has not converged; raise ccsd_n_comm",
                          1e3 * shift, 1e3 * kLastOrderShift);
            out.append(nb::str(text));
        }
    }
    if (l1 > 0.0 && witness > kWitnessRatio * l1) {
        char text[240];
        std::snprintf(text, sizeof text,
                      "the effective Hamiltonian is far from Hermitian (|H - H^+|_1 = %.3g, %.0f%% "
                      "of its 1-norm %.3g): the bare cluster operator does not describe this "
                      "state well and the downfolded energy may lie below the exact one",
                      witness, 100.0 * witness / l1, l1);
        out.append(nb::str(text));
    }
    return out;
}

nb::object run(nb::handle self, nb::handle problem, nb::handle backend) {
    nb::object options = self.attr("options");
    auto option = [&](const char* key) {
        return checked(PyObject_GetItem(options.ptr(), nb::str(key).ptr()));
    };
    // int() of a NaN or infinite option would be a bare conversion error; name the
    // option instead.
    auto integer_option = [&](const char* key) {
        nb::object v = option(key);
        if (PyFloat_Check(v.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(v.ptr())))
            throw nb::value_error((std::string("option ") + key +
                                   " must be a finite integer, got " + repr_of(v)).c_str());
        return checked(PyNumber_Long(v.ptr()));
    };
    nb::object n_comm = integer_option("ccsd_n_comm");
    // ad_T^n(H) of an excitation operator T vanishes once n exceeds the ladder operators of
    // H's longest term; a count far beyond that is a mistake, not a request.
    if (PyObject_RichCompareBool(n_comm.ptr(), nb::int_(kMaxOrders).ptr(), Py_GT) == 1)
        throw nb::value_error(("option ccsd_n_comm must be at most " + std::to_string(kMaxOrders) +
                               ", got " + repr_of(n_comm)).c_str());
    nb::object max_body = integer_option("ccsd_max_body");
    finite_float(option("pool_tol"), "pool_tol");

    // ccsd_singles defaults to true: the CCSD similarity transform has T = T1 + T2.
    nb::object singles = nb::bool_(true);
    {
        PyObject* v = PyObject_GetItem(options.ptr(), nb::str("ccsd_singles").ptr());
        if (v)
            singles = nb::steal(v);
        else if (PyErr_ExceptionMatches(PyExc_KeyError))
            PyErr_Clear();
        else
            throw nb::python_error();
    }

    nb::object kind = option("generator_pool");
    nb::object cc_energy;
    nb::dict T = cluster_operator(problem, kind, option("pool_tol"), singles, &cc_energy);
    const Py_ssize_t cluster_terms = PyDict_Size(T.ptr());
    if (cluster_terms == 0) {
        PyErr_SetString(PyExc_RuntimeError, kEmptyClusterMessage);
        throw nb::python_error();
    }
    // The CCSD energy of the problem, the number the downfold is compared against: from the
    // same solve on the singles path, from a solve of its own otherwise (none for the
    // first-order amplitudes, which promise no coupled-cluster solution).
    if (cc_energy.is_none() && PyUnicode_Check(kind.ptr()) &&
        PyUnicode_CompareWithASCIIString(kind.ptr(), "mp2_screened") != 0)
        cc_energy = global("ccsd_energy")(problem);

    // Singles (two ladder operators) and doubles, kept apart for the transform below.
    nb::dict T1, T2;
    for (auto kv : T) {
        const bool single = PyTuple_Check(kv.first.ptr()) && PyTuple_GET_SIZE(kv.first.ptr()) == 2;
        (single ? T1 : T2)[kv.first] = kv.second;
    }
    const Py_ssize_t singles_terms = PyDict_Size(T1.ptr());

    nb::object H = checked(PyObject_CallOneArg(
        reinterpret_cast<PyObject*>(&PyDict_Type), problem.attr("hamiltonian").attr("terms").ptr()));
    // T1 and T2 are both excitation operators and commute, so
    // e^{-T} H e^{T} = e^{-T2} (e^{-T1} H e^{T1}) e^{T2}. The singles part is exact: each
    // nested commutator with a one-body excitation turns one occupied creation operator
    // into a virtual one or one virtual annihilation operator into an occupied one, so
    // the series ends after as many commutators as H's longest term has ladder
    // operators, and the body rank stays that of H. The truncation n_comm and the body
    // cap then act on the doubles alone, as for the doubles-only transform.
    Py_ssize_t longest = 0;
    if (singles_terms > 0) {
        for (auto kv : nb::borrow<nb::dict>(H)) {
            const Py_ssize_t n = PyObject_Length(kv.first.ptr());
            if (n < 0) throw nb::python_error();
            longest = std::max(longest, n);
        }
        say(self, "singles: e^{-T1} H e^{T1}, exact (" + std::to_string(longest) +
                      " commutators), whole space");
        H = backend.attr("similarity_transform")(H, T1, "n_comm"_a = nb::int_(longest),
                                                 "max_body"_a = nb::none());
    }

    // The doubles series folded onto the active space: in one pass where the backend offers
    // it (only terms that can still reach the active space are formed), else the whole-space
    // transform and then the fold. Either way the operator after each order k = 0..n_comm.
    const long long orders = std::max<long long>(nb::cast<long long>(n_comm), 0);
    nb::object Heff;
    nb::list partial;
    nb::object cap_dropped = nb::none();
    const std::string series = "doubles: e^{-T2} H e^{T2} to " + std::to_string(orders) +
                               " commutators, body cap " + str_of(max_body);
    nb::object fold_aware = nb::getattr(backend, "fold_aware_transform", nb::none());
    const bool folds_as_it_builds = PyCallable_Check(fold_aware.ptr()) == 1;
    if (folds_as_it_builds) {
        say(self, series + ", folded as it is built");
        nb::object folded = fold_aware(H, T2, problem, "n_comm"_a = n_comm, "max_body"_a = max_body);
        Heff = folded["effective_hamiltonian"];
        partial = nb::borrow<nb::list>(folded["partial"]);
        cap_dropped = folded["body_cap_dropped_l1"];
    } else {
        say(self, series + ", whole space, then folded");
        nb::object Hbar = backend.attr("similarity_transform")(H, T2, "n_comm"_a = n_comm,
                                                               "max_body"_a = max_body);
        Heff = global("downfold_to_active")(Hbar, problem);
        // The lower orders need a transform each on this route.
        // The lower orders need a transform each on this route; once an order adds nothing
        // to the folded operator (the nested commutators have ended) the rest are the same.
        nb::object previous;
        for (long long k = 0; k < orders; ++k) {
            nb::object folded = global("downfold_to_active")(
                backend.attr("similarity_transform")(H, T2, "n_comm"_a = nb::int_(k),
                                                     "max_body"_a = max_body),
                problem);
            if (previous.is_valid() && previous.equal(folded)) break;
            partial.append(folded);
            previous = folded;
        }
        partial.append(Heff);
    }

    nb::object n_spinorb =
        checked(PyNumber_Multiply(nb::int_(2).ptr(), problem.attr("n_act").ptr()));
    auto ground = [&](nb::handle op) {
        return unpack(global("_nonhermitian_ground_energy")(op, n_spinorb, problem.attr("n_act_elec"),
                                                            "return_solver"_a = true),
                      3);
    };
    nb::tuple parts = ground(Heff);
    nb::object l1 = global("_nonhermiticity_l1")(Heff);
    // The energy after each order; the last one is the method's energy itself.
    nb::list by_order;
    const Py_ssize_t n_partial = static_cast<Py_ssize_t>(nb::len(partial));
    for (Py_ssize_t k = 0; k + 1 < n_partial; ++k) by_order.append(ground(partial[k])[0]);
    // Orders past the end of the series add nothing: they repeat the method's energy.
    while (static_cast<long long>(nb::len(by_order)) < orders + 1) by_order.append(parts[0]);
    if (!cap_dropped.is_none()) {
        nb::list padded = nb::borrow<nb::list>(checked(PySequence_List(cap_dropped.ptr())));
        while (static_cast<long long>(nb::len(padded)) < orders + 1) padded.append(0.0);
        cap_dropped = padded;
    }

    nb::dict observables;
    observables["hermitian"] = false;
    observables["note"] = energy_note(nb::cast<std::string>(parts[2]));
    observables["n_comm"] = n_comm;
    observables["max_body"] = max_body;
    observables["cluster_terms"] = nb::int_(cluster_terms);
    observables["cluster_singles"] = nb::int_(singles_terms);
    observables["cluster_doubles"] = nb::int_(cluster_terms - singles_terms);
    observables["eigenvalue_imag"] = parts[1];
    observables["nonhermiticity_l1"] = l1;
    observables["ccsd_energy"] = cc_energy;
    observables["energy_by_order"] = by_order;
    observables["body_cap_dropped_l1"] = cap_dropped;
    observables["fold_aware"] = nb::bool_(folds_as_it_builds);
    observables["warnings"] = trust_warnings(by_order, as_float(l1, "nonhermiticity_l1"),
                                             effective_l1(Heff));

    return global("Result")("method"_a = "cendrel", "backend"_a = backend.attr("name"),
                            "effective_hamiltonian"_a = Heff, "energy"_a = parts[0],
                            "reference_energy"_a = problem.attr("e_ref"),
                            "observables"_a = observables);
}

constexpr const char* kClusterDoc =
    "Bare doubles cluster operator T2 from screened amplitudes.\n\n"
    "Calls compute_t2(problem, kind) once and, for every amplitude with |t2| >= tol, adds\n"
    "t2[i, j, a, b] a+_{a up} a+_{b down} a_{j down} a_{i up} (occupied i, j; virtual a, b\n"
    "numbered from the first virtual orbital), then the same-spin doubles\n"
    "(t2[i, j, a, b] - t2[j, i, a, b]) a+_{a s} a+_{b s} a_{j s} a_{i s} for i < j, a < b.\n"
    "\"all_doubles\" is refused before any amplitude is computed.";

constexpr const char* kClusterFullDoc =
    "Cluster operator T = T1 + T2 of the coupled-cluster similarity transform.\n\n"
    "With ``singles`` true and kind \"ccsd_screened\", one amplitude solve\n"
    "(compute_amplitudes) gives the converged CCSD singles, added as\n"
    "t1[i, a] a+_{a s} a_{i s} for both spins s where |t1| >= tol, and the doubles as in\n"
    "_cluster_operator_t2. Otherwise (singles false, or a doubles-only kind) it is\n"
    "_cluster_operator_t2 itself.";

constexpr const char* kGroundDoc =
    "(real, imag) of the smallest-real-part eigenvalue in the n_elec-electron sector;\n"
    "with return_solver, (real, imag, names of the eigensolvers that ran).\n\n"
    "The sector matrix is built natively, per S_z block when the operator keeps S_z.\n"
    "General (non-symmetric) eigensolver: dense numpy.linalg.eigvals up to 256\n"
    "determinants, scipy.sparse.linalg.eigs (k = 6, smallest real part, shift-invert\n"
    "about 0 as fallback) above.";

constexpr const char* kL1Doc =
    "Non-Hermiticity witness ||op - op^dagger||_1: the sum of |c| over the terms of\n"
    "op - op^dagger in canonical normal order (creation operators left, each block in\n"
    "descending index). A Hermitian operator scores 0 to rounding, however its terms are\n"
    "written; operators given in another order are normal-ordered with OpenFermion first.";

constexpr const char* kClassDoc =
    "Coupled-cluster downfolding: H_eff = P e^{-T} H e^{T} P with the bare cluster\n"
    "operator T = T1 + T2 (the singles only with generator_pool ccsd_screened and\n"
    "ccsd_singles true), folded onto the active space over the Hartree-Fock reference.\n"
    "The singles act exactly (e^{-T1} H e^{T1} is a finite series); ccsd_n_comm and\n"
    "ccsd_max_body truncate the series in the doubles.\n\n"
    "The effective Hamiltonian is not Hermitian; its reference expectation is the\n"
    "coupled-cluster energy of the amplitudes. Options: ccsd_n_comm, ccsd_max_body,\n"
    "generator_pool, pool_tol, ccsd_singles (true when absent).";

constexpr const char* kRunDoc =
    "Transform, fold and solve: returns a Result with the non-Hermitian ground energy.";

}  // namespace

NB_MODULE(cendrel, m) {
    g_module = m.ptr();
    m.doc() =
        "Coupled-cluster downfolding: e^{-T} H e^{T} with the bare cluster operator (CCSD singles and doubles), "
        "folded onto the active space, solved with a general eigensolver.";

    m.attr("np") = import("numpy");
    nb::object base = import("korvel.methods.base");
    m.attr("Method") = base.attr("Method");
    m.attr("Result") = base.attr("Result");
    nb::object backends = import("korvel.backends.base");
    m.attr("Backend") = backends.attr("Backend");
    m.attr("FermionOp") = backends.attr("FermionOp");
    m.attr("downfold_to_active") = import("korvel.downfold.projector").attr("downfold_to_active");
    m.attr("compute_t2") = import("korvel.core.amplitudes").attr("compute_t2");
    m.attr("compute_amplitudes") = import("korvel.core.amplitudes").attr("compute_amplitudes");
    m.attr("ccsd_energy") = import("korvel.core.amplitudes").attr("ccsd_energy");

    korvel::py::def(
        m, "_cluster_operator_t2", "(problem, *, kind: str, tol: float) -> FermionOp", kClusterDoc,
        [](nb::object problem, nb::object kind, nb::object tol) {
            return cluster_operator_t2(problem, kind, tol);
        },
        nb::arg("problem").none(), nb::kw_only(), nb::arg("kind").none(), nb::arg("tol").none());

    korvel::py::def(
        m, "_cluster_operator", "(problem, *, kind: str, tol: float, singles: bool = True) -> FermionOp",
        kClusterFullDoc,
        [](nb::object problem, nb::object kind, nb::object tol, nb::object singles) {
            return cluster_operator(problem, kind, tol, singles);
        },
        nb::arg("problem").none(), nb::kw_only(), nb::arg("kind").none(), nb::arg("tol").none(),
        nb::arg("singles").none() = true);

    korvel::py::def(
        m, "_nonhermitian_ground_energy",
        "(hamiltonian, n_spinorb: int, n_elec: int, *, return_solver: bool = False) -> tuple",
        kGroundDoc,
        [](nb::object h, nb::object n_spinorb, nb::object n_elec, nb::object return_solver) {
            return nonhermitian_ground_energy(h, n_spinorb, n_elec,
                                              korvel::py::truthy(return_solver));
        },
        nb::arg("hamiltonian").none(), nb::arg("n_spinorb").none(), nb::arg("n_elec").none(),
        nb::kw_only(), nb::arg("return_solver").none() = false);

    korvel::py::def(
        m, "_nonhermiticity_l1", "(op: FermionOp) -> float", kL1Doc,
        [](nb::object op) { return nonhermiticity_l1(op); }, nb::arg("op").none());

    nb::dict ns;
    ns["name"] = "cendrel";
    ns["run"] = korvel::py::method(
        kModule, "CCSDDownfold", "run", "(self, problem, backend: Backend) -> Result", kRunDoc,
        [](nb::object self, nb::object problem, nb::object backend) {
            return run(self, problem, backend);
        },
        nb::arg("self").none(), nb::arg("problem").none(), nb::arg("backend").none());
    m.attr("CCSDDownfold") =
        korvel::py::make_class("CCSDDownfold", nb::make_tuple(m.attr("Method")), ns, kModule,
                               kClassDoc);
}
