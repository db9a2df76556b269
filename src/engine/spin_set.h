// Spin-orbital sets of the ladder-string algebra: bit p is spin-orbital p.
//
// One machine word holds 64 spin-orbitals (32 spatial orbitals), the fast path and the
// width of every operator that fits it. WideSet<W> holds 64 W spin-orbitals in W words,
// word k holding spin-orbitals 64 k .. 64 k + 63, for the basis sets of triple-zeta size.
// Both types offer the same free functions below, so that each algorithm of the ladder
// engine is written once, as a template over the set type, and instantiated for both.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/mask.h"

namespace korvel::engine {

template <int W>
struct WideSet {
    static_assert(W >= 2);
    std::array<std::uint64_t, W> w{};

    friend constexpr WideSet operator&(const WideSet& a, const WideSet& b) {
        WideSet r;
        for (int k = 0; k < W; ++k) r.w[k] = a.w[k] & b.w[k];
        return r;
    }
    friend constexpr WideSet operator|(const WideSet& a, const WideSet& b) {
        WideSet r;
        for (int k = 0; k < W; ++k) r.w[k] = a.w[k] | b.w[k];
        return r;
    }
    friend constexpr WideSet operator^(const WideSet& a, const WideSet& b) {
        WideSet r;
        for (int k = 0; k < W; ++k) r.w[k] = a.w[k] ^ b.w[k];
        return r;
    }
    friend constexpr WideSet operator~(const WideSet& a) {
        WideSet r;
        for (int k = 0; k < W; ++k) r.w[k] = ~a.w[k];
        return r;
    }
    constexpr WideSet& operator&=(const WideSet& b) { return *this = *this & b; }
    constexpr WideSet& operator|=(const WideSet& b) { return *this = *this | b; }
    constexpr WideSet& operator^=(const WideSet& b) { return *this = *this ^ b; }
    friend constexpr bool operator==(const WideSet& a, const WideSet& b) = default;
    // Ordered as unsigned integers (highest word first), for sorting keys.
    friend constexpr bool operator<(const WideSet& a, const WideSet& b) {
        for (int k = W - 1; k >= 0; --k)
            if (a.w[k] != b.w[k]) return a.w[k] < b.w[k];
        return false;
    }
};

// The widest set the engine holds: 256 spin-orbitals (128 spatial orbitals).
using WideSpinSet = WideSet<4>;
inline constexpr int kMaxWideSpinOrbitals = 256;

template <typename S>
struct SetWidth;
template <>
struct SetWidth<std::uint64_t> {
    static constexpr int value = 64;
};
template <int W>
struct SetWidth<WideSet<W>> {
    static constexpr int value = 64 * W;
};
// Number of spin-orbitals a set type holds.
template <typename S>
inline constexpr int kSetBits = SetWidth<S>::value;

namespace sets {

// --- one word ---------------------------------------------------------------------

inline constexpr int count(std::uint64_t x) { return std::popcount(x); }
inline constexpr bool empty(std::uint64_t x) { return x == 0; }
inline constexpr bool has(std::uint64_t x, int p) { return (x >> p) & 1; }
inline constexpr int lowest(std::uint64_t x) { return std::countr_zero(x); }
inline constexpr int highest(std::uint64_t x) { return 63 - std::countl_zero(x); }
inline constexpr std::uint64_t minus_one(std::uint64_t x) { return x - 1; }
// The spin-orbitals of x from p up, renumbered from 0.
inline constexpr std::uint64_t shift_down(std::uint64_t x, int p) { return p >= 64 ? 0 : x >> p; }
// Bit q of the result: the parity of the bits of x strictly below q.
inline constexpr std::uint64_t parity_below(std::uint64_t x) { return bits::parity_below(x); }
inline constexpr std::uint64_t hash(std::uint64_t x) { return x; }

// --- W words ----------------------------------------------------------------------

template <int W>
constexpr int count(const WideSet<W>& x) {
    int n = 0;
    for (int k = 0; k < W; ++k) n += std::popcount(x.w[k]);
    return n;
}
template <int W>
constexpr bool empty(const WideSet<W>& x) {
    std::uint64_t any = 0;
    for (int k = 0; k < W; ++k) any |= x.w[k];
    return any == 0;
}
template <int W>
constexpr bool has(const WideSet<W>& x, int p) {
    return (x.w[p >> 6] >> (p & 63)) & 1;
}
// Index of the lowest member of a non-empty set.
template <int W>
constexpr int lowest(const WideSet<W>& x) {
    for (int k = 0; k < W; ++k)
        if (x.w[k]) return 64 * k + std::countr_zero(x.w[k]);
    return 64 * W;
}
// Index of the highest member of a non-empty set.
template <int W>
constexpr int highest(const WideSet<W>& x) {
    for (int k = W - 1; k >= 0; --k)
        if (x.w[k]) return 64 * k + 63 - std::countl_zero(x.w[k]);
    return -1;
}
// x - 1 as a W-word unsigned integer: the borrow runs up to the lowest non-zero word.
template <int W>
constexpr WideSet<W> minus_one(WideSet<W> x) {
    for (int k = 0; k < W; ++k)
        if (x.w[k]--) break;
    return x;
}
template <int W>
constexpr WideSet<W> shift_down(const WideSet<W>& x, int p) {
    WideSet<W> r;
    if (p < 0 || p >= 64 * W) return r;
    const int words = p >> 6, bits = p & 63;
    for (int k = 0; k + words < W; ++k) {
        std::uint64_t v = x.w[k + words] >> bits;
        if (bits && k + words + 1 < W) v |= x.w[k + words + 1] << (64 - bits);
        r.w[k] = v;
    }
    return r;
}
template <int W>
constexpr WideSet<W> parity_below(const WideSet<W>& x) {
    WideSet<W> r;
    std::uint64_t carry = 0;  // all ones when the words below hold an odd number of bits
    for (int k = 0; k < W; ++k) {
        r.w[k] = parity_below(x.w[k]) ^ carry;
        if (std::popcount(x.w[k]) & 1) carry = ~carry;
    }
    return r;
}
template <int W>
constexpr std::uint64_t hash(const WideSet<W>& x) {
    std::uint64_t h = x.w[0];
    for (int k = 1; k < W; ++k) h = (h ^ (h >> 31)) * 0x94D049BB133111EBULL + x.w[k];
    return h;
}

// --- either -----------------------------------------------------------------------

// The set {p}.
template <typename S>
constexpr S single(int p) {
    if constexpr (std::is_same_v<S, std::uint64_t>) {
        return std::uint64_t{1} << p;
    } else {
        S r;
        r.w[p >> 6] = std::uint64_t{1} << (p & 63);
        return r;
    }
}
// The set {0, ..., p - 1} (p from 0 to the width).
template <typename S>
constexpr S below(int p) {
    if constexpr (std::is_same_v<S, std::uint64_t>) {
        return p >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << p) - 1;
    } else {
        S r;
        for (int k = 0; k < static_cast<int>(r.w.size()); ++k) {
            const int n = p - 64 * k;
            r.w[k] = n >= 64 ? ~std::uint64_t{0} : n <= 0 ? 0 : (std::uint64_t{1} << n) - 1;
        }
        return r;
    }
}
template <typename S>
constexpr S all() {
    return ~S{};
}
// x without its lowest member.
template <typename S>
constexpr S drop_lowest(const S& x) {
    return x & minus_one(x);
}
// Parity of the number of pairs (s in S, t in T) with s < t.
template <typename S>
constexpr int pairs_ascending_parity(const S& s, const S& t) {
    return count(t & parity_below(s)) & 1;
}
// The set as a 64-bit word, when every member lies below 64.
template <typename S>
constexpr bool fits_word(const S& x) {
    if constexpr (std::is_same_v<S, std::uint64_t>) {
        return true;
    } else {
        for (int k = 1; k < static_cast<int>(x.w.size()); ++k)
            if (x.w[k]) return false;
        return true;
    }
}
// Calls f(p) for each member, in descending order.
template <typename S, typename F>
constexpr void for_each_descending(S x, F&& f) {
    while (!empty(x)) {
        const int p = highest(x);
        f(p);
        x = x ^ single<S>(p);
    }
}

}  // namespace sets

}  // namespace korvel::engine
