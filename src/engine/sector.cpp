#include "engine/sector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "engine/mask.h"
#include "engine/memory.h"
#include "engine/task_group.h"

namespace korvel::engine {

namespace {

// Pascal's triangle up to 64, saturating.
struct BinomialTable {
    std::uint64_t c[kMaxSpinOrbitals + 1][kMaxSpinOrbitals + 1] = {};
    BinomialTable() {
        for (int n = 0; n <= kMaxSpinOrbitals; ++n) {
            c[n][0] = 1;
            for (int k = 1; k <= n; ++k) c[n][k] = sat_add(c[n - 1][k - 1], k < n ? c[n - 1][k] : 0);
        }
    }
};
const BinomialTable kBinomial;

// Rank of a k-bit string among all k-bit strings in increasing numeric order: the i-th set
// bit (from 0, lowest first) at position p contributes C(p, i + 1).
std::uint64_t colex_rank(std::uint64_t x) {
    std::uint64_t r = 0;
    for (int i = 1; x; ++i) {
        const int p = std::countr_zero(x);
        x &= x - 1;
        r += kBinomial.c[p][i];
    }
    return r;
}

// All k-bit strings of n bits in increasing numeric order (Gosper's successor).
std::vector<std::uint64_t> strings(int n, int k) {
    const std::uint64_t count = binomial(n, k);
    std::vector<std::uint64_t> out;
    out.reserve(count);
    if (count == 0) return out;
    std::uint64_t x = k == 0 ? 0 : (k == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1);
    for (std::uint64_t i = 0; i < count; ++i) {
        out.push_back(x);
        if (i + 1 == count) break;
        const std::uint64_t low = x & (~x + 1);
        const std::uint64_t ripple = x + low;
        x = ripple | (((x ^ ripple) >> 2) / low);
    }
    return out;
}

}  // namespace

std::uint64_t binomial(int n, int k) {
    if (k < 0 || n < 0 || k > n || n > kMaxSpinOrbitals) return 0;
    return kBinomial.c[n][k];
}

// ---------------------------------------------------------------------------
// Determinant spaces

DeterminantBasis DeterminantBasis::sector(int n_spinorb, int n_elec) {
    DeterminantBasis b;
    b.n_spinorb_ = n_spinorb;
    b.n_elec_ = n_elec;
    return b;
}

DeterminantBasis DeterminantBasis::sz_block(int n_spinorb, int n_alpha, int n_beta) {
    DeterminantBasis b;
    b.n_spinorb_ = n_spinorb;
    b.n_elec_ = n_alpha + n_beta;
    b.n_alpha_ = n_alpha;
    b.n_beta_ = n_beta;
    b.block_ = true;
    return b;
}

namespace {
int up_orbitals(int n_spinorb) { return (n_spinorb + 1) / 2; }
int down_orbitals(int n_spinorb) { return n_spinorb / 2; }

// Spin-orbital 2i packed to bit i (the spin-up string of a determinant), and back.
std::uint64_t even_half(std::uint64_t det) { return bits::pack_even(det); }
std::uint64_t spread_half(std::uint64_t s) { return bits::spread_even(s); }
}  // namespace

std::uint64_t DeterminantBasis::size() const {
    if (!block_) return binomial(n_spinorb_, n_elec_);
    return sat_mul(binomial(up_orbitals(n_spinorb_), n_alpha_),
                   binomial(down_orbitals(n_spinorb_), n_beta_));
}

std::vector<std::uint64_t> DeterminantBasis::determinants() const {
    if (!block_) return strings(n_spinorb_, n_elec_);
    const std::vector<std::uint64_t> up = strings(up_orbitals(n_spinorb_), n_alpha_);
    const std::vector<std::uint64_t> down = strings(down_orbitals(n_spinorb_), n_beta_);
    std::vector<std::uint64_t> out;
    out.reserve(up.size() * down.size());
    for (std::uint64_t a : up)
        for (std::uint64_t b : down) out.push_back(spread_half(a) | (spread_half(b) << 1));
    return out;
}

std::uint64_t DeterminantBasis::index(std::uint64_t det) const {
    if (!block_) return colex_rank(det);
    const std::uint64_t n_down = binomial(down_orbitals(n_spinorb_), n_beta_);
    return colex_rank(even_half(det)) * n_down + colex_rank(even_half(det >> 1));
}

// ---------------------------------------------------------------------------
// Row form of the terms

SectorOperator sector_operator(const ReducedTerm* terms, const std::uint8_t* keep, std::size_t n) {
    SectorOperator out;
    for (std::size_t t = 0; t < n; ++t) {
        if (!keep[t]) continue;
        const ReducedTerm& r = terms[t];
        const std::uint64_t cre_only = r.cre & ~r.ann, ann_only = r.ann & ~r.cre;
        if (r.re == 0.0 && r.im == 0.0) continue;
        // A term that changes the electron number has no matrix element in a sector.
        if (std::popcount(cre_only) != std::popcount(ann_only)) {
            if (out.first_number_changing < 0)
                out.first_number_changing = static_cast<std::ptrdiff_t>(t);
            continue;
        }
        out.used |= r.orbitals();
        if (std::popcount(cre_only & kEvenModes) != std::popcount(ann_only & kEvenModes))
            out.conserves_sz = false;
        // Row D of the matrix is column D of the adjoint, conjugated. The adjoint of the
        // ordered product W_{p1} ... W_{pk} (p ascending) is W_{pk}^dagger ... W_{p1}^dagger;
        // back in ascending order it picks up (-1)^(m(m-1)/2) from its m odd factors
        // (a^dagger or a), and a^dagger <-> a, n and h stay. Applied right to left to D, each
        // odd factor on p sees D's own occupation below p.
        const std::uint64_t flip = r.cre ^ r.ann;
        const int m = std::popcount(flip);
        const double s = ((m * (m - 1) / 2) & 1) ? -1.0 : 1.0;
        RowTerm row;
        row.need_occ = r.cre;
        row.need_empty = ann_only | r.hole;
        row.flip = flip;
        row.sign_mask = bits::parity_above(flip);
        row.c = cplx(s * r.re, s * r.im);
        if (r.im != 0.0) out.real = false;
        out.terms.push_back(row);
    }
    std::stable_sort(out.terms.begin(), out.terms.end(),
                     [](const RowTerm& a, const RowTerm& b) { return a.need_occ < b.need_occ; });
    return out;
}

// ---------------------------------------------------------------------------
// The fast build

namespace {

bool keeps_block(const RowTerm& t) {
    // Spin-up electrons created minus annihilated: the flipped even bits occupied after
    // minus before; a term kept by a block moves as many up as it needs.
    const std::uint64_t up_flip = t.flip & kEvenModes;
    return std::popcount(up_flip & ~t.need_occ) == std::popcount(up_flip & t.need_occ);
}

template <typename T>
T value_of(cplx c) {
    if constexpr (std::is_same_v<T, double>) return c.real();
    else return c;
}

}  // namespace

template <typename T>
CsrMatrix<T> build_sector_matrix(const SectorOperator& op, const DeterminantBasis& basis) {
    const std::uint64_t dim = basis.size();
    const std::string space = std::to_string(basis.n_spinorb()) + "-spin-orbital space of " +
                              (dim == kCountMax ? std::string("more than 2^64")
                                                : std::to_string(dim)) +
                              " determinants";
    if (dim > kMaxSectorDimension)
        throw MemoryLimitError("the sector matrix of the " + space +
                               " is beyond the 2^31 determinants this solver handles");
    require_memory(dim, 3 * sizeof(std::uint64_t), ("sector matrix of the " + space).c_str());

    // Terms that leave the block are left out (they have no element inside it), and the
    // rest is grouped by need_occ, the spin-orbitals a determinant must hold.
    std::vector<RowTerm> terms;
    for (const RowTerm& t : op.terms)
        if (!basis.is_block() || keeps_block(t)) terms.push_back(t);
    std::vector<std::size_t> group_start;
    for (std::size_t t = 0; t < terms.size(); ++t)
        if (t == 0 || terms[t].need_occ != terms[t - 1].need_occ) group_start.push_back(t);
    group_start.push_back(terms.size());
    const std::size_t n_groups = group_start.size() - 1;

    const std::vector<std::uint64_t> dets = basis.determinants();
    CsrMatrix<T> m;
    m.dim = dim;
    m.indptr.assign(dim + 1, 0);

    const std::size_t chunks = dim >= 4096 ? 64 : 1;
    const auto for_rows = [&](auto&& row_fn) {
        TaskGroup group(chunks, [&](std::size_t q) {
            const std::uint64_t begin = dim * q / chunks, end = dim * (q + 1) / chunks;
            for (std::uint64_t i = begin; i < end; ++i) row_fn(i);
        }, chunks > 1);
        group.wait();
    };
    // Visits the terms with an element in row i: fn(term).
    const auto each_entry = [&](std::uint64_t i, auto&& fn) {
        const std::uint64_t d = dets[i];
        for (std::size_t g = 0; g < n_groups; ++g) {
            const std::size_t b = group_start[g];
            if ((d & terms[b].need_occ) != terms[b].need_occ) continue;
            for (std::size_t t = b; t < group_start[g + 1]; ++t)
                if ((d & terms[t].need_empty) == 0) fn(terms[t]);
        }
    };

    // Pass 1: entries per row before like columns are combined; the matrix is sized from it.
    for_rows([&](std::uint64_t i) {
        std::int64_t k = 0;
        each_entry(i, [&](const RowTerm&) { ++k; });
        m.indptr[i + 1] = k;
    });
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < dim; ++i) {
        total += static_cast<std::uint64_t>(m.indptr[i + 1]);
        m.indptr[i + 1] = static_cast<std::int64_t>(total);
    }
    require_memory(total, sizeof(T) + sizeof(std::int32_t) + 8,
                   ("sector matrix of the " + space).c_str());
    m.indices.resize(total);
    m.data.resize(total);

