// korvel.downfold.majorana: fermionic operators in Majorana monomials, the fold of the
// external spin-orbitals onto the reference determinant, and the way back to
// normal-ordered number-conserving ladder terms.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "engine/fold.h"
#include "engine/ladder.h"
#include "engine/majorana_op.h"
#include "engine/plain.h"
#include "engine/task_group.h"
#include "fermion_terms.h"

namespace nb = nanobind;
using korvel::engine::cplx;
using korvel::engine::Mask;
using korvel::engine::MajoranaOp;
using korvel::py::non_negative;
using korvel::py::occupied_mask;

namespace {

// Python int (0 <= x < 2^128) <-> Mask.
Mask mask_from(nb::handle o) {
    if (PyBool_Check(o.ptr()) ||
        !(PyLong_Check(o.ptr()) || PyIndex_Check(o.ptr())))
        throw nb::type_error(("a monomial mask must be an integer, not " +
                              korvel::py::type_name_of(o))
                                 .c_str());
    PyObject* r = PyNumber_Index(o.ptr());
    if (!r) throw nb::python_error();
    nb::object x = nb::steal(r);
    if (PyObject_RichCompareBool(x.ptr(), nb::int_(0).ptr(), Py_LT) == 1 ||
        nb::cast<long long>(x.attr("bit_length")()) > 128)
        throw nb::value_error(("monomial mask " + korvel::py::repr_of(x) +
                               " is outside 0 <= mask < 2**128 (modes 0 to 127, "
                               "64 spin-orbitals)")
                                  .c_str());
    Mask m;
    m.lo = PyLong_AsUnsignedLongLongMask(x.ptr());
    PyObject* h = PyNumber_Rshift(x.ptr(), nb::int_(64).ptr());
    if (!h) throw nb::python_error();
    nb::object hi = nb::steal(h);
    m.hi = PyLong_AsUnsignedLongLongMask(hi.ptr());
    return m;
}

nb::object mask_to_int(Mask m) {
    nb::object hi = nb::steal(PyLong_FromUnsignedLongLong(m.hi));
    nb::object lo = nb::steal(PyLong_FromUnsignedLongLong(m.lo));
    nb::object sh = nb::steal(PyNumber_Lshift(hi.ptr(), nb::int_(64).ptr()));
    if (!sh.is_valid()) throw nb::python_error();
    nb::object r = nb::steal(PyNumber_Or(sh.ptr(), lo.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

cplx coefficient_from(nb::handle v) {
    cplx c = korvel::py::detail::read_coefficient(v, v);
    if (!std::isfinite(c.real()) || !std::isfinite(c.imag()))
        throw nb::value_error(("coefficient " + korvel::py::repr_of(v) +
                               " is not finite").c_str());
    return c;
}

MajoranaOp operator_from(nb::handle monomials) {
    MajoranaOp raw;
    nb::object items = nb::borrow(monomials);
    if (PyDict_Check(monomials.ptr()) || nb::hasattr(monomials, "items"))
        items = nb::borrow(monomials).attr("items")();
    for (nb::handle item : items) {
        nb::object pair = nb::borrow(item);
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
            throw nb::type_error("MajoranaOperator takes (mask, coefficient) pairs or a mapping "
                                 "from masks to coefficients");
        nb::object mask = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
        const Mask m = mask_from(mask);
        raw.push_back(m, coefficient_from(value));
    }
    nb::gil_scoped_release release;
    return korvel::engine::merge(raw, 0.0);
}

const MajoranaOp& operator_arg(nb::handle o, const char* name) {
    if (!nb::isinstance<MajoranaOp>(o))
        throw nb::type_error((std::string(name) +
                              " must be a MajoranaOperator (as expand_to_majorana returns), not " +
                              korvel::py::type_name_of(o))
                                 .c_str());
    return nb::cast<const MajoranaOp&>(o);
}

// Rows are presented in canonical order, ascending by mask; the operator may hold them in
// the order its operation produced them.
std::vector<std::size_t> presented_order(const MajoranaOp& op) {
    return korvel::engine::sorted_order(op.lo.data(), op.hi.data(), op.size());
}

template <typename F>
MajoranaOp without_gil(F&& f) {
    nb::gil_scoped_release release;
    return f();
}

}  // namespace

NB_MODULE(majorana, m) {
    using namespace korvel::py;
    m.doc() =
        "Majorana form of fermionic operators and the fold of external spin-orbitals.\n\n"
        "Spin-orbital p owns gamma_{2p} = a_p + a_p^dagger and gamma_{2p+1} = "
        "i (a_p^dagger - a_p); a monomial is the increasing product of its gammas, "
        "identified by an integer mask (bit j set when gamma_j is present).";

    nb::class_<MajoranaOp>(
        m, "MajoranaOperator",
        "A sum of Majorana monomials: each mask once, exact zeros removed, presented in "
        "canonical order (masks ascending as unsigned 128-bit integers). Up to 64 "
        "spin-orbitals (128 modes).")
        .def("__init__",
             [](MajoranaOp* self, nb::object monomials) {
                 new (self) MajoranaOp(operator_from(monomials));
             },
             nb::arg("monomials") = nb::tuple(),
             "Build from a mapping {mask: coefficient} or an iterable of (mask, coefficient) "
             "pairs; repeated masks are summed.")
        .def("__len__", &MajoranaOp::size)
        .def("items",
             [](const MajoranaOp& op) {
                 nb::list out;
                 for (std::size_t k : presented_order(op))
                     out.append(nb::make_tuple(mask_to_int(op.mask(k)),
                                               nb::steal(PyComplex_FromDoubles(op.c[k].real(),
                                                                               op.c[k].imag()))));
                 return out;
             },
             "The (mask, coefficient) rows in canonical order.")
        .def_prop_ro("lo",
                     [](const MajoranaOp& op) {
                         nb::list out;
                         for (std::size_t k : presented_order(op))
                             out.append(nb::steal(PyLong_FromUnsignedLongLong(op.lo[k])));
                         return out;
                     },
                     "Low limbs (modes 0 to 63) of the masks, in canonical order.")
        .def_prop_ro("hi",
                     [](const MajoranaOp& op) {
                         nb::list out;
                         for (std::size_t k : presented_order(op))
                             out.append(nb::steal(PyLong_FromUnsignedLongLong(op.hi[k])));
                         return out;
                     },
                     "High limbs (modes 64 to 127) of the masks, in canonical order.")
        .def_prop_ro("c",
                     [](const MajoranaOp& op) {
                         nb::list out;
                         for (std::size_t k : presented_order(op))
                             out.append(nb::steal(PyComplex_FromDoubles(op.c[k].real(), op.c[k].imag())));
                         return out;
                     },
                     "Coefficients, in canonical order.")
        .def("__mul__",
             [](const MajoranaOp& a, nb::handle b) {
                 const MajoranaOp& rb = operator_arg(b, "other");
                 return without_gil([&] { return korvel::engine::multiply(a, rb, 0.0); });
             },
             nb::arg("other"), "Operator product, merged.")
        .def("__add__",
             [](const MajoranaOp& a, nb::handle b) {
                 const MajoranaOp& rb = operator_arg(b, "other");
                 return without_gil([&] { return korvel::engine::add(a, rb, 0.0); });
             },
             nb::arg("other"))
        .def("__sub__",
             [](const MajoranaOp& a, nb::handle b) {
                 const MajoranaOp& rb = operator_arg(b, "other");
                 return without_gil([&] { return korvel::engine::subtract(a, rb, 0.0); });
             },
             nb::arg("other"))
        .def("commutator",
             [](const MajoranaOp& a, nb::handle b) {
                 const MajoranaOp& rb = operator_arg(b, "other");
                 return without_gil([&] { return korvel::engine::commutator(a, rb, 0.0); });
             },
             nb::arg("other"), "[self, other] = self other - other self, merged.")
        .def("__repr__", [](const MajoranaOp& op) {
            return "<MajoranaOperator with " + std::to_string(op.size()) + " monomials>";
        });

    def(m, "expand_to_majorana", "(hamiltonian: FermionOp) -> MajoranaOperator",
        "The Majorana form of a fermionic operator of any body rank, exactly.",
        [](nb::handle hamiltonian) {
            // A large operator is expanded on the helper threads too: they are woken now, so
            // that their wake-up overlaps the reading.
            if (PyDict_Check(hamiltonian.ptr()) &&
                static_cast<std::size_t>(PyDict_GET_SIZE(hamiltonian.ptr())) >= korvel::engine::kSplitRows)
                korvel::engine::wake_helpers();
            const ReducedFermionOp terms = reduced_terms_from(hamiltonian, "hamiltonian");
            return without_gil([&] {
                return korvel::engine::expand_reduced(terms.terms.data(), terms.keep.data(),
                                                      terms.terms.size(), 0.0);
            });
        },
        nb::arg("hamiltonian"));

    def(m, "downfold", "(maj: MajoranaOperator, n_core: int, n_act: int, occupied) -> MajoranaOperator",
        "Project the core (below 2*n_core) and virtual (from 2*(n_core + n_act) on) "
        "spin-orbitals onto their occupation in the reference determinant `occupied`; the "
        "active spin-orbitals are renumbered from 0.",
        [](nb::handle maj, nb::handle n_core, nb::handle n_act, nb::handle occupied) {
            const MajoranaOp& op = operator_arg(maj, "maj");
            const long long core = non_negative(n_core, "n_core");
            const long long act = non_negative(n_act, "n_act");
            const std::uint64_t occ = occupied_mask(occupied);
            return without_gil(
                [&] { return korvel::engine::fold_onto_reference(op, core, act, occ, 0.0); });
        },
        nb::arg("maj"), nb::arg("n_core"), nb::arg("n_act"), nb::arg("occupied"));

    def(m, "majorana_to_fermion", "(active_maj: MajoranaOperator, n_act: int) -> FermionOp",
        "The number-conserving normal-ordered FermionOp of a Majorana operator on 2*n_act "
        "spin-orbitals (terms that change the particle number are left out; coefficients "
        "of modulus at most 1e-12 dropped).",
        [](nb::handle active_maj, nb::handle n_act) {
            const MajoranaOp& op = operator_arg(active_maj, "active_maj");
            const long long act = non_negative(n_act, "n_act");
            const int n_so = act >= 32 ? 64 : static_cast<int>(2 * act);
            // The helper threads contract the parts and lay out their keys, plain C++ work
            // without the GIL; this thread takes the GIL for each part in turn, in order, to
            // put its terms into the dict.
            if (op.size() >= korvel::engine::kSplitRows) korvel::engine::wake_helpers();
            FermionOpBuilder builder;
            KeyLayout layouts[korvel::engine::kParts];
            {
                nb::gil_scoped_release release;
                korvel::engine::contract_number_conserving_streamed(
                    op, n_so, korvel::engine::kTolerance,
                    [&](unsigned q, const korvel::engine::NormalTerms& part) { lay_out_keys(part, layouts[q]); },
                    [&](unsigned q, const korvel::engine::NormalTerms& part) {
                        nb::gil_scoped_acquire acquire;
                        builder.add(part, layouts[q]);
                        layouts[q] = KeyLayout{};
                    });
            }
            return builder.result();
        },
        nb::arg("active_maj"), nb::arg("n_act"));

    // Plain versions of the expansion and the contraction, for the tests to compare the
    // fast paths against.
    def(m, "_expand_plain", "(hamiltonian: FermionOp) -> MajoranaOperator",
        "expand_to_majorana, term by term as products of local Majorana factors (slow).",
        [](nb::handle hamiltonian) {
            std::vector<korvel::engine::plain::LadderTerm> terms;
            const nb::object mapping = fermion_mapping(hamiltonian, "hamiltonian");
            detail::for_each_item(items_iterator(mapping), "hamiltonian", [&](nb::handle term, nb::handle value) {
                korvel::engine::plain::LadderTerm t;
                t.c = detail::read_ops(term, value, t.ops);
                terms.push_back(std::move(t));
            });
            return without_gil([&] { return korvel::engine::plain::expand(terms); });
        },
        nb::arg("hamiltonian"));

    def(m, "_contract_plain", "(active_maj: MajoranaOperator, n_act: int) -> FermionOp",
        "majorana_to_fermion, monomial by monomial (slow).",
        [](nb::handle active_maj, nb::handle n_act) {
            const MajoranaOp& op = operator_arg(active_maj, "active_maj");
            const long long act = non_negative(n_act, "n_act");
            const int n_so = act >= 32 ? 64 : static_cast<int>(2 * act);
            korvel::engine::NormalTerms terms;
            {
                nb::gil_scoped_release release;
                terms = korvel::engine::plain::contract(op, n_so, korvel::engine::kTolerance);
            }
            KeyLayout layout;
            lay_out_keys(terms, layout);
            FermionOpBuilder builder;
            builder.add(terms, layout);
            return builder.result();
        },
        nb::arg("active_maj"), nb::arg("n_act"));
}
