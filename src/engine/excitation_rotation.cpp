#include "engine/excitation_rotation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/hf_value.h"
#include "engine/memory.h"
#include "engine/term_sum.h"

namespace korvel::engine {

namespace {

constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------------------
// The local algebra: L <= 4 spin-orbitals m_0 < ... < m_{L-1}; a local Fock state is a
// word whose bit j is the occupation of m_j. Operators are dense row-major d x d real
// matrices, d = 2^L, with a_j |x> = (-1)^{x_0 + ... + x_{j-1}} |x - e_j> (Jordan-Wigner in
// increasing order): a faithful representation of the ladder algebra on M, so products,
// adjoints and their expansions carry over to the operators themselves.
//
// A basis string is named by its code f = sum_j f_j 4^j, f_j = 0 (one), 1 (a^dagger_j),
// 2 (a_j), 3 (a^dagger_j a_j); as an operator it is the creators in descending order, then
// the annihilators in descending order, as the terms of H are written.

using Matrix = std::vector<double>;

Matrix identity(int d) {
    Matrix m(static_cast<std::size_t>(d) * d, 0.0);
    for (int i = 0; i < d; ++i) m[static_cast<std::size_t>(i) * d + i] = 1.0;
    return m;
}

Matrix product(const Matrix& x, const Matrix& y, int d) {
    Matrix out(static_cast<std::size_t>(d) * d, 0.0);
    for (int i = 0; i < d; ++i)
        for (int k = 0; k < d; ++k) {
            const double v = x[static_cast<std::size_t>(i) * d + k];
            if (v == 0.0) continue;
            for (int j = 0; j < d; ++j) out[static_cast<std::size_t>(i) * d + j] += v * y[static_cast<std::size_t>(k) * d + j];
        }
    return out;
}

Matrix transpose(const Matrix& x, int d) {
    Matrix out(x.size());
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < d; ++j) out[static_cast<std::size_t>(j) * d + i] = x[static_cast<std::size_t>(i) * d + j];
    return out;
}

// a_j on the local Fock space of L spin-orbitals.
Matrix lowering(int L, int j) {
    const int d = 1 << L;
    Matrix m(static_cast<std::size_t>(d) * d, 0.0);
    for (int x = 0; x < d; ++x) {
        if (!((x >> j) & 1)) continue;
        const int below = std::popcount(static_cast<unsigned>(x & ((1 << j) - 1)));
        m[static_cast<std::size_t>(x ^ (1 << j)) * d + x] = (below & 1) ? -1.0 : 1.0;
    }
    return m;
}

int digit(int f, int j) { return (f >> (2 * j)) & 3; }

Matrix basis_string(int L, int f) {
    const int d = 1 << L;
    Matrix m = identity(d);
    for (int j = L - 1; j >= 0; --j)
        if (digit(f, j) & 1) m = product(m, transpose(lowering(L, j), d), d);
    for (int j = L - 1; j >= 0; --j)
        if (digit(f, j) & 2) m = product(m, lowering(L, j), d);
    return m;
}

// The dual of the basis strings: row f of the inverse of the matrix whose column f is the
// string f flattened, so that the coefficients of an operator X are (inverse) vec(X).
// Gauss-Jordan with partial pivoting; the strings are a basis, so no pivot vanishes. Built
// once per L.
const Matrix& dual_basis(int L) {
    static const std::vector<Matrix> duals = [] {
        std::vector<Matrix> out(5);
        for (int l = 1; l <= 4; ++l) {
            const int n = 1 << (2 * l);
            Matrix g(static_cast<std::size_t>(n) * n), inv = identity(n);
            for (int f = 0; f < n; ++f) {
                const Matrix b = basis_string(l, f);
                for (int r = 0; r < n; ++r) g[static_cast<std::size_t>(r) * n + f] = b[r];
            }
            for (int col = 0; col < n; ++col) {
                int pivot = col;
                for (int r = col + 1; r < n; ++r)
                    if (std::abs(g[static_cast<std::size_t>(r) * n + col]) > std::abs(g[static_cast<std::size_t>(pivot) * n + col])) pivot = r;
                for (int j = 0; j < n; ++j) {
                    std::swap(g[static_cast<std::size_t>(col) * n + j], g[static_cast<std::size_t>(pivot) * n + j]);
                    std::swap(inv[static_cast<std::size_t>(col) * n + j], inv[static_cast<std::size_t>(pivot) * n + j]);
                }
                const double p = g[static_cast<std::size_t>(col) * n + col];
                for (int j = 0; j < n; ++j) {
                    g[static_cast<std::size_t>(col) * n + j] /= p;
                    inv[static_cast<std::size_t>(col) * n + j] /= p;
                }
                for (int r = 0; r < n; ++r) {
                    const double s = g[static_cast<std::size_t>(r) * n + col];
                    if (r == col || s == 0.0) continue;
                    for (int j = 0; j < n; ++j) {
                        g[static_cast<std::size_t>(r) * n + j] -= s * g[static_cast<std::size_t>(col) * n + j];
                        inv[static_cast<std::size_t>(r) * n + j] -= s * inv[static_cast<std::size_t>(col) * n + j];
                    }
                }
            }
            out[l] = std::move(inv);
        }
        return out;
    }();
    return duals[L];
}

// The code of the part of a term on the local spin-orbitals `modes`.
int code_of(std::uint64_t cre, std::uint64_t ann, const std::vector<int>& modes) {
    int f = 0;
    for (std::size_t j = 0; j < modes.size(); ++j) {
        const std::uint64_t bit = std::uint64_t{1} << modes[j];
        f |= ((cre & bit) ? 1 : 0) << (2 * j);
        f |= ((ann & bit) ? 2 : 0) << (2 * j);
    }
    return f;
}

// #{(x, y): x in `many`, y in `few`, x > y}, walking the few.
int pairs_above(std::uint64_t many, std::uint64_t few) {
    int n = 0;
    for (std::uint64_t m = few; m; m &= m - 1) {
        const int y = std::countr_zero(m);
        n += y == 63 ? 0 : std::popcount(many & (~std::uint64_t{0} << (y + 1)));
    }
    return n;
}

// One string of the rotated basis: code f' on M with its weight.
struct Image {
    std::uint64_t cre, ann;  // the string's spin-orbitals, as global sets
    double weight;
};

// For each basis string f on M, e^{-tA} X_f e^{tA} as a combination of basis strings:
// images[f]. U = e^{tA} = 1 + sin t A + (1 - cos t) A^2 is real and orthogonal.
std::vector<std::vector<Image>> rotated_basis(Excitation x, const std::vector<int>& modes, double theta) {
    const int L = static_cast<int>(modes.size()), d = 1 << L, n = d * d;
    const int tau = code_of(x.vir, x.occ, modes);
    const Matrix t = basis_string(L, tau);
    Matrix a = t;
    const Matrix tt = transpose(t, d);
    for (std::size_t k = 0; k < a.size(); ++k) a[k] -= tt[k];
    const Matrix a2 = product(a, a, d);
    Matrix u = identity(d);
    const double s = std::sin(theta), c = 1.0 - std::cos(theta);
    for (std::size_t k = 0; k < u.size(); ++k) u[k] += s * a[k] + c * a2[k];
    const Matrix ut = transpose(u, d);
    const Matrix& dual = dual_basis(L);
    std::vector<std::vector<Image>> images(n);
    for (int f = 0; f < n; ++f) {
        const Matrix r = product(product(ut, basis_string(L, f), d), u, d);
        for (int g = 0; g < n; ++g) {
            double w = 0;
            for (int k = 0; k < n; ++k) w += dual[static_cast<std::size_t>(g) * n + k] * r[k];
            // the strings' matrices hold 0 and +-1, so the rounding of a weight is a few
            // units of 1e-16
            if (std::abs(w) <= 1e-14) continue;
            std::uint64_t cre = 0, ann = 0;
            for (int j = 0; j < L; ++j) {
                if (digit(g, j) & 1) cre |= std::uint64_t{1} << modes[j];
                if (digit(g, j) & 2) ann |= std::uint64_t{1} << modes[j];
            }
            images[f].push_back({cre, ann, w});
        }
    }
    return images;
}

}  // namespace

