// FermionOp mappings <-> engine ladder terms, shared by the extension modules.
//
// A FermionOp maps a term, a tuple of (spin-orbital index, dagger) pairs read left to
// right as a product (dagger 1 = creation), to a real or complex coefficient. Reading
// validates every term and coefficient and raises TypeError / ValueError naming the
// offending item; writing builds the dict of normal-ordered terms with OpenFermion's term
// keys (creation operators left of annihilation operators, each block in descending
// index) and complex values.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "common.h"
#include "engine/ladder.h"
#include "engine/mask.h"
#include "engine/memory.h"
#include "engine/task_group.h"


namespace korvel::py {

namespace detail {

using korvel::py::repr_of;

// The value of an exact int of at most one digit; false for anything else.
[[gnu::always_inline]] inline bool small_exact_int(PyObject* o, long long& value) {
    if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    value = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
#else
    const Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    value = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
#endif
    return true;
}

// An exact Python integer from an int or an object with __index__ (bool counts as int).
// Returns false, with no error set, when o is not integral.
inline bool read_index(PyObject* o, long long& value, bool& overflow) {
    overflow = false;
    // Exact ints of one digit (every spin-orbital index and dagger flag) read directly.
    if (small_exact_int(o, value)) return true;
    nb::object holder;
    if (!PyLong_Check(o)) {
        if (!PyIndex_Check(o)) return false;
        PyObject* r = PyNumber_Index(o);
        if (!r) throw nb::python_error();
        holder = nb::steal(r);
        o = r;
    }
    int ovf = 0;
    value = PyLong_AsLongLongAndOverflow(o, &ovf);
    if (ovf) overflow = true;
    else if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return true;
}

// Records the type of v in `float_type` when none is recorded yet and v is a float
// subclass without __complex__ (such as numpy.float64); returns whether v is of the
// recorded type. Values of that type are read as floats directly, which is what the
// generic conversion does for them.
inline bool note_float_type(PyObject* v, PyTypeObject** float_type) {
    PyTypeObject* tp = Py_TYPE(v);
    if (*float_type == nullptr && PyFloat_Check(v) &&
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(tp), "__complex__") == 0)
        *float_type = tp;
    return tp == *float_type;
}

// Coefficient as a complex number: int, float, complex, or anything with __complex__,
// __float__ or __index__ (NumPy scalars included). `float_type`, when given, is the float
// subclass noted so far (see note_float_type).
inline std::complex<double> read_coefficient(PyObject* v, PyObject* term,
                                             PyTypeObject** float_type = nullptr) {
    if (PyFloat_CheckExact(v)) return {PyFloat_AS_DOUBLE(v), 0.0};
    if (float_type && Py_TYPE(v) == *float_type) return {PyFloat_AS_DOUBLE(v), 0.0};
    if (float_type && note_float_type(v, float_type)) return {PyFloat_AS_DOUBLE(v), 0.0};
    if (PyComplex_CheckExact(v)) {
        Py_complex z = PyComplex_AsCComplex(v);
        return {z.real, z.imag};
    }
    if (PyUnicode_Check(v) || PyBytes_Check(v) || v == Py_None ||
        !(PyComplex_Check(v) || PyNumber_Check(v))) {
        throw nb::type_error(("coefficient of term " + repr_of(term) +
                              " must be a number, not " + type_name_of(v))
                                 .c_str());
    }
    Py_complex z = PyComplex_AsCComplex(v);
    if (z.real == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw nb::type_error(("coefficient of term " + repr_of(term) +
                                  " must be a number, not " + type_name_of(v))
                                     .c_str());
        }
        throw nb::python_error();
    }
    return {z.real, z.imag};
}

[[noreturn]] inline void bad_term(PyObject* term, const std::string& why) {
    throw nb::type_error(("term " + repr_of(term) + " " + why).c_str());
}

