// FermionOp mappings <-> engine ladder terms, shared by the extension modules.
//
// A FermionOp maps a term, a tuple of (spin-orbital index, dagger) pairs read left to
// right as a product (dagger 1 = creation), to a real or complex coefficient. Reading
// validates every term and coefficient and raises TypeError / ValueError naming the
// offending item; writing builds the dict of normal-ordered terms with OpenFermion's term
// keys (creation operators left of annihilation operators, each block in descending
// index) and complex values.
//
// Everything here runs on the thread that holds the GIL. Reading a term can run Python
// code (an index's __index__, a coefficient's __complex__ or __float__, the repr built for
// an error message), and that code may change the mapping being read. So every object taken
// from the mapping is held by a strong reference while such code can run, and once it may
// have run, a dict is read on through its own items() iterator, which raises the
// interpreter's RuntimeError when the dict changes size. Terms made only of exact tuples,
// exact ints and exact floats or complex numbers run no Python code and are read straight
// from the dict.
#pragma once

#include <nanobind/nanobind.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "common.h"
#include "engine/ladder.h"
#include "engine/mask.h"
#include "engine/spin_set.h"
#include "engine/memory.h"

namespace korvel::py {

// A FermionOp read and reduced term by term, for the Majorana expansion or the ladder
// algebra: terms[t] is the reduced product of the t-th term, kept when keep[t] != 0 (a term
// whose product vanishes is read and checked like any other, then left out). S is the
// spin-orbital set type (one 64-bit word, or engine::WideSpinSet).
template <typename S>
struct ReducedFermionOpT {
    engine::BufferVector<engine::ReducedTermT<S>> terms;
    engine::BufferVector<std::uint8_t> keep;

    void push_back(const engine::ReducedTermT<S>& t, bool kept) {
        terms.push_back(t);
        keep.push_back(kept ? 1 : 0);
    }
};
using ReducedFermionOp = ReducedFermionOpT<std::uint64_t>;

// Thrown, instead of the ValueError, by a reader of one-word sets that was asked to widen
// (see reduced_terms_from) when it meets a spin-orbital index from 64 up to the widest set:
// the caller reads the operator again on wide sets. Never reaches Python.
struct NeedsWideSets {};

// Ladder-operator codes ((index << 1) | dagger) of a set type: one byte for one word, two
// bytes for the wide sets.
template <typename S>
using CodeOf = std::conditional_t<std::is_same_v<S, std::uint64_t>, std::uint8_t, std::uint16_t>;

// What the limit of a set type is called in messages.
template <typename S>
constexpr const char* engine_name() {
    return std::is_same_v<S, std::uint64_t> ? "Majorana engine" : "ladder engine";
}

namespace detail {

// Terms longer than this are read on the general path (they are rare and need a buffer).
constexpr Py_ssize_t kDirectTermLength = 16;

// The value of an exact int that fits a long long; false for anything else. Runs no
// Python code.
inline bool exact_small_int(PyObject* o, long long& value) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0;
}

// The interpreter shares one int object for each small value: the table finds such an
// object's value by its identity (a probe keyed by its address), with no call. Objects it
// does not hold are not found, whatever they are; the table keeps its references for the
// life of the process, so that an address it holds is never reused.
class SmallIndexTable {
public:
    SmallIndexTable() {
        for (int p = 0; p < engine::kMaxWideSpinOrbitals; ++p) {
            PyObject* o = PyLong_FromLong(p);
            if (!o) {
                PyErr_Clear();
                continue;
            }
            std::size_t s = slot(o);
            while (key_[s] && key_[s] != o) s = (s + 1) % kSize;
            key_[s] = o;
            value_[s] = static_cast<std::uint8_t>(p);
        }
    }
    bool find(PyObject* o, long long& value) const {
        for (std::size_t s = slot(o);; s = (s + 1) % kSize) {
            if (key_[s] == o) {
                value = value_[s];
                return true;
            }
            if (!key_[s]) return false;
        }
    }

private:
    static constexpr std::size_t kSize = 4 * engine::kMaxWideSpinOrbitals;
    static std::size_t slot(PyObject* o) { return (reinterpret_cast<std::uintptr_t>(o) >> 4) % kSize; }
    PyObject* key_[kSize] = {};
    std::uint8_t value_[kSize] = {};
};

// An integer from an int or an object with __index__ (bool counts as int); false, with no
// error set, when `o` is not integral. `overflow` is set when it does not fit a long long.
// __index__ may run Python code: the caller holds `o`.
inline bool read_index(nb::handle o, long long& value, bool& overflow) {
    overflow = false;
    nb::object converted;
    PyObject* p = o.ptr();
    if (!PyLong_Check(p)) {
        if (!PyIndex_Check(p)) return false;
        converted = checked(PyNumber_Index(p));
        p = converted.ptr();
    }
    int ovf = 0;
    value = PyLong_AsLongLongAndOverflow(p, &ovf);
    if (ovf) overflow = true;
    else if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return true;
}

[[noreturn]] inline void not_a_number(nb::handle term, nb::handle v) {
    throw nb::type_error(("coefficient of term " + repr_of(term) + " must be a number, not " +
                          type_name_of(v))
                             .c_str());
}

// Coefficient as a complex number: int, float, complex, or anything with __complex__,
// __float__ or __index__ (NumPy scalars included), converted as complex() converts it;
// errors raised by the conversion propagate as they are. The caller holds `v` and `term`.
inline std::complex<double> read_coefficient(nb::handle v, nb::handle term) {
    PyObject* p = v.ptr();
    if (PyFloat_CheckExact(p)) return {PyFloat_AS_DOUBLE(p), 0.0};
    if (PyUnicode_Check(p) || PyBytes_Check(p) || p == Py_None) not_a_number(term, v);
    if (!PyComplex_Check(p) && !PyNumber_Check(p)) {
        nb::object has = optional_attr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(p))), "__complex__");
        if (!has.is_valid()) not_a_number(term, v);
    }
    const Py_complex z = PyComplex_AsCComplex(p);
    if (z.real == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return {z.real, z.imag};
}

