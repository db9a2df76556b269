// Helpers shared by every korvel extension module.
//
//  * argument rules of the package: integers accept any number through integer
//    conversion, floats any number through float conversion, and anything else is a
//    TypeError that names the argument and the type received;
//  * imports of optional libraries at call time;
//  * functions with a Python-readable signature (inspect.signature, help()), and
//    classes created with type(name, bases, namespace) on a Python base class.
//
// Each extension is its own shared object with hidden visibility, so every static
// here exists once per module.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <structmember.h>

#include <complex>
#include <cstddef>
#include <optional>
#include <string>

namespace korvel::py {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Imports and small conveniences

inline nb::object import(const char* module) { return nb::module_::import_(module); }

inline std::string type_name_of(nb::handle o) {
    return nb::cast<std::string>(nb::type_name(o.type()));
}

inline bool is_number(nb::handle o) {
    // bool is an int; str, bytes and None are not numbers. Complex numbers do not
    // convert to int or float and are refused by the callers that need those.
    return PyNumber_Check(o.ptr()) != 0;
}

// ---------------------------------------------------------------------------
// C-API conveniences: each turns a Python error into a C++ exception that nanobind
// passes back to the interpreter unchanged.

// A new reference from the C API, or the pending Python error thrown.
inline nb::object checked(PyObject* r) {
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// bool(o), with the object's own __bool__ / __len__.
inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// getattr(o, name) when o has it; an invalid object when the lookup raises AttributeError,
// and any other error of the lookup thrown as it is.
inline nb::object optional_attr(nb::handle o, const char* name) {
    PyObject* r = PyObject_GetAttrString(o.ptr(), name);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

// o[key], raising the container's own lookup error.
inline nb::object getitem(nb::handle o, nb::handle key) {
    return checked(PyObject_GetItem(o.ptr(), key.ptr()));
}
inline nb::object getitem(nb::handle o, const char* key) { return getitem(o, nb::str(key)); }

// str(o).
inline std::string str_of(nb::handle o) {
    return nb::cast<std::string>(checked(PyObject_Str(o.ptr())));
}

// repr(o) for an error message: at most 200 characters, and never an error of its own
// (a failing __repr__ gives "<unprintable>"), so that the error being reported is the
// one that propagates.
inline std::string repr_of(nb::handle o) {
    PyObject* r = PyObject_Repr(o.ptr());
    if (!r) {
        PyErr_Clear();
        return "<unprintable>";
    }
    nb::str s = nb::steal<nb::str>(r);
    const char* text = PyUnicode_AsUTF8(s.ptr());
    if (!text) {
        PyErr_Clear();
        return "<unprintable>";
    }
    std::string t = text;
    if (t.size() > 200) t = t.substr(0, 200) + "...";
    return t;
}

// complex(o) as a Python object, with the interpreter's own conversion rules.
inline nb::object complex_of(nb::handle o) {
    if (PyComplex_CheckExact(o.ptr())) return nb::borrow(o);
    return checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyComplex_Type), o.ptr()));
}

