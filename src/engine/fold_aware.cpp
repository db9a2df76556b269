#include "engine/fold_aware.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <numeric>
#include <unordered_map>

#include "engine/key_index.h"
#include "engine/term_sum.h"

namespace korvel::engine {

namespace {

inline std::uint64_t low_bits(std::int64_t k) {
    return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
}

// 1/n! as the reference computes it: 1.0 / factorial(n).
double series_weight(int n) {
    double factorial = 1.0;
    for (int k = 2; k <= n; ++k) factorial *= k;
    return 1.0 / factorial;
}

bool over_cap(std::uint64_t cre, std::uint64_t ann, const std::optional<int>& max_body) {
    return max_body && std::popcount(cre) + std::popcount(ann) > 2 * *max_body;
}

// The external operators one commutator with the generator can remove at most: over the
// generator's terms, the largest number of creators on empty external spin-orbitals, of
// annihilators on occupied external ones, and of both together.
struct Repair {
    long long virt = 0, core = 0, total = 0;
};

// The generator's terms grouped by the external operators each must contract (its
// creators on empty external and annihilators on occupied external spin-orbitals).
class GeneratorIndex {
public:
    GeneratorIndex(const NormalTerms& g, const FoldSpace& s) {
        order_.resize(g.size());
        std::iota(order_.begin(), order_.end(), std::uint32_t{0});
        auto sig = [&](std::uint32_t t) {
            return std::pair{g.cre[t] & s.ext_empty, g.ann[t] & s.ext_occ};
        };
        std::stable_sort(order_.begin(), order_.end(),
                         [&](std::uint32_t x, std::uint32_t y) { return sig(x) < sig(y); });
        for (std::size_t k = 0; k < order_.size();) {
            const auto key = sig(order_[k]);
            std::size_t e = k;
            while (e < order_.size() && sig(order_[e]) == key) ++e;
            groups_.emplace(Key{key.first, key.second}, Range{k, e});
            k = e;
        }
    }

