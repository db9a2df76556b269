#include "engine/rotation.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <thread>

#include "engine/memory.h"
#include "engine/task_group.h"

namespace korvel::engine {

namespace {

// Monomials of h below which the work stays on the calling thread, and the number of pieces
// it is cut into above that.
constexpr std::size_t kSerialMonomials = 256;
constexpr std::size_t kPieces = 64;

// Runs fn(k, out[piece]) for k = 0 .. n-1 in pieces of consecutive k, on the engine's threads;
// the pieces' outputs come back in order, so the result does not depend on the threads.
template <typename Out, typename Fn>
std::vector<Out> by_pieces(std::size_t n, Fn fn) {
    const std::size_t pieces = n < kSerialMonomials ? 1 : std::min(kPieces, n);
    std::vector<Out> out(pieces);
    TaskGroup group(pieces, [&](std::size_t q) {
        for (std::size_t k = n * q / pieces; k < n * (q + 1) / pieces; ++k) fn(k, out[q]);
    }, pieces > 1);
    group.wait();
    return out;
}

// Bytes per raw row summed by sum_sorted: the row and its place in the sort order.
constexpr std::uint64_t kRowBytes = 2 * sizeof(std::uint64_t) + sizeof(cplx) + sizeof(std::size_t);

// The sandwich (A cm) A of one monomial has up to |A|^3 raw rows, on every thread at once:
// refused before any work when that cannot fit.
void require_sandwich_memory(const MajoranaOp& a) {
    const std::uint64_t n = a.size(), threads = engine_threads();
    require_memory(sat_mul(sat_mul(sat_mul(n, n), n), threads), kRowBytes,
                   "the sandwiches A [h, A] A of the monomials in progress");
}

void append_scaled(MajoranaOp& acc, const MajoranaOp& part, double scale) {
    for (std::size_t k = 0; k < part.size(); ++k) acc.push_back(part.mask(k), part.c[k] * scale);
}

void append(MajoranaOp& acc, const MajoranaOp& part) { append_scaled(acc, part, 1.0); }

double l1_norm(const MajoranaOp& op) {
    double s = 0;
    for (cplx v : op.c) s += std::abs(v);
    return s;
}

// [x, a] for an operator x of few rows: each anticommuting pair of monomials gives
// 2 sign c_x c_a at the product mask (a commuting pair gives nothing), summed per mask.
MajoranaOp small_commutator(const MajoranaOp& x, const MajoranaOp& a) {
    require_memory(sat_mul(x.size(), a.size()), kRowBytes, "a commutator with the generator");
    MajoranaOp raw;
    raw.reserve(x.size() * a.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = 0; j < a.size(); ++j) {
            const Mask mx = x.mask(i), ma = a.mask(j);
            if (!anticommute(mx, ma)) continue;
            raw.push_back(mx ^ ma, (2.0 * product_sign(mx, ma)) * (x.c[i] * a.c[j]));
        }
    return sum_sorted(raw, kTolerance);
}

// x y for operators of few rows, the pair grid summed per mask.
MajoranaOp small_product(const MajoranaOp& x, const MajoranaOp& y) {
    require_memory(sat_mul(x.size(), y.size()), kRowBytes, "a product with the generator");
    MajoranaOp raw;
    raw.resize(x.size() * y.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = 0; j < y.size(); ++j) {
            const Mask mx = x.mask(i), my = y.mask(j), m = mx ^ my;
            const std::size_t r = i * y.size() + j;
            raw.lo[r] = m.lo;
            raw.hi[r] = m.hi;
            raw.c[r] = product_sign(mx, my) * (x.c[i] * y.c[j]);
        }
    return sum_sorted(raw, kTolerance);
}

// The label of a monomial from its sandwich S = (A cm) A: the l1 norms of S and of S - cm.
int label_of(const MajoranaOp& cm, const MajoranaOp& sandwich) {
    MajoranaOp diff = sandwich;
    append_scaled(diff, cm, -1.0);
    return alpha_label(l1_norm(sandwich), l1_norm(sum_sorted(diff, kTolerance)));
}

MonomialRotation rotation_of(Mask m, cplx c, const MajoranaOp& a, bool with_dcm) {
    MonomialRotation r;
    MajoranaOp h;
    h.push_back(m, c);
    r.cm = small_commutator(h, a);
    if (r.cm.size() == 0) return r;
    r.alpha = label_of(r.cm, small_product(small_product(a, r.cm), a));
    if (with_dcm) r.dcm = small_commutator(r.cm, a);
    return r;
}

// The weights a(t) of cm and b(t) of dcm for the two labels.
struct Coefficients {
    double a1, b1, a4, b4;
    explicit Coefficients(double t)
        : a1(std::sin(t)), b1(1.0 - std::cos(t)), a4(0.5 * std::sin(2.0 * t)),
          b4(0.5 * (std::sin(t) * std::sin(t))) {}
    double a(int alpha) const { return alpha == 1 ? a1 : a4; }
    double b(int alpha) const { return alpha == 1 ? b1 : b4; }
};

double real_sum(const std::vector<cplx>& v) {
    double s = 0;
    for (cplx x : v) s += x.real();
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Per-monomial data

std::vector<MonomialRotation> rotation_data(const MajoranaOp& h, const MajoranaOp& a, bool with_dcm) {
    require_sandwich_memory(a);
    std::vector<MonomialRotation> out(h.size());
    by_pieces<char>(h.size(), [&](std::size_t k, char&) { out[k] = rotation_of(h.mask(k), h.c[k], a, with_dcm); });
    return out;
}

std::vector<MonomialRotation> rotation_data_plain(const MajoranaOp& h, const MajoranaOp& a, bool with_dcm) {
    std::vector<MonomialRotation> out;
    for (std::size_t k = 0; k < h.size(); ++k) {
        MajoranaOp one;
        one.push_back(h.mask(k), h.c[k]);
        MonomialRotation r;
        r.cm = commutator(one, a);
        if (r.cm.size() > 0) {
            const MajoranaOp sandwich = multiply(multiply(a, r.cm), a);
            r.alpha = alpha_label(l1_norm(sandwich), l1_norm(subtract(sandwich, r.cm)));
            if (with_dcm) r.dcm = commutator(r.cm, a);
        }
        out.push_back(std::move(r));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Orbits of single monomials under ad_A

namespace {

// eta with eta gamma_S Hermitian: gamma_S^dagger = (-1)^{k(k-1)/2} gamma_S for k modes.
cplx hermitian_phase(Mask m) {
    const int k = m.weight();
    return ((k * (k - 1) / 2) & 1) ? cplx(0.0, 1.0) : cplx(1.0, 0.0);
}

// <x, y> = sum_S conj(x_S) y_S over two canonical operators (rows ascending by (hi, lo)).
cplx inner(const MajoranaOp& x, const MajoranaOp& y) {
    cplx s = 0;
    std::size_t i = 0, j = 0;
    while (i < x.size() && j < y.size()) {
        const Mask mx = x.mask(i), my = y.mask(j);
        if (mx < my) {
            ++i;
        } else if (my < mx) {
            ++j;
        } else {
            s += std::conj(x.c[i++]) * y.c[j++];
        }
    }
    return s;
}

double norm_of(const MajoranaOp& x) {
    double s = 0;
    for (cplx v : x.c) s += std::norm(v);
    return std::sqrt(s);
}

// x + s y for canonical x and y, canonical; sums with |c| <= tol dropped.
MajoranaOp axpy(const MajoranaOp& x, cplx s, const MajoranaOp& y, double tol) {
    MajoranaOp out;
    out.reserve(x.size() + y.size());
    std::size_t i = 0, j = 0;
    auto put = [&](Mask m, cplx v) {
        if (survives(v, tol)) out.push_back(m, v);
    };
    while (i < x.size() || j < y.size()) {
        if (j == y.size() || (i < x.size() && x.mask(i) < y.mask(j))) {
            put(x.mask(i), x.c[i]);
            ++i;
        } else if (i == x.size() || y.mask(j) < x.mask(i)) {
            put(y.mask(j), s * y.c[j]);
            ++j;
        } else {
            put(x.mask(i), x.c[i] + s * y.c[j]);
            ++i;
            ++j;
        }
    }
    return out;
}

// A new direction counts as vanished below this fraction of |ad_A q_k|: what is left is
// rounding, and dropping it changes the rotation far below 1e-10.
constexpr double kClosureTolerance = 1e-12;

// Eigen-decomposition of a small real symmetric matrix (row-major, n x n) by cyclic Jacobi
// rotations: `a` ends diagonal (the eigenvalues), the columns of `v` are the eigenvectors.
void jacobi_eigen(std::vector<double>& a, std::vector<double>& v, std::size_t n) {
    v.assign(n * n, 0.0);
    for (std::size_t k = 0; k < n; ++k) v[k * n + k] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0, total = 0;
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = 0; q < n; ++q) {
                total += a[p * n + q] * a[p * n + q];
                if (p != q) off += a[p * n + q] * a[p * n + q];
            }
        if (off <= 1e-32 * total || off == 0.0) return;
        for (std::size_t p = 0; p + 1 < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) continue;
                const double tau = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (tau >= 0 ? 1.0 : -1.0) / (std::abs(tau) + std::sqrt(tau * tau + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < n; ++k) {  // columns p, q
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {  // rows p, q
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p], vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
    }
}

// Whether monomial m shares a mode with the support of A.
bool touches(Mask m, Mask support) { return !(m & support).empty(); }

// The positions of the monomials of h sharing a mode with A: only they can rotate.
std::vector<std::size_t> touching_rows(const MajoranaOp& h, const MajoranaOp& a) {
    const Mask support = a.support();
    std::vector<std::size_t> rows;
    for (std::size_t k = 0; k < h.size(); ++k)
        if (touches(h.mask(k), support)) rows.push_back(k);
    return rows;
}

// ad_A of one orbit direction needs |q| |A| raw rows on every thread at once.
void require_orbit_memory(std::size_t q_rows, std::size_t a_rows) {
    const std::uint64_t threads = engine_threads();
    require_memory(sat_mul(sat_mul(q_rows, a_rows), threads), kRowBytes,
                   "the commutators [q, A] of the rotation orbits in progress");
}

}  // namespace

MonomialOrbit monomial_orbit(Mask m, cplx c, const MajoranaOp& a) {
    MonomialOrbit orbit;
    const cplx eta = hermitian_phase(m);
    orbit.weight = c / eta;
    MajoranaOp q0;
    q0.push_back(m, eta);
    orbit.basis.push_back(std::move(q0));
    for (std::size_t k = 0;; ++k) {
        MajoranaOp w = small_commutator(orbit.basis[k], a);
        const double scale = norm_of(w);
        if (scale == 0.0) break;
        // Full re-orthogonalisation, twice: the directions stay orthonormal to rounding.
        for (int pass = 0; pass < 2; ++pass)
            for (std::size_t j = 0; j < orbit.basis.size(); ++j) {
                const cplx p = inner(orbit.basis[j], w);
                if (p != cplx(0.0, 0.0)) w = axpy(w, -p, orbit.basis[j], 1e-16 * scale);
            }
        const double b = norm_of(w);
        if (b <= kClosureTolerance * scale) break;
        if (orbit.basis.size() >= kMaxOrbitDim || w.size() > kMaxOrbitRows)
            throw RotationNotClosedError(
                "its nested commutators with a Hamiltonian monomial of " + std::to_string(m.weight()) +
                " Majorana modes do not close on a small operator space (" + std::to_string(orbit.basis.size() + 1) +
                " directions, the last of " + std::to_string(w.size()) + " Majorana monomials; bounds " +
                std::to_string(kMaxOrbitDim) + " and " + std::to_string(kMaxOrbitRows) +
                "), so no exact rotation is formed");
        for (cplx& v : w.c) v /= b;
        require_orbit_memory(w.size(), a.size());
        orbit.basis.push_back(std::move(w));
        orbit.beta.push_back(b);
    }
    return orbit;
}

std::vector<double> OrbitSpectrum::column(double t) const {
    const std::size_t n = x.empty() ? 0 : x[0].size();
    std::vector<double> out(n, 0.0);
    for (std::size_t k = 0; k < omega.size(); ++k) {
        const double cw = std::cos(omega[k] * t), sw = std::sin(omega[k] * t);
        for (std::size_t j = 0; j < n; ++j) out[j] += cw * x[k][j] + sw * y[k][j];
    }
    return out;
}

OrbitSpectrum orbit_spectrum(const MonomialOrbit& orbit) {
    // M (M[k+1][k] = beta_k, M[k][k+1] = -beta_k) is D (-i T) D^{-1} with D = diag(i^k) and
    // T the real symmetric tridiagonal matrix of the beta_k: the frequencies are the moduli
    // of T's eigenvalues, to rounding of |T| (not of |T|^2, as through M^T M). With
    // T = V diag(l) V^T, (e^{tM})_{j0} = i^j sum_k V_jk V_0k e^{-i l_k t}: for even j the
    // cosines with sign (-1)^{j/2}, for odd j the sines with sign (-1)^{(j-1)/2}.
    const std::size_t n = orbit.dim();
    std::vector<double> t(n * n, 0.0), v;
    for (std::size_t k = 0; k + 1 < n; ++k) t[(k + 1) * n + k] = t[k * n + k + 1] = orbit.beta[k];
    jacobi_eigen(t, v, n);
    double top = 0;
    for (std::size_t k = 0; k < n; ++k) top = std::max(top, std::abs(t[k * n + k]));
    OrbitSpectrum sp;
    for (std::size_t k = 0; k < n; ++k) {
        const double lam = t[k * n + k];
        const double omega = std::abs(lam) > 1e-13 * top ? std::abs(lam) : 0.0;
        const double sgn = lam < 0 ? -1.0 : 1.0;
        std::vector<double> xk(n, 0.0), yk(n, 0.0);
        for (std::size_t j = 0; j < n; ++j) {
            const double w = v[0 * n + k] * v[j * n + k];
            if (j % 2 == 0) {
                xk[j] = (j / 2) % 2 ? -w : w;
            } else if (omega > 0) {
                yk[j] = sgn * (((j - 1) / 2) % 2 ? -w : w);
            }
        }
        sp.omega.push_back(omega);
        sp.x.push_back(std::move(xk));
        sp.y.push_back(std::move(yk));
    }
    return sp;
}

// ---------------------------------------------------------------------------
// The rotated operator

MajoranaOp rotate_single(const MajoranaOp& h, const MajoranaOp& a, double theta) {
    if (a.size() == 0) return merge(h, kTolerance);
    require_orbit_memory(1, a.size());
    const std::vector<std::size_t> rows = touching_rows(h, a);
    // Each orbit adds w (e^{tM} e_0 - e_0)_j q_j to the rows of H.
    std::vector<MajoranaOp> parts = by_pieces<MajoranaOp>(rows.size(), [&](std::size_t r, MajoranaOp& out) {
        const std::size_t k = rows[r];
        const MonomialOrbit orbit = monomial_orbit(h.mask(k), h.c[k], a);
        if (orbit.dim() == 1) return;
        const std::vector<double> col = orbit_spectrum(orbit).column(theta);
        for (std::size_t j = 0; j < orbit.dim(); ++j) {
            const cplx f = orbit.weight * (col[j] - (j == 0 ? 1.0 : 0.0));
            for (std::size_t i = 0; i < orbit.basis[j].size(); ++i)
                out.push_back(orbit.basis[j].mask(i), f * orbit.basis[j].c[i]);
        }
    });
    MajoranaOp all = h;
    for (const MajoranaOp& p : parts) append(all, p);
    return merge(all, kTolerance);
}

MajoranaOp rotate_single_plain(const MajoranaOp& h, const MajoranaOp& a, double theta) {
    // Steps small enough that |t ad_A| <= 1/4 in each: |ad_A| <= 2 |A|_1.
    const double reach = std::abs(theta) * 2.0 * l1_norm(a);
    int steps = 1;
    while (reach / steps > 0.25) steps *= 2;
    const double eps = theta / steps;
    MajoranaOp x = merge(h, 0.0);
    for (int s = 0; s < steps; ++s) {
        MajoranaOp sum = x, term = x;
        for (int n = 1; n < 60; ++n) {
            term = commutator(term, a, 0.0);
            for (cplx& v : term.c) v *= eps / n;
            if (term.size() == 0 || l1_norm(term) < 1e-18) break;
            sum = add(sum, term, 0.0);
        }
        x = merge(sum, 1e-16);
    }
    return merge(x, kTolerance);
}

// ---------------------------------------------------------------------------
// The energy curve and its minimum

double EnergyModel::operator()(double t) const {
    return (((e00 + std::sin(t) * e11) + (1.0 - std::cos(t)) * e21) + (0.5 * std::sin(2.0 * t)) * e14) +
           (0.5 * (std::sin(t) * std::sin(t))) * e24;
}

// With u = tan(t/2): sin t = 2u / (1 + u^2), cos t = (1 - u^2) / (1 + u^2); dE/dt = 0 is, after
// multiplying by (1 + u^2)^2, the quartic below. Leading coefficients of modulus 1e-14 or
// less are dropped, so that a curve of lower degree gives a polynomial of lower degree.
std::vector<double> EnergyModel::stationary_quartic() const {
    const double c[5] = {e14 - e11, 2.0 * (e21 - e24), -6.0 * e14, 2.0 * (e21 + e24), e11 + e14};
    int first = 0;
    while (first < 5 && std::abs(c[first]) <= 1e-14) ++first;
    if (first >= 4) return {};  // a constant: no stationary point but t = 0 and pi
    return std::vector<double>(c + first, c + 5);
}

double EnergyCurve::operator()(double t) const {
    double e = e00;
    for (const EnergyWave& w : waves) e += w.sine * std::sin(w.omega * t) + w.cosine * (1.0 - std::cos(w.omega * t));
    return e;
}

void EnergyCurve::gather() {
    std::sort(waves.begin(), waves.end(), [](const EnergyWave& x, const EnergyWave& y) { return x.omega < y.omega; });
    std::vector<EnergyWave> out;
    for (const EnergyWave& w : waves) {
        if (!out.empty() && w.omega - out.back().omega <= 1e-8 * w.omega) {
            out.back().sine += w.sine;
            out.back().cosine += w.cosine;
        } else {
            out.push_back(w);
        }
    }
    waves.clear();
    for (const EnergyWave& w : out)
        if (std::abs(w.sine) + std::abs(w.cosine) > 1e-14 && w.omega > 0) waves.push_back(w);
}

bool EnergyCurve::as_model(double& nu, EnergyModel& model) const {
    model = EnergyModel{};
    model.e00 = e00;
    nu = waves.empty() ? 1.0 : waves.front().omega;
    for (const EnergyWave& w : waves) {
        if (std::abs(w.omega - nu) <= 1e-8 * nu) {
            model.e11 += w.sine;
            model.e21 += w.cosine;
        } else if (std::abs(w.omega - 2.0 * nu) <= 2e-8 * nu) {
            // sin(2u) s = sin(2u)/2 e14; (1 - cos 2u) c = sin(u)^2 / 2 e24
            model.e14 += 2.0 * w.sine;
            model.e24 += 4.0 * w.cosine;
        } else {
            return false;
        }
    }
    return true;
}

EnergyCurve energy_curve(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ) {
    EnergyCurve e;
    e.e00 = real_sum(hf_values(h, occ));
    if (a.size() == 0) return e;
    require_orbit_memory(1, a.size());
    const std::vector<std::size_t> rows = touching_rows(h, a);
    std::vector<EnergyCurve> parts = by_pieces<EnergyCurve>(rows.size(), [&](std::size_t r, EnergyCurve& p) {
        const std::size_t k = rows[r];
        const MonomialOrbit orbit = monomial_orbit(h.mask(k), h.c[k], a);
        if (orbit.dim() == 1) return;
        const OrbitSpectrum sp = orbit_spectrum(orbit);
        std::vector<cplx> d(orbit.dim());
        for (std::size_t j = 0; j < orbit.dim(); ++j) {
            cplx s = 0;
            for (cplx v : hf_values(orbit.basis[j], occ)) s += v;
            d[j] = orbit.weight * s;
        }
        for (std::size_t k2 = 0; k2 < sp.omega.size(); ++k2) {
            if (sp.omega[k2] == 0.0) continue;
            cplx xs = 0, ys = 0;
            for (std::size_t j = 0; j < orbit.dim(); ++j) {
                xs += sp.x[k2][j] * d[j];
                ys += sp.y[k2][j] * d[j];
            }
            // w (cos(wt) X + sin(wt) Y) = w X + sin(wt) w Y - (1 - cos wt) w X
            p.waves.push_back({sp.omega[k2], ys.real(), -xs.real()});
        }
    });
    for (const EnergyCurve& p : parts) e.waves.insert(e.waves.end(), p.waves.begin(), p.waves.end());
    e.gather();
    return e;
}

EnergyModel energy_model_plain(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ) {
    EnergyModel e;
    e.e00 = real_sum(hf_values_plain(h, occ));
    for (const MonomialRotation& r : rotation_data_plain(h, a, true)) {
        (r.alpha == 1 ? e.e11 : e.e14) += real_sum(hf_values_plain(r.cm, occ));
        (r.alpha == 1 ? e.e21 : e.e24) += real_sum(hf_values_plain(r.dcm, occ));
    }
    return e;
}

double select_angle_general(const EnergyCurve& e) {
    const double pi = 3.14159265358979323846;
    if (e.waves.empty()) return 0.0;
    const double nu = e.waves.front().omega, top = e.waves.back().omega;
    const double span = 2.0 * pi / nu;
    const std::size_t n = static_cast<std::size_t>(std::min(2.0e5, std::max(256.0, 64.0 * top / nu)));
    std::vector<double> grid(n), vals(n);
    for (std::size_t k = 0; k < n; ++k) {
        grid[k] = -pi / nu + span * static_cast<double>(k) / static_cast<double>(n);
        vals[k] = e(grid[k]);
    }
    std::vector<double> candidates = {0.0, -pi / nu};
    const double gr = 0.5 * (std::sqrt(5.0) - 1.0);
    for (std::size_t k = 0; k < n; ++k) {
        const double left = k == 0 ? e(grid[0] - span / n) : vals[k - 1];
        const double right = k + 1 == n ? e(pi / nu) : vals[k + 1];
        if (!(vals[k] <= left && vals[k] <= right)) continue;
        double lo = grid[k] - span / n, hi = grid[k] + span / n;
        for (int it = 0; it < 100 && hi - lo > 1e-15 * (1.0 + std::abs(lo)); ++it) {
            const double x1 = hi - gr * (hi - lo), x2 = lo + gr * (hi - lo);
            if (e(x1) < e(x2)) hi = x2; else lo = x1;
        }
        candidates.push_back(0.5 * (lo + hi));
    }
    double lowest = e(0.0);
    for (double t : candidates) lowest = std::min(lowest, e(t));
    double best = 0.0;
    bool have = false;
    for (double t : candidates) {
        if (!(e(t) <= lowest + 1e-7)) continue;
        if (!have || std::abs(t) < std::abs(best) || (std::abs(t) == std::abs(best) && t < best)) best = t;
        have = true;
    }
    return best;
}

double select_angle(const EnergyModel& e, const std::vector<cplx>& quartic_roots) {
    const double pi = 3.14159265358979323846;
    std::vector<double> angles = {0.0, pi};
    for (cplx u : quartic_roots)
        if (std::abs(u.imag()) < 1e-10) angles.push_back(2.0 * std::atan(u.real()));
    std::vector<double> candidates, energies;
    for (double t : angles) {
        double m = std::fmod(t + pi, 2.0 * pi);
        if (m < 0) m += 2.0 * pi;
        candidates.push_back(m - pi);
        energies.push_back(e(candidates.back()));
    }
    const double lowest = *std::min_element(energies.begin(), energies.end());
    double best = 0.0;
    bool have = false;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (!(energies[k] <= lowest + 1e-7)) continue;
        const double t = candidates[k];
        if (!have || std::abs(t) < std::abs(best) || (std::abs(t) == std::abs(best) && t < best)) best = t;
        have = true;
    }
    return best;
}

// ---------------------------------------------------------------------------
// Tagged operators. Tags are ordered as unsigned 64-bit integers, as the array route's sort
// reads them (the tags it makes are never negative).

namespace {
bool tag_before(std::int64_t x, std::int64_t y) {
    return static_cast<std::uint64_t>(x) < static_cast<std::uint64_t>(y);
}
}  // namespace

TaggedOp merge_tagged(const TaggedOp& rows, double tol) {
    const std::size_t n = rows.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        if (rows.tag[x] != rows.tag[y]) return tag_before(rows.tag[x], rows.tag[y]);
        return rows.op.mask(x) < rows.op.mask(y);
    });
    TaggedOp out;
    for (std::size_t k = 0; k < n;) {
        const std::size_t first = order[k];
        const std::int64_t t = rows.tag[first];
        const Mask m = rows.op.mask(first);
        cplx sum = rows.op.c[first];
        for (++k; k < n && rows.tag[order[k]] == t && rows.op.mask(order[k]) == m; ++k) sum += rows.op.c[order[k]];
        require_finite(sum, "a sum of tagged Majorana monomials");
        if (survives(sum, tol)) {
            out.tag.push_back(t);
            out.op.push_back(m, sum);
        }
    }
    return out;
}

TaggedOp commutator_tagged(const TaggedOp& x, const MajoranaOp& a) {
    // The rows of each tag together, in their order, then each tag's commutator on its own.
    std::vector<std::size_t> order(x.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return tag_before(x.tag[i], x.tag[j]); });
    TaggedOp out;
    for (std::size_t k = 0; k < order.size();) {
        const std::int64_t t = x.tag[order[k]];
        MajoranaOp group;
        for (; k < order.size() && x.tag[order[k]] == t; ++k) group.push_back(x.op.mask(order[k]), x.op.c[order[k]]);
        const MajoranaOp c = small_commutator(group, a);
        out.tag.insert(out.tag.end(), c.size(), t);
        append(out.op, c);
    }
    return out;
}

TaggedOp tagged_cm(const std::vector<MonomialRotation>& data) {
    TaggedOp out;
    for (std::size_t k = 0; k < data.size(); ++k) {
        out.tag.insert(out.tag.end(), data[k].cm.size(), static_cast<std::int64_t>(k));
        append(out.op, data[k].cm);
    }
    return out;
}

HermitianDefect hermitian_defect(const MajoranaOp& a) {
    HermitianDefect d;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const int m = a.mask(k).weight();
        const double s = ((m * (m - 1) / 2) & 1) ? -1.0 : 1.0;
        d.defect = std::max(d.defect, 0.5 * std::abs(a.c[k] + s * std::conj(a.c[k])));
        d.scale = std::max(d.scale, std::abs(a.c[k]));
    }
    return d;
}

}  // namespace korvel::engine
