// korvel.backends.tavrin: the Majorana backend.
//
// GpuBackend holds operators as bit-packed Majorana monomials, three parallel arrays
// (lo, hi, c) on an array module `xp`: uint64 limbs of the 128-bit mask (bit j = gamma_j)
// and complex128 coefficients. Its private array methods take `xp` explicitly and choose
// one of two routes by it:
//   * NumPy (the numpy module itself): the arrays are read into the C++ engine, which runs
//     fused loops without the interpreter lock;
//   * any other array module (CuPy on an NVIDIA GPU): the sequence of array operations
//     below is run on `xp` as it stands (broadcast XOR products, SWAR population counts,
//     lexsort plus prefix-sum merges).
// Both routes give the same rows in the same order. The way back to ladder operators
// contracts with the engine for both.
//
// CpuBackend is GpuBackend on NumPy, plus a native route for the public operations: terms
// are kept as normal-ordered ladder strings (creation and annihilation spin-orbital sets)
// and multiplied by Wick contraction, which needs far fewer pair products than the Majorana
// grid for many-body terms; the whole commutator series of the similarity transform stays
// in the engine. Its closed-form rotation about one generator and the energy curve behind
// the optimal angle run in the engine too, monomial by monomial (engine/rotation.h).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.h"
#include "engine/excitation_rotation.h"
#include "engine/fold_aware.h"
#include "engine/hf_value.h"
#include "engine/key_index.h"
#include "engine/ladder.h"
#include "engine/majorana_op.h"
#include "engine/memory.h"
#include "engine/rotation.h"
#include "engine/pool_gradient.h"
#include "engine/task_group.h"
#include "engine/term_sum.h"
#include "engine/wick.h"
#include "fermion_terms.h"

namespace nb = nanobind;
using namespace nb::literals;
using korvel::engine::cplx;
using korvel::engine::Mask;
using korvel::engine::MajoranaOp;
using korvel::engine::NormalTerms;
using korvel::py::as_float;
using korvel::py::checked;
using korvel::py::repr_of;
using korvel::py::as_int;
using korvel::py::as_opt_int;
using korvel::py::import;
using korvel::py::type_name_of;

namespace {

constexpr const char* kModule = "korvel.backends.tavrin";
constexpr double kTol = 1e-12;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// ---------------------------------------------------------------------------
// Host arrays

nb::object numpy() { return import("numpy"); }

bool is_numpy(nb::handle xp) { return xp.ptr() == numpy().ptr(); }

// A contiguous copy of `a` with NumPy dtype `dtype`, read through the buffer protocol.
template <typename T>
std::vector<T> host_vector(nb::handle a, const char* dtype) {
    nb::object np = numpy();
    nb::object arr = np.attr("ascontiguousarray")(a, "dtype"_a = np.attr(dtype)).attr("reshape")(-1);
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    std::vector<T> out(static_cast<std::size_t>(view.len) / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(T));
    PyBuffer_Release(&view);
    return out;
}

// A new one-dimensional NumPy array of `dtype` holding `data`.
template <typename T>
nb::object host_array(const T* data, std::size_t n, const char* dtype) {
    nb::object np = numpy();
    nb::object arr = np.attr("empty")(n, "dtype"_a = np.attr(dtype));
    if (n == 0) return arr;
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0)
        throw nb::python_error();
    std::memcpy(view.buf, data, n * sizeof(T));
    PyBuffer_Release(&view);
    return arr;
}

MajoranaOp op_from_arrays(nb::handle lo, nb::handle hi, nb::handle c) {
    MajoranaOp op;
    op.lo = host_vector<std::uint64_t>(lo, "uint64");
    op.hi = host_vector<std::uint64_t>(hi, "uint64");
    op.c = host_vector<cplx>(c, "complex128");
    if (op.lo.size() != op.c.size() || op.hi.size() != op.c.size())
        raise(PyExc_ValueError, "lo, hi and c must have one length, got " +
                                    std::to_string(op.lo.size()) + ", " +
                                    std::to_string(op.hi.size()) + " and " +
                                    std::to_string(op.c.size()));
    return op;
}

nb::tuple arrays_from_op(const MajoranaOp& op) {
    return nb::make_tuple(host_array(op.lo.data(), op.size(), "uint64"),
                          host_array(op.hi.data(), op.size(), "uint64"),
                          host_array(op.c.data(), op.size(), "complex128"));
}

nb::object rich(nb::handle a, nb::handle b, int op) {
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

nb::dict copy_dict(nb::handle h) {
    return nb::steal<nb::dict>(checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), h.ptr())).release());
}

template <typename F>
auto without_gil(F&& f) {
    nb::gil_scoped_release release;
    return f();
}

// ---------------------------------------------------------------------------
// Argument rules

std::optional<int> max_body_arg(nb::handle o) {
    std::optional<long long> v = as_opt_int(o, "max_body");
    if (!v) return std::nullopt;
    // Any cap of 64 bodies or more keeps every term the engine can hold.
    return static_cast<int>(std::clamp<long long>(*v, -1, 64));
}

int n_comm_arg(nb::handle o) {
    long long v = as_int(o, "n_comm");
    return static_cast<int>(std::clamp<long long>(v, -1, 1000000));
}

// ---------------------------------------------------------------------------
// Bit kernels

// SWAR population count on the array module `xp`, every step on unsigned 64-bit lanes.
nb::object swar_popcount(nb::handle xp, nb::handle a) {
    nb::object u64 = xp.attr("uint64");
    auto k = [&](unsigned long long v) { return u64(nb::int_(v)); };
    nb::object x = a.attr("astype")(u64);
    const nb::object m1 = k(0x5555555555555555ULL), m2 = k(0x3333333333333333ULL),
                     m4 = k(0x0f0f0f0f0f0f0f0fULL), h01 = k(0x0101010101010101ULL);
    const nb::object s1 = k(1), s2 = k(2), s4 = k(4), s56 = k(56);
    x = x - ((x >> s1) & m1);
    x = (x & m2) + ((x >> s2) & m2);
    x = (x + (x >> s4)) & m4;
    return (x * h01) >> s56;
}

nb::object popcount64(nb::handle xp, nb::handle a) {
    if (!is_numpy(xp)) return swar_popcount(xp, a);
    nb::object np = numpy();
    nb::object x = np.attr("asarray")(a).attr("astype")(np.attr("uint64"));
    std::vector<std::uint64_t> v = host_vector<std::uint64_t>(x, "uint64");
    for (auto& e : v) e = static_cast<std::uint64_t>(std::popcount(e));
    return host_array(v.data(), v.size(), "uint64").attr("reshape")(x.attr("shape"));
}

nb::object or_reduce(nb::handle xp, nb::handle arr) {
    if (is_numpy(xp)) {
        std::vector<std::uint64_t> v = host_vector<std::uint64_t>(arr, "uint64");
        std::uint64_t r = 0;
        for (std::uint64_t e : v) r |= e;
        return xp.attr("uint64")(nb::int_(r));
    }
    // The array module offers no OR reduction: the fold runs on the host.
    nb::object values = arr.attr("tolist")();
    nb::object acc = nb::int_(0);
    for (nb::handle v : values) acc = checked(PyNumber_Or(acc.ptr(), checked(PyNumber_Index(v.ptr())).ptr()));
    return xp.attr("uint64")(acc);
}

std::uint64_t limb_value(nb::handle v, const char* name) {
    if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr()))
        raise(PyExc_TypeError, std::string(name) + " must be an integer, not " + type_name_of(v));
    nb::object x = checked(PyNumber_Index(v.ptr()));
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(x.ptr(), &overflow);
    if (overflow < 0 || (!overflow && small < 0))
        raise(PyExc_ValueError, std::string(name) + " must be a 64-bit limb value (0 to 2**64 - 1), got " +
                                    repr_of(x));
    const unsigned long long r = PyLong_AsUnsignedLongLong(x.ptr());
    if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_ValueError, std::string(name) + " must be a 64-bit limb value (0 to 2**64 - 1), got " +
                                    repr_of(x));
    }
    return r;
}

nb::list set_bits128(nb::handle lo_int, nb::handle hi_int) {
    const std::uint64_t lo = limb_value(lo_int, "lo_int"), hi = limb_value(hi_int, "hi_int");
    nb::list out;
    for (int j = 0; j < 64; ++j)
        if ((lo >> j) & 1) out.append(j);
    for (int j = 0; j < 64; ++j)
        if ((hi >> j) & 1) out.append(64 + j);
    return out;
}

// ---------------------------------------------------------------------------
// Product, segmented sum, merge, commutator

nb::tuple empty_arrays(nb::handle xp) {
    nb::object u = xp.attr("zeros")(0, "dtype"_a = xp.attr("uint64"));
    return nb::make_tuple(u, u, xp.attr("zeros")(0, "dtype"_a = xp.attr("complex128")));
}

std::size_t length_of(nb::handle a) { return nb::cast<std::size_t>(a.attr("shape")[0]); }

// The raw pair grid on the host: row i*nb + j holds A_i B_j.
MajoranaOp product_grid(const MajoranaOp& a, const MajoranaOp& b) {
    const std::size_t na = a.size(), nb_ = b.size();
    const std::string what = "the Majorana product grid of " + std::to_string(na) + " x " +
                             std::to_string(nb_) + " monomials";
    korvel::engine::require_memory(korvel::engine::sat_mul(na, nb_),
                                   2 * sizeof(std::uint64_t) + sizeof(cplx), what.c_str());
    MajoranaOp out;
    out.resize(na * nb_);
    for (std::size_t i = 0; i < na; ++i)
        for (std::size_t j = 0; j < nb_; ++j) {
            const Mask ma = a.mask(i), mb = b.mask(j), m = ma ^ mb;
            const std::size_t r = i * nb_ + j;
            out.lo[r] = m.lo;
            out.hi[r] = m.hi;
            out.c[r] = korvel::engine::product_sign(ma, mb) * (a.c[i] * b.c[j]);
        }
    return out;
}

nb::tuple maj_product(nb::handle cls, nb::handle xp, nb::handle la, nb::handle ha, nb::handle ca,
                      nb::handle lb, nb::handle hb, nb::handle cb) {
    if (is_numpy(xp)) {
        MajoranaOp a = op_from_arrays(la, ha, ca), b = op_from_arrays(lb, hb, cb);
        if (a.size() == 0 || b.size() == 0) return empty_arrays(xp);
        return arrays_from_op(without_gil([&] { return product_grid(a, b); }));
    }
    const std::size_t na = length_of(la), nb_ = length_of(lb);
    if (na == 0 || nb_ == 0) return empty_arrays(xp);
    nb::object u64 = xp.attr("uint64");
    nb::object ALo = la.attr("reshape")(na, 1), AHi = ha.attr("reshape")(na, 1);
    nb::object BLo = lb.attr("reshape")(1, nb_), BHi = hb.attr("reshape")(1, nb_);
    nb::object out_lo = (ALo ^ BLo).attr("reshape")(-1);
    nb::object out_hi = (AHi ^ BHi).attr("reshape")(-1);
    nb::tuple shape = nb::make_tuple(na, nb_);
    nb::object bt = xp.attr("broadcast_to");
    nb::object AbLo = bt(ALo, shape), AbHi = bt(AHi, shape), BbLo = bt(BLo, shape), BbHi = bt(BHi, shape);
    nb::object one = u64(1);
    nb::object phi = xp.attr("zeros")(shape, "dtype"_a = u64);
    nb::object orr = cls.attr("_or_reduce"), bits = cls.attr("_set_bits128");
    auto modes = [&](nb::handle lo, nb::handle hi) {
        std::vector<int> out;
        for (nb::handle j : bits(nb::int_(orr(xp, lo)), nb::int_(orr(xp, hi)))) out.push_back(nb::cast<int>(j));
        return out;
    };
    const std::vector<int> a_bits = modes(la, ha), b_bits = modes(lb, hb);
    nb::object pc = cls.attr("_popcount64");
    auto low_ones = [&](int k) { return u64(nb::int_((std::uint64_t{1} << k) - 1)); };
    if (a_bits.size() < b_bits.size()) {
        // Modes of B below each mode of A.
        for (int i : a_bits) {
            nb::object bit, below;
            if (i < 64) {
                if (i == 0) continue;
                bit = (AbLo >> u64(i)) & one;
                below = pc(xp, BbLo & low_ones(i));
            } else {
                const int ii = i - 64;
                bit = (AbHi >> u64(ii)) & one;
                below = pc(xp, BbLo);
                if (ii > 0) below = below + pc(xp, BbHi & low_ones(ii));
            }
            phi = phi + bit * below;
        }
    } else {
        // Modes of A above each mode of B.
        for (int j : b_bits) {
            nb::object bit, above;
            if (j < 64) {
                bit = (BbLo >> u64(j)) & one;
                above = pc(xp, AbHi);
                if (j + 1 < 64) above = above + pc(xp, AbLo >> u64(j + 1));
            } else {
                const int jj = j - 64;
                if (jj + 1 >= 64) continue;
                bit = (BbHi >> u64(jj)) & one;
                above = pc(xp, AbHi >> u64(jj + 1));
            }
            phi = phi + bit * above;
        }
    }
    nb::object sign = (nb::float_(1.0) - nb::float_(2.0) * (phi & one).attr("astype")(xp.attr("float64")))
                          .attr("reshape")(-1);
    nb::object out_c = (ca.attr("reshape")(na, 1) * cb.attr("reshape")(1, nb_)).attr("reshape")(-1) * sign;
    return nb::make_tuple(out_lo, out_hi, out_c);
}