    // Pass 2: each row's entries, sorted by column with like columns summed; the row's
    // length after combining is kept in merged[i].
    std::vector<std::int64_t> merged(dim);
    for_rows([&](std::uint64_t i) {
        const std::uint64_t d = dets[i];
        const std::int64_t start = m.indptr[i];
        // The row's entries in term order, then sorted stably by column (so that like
        // columns are summed in term order) and combined.
        thread_local std::vector<std::pair<std::int32_t, T>> row;
        row.clear();
        each_entry(i, [&](const RowTerm& t) {
            const double sign = (std::popcount(d & t.sign_mask) & 1) ? -1.0 : 1.0;
            row.emplace_back(static_cast<std::int32_t>(basis.index(d ^ t.flip)),
                             value_of<T>(t.c) * sign);
        });
        std::stable_sort(row.begin(), row.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::int64_t out = start;
        for (const auto& [col, val] : row) {
            if (out > start && m.indices[out - 1] == col) {
                m.data[out - 1] += val;
            } else {
                if (out > start && m.data[out - 1] == T{}) --out;  // cancelled exactly
                m.indices[out] = col;
                m.data[out] = val;
                ++out;
            }
        }
        if (out > start && m.data[out - 1] == T{}) --out;
        merged[i] = out - start;
    });
    // Rows moved together, in order.
    std::int64_t w = 0;
    for (std::uint64_t i = 0; i < dim; ++i) {
        const std::int64_t start = m.indptr[i];
        if (w != start) {
            std::copy(m.indices.begin() + start, m.indices.begin() + start + merged[i], m.indices.begin() + w);
            std::copy(m.data.begin() + start, m.data.begin() + start + merged[i], m.data.begin() + w);
        }
        m.indptr[i] = w;
        w += merged[i];
    }
    m.indptr[dim] = w;
    m.indices.resize(static_cast<std::size_t>(w));
    m.data.resize(static_cast<std::size_t>(w));
    return m;
}

template CsrMatrix<double> build_sector_matrix<double>(const SectorOperator&, const DeterminantBasis&);
template CsrMatrix<cplx> build_sector_matrix<cplx>(const SectorOperator&, const DeterminantBasis&);

// ---------------------------------------------------------------------------
// The plain build

std::vector<cplx> sector_matrix_plain(const ReducedTerm* terms, const std::uint8_t* keep,
                                      std::size_t n, const DeterminantBasis& basis) {
    const std::uint64_t dim = basis.size();
    require_memory(sat_mul(dim, dim), sizeof(cplx), "dense sector matrix");
    const std::vector<std::uint64_t> dets = basis.determinants();
    const auto in_space = [&](std::uint64_t d) {
        if (basis.n_spinorb() < 64 && (d >> basis.n_spinorb()) != 0) return false;
        if (std::popcount(d) != std::popcount(dets[0])) return false;
        return !basis.is_block() || std::popcount(d & kEvenModes) == basis.n_alpha();
    };
    std::vector<cplx> out(dim * dim);
    for (std::uint64_t col = 0; col < dim; ++col) {
        for (std::size_t t = 0; t < n; ++t) {
            if (!keep[t]) continue;
            const ReducedTerm& r = terms[t];
            // The product over spin-orbitals in ascending order, applied right to left.
            std::uint64_t d = dets[col];
            double sign = 1.0;
            bool vanishes = false;
            for (int p = 63; p >= 0 && !vanishes; --p) {
                const std::uint64_t bit = std::uint64_t{1} << p;
                const bool occupied = (d & bit) != 0;
                const bool odd_sign = std::popcount(d & (bit - 1)) & 1;
                if ((r.cre & bit) && (r.ann & bit)) {           // n = a^dagger a
                    vanishes = !occupied;
                } else if (r.hole & bit) {                      // h = a a^dagger
                    vanishes = occupied;
                } else if (r.cre & bit) {                       // a^dagger
                    vanishes = occupied;
                    if (odd_sign) sign = -sign;
                    d |= bit;
                } else if (r.ann & bit) {                       // a
                    vanishes = !occupied;
                    if (odd_sign) sign = -sign;
                    d &= ~bit;
                }
            }
            if (vanishes || !in_space(d)) continue;
            out[basis.index(d) * dim + col] += sign * cplx(r.re, r.im);
        }
    }
    return out;
}

}  // namespace korvel::engine