inline void read_term(PyObject* term, PyObject* value, engine::LadderTerms& out,
                      PyTypeObject** float_type = nullptr) {
    if (!PyTuple_Check(term))
        bad_term(term, "must be a tuple of (index, dagger) pairs, not " + type_name_of(term));
    const Py_ssize_t k = PyTuple_GET_SIZE(term);
    const std::complex<double> c = read_coefficient(value, term, float_type);
    if (!std::isfinite(c.real()) || !std::isfinite(c.imag()))
        throw nb::value_error(("coefficient of term " + repr_of(term) + " is not finite: " +
                               repr_of(value))
                                  .c_str());
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(term, i);
        // The common case, a valid (int, int) tuple, without the general checks below.
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
            long long index, dagger;
            if (small_exact_int(PyTuple_GET_ITEM(pair, 0), index) &&
                small_exact_int(PyTuple_GET_ITEM(pair, 1), dagger) && index >= 0 &&
                index < engine::kMaxSpinOrbitals && (dagger == 0 || dagger == 1)) {
                out.add_op(static_cast<int>(index), static_cast<int>(dagger));
                continue;
            }
        }
        PyObject *pi, *pd;
        if (PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2) {
            pi = PyTuple_GET_ITEM(pair, 0);
            pd = PyTuple_GET_ITEM(pair, 1);
        } else {
            bad_term(term, "must hold (index, dagger) pairs; found " + repr_of(pair));
        }
        long long index, dagger;
        bool ovf;
        if (!read_index(pi, index, ovf))
            bad_term(term, "has a spin-orbital index of type " + type_name_of(pi) +
                               "; expected an integer");
        if (ovf || index < 0 || index >= engine::kMaxSpinOrbitals) {
            std::string idx = repr_of(pi);
            if (!ovf && index < 0)
                throw nb::value_error(("spin-orbital index " + idx + " in term " + repr_of(term) +
                                       " is negative")
                                          .c_str());
            throw nb::value_error(
                ("spin-orbital index " + idx + " in term " + repr_of(term) + " is beyond the " +
                 std::to_string(engine::kMaxSpinOrbitals) + " spin-orbitals (0 to " +
                 std::to_string(engine::kMaxSpinOrbitals - 1) + ") the Majorana engine supports")
                    .c_str());
        }
        if (!read_index(pd, dagger, ovf))
            bad_term(term, "has a dagger flag of type " + type_name_of(pd) +
                               "; expected 0 or 1");
        if (ovf || (dagger != 0 && dagger != 1))
            throw nb::value_error(("dagger flag " + repr_of(pd) + " in term " + repr_of(term) +
                                   " must be 0 (annihilation) or 1 (creation)")
                                      .c_str());
        out.add_op(static_cast<int>(index), static_cast<int>(dagger));
    }
    out.end_term(c);
}

}  // namespace detail

// A FermionOp read and reduced term by term, for the Majorana expansion: terms[t] is the
// reduced product of the t-th term, kept when keep[t] != 0 (a term whose product vanishes
// is read and checked like any other, then left out).
struct ReducedFermionOp {
    engine::BufferVector<engine::ReducedTerm> terms;
    engine::BufferVector<std::uint8_t> keep;
};

namespace detail {

// Reading outcomes of the direct path: the term's product vanishes or is kept, or the term
// is left to the general path because of its coefficient's type or for another reason.
enum DirectRead : std::uint8_t { kVanishes = 0, kKept = 1, kOtherCoefficient = 2, kNotDirect = 3 };

// read_term and the reduction for the common case only: an exact tuple of at most 16 exact
// (int, int) tuples with valid indices and flags, and a finite float, complex or
// `float_type` coefficient. Runs no Python code and touches no reference count, so it may
// run on threads without the GIL while the thread holding it waits: kNotDirect, with `out`
// unspecified, for anything the general path must read.
inline DirectRead reduce_term_direct(PyObject* term, PyObject* value, PyTypeObject* float_type,
                                     engine::ReducedTerm& out) {
    std::complex<double> c;
    if (PyFloat_CheckExact(value) || (float_type && Py_TYPE(value) == float_type)) {
        c = {PyFloat_AS_DOUBLE(value), 0.0};
    } else if (PyComplex_CheckExact(value)) {
        const Py_complex z = reinterpret_cast<PyComplexObject*>(value)->cval;
        c = {z.real, z.imag};
    } else {
        return kOtherCoefficient;
    }
    if (!PyTuple_CheckExact(term)) return kNotDirect;
    if (!std::isfinite(c.real()) || !std::isfinite(c.imag())) return kNotDirect;
    const Py_ssize_t k = PyTuple_GET_SIZE(term);
    if (k > 16) return kNotDirect;
    std::uint8_t ops[16];
    engine::DistinctLadder ladder;
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(term, i);
        long long index, dagger;
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 ||
            !small_exact_int(PyTuple_GET_ITEM(pair, 0), index) ||
            !small_exact_int(PyTuple_GET_ITEM(pair, 1), dagger) || index < 0 ||
            index >= engine::kMaxSpinOrbitals || (dagger != 0 && dagger != 1))
            return kNotDirect;
        ops[i] = static_cast<std::uint8_t>((index << 1) | dagger);
        ladder.add(static_cast<unsigned>(index), static_cast<unsigned>(dagger));
    }
    if (c.real() == 0.0 && c.imag() == 0.0) return kVanishes;
    if (ladder.repeated == 0) {
        ladder.reduce(c.real(), c.imag(), out);
        return kKept;
    }
    return engine::reduce_words(ops, static_cast<std::size_t>(k), c.real(), c.imag(), out) ? kKept
                                                                                          : kVanishes;
}