// A float subclass whose values can be read as floats without running Python code: a
// static type with the plain metaclass (looking up its attributes runs no Python code)
// and without __complex__, so that complex() takes the float value, which PyFloat_AS_DOUBLE
// reads. numpy.float64, the values of OpenFermion's Hamiltonians, is one.
inline bool plain_float_subclass(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    if (PyFloat_CheckExact(v) || !PyFloat_Check(v)) return false;
    if ((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        Py_TYPE(reinterpret_cast<PyObject*>(tp)) != &PyType_Type)
        return false;
    const int has = PyObject_HasAttrString(reinterpret_cast<PyObject*>(tp), "__complex__");
    return has == 0;
}

// Reading outcomes of the direct path.
enum DirectRead : std::uint8_t { kVanishes = 0, kKept = 1, kGeneral = 2 };

// The common case, read without running any Python code and without touching a reference
// count: an exact tuple of at most kDirectTermLength exact (int, int) tuples with valid
// indices (within the set type S) and flags, and a finite coefficient that is an exact
// float, a complex or of `float_type` (see plain_float_subclass). kGeneral, with `out`
// unspecified, for anything else.
template <typename S>
DirectRead read_direct(PyObject* term, PyObject* value, PyTypeObject* float_type,
                       engine::ReducedTermT<S>& out) {
    double re, im = 0.0;
    if (PyFloat_CheckExact(value) || (float_type && Py_TYPE(value) == float_type)) {
        re = PyFloat_AS_DOUBLE(value);
    } else if (PyComplex_Check(value)) {  // the stored value, as PyComplex_AsCComplex reads it
        re = PyComplex_RealAsDouble(value);
        im = PyComplex_ImagAsDouble(value);
    } else {
        return kGeneral;
    }
    if (!std::isfinite(re) || !std::isfinite(im) || !PyTuple_CheckExact(term)) return kGeneral;
    const Py_ssize_t k = PyTuple_GET_SIZE(term);
    if (k > kDirectTermLength) return kGeneral;
    // Indices and flags held by the interpreter's shared small ints are recognised by
    // identity first, any other exact int by its value.
    static const SmallIndexTable kSmall;
    static PyObject* const kZero = PyLong_FromLong(0);
    static PyObject* const kOne = PyLong_FromLong(1);
    CodeOf<S> ops[kDirectTermLength];
    engine::DistinctLadderT<S> ladder;
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(term, i);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return kGeneral;
        PyObject* flag = PyTuple_GET_ITEM(pair, 1);
        long long index, dagger;
        if (flag == kOne) dagger = 1;
        else if (flag == kZero) dagger = 0;
        else if (!exact_small_int(flag, dagger) || (dagger != 0 && dagger != 1)) return kGeneral;
        PyObject* at = PyTuple_GET_ITEM(pair, 0);
        if (!kSmall.find(at, index) &&
            (!exact_small_int(at, index) || index < 0))
            return kGeneral;
        if (index >= engine::kSetBits<S>) return kGeneral;
        ops[i] = static_cast<CodeOf<S>>((index << 1) | dagger);
        ladder.add(static_cast<unsigned>(index), static_cast<unsigned>(dagger));
    }
    if (re == 0.0 && im == 0.0) return kVanishes;
    if (engine::sets::empty(ladder.repeated)) {
        ladder.reduce(re, im, out);
        return kKept;
    }
    return engine::reduce_words(ops, static_cast<std::size_t>(k), re, im, out) ? kKept : kVanishes;
}