nb::object seg_sum_vals(nb::handle xp, nb::handle vals, nb::handle boundary) {
    if (is_numpy(xp)) {
        nb::object np = numpy();
        const bool complex_vals = nb::cast<std::string>(np.attr("asarray")(vals).attr("dtype").attr("kind")) == "c";
        std::vector<std::uint8_t> b = host_vector<std::uint8_t>(boundary, "bool_");
        auto run = [&](auto zero, const char* dtype) {
            using T = decltype(zero);
            std::vector<T> v = host_vector<T>(vals, dtype);
            if (v.size() != b.size())
                raise(PyExc_ValueError, "vals and boundary must have one length");
            if (!v.empty() && !b[0]) raise(PyExc_ValueError, "boundary[0] must be True");
            std::vector<T> out;
            for (std::size_t k = 0; k < v.size(); ++k) {
                if (b[k]) out.push_back(v[k]);
                else out.back() += v[k];
            }
            return host_array(out.data(), out.size(), dtype);
        };
        return complex_vals ? run(cplx{}, "complex128") : run(double{}, "float64");
    }
    const std::size_t n = length_of(vals);
    nb::object starts = xp.attr("nonzero")(boundary)[0];
    nb::object csum = xp.attr("cumsum")(vals);
    nb::object last = xp.attr("asarray")(nb::make_tuple(n - 1), "dtype"_a = starts.attr("dtype"));
    nb::object ends = xp.attr("concatenate")(
        nb::make_tuple(starts[nb::slice(nb::int_(1), nb::none(), nb::none())] - nb::int_(1), last));
    return csum[ends] - csum[starts] + vals[starts];
}

nb::tuple merge(nb::handle cls, nb::handle xp, nb::handle lo, nb::handle hi, nb::handle c, double tol) {
    if (length_of(lo) == 0) return nb::make_tuple(lo, hi, c);
    if (is_numpy(xp)) {
        MajoranaOp op = op_from_arrays(lo, hi, c);
        return arrays_from_op(without_gil([&] { return korvel::engine::merge(op, tol); }));
    }
    nb::object order = xp.attr("lexsort")(xp.attr("stack")(nb::make_tuple(lo, hi)));
    nb::object l = lo[order], h = hi[order], v = c[order];
    const std::size_t n = length_of(l);
    nb::object boundary = xp.attr("empty")(n, "dtype"_a = xp.attr("bool_"));
    boundary[nb::int_(0)] = nb::bool_(true);
    nb::object rest = nb::slice(nb::int_(1), nb::none(), nb::none());
    nb::object head = nb::slice(nb::none(), nb::int_(-1), nb::none());
    boundary[rest] = rich(l[rest], l[head], Py_NE) | rich(h[rest], h[head], Py_NE);
    nb::object oc = cls.attr("_seg_sum_vals")(xp, v, boundary);
    nb::object keep = rich(xp.attr("abs")(oc), nb::float_(tol), Py_GT);
    return nb::make_tuple(l[boundary][keep], h[boundary][keep], oc[keep]);
}

nb::tuple commutator_maj(nb::handle cls, nb::handle xp, nb::handle la, nb::handle ha, nb::handle ca,
                         nb::handle lb, nb::handle hb, nb::handle cb) {
    if (is_numpy(xp)) {
        MajoranaOp a = op_from_arrays(la, ha, ca), b = op_from_arrays(lb, hb, cb);
        return arrays_from_op(without_gil([&] { return korvel::engine::commutator(a, b, kTol); }));
    }
    nb::tuple p1 = nb::cast<nb::tuple>(cls.attr("_maj_product")(xp, la, ha, ca, lb, hb, cb));
    nb::tuple p2 = nb::cast<nb::tuple>(cls.attr("_maj_product")(xp, lb, hb, cb, la, ha, ca));
    nb::object cat = xp.attr("concatenate");
    return nb::cast<nb::tuple>(cls.attr("_merge")(xp, cat(nb::make_tuple(p1[0], p2[0])),
                                                  cat(nb::make_tuple(p1[1], p2[1])),
                                                  cat(nb::make_tuple(p1[2], -p2[2]))));
}

// ---------------------------------------------------------------------------
// Conversions

// The (orbital, action) pairs of one term, read as Python objects.
struct LadderOp {
    nb::object orb;
    bool creation;
};

std::vector<LadderOp> ladder_ops(nb::handle term) {
    std::vector<LadderOp> ops;
    for (nb::handle pair : term) {
        nb::object seq = checked(PySequence_Fast(pair.ptr(), "a term's ladder operator must be an (orbital, dagger) pair"));
        if (PySequence_Fast_GET_SIZE(seq.ptr()) != 2)
            raise(PyExc_ValueError, "a term's ladder operator must unpack into (orbital, dagger), got " +
                                        repr_of(pair));
        nb::handle orb = PySequence_Fast_GET_ITEM(seq.ptr(), 0);
        nb::handle act = PySequence_Fast_GET_ITEM(seq.ptr(), 1);
        const int eq = PyObject_RichCompareBool(act.ptr(), nb::int_(1).ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        const int zero = eq == 1 ? 0 : PyObject_RichCompareBool(act.ptr(), nb::int_(0).ptr(), Py_EQ);
        if (zero < 0) throw nb::python_error();
        if (eq != 1 && zero != 1)
            raise(PyExc_ValueError, "dagger flag " + repr_of(act) + " in term " + repr_of(term) +
                                        " must be 0 (annihilation) or 1 (creation)");
        ops.push_back({nb::borrow(orb), eq == 1});
    }
    return ops;
}

int orbital_index(nb::handle orb) {
    nb::object x = checked(PyNumber_Index(orb.ptr()));
    int overflow = 0;
    const long long p = PyLong_AsLongLongAndOverflow(x.ptr(), &overflow);
    if (overflow || p < 0 || p >= korvel::engine::kMaxSpinOrbitals)
        raise(overflow > 0 || p >= 0 ? PyExc_OverflowError : PyExc_ValueError,
              "spin-orbital index " + repr_of(x) +
                  " is outside 0 to 63, the 64 spin-orbitals of the Majorana backend");
    return static_cast<int>(p);
}

nb::tuple expand_fermionic(nb::handle cls, nb::handle xp, nb::handle term, nb::handle coeff) {
    const std::vector<LadderOp> ops = ladder_ops(term);
    const cplx c0 = korvel::py::to_complex(coeff);
    if (!std::isfinite(c0.real()) || !std::isfinite(c0.imag()))
        raise(PyExc_ValueError, "coefficient of term " + repr_of(term) + " is not finite: " +
                                    repr_of(coeff));
    if (is_numpy(xp)) {
        MajoranaOp acc;
        acc.push_back({}, c0);
        if (ops.empty()) return arrays_from_op(acc);
        std::vector<std::pair<int, bool>> plain;
        for (const LadderOp& op : ops) plain.push_back({orbital_index(op.orb), op.creation});
        return arrays_from_op(without_gil([&] {
            for (const auto& [orb, creation] : plain) {
                MajoranaOp factor;
                factor.push_back(Mask::mode(2 * orb), cplx(0.5, 0.0));
                factor.push_back(Mask::mode(2 * orb + 1), cplx(0.0, creation ? -0.5 : 0.5));
                acc = korvel::engine::multiply(acc, factor, kTol);
            }
            return acc;
        }));
    }
    nb::object np = numpy();
    nb::object u64 = xp.attr("uint64");
    nb::object lo = xp.attr("zeros")(1, "dtype"_a = u64), hi = xp.attr("zeros")(1, "dtype"_a = u64);
    nb::list c0l;
    c0l.append(nb::steal(PyComplex_FromDoubles(c0.real(), c0.imag())));
    nb::object c = xp.attr("asarray")(np.attr("array")(c0l, "dtype"_a = np.attr("complex128")));
    nb::object one = nb::int_(1);
    for (const LadderOp& op : ops) {
        nb::object two_orb = checked(PyNumber_Multiply(nb::int_(2).ptr(), op.orb.ptr()));
        nb::list lows, highs;
        for (int d = 0; d < 2; ++d) {
            nb::object m = checked(PyNumber_Add(two_orb.ptr(), nb::int_(d).ptr()));
            if (PyObject_RichCompareBool(m.ptr(), nb::int_(64).ptr(), Py_LT) == 1) {
                lows.append(one << m);
                highs.append(0);
            } else {
                lows.append(0);
                highs.append(one << (m - nb::int_(64)));
            }
        }
        nb::list coeffs;
        coeffs.append(nb::steal(PyComplex_FromDoubles(0.5, 0.0)));
        coeffs.append(nb::steal(PyComplex_FromDoubles(0.0, op.creation ? -0.5 : 0.5)));
        nb::object fl = xp.attr("asarray")(np.attr("array")(lows, "dtype"_a = np.attr("uint64")));
        nb::object fh = xp.attr("asarray")(np.attr("array")(highs, "dtype"_a = np.attr("uint64")));
        nb::object fc = xp.attr("asarray")(np.attr("array")(coeffs, "dtype"_a = np.attr("complex128")));
        nb::tuple p = nb::cast<nb::tuple>(cls.attr("_maj_product")(xp, lo, hi, c, fl, fh, fc));
        nb::tuple mg = nb::cast<nb::tuple>(cls.attr("_merge")(xp, p[0], p[1], p[2]));
        lo = mg[0];
        hi = mg[1];
        c = mg[2];
    }
    return nb::make_tuple(lo, hi, c);
}

nb::object items_of(nb::handle op) { return nb::borrow(op).attr("items")(); }

bool is_zero(nb::handle v) {
    const int r = PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The canonical Majorana form of a FermionOp, expanded in the engine; `name` names the
// argument in errors.
// The terms of a FermionOp read and checked by the package's rules (finite coefficients,
// dagger flags 0 or 1, spin-orbitals the engine holds); `name` names the argument.
korvel::py::ReducedFermionOp checked_terms(nb::handle op, const char* name) {
    try {
        return korvel::py::reduced_terms_from(op, name);
    } catch (nb::python_error&) {
        throw;
    } catch (const std::exception& e) {
        // A spin-orbital past the 128 modes: the overflow of a limb, as on the array route.
        const std::string text = e.what();
        if (text.find("is beyond the") != std::string::npos) raise(PyExc_OverflowError, text);
        throw;
    }
}

MajoranaOp majorana_of(nb::handle op, const char* name) {
    korvel::py::ReducedFermionOp terms = checked_terms(op, name);
    return without_gil([&] {
        MajoranaOp e = korvel::engine::expand_reduced(terms.terms.data(), terms.keep.data(),
                                                      terms.terms.size(), kTol);
        return korvel::engine::merge(e, kTol);
    });
}

nb::tuple to_maj(nb::handle cls, nb::handle xp, nb::handle op) {
    if (is_numpy(xp)) return arrays_from_op(majorana_of(op, "op"));
    // The array route expands term by term; the operator is first read by the same rules
    // as on the host, so that a NaN coefficient or a dagger flag of 2 is refused alike.
    checked_terms(op, "op");
    nb::list lows, highs, coeffs;
    nb::tuple e = empty_arrays(xp);
    lows.append(e[0]);
    highs.append(e[1]);
    coeffs.append(e[2]);
    nb::object expand = cls.attr("_expand_fermionic");
    for (nb::handle item : items_of(op)) {
        nb::object term = item[0], coeff = item[1];
        if (is_zero(coeff)) continue;
        nb::tuple t = nb::cast<nb::tuple>(expand(xp, term, coeff));
        lows.append(t[0]);
        highs.append(t[1]);
        coeffs.append(t[2]);
    }
    nb::object cat = xp.attr("concatenate");
    return nb::cast<nb::tuple>(cls.attr("_merge")(xp, cat(lows), cat(highs), cat(coeffs)));
}

// A Python FermionOp dict of normal-ordered terms.
template <typename S>
nb::dict dict_of(const korvel::engine::NormalTermsT<S>& t) {
    korvel::engine::require_memory(t.size(), 160, "the result dict of ladder terms");
    korvel::py::KeyLayout layout;
    korvel::py::lay_out_keys(t, layout);
    korvel::py::FermionOpBuilder builder;
    builder.add(t, layout);
    return builder.result();
}

nb::object host_copy(nb::handle a) {
    if (PyObject_HasAttrString(a.ptr(), "get")) return a.attr("get")();
    return nb::borrow(a);
}

nb::dict from_maj_op(const MajoranaOp& op, long long n_orb, double tol) {
    const long long modes = n_orb <= 0 ? 0 : std::min<long long>(4 * n_orb, korvel::engine::kMaxModes);
    const Mask support = op.support();
    for (int j = 0; j < korvel::engine::kMaxModes; ++j)
        if (support.has(j) && j >= modes) {
            // A row holds a mode past the table of 2*n_orb spin-orbitals: as a lookup of the
            // mode in that table would.
            bool live = false;
            for (std::size_t k = 0; k < op.size() && !live; ++k)
                live = op.mask(k).has(j) && korvel::engine::survives(op.c[k], tol);
            if (live) {
                PyErr_SetObject(PyExc_KeyError, nb::int_(j).ptr());
                throw nb::python_error();
            }
        }
    const int n_so = static_cast<int>(modes / 2);
    if (op.size() >= korvel::engine::kSplitRows) korvel::engine::wake_helpers();
    // The helper threads contract the parts and lay out their keys without the GIL; this
    // thread takes the GIL for each part in turn, in order, to put its terms into the dict.
    korvel::py::FermionOpBuilder builder;
    korvel::py::KeyLayout layouts[korvel::engine::kParts];
    {
        nb::gil_scoped_release release;
        korvel::engine::contract_number_conserving_streamed(
            op, n_so, tol,
            [&](unsigned q, const NormalTerms& part) { korvel::py::lay_out_keys(part, layouts[q]); },
            [&](unsigned q, const NormalTerms& part) {
                nb::gil_scoped_acquire acquire;
                builder.add(part, layouts[q]);
                layouts[q] = korvel::py::KeyLayout{};
            });
    }
    return builder.result();
}

nb::dict from_maj(nb::handle lo, nb::handle hi, nb::handle c, long long n_orb, double tol) {
    return from_maj_op(op_from_arrays(host_copy(lo), host_copy(hi), host_copy(c)), n_orb, tol);
}

long long n_orb_of(nb::args ops) {
    nb::object m = nb::int_(0);
    for (nb::handle op : ops)
        for (nb::handle term : op)
            for (nb::handle pair : term) {
                nb::object seq = checked(PySequence_Tuple(pair.ptr()));
                if (PyTuple_GET_SIZE(seq.ptr()) != 2)
                    raise(PyExc_ValueError, "a term's ladder operator must unpack into (orbital, dagger), got " +
                                                repr_of(pair));
                nb::handle orb = PyTuple_GET_ITEM(seq.ptr(), 0);
                const int gt = PyObject_RichCompareBool(orb.ptr(), m.ptr(), Py_GT);
                if (gt < 0) throw nb::python_error();
                if (gt) m = nb::borrow(orb);
            }
    nb::object r = checked(PyNumber_FloorDivide(m.ptr(), nb::int_(2).ptr()));
    return as_int(r, "orbital") + 1;
}

// ---------------------------------------------------------------------------
// Truncations

nb::tuple truncate_body_maj(nb::handle self, nb::handle xp, nb::handle lo, nb::handle hi, nb::handle c,
                            nb::handle max_body) {
    const std::optional<int> mb = max_body_arg(max_body);
    if (!mb) return nb::make_tuple(lo, hi, c);
    if (is_numpy(xp)) {
        MajoranaOp op = op_from_arrays(lo, hi, c), out;
        for (std::size_t k = 0; k < op.size(); ++k)
            if (op.mask(k).weight() <= 2 * *mb) out.push_back(op.mask(k), op.c[k]);
        return arrays_from_op(out);
    }
    nb::object pc = self.attr("_popcount64");
    nb::object weight = pc(xp, lo) + pc(xp, hi);
    nb::object keep = rich(weight, xp.attr("uint64")(std::max(0, 2 * *mb)), Py_LE);
    if (*mb < 0) keep = xp.attr("zeros")(length_of(lo), "dtype"_a = xp.attr("bool_"));
    return nb::make_tuple(lo[keep], hi[keep], c[keep]);
}

nb::object truncate_body_fermionic(nb::handle op, nb::handle max_body) {
    const std::optional<int> mb = max_body_arg(max_body);
    if (!mb) return nb::borrow(op);
    nb::dict out;
    for (nb::handle item : items_of(op)) {
        nb::object term = item[0];
        const Py_ssize_t len = PyObject_Length(term.ptr());
        if (len < 0) throw nb::python_error();
        if (len <= 2 * static_cast<Py_ssize_t>(*mb)) out[term] = item[1];
    }
    return out;
}

// ---------------------------------------------------------------------------
// Public operations of GpuBackend: the array route on self._xp()

nb::object call_progress(nb::handle self, int order, std::size_t terms, double seconds) {
    nb::object hook = nb::getattr(self, "progress", nb::none());
    if (hook.is_none()) return nb::none();
    return hook(order, terms, seconds);
}

nb::object gpu_multiply(nb::handle self, nb::handle a, nb::handle b, bool commutator) {
    nb::object xp = self.attr("_xp")();
    nb::object n_orb = self.attr("_n_orb_of")(a, b);
    nb::tuple A = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, a));
    nb::tuple B = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, b));
    nb::tuple r;
    if (commutator) {
        r = nb::cast<nb::tuple>(self.attr("_commutator_maj")(xp, A[0], A[1], A[2], B[0], B[1], B[2]));
    } else {
        nb::tuple p = nb::cast<nb::tuple>(self.attr("_maj_product")(xp, A[0], A[1], A[2], B[0], B[1], B[2]));
        r = nb::cast<nb::tuple>(self.attr("_merge")(xp, p[0], p[1], p[2]));
    }
    return self.attr("_from_maj")(xp, r[0], r[1], r[2], n_orb);
}

