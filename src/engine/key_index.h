// Dense ids for 128-bit keys (a Majorana mask, or a pair of spin-orbital sets), handed out
// in the order the keys are first seen: an open-addressing hash table with linear probing
// over 32-bit ids, the keys themselves kept densely by id. Summing rows through it costs
// one probe per row, much cheaper than sorting all rows when many of them share a key.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/memory.h"

namespace korvel::engine {

// The open-addressing tables over 128-bit keys share these: a power-of-two capacity that
// keeps the load at most one half, and a 64-bit mix of the two limbs for the home slot.
inline std::size_t table_capacity_for(std::size_t keys) {
    std::size_t cap = 64;
    while (cap < 2 * keys + 2) cap *= 2;
    return cap;
}

inline std::uint64_t key_hash(std::uint64_t a, std::uint64_t b) {
    std::uint64_t h = a ^ (b * 0x9E3779B97F4A7C15ULL);
    h ^= h >> 32;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 29;
    return h;
}

class KeyIndex {
public:
    explicit KeyIndex(std::size_t expected_keys) {
        key_a_.reserve(expected_keys);
        key_b_.reserve(expected_keys);
        rehash(capacity_for(expected_keys));
    }

    // The id of (a, b), a new one (== size() before the call) when it is first seen.
    std::size_t insert(std::uint64_t a, std::uint64_t b) {
        std::size_t s = slot_of(a, b);
        while (true) {
            const std::uint32_t id = slots_[s];
            if (id == kEmpty) break;
            if (key_a_[id] == a && key_b_[id] == b) return id;
            s = (s + 1) & mask_;
        }
        const std::size_t id = key_a_.size();
        if (id >= kEmpty)
            throw MemoryLimitError("more than 2^32 - 1 distinct monomials in one operator");
        slots_[s] = static_cast<std::uint32_t>(id);
        key_a_.push_back(a);
        key_b_.push_back(b);
        if (2 * key_a_.size() > slots_.size()) rehash(2 * slots_.size());
        return id;
    }

    std::size_t size() const { return key_a_.size(); }
    std::uint64_t key_a(std::size_t id) const { return key_a_[id]; }
    std::uint64_t key_b(std::size_t id) const { return key_b_[id]; }

private:
    static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

    static std::size_t capacity_for(std::size_t keys) { return table_capacity_for(keys); }

    std::size_t slot_of(std::uint64_t a, std::uint64_t b) const {
        return static_cast<std::size_t>(key_hash(a, b)) & mask_;
    }

    void rehash(std::size_t capacity) {
        require_memory(capacity, sizeof(std::uint32_t), "a hash table of monomials");
        slots_.assign(capacity, kEmpty);
        mask_ = capacity - 1;
        for (std::size_t id = 0; id < key_a_.size(); ++id) {
            std::size_t s = slot_of(key_a_[id], key_b_[id]);
            while (slots_[s] != kEmpty) s = (s + 1) & mask_;
            slots_[s] = static_cast<std::uint32_t>(id);
        }
    }

    std::vector<std::uint32_t> slots_;
    std::vector<std::uint64_t> key_a_, key_b_;
    std::size_t mask_ = 0;
};

// Sums coefficients per key: add() rows in any order, then read the distinct keys with
// their sums in first-seen order. Real and imaginary parts are summed separately (the same
// sums as complex addition).
class KeySum {
public:
    explicit KeySum(std::size_t expected_keys) : index_(expected_keys) {
        re_.reserve(expected_keys);
        im_.reserve(expected_keys);
    }
    void add(std::uint64_t a, std::uint64_t b, double re, double im) {
        const std::size_t id = index_.insert(a, b);
        if (id == re_.size()) {
            re_.push_back(re);
            im_.push_back(im);
        } else {
            re_[id] += re;
            im_[id] += im;
        }
    }
    void add(std::uint64_t a, std::uint64_t b, std::complex<double> c) { add(a, b, c.real(), c.imag()); }
    std::size_t size() const { return re_.size(); }
    std::uint64_t key_a(std::size_t id) const { return index_.key_a(id); }
    std::uint64_t key_b(std::size_t id) const { return index_.key_b(id); }
    std::complex<double> sum(std::size_t id) const { return {re_[id], im_[id]}; }

private:
    KeyIndex index_;
    std::vector<double> re_, im_;
};

}  // namespace korvel::engine