[[noreturn]] inline void bad_term(nb::handle term, const std::string& why) {
    throw nb::type_error(("term " + repr_of(term) + " " + why).c_str());
}

// Any term, with every check and its error: the type of the term and of its pairs, the
// coefficient (a number, finite), each index (an integer from 0 to the width of the set
// type S, less one) and each dagger flag (0 or 1). The ladder operators go to `ops` (code
// (index << 1) | dagger), the coefficient is returned. With `widen` (set by a reader of
// one-word sets only), an index past one word throws NeedsWideSets instead of the
// ValueError, so that the wide reader names the widest limit. Holds every
// object it reads while Python code can run; the caller holds `term` and `value`.
template <typename S = std::uint64_t>
std::complex<double> read_ops(nb::handle term, nb::handle value, std::vector<CodeOf<S>>& ops,
                              bool widen = false) {
    if (!PyTuple_Check(term.ptr()))
        bad_term(term, "must be a tuple of (index, dagger) pairs, not " + type_name_of(term));
    const std::complex<double> c = read_coefficient(value, term);
    if (!std::isfinite(c.real()) || !std::isfinite(c.imag()))
        throw nb::value_error(("coefficient of term " + repr_of(term) + " is not finite: " +
                               repr_of(value))
                                  .c_str());
    const Py_ssize_t k = PyTuple_GET_SIZE(term.ptr());
    ops.clear();
    ops.reserve(static_cast<std::size_t>(k));
    for (Py_ssize_t i = 0; i < k; ++i) {
        nb::object pair = nb::borrow(PyTuple_GET_ITEM(term.ptr(), i));
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
            bad_term(term, "must hold (index, dagger) pairs; found " + repr_of(pair));
        nb::object pi = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
        nb::object pd = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
        long long index, dagger;
        bool ovf;
        if (!read_index(pi, index, ovf))
            bad_term(term, "has a spin-orbital index of type " + type_name_of(pi) +
                               "; expected an integer");
        if (ovf || index < 0 || index >= engine::kSetBits<S>) {
            if (widen && std::is_same_v<S, std::uint64_t> && !ovf && index >= 0) throw NeedsWideSets{};
            const std::string idx = repr_of(pi);
            if (!ovf && index < 0)
                throw nb::value_error(("spin-orbital index " + idx + " in term " + repr_of(term) +
                                       " is negative")
                                          .c_str());
            throw nb::value_error(
                ("spin-orbital index " + idx + " in term " + repr_of(term) + " is beyond the " +
                 std::to_string(engine::kSetBits<S>) + " spin-orbitals (0 to " +
                 std::to_string(engine::kSetBits<S> - 1) + ") the " + engine_name<S>() + " supports" +
                 (std::is_same_v<S, std::uint64_t>
                      ? "; the cpu backend's ladder algebra holds up to " +
                            std::to_string(engine::kMaxWideSpinOrbitals)
                      : std::string()))
                    .c_str());
        }
        if (!read_index(pd, dagger, ovf))
            bad_term(term, "has a dagger flag of type " + type_name_of(pd) + "; expected 0 or 1");
        if (ovf || (dagger != 0 && dagger != 1))
            throw nb::value_error(("dagger flag " + repr_of(pd) + " in term " + repr_of(term) +
                                   " must be 0 (annihilation) or 1 (creation)")
                                      .c_str());
        ops.push_back(static_cast<CodeOf<S>>((index << 1) | dagger));
    }
    return c;
}

// read_ops, then the reduction of the term's product.
template <typename S>
void read_general(nb::handle term, nb::handle value, ReducedFermionOpT<S>& out, bool widen) {
    std::vector<CodeOf<S>> ops;
    const std::complex<double> c = read_ops<S>(term, value, ops, widen);
    engine::ReducedTermT<S> r;
    const bool kept = engine::reduce_ladder_term(ops.data(), ops.size(), c, r);
    out.push_back(r, kept);
}

// Calls f(term, value) for the (term, coefficient) items of an iterator, each item held
// while f runs.
template <typename F>
void for_each_item(nb::handle iterator, const char* name, F&& f) {
    while (true) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            return;
        }
        nb::object item = nb::steal(next);
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
            throw nb::type_error(
                (std::string(name) + ".items() must yield (term, coefficient) pairs, not " +
                 type_name_of(item))
                    .c_str());
        nb::object term = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        f(term, value);
    }
}

}  // namespace detail

