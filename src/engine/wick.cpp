#include "engine/wick.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <stdexcept>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/key_index.h"
#include "engine/term_sum.h"
#include "engine/memory.h"
#include "engine/task_group.h"

namespace korvel::engine {

namespace {

// Pairs of terms per piece of a product grid handed to one thread at a time.
constexpr std::size_t kPairsPerPiece = std::size_t{1} << 22;

// Runs row(i, sums) for every row of a, in pieces of a's rows sized by the grid of a's rows
// against b's rows. Few, large pieces: the pieces' sums share most of their terms, and each
// one is folded into the result once.
template <typename S, typename RowFn>
NormalTermsT<S> grid_rows(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol, RowFn row) {
    const std::size_t na = a.size(), nb = b.size();
    if (na == 0 || nb == 0) return {};
    const std::size_t wanted = std::clamp<std::size_t>(sat_mul(na, nb) / kPairsPerPiece, 1, kMaxPieces);
    const std::size_t rows = (na + wanted - 1) / wanted;
    return row_pieces<S>(na, wanted, std::min<std::size_t>(rows * nb / 4 + 16, std::size_t{1} << 20),
                         std::max(na, nb), tol, row);
}

// Runs pair(i, j, sums) over the whole grid of a's rows against b's rows.
template <typename S, typename PairFn>
NormalTermsT<S> pair_grid(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol, PairFn pair) {
    return grid_rows(a, b, tol, [&](std::size_t i, FlatSumT<S>& sums) {
        for (std::size_t j = 0; j < b.size(); ++j) pair(i, j, sums);
    });
}

// The rows of an operator b that can fail to commute with a given term: those creating a
// spin-orbital the term annihilates, or annihilating one it creates. Without such a
// contraction two terms commute unless both are fermion-odd (commutator_pair adds nothing
// for them), so the odd rows of b are partners of every odd term as well. Handed out in
// ascending row order, each once: the sums over partners then add the very same
// contributions in the very same order as the whole grid, and give the same bits.
template <typename S>
class ContractionIndex {
public:
    explicit ContractionIndex(const NormalTermsT<S>& b) {
        constexpr int n = kSetBits<S>;
        std::vector<std::size_t> n_cre(n + 1, 0), n_ann(n + 1, 0);
        for (std::size_t j = 0; j < b.size(); ++j) {
            sets::for_each_descending(b.cre[j], [&](int o) { ++n_cre[o + 1]; });
            sets::for_each_descending(b.ann[j], [&](int o) { ++n_ann[o + 1]; });
            if ((sets::count(b.cre[j]) + sets::count(b.ann[j])) % 2) odd_.push_back(static_cast<std::uint32_t>(j));
        }
        for (int o = 0; o < n; ++o) {
            n_cre[o + 1] += n_cre[o];
            n_ann[o + 1] += n_ann[o];
        }
        require_memory(n_cre[n] + n_ann[n], sizeof(std::uint32_t), "the contraction index of an operator");
        creates_start_ = n_cre;
        annihilates_start_ = n_ann;
        creates_.resize(n_cre[n]);
        annihilates_.resize(n_ann[n]);
        for (std::size_t j = 0; j < b.size(); ++j) {  // ascending rows within each list
            const auto row = static_cast<std::uint32_t>(j);
            sets::for_each_descending(b.cre[j], [&](int o) { creates_[n_cre[o]++] = row; });
            sets::for_each_descending(b.ann[j], [&](int o) { annihilates_[n_ann[o]++] = row; });
        }
    }