// The general path for one term: read_term's checks and errors, then the reduction.
inline void reduce_term_general(PyObject* term, PyObject* value, PyTypeObject** float_type,
                                ReducedFermionOp& out) {
    engine::LadderTerms one;
    read_term(term, value, one, float_type);
    engine::ReducedTerm r;
    const bool kept = engine::reduce_ladder_term(one.ops.data(), one.ops.size(), one.coeff[0], r);
    out.terms.push_back(r);
    out.keep.push_back(kept ? 1 : 0);
}

// Terms fetched from memory ahead of their reading (a large Hamiltonian is mostly out of
// cache), and the size from which a dict is read on several threads.
constexpr std::size_t kReadAhead = 16;
constexpr std::size_t kParallelRead = 4096;
constexpr std::size_t kReadChunks = 16;
constexpr std::size_t kPeekCoefficients = 64;

}  // namespace detail

// Reads and reduces a FermionOp (a dict, any mapping with items(), or an object with a
// `terms` mapping such as OpenFermion's FermionOperator), with the checks and errors of
// read_term.
inline ReducedFermionOp reduced_terms_from(nb::handle op, const char* name) {
    ReducedFermionOp out;
    PyObject* d = op.ptr();
    nb::object holder;
    if (!PyDict_Check(d) && !PyObject_HasAttrString(d, "items") &&
        PyObject_HasAttrString(d, "terms")) {
        holder = nb::borrow(op).attr("terms");
        d = holder.ptr();
    }
    if (!PyDict_Check(d)) {
        if (!PyObject_HasAttrString(d, "items"))
            throw nb::type_error((std::string(name) +
                                  " must be a mapping from terms to coefficients, not " +
                                  type_name_of(op))
                                     .c_str());
        nb::object items = nb::borrow(d).attr("items")();
        PyTypeObject* float_type = nullptr;
        for (nb::handle item : items) {
            if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
                throw nb::type_error((std::string(name) + ".items() must yield (term, coefficient) pairs")
                                         .c_str());
            detail::reduce_term_general(PyTuple_GET_ITEM(item.ptr(), 0),
                                        PyTuple_GET_ITEM(item.ptr(), 1), &float_type, out);
        }
        return out;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyTypeObject* float_type = nullptr;
    // The entries are listed (without touching their objects), then read on the direct path,
    // which runs no Python code, so the listed entries stay valid throughout; a large dict
    // is read on several threads, each fetching its terms a few entries ahead. At the first
    // term the direct path cannot read, reading goes on entry by entry from that position on
    // the general path.
    engine::BufferVector<PyObject*> keys, values;
    engine::BufferVector<Py_ssize_t> positions;
    engine::BufferVector<std::uint8_t> status;
    std::size_t listed = 0;
    const auto list_entries = [&]() {
        const std::size_t n = static_cast<std::size_t>(PyDict_GET_SIZE(d));
        keys.resize(n);
        values.resize(n);
        positions.resize(n);
        listed = 0;
        pos = 0;
        for (Py_ssize_t before = pos; listed < n && PyDict_Next(d, &pos, &key, &value); before = pos) {
            keys[listed] = key;
            values[listed] = value;
            positions[listed] = before;
            ++listed;
        }
        out.terms.resize(listed);
        out.keep.resize(listed);
        status.resize(listed);
    };
    const auto read_range = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + 2 * detail::kReadAhead < end) {
                __builtin_prefetch(keys[i + 2 * detail::kReadAhead]);
                __builtin_prefetch(values[i + 2 * detail::kReadAhead]);
            }
            if (i + detail::kReadAhead < end) {
                PyObject* ahead = keys[i + detail::kReadAhead];
                if (PyTuple_CheckExact(ahead)) {
                    const Py_ssize_t k = std::min<Py_ssize_t>(PyTuple_GET_SIZE(ahead), 8);
                    for (Py_ssize_t j = 0; j < k; ++j) __builtin_prefetch(PyTuple_GET_ITEM(ahead, j));
                }
            }
            status[i] = detail::reduce_term_direct(keys[i], values[i], float_type, out.terms[i]);
        }
    };
    // Reads the listed entries from `begin` on, in chunks that the helper threads share with
    // this one for a large dict. The helpers only read objects that this thread, which holds
    // the GIL and runs no Python code meanwhile, keeps alive and unchanged.
    const auto read_from = [&](std::size_t begin) {
        const std::size_t count = listed - begin;
#ifdef Py_GIL_DISABLED
        const bool parallel = false;
#else
        const bool parallel = count >= detail::kParallelRead;
#endif
        const std::size_t chunks = parallel ? detail::kReadChunks : 1;
        engine::TaskGroup group(chunks, [&](std::size_t c) {
            read_range(begin + count * c / chunks, begin + count * (c + 1) / chunks);
        }, parallel);
        group.wait();
    };
    // Notes the float subclass of values[i] (numpy.float64, say, is then read like a float).
    // Looking up a type's attribute can run Python code, which could change the dict, unless
    // the type is a static type with the plain metaclass: then the entries are listed again
    // and true is returned.
    bool noted = false;
    const auto note_type_of = [&](std::size_t i) {
        noted = true;
        nb::object hold = nb::borrow(values[i]);
        PyTypeObject* tp = Py_TYPE(hold.ptr());
        const bool may_run_code = (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
                                  Py_TYPE(reinterpret_cast<PyObject*>(tp)) != &PyType_Type;
        detail::note_float_type(hold.ptr(), &float_type);
        if (may_run_code) list_entries();
        return may_run_code;
    };
    const auto float_subclass = [](PyObject* v) {
        return !PyFloat_CheckExact(v) && !PyComplex_CheckExact(v) && PyFloat_Check(v);
    };
    // A large dict is read on the helper threads too: they are woken while it is listed.
    if (static_cast<std::size_t>(PyDict_GET_SIZE(d)) >= detail::kParallelRead) engine::wake_helpers();
    list_entries();
    // The coefficients' float subclass, if any, is looked for among the first few before the
    // dict is read (OpenFermion's Hamiltonians hold numpy.float64 values), so that the
    // direct path reads them at once.
    for (std::size_t i = 0; i < std::min<std::size_t>(listed, detail::kPeekCoefficients); ++i) {
        if (PyFloat_CheckExact(values[i]) || PyComplex_CheckExact(values[i])) continue;
        if (float_subclass(values[i])) note_type_of(i);
        break;
    }
    read_from(0);
    std::size_t first_general = 0;
    while (true) {
        while (first_general < listed && status[first_general] <= detail::kKept) {
            out.keep[first_general] = status[first_general];
            ++first_general;
        }
        if (first_general == listed || noted || status[first_general] != detail::kOtherCoefficient ||
            !float_subclass(values[first_general]))
            break;
        // A float subclass further on: its type is noted and the rest is read again.
        if (note_type_of(first_general)) first_general = 0;
        read_from(first_general);
    }
    if (first_general == listed) return out;
    out.terms.resize(first_general);
    out.keep.resize(first_general);
    pos = positions[first_general];
    while (PyDict_Next(d, &pos, &key, &value)) detail::reduce_term_general(key, value, &float_type, out);
    return out;
}

