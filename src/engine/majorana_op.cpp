#include "engine/majorana_op.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/key_index.h"
#include "engine/memory.h"
#include "engine/task_group.h"

namespace korvel::engine {

Mask MajoranaOp::support() const {
    Mask s;
    for (std::size_t k = 0; k < size(); ++k) s = s | mask(k);
    return s;
}

// ---------------------------------------------------------------------------
// Sorting by (hi, lo): least-significant-digit radix sort over the 11-bit digits in which
// the keys differ at all (a digit that is the same in every key is skipped), so keys that
// use few modes sort in few passes. Small inputs use a comparison sort.

std::vector<std::size_t> sorted_order(const std::uint64_t* lo, const std::uint64_t* hi,
                                      std::size_t n) {
    std::vector<std::size_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = k;
    if (n < 2) return order;
    if (n < 512) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return hi[a] != hi[b] ? hi[a] < hi[b] : lo[a] < lo[b];
        });
        return order;
    }
    std::uint64_t or_lo = 0, and_lo = ~0ULL, or_hi = 0, and_hi = ~0ULL;
    for (std::size_t k = 0; k < n; ++k) {
        or_lo |= lo[k];
        and_lo &= lo[k];
        or_hi |= hi[k];
        and_hi &= hi[k];
    }
    const std::uint64_t vary[2] = {or_lo ^ and_lo, or_hi ^ and_hi};
    constexpr int kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    require_memory(n, 3 * sizeof(std::uint64_t) + sizeof(std::size_t), "sorting monomials");
    std::vector<std::uint64_t> key_lo(lo, lo + n), key_hi(hi, hi + n), tmp_lo(n), tmp_hi(n);
    std::vector<std::size_t> tmp_order(n);
    std::vector<std::size_t> count(kBuckets);
    for (int limb = 0; limb < 2; ++limb) {
        for (int shift = 0; shift < 64; shift += kDigit) {
            const std::uint64_t digit_mask = ((std::uint64_t{1} << kDigit) - 1) << shift;
            if ((vary[limb] & digit_mask) == 0) continue;
            const std::uint64_t* key = limb == 0 ? key_lo.data() : key_hi.data();
            std::fill(count.begin(), count.end(), 0);
            for (std::size_t k = 0; k < n; ++k) ++count[(key[k] >> shift) & (kBuckets - 1)];
            std::size_t run = 0;
            for (auto& c : count) {
                std::size_t v = c;
                c = run;
                run += v;
            }
            for (std::size_t k = 0; k < n; ++k) {
                std::size_t dst = count[(key[k] >> shift) & (kBuckets - 1)]++;
                tmp_lo[dst] = key_lo[k];
                tmp_hi[dst] = key_hi[k];
                tmp_order[dst] = order[k];
            }
            key_lo.swap(tmp_lo);
            key_hi.swap(tmp_hi);
            order.swap(tmp_order);
        }
    }
    return order;
}

MajoranaOp canonical(const KeySum& sums, double tol) {
    MajoranaOp kept;
    kept.reserve(sums.size());
    for (std::size_t id = 0; id < sums.size(); ++id) {
        require_finite(sums.sum(id), "a sum of Majorana monomials");
        if (survives(sums.sum(id), tol)) kept.push_back({sums.key_a(id), sums.key_b(id)}, sums.sum(id));
    }
    const std::vector<std::size_t> order = sorted_order(kept.lo.data(), kept.hi.data(), kept.size());
    MajoranaOp out;
    out.resize(kept.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        out.lo[k] = kept.lo[order[k]];
        out.hi[k] = kept.hi[order[k]];
        out.c[k] = kept.c[order[k]];
    }
    return out;
}

MajoranaOp sum_sorted(const MajoranaOp& rows, double tol) {
    const std::size_t n = rows.size();
    const std::vector<std::size_t> order = sorted_order(rows.lo.data(), rows.hi.data(), n);
    MajoranaOp out;
    out.reserve(n);
    std::size_t k = 0;
    while (k < n) {
        const std::size_t first = order[k];
        const std::uint64_t lo = rows.lo[first], hi = rows.hi[first];
        cplx sum = rows.c[first];
        for (++k; k < n && rows.lo[order[k]] == lo && rows.hi[order[k]] == hi; ++k)
            sum += rows.c[order[k]];
        require_finite(sum, "a sum of Majorana monomials");
        if (survives(sum, tol)) out.push_back({lo, hi}, sum);
    }
    return out;
}

MajoranaOp merge(const MajoranaOp& op, double tol) {
    // Equal masks summed through a hash index (in input order), pruned, then the survivors
    // sorted by (hi, lo).
    KeySum sums(op.size() / 2);
    for (std::size_t k = 0; k < op.size(); ++k) sums.add(op.lo[k], op.hi[k], op.c[k]);
    return canonical(sums, tol);
}