void require_unit_excitation(Excitation x) {
    // An odd generator (one emptied, two filled) would anticommute with the odd terms off
    // its spin-orbitals, and the factorisation above would not hold.
    const int no = std::popcount(x.occ), nv = std::popcount(x.vir);
    if (no < 1 || no > 2 || nv != no || (x.occ & x.vir) != 0)
        throw std::invalid_argument("an excitation must empty one or two spin-orbitals and fill as many others "
                                    "(got " + std::to_string(no) + " emptied and " + std::to_string(nv) +
                                    " filled, " + std::to_string(std::popcount(x.occ & x.vir)) + " in both)");
}

double ExcitationCurve::operator()(double t) const {
    return 0.5 * (e0 + e1) + 0.5 * (e0 - e1) * std::cos(2.0 * t) + 0.5 * g * std::sin(2.0 * t);
}

double ExcitationCurve::best_angle() const {
    // E = mean + R cos(2t - phi), phi = atan2(g, e0 - e1): lowest at 2t = phi + pi.
    const double b = 0.5 * (e0 - e1), c = 0.5 * g;
    const double gain = b + std::hypot(b, c);  // E(0) - min E
    if (!(gain > 1e-7)) return 0.0;
    double t = 0.5 * (std::atan2(c, b) + kPi);
    if (t >= 0.5 * kPi) t -= kPi;
    return t;
}