namespace detail {

// CPython's tuple hash (xxHash-based, unchanged since 3.8), fed the item hashes one by one.
// Used only after it has been checked against PyObject_Hash on the first keys.
class TupleHash {
public:
    void add(Py_hash_t item) {
        acc_ += static_cast<Py_uhash_t>(item) * kP2;
        acc_ = (acc_ << kRot) | (acc_ >> (8 * sizeof(Py_uhash_t) - kRot));
        acc_ *= kP1;
    }
    Py_hash_t finish(Py_ssize_t len) const {
        const Py_uhash_t acc = acc_ + (static_cast<Py_uhash_t>(len) ^ (kP5 ^ 3527539UL));
        return acc == static_cast<Py_uhash_t>(-1) ? 1546275796 : static_cast<Py_hash_t>(acc);
    }

private:
#if SIZEOF_PY_UHASH_T > 4
    static constexpr Py_uhash_t kP1 = 11400714785074694791ULL, kP2 = 14029467366897019727ULL,
                                kP5 = 2870177450012600261ULL;
    static constexpr int kRot = 31;
#else
    static constexpr Py_uhash_t kP1 = 2654435761UL, kP2 = 2246822519UL, kP5 = 374761393UL;
    static constexpr int kRot = 13;
#endif
    Py_uhash_t acc_ = kP5;
};

}  // namespace detail