    // The partners of the term a^dagger_P a_Q, in ascending order, into `rows`.
    void partners(const S& p, const S& q, std::vector<std::uint32_t>& rows) const {
        rows.clear();
        sets::for_each_descending(q, [&](int o) {
            rows.insert(rows.end(), creates_.begin() + creates_start_[o], creates_.begin() + creates_start_[o + 1]);
        });
        sets::for_each_descending(p, [&](int o) {
            rows.insert(rows.end(), annihilates_.begin() + annihilates_start_[o],
                        annihilates_.begin() + annihilates_start_[o + 1]);
        });
        if ((sets::count(p) + sets::count(q)) % 2) rows.insert(rows.end(), odd_.begin(), odd_.end());
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    }

private:
    std::vector<std::uint32_t> creates_, annihilates_, odd_;
    std::vector<std::size_t> creates_start_, annihilates_start_;
};

// Below this many rows of the right factor, every pair is tried: the index costs more than
// it saves.
constexpr std::size_t kIndexedRows = 32;

}  // namespace

template <typename S>
bool reduce_normal_product_plain(const S& p, const S& q, const S& r, const S& s, cplx coeff,
                                 ReducedTermT<S>& out) {
    std::uint16_t ops[4 * kSetBits<S>];
    std::size_t k = 0;
    const S blocks[4] = {p, q, r, s};
    for (int b = 0; b < 4; ++b)
        sets::for_each_descending(blocks[b], [&](int o) {
            ops[k++] = static_cast<std::uint16_t>((o << 1) | (b % 2 == 0 ? 1 : 0));
        });
    return reduce_words(ops, k, coeff.real(), coeff.imag(), out);
}

template <typename S>
NormalTermsT<S> normal_from_reduced(const ReducedTermT<S>* terms, const std::uint8_t* keep,
                                    std::size_t n, double tol) {
    FlatSumT<S> sums(n);
    for (std::size_t t = 0; t < n; ++t) {
        if (!keep[t]) continue;
        emit_normal_ordered(terms[t], [&](const S& cre, const S& ann, cplx c) { sums.add(cre, ann, c); });
    }
    return terms_of(sums, tol);
}

template <typename S>
NormalTermsT<S> normal_multiply(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol) {
    return pair_grid(a, b, tol, [&](std::size_t i, std::size_t j, FlatSumT<S>& sums) {
        ReducedTermT<S> t;
        if (!reduce_normal_product(a.cre[i], a.ann[i], b.cre[j], b.ann[j], a.c[i] * b.c[j], t)) return;
        emit_normal_ordered(t, [&](const S& cre, const S& ann, cplx c) { sums.add(cre, ann, c); });
    });
}

template <typename S>
NormalTermsT<S> normal_commutator(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol) {
    auto pair = [&](std::size_t i, std::size_t j, FlatSumT<S>& sums) {
        commutator_pair(a.cre[i], a.ann[i], b.cre[j], b.ann[j], a.c[i] * b.c[j],
                        [&](const S& cre, const S& ann, cplx v) { sums.add(cre, ann, v); });
    };
    if (b.size() < kIndexedRows || a.size() == 0) return pair_grid(a, b, tol, pair);
    // Each row of a meets only the rows of b it can contract with (see ContractionIndex);
    // the pieces are those of the whole grid, so the sums are the grid's, bit for bit.
    const ContractionIndex<S> index(b);
    return grid_rows(a, b, tol, [&](std::size_t i, FlatSumT<S>& sums) {
        thread_local std::vector<std::uint32_t> partners;
        index.partners(a.cre[i], a.ann[i], partners);
        for (const std::uint32_t j : partners) pair(i, j, sums);
    });
}

template <typename S>
NormalTermsT<S> normal_commutator_plain(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol) {
    FlatSumT<S> sums(a.size() + b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j) {
            ReducedTermT<S> t;
            if (reduce_normal_product_plain(a.cre[i], a.ann[i], b.cre[j], b.ann[j], a.c[i] * b.c[j], t))
                emit_normal_ordered(t, [&](const S& cre, const S& ann, cplx v) { sums.add(cre, ann, v); });
            if (reduce_normal_product_plain(b.cre[j], b.ann[j], a.cre[i], a.ann[i], b.c[j] * a.c[i], t))
                emit_normal_ordered(t, [&](const S& cre, const S& ann, cplx v) { sums.add(cre, ann, -v); });
        }
    return terms_of(sums, tol);
}

template <typename S>
NormalTermsT<S> truncate_body(const NormalTermsT<S>& op, int max_body) {
    NormalTermsT<S> out;
    for (std::size_t k = 0; k < op.size(); ++k) {
        if (sets::count(op.cre[k]) + sets::count(op.ann[k]) > 2 * max_body) continue;
        out.cre.push_back(op.cre[k]);
        out.ann.push_back(op.ann[k]);
        out.c.push_back(op.c[k]);
    }
    return out;
}

template <typename S>
NormalTermsT<S> bch_series(const NormalTermsT<S>& h, const NormalTermsT<S>& g, int n_comm,
                           std::optional<int> max_body, double tol, const OrderFn& on_order) {
    FlatSumT<S> sum(h.size());
    NormalTermsT<S> cur = h;
    for (int n = 1; n <= n_comm; ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        cur = normal_commutator(cur, g, tol);
        if (max_body) cur = truncate_body(cur, *max_body);
        if (on_order)
            on_order(n, cur.size(),
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        if (cur.size() == 0) break;
        // 1/n! as the reference computes it: 1.0 / factorial(n).
        double factorial = 1.0;
        for (int k = 2; k <= n; ++k) factorial *= k;
        const double weight = 1.0 / factorial;
        for (std::size_t k = 0; k < cur.size(); ++k) sum.add(cur.cre[k], cur.ann[k], weight * cur.c[k]);
    }
    return terms_of(sum, tol);
}

// The two widths the engine is built for.
#define KORVEL_WICK_INSTANCES(S)                                                                      \
    template bool reduce_normal_product_plain<S>(const S&, const S&, const S&, const S&, cplx,       \
                                                 ReducedTermT<S>&);                                  \
    template NormalTermsT<S> normal_from_reduced<S>(const ReducedTermT<S>*, const std::uint8_t*,     \
                                                    std::size_t, double);                            \
    template NormalTermsT<S> normal_multiply<S>(const NormalTermsT<S>&, const NormalTermsT<S>&,      \
                                                double);                                             \
    template NormalTermsT<S> normal_commutator<S>(const NormalTermsT<S>&, const NormalTermsT<S>&,    \
                                                  double);                                           \
    template NormalTermsT<S> normal_commutator_plain<S>(const NormalTermsT<S>&,                      \
                                                        const NormalTermsT<S>&, double);             \
    template NormalTermsT<S> truncate_body<S>(const NormalTermsT<S>&, int);                          \
    template NormalTermsT<S> bch_series<S>(const NormalTermsT<S>&, const NormalTermsT<S>&, int,      \
                                           std::optional<int>, double, const OrderFn&);
KORVEL_WICK_INSTANCES(std::uint64_t)
KORVEL_WICK_INSTANCES(WideSpinSet)
#undef KORVEL_WICK_INSTANCES

}  // namespace korvel::engine
