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

// 1/n! as the reference computes it: 1.0 / factorial(n).
double series_weight(int n) {
    double factorial = 1.0;
    for (int k = 2; k <= n; ++k) factorial *= k;
    return 1.0 / factorial;
}

template <typename S>
bool over_cap(const S& cre, const S& ann, const std::optional<int>& max_body) {
    return max_body && sets::count(cre) + sets::count(ann) > 2 * *max_body;
}

// The external operators one commutator with the generator can remove at most: over the
// generator's terms, the largest number of creators on empty external spin-orbitals, of
// annihilators on occupied external ones, and of both together.
struct Repair {
    long long virt = 0, core = 0, total = 0;
};

// The generator's terms grouped by the external operators each must contract (its
// creators on empty external and annihilators on occupied external spin-orbitals).
template <typename S>
class GeneratorIndex {
public:
    GeneratorIndex(const NormalTermsT<S>& g, const FoldSpaceT<S>& s) {
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
    void for_group(const S& virt, const S& core, F&& f) const {
        const auto it = groups_.find(Key{virt, core});
        if (it == groups_.end()) return;
        for (std::size_t k = it->second.begin; k < it->second.end; ++k) f(order_[k]);
    }

private:
    struct Key {
        S virt, core;
        bool operator==(const Key& o) const { return virt == o.virt && core == o.core; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            return static_cast<std::size_t>(key_hash(sets::hash(k.virt), sets::hash(k.core)));
        }
    };
    struct Range {
        std::size_t begin, end;
    };
    std::vector<std::uint32_t> order_;
    std::unordered_map<Key, Range, KeyHash> groups_;
};

// sum of |c| of an operator's terms
template <typename S>
double l1_of(const NormalTermsT<S>& t) {
    double s = 0.0;
    for (const cplx& c : t.c) s += std::abs(c);
    return s;
}

// Adds the fold of c a^dagger_cre a_ann to `sums` (active numbering), if it survives.
template <typename S>
void add_folded(FlatSumT<S>& sums, const FoldSpaceT<S>& s, const S& cre, const S& ann, cplx c) {
    S ac{}, aa{};
    int sign = 1;
    if (fold_term(s, cre, ann, ac, aa, sign)) sums.add(ac, aa, sign > 0 ? c : -c);
}

}  // namespace

template <typename S>
FoldSpaceT<S> FoldSpaceT<S>::of(std::int64_t n_core, std::int64_t n_act, const S& occupied) {
    // Clamped first, so that no product can overflow: beyond half the set's width in
    // spatial orbitals every spin-orbital the set holds is already covered.
    constexpr std::int64_t kSpatial = kSetBits<S> / 2;
    const std::int64_t core = std::clamp<std::int64_t>(n_core, 0, kSpatial);
    const std::int64_t act = std::clamp<std::int64_t>(n_act, 0, kSpatial);
    const std::int64_t end = std::min<std::int64_t>(2 * (core + act), kSetBits<S>);
    FoldSpaceT<S> s;
    s.active = sets::below<S>(static_cast<int>(end)) & ~sets::below<S>(static_cast<int>(2 * core));
    s.ext_occ = ~s.active & occupied;
    s.ext_empty = ~s.active & ~occupied;
    s.first_active = static_cast<int>(2 * core);
    return s;
}

template <typename S>
bool fold_term(const FoldSpaceT<S>& s, const S& cre, const S& ann, S& active_cre, S& active_ann,
               int& sign) {
    const S ext_cre = cre & ~s.active, ext_ann = ann & ~s.active;
    if (!(ext_cre == ext_ann) || !sets::empty(ext_cre & ~s.ext_occ)) return false;
    // Each occupied external pair in turn: a^dagger_c moves to the right end of the
    // (descending) creation block past the creators below c, a_c to the left end of the
    // annihilation block past the annihilators above c; then a^dagger_c a_c = n_c, which
    // commutes with everything and is 1 on the reference.
    S p = cre, q = ann;
    int parity = 0;
    for (S rest = ext_cre; !sets::empty(rest); rest = sets::drop_lowest(rest)) {
        const int c = sets::lowest(rest);
        const S bit = sets::single<S>(c);
        parity += sets::count(p & sets::below<S>(c));
        parity += sets::count(q & ~sets::below<S>(c + 1));
        p &= ~bit;
        q &= ~bit;
    }
    active_cre = sets::shift_down(p, s.first_active);
    active_ann = sets::shift_down(q, s.first_active);
    sign = (parity & 1) ? -1 : 1;
    return true;
}

