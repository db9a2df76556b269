// korvel.methods.cendrel: coupled-cluster downfolding.
//
// The Hamiltonian is transformed with the bare doubles cluster operator,
// H̄ = e^{-T} H e^{T} (T = T₂, no -T₂† part), through whichever operator-algebra
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
#include <cstdint>
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
using korvel::py::import;
using korvel::py::int_object;
using korvel::py::type_name_of;

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
    if (overflow) throw nb::value_error("amplitude array extent is out of range");
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

nb::dict cluster_operator_t2(nb::handle problem, nb::handle kind, nb::handle tol_obj) {
    if (!PyUnicode_CheckExact(kind.ptr()))
        throw nb::type_error(("kind must be a str, not " + type_name_of(kind)).c_str());
    const double tol = as_float(tol_obj, "tol");
    if (PyUnicode_CompareWithASCIIString(kind.ptr(), "all_doubles") == 0)
        throw nb::value_error(kAllDoublesMessage);

    nb::object t2 = global("compute_t2")(problem, kind);
    nb::tuple shape = unpack(t2.attr("shape"), 4);
    const long long n_occ = index_value(shape[0]);
    const long long n_vir = index_value(shape[2]);
    Amplitudes amp(t2, n_occ, n_vir);

    nb::dict T;
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
    if (return_solver) return root;
    return nb::make_tuple(root[0], root[1]);
}

double nonhermiticity_l1(nb::handle op) {
    nb::dict position;  // term -> index into diff, in order of first appearance
    std::vector<std::complex<double>> diff;
    auto add = [&](nb::handle term, std::complex<double> c) {
        PyObject* at = PyDict_GetItemWithError(position.ptr(), term.ptr());
        if (!at && PyErr_Occurred()) throw nb::python_error();
        if (at) {
            diff[PyLong_AsSize_t(at)] += c;
        } else {
            position[term] = nb::int_(diff.size());
            diff.push_back(std::complex<double>(0.0, 0.0) + c);
        }
    };
    nb::object one = nb::int_(1);
    nb::object items = op.attr("items")();
    for (nb::handle item : items) {
        nb::tuple kv = unpack(item, 2);
        nb::handle term = kv[0];
        nb::tuple ops = nb::steal<nb::tuple>(checked(PySequence_Tuple(term.ptr())).release());
        const Py_ssize_t n = PyTuple_GET_SIZE(ops.ptr());
        // Hermitian conjugate of the monomial: reversed, every dagger flag d -> 1 - d.
        nb::object dag = checked(PyTuple_New(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            nb::handle entry = ops[k];
            PyObject* pair = PySequence_Check(entry.ptr()) ? PySequence_Tuple(entry.ptr()) : nullptr;
            if (!pair || PyTuple_GET_SIZE(pair) != 2) {
                Py_XDECREF(pair);
                PyErr_Clear();
                throw nb::value_error(("operator term entries must be (index, dagger) pairs, got " +
                                       repr_of(entry))
                                          .c_str());
            }
            nb::tuple pd = nb::steal<nb::tuple>(pair);
            nb::object flipped = checked(PyNumber_Subtract(one.ptr(), pd[1].ptr()));
            PyTuple_SET_ITEM(dag.ptr(), n - 1 - k, nb::make_tuple(pd[0], flipped).release().ptr());
        }
        const std::complex<double> c = to_complex(kv[1]);
        add(term, c);
        add(dag, -std::conj(c));
    }
    double total = 0.0;
    for (const auto& v : diff) total += std::abs(v);
    return total;
}

// ---------------------------------------------------------------------------
// The method

nb::object run(nb::handle self, nb::handle problem, nb::handle backend) {
    nb::object options = self.attr("options");
    auto option = [&](const char* key) {
        return checked(PyObject_GetItem(options.ptr(), nb::str(key).ptr()));
    };
    nb::object n_comm = checked(PyNumber_Long(option("ccsd_n_comm").ptr()));
    nb::object max_body = checked(PyNumber_Long(option("ccsd_max_body").ptr()));

    nb::object T = global("_cluster_operator_t2")(problem, "kind"_a = option("generator_pool"),
                                                  "tol"_a = option("pool_tol"));
    const Py_ssize_t cluster_terms = PyObject_Length(T.ptr());
    if (cluster_terms < 0) throw nb::python_error();
    if (cluster_terms == 0) {
        PyErr_SetString(PyExc_RuntimeError, kEmptyClusterMessage);
        throw nb::python_error();
    }

    nb::object H = checked(PyObject_CallOneArg(
        reinterpret_cast<PyObject*>(&PyDict_Type), problem.attr("hamiltonian").attr("terms").ptr()));
    nb::object Hbar =
        backend.attr("similarity_transform")(H, T, "n_comm"_a = n_comm, "max_body"_a = max_body);
    nb::object Heff = global("downfold_to_active")(Hbar, problem);

    nb::object n_spinorb =
        checked(PyNumber_Multiply(nb::int_(2).ptr(), problem.attr("n_act").ptr()));
    nb::object root = global("_nonhermitian_ground_energy")(
        Heff, n_spinorb, problem.attr("n_act_elec"), "return_solver"_a = true);
    nb::tuple parts = unpack(root, 3);
    nb::object l1 = global("_nonhermiticity_l1")(Heff);

    nb::dict observables;
    observables["hermitian"] = false;
    observables["note"] = energy_note(nb::cast<std::string>(parts[2]));
    observables["n_comm"] = n_comm;
    observables["max_body"] = max_body;
    observables["cluster_terms"] = nb::int_(cluster_terms);
    observables["eigenvalue_imag"] = parts[1];
    observables["nonhermiticity_l1"] = l1;

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

constexpr const char* kGroundDoc =
    "(real, imag) of the smallest-real-part eigenvalue in the n_elec-electron sector;\n"
    "with return_solver, (real, imag, names of the eigensolvers that ran).\n\n"
    "The sector matrix is built natively, per S_z block when the operator keeps S_z.\n"
    "General (non-symmetric) eigensolver: dense numpy.linalg.eigvals up to 256\n"
    "determinants, scipy.sparse.linalg.eigs (k = 6, smallest real part, shift-invert\n"
    "about 0 as fallback) above.";

constexpr const char* kL1Doc =
    "Non-Hermiticity witness ||op - op^dagger||_1 on the terms as stored (no normal "
    "ordering).";

constexpr const char* kClassDoc =
    "Coupled-cluster downfolding: H_eff = P e^{-T2} H e^{T2} P with the bare doubles\n"
    "cluster operator, folded onto the active space over the Hartree-Fock reference.\n\n"
    "The effective Hamiltonian is not Hermitian; its reference expectation is the\n"
    "coupled-cluster energy of the amplitudes. Options: ccsd_n_comm, ccsd_max_body,\n"
    "generator_pool, pool_tol.";

constexpr const char* kRunDoc =
    "Transform, fold and solve: returns a Result with the non-Hermitian ground energy.";

}  // namespace

NB_MODULE(cendrel, m) {
    g_module = m.ptr();
    m.doc() =
        "Coupled-cluster downfolding: e^{-T2} H e^{T2} with the bare doubles cluster operator, "
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

    korvel::py::def(
        m, "_cluster_operator_t2", "(problem, *, kind: str, tol: float) -> FermionOp", kClusterDoc,
        [](nb::object problem, nb::object kind, nb::object tol) {
            return cluster_operator_t2(problem, kind, tol);
        },
        nb::arg("problem").none(), nb::kw_only(), nb::arg("kind").none(), nb::arg("tol").none());

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
