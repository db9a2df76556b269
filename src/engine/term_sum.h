// Summing normal-ordered ladder terms by key, and running a product row by row over
// pieces of the left factor on the engine's threads. Shared by the Wick products
// (wick.cpp) and the fold-aware transform (fold_aware.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/key_index.h"
#include "engine/ladder.h"
#include "engine/memory.h"
#include "engine/task_group.h"

namespace korvel::engine {

// Sums of coefficients per (cre, ann) key in one open-addressing table that holds each key
// with its sum, so that adding a row touches one cache line (a table of ids into separate
// key and sum arrays touches several, and the tables here outgrow the caches). S is the
// spin-orbital set type of the keys.
template <typename S>
class FlatSumT {
public:
    explicit FlatSumT(std::size_t expected) { rehash(table_capacity_for(expected)); }

    void add(const S& cre, const S& ann, cplx v) {
        if (cre == kEmpty && ann == kEmpty)
            throw std::invalid_argument("a ladder term acting on all " + std::to_string(kSetBits<S>) +
                                        " spin-orbitals both ways");
        std::size_t s = slot_of(cre, ann);
        while (true) {
            Entry& e = slots_[s];
            if (e.cre == cre && e.ann == ann) {
                e.re += v.real();
                e.im += v.imag();
                return;
            }
            if (e.cre == kEmpty && e.ann == kEmpty) {
                e = {cre, ann, v.real(), v.imag()};
                if (2 * ++size_ > slots_.size()) rehash(2 * slots_.size());
                return;
            }
            s = (s + 1) & mask_;
        }
    }
    std::size_t size() const { return size_; }

    // Calls f(cre, ann, sum) for every key, in table order.
    template <typename F>
    void for_each(F&& f) const {
        for (const Entry& e : slots_)
            if (!(e.cre == kEmpty && e.ann == kEmpty)) f(e.cre, e.ann, cplx(e.re, e.im));
    }

private:
    struct Entry {
        S cre, ann;
        double re, im;
    };
    static constexpr S kEmpty = sets::all<S>();

    std::size_t slot_of(const S& a, const S& b) const {
        return static_cast<std::size_t>(key_hash(sets::hash(a), sets::hash(b))) & mask_;
    }
    void rehash(std::size_t capacity) {
        require_memory(capacity, sizeof(Entry), "a table of ladder terms");
        std::vector<Entry> old = std::move(slots_);
        slots_.assign(capacity, Entry{kEmpty, kEmpty, 0.0, 0.0});
        mask_ = capacity - 1;
        for (const Entry& e : old) {
            if (e.cre == kEmpty && e.ann == kEmpty) continue;
            std::size_t s = slot_of(e.cre, e.ann);
            while (!(slots_[s].cre == kEmpty && slots_[s].ann == kEmpty)) s = (s + 1) & mask_;
            slots_[s] = e;
        }
    }

    std::vector<Entry> slots_;
    std::size_t mask_ = 0, size_ = 0;
};
using FlatSum = FlatSumT<std::uint64_t>;

// The summed terms with |c| > tol, in table order.
template <typename S>
NormalTermsT<S> terms_of(const FlatSumT<S>& sums, double tol) {
    NormalTermsT<S> out;
    out.cre.reserve(sums.size());
    out.ann.reserve(sums.size());
    out.c.reserve(sums.size());
    sums.for_each([&](const S& cre, const S& ann, cplx v) {
        if (!survives(v, tol)) return;
        out.cre.push_back(cre);
        out.ann.push_back(ann);
        out.c.push_back(v);
    });
    return out;
}

// At most this many pieces of rows, each summed into its own table.
inline constexpr std::size_t kMaxPieces = 8;

// Runs row(i, sums) (sums a FlatSumT<S>; S given explicitly) for rows 0..n_rows-1 in `pieces` consecutive pieces, each piece summing
// into its own table on whichever thread takes it; the calling thread folds the pieces into
// the result in piece order (the same sums for any number of threads) as they finish, so at
// most a few pieces' sums are held besides the result. `expected` and `expected_total` size
// the tables of a piece and of the result.
template <typename S, typename RowFn>
NormalTermsT<S> row_pieces(std::size_t n_rows, std::size_t pieces, std::size_t expected,
                       std::size_t expected_total, double tol, RowFn row) {
    if (n_rows == 0) return {};
    pieces = std::clamp<std::size_t>(pieces, 1, std::min(kMaxPieces, n_rows));
    const std::size_t rows = (n_rows + pieces - 1) / pieces;
    pieces = (n_rows + rows - 1) / rows;
    std::vector<std::unique_ptr<FlatSumT<S>>> parts(pieces);
    auto work = [&](std::size_t q) {
        auto sums = std::make_unique<FlatSumT<S>>(expected);
        const std::size_t i1 = std::min(n_rows, (q + 1) * rows);
        for (std::size_t i = q * rows; i < i1; ++i) row(i, *sums);
        parts[q] = std::move(sums);
    };
    if (pieces == 1) {
        work(0);
        return terms_of(*parts[0], tol);
    }
    FlatSumT<S> total(expected_total);
    TaskGroup group(pieces, work);
    for (std::size_t q = 0; q < pieces; ++q) {
        while (!group.finished(q))
            if (!group.run_one()) std::this_thread::yield();
        // A piece that threw has no sums: wait() rethrows its error.
        if (!parts[q]) {
            group.wait();
            throw std::logic_error("a piece of a product finished without its sums");
        }
        parts[q]->for_each([&](const S& cre, const S& ann, cplx v) { total.add(cre, ann, v); });
        parts[q].reset();
    }
    group.wait();
    return terms_of(total, tol);
}

}  // namespace korvel::engine