// The mapping of a FermionOp: the object itself when it is a dict or has items(), else its
// `terms` (OpenFermion's FermionOperator); TypeError naming `name` for anything else.
inline nb::object fermion_mapping(nb::handle op, const char* name) {
    if (PyDict_Check(op.ptr()) || optional_attr(op, "items").is_valid()) return nb::borrow(op);
    nb::object terms = optional_attr(op, "terms");
    if (terms.is_valid() && (PyDict_Check(terms.ptr()) || optional_attr(terms, "items").is_valid()))
        return terms;
    throw nb::type_error((std::string(name) + " must be a mapping from terms to coefficients, not " +
                          type_name_of(op))
                             .c_str());
}

// An iterator over mapping.items().
inline nb::object items_iterator(nb::handle mapping) {
    nb::object listed = checked(PyObject_CallMethod(mapping.ptr(), "items", nullptr));
    return checked(PyObject_GetIter(listed.ptr()));
}

// Reads and reduces a FermionOp (a dict, any mapping with items(), or an object with a
// `terms` mapping such as OpenFermion's FermionOperator) onto the set type S, with the
// checks and errors of detail::read_ops (and its `widen`).
template <typename S = std::uint64_t>
ReducedFermionOpT<S> reduced_terms_from(nb::handle op, const char* name, bool widen = false) {
    ReducedFermionOpT<S> out;
    const nb::object mapping = fermion_mapping(op, name);
    const auto general = [&](nb::handle term, nb::handle value) {
        detail::read_general<S>(term, value, out, widen);
    };
    if (!PyDict_CheckExact(mapping.ptr())) {
        detail::for_each_item(items_iterator(mapping), name, general);
        return out;
    }
    // An exact dict: its entries are read in place, as long as reading them runs no Python
    // code; from the first entry that might, through its items() iterator.
    PyObject* d = mapping.ptr();
    const std::size_t n = static_cast<std::size_t>(PyDict_GET_SIZE(d));
    engine::require_memory(n, sizeof(engine::ReducedTermT<S>) + 1, "the terms of the operator");
    out.terms.reserve(n);
    out.keep.reserve(n);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyTypeObject* float_type = nullptr;
    std::size_t read = 0;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!float_type && detail::plain_float_subclass(value)) float_type = Py_TYPE(value);
        engine::ReducedTermT<S> r;
        const detail::DirectRead got = detail::read_direct<S>(key, value, float_type, r);
        if (got == detail::kGeneral) break;
        out.push_back(r, got == detail::kKept);
        ++read;
    }
    if (read == n) return out;
    nb::object iterator = items_iterator(mapping);
    for (std::size_t i = 0; i < read; ++i) {
        PyObject* skipped = PyIter_Next(iterator.ptr());
        if (!skipped) {  // nothing has run that could change the dict, but be sure
            if (PyErr_Occurred()) throw nb::python_error();
            throw std::runtime_error("the operator changed while it was read");
        }
        Py_DECREF(skipped);
    }
    detail::for_each_item(iterator, name, general);
    return out;
}

// The keys of a part of normal-ordered terms, laid out ahead of the dict building, on any
// thread (plain C++ data): term k's key holds the ladder operators
// codes[start[k]] .. codes[start[k+1] - 1] (code (index << 1) | dagger, creators first,
// each block descending).
struct KeyLayout {
    std::vector<std::uint16_t> codes;
    std::vector<std::size_t> start;
    engine::WideSpinSet used{};  // the spin-orbitals the keys hold
};

template <typename S>
void lay_out_keys(const engine::NormalTermsT<S>& t, KeyLayout& out) {
    const std::size_t n = t.size();
    out.start.resize(n + 1);
    std::size_t total = 0;
    S used{};
    for (std::size_t k = 0; k < n; ++k) {
        total += static_cast<std::size_t>(engine::sets::count(t.cre[k]) + engine::sets::count(t.ann[k]));
        used |= t.cre[k] | t.ann[k];
    }
    out.used = engine::WideSpinSet{};
    engine::sets::for_each_descending(used, [&](int p) { out.used |= engine::sets::single<engine::WideSpinSet>(p); });
    out.codes.resize(total);
    std::size_t w = 0;
    for (std::size_t k = 0; k < n; ++k) {
        out.start[k] = w;
        for (int side = 0; side < 2; ++side) {
            const int dag = side == 0 ? 1 : 0;
            engine::sets::for_each_descending(side == 0 ? t.cre[k] : t.ann[k], [&](int p) {
                out.codes[w++] = static_cast<std::uint16_t>((p << 1) | dag);
            });
        }
    }
    out.start[n] = w;
}