template <typename S>
NormalTermsT<S> fold_normal(const NormalTermsT<S>& op, const FoldSpaceT<S>& s, double tol) {
    FlatSumT<S> sums(op.size());
    for (std::size_t k = 0; k < op.size(); ++k) add_folded(sums, s, op.cre[k], op.ann[k], op.c[k]);
    return terms_of(sums, tol);
}

template <typename S>
FoldedSeriesT<S> fold_aware_series(const NormalTermsT<S>& h, const NormalTermsT<S>& g,
                                   const FoldSpaceT<S>& space, const S& occupied, int n_comm,
                                   std::optional<int> max_body, double tol, const OrderFn& on_order) {
    FoldedSeriesT<S> out;
    n_comm = std::max(n_comm, 0);

    // Screening needs an excitation generator; otherwise every term is carried.
    bool excitation = true;
    Repair repair;
    for (std::size_t t = 0; t < g.size(); ++t) {
        if (!sets::empty(g.cre[t] & occupied) || !sets::empty(g.ann[t] & ~occupied)) excitation = false;
        const long long v = sets::count(g.cre[t] & space.ext_empty);
        const long long c = sets::count(g.ann[t] & space.ext_occ);
        repair.virt = std::max(repair.virt, v);
        repair.core = std::max(repair.core, c);
        repair.total = std::max(repair.total, v + c);
    }
    out.screened = excitation;
    // Whether a term can still reach the fold with `remaining` commutators to come.
    auto reachable = [&](const S& cre, const S& ann, long long remaining) {
        if (!excitation) return true;
        const FoldDefects d = fold_defects(space, cre, ann);
        return !d.dead && d.virt <= remaining * repair.virt && d.core <= remaining * repair.core &&
               d.virt + d.core <= remaining * repair.total;
    };
    // Without screening one group holds the whole generator.
    const FoldSpaceT<S> no_screen{};
    const GeneratorIndex<S> index(g, excitation ? space : no_screen);

    // Order 0: h itself, capped in the sum but carried whole into the first commutator.
    NormalTermsT<S> cur, h_kept;
    FlatSumT<S> running(64), dropped(64);
    for (std::size_t k = 0; k < h.size(); ++k) {
        const S cre = h.cre[k], ann = h.ann[k];
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
    FlatSumT<S> series(64);
    for (int n = 1; n <= n_comm && cur.size() > 0; ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        const long long remaining = n_comm - n;
        const std::size_t pieces = std::clamp<std::size_t>(cur.size() / 1024, 1, kMaxPieces);
        const std::size_t rows = (cur.size() + pieces - 1) / pieces;
        NormalTermsT<S> next = row_pieces<S>(
            cur.size(), pieces, std::min<std::size_t>(4 * rows + 16, std::size_t{1} << 20), cur.size(), tol,
            [&](std::size_t i, FlatSumT<S>& sums) {
                const S p = cur.cre[i], q = cur.ann[i];
                const cplx x = cur.c[i];
                auto emit = [&](const S& cre, const S& ann, cplx v) {
                    if (reachable(cre, ann, remaining)) sums.add(cre, ann, v);
                };
                auto pair_with = [&](std::uint32_t t) {
                    commutator_pair(p, q, g.cre[t], g.ann[t], x * g.c[t], emit);
                };
                if (!excitation) {
                    index.for_group(S{}, S{}, pair_with);
                    return;
                }
                // The generator terms that can repair this one: their external operators
                // must be among its virtual defects (to contract) and its core defects (to
                // contract or pair), and must leave at most what the remaining orders can
                // still remove.
                const S virt = q & space.ext_empty;
                const S core = p & space.ext_occ & ~q;
                const long long dv = sets::count(virt), dc = sets::count(core);
                for (S sv = virt;; sv = sets::minus_one(sv) & virt) {
                    const long long nv = sets::count(sv);
                    if (nv <= repair.virt && dv - nv <= remaining * repair.virt) {
                        for (S sc = core;; sc = sets::minus_one(sc) & core) {
                            const long long nc = sets::count(sc);
                            if (nc <= repair.core && dc - nc <= remaining * repair.core &&
                                nv + nc <= repair.total &&
                                (dv + dc) - (nv + nc) <= remaining * repair.total)
                                index.for_group(sv, sc, pair_with);
                            if (sets::empty(sc)) break;
                        }
                    }
                    if (sets::empty(sv)) break;
                }
            });
        out.formed.push_back(next.size());

        const double weight = series_weight(n);
        NormalTermsT<S> carried;
        FlatSumT<S> dropped_n(64);
        for (std::size_t k = 0; k < next.size(); ++k) {
            const S cre = next.cre[k], ann = next.ann[k];
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
        next = NormalTermsT<S>{};
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
    FlatSumT<S> total(h_kept.size() + series.size());
    for (std::size_t k = 0; k < h_kept.size(); ++k) total.add(h_kept.cre[k], h_kept.ann[k], h_kept.c[k]);
    const NormalTermsT<S> series_terms = terms_of(series, tol);
    for (std::size_t k = 0; k < series_terms.size(); ++k)
        total.add(series_terms.cre[k], series_terms.ann[k], series_terms.c[k]);
    out.effective = fold_normal(terms_of(total, tol), space, tol);

    out.partial.back() = out.effective;
    return out;
}

template <typename S>
NormalTermsT<S> fold_aware_series_plain(const NormalTermsT<S>& h, const NormalTermsT<S>& g,
                                        const FoldSpaceT<S>& space, int n_comm,
                                        std::optional<int> max_body, double tol) {
    FlatSumT<S> series(h.size());
    NormalTermsT<S> cur = h;
    for (int n = 1; n <= n_comm; ++n) {
        cur = normal_commutator_plain(cur, g, tol);
        if (max_body) cur = truncate_body(cur, *max_body);
        if (cur.size() == 0) break;
        const double weight = series_weight(n);
        for (std::size_t k = 0; k < cur.size(); ++k) series.add(cur.cre[k], cur.ann[k], weight * cur.c[k]);
    }
    FlatSumT<S> total(h.size());
    for (std::size_t k = 0; k < h.size(); ++k)
        if (!over_cap(h.cre[k], h.ann[k], max_body)) total.add(h.cre[k], h.ann[k], h.c[k]);
    const NormalTermsT<S> series_terms = terms_of(series, tol);
    for (std::size_t k = 0; k < series_terms.size(); ++k)
        total.add(series_terms.cre[k], series_terms.ann[k], series_terms.c[k]);
    return fold_normal(terms_of(total, tol), space, tol);
}

// The two widths the engine is built for.
#define KORVEL_FOLD_INSTANCES(S)                                                                     \
    template struct FoldSpaceT<S>;                                                                  \
    template bool fold_term<S>(const FoldSpaceT<S>&, const S&, const S&, S&, S&, int&);             \
    template NormalTermsT<S> fold_normal<S>(const NormalTermsT<S>&, const FoldSpaceT<S>&, double);  \
    template FoldedSeriesT<S> fold_aware_series<S>(const NormalTermsT<S>&, const NormalTermsT<S>&,  \
                                                   const FoldSpaceT<S>&, const S&, int,             \
                                                   std::optional<int>, double, const OrderFn&);     \
    template NormalTermsT<S> fold_aware_series_plain<S>(const NormalTermsT<S>&,                     \
                                                        const NormalTermsT<S>&,                     \
                                                        const FoldSpaceT<S>&, int,                  \
                                                        std::optional<int>, double);
KORVEL_FOLD_INSTANCES(std::uint64_t)
KORVEL_FOLD_INSTANCES(WideSpinSet)
#undef KORVEL_FOLD_INSTANCES

}  // namespace korvel::engine