    // Calls f(t) for each generator term whose external operators are exactly (virt, core).
    template <typename F>
    void for_group(std::uint64_t virt, std::uint64_t core, F&& f) const {
        const auto it = groups_.find(Key{virt, core});
        if (it == groups_.end()) return;
        for (std::size_t k = it->second.begin; k < it->second.end; ++k) f(order_[k]);
    }

private:
    struct Key {
        std::uint64_t virt, core;
        bool operator==(const Key& o) const { return virt == o.virt && core == o.core; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const { return static_cast<std::size_t>(key_hash(k.virt, k.core)); }
    };
    struct Range {
        std::size_t begin, end;
    };
    std::vector<std::uint32_t> order_;
    std::unordered_map<Key, Range, KeyHash> groups_;
};

// sum of |c| of an operator's terms
double l1_of(const NormalTerms& t) {
    double s = 0.0;
    for (const cplx& c : t.c) s += std::abs(c);
    return s;
}

// Adds the fold of c a^dagger_cre a_ann to `sums` (active numbering), if it survives.
void add_folded(FlatSum& sums, const FoldSpace& s, std::uint64_t cre, std::uint64_t ann, cplx c) {
    std::uint64_t ac = 0, aa = 0;
    int sign = 1;
    if (fold_term(s, cre, ann, ac, aa, sign)) sums.add(ac, aa, sign > 0 ? c : -c);
}

}  // namespace

FoldSpace FoldSpace::of(std::int64_t n_core, std::int64_t n_act, std::uint64_t occupied) {
    // Clamped first, so that no product can overflow: beyond 32 spatial orbitals every
    // spin-orbital the engine holds is already covered.
    const std::int64_t core = std::clamp<std::int64_t>(n_core, 0, 32);
    const std::int64_t act = std::clamp<std::int64_t>(n_act, 0, 32);
    const std::int64_t end = std::min<std::int64_t>(2 * (core + act), 64);
    FoldSpace s;
    s.active = low_bits(end) & ~low_bits(2 * core);
    s.ext_occ = ~s.active & occupied;
    s.ext_empty = ~s.active & ~occupied;
    s.first_active = static_cast<int>(2 * core);
    return s;
}

bool fold_term(const FoldSpace& s, std::uint64_t cre, std::uint64_t ann, std::uint64_t& active_cre,
               std::uint64_t& active_ann, int& sign) {
    const std::uint64_t ext_cre = cre & ~s.active, ext_ann = ann & ~s.active;
    if (ext_cre != ext_ann || (ext_cre & ~s.ext_occ) != 0) return false;
    // Each occupied external pair in turn: a^dagger_c moves to the right end of the
    // (descending) creation block past the creators below c, a_c to the left end of the
    // annihilation block past the annihilators above c; then a^dagger_c a_c = n_c, which
    // commutes with everything and is 1 on the reference.
    std::uint64_t p = cre, q = ann;
    int parity = 0;
    for (std::uint64_t rest = ext_cre; rest != 0; rest &= rest - 1) {
        const std::uint64_t bit = rest & (~rest + 1);
        parity += std::popcount(p & (bit - 1));
        parity += std::popcount(q & ~(bit | (bit - 1)));
        p &= ~bit;
        q &= ~bit;
    }
    active_cre = s.first_active >= 64 ? 0 : p >> s.first_active;
    active_ann = s.first_active >= 64 ? 0 : q >> s.first_active;
    sign = (parity & 1) ? -1 : 1;
    return true;
}

NormalTerms fold_normal(const NormalTerms& op, const FoldSpace& s, double tol) {
    FlatSum sums(op.size());
    for (std::size_t k = 0; k < op.size(); ++k) add_folded(sums, s, op.cre[k], op.ann[k], op.c[k]);
    return terms_of(sums, tol);
}

FoldedSeries fold_aware_series(const NormalTerms& h, const NormalTerms& g, const FoldSpace& space,
                               std::uint64_t occupied, int n_comm, std::optional<int> max_body,
                               double tol, const OrderFn& on_order) {
    FoldedSeries out;
    n_comm = std::max(n_comm, 0);

    // Screening needs an excitation generator; otherwise every term is carried.
    bool excitation = true;
    Repair repair;
    for (std::size_t t = 0; t < g.size(); ++t) {
        if ((g.cre[t] & occupied) != 0 || (g.ann[t] & ~occupied) != 0) excitation = false;
        const long long v = std::popcount(g.cre[t] & space.ext_empty);
        const long long c = std::popcount(g.ann[t] & space.ext_occ);
        repair.virt = std::max(repair.virt, v);
        repair.core = std::max(repair.core, c);
        repair.total = std::max(repair.total, v + c);
    }
    out.screened = excitation;
    // Whether a term can still reach the fold with `remaining` commutators to come.
    auto reachable = [&](std::uint64_t cre, std::uint64_t ann, long long remaining) {
        if (!excitation) return true;
        const FoldDefects d = fold_defects(space, cre, ann);
        return !d.dead && d.virt <= remaining * repair.virt && d.core <= remaining * repair.core &&
               d.virt + d.core <= remaining * repair.total;
    };
    // Without screening one group holds the whole generator.
    const FoldSpace no_screen{};
    const GeneratorIndex index(g, excitation ? space : no_screen);

    // Order 0: h itself, capped in the sum but carried whole into the first commutator.
    NormalTerms cur, h_kept;
    FlatSum running(64), dropped(64);
    for (std::size_t k = 0; k < h.size(); ++k) {
        const std::uint64_t cre = h.cre[k], ann = h.ann[k];
        if (n_comm > 0 && reachable(cre, ann, n_comm)) {
            cur.cre.push_back(cre);
            cur.ann.push_back(ann);
            cur.c.push_back(h.c[k]);
        }
        if (!fold_defects(space, cre, ann).none()) continue;
        if (over_cap(cre, ann, max_body)) {
            add_folded(dropped, space, cre, ann, h.c[k]);
            continue;
        }
        h_kept.cre.push_back(cre);
        h_kept.ann.push_back(ann);
        h_kept.c.push_back(h.c[k]);
        add_folded(running, space, cre, ann, h.c[k]);
    }
    out.partial.push_back(terms_of(running, tol));
    out.cap_dropped_l1.push_back(l1_of(terms_of(dropped, 0.0)));

    // The series: the fold survivors of each order, weighted, in whole-space keys.
    FlatSum series(64);
    for (int n = 1; n <= n_comm && cur.size() > 0; ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        const long long remaining = n_comm - n;
        const std::size_t pieces = std::clamp<std::size_t>(cur.size() / 1024, 1, kMaxPieces);
        const std::size_t rows = (cur.size() + pieces - 1) / pieces;
        NormalTerms next = row_pieces(
            cur.size(), pieces, std::min<std::size_t>(4 * rows + 16, std::size_t{1} << 20), cur.size(), tol,
            [&](std::size_t i, FlatSum& sums) {
                const std::uint64_t p = cur.cre[i], q = cur.ann[i];
                const cplx x = cur.c[i];
                auto emit = [&](std::uint64_t cre, std::uint64_t ann, cplx v) {
                    if (reachable(cre, ann, remaining)) sums.add(cre, ann, v);
                };
                auto pair_with = [&](std::uint32_t t) {
                    commutator_pair(p, q, g.cre[t], g.ann[t], x * g.c[t], emit);
                };
                if (!excitation) {
                    index.for_group(0, 0, pair_with);
                    return;
                }
                // The generator terms that can repair this one: their external operators
                // must be among its virtual defects (to contract) and its core defects (to
                // contract or pair), and must leave at most what the remaining orders can
                // still remove.
                const std::uint64_t virt = q & space.ext_empty;
                const std::uint64_t core = p & space.ext_occ & ~q;
                const long long dv = std::popcount(virt), dc = std::popcount(core);
                for (std::uint64_t sv = virt;; sv = (sv - 1) & virt) {
                    const long long nv = std::popcount(sv);
                    if (nv <= repair.virt && dv - nv <= remaining * repair.virt) {
                        for (std::uint64_t sc = core;; sc = (sc - 1) & core) {
                            const long long nc = std::popcount(sc);
                            if (nc <= repair.core && dc - nc <= remaining * repair.core &&
                                nv + nc <= repair.total &&
                                (dv + dc) - (nv + nc) <= remaining * repair.total)
                                index.for_group(sv, sc, pair_with);
                            if (sc == 0) break;
                        }
                    }
                    if (sv == 0) break;
                }
            });
        out.formed.push_back(next.size());

        const double weight = series_weight(n);
        NormalTerms carried;
        FlatSum dropped_n(64);
        for (std::size_t k = 0; k < next.size(); ++k) {
            const std::uint64_t cre = next.cre[k], ann = next.ann[k];
            const bool survives_fold = fold_defects(space, cre, ann).none();
            if (over_cap(cre, ann, max_body)) {
                if (survives_fold) add_folded(dropped_n, space, cre, ann, weight * next.c[k]);
                continue;
            }
            carried.cre.push_back(cre);
            carried.ann.push_back(ann);
            carried.c.push_back(next.c[k]);
            if (survives_fold) {
                series.add(cre, ann, weight * next.c[k]);
                add_folded(running, space, cre, ann, weight * next.c[k]);
            }
        }
        next = NormalTerms{};
        out.cap_dropped_l1.push_back(l1_of(terms_of(dropped_n, 0.0)));
        out.partial.push_back(terms_of(running, tol));
        out.kept.push_back(carried.size());
        cur = std::move(carried);
        if (on_order)
            on_order(n, cur.size(),
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }

    // h (capped) plus the series sum, each pruned as similarity_transform prunes them, then
    // folded.
    FlatSum total(h_kept.size() + series.size());
    for (std::size_t k = 0; k < h_kept.size(); ++k) total.add(h_kept.cre[k], h_kept.ann[k], h_kept.c[k]);
    const NormalTerms series_terms = terms_of(series, tol);
    for (std::size_t k = 0; k < series_terms.size(); ++k)
        total.add(series_terms.cre[k], series_terms.ann[k], series_terms.c[k]);
    out.effective = fold_normal(terms_of(total, tol), space, tol);

    out.partial.back() = out.effective;
    return out;
}

NormalTerms fold_aware_series_plain(const NormalTerms& h, const NormalTerms& g,
                                    const FoldSpace& space, int n_comm,
                                    std::optional<int> max_body, double tol) {
    FlatSum series(h.size());
    NormalTerms cur = h;
    for (int n = 1; n <= n_comm; ++n) {
        cur = normal_commutator_plain(cur, g, tol);
        if (max_body) cur = truncate_body(cur, *max_body);
        if (cur.size() == 0) break;
        const double weight = series_weight(n);
        for (std::size_t k = 0; k < cur.size(); ++k) series.add(cur.cre[k], cur.ann[k], weight * cur.c[k]);
    }
    FlatSum total(h.size());
    for (std::size_t k = 0; k < h.size(); ++k)
        if (!over_cap(h.cre[k], h.ann[k], max_body)) total.add(h.cre[k], h.ann[k], h.c[k]);
    const NormalTerms series_terms = terms_of(series, tol);
    for (std::size_t k = 0; k < series_terms.size(); ++k)
        total.add(series_terms.cre[k], series_terms.ann[k], series_terms.c[k]);
    return fold_normal(terms_of(total, tol), space, tol);
}

}  // namespace korvel::engine