// The keys of a piece of normal-ordered terms, laid out ahead of the dict building, on any
// thread: term k's key holds the ladder operators codes[start[k]] .. codes[start[k+1] - 1]
// (code (index << 1) | dagger, creators first, each block descending) and has the tuple hash
// hash[k], computed from the hashes of the (index, dagger) tuples as CPython computes them.
struct KeyLayout {
    std::vector<std::uint8_t> codes;
    std::vector<std::uint32_t> start;
    std::vector<Py_hash_t> hash;
    std::uint64_t used = 0;  // the spin-orbitals the keys hold
};

namespace detail {

// CPython's hash of the tuple (index, dagger) of two small non-negative ints (each its own
// hash); checked against PyObject_Hash when the tuples are made.
inline Py_hash_t pair_hash(int index, int dagger) {
    TupleHash h;
    h.add(index);
    h.add(dagger);
    return h.finish(2);
}

}  // namespace detail

inline void lay_out_keys(const engine::NormalTerms& t, KeyLayout& out) {
    const std::size_t n = t.size();
    out.start.resize(n + 1);
    out.hash.resize(n);
    std::size_t total = 0;
    std::uint64_t used = 0;
    for (std::size_t k = 0; k < n; ++k) {
        total += std::popcount(t.cre[k]) + std::popcount(t.ann[k]);
        used |= t.cre[k] | t.ann[k];
    }
    out.used = used;
    out.codes.resize(total);
    Py_hash_t pair[engine::kMaxSpinOrbitals][2];
    for (int p = 0; p < engine::kMaxSpinOrbitals; ++p)
        for (int dag = 0; dag < 2; ++dag) pair[p][dag] = detail::pair_hash(p, dag);
    std::size_t w = 0;
    std::uint8_t* codes = out.codes.data();
    for (std::size_t k = 0; k < n; ++k) {
        out.start[k] = static_cast<std::uint32_t>(w);
        detail::TupleHash hash;
        for (int side = 0; side < 2; ++side) {
            std::uint64_t set = side == 0 ? t.cre[k] : t.ann[k];
            const int dag = side == 0 ? 1 : 0;
            while (set) {
                const int p = 63 - std::countl_zero(set);
                set ^= std::uint64_t{1} << p;
                codes[w++] = static_cast<std::uint8_t>((p << 1) | dag);
                hash.add(pair[p][dag]);
            }
        }
        out.hash[k] = hash.finish(static_cast<Py_ssize_t>(w - out.start[k]));
    }
    out.start[n] = static_cast<std::uint32_t>(w);
}

