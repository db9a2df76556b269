// korvel.core.hamiltonian: the Problem record and the problem builder.
//
// build_problem runs the whole upstream quantum chemistry once per calculation:
// geometry -> SCF -> active space (full, AVAS or a manual cut) -> optional CASSCF
// orbital optimisation -> block semicanonicalisation -> integrals in the working
// orbitals -> second-quantised Hamiltonian as an OpenFermion FermionOperator.
// Every numerical step is a PySCF, NumPy or OpenFermion call made from here; PySCF
// and OpenFermion are imported inside build_problem on every call, NumPy once when
// the module loads (module attribute `np`).
#include "common.h"

#include <string>

namespace nb = nanobind;
using namespace korvel::py;
using namespace nb::literals;

namespace {

// Full dotted name of this module, recorded when it executes; the builder reads the
// module-level names `np` and `Problem` through it.
std::string g_module_name = "korvel.core.hamiltonian";

nb::object this_module() { return import(g_module_name.c_str()); }

nb::object builtin(const char* name) { return import("builtins").attr(name); }

// a @ b
nb::object matmul(nb::handle a, nb::handle b) {
    return checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}

void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

bool equals(nb::handle a, const char* text) {
    int r = PyObject_RichCompareBool(a.ptr(), nb::str(text).ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object py_str(nb::handle o) { return checked(PyObject_Str(o.ptr())); }

long long floor_div2(long long x) { return x >= 0 ? x / 2 : -((-x + 1) / 2); }

// The (lo:hi, lo:hi) index of a diagonal block.
nb::object block_index(long long lo, long long hi) {
    nb::object s = nb::slice(nb::int_(lo), nb::int_(hi), nb::none());
    return nb::make_tuple(s, s);
}

// ---------------------------------------------------------------------------
// Geometry

const char* const kGeometryDoc =
    "Atom list for PySCF from a parsed $molecule mapping.\n\n"
    "An inline ``geometry`` (a list of (element, (x, y, z)) pairs, or None) is returned\n"
    "as it is and takes precedence over ``xyz_file``. Otherwise the XYZ file named by\n"
    "``xyz_file`` is read: the first two lines (atom count, comment) are skipped, every\n"
    "later line with at least four fields is an atom ``El x y z`` (further fields are\n"
    "ignored), shorter lines are skipped. Coordinates are passed on unchanged, in\n"
    "file order, without unit conversion.\n\n"
    "Raises TypeError when ``molecule`` is not a dict or the inline geometry is not a\n"
    "list; ValueError when neither key is present; file-system and float-conversion\n"
    "errors propagate unchanged.";

nb::object geometry_for_pyscf(nb::handle molecule) {
    if (!PyDict_Check(molecule.ptr()))
        throw nb::type_error(
            ("molecule must be a dict, not " + type_name_of(molecule)).c_str());
    nb::dict mol = nb::borrow<nb::dict>(molecule);

    if (mol.contains("geometry")) {
        nb::object g = getitem(mol, "geometry");
        if (g.is_none() || PyList_Check(g.ptr())) return g;
        throw nb::type_error(
            ("the inline geometry must be a list of (element, (x, y, z)) pairs or None, "
             "not " + type_name_of(g)).c_str());
    }

    if (!mol.contains("xyz_file"))
        throw nb::value_error("$molecule has neither inline geometry nor an xyz_file");

    // Path() accepts a string or a path-like object and nothing else (no file
    // descriptors); read_text uses the platform's default encoding and resolves a
    // relative path against the current working directory.
    nb::object path = import("pathlib").attr("Path")(getitem(mol, "xyz_file"));
    nb::object lines = path.attr("read_text")().attr("splitlines")();

    nb::list atoms;
    Py_ssize_t n_lines = nb::len(lines);
    for (Py_ssize_t i = 2; i < n_lines; ++i) {
        nb::object fields = getitem(lines, nb::int_(i)).attr("split")();
        if (nb::len(fields) < 4) continue;
        nb::object xyz[3];
        for (int k = 0; k < 3; ++k)
            xyz[k] = checked(
                PyFloat_FromString(getitem(fields, nb::int_(k + 1)).ptr()));
        atoms.append(nb::make_tuple(getitem(fields, nb::int_(0)),
                                    nb::make_tuple(xyz[0], xyz[1], xyz[2])));
    }
    return atoms;
}

// ---------------------------------------------------------------------------
// Problem builder

const char* const kBuildDoc =
    "Build the electronic-structure problem of one calculation.\n\n"
    "``calc`` has a ``molecule`` mapping (see ``_geometry_for_pyscf``) and a ``rem``\n"
    "keyword mapping with ``basis``, ``charge``, ``multiplicity``, ``reference``\n"
    "(\"rhf\", \"rohf\" or \"uhf\"), ``active_space`` (\"full\", \"avas\" or \"manual\"),\n"
    "``orbital_opt`` and, as the active space needs them, ``avas_aos`` and\n"
    "``avas_threshold`` or ``n_act`` and ``n_act_elec``.\n\n"
    "Pipeline: SCF; active space (full space, PySCF's AVAS projection, or the canonical\n"
    "orbitals cut into core / active / virtual); with ``orbital_opt`` and a non-full\n"
    "space, CASSCF from those orbitals; block semicanonicalisation, i.e. the closed-shell\n"
    "Fock matrix F = h + J - K/2 of the lowest floor(n_elec/2) orbitals diagonalised\n"
    "separately inside the core, active and virtual blocks (orbitals never mix across\n"
    "blocks); integrals in those orbitals; and the normal-ordered FermionOperator\n"
    "H = E_nuc + sum h_pq a+_p a_q + 1/2 sum (ps|qr) a+_p a+_q a_r a_s on 2 n_orb\n"
    "spin-orbitals (2p spin up, 2p+1 spin down).\n\n"
    "Unrestricted reference: a UHF calculation has separate alpha and beta orbitals,\n"
    "while the integrals need one orbital set. The working orbitals are then the UHF\n"
    "natural orbitals, the eigenvectors of the spin-summed one-particle density matrix\n"
    "(orthonormal in the AO metric), ordered by decreasing occupation; the manual cut and\n"
    "the full space use them. AVAS projects PySCF's UHF alpha orbitals, as PySCF does.\n"
    "e_ref stays the UHF energy, or the CASSCF energy after orbital optimisation;\n"
    "the determinant of the lowest n_elec spin-orbitals is then not the UHF determinant.\n\n"
    "Returns a Problem whose ``extras`` hold ``mo_coeff`` (AO x MO), ``h1``, ``eri``\n"
    "(chemists' order (pq|rs)), ``e_nuc`` and ``eps`` (semicanonical orbital energies).\n\n"
    "Raises ValueError for an unknown ``active_space``, an AVAS space without\n"
    "``avas_aos``, or a manual space that does not fit the molecule; a missing keyword\n"
    "or an unknown reference raises the mapping's KeyError; PySCF and OpenFermion errors\n"
    "propagate unchanged.";

// UHF natural orbitals: eigenvectors of the spin-summed density, expressed in the
// alpha MOs (orthonormal in the AO metric and spanning the orbital space), so that
// C^T S C = 1 holds for the result; ordered by decreasing occupation.
nb::object uhf_natural_orbitals(nb::handle mf, nb::handle np) {
    nb::object dm = mf.attr("make_rdm1")();
    nb::object dm_total = getitem(dm, nb::int_(0)) + getitem(dm, nb::int_(1));
    nb::object s = mf.attr("get_ovlp")();
    nb::object c_alpha = getitem(mf.attr("mo_coeff"), nb::int_(0));
    nb::object sc = matmul(s, c_alpha);
    nb::object p = matmul(matmul(sc.attr("T"), dm_total), sc);
    nb::object eig = np.attr("linalg").attr("eigh")(p);
    nb::object vectors = getitem(eig, nb::int_(1));
    nb::object reversed_columns =
        nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                       nb::slice(nb::none(), nb::none(), nb::int_(-1)));
    return matmul(c_alpha, getitem(vectors, reversed_columns));
}

// A manual partition that does not fit the molecule would give negative block sizes
// and a record whose invariants do not hold; refuse it with the values involved.
void check_partition(long long n_core, long long n_act, long long n_act_elec,
                     long long n_elec, long long n_orb) {
    auto s = [](long long v) { return std::to_string(v); };
    if (n_act < 0) throw nb::value_error(("n_act must be non-negative, got " + s(n_act)).c_str());
    if (n_act_elec < 0 || n_act_elec > n_elec)
        throw nb::value_error(("n_act_elec must lie between 0 and the " + s(n_elec) +
                               " electrons of the molecule, got " + s(n_act_elec))
                                  .c_str());
    if (n_act_elec > 2 * n_act)
        throw nb::value_error(("n_act_elec=" + s(n_act_elec) + " electrons do not fit into n_act=" +
                               s(n_act) + " active orbitals (at most " + s(2 * n_act) + ")")
                                  .c_str());
    if (n_core + n_act > n_orb)
        throw nb::value_error(("the active space (" + s(n_core) + " core + " + s(n_act) +
                               " active orbitals) exceeds the " + s(n_orb) +
                               " orbitals of the basis")
                                  .c_str());
}

long long n_columns(nb::handle mo) {
    return as_int(getitem(mo.attr("shape"), nb::int_(1)), "n_orb");
}

nb::object build_problem(nb::handle calc) {
    nb::object gto = import("pyscf.gto");
    nb::object scf = import("pyscf.scf");
    nb::object mcscf = import("pyscf.mcscf");
    nb::object ao2mo = import("pyscf.ao2mo");
    import("pyscf.cc");
    import("pyscf.mp");
    nb::object avas = import("pyscf.mcscf.avas");
    nb::object openfermion = import("openfermion");
    nb::object spinorb_from_spatial =
        import("openfermion.chem.molecular_data").attr("spinorb_from_spatial");
    nb::object self = this_module();
    nb::object np = self.attr("np");

    // 1-2. Molecule.
    nb::object rem = calc.attr("rem");
    nb::object atoms = geometry_for_pyscf(calc.attr("molecule"));
    nb::object basis = getitem(rem, "basis");
    nb::object charge = getitem(rem, "charge");
    nb::int_ multiplicity = int_object(getitem(rem, "multiplicity"), "multiplicity");
    nb::object spin = multiplicity - nb::int_(1);
    nb::object mol = gto.attr("M")("atom"_a = atoms, "basis"_a = basis, "charge"_a = charge,
                                   "spin"_a = spin, "verbose"_a = 0);

    // 3. Mean field.
    nb::dict flavours;
    flavours["rhf"] = scf.attr("RHF");
    flavours["rohf"] = scf.attr("ROHF");
    flavours["uhf"] = scf.attr("UHF");
    nb::object mf = getitem(flavours, getitem(rem, "reference"))(mol).attr("run")();
    bool unrestricted = nb::isinstance(mf, scf.attr("uhf").attr("UHF"));
    nb::object mo_scf = unrestricted ? uhf_natural_orbitals(mf, np) : mf.attr("mo_coeff");

    long long n_elec = as_int(mol.attr("nelectron"), "n_elec");

    // 4. Active space.
    nb::object mode = getitem(rem, "active_space");
    long long n_act = 0, n_act_elec = 0, n_core = 0;
    nb::object mo;
    bool full = false;
    if (equals(mode, "full")) {
        full = true;
        n_act = as_int(mol.attr("nao_nr")(), "n_act");
        n_act_elec = n_elec;
        n_core = 0;
        mo = mo_scf;
    } else if (equals(mode, "avas")) {
        nb::object aos = getitem(rem, "avas_aos");
        if (!truthy(aos))
            throw nb::value_error("active_space=avas requires avas_aos (e.g. `\"N 2p\"`)");
        nb::object res = avas.attr("avas")(mf, aos, "threshold"_a = getitem(rem, "avas_threshold"));
        n_act = as_int(getitem(res, nb::int_(0)), "n_act");
        nb::object nelecas = getitem(res, nb::int_(1));
        nb::object count = truthy(np.attr("isscalar")(nelecas)) ? nelecas : builtin("sum")(nelecas);
        n_act_elec = as_int(count, "n_act_elec");
        n_core = floor_div2(n_elec - n_act_elec);
        mo = getitem(res, nb::int_(2));
    } else if (equals(mode, "manual")) {
        n_act = as_int(getitem(rem, "n_act"), "n_act");
        n_act_elec = as_int(getitem(rem, "n_act_elec"), "n_act_elec");
        n_core = floor_div2(n_elec - n_act_elec);
        mo = mo_scf;
        check_partition(n_core, n_act, n_act_elec, n_elec, n_columns(mo));
    } else {
        // Built as a Python string, so that any text of the value survives intact.
        nb::object text = checked(
            PyUnicode_Concat(nb::str("unknown active_space ").ptr(), py_str(mode).ptr()));
        PyErr_SetObject(PyExc_ValueError, text.ptr());
        throw nb::python_error();
    }

    // 5-6. Reference energy; CASSCF orbital optimisation from the orbitals above.
    nb::object e_ref = mf.attr("e_tot");
    if (truthy(getitem(rem, "orbital_opt")) && !full) {
        nb::object mc = mcscf.attr("CASSCF")(mf, n_act, n_act_elec);
        mc.attr("verbose") = 0;
        mc.attr("kernel")(mo);
        mo = mc.attr("mo_coeff");
        e_ref = mc.attr("e_tot");
    }

    // 7. Integrals in the current orbitals.
    long long n_orb = n_columns(mo);
    long long nocc = n_elec / 2;
    nb::object h1 = matmul(matmul(mo.attr("T"), mf.attr("get_hcore")()), mo);
    nb::object eri = ao2mo.attr("restore")(1, ao2mo.attr("kernel")(mol, mo), n_orb);

    // 8. Closed-shell Fock matrix of the lowest nocc orbitals (also for open shells).
    nb::object dm = np.attr("zeros")(nb::make_tuple(n_orb, n_orb));
    setitem(dm, np.attr("diag_indices")(nocc), nb::float_(2.0));
    nb::object j = np.attr("einsum")("pqrs,rs->pq", eri, dm);
    nb::object k = np.attr("einsum")("prqs,rs->pq", eri, dm);
    nb::object fock = h1 + j - nb::float_(0.5) * k;

    // 9. Block semicanonicalisation: core, active and virtual blocks separately.
    nb::object u = np.attr("eye")(n_orb);
    nb::object eps = np.attr("zeros")(n_orb);
    const long long bounds[3][2] = {
        {0, n_core}, {n_core, n_core + n_act}, {n_core + n_act, n_orb}};
    for (const auto& b : bounds) {
        long long lo = b[0], hi = b[1];
        if (hi <= lo) continue;
        nb::object idx = block_index(lo, hi);
        nb::object eig = np.attr("linalg").attr("eigh")(getitem(fock, idx));
        setitem(eps, nb::slice(nb::int_(lo), nb::int_(hi), nb::none()), getitem(eig, nb::int_(0)));
        setitem(u, idx, getitem(eig, nb::int_(1)));
    }
    mo = matmul(mo, u);

    // 10. Final integrals and the second-quantised Hamiltonian.
    h1 = matmul(matmul(mo.attr("T"), mf.attr("get_hcore")()), mo);
    eri = ao2mo.attr("restore")(1, ao2mo.attr("kernel")(mol, mo), n_orb);
    nb::object two_body =
        np.attr("asarray")(eri.attr("transpose")(0, 2, 3, 1), "dtype"_a = builtin("float"));
    nb::object spin_integrals = spinorb_from_spatial(h1, two_body);
    nb::object e_nuc = builtin("float")(mol.attr("energy_nuc")());
    nb::object iop = openfermion.attr("InteractionOperator")(
        e_nuc, getitem(spin_integrals, nb::int_(0)),
        nb::float_(0.5) * getitem(spin_integrals, nb::int_(1)));
    nb::object hamiltonian = openfermion.attr("normal_ordered")(
        openfermion.attr("get_fermion_operator")(iop));

    // 11-12. The record.
    long long n_vir = n_orb - n_core - n_act;
    nb::object occupied = builtin("set")(builtin("range")(n_elec));
    nb::int_ multiplicity_again = int_object(getitem(rem, "multiplicity"), "multiplicity");
    nb::object spin_2s = multiplicity_again - nb::int_(1);

    nb::dict extras;
    extras["mo_coeff"] = mo;
    extras["h1"] = h1;
    extras["eri"] = eri;
    extras["e_nuc"] = builtin("float")(mol.attr("energy_nuc")());
    extras["eps"] = eps;

    return self.attr("Problem")(
        "hamiltonian"_a = hamiltonian, "n_orb"_a = n_orb, "n_elec"_a = mol.attr("nelectron"),
        "n_core"_a = n_core, "n_act"_a = n_act, "n_vir"_a = n_vir, "n_act_elec"_a = n_act_elec,
        "occupied"_a = occupied, "spin_2s"_a = spin_2s, "e_ref"_a = builtin("float")(e_ref),
        "extras"_a = extras);
}

// ---------------------------------------------------------------------------
// Problem record

const char* const kProblemDoc =
    "The built electronic-structure problem, handed to every downfolding method.\n\n"
    "``hamiltonian`` is the full-space FermionOperator in the working (semicanonical)\n"
    "orbitals on 2 n_orb spin-orbitals: spatial orbital p carries spin-orbitals 2p\n"
    "(spin up) and 2p+1 (spin down), spatial orbitals run core, active, virtual.\n"
    "Invariants: n_orb = n_core + n_act + n_vir; n_core = floor((n_elec - n_act_elec)/2)\n"
    "(core doubly occupied, virtuals empty); ``occupied`` = {0, ..., n_elec - 1}, the\n"
    "reference determinant. ``spin_2s`` is 2S, ``e_ref`` the reference energy (SCF, or\n"
    "CASSCF after orbital optimisation); ``extras`` is a per-record scratch mapping.";

const char* const kModesDoc = "Number of fermionic modes (spin-orbitals): 2 n_orb.";
const char* const kActiveDoc =
    "Spin-orbital indices of the active space: range(2 n_core, 2 (n_core + n_act)).";

nb::object make_problem_class(const char* module) {
    nb::object dataclasses = import("dataclasses");
    nb::object field = dataclasses.attr("field");

    nb::list fields;
    const char* required[][2] = {
        {"hamiltonian", "Any"}, {"n_orb", "int"},   {"n_elec", "int"},
        {"n_core", "int"},      {"n_act", "int"},   {"n_vir", "int"},
        {"n_act_elec", "int"},  {"occupied", "set[int]"},
        {"spin_2s", "int"},     {"e_ref", "float"}};
    for (const auto& f : required) fields.append(nb::make_tuple(f[0], f[1]));
    fields.append(nb::make_tuple("extras", "dict[str, Any]",
                                 field("default_factory"_a = builtin("dict"))));

    nb::object property = builtin("property");
    nb::object n_modes = method(
        module, "Problem", "n_modes", "(self) -> int", kModesDoc,
        [](nb::object self) -> nb::object {
            return nb::int_(2) * int_object(self.attr("n_orb"), "n_orb");
        },
        nb::arg("self"));
    nb::object active = method(
        module, "Problem", "active_spinorbitals", "(self) -> range", kActiveDoc,
        [](nb::object self) -> nb::object {
            nb::int_ n_core = int_object(self.attr("n_core"), "n_core");
            nb::int_ n_act = int_object(self.attr("n_act"), "n_act");
            nb::object two = nb::int_(2);
            return builtin("range")(two * n_core, two * (n_core + n_act));
        },
        nb::arg("self"));

    nb::dict ns;
    ns["__doc__"] = kProblemDoc;
    ns["__module__"] = module;
    ns["n_modes"] = property(n_modes, nb::none(), nb::none(), kModesDoc);
    ns["active_spinorbitals"] = property(active, nb::none(), nb::none(), kActiveDoc);

    nb::object cls = dataclasses.attr("make_dataclass")(
        "Problem", fields, "namespace"_a = ns, "init"_a = true, "repr"_a = true,
        "eq"_a = true, "order"_a = false, "frozen"_a = false);
    cls.attr("__module__") = module;
    cls.attr("__qualname__") = "Problem";
    return cls;
}

}  // namespace

NB_MODULE(hamiltonian, m) {
    m.doc() =
        "Problem construction: the Problem record and the PySCF problem builder.";
    g_module_name = nb::cast<std::string>(m.attr("__name__"));
    const char* module = g_module_name.c_str();

    m.attr("np") = import("numpy");
    m.attr("Problem") = make_problem_class(module);

    def(m, "_geometry_for_pyscf",
        "(molecule: dict[str, Any]) -> list[tuple[str, tuple[float, float, float]]]",
        kGeometryDoc, [](nb::object molecule) { return geometry_for_pyscf(molecule); },
        nb::arg("molecule"));
    def(m, "build_problem", "(calc) -> Problem", kBuildDoc,
        [](nb::object calc) { return build_problem(calc); }, nb::arg("calc"));
}