nb::object cpu_normal_order(nb::handle, nb::handle a);

// Normal ordering needs no array work, and the way back from Majorana arrays keeps only
// number-conserving terms: a_0^dagger would come back as {}. Both routes therefore normal-
// order on the host, as the CPU backend does, and keep every term as the reference does.
nb::object gpu_normal_order(nb::handle self, nb::handle a) { return cpu_normal_order(self, a); }

double abs_of(nb::handle v) {  // abs(v) as the interpreter computes it
    nb::object a = checked(PyNumber_Absolute(v.ptr()));
    const double r = PyFloat_AsDouble(a.ptr());
    if (r == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

double factorial(int n) {
    double f = 1.0;
    for (int k = 2; k <= n; ++k) f *= k;
    return f;
}

nb::object gpu_similarity(nb::handle self, nb::handle h, nb::handle generator, nb::handle n_comm_o,
                          nb::handle max_body_o) {
    const int n_comm = n_comm_arg(n_comm_o);
    const std::optional<long long> max_body = as_opt_int(max_body_o, "max_body");
    nb::object xp = self.attr("_xp")();
    nb::object n_orb = self.attr("_n_orb_of")(h, generator);
    nb::object cat = xp.attr("concatenate");
    if (!max_body) {
        nb::tuple G = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, generator));
        nb::tuple acc = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, h));
        nb::tuple cur = acc;
        for (int n = 1; n <= n_comm; ++n) {
            const auto t0 = std::chrono::steady_clock::now();
            cur = nb::cast<nb::tuple>(
                self.attr("_commutator_maj")(xp, cur[0], cur[1], cur[2], G[0], G[1], G[2]));
            const std::size_t rows = length_of(cur[0]);
            call_progress(self, n, rows,
                          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            if (rows == 0) break;
            nb::object fac = nb::float_(1.0 / factorial(n));
            acc = nb::cast<nb::tuple>(self.attr("_merge")(xp, cat(nb::make_tuple(acc[0], cur[0])),
                                                         cat(nb::make_tuple(acc[1], cur[1])),
                                                         cat(nb::make_tuple(acc[2], fac * cur[2]))));
        }
        return self.attr("_from_maj")(xp, acc[0], acc[1], acc[2], n_orb);
    }
    // Body-rank cap on the fermionic side after every commutator, as the reference does:
    // the first commutator is taken of h as given, each later one of the capped operator.
    nb::object trunc = self.attr("_truncate_body_fermionic");
    nb::dict hbar = nb::cast<nb::dict>(trunc(copy_dict(h), max_body_o));
    if (hbar.ptr() == h.ptr()) hbar = copy_dict(h);
    nb::object cur = copy_dict(h);
    for (int n = 1; n <= n_comm; ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        cur = trunc(self.attr("commutator")(cur, generator), max_body_o);
        const Py_ssize_t len = PyObject_Length(cur.ptr());
        if (len < 0) throw nb::python_error();
        call_progress(self, n, static_cast<std::size_t>(len),
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        if (len == 0) break;
        nb::object fac = nb::float_(1.0 / factorial(n));
        for (nb::handle item : items_of(cur)) {
            nb::object term = item[0];
            nb::object old = hbar.contains(term) ? nb::object(hbar[term]) : nb::object(nb::float_(0.0));
            hbar[term] = old + fac * item[1];
        }
    }
    nb::dict kept;
    for (auto [term, value] : hbar)
        if (abs_of(value) > kTol) kept[term] = value;
    return trunc(kept, max_body_o);
}

// ---------------------------------------------------------------------------
// CpuBackend: normal-ordered ladder strings in the engine

// The ladder algebra runs on one 64-bit word per spin-orbital set when every operator of a
// call fits it, and on wide sets (up to 256 spin-orbitals) otherwise: f(S{}) is called with
// the set type, first one word; a reader that meets an index past it throws NeedsWideSets,
// and the whole call is made again on wide sets. Nothing of the first attempt is kept.
template <typename F>
auto on_fitting_sets(F&& f) {
    try {
        return f(std::uint64_t{});
    } catch (const korvel::py::NeedsWideSets&) {
        return f(korvel::engine::WideSpinSet{});
    }
}

// The normal-ordered terms of a FermionOp on the set type S. `widen` (inside
// on_fitting_sets) asks a one-word read to give way to the wide sets; without it an index
// past the set is the reader's ValueError.
template <typename S>
korvel::engine::NormalTermsT<S> normal_terms_of(nb::handle op, const char* name, bool widen = true) {
    const korvel::py::ReducedFermionOpT<S> terms = korvel::py::reduced_terms_from<S>(op, name, widen);
    return without_gil([&] {
        return korvel::engine::normal_from_reduced(terms.terms.data(), terms.keep.data(),
                                                   terms.terms.size(), 0.0);
    });
}

template <typename S>
korvel::engine::NormalTermsT<S> pruned(const korvel::engine::NormalTermsT<S>& t, double tol) {
    korvel::engine::NormalTermsT<S> out;
    for (std::size_t k = 0; k < t.size(); ++k)
        if (korvel::engine::survives(t.c[k], tol)) {
            out.cre.push_back(t.cre[k]);
            out.ann.push_back(t.ann[k]);
            out.c.push_back(t.c[k]);
        }
    return out;
}

nb::object cpu_multiply(nb::handle, nb::handle a, nb::handle b, bool commutator) {
    return on_fitting_sets([&](auto tag) -> nb::object {
        using S = decltype(tag);
        const auto A = normal_terms_of<S>(a, "a"), B = normal_terms_of<S>(b, "b");
        return dict_of(without_gil([&] {
            return commutator ? korvel::engine::normal_commutator(A, B, kTol)
                              : korvel::engine::normal_multiply(A, B, kTol);
        }));
    });
}

nb::object cpu_normal_order(nb::handle, nb::handle a) {
    return on_fitting_sets([&](auto tag) -> nb::object {
        using S = decltype(tag);
        return dict_of(pruned(normal_terms_of<S>(a, "a"), kTol));
    });
}

// hbar = h (its own keys and values, capped at max_body) plus the series sum, entries of
// modulus at most tol dropped; the new keys follow the keys of h.
template <typename S>
nb::object combine(nb::handle h, const korvel::engine::NormalTermsT<S>& sum, std::optional<int> max_body) {
    nb::dict s = dict_of(sum);
    nb::dict out;
    for (nb::handle item : items_of(h)) {
        nb::object term = item[0], value = item[1];
        if (max_body) {
            const Py_ssize_t len = PyObject_Length(term.ptr());
            if (len < 0) throw nb::python_error();
            if (len > 2 * static_cast<Py_ssize_t>(*max_body)) continue;
        }
        PyObject* add = PyDict_GetItemWithError(s.ptr(), term.ptr());
        if (!add && PyErr_Occurred()) throw nb::python_error();
        if (add) {
            nb::object a = nb::borrow(add);
            value = checked(PyNumber_Add(value.ptr(), a.ptr()));
            if (PyDict_DelItem(s.ptr(), term.ptr()) != 0) throw nb::python_error();
        }
        if (abs_of(value) > kTol) out[term] = value;
        else if (PyDict_DelItem(out.ptr(), term.ptr()) != 0) PyErr_Clear();
    }
    if (PyDict_Update(out.ptr(), s.ptr()) != 0) throw nb::python_error();
    return out;
}

