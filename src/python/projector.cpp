// korvel.downfold.projector: the backend-independent fold of a full-space operator onto
// the active space of a problem.
#include "common.h"

namespace nb = nanobind;

// Spatial orbitals of the Majorana fold's 64 spin-orbitals.
constexpr long engine_spatial_orbitals = 32;

NB_MODULE(projector, m) {
    using namespace korvel::py;
    m.doc() = "Fold of the external orbitals onto the Hartree-Fock reference.";
    m.attr("FermionOp") = import("korvel.backends.base").attr("FermionOp");
    // The Majorana module is bound once, as a module object; its functions are looked up
    // on it at every call, so a replacement installed there takes effect at once.
    m.attr("majorana") = import("korvel.downfold.majorana");
    nb::object module = nb::borrow(m);
    def(m, "downfold_to_active", "(hamiltonian: FermionOp, problem) -> FermionOp",
        "The effective active-space Hamiltonian: `hamiltonian` (full space, any body rank) "
        "with the core and virtual spin-orbitals of `problem` projected onto the reference "
        "determinant, number-conserving on the 2*n_act active spin-orbitals numbered from 0.",
        [module](nb::handle hamiltonian, nb::handle problem) {
            // The Majorana fold holds 64 spin-orbitals; a problem on more is folded on the
            // ladder terms of the native backend's engine, which holds up to 256.
            nb::object n_orb = optional_attr(problem, "n_orb");
            if (n_orb.is_valid() && PyLong_Check(n_orb.ptr()) &&
                PyObject_RichCompareBool(n_orb.ptr(), nb::int_(engine_spatial_orbitals).ptr(), Py_GT) == 1)
                return import("korvel.backends.tavrin").attr("_fold_to_active")(hamiltonian, problem);
            nb::object majorana = module.attr("majorana");
            nb::object maj = majorana.attr("expand_to_majorana")(hamiltonian);
            nb::object fold = majorana.attr("downfold");
            nb::object n_core = nb::borrow(problem).attr("n_core");
            nb::object n_act = nb::borrow(problem).attr("n_act");
            nb::object occupied = nb::borrow(problem).attr("occupied");
            nb::object active_maj = fold(maj, n_core, n_act, occupied);
            nb::object to_fermion = majorana.attr("majorana_to_fermion");
            return to_fermion(active_maj, nb::borrow(problem).attr("n_act"));
        },
        nb::arg("hamiltonian"), nb::arg("problem"));
}