// complex(o) as a C++ value.
inline std::complex<double> to_complex(nb::handle o) {
    nb::object c = complex_of(o);
    Py_complex v = PyComplex_AsCComplex(c.ptr());
    if (v.real == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return {v.real, v.imag};
}

// An operator as an OpenFermion FermionOperator: a dict (or subclass) is copied into a new
// operator with complex coefficients, in its order; anything else, a FermionOperator
// included, is returned as it is. The items are taken as one list first, so that every key
// and value stays alive while complex() and the keys' hashes run Python code.
inline nb::object fermion_operator_of(nb::handle hamiltonian) {
    if (!PyDict_Check(hamiltonian.ptr())) return nb::borrow(hamiltonian);
    nb::object items = checked(PyDict_Items(hamiltonian.ptr()));
    nb::dict terms;
    for (nb::handle kv : items) {
        nb::object key = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0));
        nb::object value = complex_of(PyTuple_GET_ITEM(kv.ptr(), 1));
        if (PyDict_SetItem(terms.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
    }
    nb::object op = import("openfermion").attr("FermionOperator")();
    op.attr("terms") = terms;
    return op;
}

// ---------------------------------------------------------------------------
// Argument rules

// Integer argument: an int as it is, any other number through int(); TypeError
// naming the argument otherwise. Returns the Python int (arbitrary width).
inline nb::int_ int_object(nb::handle o, const char* name) {
    if (PyLong_Check(o.ptr())) return nb::borrow<nb::int_>(o);
    if (o.is_none() || PyComplex_Check(o.ptr()) || !is_number(o))
        throw nb::type_error(
            (std::string(name) + " must be an integer, not " + type_name_of(o)).c_str());
    PyObject* r = PyNumber_Long(o.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::int_>(r);
}

inline long long as_int(nb::handle o, const char* name) {
    nb::int_ v = int_object(o, name);
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow)
        throw nb::value_error((std::string(name) + " is out of range").c_str());
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

// Integer or None.
inline std::optional<long long> as_opt_int(nb::handle o, const char* name) {
    if (o.is_none()) return std::nullopt;
    if (PyLong_Check(o.ptr()) || (!PyComplex_Check(o.ptr()) && is_number(o)))
        return as_int(o, name);
    throw nb::type_error(
        (std::string(name) + " must be an integer or None, not " + type_name_of(o)).c_str());
}

// Float argument: any real number through float().
inline double as_float(nb::handle o, const char* name) {
    if (PyFloat_Check(o.ptr())) return PyFloat_AS_DOUBLE(o.ptr());
    if (o.is_none() || PyComplex_Check(o.ptr()) || !is_number(o))
        throw nb::type_error(
            (std::string(name) + " must be a real number, not " + type_name_of(o)).c_str());
    double r = PyFloat_AsDouble(o.ptr());
    if (r == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

// ---------------------------------------------------------------------------
// Functions with a readable signature.
//
// nanobind functions carry their signature only as text, which inspect.signature
// cannot read. A SignedFunction wraps one: calling it forwards to the wrapped
// function, it binds like a Python function when stored in a class (so it serves as
// a method), and its instance dictionary holds __signature__, __name__, __qualname__,
// __module__, __doc__ and __annotations__.

namespace detail {

struct SignedFunction {
    PyObject_HEAD
    PyObject* func;
    PyObject* dict;
};

inline PyObject* sf_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyObject_Call(reinterpret_cast<SignedFunction*>(self)->func, args, kwargs);
}

inline PyObject* sf_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline int sf_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<SignedFunction*>(self);
    Py_VISIT(s->func);
    Py_VISIT(s->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int sf_clear(PyObject* self) {
    auto* s = reinterpret_cast<SignedFunction*>(self);
    Py_CLEAR(s->func);
    Py_CLEAR(s->dict);
    return 0;
}

inline void sf_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    sf_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* sf_repr(PyObject* self) {
    PyObject* qn = PyObject_GetAttrString(self, "__qualname__");
    if (!qn) {
        PyErr_Clear();
        return PyUnicode_FromString("<function>");
    }
    PyObject* r = PyUnicode_FromFormat("<function %U>", qn);
    Py_DECREF(qn);
    return r;
}

inline PyTypeObject* signed_function_type() {
    static PyTypeObject* type = nullptr;
    if (type) return type;
    static PyMemberDef members[] = {
        {"__dictoffset__", T_PYSSIZET, (Py_ssize_t)offsetof(SignedFunction, dict), READONLY,
         nullptr},
        {"__wrapped_function__", T_OBJECT, (Py_ssize_t)offsetof(SignedFunction, func),
         READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_call, (void*)sf_call},
        {Py_tp_descr_get, (void*)sf_descr_get},
        {Py_tp_traverse, (void*)sf_traverse},
        {Py_tp_clear, (void*)sf_clear},
        {Py_tp_dealloc, (void*)sf_dealloc},
        {Py_tp_repr, (void*)sf_repr},
        {Py_tp_members, (void*)members},
        {0, nullptr}};
    static PyType_Spec type_desc = {"korvel.function", sizeof(SignedFunction), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* t = PyType_FromSpec(&type_desc);
    if (!t) throw nb::python_error();
    type = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
    return type;
}

// inspect.Signature from a Python parameter list such as
// "(self, h: FermionOp, *, n_comm: int, max_body: int | None) -> FermionOp".
// The text is compiled as the header of an empty function under postponed
// evaluation of annotations, so annotations stay as the written text while default
// values are real objects.
inline nb::object signature_from_text(const std::string& text) {
    nb::dict ns;
    std::string src = "from __future__ import annotations\ndef _f" + text + ": pass\n";
    nb::object builtins = import("builtins");
    builtins.attr("exec")(nb::str(src.c_str()), ns);
    return import("inspect").attr("signature")(ns["_f"]);
}

}  // namespace detail

// Wrap `fn` (any callable, usually an nb::cpp_function) into a function object whose
// signature is `sig_text`. `qualname` defaults to `name`.
inline nb::object signed_function(nb::object fn, const char* name, const std::string& sig_text,
                                  const char* doc, const char* module,
                                  const char* qualname = nullptr) {
    PyTypeObject* tp = detail::signed_function_type();
    auto* s = PyObject_GC_New(detail::SignedFunction, tp);
    if (!s) throw nb::python_error();
    s->func = fn.release().ptr();
    s->dict = PyDict_New();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(s));
    nb::object self = nb::steal(reinterpret_cast<PyObject*>(s));
    if (!s->dict) throw nb::python_error();

    nb::object sig = detail::signature_from_text(sig_text);
    nb::dict annotations;
    for (auto item : nb::borrow<nb::dict>(sig.attr("parameters").attr("copy")())) {
        nb::object p = nb::borrow(item.second);
        nb::object ann = p.attr("annotation");
        if (!ann.is(p.attr("empty"))) annotations[item.first] = ann;
    }
    nb::object ret = sig.attr("return_annotation");
    if (!ret.is(sig.attr("empty"))) annotations["return"] = ret;

    self.attr("__signature__") = sig;
    self.attr("__name__") = name;
    self.attr("__qualname__") = qualname ? qualname : name;
    self.attr("__module__") = module;
    self.attr("__doc__") = doc ? nb::object(nb::str(doc)) : nb::none();
    self.attr("__annotations__") = annotations;
    return self;
}

// Define a module-level function with a readable signature.
template <typename Func, typename... Extra>
void def(nb::module_& m, const char* name, const std::string& sig_text, const char* doc,
         Func&& f, const Extra&... extra) {
    nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    nb::str mod = nb::borrow<nb::str>(m.attr("__name__"));
    m.attr(name) = signed_function(fn, name, sig_text, doc, mod.c_str());
}

// A method for a class built with make_class: `self` is the first parameter of both
// the C++ callable and the signature text.
template <typename Func, typename... Extra>
nb::object method(const char* module, const char* cls, const char* name,
                  const std::string& sig_text, const char* doc, Func&& f,
                  const Extra&... extra) {
    nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    std::string qual = std::string(cls) + "." + name;
    return signed_function(fn, name, sig_text, doc, module, qual.c_str());
}

inline nb::object classmethod(nb::object f) { return import("builtins").attr("classmethod")(f); }
inline nb::object staticmethod(nb::object f) {
    return import("builtins").attr("staticmethod")(f);
}

// Create a Python class with type(name, bases, namespace); the namespace dict gets
// __module__, __qualname__ and __doc__.
inline nb::object make_class(const char* name, nb::tuple bases, nb::dict ns, const char* module,
                             const char* doc) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    return import("builtins").attr("type")(name, bases, ns);
}

}  // namespace korvel::py

// ---------------------------------------------------------------------------
// Finite values: NaN and infinities are refused where they enter, and a result that
// overflows is an OverflowError rather than an infinity handed back.

#include <cmath>

namespace korvel::py {

inline bool finite(std::complex<double> c) {
    return std::isfinite(c.real()) && std::isfinite(c.imag());
}

inline std::string complex_text(std::complex<double> c) {
    std::string t = "(" + std::to_string(c.real()) + (c.imag() < 0 ? "" : "+") +
                    std::to_string(c.imag()) + "j)";
    return c.imag() == 0.0 ? std::to_string(c.real()) : t;
}

// A real argument that must be finite: ValueError naming it otherwise.
inline double finite_float(nb::handle o, const char* name) {
    double v = as_float(o, name);
    if (!std::isfinite(v))
        throw nb::value_error((std::string(name) + " must be a finite number, got " +
                               repr_of(o)).c_str());
    return v;
}

// The coefficient `c` of `term` in the operator argument `name`: ValueError when it is
// NaN or infinite.
inline void require_finite_coefficient(std::complex<double> c, const char* name,
                                       nb::handle term) {
    if (finite(c)) return;
    throw nb::value_error((std::string(name) + ": the coefficient of term " + repr_of(term) +
                           " is not finite (" + complex_text(c) + ")").c_str());
}

// Every coefficient of the mapping `op` (read through items(), each item held while
// the coefficient's own conversion runs) must be a finite number.
inline void require_finite_operator(nb::handle op, const char* name) {
    nb::object items = checked(PyObject_CallMethod(op.ptr(), "items", nullptr));
    nb::object it = checked(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object pair = checked(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2)
            throw nb::value_error((std::string(name) +
                                   ": items() must yield (term, coefficient) pairs").c_str());
        nb::object term = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
        nb::object coeff = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
        require_finite_coefficient(to_complex(coeff), name, term);
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// OverflowError when a computed value is no longer finite although its inputs were.
[[noreturn]] inline void throw_overflow(const std::string& what) {
    PyErr_SetString(PyExc_OverflowError, what.c_str());
    throw nb::python_error();
}
inline void require_finite_result(std::complex<double> v, const std::string& what) {
    if (!finite(v)) throw_overflow(what + " overflows (" + complex_text(v) + ")");
}

}  // namespace korvel::py