template <typename S>
nb::object cpu_similarity_on(nb::handle self, nb::handle h, nb::handle generator, int n_comm,
                             std::optional<int> max_body) {
    using Terms = korvel::engine::NormalTermsT<S>;
    Terms H = normal_terms_of<S>(h, "h"), G = normal_terms_of<S>(generator, "generator");
    Terms cur = std::move(H);
    auto total = std::make_unique<korvel::engine::FlatSumT<S>>(cur.size());
    for (int n = 1; n <= n_comm; ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        without_gil([&] {
            cur = korvel::engine::normal_commutator(cur, G, kTol);
            if (max_body) cur = korvel::engine::truncate_body(cur, *max_body);
            const double weight = 1.0 / factorial(n);
            for (std::size_t k = 0; k < cur.size(); ++k) total->add(cur.cre[k], cur.ann[k], weight * cur.c[k]);
            return 0;
        });
        call_progress(self, n, cur.size(),
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        if (cur.size() == 0) break;
    }
    cur = Terms{};
    Terms sum = korvel::engine::terms_of(*total, kTol);
    total.reset();
    return combine(h, sum, max_body);
}

nb::object cpu_similarity(nb::handle self, nb::handle h, nb::handle generator, nb::handle n_comm_o,
                          nb::handle max_body_o) {
    const int n_comm = n_comm_arg(n_comm_o);
    const std::optional<int> max_body = max_body_arg(max_body_o);
    return on_fitting_sets([&](auto tag) {
        return cpu_similarity_on<decltype(tag)>(self, h, generator, n_comm, max_body);
    });
}

// The fold-aware transform: the series of similarity_transform folded onto the active space
// of `problem` (its n_core, n_act and occupied, read as downfold_to_active reads them),
// carrying at each order only the terms that can still reach the folded operator.
template <typename S>
korvel::engine::FoldSpaceT<S> fold_space_of(nb::handle problem, S& occupied) {
    const long long n_core = korvel::py::non_negative(problem.attr("n_core"), "n_core");
    const long long n_act = korvel::py::non_negative(problem.attr("n_act"), "n_act");
    occupied = korvel::py::occupied_mask<S>(problem.attr("occupied"), true);
    return korvel::engine::FoldSpaceT<S>::of(n_core, n_act, occupied);
}

nb::list float_list(const std::vector<double>& v) {
    nb::list out;
    for (double x : v) out.append(x);
    return out;
}

nb::list count_list(const std::vector<std::size_t>& v) {
    nb::list out;
    for (std::size_t x : v) out.append(x);
    return out;
}

template <typename S>
nb::object cpu_fold_aware_on(nb::handle self, nb::handle h, nb::handle generator, nb::handle problem,
                             int n_comm, std::optional<int> max_body) {
    const auto H = normal_terms_of<S>(h, "h"), G = normal_terms_of<S>(generator, "generator");
    S occupied{};
    const korvel::engine::FoldSpaceT<S> space = fold_space_of(problem, occupied);
    korvel::engine::FoldedSeriesT<S> r;
    {
        nb::gil_scoped_release release;
        r = korvel::engine::fold_aware_series(
            H, G, space, occupied, n_comm, max_body, kTol, [&](int order, std::size_t terms, double seconds) {
                nb::gil_scoped_acquire acquire;
                call_progress(self, order, terms, seconds);
            });
    }
    nb::dict out;
    out["effective_hamiltonian"] = dict_of(r.effective);
    nb::list partial;
    for (const auto& p : r.partial) partial.append(dict_of(p));
    out["partial"] = partial;
    out["body_cap_dropped_l1"] = float_list(r.cap_dropped_l1);
    out["terms_kept"] = count_list(r.kept);
    out["terms_formed"] = count_list(r.formed);
    out["screened"] = r.screened;
    return out;
}

nb::object cpu_fold_aware(nb::handle self, nb::handle h, nb::handle generator, nb::handle problem,
                          nb::handle n_comm_o, nb::handle max_body_o) {
    const int n_comm = n_comm_arg(n_comm_o);
    const std::optional<int> max_body = max_body_arg(max_body_o);
    return on_fitting_sets([&](auto tag) {
        return cpu_fold_aware_on<decltype(tag)>(self, h, generator, problem, n_comm, max_body);
    });
}

// The fold alone, on the ladder terms: every external spin-orbital projected onto its
// occupation in the problem's reference determinant (downfold_to_active's operator, past
// the 64 spin-orbitals of the Majorana fold too).
nb::object ladder_fold(nb::handle h, nb::handle problem) {
    return on_fitting_sets([&](auto tag) -> nb::object {
        using S = decltype(tag);
        const auto H = normal_terms_of<S>(h, "hamiltonian");
        S occupied{};
        const korvel::engine::FoldSpaceT<S> space = fold_space_of(problem, occupied);
        return dict_of(without_gil([&] { return korvel::engine::fold_normal(H, space, kTol); }));
    });
}

// The occupied spin-orbitals as a set of the given type: the iterable is consumed once
// into a set, so duplicates and order do not matter; indices past the widest set lie
// outside every operator the backend holds and are ignored, and so are those past one word
// when the operators fit one word.
template <typename S>
S occupied_set(nb::handle occupied) {
    nb::object s = checked(PySet_New(occupied.ptr()));
    S m{};
    for (nb::handle p : s) {
        if (!PyIndex_Check(p.ptr()))
            raise(PyExc_TypeError, "occupied must hold spin-orbital indices (int), got " + type_name_of(p));
        nb::object v = checked(PyNumber_Index(p.ptr()));
        if (PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT) == 1)
            raise(PyExc_ValueError, "occupied spin-orbital indices must be >= 0, got " + repr_of(v));
        if (PyObject_RichCompareBool(v.ptr(), nb::int_(korvel::engine::kSetBits<S>).ptr(), Py_GE) == 1) continue;
        m |= korvel::engine::sets::single<S>(nb::cast<int>(v));
    }
    return m;
}

// ---------------------------------------------------------------------------
// Values on the Hartree-Fock determinant

// The occupied spin-orbitals as limb masks (occupied_set's rules: indices of 64 and above
// lie outside every operator the Majorana backend holds and are ignored).
korvel::engine::OccMasks occ_masks(nb::handle occupied) {
    korvel::engine::OccMasks m;
    korvel::engine::sets::for_each_descending(occupied_set<std::uint64_t>(occupied),
                                              [&](int p) { m.add(static_cast<unsigned long long>(p)); });
    return m;
}

cplx complex_of(nb::handle v) {
    const Py_complex z = PyComplex_AsCComplex(v.ptr());
    if (z.real == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return {z.real, z.imag};
}

nb::object host_copy_of(nb::handle a) {
    if (nb::hasattr(a, "get")) return a.attr("get")();
    return numpy().attr("asarray")(a);
}

nb::object hf_value_per_monomial(nb::handle cls, nb::handle xp, nb::handle lo, nb::handle hi, nb::handle c,
                                 nb::handle occ) {
    const korvel::engine::OccMasks m = occ_masks(occ);
    nb::object np = numpy();
    if (is_numpy(xp)) {
        MajoranaOp op = op_from_arrays(lo, hi, c);
        std::vector<cplx> v = without_gil([&] { return korvel::engine::hf_values(op, m); });
        return host_array(v.data(), v.size(), "complex128");
    }
    // The array route: host copies, then bit operations over all monomials at once.
    nb::object u64 = np.attr("uint64");
    nb::object l = host_copy_of(lo).attr("astype")(u64), h = host_copy_of(hi).attr("astype")(u64);
    nb::object cc = host_copy_of(c);
    if (length_of(l) == 0) return np.attr("zeros")(0, "dtype"_a = np.attr("complex128"));
    nb::object ev = u64(nb::int_(0x5555555555555555ULL)), one = u64(1);
    nb::object ev_lo = l & ev, ev_hi = h & ev;
    nb::object paired = rich(ev_lo, (l >> one) & ev, Py_EQ) & rich(ev_hi, (h >> one) & ev, Py_EQ);
    nb::object occ_lo = u64(nb::int_(m.lo)), occ_hi = u64(nb::int_(m.hi));
    nb::object pc = cls.attr("_np_popcount");
    nb::object npairs = pc(np, ev_lo) + pc(np, ev_hi);
    nb::object nocc = pc(np, ev_lo & occ_lo) + pc(np, ev_hi & occ_hi);
    nb::list phases;
    phases.append(nb::float_(1.0));
    phases.append(checked(PyComplex_FromDoubles(0.0, 1.0)));
    phases.append(nb::float_(-1.0));
    phases.append(checked(PyComplex_FromDoubles(0.0, -1.0)));
    nb::object table = np.attr("array")(phases, "dtype"_a = np.attr("complex128"));
    nb::object val = cc * table[npairs & nb::int_(3)] * (nb::int_(1) - nb::int_(2) * (nocc & nb::int_(1)));
    val[paired.attr("__invert__")()] = nb::float_(0.0);
    return val;
}

nb::object gpu_hf_expectation(nb::handle self, nb::handle h, nb::handle occupied) {
    nb::object xp = self.attr("_xp")();
    nb::object occ = checked(PySet_New(occupied.ptr()));
    nb::tuple H = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, h));
    nb::object vals = self.attr("_hf_value_per_monomial")(xp, H[0], H[1], H[2], occ);
    const cplx v = complex_of(vals.attr("sum")());
    return checked(PyComplex_FromDoubles(v.real(), v.imag()));
}

nb::object gpu_gradient(nb::handle self, nb::handle h, nb::handle generator, nb::handle occupied) {
    nb::object xp = self.attr("_xp")();
    nb::object occ = checked(PySet_New(occupied.ptr()));
    nb::tuple H = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, h));
    nb::tuple A = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, generator));
    nb::tuple p = nb::cast<nb::tuple>(self.attr("_maj_product")(xp, H[0], H[1], H[2], A[0], A[1], A[2]));
    nb::tuple r = nb::cast<nb::tuple>(self.attr("_merge")(xp, p[0], p[1], p[2]));
    nb::object vals = self.attr("_hf_value_per_monomial")(xp, r[0], r[1], r[2], occ);
    return nb::float_(2.0 * complex_of(vals.attr("sum")()).real());
}

nb::object cpu_hf_expectation(nb::handle, nb::handle h, nb::handle occupied) {
    return on_fitting_sets([&](auto tag) -> nb::object {
        using S = decltype(tag);
        const S occ = occupied_set<S>(occupied);
        const auto H = normal_terms_of<S>(h, "h");
        const cplx v = without_gil([&] { return korvel::engine::hf_expectation_normal(H, occ); });
        return checked(PyComplex_FromDoubles(v.real(), v.imag()));
    });
}

nb::object cpu_gradient(nb::handle, nb::handle h, nb::handle generator, nb::handle occupied) {
    return on_fitting_sets([&](auto tag) -> nb::object {
        using S = decltype(tag);
        const S occ = occupied_set<S>(occupied);
        const auto H = normal_terms_of<S>(h, "h"), A = normal_terms_of<S>(generator, "generator");
        return nb::float_(without_gil([&] {
            return 2.0 *
                   korvel::engine::hf_expectation_normal(korvel::engine::normal_multiply(H, A, 0.0), occ).real();
        }));
    });
}

// ---------------------------------------------------------------------------
// Tagged operators: every row carries the position of the Hamiltonian monomial it descends
// from, so one batched pass classifies and rotates all monomials at once. On NumPy the engine
// does it monomial by monomial (engine/rotation.h) and gives the same rows in the same order.

korvel::engine::TaggedOp tagged_from_arrays(nb::handle t, nb::handle l, nb::handle h, nb::handle c) {
    korvel::engine::TaggedOp x;
    x.op = op_from_arrays(l, h, c);
    x.tag = host_vector<std::int64_t>(t, "int64");
    if (x.tag.size() != x.op.size())
        raise(PyExc_ValueError, "tags and rows must have one length, got " + std::to_string(x.tag.size()) +
                                    " and " + std::to_string(x.op.size()));
    return x;
}

// (t, l, h, c) arrays of a tagged operator.
nb::tuple arrays_from_tagged(const korvel::engine::TaggedOp& x) {
    nb::tuple lhc = arrays_from_op(x.op);
    return nb::make_tuple(host_array(x.tag.data(), x.size(), "int64"), lhc[0], lhc[1], lhc[2]);
}

// The raw product a b with tags: row i*nb + j takes ta[i] (from_a) or ta[j] (from b).
nb::tuple prod_tagged(nb::handle cls, nb::handle xp, nb::handle la, nb::handle ha, nb::handle ca,
                      nb::handle ta, nb::handle lb, nb::handle hb, nb::handle cb, bool from_a) {
    nb::tuple p = nb::cast<nb::tuple>(cls.attr("_maj_product")(xp, la, ha, ca, lb, hb, cb));
    nb::object t = from_a ? xp.attr("repeat")(ta, length_of(lb)) : xp.attr("tile")(ta, length_of(la));
    return nb::make_tuple(p[0], p[1], p[2], t);
}

// Rows sorted by (tag, hi, lo), equal (tag, monomial) pairs summed, sums with |c| <= tol
// dropped. Takes and gives (t, l, h, c).
nb::tuple seg_merge_tagged(nb::handle cls, nb::handle xp, nb::handle t, nb::handle l, nb::handle h,
                           nb::handle c, double tol) {
    const std::size_t n = length_of(l);
    if (n == 0) return nb::make_tuple(t, l, h, c);
    if (is_numpy(xp)) {
        korvel::engine::TaggedOp rows = tagged_from_arrays(t, l, h, c);
        return arrays_from_tagged(without_gil([&] { return korvel::engine::merge_tagged(rows, tol); }));
    }
    nb::object order = xp.attr("lexsort")(xp.attr("stack")(nb::make_tuple(l, h, t.attr("astype")(xp.attr("uint64")))));
    nb::object ts = t[order], ls = l[order], hs = h[order], cs = c[order];
    nb::object boundary = xp.attr("empty")(n, "dtype"_a = xp.attr("bool_"));
    boundary[nb::int_(0)] = nb::bool_(true);
    nb::object rest = nb::slice(nb::int_(1), nb::none(), nb::none());
    nb::object head = nb::slice(nb::none(), nb::int_(-1), nb::none());
    boundary[rest] = rich(ls[rest], ls[head], Py_NE) | rich(hs[rest], hs[head], Py_NE) |
                     rich(ts[rest], ts[head], Py_NE);
    nb::object oc = cls.attr("_seg_sum_vals")(xp, cs, boundary);
    nb::object keep = rich(xp.attr("abs")(oc), nb::float_(tol), Py_GT);
    return nb::make_tuple(ts[boundary][keep], ls[boundary][keep], hs[boundary][keep], oc[keep]);
}

// Sum of |c| per tag, for tags 0 .. ntags - 1.
nb::object seg_l1(nb::handle xp, nb::handle t, nb::handle c, std::size_t ntags) {
    if (length_of(c) == 0) return xp.attr("zeros")(ntags, "dtype"_a = xp.attr("float64"));
    nb::object w = xp.attr("bincount")(t.attr("astype")(xp.attr("int64")), "weights"_a = xp.attr("abs")(c),
                                       "minlength"_a = ntags);
    return w[nb::slice(nb::none(), nb::int_(ntags), nb::none())];
}

nb::object cat4(nb::handle xp, nb::handle a, nb::handle b) {
    return xp.attr("concatenate")(nb::make_tuple(a, b));
}