namespace {

MajoranaOp concat(const MajoranaOp& a, const MajoranaOp& b, double sign_b) {
    MajoranaOp r;
    r.reserve(a.size() + b.size());
    r.lo = a.lo;
    r.hi = a.hi;
    r.c = a.c;
    r.lo.insert(r.lo.end(), b.lo.begin(), b.lo.end());
    r.hi.insert(r.hi.end(), b.hi.begin(), b.hi.end());
    for (cplx v : b.c) r.c.push_back(sign_b * v);
    return r;
}

// Appends `part` to `acc`.
void append(MajoranaOp& acc, const MajoranaOp& part) {
    acc.lo.insert(acc.lo.end(), part.lo.begin(), part.lo.end());
    acc.hi.insert(acc.hi.end(), part.hi.begin(), part.hi.end());
    acc.c.insert(acc.c.end(), part.c.begin(), part.c.end());
}

// Pairs of monomials handled per batch of the product grid, and the pairs from which a
// batch is shared out among the helper threads, in tasks of consecutive rows of a.
constexpr std::size_t kBatchPairs = std::size_t{1} << 20;
constexpr std::size_t kParallelPairs = std::size_t{1} << 16;
constexpr std::size_t kBatchTasks = 16;

// The pair grid in batches: rows of `a` in batches, each batch against all of `b`. For every
// pair `pair(...)` may give one row of the batch; each batch is merged without pruning and
// gathered, and the gathered rows are merged again whenever they outgrow the last merged
// size, so memory stays bounded by the distinct masks plus one batch.
template <typename PairFn>
MajoranaOp pair_grid(const MajoranaOp& a, const MajoranaOp& b, double tol, PairFn pair) {
    const std::size_t na = a.size(), nb = b.size();
    if (na == 0 || nb == 0) return {};
    const std::size_t rows_per_batch = std::max<std::size_t>(1, kBatchPairs / nb);
    MajoranaOp acc;
    std::size_t merged_size = 0;
    for (std::size_t i0 = 0; i0 < na; i0 += rows_per_batch) {
        const std::size_t i1 = std::min(na, i0 + rows_per_batch);
        const std::size_t pairs = (i1 - i0) * nb;
        require_memory(pairs, 2 * (2 * sizeof(std::uint64_t) + sizeof(cplx)) + 1, "operator product");
        MajoranaOp batch;
        batch.resize(pairs);
        std::vector<unsigned char> used(pairs, 0);
        const std::size_t rows = i1 - i0;
        const bool parallel = pairs > kParallelPairs && rows > 1;
        const std::size_t tasks = parallel ? std::min(kBatchTasks, rows) : 1;
        TaskGroup group(tasks, [&](std::size_t task) {
            for (std::size_t i = i0 + rows * task / tasks; i < i0 + rows * (task + 1) / tasks; ++i) {
                const Mask ma = a.mask(i);
                for (std::size_t j = 0; j < nb; ++j) {
                    const std::size_t slot = (i - i0) * nb + j;
                    const Mask mb = b.mask(j);
                    cplx v;
                    if (!pair(ma, a.c[i], mb, b.c[j], v)) continue;
                    const Mask m = ma ^ mb;
                    batch.lo[slot] = m.lo;
                    batch.hi[slot] = m.hi;
                    batch.c[slot] = v;
                    used[slot] = 1;
                }
            }
        }, parallel);
        group.wait();
        // Compact the pairs that contributed.
        std::size_t w = 0;
        for (std::size_t s = 0; s < pairs; ++s) {
            if (!used[s]) continue;
            batch.lo[w] = batch.lo[s];
            batch.hi[w] = batch.hi[s];
            batch.c[w] = batch.c[s];
            ++w;
        }
        batch.resize(w);
        append(acc, merge(batch, 0.0));
        if (acc.size() > 2 * merged_size + kBatchPairs) {
            acc = merge(acc, 0.0);
            merged_size = acc.size();
        }
    }
    return merge(acc, tol);
}

}  // namespace

MajoranaOp add(const MajoranaOp& a, const MajoranaOp& b, double tol) {
    return merge(concat(a, b, 1.0), tol);
}

MajoranaOp subtract(const MajoranaOp& a, const MajoranaOp& b, double tol) {
    return merge(concat(a, b, -1.0), tol);
}

MajoranaOp multiply(const MajoranaOp& a, const MajoranaOp& b, double tol) {
    return pair_grid(a, b, tol, [](Mask ma, cplx ca, Mask mb, cplx cb, cplx& out) {
        out = product_sign(ma, mb) * (ca * cb);
        return true;
    });
}

MajoranaOp commutator(const MajoranaOp& a, const MajoranaOp& b, double tol) {
    return pair_grid(a, b, tol, [](Mask ma, cplx ca, Mask mb, cplx cb, cplx& out) {
        if (!anticommute(ma, mb)) return false;
        out = (2.0 * product_sign(ma, mb)) * (ca * cb);
        return true;
    });
}

}  // namespace korvel::engine