// Builds the FermionOp dict of normal-ordered terms, piece by piece: key
// ((p1, 1), ..., (pm, 1), (q1, 0), ..., (qn, 0)) with p and q descending, value complex.
// The pieces must not share a term.
class FermionOpBuilder {
public:
    explicit FermionOpBuilder(std::size_t expected_terms) {
#if PY_VERSION_HEX < 0x030D0000
        PyObject* d = _PyDict_NewPresized(static_cast<Py_ssize_t>(expected_terms));
#else
        (void)expected_terms;
        PyObject* d = PyDict_New();
#endif
        if (!d) throw nb::python_error();
        dict_ = nb::steal<nb::dict>(d);
    }
    FermionOpBuilder(const FermionOpBuilder&) = delete;
    FermionOpBuilder& operator=(const FermionOpBuilder&) = delete;

    // Adds the terms with their keys laid out by lay_out_keys.
    void add(const engine::NormalTerms& t, const KeyLayout& layout) {
        const std::size_t n = t.size();
        make_pairs(layout.used);
        PyObject* d = dict_.ptr();
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t first = layout.start[k], last = layout.start[k + 1];
            PyObject* key = PyTuple_New(static_cast<Py_ssize_t>(last - first));
            if (!key) throw nb::python_error();
            for (std::uint32_t j = first; j < last; ++j) {
                const std::uint8_t code = layout.codes[j];
                PyObject* pr = pairs_[code];
                Py_INCREF(pr);
                PyTuple_SET_ITEM(key, j - first, pr);
            }
            // A key holds only ints and (int, int) tuples and can never be part of a cycle:
            // it is left out of the cyclic collector's lists at once (the collector would
            // untrack it itself, after traversing it once).
            PyObject_GC_UnTrack(key);
            PyObject* value = PyComplex_FromDoubles(t.c[k].real(), t.c[k].imag());
            if (!value) {
                Py_DECREF(key);
                throw nb::python_error();
            }
            int rc;
#if PY_VERSION_HEX < 0x030D0000
            if (known_hash_ && checked_ < 8) {
                const Py_hash_t real = PyObject_Hash(key);
                if (real == -1) {
                    Py_DECREF(key);
                    Py_DECREF(value);
                    throw nb::python_error();
                }
                ++checked_;
                if (real != layout.hash[k]) known_hash_ = false;
            }
            rc = known_hash_ ? _PyDict_SetItem_KnownHash(d, key, value, layout.hash[k])
                             : PyDict_SetItem(d, key, value);
#else
            rc = PyDict_SetItem(d, key, value);
#endif
            Py_DECREF(key);
            Py_DECREF(value);
            if (rc != 0) throw nb::python_error();
        }
    }

    nb::dict result() const { return dict_; }

    ~FermionOpBuilder() {
        for (PyObject* p : pairs_) Py_XDECREF(p);
    }

private:
    // One (index, dagger) tuple per ladder operator, shared by all keys.
    void make_pairs(std::uint64_t used) {
        for (std::uint64_t r = used & ~made_; r; r &= r - 1) {
            const int p = std::countr_zero(r);
            for (int dag = 0; dag < 2; ++dag) {
                PyObject* tup = PyTuple_Pack(2, nb::int_(p).ptr(), nb::int_(dag).ptr());
                if (!tup) throw nb::python_error();
                PyObject_GC_UnTrack(tup);
                pairs_[(p << 1) | dag] = tup;
                const Py_hash_t h = PyObject_Hash(tup);
                if (h == -1) throw nb::python_error();
                if (h != detail::pair_hash(p, dag)) known_hash_ = false;
            }
            made_ |= std::uint64_t{1} << p;
        }
    }

    // Many new tuples at once would trigger the cyclic collector over and over; none of them
    // can form a cycle, so it is paused while the dict is filled.
    struct GcPause {
        int was_enabled = PyGC_Disable();
        ~GcPause() {
            if (was_enabled) PyGC_Enable();
        }
    } gc_pause_;
    nb::dict dict_;
    // The tuple (p, dagger) at index (p << 1) | dagger, the code of the ladder operator.
    PyObject* pairs_[2 * engine::kMaxSpinOrbitals] = {};
    std::uint64_t made_ = 0;
    bool known_hash_ = true;
    int checked_ = 0;
};

}  // namespace korvel::py