// [X, A] of a tagged operator X: tags of X kept.
nb::tuple commutator_tagged(nb::handle cls, nb::handle xp, nb::handle lh, nb::handle hh, nb::handle ch,
                            nb::handle th, nb::handle lA, nb::handle hA, nb::handle cA) {
    if (is_numpy(xp)) {
        korvel::engine::TaggedOp x = tagged_from_arrays(th, lh, hh, ch);
        MajoranaOp a = op_from_arrays(lA, hA, cA);
        return arrays_from_tagged(without_gil([&] { return korvel::engine::commutator_tagged(x, a); }));
    }
    nb::tuple p1 = prod_tagged(cls, xp, lh, hh, ch, th, lA, hA, cA, true);
    nb::tuple p2 = prod_tagged(cls, xp, lA, hA, cA, th, lh, hh, ch, false);
    nb::object neg = -p2[2];
    return seg_merge_tagged(cls, xp, cat4(xp, p1[3], p2[3]), cat4(xp, p1[0], p2[0]), cat4(xp, p1[1], p2[1]),
                            cat4(xp, p1[2], neg), kTol);
}

// cm = [h, A] per Hamiltonian monomial h, and its label alpha: 1 when the sandwich
// A cm A vanishes (ad_A^3 h = -ad_A h), 4 when it equals cm (ad_A^3 h = -4 ad_A h), else the
// nearer of the two in l1 norm (ties to 1).
nb::tuple alpha_per_monomial(nb::handle cls, nb::handle xp, nb::handle lH, nb::handle hH, nb::handle cH,
                             nb::handle lA, nb::handle hA, nb::handle cA) {
    const std::size_t k = length_of(lH);
    nb::object c_obj = nb::borrow(cls), xp_obj = nb::borrow(xp);
    nb::object merger = nb::cpp_function(
        [c_obj, xp_obj](nb::handle t, nb::handle l, nb::handle h, nb::handle c, nb::handle tol_o) {
            return seg_merge_tagged(c_obj, xp_obj, t, l, h, c, as_float(tol_o, "tol"));
        },
        nb::arg("t").none(), nb::arg("l").none(), nb::arg("h").none(), nb::arg("c").none(),
        nb::arg("tol").none() = kTol, nb::name("seg_merge_tagged"));
    if (is_numpy(xp)) {
        MajoranaOp h = op_from_arrays(lH, hH, cH), a = op_from_arrays(lA, hA, cA);
        korvel::engine::TaggedOp cm;
        std::vector<std::int64_t> alpha;
        without_gil([&] {
            const std::vector<korvel::engine::MonomialRotation> data = korvel::engine::rotation_data(h, a, false);
            cm = korvel::engine::tagged_cm(data);
            for (const auto& r : data) alpha.push_back(r.alpha);
            return 0;
        });
        nb::tuple t = arrays_from_tagged(cm);
        return nb::make_tuple(t[0], t[1], t[2], t[3], host_array(alpha.data(), alpha.size(), "int64"), merger);
    }
    nb::object tags = xp.attr("arange")(k, "dtype"_a = xp.attr("int64"));
    nb::tuple p1 = prod_tagged(cls, xp, lH, hH, cH, tags, lA, hA, cA, true);
    nb::tuple p2 = prod_tagged(cls, xp, lA, hA, cA, tags, lH, hH, cH, false);
    nb::object neg2 = -p2[2];
    nb::tuple cm = seg_merge_tagged(cls, xp, cat4(xp, p1[3], p2[3]), cat4(xp, p1[0], p2[0]),
                                    cat4(xp, p1[1], p2[1]), cat4(xp, p1[2], neg2), kTol);
    nb::tuple s1 = prod_tagged(cls, xp, lA, hA, cA, cm[0], cm[1], cm[2], cm[3], false);
    nb::tuple s1m = seg_merge_tagged(cls, xp, s1[3], s1[0], s1[1], s1[2], kTol);
    nb::tuple s2 = prod_tagged(cls, xp, s1m[1], s1m[2], s1m[3], s1m[0], lA, hA, cA, true);
    nb::tuple S = seg_merge_tagged(cls, xp, s2[3], s2[0], s2[1], s2[2], kTol);
    nb::object l1S = seg_l1(xp, S[0], S[3], k);
    nb::object negcm = -cm[3];
    nb::tuple D = seg_merge_tagged(cls, xp, cat4(xp, S[0], cm[0]), cat4(xp, S[1], cm[1]), cat4(xp, S[2], cm[2]),
                                   cat4(xp, S[3], negcm), kTol);
    nb::object l1d = seg_l1(xp, D[0], D[3], k);
    nb::object tol = nb::float_(korvel::engine::kAlphaTolerance);
    nb::object where = xp.attr("where");
    nb::object one = nb::int_(1), four = nb::int_(4);
    nb::object alpha = where(rich(l1S, tol, Py_LE), one,
                             where(rich(l1d, tol, Py_LE), four, where(rich(l1S, l1d, Py_LE), one, four)))
                           .attr("astype")(xp.attr("int64"));
    return nb::make_tuple(cm[0], cm[1], cm[2], cm[3], alpha, merger);
}

// A generator must be anti-Hermitian: the closed forms assume it, and anything else is
// refused rather than rotated into a wrong operator.
void require_anti_hermitian(const MajoranaOp& a) {
    const korvel::engine::HermitianDefect d = korvel::engine::hermitian_defect(a);
    if (!d.anti_hermitian())
        raise(PyExc_ValueError, "generator must be anti-Hermitian (A^dagger = -A); its Hermitian part has a "
                                "Majorana coefficient of modulus " + std::to_string(d.defect));
}

void require_anti_hermitian(nb::handle lA, nb::handle hA, nb::handle cA) {
    if (length_of(lA) == 0) return;
    require_anti_hermitian(op_from_arrays(host_copy_of(lA), host_copy_of(hA), host_copy_of(cA)));
}

double theta_arg(nb::handle theta_o) {
    const double theta = as_float(theta_o, "theta");
    if (!std::isfinite(theta)) raise(PyExc_ValueError, "theta must be a finite angle, got " + repr_of(theta_o));
    return theta;
}

// The generator in a message: its repr, cut short for long generators.
std::string generator_repr(nb::handle generator) {
    std::string r = repr_of(generator);
    if (r.size() > 300) r = r.substr(0, 300) + "...}";
    return r;
}

// Runs engine work for one generator without the GIL; an orbit that does not close is a
// ValueError naming the generator.
template <typename F>
auto for_generator(nb::handle generator, F&& f) {
    try {
        return without_gil(std::forward<F>(f));
    } catch (const korvel::engine::RotationNotClosedError& e) {
        raise(PyExc_ValueError, "no exact rotation about the generator " + generator_repr(generator) + ": " + e.what());
    }
}

// Sum of |c|^2 per tag, for tags 0 .. ntags - 1.
nb::object seg_l2sq(nb::handle xp, nb::handle t, nb::handle c, std::size_t ntags) {
    if (length_of(c) == 0) return xp.attr("zeros")(ntags, "dtype"_a = xp.attr("float64"));
    nb::object a = xp.attr("abs")(c);
    nb::object w = xp.attr("bincount")(t.attr("astype")(xp.attr("int64")), "weights"_a = a * a, "minlength"_a = ntags);
    return w[nb::slice(nb::none(), nb::int_(ntags), nb::none())];
}

// Raw rows of a tagged product of n rows with the generator's, sized before the product.
void require_tagged_rows(std::size_t n, std::size_t a_rows, const char* what) {
    korvel::engine::require_memory(korvel::engine::sat_mul(2 * n, a_rows), 2 * sizeof(std::uint64_t) + sizeof(cplx) + 16,
                                   what);
}

// The three nested commutators of the overlapping monomials, tagged by monomial, and the
// closure of each: ad^3 h = -omega^2 ad h (the rotation is then h + sin(omega t)/omega cm
// + (1 - cos(omega t))/omega^2 dcm exactly). omega^2 = |tcm| / |cm| (2-norms); the closure
// holds when |tcm + omega^2 cm| <= 1e-12 |tcm|. Tags without a commutator are closed.
// Raw rows per overlapping monomial above which a product of the closure test is not
// formed on the array route (a unit double needs at most 8 x 8 x 2).
constexpr std::uint64_t kArrayClosureRows = 1024;

struct ArrayClosure {
    nb::tuple cm, dcm;
    nb::object omega, closed;
};

// Every monomial left to the engine's exact route.
ArrayClosure all_open(nb::handle xp, std::size_t k) {
    ArrayClosure r;
    nb::object z = xp.attr("zeros");
    r.cm = r.dcm = nb::make_tuple(z(0, "dtype"_a = xp.attr("int64")), z(0, "dtype"_a = xp.attr("uint64")),
                                  z(0, "dtype"_a = xp.attr("uint64")), z(0, "dtype"_a = xp.attr("complex128")));
    r.omega = z(k, "dtype"_a = xp.attr("float64"));
    r.closed = z(k, "dtype"_a = xp.attr("bool_"));
    return r;
}

ArrayClosure array_closure(nb::handle self, nb::handle xp, nb::handle l_ov, nb::handle h_ov, nb::handle c_ov,
                           nb::tuple A) {
    const std::size_t k = length_of(l_ov), na = length_of(A[0]);
    nb::object tags = xp.attr("arange")(k, "dtype"_a = xp.attr("int64"));
    nb::object ct = self.attr("_commutator_tagged");
    require_tagged_rows(k, na, "the commutators [h, A] of the monomials meeting the generator");
    ArrayClosure r;
    r.cm = nb::cast<nb::tuple>(ct(xp, l_ov, h_ov, c_ov, tags, A[0], A[1], A[2]));
    if (korvel::engine::sat_mul(length_of(r.cm[1]), na) > kArrayClosureRows * k) return all_open(xp, k);
    require_tagged_rows(length_of(r.cm[1]), na, "the double commutators [[h, A], A]");
    r.dcm = nb::cast<nb::tuple>(ct(xp, r.cm[1], r.cm[2], r.cm[3], r.cm[0], A[0], A[1], A[2]));
    // A product this large means orbits that do not close after three commutators: the
    // engine's exact route takes them all (and refuses promptly what it cannot rotate).
    if (korvel::engine::sat_mul(length_of(r.dcm[1]), na) > kArrayClosureRows * k) return all_open(xp, k);
    require_tagged_rows(length_of(r.dcm[1]), na, "the triple commutators [[[h, A], A], A]");
    nb::tuple tcm = nb::cast<nb::tuple>(ct(xp, r.dcm[1], r.dcm[2], r.dcm[3], r.dcm[0], A[0], A[1], A[2]));
    nb::object n1 = seg_l2sq(xp, r.cm[0], r.cm[3], k), n3 = seg_l2sq(xp, tcm[0], tcm[3], k);
    nb::object zero = nb::float_(0.0);
    nb::object has = rich(n1, zero, Py_GT);
    nb::object where = xp.attr("where");
    nb::object mu = xp.attr("sqrt")(n3 / where(has, n1, nb::float_(1.0)));
    mu = where(has, mu, zero);
    nb::object cat = xp.attr("concatenate");
    nb::tuple res = seg_merge_tagged(self, xp, cat(nb::make_tuple(tcm[0], r.cm[0])), cat(nb::make_tuple(tcm[1], r.cm[1])),
                                     cat(nb::make_tuple(tcm[2], r.cm[2])),
                                     cat(nb::make_tuple(tcm[3], r.cm[3] * mu[r.cm[0]])), 0.0);
    nb::object nr = seg_l2sq(xp, res[0], res[3], k);
    r.closed = rich(nr, nb::float_(1e-24) * n3, Py_LE) | has.attr("__invert__")();
    r.omega = xp.attr("sqrt")(mu);
    return r;
}

// The monomials whose orbits do not close after three commutators, rotated exactly by the
// engine on the host: their rows (rotated minus original) as arrays of `xp`.
nb::tuple engine_rows(nb::handle xp, nb::handle generator, nb::handle l, nb::handle h, nb::handle c,
                      const MajoranaOp& A, double theta) {
    const MajoranaOp sub = op_from_arrays(host_copy_of(l), host_copy_of(h), host_copy_of(c));
    MajoranaOp delta = for_generator(generator, [&] {
        MajoranaOp r = korvel::engine::rotate_single(sub, A, theta);
        for (std::size_t k = 0; k < sub.size(); ++k) r.push_back(sub.mask(k), -sub.c[k]);
        return korvel::engine::merge(r, kTol);
    });
    nb::tuple t = arrays_from_op(delta);
    nb::object as = xp.attr("asarray");
    return nb::make_tuple(as(t[0]), as(t[1]), as(t[2]));
}