// Builds the FermionOp dict of normal-ordered terms, part by part: key
// ((p1, 1), ..., (pm, 1), (q1, 0), ..., (qn, 0)) with p and q descending, value complex.
// The parts must not share a term. Needs the GIL throughout.
class FermionOpBuilder {
public:
    FermionOpBuilder() = default;
    FermionOpBuilder(const FermionOpBuilder&) = delete;
    FermionOpBuilder& operator=(const FermionOpBuilder&) = delete;
    ~FermionOpBuilder() {
        for (PyObject* p : pairs_) Py_XDECREF(p);
    }

    // Adds the terms with their keys laid out by lay_out_keys.
    template <typename S>
    void add(const engine::NormalTermsT<S>& t, const KeyLayout& layout) {
        make_pairs(layout.used);
        for (std::size_t k = 0; k < t.size(); ++k) {
            const std::size_t first = layout.start[k], last = layout.start[k + 1];
            nb::object key = checked(PyTuple_New(static_cast<Py_ssize_t>(last - first)));
            for (std::size_t j = first; j < last; ++j) {
                PyObject* pr = pairs_[layout.codes[j]];
                Py_INCREF(pr);
                PyTuple_SET_ITEM(key.ptr(), static_cast<Py_ssize_t>(j - first), pr);
            }
            // A key holds only (int, int) tuples and can never be part of a reference cycle:
            // it is left out of the cyclic collector's lists at once, as the collector itself
            // would do after traversing it once.
            PyObject_GC_UnTrack(key.ptr());
            nb::object value = checked(PyComplex_FromDoubles(t.c[k].real(), t.c[k].imag()));
            if (PyDict_SetItem(dict_.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
        }
    }

    nb::dict result() const { return dict_; }

private:
    // One (index, dagger) tuple per ladder operator, shared by all keys.
    void make_pairs(const engine::WideSpinSet& used) {
        for (engine::WideSpinSet r = used & ~made_; !engine::sets::empty(r); r = engine::sets::drop_lowest(r)) {
            const int p = engine::sets::lowest(r);
            for (int dag = 0; dag < 2; ++dag) {
                PyObject* tup = PyTuple_Pack(2, nb::int_(p).ptr(), nb::int_(dag).ptr());
                if (!tup) throw nb::python_error();
                PyObject_GC_UnTrack(tup);
                pairs_[(p << 1) | dag] = tup;
            }
        }
        made_ |= used;
    }

    nb::dict dict_;
    // The tuple (p, dagger) at index (p << 1) | dagger, the code of the ladder operator.
    PyObject* pairs_[2 * engine::kMaxWideSpinOrbitals] = {};
    engine::WideSpinSet made_{};
};

// A count argument: any integer (TypeError naming the argument otherwise), at least 0.
inline long long non_negative(nb::handle o, const char* name) {
    long long v = as_int(o, name);
    if (v < 0)
        throw nb::value_error((std::string(name) + " must be non-negative, got " +
                               std::to_string(v))
                                  .c_str());
    return v;
}

// The reference determinant as a spin-orbital set, from an iterable of indices (each within
// the spin-orbitals the set type S holds; with `widen`, one past a word throws
// NeedsWideSets).
template <typename S = std::uint64_t>
S occupied_mask(nb::handle occupied, bool widen = false) {
    if (PyUnicode_Check(occupied.ptr()) || !PyObject_HasAttrString(occupied.ptr(), "__iter__"))
        throw nb::type_error(("occupied must be an iterable of spin-orbital indices, not " +
                              type_name_of(occupied))
                                 .c_str());
    S m{};
    for (nb::handle it : occupied) {
        nb::object item = nb::borrow(it);
        long long p;
        bool ovf;
        if (!detail::read_index(item, p, ovf))
            throw nb::type_error(("occupied must hold integer spin-orbital indices, not " +
                                  type_name_of(item))
                                     .c_str());
        if (ovf || p < 0 || p >= engine::kSetBits<S>) {
            if (widen && std::is_same_v<S, std::uint64_t> && !ovf && p >= 0) throw NeedsWideSets{};
            throw nb::value_error(("occupied spin-orbital " + repr_of(item) + " is outside 0 to " +
                                   std::to_string(engine::kSetBits<S> - 1) + ", the spin-orbitals the " +
                                   engine_name<S>() + " supports")
                                      .c_str());
        }
        m |= engine::sets::single<S>(static_cast<int>(p));
    }
    return m;
}

}  // namespace korvel::py
