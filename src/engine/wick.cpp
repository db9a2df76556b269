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

inline int pairs_within(std::uint64_t x) {
    const int k = std::popcount(x);
    return k * (k - 1) / 2;
}

// Parity of #{(x in X, y in Y): x > y}: the exchanges between a block X and a later block Y
// of one operator string, both descending.
inline int crossings(std::uint64_t x, std::uint64_t y) { return bits::pairs_ascending_parity(y, x); }

// Pairs of terms per piece of a product grid handed to one thread at a time.
constexpr std::size_t kPairsPerPiece = std::size_t{1} << 22;

// Runs pair(i, j, sums) over the grid of a's rows against b's rows, in pieces of a's rows.
// Few, large pieces: the pieces' sums share most of their terms, and each one is folded into
// the result once.
template <typename PairFn>
NormalTerms pair_grid(const NormalTerms& a, const NormalTerms& b, double tol, PairFn pair) {
    const std::size_t na = a.size(), nb = b.size();
    if (na == 0 || nb == 0) return {};
    const std::size_t wanted = std::clamp<std::size_t>(sat_mul(na, nb) / kPairsPerPiece, 1, kMaxPieces);
    const std::size_t rows = (na + wanted - 1) / wanted;
    return row_pieces(na, wanted, std::min<std::size_t>(rows * nb / 4 + 16, std::size_t{1} << 20),
                      std::max(na, nb), tol, [&](std::size_t i, FlatSum& sums) {
                          for (std::size_t j = 0; j < nb; ++j) pair(i, j, sums);
                      });
}

}  // namespace

bool reduce_normal_product(std::uint64_t p, std::uint64_t q, std::uint64_t r, std::uint64_t s,
                           cplx coeff, ReducedTerm& out) {
    // Words per spin-orbital of the string a^dagger_P a_Q a^dagger_R a_S, by the blocks the
    // spin-orbital appears in: P R or Q S without the operator between them vanish; Q R is
    // a hole a a^dagger; P Q, P S, R S and P Q R S reduce to n; P Q R to a^dagger, Q R S to a.
    if ((p & r & ~q) | (q & s & ~r)) return false;
    const std::uint64_t n = (p & q & ~r & ~s) | (p & s & ~q & ~r) | (r & s & ~p & ~q) | (p & q & r & s);
    const std::uint64_t cre_only = (p & ~q & ~r & ~s) | (r & ~p & ~q & ~s) | (p & q & r & ~s);
    const std::uint64_t ann_only = (q & ~p & ~r & ~s) | (s & ~p & ~q & ~r) | (q & r & s & ~p);
    out.cre = cre_only | n;
    out.ann = ann_only | n;
    out.hole = q & r & ~p & ~s;
    const int parity = (pairs_within(p) + pairs_within(q) + pairs_within(r) + pairs_within(s) +
                        crossings(p, q) + crossings(p, r) + crossings(p, s) + crossings(q, r) +
                        crossings(q, s) + crossings(r, s)) & 1;
    out.re = parity ? -coeff.real() : coeff.real();
    out.im = parity ? -coeff.imag() : coeff.imag();
    return true;
}

bool reduce_normal_product_plain(std::uint64_t p, std::uint64_t q, std::uint64_t r,
                                 std::uint64_t s, cplx coeff, ReducedTerm& out) {
    std::uint8_t ops[4 * kMaxSpinOrbitals];
    std::size_t k = 0;
    const std::uint64_t blocks[4] = {p, q, r, s};
    for (int b = 0; b < 4; ++b)
        for (int o = kMaxSpinOrbitals - 1; o >= 0; --o)
            if ((blocks[b] >> o) & 1) ops[k++] = static_cast<std::uint8_t>((o << 1) | (b % 2 == 0 ? 1 : 0));
    return reduce_words(ops, k, coeff.real(), coeff.imag(), out);
}

NormalTerms normal_from_reduced(const ReducedTerm* terms, const std::uint8_t* keep, std::size_t n,
                                double tol) {
    FlatSum sums(n);
    for (std::size_t t = 0; t < n; ++t) {
        if (!keep[t]) continue;
        emit_normal_ordered(terms[t], [&](std::uint64_t cre, std::uint64_t ann, cplx c) { sums.add(cre, ann, c); });
    }
    return terms_of(sums, tol);
}

NormalTerms normal_multiply(const NormalTerms& a, const NormalTerms& b, double tol) {
    return pair_grid(a, b, tol, [&](std::size_t i, std::size_t j, FlatSum& sums) {
        ReducedTerm t;
        if (!reduce_normal_product(a.cre[i], a.ann[i], b.cre[j], b.ann[j], a.c[i] * b.c[j], t)) return;
        emit_normal_ordered(t, [&](std::uint64_t cre, std::uint64_t ann, cplx c) { sums.add(cre, ann, c); });
    });
}

NormalTerms normal_commutator(const NormalTerms& a, const NormalTerms& b, double tol) {
    return pair_grid(a, b, tol, [&](std::size_t i, std::size_t j, FlatSum& sums) {
        commutator_pair(a.cre[i], a.ann[i], b.cre[j], b.ann[j], a.c[i] * b.c[j],
                        [&](std::uint64_t cre, std::uint64_t ann, cplx v) { sums.add(cre, ann, v); });
    });
}

NormalTerms normal_commutator_plain(const NormalTerms& a, const NormalTerms& b, double tol) {
    FlatSum sums(a.size() + b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j) {
            ReducedTerm t;
            if (reduce_normal_product_plain(a.cre[i], a.ann[i], b.cre[j], b.ann[j], a.c[i] * b.c[j], t))
                emit_normal_ordered(t, [&](std::uint64_t cre, std::uint64_t ann, cplx v) { sums.add(cre, ann, v); });
            if (reduce_normal_product_plain(b.cre[j], b.ann[j], a.cre[i], a.ann[i], b.c[j] * a.c[i], t))
                emit_normal_ordered(t, [&](std::uint64_t cre, std::uint64_t ann, cplx v) { sums.add(cre, ann, -v); });
        }
    return terms_of(sums, tol);
}

NormalTerms truncate_body(const NormalTerms& op, int max_body) {
    NormalTerms out;
    for (std::size_t k = 0; k < op.size(); ++k) {
        if (std::popcount(op.cre[k]) + std::popcount(op.ann[k]) > 2 * max_body) continue;
        out.cre.push_back(op.cre[k]);
        out.ann.push_back(op.ann[k]);
        out.c.push_back(op.c[k]);
    }
    return out;
}

NormalTerms bch_series(const NormalTerms& h, const NormalTerms& g, int n_comm,
                       std::optional<int> max_body, double tol, const OrderFn& on_order) {
    FlatSum sum(h.size());
    NormalTerms cur = h;
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

}  // namespace korvel::engine