nb::object gpu_rotate_single(nb::handle self, nb::handle h, nb::handle generator, nb::handle theta_o,
                             nb::handle max_body_o) {
    as_opt_int(max_body_o, "max_body");
    const double theta = theta_arg(theta_o);
    nb::object xp = self.attr("_xp")();
    nb::object n_orb = self.attr("_n_orb_of")(h, generator);
    nb::tuple H = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, h));
    nb::tuple A = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, generator));
    require_anti_hermitian(A[0], A[1], A[2]);
    if (length_of(A[0]) == 0 || length_of(H[0]) == 0)
        return self.attr("_from_maj")(xp, H[0], H[1], H[2], n_orb);
    nb::object u64 = xp.attr("uint64");
    nb::object AmL = self.attr("_or_reduce")(xp, A[0]), AmH = self.attr("_or_reduce")(xp, A[1]);
    nb::object zero = u64(0);
    nb::object ov = rich(H[0] & AmL, zero, Py_NE) | rich(H[1] & AmH, zero, Py_NE);
    nb::object l_ov = H[0][ov], h_ov = H[1][ov], c_ov = H[2][ov];
    nb::list out_l, out_h, out_c;
    out_l.append(H[0]);
    out_h.append(H[1]);
    out_c.append(H[2]);
    if (length_of(l_ov) > 0) {
        ArrayClosure r = array_closure(self, xp, l_ov, h_ov, c_ov, A);
        nb::object where = xp.attr("where");
        nb::object w = r.omega, has = rich(w, nb::float_(0.0), Py_GT);
        nb::object ws = where(has, w, nb::float_(1.0));
        nb::object wt = ws * nb::float_(theta);
        nb::object a_of = where(r.closed & has, xp.attr("sin")(wt) / ws, nb::float_(0.0));
        nb::object b_of = where(r.closed & has, (nb::float_(1.0) - xp.attr("cos")(wt)) / (ws * ws), nb::float_(0.0));
        out_l.append(r.cm[1]);
        out_h.append(r.cm[2]);
        out_c.append(r.cm[3] * a_of[r.cm[0]]);
        out_l.append(r.dcm[1]);
        out_h.append(r.dcm[2]);
        out_c.append(r.dcm[3] * b_of[r.dcm[0]]);
        nb::object open = r.closed.attr("__invert__")();
        if (PyObject_IsTrue(open.attr("any")().ptr()) == 1) {
            const MajoranaOp Ah = op_from_arrays(host_copy_of(A[0]), host_copy_of(A[1]), host_copy_of(A[2]));
            nb::tuple e = engine_rows(xp, generator, l_ov[open], h_ov[open], c_ov[open], Ah, theta);
            out_l.append(e[0]);
            out_h.append(e[1]);
            out_c.append(e[2]);
        }
    }
    nb::object cat = xp.attr("concatenate");
    nb::tuple m = nb::cast<nb::tuple>(self.attr("_merge")(xp, cat(out_l), cat(out_h), cat(out_c)));
    nb::object out = self.attr("_from_maj")(xp, m[0], m[1], m[2], n_orb);
    return self.attr("_truncate_body_fermionic")(out, max_body_o);
}

// CpuBackend: both operators into the engine once, the whole rotation there without the GIL.
nb::object cpu_rotate_single(nb::handle self, nb::handle h, nb::handle generator, nb::handle theta_o,
                             nb::handle max_body_o) {
    as_opt_int(max_body_o, "max_body");
    const double theta = theta_arg(theta_o);
    const MajoranaOp H = majorana_of(h, "h"), A = majorana_of(generator, "generator");
    require_anti_hermitian(A);
    const long long n_orb = nb::cast<long long>(self.attr("_n_orb_of")(h, generator));
    MajoranaOp rotated = for_generator(generator, [&] { return korvel::engine::rotate_single(H, A, theta); });
    return truncate_body_fermionic(from_maj_op(rotated, n_orb, kTol), max_body_o);
}

// ---------------------------------------------------------------------------
// The optimal angle: E(theta) = <HF| e^{-theta A} H e^{theta A} |HF> as a sum of waves (see
// engine/rotation.h). When its frequencies are nu and 2 nu it is the five-coefficient model
// in u = nu theta, minimised over its stationary points (the real roots of a quartic, from
// NumPy: the eigenvalues of its companion matrix) and u = 0, pi; otherwise a grid search
// with golden-section refinement.

double angle_of(const korvel::engine::EnergyModel& e) {
    const std::vector<double> quartic = e.stationary_quartic();
    std::vector<cplx> roots;
    if (!quartic.empty()) {
        nb::object np = numpy();
        nb::object r = np.attr("roots")(host_array(quartic.data(), quartic.size(), "float64"));
        roots = host_vector<cplx>(r, "complex128");
    }
    return korvel::engine::select_angle(e, roots);
}

double angle_of(korvel::engine::EnergyCurve curve) {
    curve.gather();
    double nu = 1.0;
    korvel::engine::EnergyModel model;
    if (curve.as_model(nu, model)) return angle_of(model) / nu;
    return without_gil([&] { return korvel::engine::select_angle_general(curve); });
}

nb::object gpu_optimal_theta(nb::handle self, nb::handle h, nb::handle generator, nb::handle occupied,
                             nb::handle n_orb) {
    as_int(n_orb, "n_orb");
    nb::object xp = self.attr("_xp")();
    nb::object np = numpy();
    nb::object occ = checked(PySet_New(occupied.ptr()));
    nb::tuple H = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, h));
    nb::tuple A = nb::cast<nb::tuple>(self.attr("_to_maj")(xp, generator));
    require_anti_hermitian(A[0], A[1], A[2]);
    korvel::engine::EnergyCurve E;
    E.e00 = complex_of(np.attr("sum")(self.attr("_hf_value_per_monomial")(xp, H[0], H[1], H[2], occ))).real();
    if (length_of(A[0]) == 0 || length_of(H[0]) == 0) return nb::float_(0.0);
    nb::object AmL = self.attr("_or_reduce")(xp, A[0]), AmH = self.attr("_or_reduce")(xp, A[1]);
    nb::object zero = xp.attr("uint64")(0);
    nb::object ov = rich(H[0] & AmL, zero, Py_NE) | rich(H[1] & AmH, zero, Py_NE);
    nb::object l_ov = H[0][ov], h_ov = H[1][ov], c_ov = H[2][ov];
    const std::size_t k = length_of(l_ov);
    if (k == 0) return nb::float_(0.0);
    ArrayClosure r = array_closure(self, xp, l_ov, h_ov, c_ov, A);
    // Per monomial: E_h(t) - E_h(0) = sin(wt)/w <cm> + (1 - cos wt)/w^2 <dcm>.
    nb::object vcm = self.attr("_hf_value_per_monomial")(xp, r.cm[1], r.cm[2], r.cm[3], occ);
    nb::object vdcm = self.attr("_hf_value_per_monomial")(xp, r.dcm[1], r.dcm[2], r.dcm[3], occ);
    auto per_tag = [&](nb::handle t, nb::handle v) {
        nb::object th = host_copy_of(t).attr("astype")(np.attr("int64"));
        if (length_of(th) == 0) return np.attr("zeros")(k);
        return np.attr("bincount")(th, "weights"_a = np.attr("real")(v), "minlength"_a = k);
    };
    const std::vector<double> s1 = host_vector<double>(per_tag(r.cm[0], vcm), "float64");
    const std::vector<double> s2 = host_vector<double>(per_tag(r.dcm[0], vdcm), "float64");
    const std::vector<double> omega = host_vector<double>(host_copy_of(r.omega), "float64");
    const std::vector<bool> closed = [&] {
        std::vector<std::uint8_t> c = host_vector<std::uint8_t>(host_copy_of(r.closed).attr("astype")(np.attr("uint8")), "uint8");
        return std::vector<bool>(c.begin(), c.end());
    }();
    for (std::size_t t = 0; t < k; ++t)
        if (closed[t] && omega[t] > 0) E.waves.push_back({omega[t], s1[t] / omega[t], s2[t] / (omega[t] * omega[t])});
    nb::object open = r.closed.attr("__invert__")();
    if (PyObject_IsTrue(open.attr("any")().ptr()) == 1) {
        const MajoranaOp sub = op_from_arrays(host_copy_of(l_ov[open]), host_copy_of(h_ov[open]), host_copy_of(c_ov[open]));
        const MajoranaOp Ah = op_from_arrays(host_copy_of(A[0]), host_copy_of(A[1]), host_copy_of(A[2]));
        const korvel::engine::OccMasks m = occ_masks(occ);
        korvel::engine::EnergyCurve rest = for_generator(generator, [&] { return korvel::engine::energy_curve(sub, Ah, m); });
        E.waves.insert(E.waves.end(), rest.waves.begin(), rest.waves.end());
    }
    return nb::float_(angle_of(E));
}

// The energy curve of CpuBackend: the operators into the engine once, the curve there
// without the GIL.
korvel::engine::EnergyCurve cpu_energy_curve(nb::handle h, nb::handle generator, nb::handle occupied) {
    const korvel::engine::OccMasks occ = occ_masks(occupied);
    const MajoranaOp H = majorana_of(h, "h"), A = majorana_of(generator, "generator");
    require_anti_hermitian(A);
    return for_generator(generator, [&] { return korvel::engine::energy_curve(H, A, occ); });
}

nb::object cpu_optimal_theta(nb::handle, nb::handle h, nb::handle generator, nb::handle occupied,
                             nb::handle n_orb) {
    as_int(n_orb, "n_orb");
    return nb::float_(angle_of(cpu_energy_curve(h, generator, occupied)));
}

// ---------------------------------------------------------------------------
// Availability

bool gpu_available(nb::handle) {
    try {
        nb::object cupy = import("cupy");
        nb::object count = cupy.attr("cuda").attr("runtime").attr("getDeviceCount")();
        return PyObject_IsTrue(rich(count, nb::int_(0), Py_GT).ptr()) == 1;
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_Exception)) return false;
        throw;
    } catch (nb::cast_error&) {
        return false;
    }
}

constexpr const char* kGpuDoc = "Operator algebra on a CuPy bit-packed Majorana kernel (NVIDIA GPU).";
constexpr const char* kCpuDoc =
    "The Majorana backend on the host: NumPy arrays in the C++ engine, and the public "
    "operations on normal-ordered ladder strings (Wick contraction), returning exactly what "
    "the reference backend returns. The ladder operations hold up to 256 spin-orbitals (one "
    "64-bit word per spin-orbital set up to 64, four words beyond); the Majorana ones 64.";

// A spin-orbital set of one word from a sequence of indices (a pool member's block).
std::uint64_t spin_orbital_word(nb::handle seq, const char* what) {
    std::uint64_t b = 0;
    for (nb::handle p : seq) {
        const long long v = as_int(p, what);
        if (v < 0 || v >= 64)
            raise(PyExc_ValueError, std::string(what) + " spin-orbital indices must lie in 0 .. 63, got " +
                                        std::to_string(v));
        b |= std::uint64_t{1} << v;
    }
    return b;
}

korvel::engine::Excitation excitation_of(nb::handle occ, nb::handle vir) {
    korvel::engine::Excitation x{spin_orbital_word(occ, "excitation"), spin_orbital_word(vir, "excitation")};
    korvel::engine::require_unit_excitation(x);
    return x;
}

std::vector<korvel::engine::Excitation> excitations_of(nb::handle pool) {
    std::vector<korvel::engine::Excitation> out;
    for (nb::handle member : pool) {
        nb::tuple pair = nb::cast<nb::tuple>(member);
        if (pair.size() != 2) raise(PyExc_ValueError, "a pool member must be an (occupied, virtual) pair, got " + repr_of(member));
        out.push_back({spin_orbital_word(pair[0], "pool"), spin_orbital_word(pair[1], "pool")});
    }
    return out;
}

nb::list gradient_list(const std::vector<double>& g) {
    nb::list out;
    for (double v : g) out.append(v);
    return out;
}

// The terms behind a LadderTerms object, replaced whole by each rotation.
struct HeldTerms {
    std::shared_ptr<const NormalTerms> terms;
};

}  // namespace