ExcitationCurve excitation_curve(const NormalTerms& h, std::uint64_t det, Excitation x) {
    require_unit_excitation(x);
    if ((x.occ & ~det) != 0 || (x.vir & det) != 0)
        throw std::invalid_argument("the excitation must empty occupied spin-orbitals of the determinant into empty ones");
    ExcitationCurve e;
    e.e0 = hf_expectation_normal(h, det).real();
    e.e1 = hf_expectation_normal(h, (det & ~x.occ) | x.vir).real();
    e.g = pool_gradients(h, det, {x})[0];
    return e;
}

NormalTerms rotate_about_excitation(const NormalTerms& h, Excitation x, double theta, int max_body, double tol) {
    require_unit_excitation(x);
    const std::uint64_t on = x.occ | x.vir;
    std::vector<int> modes;
    for (std::uint64_t m = on; m; m &= m - 1) modes.push_back(std::countr_zero(m));
    const std::vector<std::vector<Image>> images = rotated_basis(x, modes, theta);
    const int cap = max_body < 0 ? -1 : 2 * max_body;
    // Sized before work: each term becomes at most as many rows as its basis string has
    // images (one when it misses M), held in the sum and again in the sorted result.
    std::uint64_t rows = 0;
    for (std::size_t k = 0; k < h.size(); ++k)
        rows = sat_add(rows, ((h.cre[k] | h.ann[k]) & on) == 0 ? 1 : images[code_of(h.cre[k], h.ann[k], modes)].size());
    require_memory(sat_mul(rows, 2), 2 * sizeof(std::uint64_t) + sizeof(cplx) + sizeof(std::size_t),
                   "the terms of the rotation about one excitation");
    FlatSumT<std::uint64_t> sum(h.size() + h.size() / 2);
    for (std::size_t k = 0; k < h.size(); ++k) {
        const std::uint64_t cre = h.cre[k], ann = h.ann[k];
        if (((cre | ann) & on) == 0) {
            // untouched by the rotation; the cap holds for the whole result, as in the
            // other rotation routes
            if (cap < 0 || std::popcount(cre) + std::popcount(ann) <= cap) sum.add(cre, ann, h.c[k]);
            continue;
        }
        // term = s1 X_M Y: the creators of M before the others, the annihilators likewise,
        // then Y's creators moved past X_M's annihilators.
        const std::uint64_t cm = cre & on, am = ann & on, cy = cre & ~on, ay = ann & ~on;
        const int s1 = pairs_above(cy, cm) + pairs_above(ay, am) + std::popcount(cy) * std::popcount(am);
        const int rest = std::popcount(cy) + std::popcount(ay);
        for (const Image& im : images[code_of(cre, ann, modes)]) {
            if (cap >= 0 && std::popcount(im.cre) + std::popcount(im.ann) + rest > cap) continue;
            // X'_M Y back into one normal-ordered term: Y's creators moved before X'_M's
            // annihilators, then each block merged into descending order.
            const int s2 = std::popcount(im.ann) * std::popcount(cy) + pairs_above(cy, im.cre) + pairs_above(ay, im.ann);
            const double sign = ((s1 + s2) & 1) ? -1.0 : 1.0;
            sum.add(im.cre | cy, im.ann | ay, (sign * im.weight) * h.c[k]);
        }
    }
    std::vector<std::size_t> order;
    NormalTerms all;
    sum.for_each([&](std::uint64_t c, std::uint64_t a, cplx v) {
        if (!survives(v, tol)) return;
        all.cre.push_back(c);
        all.ann.push_back(a);
        all.c.push_back(v);
    });
    order.resize(all.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        return all.cre[i] != all.cre[j] ? all.cre[i] < all.cre[j] : all.ann[i] < all.ann[j];
    });
    NormalTerms out;
    out.cre.reserve(order.size());
    out.ann.reserve(order.size());
    out.c.reserve(order.size());
    for (std::size_t i : order) {
        out.cre.push_back(all.cre[i]);
        out.ann.push_back(all.ann[i]);
        out.c.push_back(all.c[i]);
    }
    return out;
}

}  // namespace korvel::engine
