// korvel.backends.olmera: the reference operator-algebra backend on OpenFermion.
//
// Operators arrive as FermionOp mappings ({term: coefficient}, the layout of
// FermionOperator.terms), are lifted to a FermionOperator, handled by OpenFermion's
// own routines (operator product, ladder-term normal ordering, get_sparse_operator)
// and lowered back to a mapping. This file only converts, sequences and checks arguments: every
// piece of algebra is OpenFermion's (or NumPy's / SciPy's for the state-vector line
// search), imported inside each call so that the module loads without them.
//
// The composite operations (similarity_transform, rotate_single, gradient) reach the
// elementary ones through the instance (self.commutator, self._truncate_body,
// self.hf_expectation), so a Python subclass that overrides one changes them all.
#include "common.h"

#include <cmath>
#include <complex>
#include <set>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using korvel::py::as_float;
using korvel::py::checked;
using korvel::py::complex_of;
using korvel::py::as_int;
using korvel::py::as_opt_int;
using korvel::py::import;
using korvel::py::type_name_of;

namespace {

constexpr const char* kModule = "korvel.backends.olmera";
constexpr const char* kClass = "OpenFermionBackend";

// Coefficients below this modulus are dropped when an OpenFermion result is lowered.
constexpr double kLowerTol = 1e-12;
// Inside the stepped rotation: stop a substep's series once an order adds less than
// kSeriesStop in modulus, and prune entries of modulus kPruneTol or less between steps.
constexpr double kSeriesStop = 1e-14;
constexpr double kPruneTol = 1e-13;
constexpr int kMaxSeriesOrder = 23;

// ---------------------------------------------------------------------------
// Small wrappers over the C API that turn a Python error into a C++ exception.

nb::object py_add(nb::handle a, nb::handle b) { return checked(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object py_mul(nb::handle a, nb::handle b) {
    return checked(PyNumber_Multiply(a.ptr(), b.ptr()));
}
nb::object py_abs(nb::handle a) { return checked(PyNumber_Absolute(a.ptr())); }

bool py_gt(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool py_eq(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

std::complex<double> as_ccomplex(nb::handle a) {
    Py_complex c = PyComplex_AsCComplex(a.ptr());
    if (c.real == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return {c.real, c.imag};
}

double py_to_double(nb::handle a) {
    double r = PyFloat_AsDouble(a.ptr());
    if (r == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

// dict(m): a shallow copy of any mapping.
nb::dict copy_mapping(nb::handle m) {
    return nb::steal<nb::dict>(
        checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), m.ptr()))
            .release());
}

// Visit (key, value) for each entry of m.items(), in order.
template <typename F>
void for_each_item(nb::handle m, F&& f) {
    nb::object items = m.attr("items")();
    for (nb::handle item : items) {
        if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
            f(nb::handle(PyTuple_GET_ITEM(item.ptr(), 0)),
              nb::handle(PyTuple_GET_ITEM(item.ptr(), 1)));
        } else {
            nb::object seq = checked(PySequence_Tuple(item.ptr()));
            if (PyTuple_GET_SIZE(seq.ptr()) != 2)
                throw nb::value_error("items() of an operator must yield (term, coefficient) pairs");
            f(nb::handle(PyTuple_GET_ITEM(seq.ptr(), 0)),
              nb::handle(PyTuple_GET_ITEM(seq.ptr(), 1)));
        }
    }
}

// d[key] = d.get(key, 0.0) + weight * coeff, with Python arithmetic so that the
// coefficient kinds of the operands (int, float, complex) combine as in Python.
// Returns weight * coeff.
nb::object accumulate(nb::dict& d, nb::handle key, nb::handle weight, nb::handle coeff) {
    nb::object add = py_mul(weight, coeff);
    PyObject* old = PyDict_GetItemWithError(d.ptr(), key.ptr());  // borrowed
    if (!old && PyErr_Occurred()) throw nb::python_error();
    nb::object zero = nb::float_(0.0);
    nb::object updated = py_add(old ? nb::handle(old) : nb::handle(zero), add);
    if (PyDict_SetItem(d.ptr(), key.ptr(), updated.ptr()) != 0) throw nb::python_error();
    return add;
}

// {k: v for k, v in d.items() if abs(v) > tol}
nb::dict prune(nb::handle d, double tol) {
    nb::dict out;
    nb::object t = nb::float_(tol);
    for_each_item(d, [&](nb::handle k, nb::handle v) {
        if (py_gt(py_abs(v), t)) out[k] = v;
    });
    return out;
}

// A keyword-only parameter without a default is bound to this marker by nanobind, so
// that its absence is reported the way the interpreter reports it, with the name.
PyObject* g_missing = nullptr;

bool is_missing(nb::handle o) { return o.ptr() == g_missing; }

void require_keywords(const char* func, std::initializer_list<std::pair<const char*, nb::handle>> args) {
    std::vector<std::string> absent;
    for (auto& [name, value] : args)
        if (is_missing(value)) absent.push_back(std::string("'") + name + "'");
    if (absent.empty()) return;
    std::string msg = std::string(func) + "() missing " + std::to_string(absent.size()) +
                      " required keyword-only argument" + (absent.size() > 1 ? "s" : "") + ": ";
    for (size_t i = 0; i < absent.size(); ++i) {
        if (i) msg += (i + 1 == absent.size()) ? " and " : ", ";
        msg += absent[i];
    }
    throw nb::type_error(msg.c_str());
}

// The integer argument as a Python int, or None.
nb::object opt_int_object(nb::handle o, const char* name) {
    std::optional<long long> v = as_opt_int(o, name);
    if (!v) return nb::none();
    return nb::int_(*v);
}

// ---------------------------------------------------------------------------
// Conversions between FermionOp mappings and FermionOperator.

nb::object to_of(nb::handle op) {
    nb::object fo = import("openfermion").attr("FermionOperator")();
    nb::dict terms;
    for_each_item(op, [&](nb::handle term, nb::handle coeff) { terms[term] = complex_of(coeff); });
    fo.attr("terms") = terms;
    return fo;
}

nb::dict from_of(nb::handle fo, double tol) {
    nb::dict out;
    nb::object t = nb::float_(tol);
    nb::object terms = fo.attr("terms");
    for_each_item(terms, [&](nb::handle term, nb::handle coeff) {
        if (py_gt(py_abs(coeff), t)) out[term] = complex_of(coeff);
    });
    return out;
}

// Canonical form of sum_k sign_k * fo_k, lowered to a mapping with the coefficients of
// modulus greater than kLowerTol.
//
// OpenFermion's normal_ordered, and the subtraction inside its commutator, accumulate
// with FermionOperator's += and -=, which delete every coefficient of modulus below
// 1e-8 as they go (also each partial term of a single term's reordering, when the
// coefficient itself is that small). Coefficients of 1e-8 ... 1e-12, which the package
// keeps, would be lost. So every ladder term is reordered by OpenFermion's
// normal_ordered_ladder_term with a unit coefficient (its expansion then has integer
// coefficients, nothing small to delete), and the expansions are combined here with
// the term's coefficient: the same linear combination normal_ordered forms, cut only
// at 1e-12.
nb::dict normal_ordered_lowered(std::initializer_list<std::pair<nb::handle, double>> parts) {
    nb::object reorder = import("openfermion").attr("normal_ordered_ladder_term");
    nb::object unit = nb::float_(1.0);
    nb::dict position;  // canonical term -> index into keys / acc
    std::vector<nb::object> keys;
    std::vector<std::complex<double>> acc;
    for (auto& [fo, sign] : parts) {
        nb::object terms = fo.attr("terms");
        for_each_item(terms, [&](nb::handle term, nb::handle coeff) {
            const std::complex<double> w = sign * as_ccomplex(coeff);
            nb::object expansion = reorder(term, unit).attr("terms");
            for_each_item(expansion, [&](nb::handle t, nb::handle u) {
                const std::complex<double> uc = as_ccomplex(u);
                const std::complex<double> add =
                    uc.imag() == 0.0 ? w * uc.real() : w * uc;  // uc is an integer in practice
                PyObject* pos = PyDict_GetItemWithError(position.ptr(), t.ptr());  // borrowed
                if (pos) {
                    acc[PyLong_AsSize_t(pos)] += add;
                } else {
                    if (PyErr_Occurred()) throw nb::python_error();
                    position[t] = nb::int_(keys.size());
                    keys.push_back(nb::borrow(t));
                    acc.push_back(add);
                }
            });
        });
    }
    nb::dict out;
    for (size_t i = 0; i < keys.size(); ++i)
        if (std::abs(acc[i]) > kLowerTol)
            out[keys[i]] = checked(PyComplex_FromDoubles(acc[i].real(), acc[i].imag()));
    return out;
}

// ---------------------------------------------------------------------------
// Determinant expectation of a normal-ordered ladder term.

// One (index, dagger) entry of a ladder term.
std::pair<nb::object, nb::object> unpack_pair(nb::handle entry, size_t pos) {
    if (PyTuple_Check(entry.ptr()) && PyTuple_GET_SIZE(entry.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(entry.ptr(), 0)),
                nb::borrow(PyTuple_GET_ITEM(entry.ptr(), 1))};
    std::string what = "term entry " + std::to_string(pos) +
                       " must be an (index, dagger) pair, not " + type_name_of(entry);
    PyObject* it = PyObject_GetIter(entry.ptr());
    if (!it) {
        PyErr_Clear();
        throw nb::value_error(what.c_str());
    }
    nb::object iter = nb::steal(it);
    std::vector<nb::object> vals;
    while (vals.size() < 3) {
        PyObject* v = PyIter_Next(iter.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        vals.push_back(nb::steal(v));
    }
    if (vals.size() != 2) {
        what = "term entry " + std::to_string(pos) + " must unpack into (index, dagger), got " +
               (vals.size() < 2 ? std::to_string(vals.size()) + " value(s)"
                                : std::string("more than two values"));
        throw nb::value_error(what.c_str());
    }
    return {vals[0], vals[1]};
}

// Number of creation operators of `term` when it has a nonzero expectation on the
// determinant with occupied set `occ`, -1 when it has none.
long diagonal_creations(nb::handle term, nb::handle occ) {
    if (!PyTuple_CheckExact(term.ptr()))
        throw nb::type_error(("term must be a tuple, not " + type_name_of(term)).c_str());
    if (!PySet_CheckExact(occ.ptr()))
        throw nb::type_error(("occ must be a set, not " + type_name_of(occ)).c_str());
    Py_ssize_t n = PyTuple_GET_SIZE(term.ptr());
    if (n == 0) return 0;  // the identity
    nb::list creations, annihilations;
    nb::object one = nb::int_(1), zero = nb::int_(0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto [idx, dag] = unpack_pair(PyTuple_GET_ITEM(term.ptr(), i), size_t(i));
        if (py_eq(dag, one))
            creations.append(idx);
        else if (py_eq(dag, zero))
            annihilations.append(idx);
    }
    nb::object sorted = import("builtins").attr("sorted");
    // A term that moves an electron maps the determinant onto an orthogonal one.
    if (!py_eq(sorted(creations), sorted(annihilations))) return -1;
    // Annihilating an empty orbital (equivalently creating into it) kills the term.
    for (nb::handle p : creations) {
        int in = PySet_Contains(occ.ptr(), p.ptr());
        if (in < 0) throw nb::python_error();
        if (!in) return -1;
    }
    return long(nb::len(creations));
}

// ---------------------------------------------------------------------------
// The methods of OpenFermionBackend.

nb::object commutator(nb::object, nb::object a, nb::object b) {
    nb::object fa = to_of(a);
    nb::object fb = to_of(b);
    // a b - b a: OpenFermion's operator products, normal-ordered together.
    nb::object ab = py_mul(fa, fb);
    nb::object ba = py_mul(fb, fa);
    return normal_ordered_lowered({{ab, 1.0}, {ba, -1.0}});
}

nb::object multiply(nb::object, nb::object a, nb::object b) {
    nb::object fa = to_of(a);
    nb::object fb = to_of(b);
    return normal_ordered_lowered({{py_mul(fa, fb), 1.0}});
}

nb::object normal_order(nb::object, nb::object a) {
    return normal_ordered_lowered({{to_of(a), 1.0}});
}

nb::object truncate_body(nb::object, nb::object op, nb::object max_body) {
    std::optional<long long> cap = as_opt_int(max_body, "max_body");
    if (op.is_none())
        throw nb::attribute_error("'NoneType' object has no attribute 'items'");
    if (!cap) return op;  // no cap: the operator itself
    nb::dict out;
    for_each_item(op, [&](nb::handle term, nb::handle coeff) {
        Py_ssize_t len = PyObject_Length(term.ptr());
        if (len < 0) throw nb::python_error();
        if ((long double)len <= 2.0L * (long double)*cap) out[term] = coeff;
    });
    return out;
}

// H + sum_{n=1..n_comm} ad^n(H) / n!, ad(X) = [X, sigma]: e^{-sigma} H e^{sigma} cut
// after order n_comm, each nested commutator capped at max_body before it is weighted
// and before the next one is taken of it.
nb::object similarity_transform(nb::object self, nb::object h, nb::object generator,
                                nb::object n_comm, nb::object max_body) {
    require_keywords("similarity_transform", {{"n_comm", n_comm}, {"max_body", max_body}});
    long long orders = as_int(n_comm, "n_comm");
    nb::object cap = opt_int_object(max_body, "max_body");

    nb::dict hbar = copy_mapping(h);
    nb::object cur = copy_mapping(h);
    nb::object factorial = import("math").attr("factorial");
    nb::object comm = self.attr("commutator");
    nb::object truncate = self.attr("_truncate_body");
    for (long long n = 1; n <= orders; ++n) {
        cur = truncate(comm(cur, generator), cap);
        nb::object fac = checked(PyNumber_TrueDivide(nb::float_(1.0).ptr(),
                                                     factorial(nb::int_(n)).ptr()));
        for_each_item(cur, [&](nb::handle term, nb::handle coeff) {
            accumulate(hbar, term, fac, coeff);
        });
    }
    return truncate(prune(hbar, kLowerTol), cap);
}

// e^{-theta A} H e^{theta A} as `substeps` rotations by eps = theta / substeps, each
// summed as H + sum_n eps^n/n! ad^n(H), ad(X) = [X, A], until an order adds less than
// 1e-14 (at most 23 orders); entries of modulus 1e-13 or less are pruned after every
// substep. The result is capped at max_body, as the other backends cap it.
nb::object rotate_single(nb::object self, nb::object h, nb::object generator, nb::object theta,
                         nb::object max_body, nb::object substeps) {
    require_keywords("rotate_single", {{"max_body", max_body}});
    double angle = as_float(theta, "theta");
    nb::object cap = opt_int_object(max_body, "max_body");
    long long steps = as_int(substeps, "substeps");
    if (steps == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError,
                        "substeps must be a positive integer, got 0 (the step angle is "
                        "theta / substeps)");
        throw nb::python_error();
    }
    if (steps < 0)
        throw nb::value_error(
            ("substeps must be a positive integer, got " + std::to_string(steps)).c_str());
    const double eps = angle / double(steps);

    nb::dict hbar = copy_mapping(h);
    nb::object comm = self.attr("commutator");
    for (long long s = 0; s < steps; ++s) {
        nb::object cur = copy_mapping(hbar);
        double weight = 1.0;
        for (int n = 1; n <= kMaxSeriesOrder; ++n) {
            cur = comm(cur, generator);
            int empty = PyObject_Not(cur.ptr());
            if (empty < 0) throw nb::python_error();
            if (empty) break;
            weight = weight * (eps / double(n));  // eps^n / n!
            nb::object w = nb::float_(weight);
            double added = 0.0;
            for_each_item(cur, [&](nb::handle key, nb::handle coeff) {
                added += py_to_double(py_abs(accumulate(hbar, key, w, coeff)));
            });
            if (added < kSeriesStop) break;
        }
        hbar = prune(hbar, kPruneTol);
    }
    return self.attr("_truncate_body")(hbar, cap);
}

// The angle minimising E(theta) = <HF| e^{-theta A} H e^{theta A} |HF>, by exact
// propagation of the reference state on the full Fock space: a 21-point grid over
// [-pi/2, pi/2], then 30 golden-section steps in the bracket around the grid minimum.
nb::object optimal_theta(nb::object, nb::object h, nb::object generator, nb::object occupied,
                         nb::object n_orb) {
    nb::object np = import("numpy");
    nb::object get_sparse_operator = import("openfermion.linalg").attr("get_sparse_operator");
    nb::object expm_multiply = import("scipy.sparse.linalg").attr("expm_multiply");

    long long norb = as_int(n_orb, "n_orb");
    if (norb < 0)
        throw nb::value_error(("n_orb must be non-negative, got " + std::to_string(norb)).c_str());
    const long long nq = 2 * norb;

    // Basis index of the determinant: spin-orbital 0 is the most significant of the nq
    // bits, as in get_sparse_operator. Each occupied spin-orbital counts once.
    std::set<long long> occ;
    for (nb::handle p : occupied) {
        long long q = as_int(p, "occupied");
        if (q < 0)
            throw nb::index_error(
                ("occupied spin-orbital " + std::to_string(q) + " is negative").c_str());
        if (q >= nq)
            throw nb::value_error(("occupied spin-orbital " + std::to_string(q) +
                                   " is outside the " + std::to_string(nq) +
                                   " spin-orbitals of n_orb=" + std::to_string(norb))
                                      .c_str());
        occ.insert(q);
    }
    nb::object idx = nb::int_(0);
    for (long long q : occ)
        idx = py_add(idx, checked(PyNumber_Lshift(nb::int_(1).ptr(), nb::int_(nq - 1 - q).ptr())));

    nb::object Hs = get_sparse_operator(to_of(h), "n_qubits"_a = nq);
    nb::object As = get_sparse_operator(to_of(generator), "n_qubits"_a = nq);
    nb::object hf = np.attr("zeros")(Hs.attr("shape")[0],
                                     "dtype"_a = nb::handle(reinterpret_cast<PyObject*>(&PyComplex_Type)));
    if (PyObject_SetItem(hf.ptr(), idx.ptr(), nb::float_(1.0).ptr()) != 0) throw nb::python_error();

    nb::object vdot = np.attr("vdot");
    auto energy = [&](double t) -> double {
        nb::object psi = expm_multiply(py_mul(nb::float_(t), As), hf);
        nb::object hpsi = checked(PyNumber_MatrixMultiply(Hs.ptr(), psi.ptr()));
        return py_to_double(vdot(psi, hpsi).attr("real"));
    };

    const double half_pi = M_PI / 2.0;
    nb::object grid_arr = np.attr("linspace")(-half_pi, half_pi, 21);
    std::vector<double> grid;
    for (nb::handle g : grid_arr.attr("tolist")()) grid.push_back(py_to_double(g));
    size_t best = 0;
    double best_val = 0.0;
    for (size_t i = 0; i < grid.size(); ++i) {
        double v = energy(grid[i]);
        if (i == 0 || v < best_val) {
            best = i;
            best_val = v;
        }
    }
    const double t0 = grid[best];
    const double step = grid[1] - grid[0];
    double lo = t0 - step, hi = t0 + step;
    const double gr = (std::sqrt(5.0) - 1.0) / 2.0;
    for (int it = 0; it < 30; ++it) {
        double x1 = hi - gr * (hi - lo);
        double x2 = lo + gr * (hi - lo);
        if (energy(x1) < energy(x2))
            hi = x2;
        else
            lo = x1;
    }
    return nb::float_(0.5 * (lo + hi));
}

// <HF|h|HF> from the normal-ordered terms alone: a number-diagonal term
// a+_{p1}..a+_{pk} a_{p1}..a_{pk} (p1 > .. > pk) on the determinant is (-1)^{k(k-1)/2}.
nb::object hf_expectation(nb::object, nb::object h, nb::object occupied) {
    nb::object occ = checked(PySet_New(occupied.ptr()));
    nb::dict no = normal_ordered_lowered({{to_of(h), 1.0}});
    double re = 0.0, im = 0.0;
    for_each_item(no, [&](nb::handle term, nb::handle coeff) {
        long k = diagonal_creations(term, occ);
        if (k < 0) return;
        const double s = (k % 4 == 2 || k % 4 == 3) ? -1.0 : 1.0;
        re += s * PyComplex_RealAsDouble(coeff.ptr());
        im += s * PyComplex_ImagAsDouble(coeff.ptr());
    });
    return checked(PyComplex_FromDoubles(re, im));
}

// Re <HF|[h, A]|HF>: the first-order energy change along e^{theta A}.
nb::object gradient(nb::object self, nb::object h, nb::object generator, nb::object occupied) {
    nb::object c = self.attr("commutator")(h, generator);
    nb::object e = self.attr("hf_expectation")(c, occupied);
    return checked(PyNumber_Float(e.attr("real").ptr()));
}

// ---------------------------------------------------------------------------
// Docstrings.

constexpr const char* kModuleDoc =
    "Reference operator-algebra backend, written directly on OpenFermion.\n\n"
    "Operators are FermionOp mappings {term: coefficient} in the layout of\n"
    "FermionOperator.terms. Each operation lifts them to a FermionOperator, uses\n"
    "OpenFermion's own routines and lowers the result, normal-ordered, with\n"
    "coefficients of modulus at most 1e-12 dropped. OpenFermion, NumPy and SciPy are\n"
    "imported when an operation runs, not when the module loads.";

constexpr const char* kClassDoc =
    "The reference operator algebra, implemented directly on OpenFermion.";

constexpr const char* kToOfDoc =
    "A new FermionOperator whose terms are those of ``op`` with complex coefficients.\n\n"
    "The terms are taken as they are (not validated, not reordered).";

constexpr const char* kFromOfDoc =
    "The terms of FermionOperator ``fo`` as a new mapping with complex coefficients,\n"
    "keeping those of modulus greater than ``tol``.";

constexpr const char* kDiagonalOnDoc =
    "Whether the normal-ordered ladder term ``term`` has a nonzero expectation on the\n"
    "determinant whose occupied spin-orbitals are ``occ``: it must create and annihilate\n"
    "the same spin-orbitals, all of them occupied.";

constexpr const char* kCommutatorDoc = "The commutator [a, b] = a b - b a, normal-ordered.";
constexpr const char* kMultiplyDoc = "The product a b, normal-ordered.";
constexpr const char* kNormalOrderDoc =
    "``a`` in canonical form: creation operators left of annihilation operators, each\n"
    "block in descending spin-orbital index, like terms combined.";
constexpr const char* kTruncateDoc =
    "The terms of ``op`` with at most ``max_body`` bodies (2*max_body ladder operators).\n\n"
    "With ``max_body`` None, ``op`` itself is returned.";
constexpr const char* kSimilarityDoc =
    "e^{-sigma} H e^{sigma} as the BCH series H + sum_{n=1..n_comm} ad^n(H)/n!,\n"
    "ad(X) = [X, sigma], every nested commutator capped at ``max_body`` bodies\n"
    "(None: no cap) before it is weighted and before the next order is taken of it.";
constexpr const char* kRotateDoc =
    "e^{-theta A} H e^{theta A} for one anti-Hermitian generator A, applied as\n"
    "``substeps`` rotations by theta/substeps, each summed as a commutator series.\n\n"
    "The result is capped at ``max_body`` bodies (None: no cap).";
constexpr const char* kOptimalThetaDoc =
    "The angle theta minimising <HF|e^{-theta A} H e^{theta A}|HF>, found by exact\n"
    "state propagation on the 2*n_orb spin-orbital Fock space: a 21-point grid on\n"
    "[-pi/2, pi/2] refined by 30 golden-section steps.";
constexpr const char* kHfExpectationDoc =
    "<HF|h|HF> on the determinant occupying the spin-orbitals ``occupied``.";
constexpr const char* kGradientDoc =
    "Re <HF|[h, A]|HF>, the slope of the reference energy along e^{theta A} at theta = 0.";

}  // namespace

NB_MODULE(olmera, m) {
    using korvel::py::def;
    using korvel::py::make_class;
    using korvel::py::method;

    m.doc() = kModuleDoc;

    // The only imports at load time: the standard library and the backend base.
    m.attr("math") = import("math");
    m.attr("Iterable") = import("typing").attr("Iterable");
    nb::object base = import("korvel.backends.base");
    m.attr("Backend") = base.attr("Backend");
    m.attr("FermionOp") = base.attr("FermionOp");

    if (!g_missing) {
        // Kept for the life of the process, like the module itself.
        g_missing = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        if (!g_missing) throw nb::python_error();
    }
    nb::handle missing(g_missing);

    // Each signature text serves twice: inspect.signature reads it, and nanobind shows
    // it in its own argument errors.
#define KORVEL_FUNCTION(NAME, SIG, DOC, FN, ...) \
    def(m, NAME, SIG, DOC, FN, nb::sig("def " NAME SIG), __VA_ARGS__)
#define KORVEL_METHOD(NAME, SIG, DOC, FN, ...)                            \
    ns[NAME] = method(kModule, kClass, NAME, SIG, DOC, FN, nb::sig("def " NAME SIG), \
                      nb::arg("self").none(), __VA_ARGS__)

    KORVEL_FUNCTION("_to_of", "(op: FermionOp) -> FermionOperator", kToOfDoc,
                    [](nb::object op) { return to_of(op); }, nb::arg("op").none());
    KORVEL_FUNCTION(
        "_from_of", "(fo, tol: float = 1e-12) -> FermionOp", kFromOfDoc,
        [](nb::object fo, nb::object tol) -> nb::object { return from_of(fo, as_float(tol, "tol")); },
        nb::arg("fo").none(), nb::arg("tol").none() = kLowerTol);

    nb::dict ns;
    ns["name"] = "openfermion";
    KORVEL_METHOD("commutator", "(self, a: FermionOp, b: FermionOp) -> FermionOp", kCommutatorDoc,
                  &commutator, nb::arg("a").none(), nb::arg("b").none());
    KORVEL_METHOD("multiply", "(self, a: FermionOp, b: FermionOp) -> FermionOp", kMultiplyDoc,
                  &multiply, nb::arg("a").none(), nb::arg("b").none());
    KORVEL_METHOD("normal_order", "(self, a: FermionOp) -> FermionOp", kNormalOrderDoc,
                  &normal_order, nb::arg("a").none());
    KORVEL_METHOD("_truncate_body", "(self, op: FermionOp, max_body: int | None) -> FermionOp",
                  kTruncateDoc, &truncate_body, nb::arg("op").none(), nb::arg("max_body").none());
    KORVEL_METHOD("similarity_transform",
                  "(self, h: FermionOp, generator: FermionOp, *, n_comm: int, "
                  "max_body: int | None) -> FermionOp",
                  kSimilarityDoc, &similarity_transform, nb::arg("h").none(),
                  nb::arg("generator").none(), nb::kw_only(), nb::arg("n_comm").none() = missing,
                  nb::arg("max_body").none() = missing);
    KORVEL_METHOD("rotate_single",
                  "(self, h: FermionOp, generator: FermionOp, theta: float, *, "
                  "max_body: int | None, substeps: int = 16) -> FermionOp",
                  kRotateDoc, &rotate_single, nb::arg("h").none(), nb::arg("generator").none(),
                  nb::arg("theta").none(), nb::kw_only(), nb::arg("max_body").none() = missing,
                  nb::arg("substeps").none() = 16);
    KORVEL_METHOD("optimal_theta",
                  "(self, h: FermionOp, generator: FermionOp, occupied, n_orb: int) -> float",
                  kOptimalThetaDoc, &optimal_theta, nb::arg("h").none(),
                  nb::arg("generator").none(), nb::arg("occupied").none(),
                  nb::arg("n_orb").none());
    KORVEL_METHOD("hf_expectation", "(self, h: FermionOp, occupied: Iterable[int]) -> complex",
                  kHfExpectationDoc, &hf_expectation, nb::arg("h").none(),
                  nb::arg("occupied").none());
    KORVEL_METHOD("gradient",
                  "(self, h: FermionOp, generator: FermionOp, occupied: Iterable[int]) -> float",
                  kGradientDoc, &gradient, nb::arg("h").none(), nb::arg("generator").none(),
                  nb::arg("occupied").none());

    m.attr(kClass) =
        make_class(kClass, nb::make_tuple(base.attr("Backend")), ns, kModule, kClassDoc);

    KORVEL_FUNCTION(
        "_diagonal_on", "(term: tuple, occ: set[int]) -> bool", kDiagonalOnDoc,
        [](nb::object term, nb::object occ) { return diagonal_creations(term, occ) >= 0; },
        nb::arg("term").none(), nb::arg("occ").none());
#undef KORVEL_FUNCTION
#undef KORVEL_METHOD
}