NB_MODULE(tavrin, m) {
    using korvel::py::classmethod;
    using korvel::py::make_class;
    using korvel::py::staticmethod;

    m.doc() =
        "The Majorana backend: operators as bit-packed Majorana monomials on an array module "
        "(CuPy on a GPU; NumPy arrays run in the C++ engine), and its host twin CpuBackend.";
    m.attr("math") = import("math");
    m.attr("Iterable") = import("typing").attr("Iterable");
    nb::object base = import("korvel.backends.base");
    m.attr("Backend") = base.attr("Backend");
    m.attr("FermionOp") = base.attr("FermionOp");
    m.attr("_TOL") = 1e-10;

    const char* cls_name = "GpuBackend";
    auto method = [&](const char* name, const std::string& sig, const char* doc, auto&& f, auto&&... extra) {
        return korvel::py::method(kModule, cls_name, name, sig, doc, std::forward<decltype(f)>(f),
                                  extra...);
    };
    nb::dict ns;
    ns["name"] = "gpu";
    ns["progress"] = nb::none();
    ns["available"] = method("available", "(self) -> bool",
                             "Whether CuPy is installed and sees a CUDA device.",
                             [](nb::handle self) { return gpu_available(self); }, nb::arg("self").none());
    ns["_xp"] = staticmethod(method("_xp", "()", "The CuPy module (ImportError without it).",
                                    []() { return import("cupy"); }));
    ns["_popcount64"] = staticmethod(method(
        "_popcount64", "(xp, a)", "Set bits of each element of `a`, as a uint64 array of its shape.",
        [](nb::handle xp, nb::handle a) { return popcount64(xp, a); }, nb::arg("xp").none(),
        nb::arg("a").none()));
    ns["_np_popcount"] = staticmethod(method(
        "_np_popcount", "(np, a)", "Set bits of each element of `a` on the host module, as int64.",
        [](nb::handle np, nb::handle a) { return swar_popcount(np, a).attr("astype")(np.attr("int64")); },
        nb::arg("np").none(), nb::arg("a").none()));
    ns["_or_reduce"] = classmethod(method(
        "_or_reduce", "(cls, xp, arr)", "Bitwise OR of all limbs of `arr`, as an xp.uint64 scalar.",
        [](nb::handle, nb::handle xp, nb::handle arr) { return or_reduce(xp, arr); },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("arr").none()));
    ns["_set_bits128"] = staticmethod(method(
        "_set_bits128", "(lo_int: int, hi_int: int) -> list[int]",
        "The modes set in the 128-bit value lo_int | hi_int << 64, ascending.",
        [](nb::handle lo, nb::handle hi) { return set_bits128(lo, hi); }, nb::arg("lo_int").none(),
        nb::arg("hi_int").none()));
    ns["_maj_product"] = classmethod(method(
        "_maj_product", "(cls, xp, la, ha, ca, lb, hb, cb)",
        "The raw product A B: row i*nb + j holds A_i B_j (not merged).",
        [](nb::handle cls, nb::handle xp, nb::handle la, nb::handle ha, nb::handle ca, nb::handle lb,
           nb::handle hb, nb::handle cb) { return maj_product(cls, xp, la, ha, ca, lb, hb, cb); },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("la").none(), nb::arg("ha").none(),
        nb::arg("ca").none(), nb::arg("lb").none(), nb::arg("hb").none(), nb::arg("cb").none()));
    ns["_seg_sum_vals"] = staticmethod(method(
        "_seg_sum_vals", "(xp, vals, boundary)",
        "One sum per run of `vals`; boundary is True at the first row of every run.",
        [](nb::handle xp, nb::handle vals, nb::handle boundary) { return seg_sum_vals(xp, vals, boundary); },
        nb::arg("xp").none(), nb::arg("vals").none(), nb::arg("boundary").none()));
    ns["_merge"] = classmethod(method(
        "_merge", "(cls, xp, lo, hi, c, tol: float = 1e-12)",
        "Canonical form: rows sorted by (hi, lo), equal masks summed, sums with |c| <= tol dropped.",
        [](nb::handle cls, nb::handle xp, nb::handle lo, nb::handle hi, nb::handle c, nb::handle tol) {
            return merge(cls, xp, lo, hi, c, as_float(tol, "tol"));
        },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("lo").none(), nb::arg("hi").none(),
        nb::arg("c").none(), nb::arg("tol").none() = kTol));
    ns["_commutator_maj"] = classmethod(method(
        "_commutator_maj", "(cls, xp, la, ha, ca, lb, hb, cb)", "[A, B] = A B - B A, canonical.",
        [](nb::handle cls, nb::handle xp, nb::handle la, nb::handle ha, nb::handle ca, nb::handle lb,
           nb::handle hb, nb::handle cb) { return commutator_maj(cls, xp, la, ha, ca, lb, hb, cb); },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("la").none(), nb::arg("ha").none(),
        nb::arg("ca").none(), nb::arg("lb").none(), nb::arg("hb").none(), nb::arg("cb").none()));
    ns["_expand_fermionic"] = classmethod(method(
        "_expand_fermionic", "(cls, xp, term, coeff)",
        "coeff times the product of the term's ladder operators, in Majorana arrays.",
        [](nb::handle cls, nb::handle xp, nb::handle term, nb::handle coeff) {
            return expand_fermionic(cls, xp, term, coeff);
        },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("term").none(), nb::arg("coeff").none()));
    ns["_to_maj"] = classmethod(method(
        "_to_maj", "(cls, xp, op: FermionOp)", "A FermionOp in canonical Majorana arrays.",
        [](nb::handle cls, nb::handle xp, nb::handle op) { return to_maj(cls, xp, op); },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("op").none()));
    ns["_from_maj"] = classmethod(method(
        "_from_maj", "(cls, xp, lo, hi, c, n_orb: int, tol: float = 1e-12) -> FermionOp",
        "The number-conserving normal-ordered FermionOp of Majorana arrays on 2*n_orb "
        "spin-orbitals; coefficients of modulus at most tol dropped.",
        [](nb::handle, nb::handle, nb::handle lo, nb::handle hi, nb::handle c, nb::handle n_orb,
           nb::handle tol) { return from_maj(lo, hi, c, as_int(n_orb, "n_orb"), as_float(tol, "tol")); },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("lo").none(), nb::arg("hi").none(),
        nb::arg("c").none(), nb::arg("n_orb").none(), nb::arg("tol").none() = kTol));
    ns["_n_orb_of"] = method("_n_orb_of", "(self, *ops: FermionOp) -> int",
                             "Spatial orbitals covering the largest spin-orbital index of the operators.",
                             [](nb::handle, nb::args ops) { return n_orb_of(ops); }, nb::arg("self").none(),
                             nb::arg("ops"));
    ns["multiply"] = method("multiply", "(self, a: FermionOp, b: FermionOp) -> FermionOp",
                            "Normal-ordered a b.",
                            [](nb::handle self, nb::handle a, nb::handle b) { return gpu_multiply(self, a, b, false); },
                            nb::arg("self").none(), nb::arg("a").none(), nb::arg("b").none());
    ns["commutator"] = method("commutator", "(self, a: FermionOp, b: FermionOp) -> FermionOp",
                              "Normal-ordered a b - b a.",
                              [](nb::handle self, nb::handle a, nb::handle b) { return gpu_multiply(self, a, b, true); },
                              nb::arg("self").none(), nb::arg("a").none(), nb::arg("b").none());
    ns["normal_order"] = method("normal_order", "(self, a: FermionOp) -> FermionOp",
                                "a in normal order.",
                                [](nb::handle self, nb::handle a) { return gpu_normal_order(self, a); },
                                nb::arg("self").none(), nb::arg("a").none());
    ns["_truncate_body_maj"] = method(
        "_truncate_body_maj", "(self, xp, lo, hi, c, max_body)",
        "The monomials of at most 2*max_body Majorana modes (the arrays themselves for None).",
        [](nb::handle self, nb::handle xp, nb::handle lo, nb::handle hi, nb::handle c, nb::handle mb) {
            return truncate_body_maj(self, xp, lo, hi, c, mb);
        },
        nb::arg("self").none(), nb::arg("xp").none(), nb::arg("lo").none(), nb::arg("hi").none(),
        nb::arg("c").none(), nb::arg("max_body").none());
    ns["_truncate_body_fermionic"] = staticmethod(method(
        "_truncate_body_fermionic", "(op: FermionOp, max_body: int | None) -> FermionOp",
        "op itself for None, else a new dict of the terms of at most 2*max_body ladder operators.",
        [](nb::handle op, nb::handle mb) { return truncate_body_fermionic(op, mb); }, nb::arg("op").none(),
        nb::arg("max_body").none()));
    ns["similarity_transform"] = method(
        "similarity_transform",
        "(self, h: FermionOp, generator: FermionOp, *, n_comm: int, max_body: int | None) -> FermionOp",
        "e^{-s} H e^{s} summed to order n_comm: H + sum_n (1/n!) ad_s^n(H), ad_s(X) = [X, s].",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle n_comm, nb::handle mb) {
            return gpu_similarity(self, h, g, n_comm, mb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::kw_only(),
        nb::arg("n_comm").none(), nb::arg("max_body").none());
    ns["_hf_value_per_monomial"] = classmethod(method(
        "_hf_value_per_monomial", "(cls, xp, lo, hi, c, occ)",
        "c[i] <HF|gamma_{S_i}|HF> per monomial, occ the occupied spin-orbitals (a NumPy complex128 array).",
        [](nb::handle cls, nb::handle xp, nb::handle lo, nb::handle hi, nb::handle c, nb::handle occ) {
            return hf_value_per_monomial(cls, xp, lo, hi, c, occ);
        },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("lo").none(), nb::arg("hi").none(),
        nb::arg("c").none(), nb::arg("occ").none()));
    ns["hf_expectation"] = method("hf_expectation", "(self, h: FermionOp, occupied: Iterable[int]) -> complex",
                                  "<HF|h|HF> on the determinant occupying `occupied`.",
                                  [](nb::handle self, nb::handle h, nb::handle occ) { return gpu_hf_expectation(self, h, occ); },
                                  nb::arg("self").none(), nb::arg("h").none(), nb::arg("occupied").none());
    ns["gradient"] = method("gradient",
                            "(self, h: FermionOp, generator: FermionOp, occupied: Iterable[int]) -> float",
                            "<HF|[h, A]|HF> = 2 Re <HF|h A|HF> for Hermitian h and anti-Hermitian A.",
                            [](nb::handle self, nb::handle h, nb::handle g, nb::handle occ) {
                                return gpu_gradient(self, h, g, occ);
                            },
                            nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(),
                            nb::arg("occupied").none());
    ns["_alpha_per_monomial"] = classmethod(method(
        "_alpha_per_monomial", "(cls, xp, lH, hH, cH, lA, hA, cA)",
        "(tcm, lcm, hcm, ccm, alpha, seg_merge_tagged): cm = [h, A] tagged by monomial, and each "
        "monomial's label alpha (1: A cm A = 0, 4: A cm A = cm).",
        [](nb::handle cls, nb::handle xp, nb::handle lH, nb::handle hH, nb::handle cH, nb::handle lA,
           nb::handle hA, nb::handle cA) { return alpha_per_monomial(cls, xp, lH, hH, cH, lA, hA, cA); },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("lH").none(), nb::arg("hH").none(),
        nb::arg("cH").none(), nb::arg("lA").none(), nb::arg("hA").none(), nb::arg("cA").none()));
    ns["_commutator_tagged"] = classmethod(method(
        "_commutator_tagged", "(cls, xp, lh, hh, ch, th, lA, hA, cA)",
        "(t, l, h, c) of [X, A] for a tagged X, rows keeping the tags of X, sorted by (tag, hi, lo).",
        [](nb::handle cls, nb::handle xp, nb::handle lh, nb::handle hh, nb::handle ch, nb::handle th,
           nb::handle lA, nb::handle hA, nb::handle cA) {
            return commutator_tagged(cls, xp, lh, hh, ch, th, lA, hA, cA);
        },
        nb::arg("cls").none(), nb::arg("xp").none(), nb::arg("lh").none(), nb::arg("hh").none(),
        nb::arg("ch").none(), nb::arg("th").none(), nb::arg("lA").none(), nb::arg("hA").none(),
        nb::arg("cA").none()));
    ns["rotate_single"] = method(
        "rotate_single", "(self, h: FermionOp, generator: FermionOp, theta: float, *, max_body: int | None) -> FermionOp",
        "e^{-theta A} H e^{theta A} in closed form: h + a(theta) [h, A] + b(theta) [[h, A], A] per "
        "Majorana monomial, then capped at max_body.",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle theta, nb::handle mb) {
            return gpu_rotate_single(self, h, g, theta, mb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::arg("theta").none(),
        nb::kw_only(), nb::arg("max_body").none());
    ns["optimal_theta"] = method(
        "optimal_theta", "(self, h: FermionOp, generator: FermionOp, occupied: Iterable[int], n_orb: int) -> float",
        "The angle minimising <HF|e^{-theta A} H e^{theta A}|HF>, from its closed-form energy curve; "
        "among minima within 1e-7 the smallest |theta|.",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle occ, nb::handle n_orb) {
            return gpu_optimal_theta(self, h, g, occ, n_orb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::arg("occupied").none(),
        nb::arg("n_orb").none());
    // The angle chosen from given energy-curve coefficients, for the tests of its selection rules.
    korvel::py::def(m, "_select_angle", "(e00, e11, e21, e14, e24, roots=None) -> float",
                    "The optimal angle of E = e00 + sin t e11 + (1 - cos t) e21 + sin 2t / 2 e14 + sin^2 t / 2 e24; "
                    "`roots`, when given, stand for the roots of its stationary quartic in tan(t/2).",
                    [](double e00, double e11, double e21, double e14, double e24, nb::handle roots) {
                        const korvel::engine::EnergyModel e{e00, e11, e21, e14, e24};
                        if (roots.is_none()) return angle_of(e);
                        return korvel::engine::select_angle(e, host_vector<cplx>(roots, "complex128"));
                    },
                    nb::arg("e00"), nb::arg("e11"), nb::arg("e21"), nb::arg("e14"), nb::arg("e24"),
                    nb::arg("roots").none() = nb::none());
    nb::object gpu = make_class("GpuBackend", nb::make_tuple(base.attr("Backend")), ns, kModule, kGpuDoc);
    m.attr("GpuBackend") = gpu;

    cls_name = "CpuBackend";
    nb::dict cpu_ns;
    cpu_ns["name"] = "cpu";
    cpu_ns["available"] = method("available", "(self) -> bool", "Always True: NumPy and the engine.",
                                 [](nb::handle) { return true; }, nb::arg("self").none());
    cpu_ns["_xp"] = staticmethod(method("_xp", "()", "The NumPy module.", []() { return numpy(); }));
    cpu_ns["multiply"] = method("multiply", "(self, a: FermionOp, b: FermionOp) -> FermionOp",
                                "Normal-ordered a b.",
                                [](nb::handle self, nb::handle a, nb::handle b) { return cpu_multiply(self, a, b, false); },
                                nb::arg("self").none(), nb::arg("a").none(), nb::arg("b").none());
    cpu_ns["commutator"] = method("commutator", "(self, a: FermionOp, b: FermionOp) -> FermionOp",
                                  "Normal-ordered a b - b a.",
                                  [](nb::handle self, nb::handle a, nb::handle b) { return cpu_multiply(self, a, b, true); },
                                  nb::arg("self").none(), nb::arg("a").none(), nb::arg("b").none());
    cpu_ns["normal_order"] = method("normal_order", "(self, a: FermionOp) -> FermionOp", "a in normal order.",
                                    [](nb::handle self, nb::handle a) { return cpu_normal_order(self, a); },
                                    nb::arg("self").none(), nb::arg("a").none());
    cpu_ns["similarity_transform"] = method(
        "similarity_transform",
        "(self, h: FermionOp, generator: FermionOp, *, n_comm: int, max_body: int | None) -> FermionOp",
        "e^{-s} H e^{s} summed to order n_comm, the whole series in the engine.",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle n_comm, nb::handle mb) {
            return cpu_similarity(self, h, g, n_comm, mb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::kw_only(),
        nb::arg("n_comm").none(), nb::arg("max_body").none());
    cpu_ns["fold_aware_transform"] = method(
        "fold_aware_transform",
        "(self, h: FermionOp, generator: FermionOp, problem, *, n_comm: int, max_body: int | None) -> dict",
        "downfold_to_active(similarity_transform(h, generator, n_comm=n_comm, max_body=max_body),\n"
        "problem) in one pass, without the whole-space operator: for an excitation generator\n"
        "(creators on spin-orbitals empty in problem.occupied, annihilators on occupied ones)\n"
        "each order carries only the terms that can still reach the active space. Returns a\n"
        "dict: effective_hamiltonian (on the 2*n_act active spin-orbitals), partial (the same\n"
        "truncated after each order 0..n_comm), body_cap_dropped_l1 (per order, the 1-norm of\n"
        "the folded terms the body cap removed, weighted 1/n!), terms_kept and terms_formed\n"
        "(per order 1..n_comm) and screened (False when the generator is not an excitation\n"
        "operator and every term was carried).",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle problem, nb::handle n_comm, nb::handle mb) {
            return cpu_fold_aware(self, h, g, problem, n_comm, mb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::arg("problem").none(),
        nb::kw_only(), nb::arg("n_comm").none(), nb::arg("max_body").none());
    cpu_ns["hf_expectation"] = method("hf_expectation", "(self, h: FermionOp, occupied: Iterable[int]) -> complex",
                                      "<HF|h|HF> from the diagonal normal-ordered terms of h.",
                                      [](nb::handle self, nb::handle h, nb::handle occ) { return cpu_hf_expectation(self, h, occ); },
                                      nb::arg("self").none(), nb::arg("h").none(), nb::arg("occupied").none());
    cpu_ns["gradient"] = method("gradient",
                                "(self, h: FermionOp, generator: FermionOp, occupied: Iterable[int]) -> float",
                                "2 Re <HF|h A|HF>, the product h A by Wick contraction.",
                                [](nb::handle self, nb::handle h, nb::handle g, nb::handle occ) {
                                    return cpu_gradient(self, h, g, occ);
                                },
                                nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(),
                                nb::arg("occupied").none());
    cpu_ns["rotate_single"] = method(
        "rotate_single", "(self, h: FermionOp, generator: FermionOp, theta: float, *, max_body: int | None) -> FermionOp",
        "e^{-theta A} H e^{theta A} in closed form, monomial by monomial in the engine, then capped at max_body.",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle theta, nb::handle mb) {
            return cpu_rotate_single(self, h, g, theta, mb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::arg("theta").none(),
        nb::kw_only(), nb::arg("max_body").none());
    cpu_ns["optimal_theta"] = method(
        "optimal_theta", "(self, h: FermionOp, generator: FermionOp, occupied: Iterable[int], n_orb: int) -> float",
        "The angle minimising <HF|e^{-theta A} H e^{theta A}|HF>, from its closed-form energy curve "
        "built in the engine; among minima within 1e-7 the smallest |theta|.",
        [](nb::handle self, nb::handle h, nb::handle g, nb::handle occ, nb::handle n_orb) {
            return cpu_optimal_theta(self, h, g, occ, n_orb);
        },
        nb::arg("self").none(), nb::arg("h").none(), nb::arg("generator").none(), nb::arg("occupied").none(),
        nb::arg("n_orb").none());
    // The energy curve as waves, for the tests to hold it to exact state-vector energies.
    korvel::py::def(m, "_energy_curve", "(h: FermionOp, generator: FermionOp, occupied: Iterable[int])",
                    "(e00, [(omega, s, c), ...]) of E(t) = e00 + sum s sin(omega t) + c (1 - cos(omega t)).",
                    [](nb::handle h, nb::handle g, nb::handle occ) {
                        const korvel::engine::EnergyCurve e = cpu_energy_curve(h, g, occ);
                        nb::list waves;
                        for (const auto& w : e.waves) waves.append(nb::make_tuple(w.omega, w.sine, w.cosine));
                        return nb::make_tuple(e.e00, waves);
                    },
                    nb::arg("h").none(), nb::arg("generator").none(), nb::arg("occupied").none());
    korvel::py::def(m, "_fold_to_active", "(hamiltonian: FermionOp, problem) -> FermionOp",
                    "The fold onto the active space of `problem` on normal-ordered ladder terms: each "
                    "external spin-orbital projected onto its occupation in problem.occupied; up to 256 "
                    "spin-orbitals.",
                    [](nb::handle h, nb::handle problem) { return ladder_fold(h, problem); },
                    nb::arg("hamiltonian").none(), nb::arg("problem").none());
    // The plain statement of the closed-form rotation, for the tests to hold the engine's to.
    korvel::py::def(m, "_fold_aware_transform_plain",
                    "(h: FermionOp, generator: FermionOp, problem, *, n_comm: int, max_body: int | None) -> FermionOp",
                    "The whole-space series, every term carried on one thread, then folded term by term.",
                    [](nb::handle h, nb::handle g, nb::handle problem, nb::handle n_comm_o, nb::handle mb) {
                        const int n_comm = n_comm_arg(n_comm_o);
                        const std::optional<int> max_body = max_body_arg(mb);
                        return on_fitting_sets([&](auto tag) -> nb::object {
                            using S = decltype(tag);
                            const auto H = normal_terms_of<S>(h, "h"), G = normal_terms_of<S>(g, "generator");
                            S occupied{};
                            const korvel::engine::FoldSpaceT<S> space = fold_space_of(problem, occupied);
                            return dict_of(without_gil([&] {
                                return korvel::engine::fold_aware_series_plain(H, G, space, n_comm, max_body,
                                                                               kTol);
                            }));
                        });
                    },
                    nb::arg("h").none(), nb::arg("generator").none(), nb::arg("problem").none(), nb::kw_only(),
                    nb::arg("n_comm").none(), nb::arg("max_body").none());
    korvel::py::def(m, "_rotate_single_plain", "(h: FermionOp, generator: FermionOp, theta: float) -> FermionOp",
                    "e^{-theta A} H e^{theta A} as its Taylor series in small equal steps, through the "
                    "generic merged commutators.",
                    [](nb::handle h, nb::handle g, nb::handle theta_o) {
                        const double theta = theta_arg(theta_o);
                        const MajoranaOp H = majorana_of(h, "h"), A = majorana_of(g, "generator");
                        require_anti_hermitian(A);
                        MajoranaOp r = without_gil([&] { return korvel::engine::rotate_single_plain(H, A, theta); });
                        return from_maj_op(r, korvel::engine::kMaxSpinOrbitals / 2, kTol);
                    },
                    nb::arg("h").none(), nb::arg("generator").none(), nb::arg("theta").none());
    // Gradients of a pool of excitation generators, in one pass over H.
    korvel::py::def(m, "pool_gradients",
                    "(h: FermionOp, pool: Sequence[tuple[Sequence[int], Sequence[int]]], occupied: Iterable[int], "
                    "plain: bool = False) -> list[float]",
                    "<HF|[H, tau - tau^dagger]|HF> for every (occupied, virtual) spin-orbital pair of the "
                    "pool, tau = prod a_v^dagger prod a_o (each block descending), in one pass over the "
                    "terms of H; `plain` walks member by member instead.",
                    [](nb::handle h, nb::handle pool_o, nb::handle occupied, bool plain) {
                        // the pool's excitations are one-word sets: H must fit 64 spin-orbitals
                        const std::uint64_t occ = occupied_set<std::uint64_t>(occupied);
                        const NormalTerms H = normal_terms_of<std::uint64_t>(h, "h", false);
                        const std::vector<korvel::engine::Excitation> pool = excitations_of(pool_o);
                        return gradient_list(without_gil([&] {
                            return plain ? korvel::engine::pool_gradients_plain(H, occ, pool)
                                         : korvel::engine::pool_gradients(H, occ, pool);
                        }));
                    },
                    nb::arg("h").none(), nb::arg("pool").none(), nb::arg("occupied").none(), nb::arg("plain") = false);
    // An operator held in the engine between the steps of a rotation loop (method unitary):
    // read from its dict once, rotated about one excitation after another, and turned back
    // into a dict once at the end. Each step takes a strong reference to the terms it reads,
    // so a step on another thread that replaces them leaves the reader's copy alive.
    nb::class_<HeldTerms>(
        m, "LadderTerms",
        "Normal-ordered ladder terms held in the engine (up to 64 spin-orbitals), for a loop of "
        "exact rotations about particle-hole excitations without a dict between the steps.")
        .def("__init__",
             [](HeldTerms* self, nb::handle op) {
                 new (self) HeldTerms{std::make_shared<const NormalTerms>(
                     normal_terms_of<std::uint64_t>(op, "op", false))};
             },
             nb::arg("op").none(), "Read a FermionOp (spin-orbitals 0 to 63).")
        .def("__len__", [](const HeldTerms& t) { return t.terms->size(); })
        .def("to_dict", [](const HeldTerms& t) { return dict_of(*t.terms); },
             "The terms as a FermionOp dict (canonical normal-ordered keys).")
        .def("hf_value",
             [](const HeldTerms& t, nb::handle occupied) {
                 const std::uint64_t occ = occupied_set<std::uint64_t>(occupied);
                 std::shared_ptr<const NormalTerms> h = t.terms;
                 return without_gil([&] { return korvel::engine::hf_expectation_normal(*h, occ).real(); });
             },
             nb::arg("occupied").none(), "<D|H|D> for the determinant of the occupied spin-orbitals.")
        .def("pool_gradients",
             [](const HeldTerms& t, nb::handle pool_o, nb::handle occupied) {
                 const std::uint64_t occ = occupied_set<std::uint64_t>(occupied);
                 const std::vector<korvel::engine::Excitation> pool = excitations_of(pool_o);
                 std::shared_ptr<const NormalTerms> h = t.terms;
                 return gradient_list(without_gil([&] { return korvel::engine::pool_gradients(*h, occ, pool); }));
             },
             nb::arg("pool").none(), nb::arg("occupied").none(),
             "<D|[H, tau - tau^dagger]|D> for every (occupied, virtual) pair of the pool, in one pass.")
        .def("best_angle",
             [](const HeldTerms& t, nb::handle occ_o, nb::handle vir_o, nb::handle occupied) {
                 const korvel::engine::Excitation x = excitation_of(occ_o, vir_o);
                 const std::uint64_t det = occupied_set<std::uint64_t>(occupied);
                 std::shared_ptr<const NormalTerms> h = t.terms;
                 return without_gil([&] { return korvel::engine::excitation_curve(*h, det, x).best_angle(); });
             },
             nb::arg("occ").none(), nb::arg("vir").none(), nb::arg("occupied").none(),
             "The angle t in [-pi/2, pi/2) minimising <D|e^{-tA} H e^{tA}|D> for A = tau - tau^dagger "
             "(0 when no angle gains more than 1e-7).")
        .def("rotate",
             [](HeldTerms& t, nb::handle occ_o, nb::handle vir_o, nb::handle theta_o, nb::handle max_body_o) {
                 const korvel::engine::Excitation x = excitation_of(occ_o, vir_o);
                 const double theta = theta_arg(theta_o);
                 const std::optional<int> mb = max_body_arg(max_body_o);
                 std::shared_ptr<const NormalTerms> h = t.terms;
                 auto rotated = std::make_shared<const NormalTerms>(without_gil([&] {
                     return korvel::engine::rotate_about_excitation(*h, x, theta, mb ? std::max(0, *mb) : -1, kTol);
                 }));
                 t.terms = std::move(rotated);
             },
             nb::arg("occ").none(), nb::arg("vir").none(), nb::arg("theta").none(), nb::arg("max_body").none(),
             "H <- e^{-theta A} H e^{theta A}, exactly, for A = tau - tau^dagger; terms of more than "
             "2 max_body ladder operators dropped (None: none).");
    // Plain statement of the determinant values, for the tests to hold the bit kernel to.
    korvel::py::def(m, "_hf_values_plain", "(lo, hi, c, occ)",
                    "c[i] <HF|gamma_{S_i}|HF> by walking every spin-orbital of every monomial.",
                    [](nb::handle lo, nb::handle hi, nb::handle c, nb::handle occ) {
                        const korvel::engine::OccMasks m = occ_masks(occ);
                        MajoranaOp op = op_from_arrays(lo, hi, c);
                        std::vector<cplx> v = korvel::engine::hf_values_plain(op, m);
                        return host_array(v.data(), v.size(), "complex128");
                    },
                    nb::arg("lo").none(), nb::arg("hi").none(), nb::arg("c").none(), nb::arg("occ").none());
    // The plain statement of the Wick commutator, for the tests to hold the fast one to.
    korvel::py::def(m, "_wick_commutator_plain", "(a: FermionOp, b: FermionOp) -> FermionOp",
                    "[a, b] by stepping every pair of normal-ordered terms through the ladder words.",
                    [](nb::handle a, nb::handle b) {
                        return on_fitting_sets([&](auto tag) -> nb::object {
                            using S = decltype(tag);
                            const auto A = normal_terms_of<S>(a, "a"), B = normal_terms_of<S>(b, "b");
                            return dict_of(korvel::engine::normal_commutator_plain(A, B, kTol));
                        });
                    },
                    nb::arg("a").none(), nb::arg("b").none());
    m.attr("CpuBackend") = make_class("CpuBackend", nb::make_tuple(gpu), cpu_ns, kModule, kCpuDoc);
}
