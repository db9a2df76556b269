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
    const std::uint64_t n = a.size(), threads = std::max(1u, std::thread::hardware_concurrency());
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
// The rotated operator

MajoranaOp rotate_single(const MajoranaOp& h, const MajoranaOp& a, double theta) {
    require_sandwich_memory(a);
    const Coefficients w(theta);
    // Each piece gathers its monomials' a cm rows and b dcm rows apart, so that the rows are
    // laid out as H, every a cm, every b dcm, the order of the plain statement.
    struct Rows {
        MajoranaOp cm, dcm;
    };
    std::vector<Rows> parts = by_pieces<Rows>(h.size(), [&](std::size_t k, Rows& rows) {
        const MonomialRotation r = rotation_of(h.mask(k), h.c[k], a, true);
        append_scaled(rows.cm, r.cm, w.a(r.alpha));
        append_scaled(rows.dcm, r.dcm, w.b(r.alpha));
    });
    MajoranaOp all = h;
    for (const Rows& p : parts) append(all, p.cm);
    for (const Rows& p : parts) append(all, p.dcm);
    return merge(all, kTolerance);
}

MajoranaOp rotate_single_plain(const MajoranaOp& h, const MajoranaOp& a, double theta) {
    const Coefficients w(theta);
    const std::vector<MonomialRotation> data = rotation_data_plain(h, a, true);
    MajoranaOp all = h;
    for (const MonomialRotation& r : data) append_scaled(all, r.cm, w.a(r.alpha));
    for (const MonomialRotation& r : data) append_scaled(all, r.dcm, w.b(r.alpha));
    return merge(all, kTolerance);
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

EnergyModel energy_model(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ) {
    EnergyModel e;
    e.e00 = real_sum(hf_values(h, occ));
    if (a.size() == 0) return e;
    require_sandwich_memory(a);
    std::vector<EnergyModel> parts = by_pieces<EnergyModel>(h.size(), [&](std::size_t k, EnergyModel& p) {
        const MonomialRotation r = rotation_of(h.mask(k), h.c[k], a, true);
        const double vcm = real_sum(hf_values(r.cm, occ)), vdcm = real_sum(hf_values(r.dcm, occ));
        if (r.alpha == 1) {
            p.e11 += vcm;
            p.e21 += vdcm;
        } else {
            p.e14 += vcm;
            p.e24 += vdcm;
        }
    });
    for (const EnergyModel& p : parts) {
        e.e11 += p.e11;
        e.e21 += p.e21;
        e.e14 += p.e14;
        e.e24 += p.e24;
    }
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
