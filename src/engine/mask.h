// 128-bit Majorana masks.
//
// Spin-orbital p owns the two Hermitian modes gamma_{2p} = a_p + a_p^dagger and
// gamma_{2p+1} = i (a_p^dagger - a_p). A monomial is the product of its modes in
// increasing index order and is identified by a 128-bit mask, bit j set when gamma_j is
// present, held in two 64-bit limbs: `lo` for modes 0..63 (spin-orbitals 0..31), `hi`
// for modes 64..127 (spin-orbitals 32..63). Both modes of a spin-orbital always share a
// limb, gamma_{2p} on an even bit and gamma_{2p+1} directly above it.
#pragma once

#include <bit>
#include <compare>
#include <cstdint>

namespace korvel::engine {

inline constexpr int kMaxSpinOrbitals = 64;
inline constexpr int kMaxModes = 2 * kMaxSpinOrbitals;

// Bits of the gamma_{2p} modes in one limb.
inline constexpr std::uint64_t kEvenModes = 0x5555555555555555ULL;

struct Mask {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;

    static constexpr Mask mode(int j) {
        return j < 64 ? Mask{std::uint64_t{1} << j, 0} : Mask{0, std::uint64_t{1} << (j - 64)};
    }
    constexpr bool empty() const { return (lo | hi) == 0; }
    constexpr int weight() const { return std::popcount(lo) + std::popcount(hi); }
    constexpr bool has(int j) const { return j < 64 ? (lo >> j) & 1 : (hi >> (j - 64)) & 1; }

    friend constexpr Mask operator^(Mask a, Mask b) { return {a.lo ^ b.lo, a.hi ^ b.hi}; }
    friend constexpr Mask operator&(Mask a, Mask b) { return {a.lo & b.lo, a.hi & b.hi}; }
    friend constexpr Mask operator|(Mask a, Mask b) { return {a.lo | b.lo, a.hi | b.hi}; }
    friend constexpr bool operator==(Mask a, Mask b) = default;
    // Monomials are ordered as unsigned 128-bit integers: by hi, then by lo.
    friend constexpr std::strong_ordering operator<=>(Mask a, Mask b) {
        if (a.hi != b.hi) return a.hi <=> b.hi;
        return a.lo <=> b.lo;
    }
};

namespace bits {

// Bit q of the result is the parity of the bits of x at positions strictly above q.
constexpr std::uint64_t parity_above(std::uint64_t x) {
    x ^= x >> 1;
    x ^= x >> 2;
    x ^= x >> 4;
    x ^= x >> 8;
    x ^= x >> 16;
    x ^= x >> 32;
    return x >> 1;
}

// Bit q of the result is the parity of the bits of x at positions strictly below q.
constexpr std::uint64_t parity_below(std::uint64_t x) {
    x <<= 1;
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// Parity of the number of pairs (s in S, t in T) with s < t.
constexpr int pairs_ascending_parity(std::uint64_t s, std::uint64_t t) {
    return std::popcount(t & parity_below(s)) & 1;
}

// The even bits of x (positions 0, 2, ..., 62) packed into the low 32 bits.
constexpr std::uint64_t pack_even(std::uint64_t x) {
    x &= kEvenModes;
    x = (x | (x >> 1)) & 0x3333333333333333ULL;
    x = (x | (x >> 2)) & 0x0f0f0f0f0f0f0f0fULL;
    x = (x | (x >> 4)) & 0x00ff00ff00ff00ffULL;
    x = (x | (x >> 8)) & 0x0000ffff0000ffffULL;
    x = (x | (x >> 16)) & 0x00000000ffffffffULL;
    return x;
}

// Inverse of pack_even: the low 32 bits of x spread onto the even positions.
constexpr std::uint64_t spread_even(std::uint64_t x) {
    x &= 0x00000000ffffffffULL;
    x = (x | (x << 16)) & 0x0000ffff0000ffffULL;
    x = (x | (x << 8)) & 0x00ff00ff00ff00ffULL;
    x = (x | (x << 4)) & 0x0f0f0f0f0f0f0f0fULL;
    x = (x | (x << 2)) & 0x3333333333333333ULL;
    x = (x | (x << 1)) & kEvenModes;
    return x;
}

}  // namespace bits

// Sign of a product of two monomials: gamma_A gamma_B = (-1)^phi gamma_{A xor B}, with phi
// the number of pairs (p in A, q in B) with p > q. Returns phi mod 2.
constexpr int product_sign_parity(Mask a, Mask b) {
    // Every high-limb mode of A lies above every low-limb mode of B.
    std::uint64_t above_lo = bits::parity_above(a.lo) ^ (std::popcount(a.hi) & 1 ? ~0ULL : 0ULL);
    std::uint64_t above_hi = bits::parity_above(a.hi);
    return std::popcount((above_lo & b.lo) ^ (above_hi & b.hi)) & 1;
}

constexpr double product_sign(Mask a, Mask b) { return product_sign_parity(a, b) ? -1.0 : 1.0; }

// gamma_A gamma_B = (-1)^(|A||B| - |A and B|) gamma_B gamma_A.
constexpr bool anticommute(Mask a, Mask b) {
    return ((a.weight() * b.weight() - (a & b).weight()) & 1) != 0;
}

// Spin-orbital views of a monomial, as 64-bit spin-orbital masks (bit p = spin-orbital p).
// "single": exactly one of gamma_{2p}, gamma_{2p+1} present (an odd local factor);
// "pair": both present (gamma_{2p} gamma_{2p+1} = i (1 - 2 n_p));
// "second": gamma_{2p+1} present.
constexpr std::uint64_t single_orbitals(Mask m) {
    auto f = [](std::uint64_t x) { return bits::pack_even(x ^ (x >> 1)); };
    return f(m.lo) | (f(m.hi) << 32);
}
constexpr std::uint64_t pair_orbitals(Mask m) {
    auto f = [](std::uint64_t x) { return bits::pack_even(x & (x >> 1)); };
    return f(m.lo) | (f(m.hi) << 32);
}
constexpr std::uint64_t second_mode_orbitals(Mask m) {
    return bits::pack_even(m.lo >> 1) | (bits::pack_even(m.hi >> 1) << 32);
}
constexpr std::uint64_t touched_orbitals(Mask m) {
    auto f = [](std::uint64_t x) { return bits::pack_even(x | (x >> 1)); };
    return f(m.lo) | (f(m.hi) << 32);
}

// Mask holding both modes of every spin-orbital in `orbitals`.
constexpr Mask both_modes(std::uint64_t orbitals) {
    std::uint64_t lo = bits::spread_even(orbitals), hi = bits::spread_even(orbitals >> 32);
    return {lo | (lo << 1), hi | (hi << 1)};
}

// The mask shifted down by `modes` positions (modes below it are dropped).
constexpr Mask shift_down(Mask m, int modes) {
    if (modes <= 0) return m;
    if (modes >= 128) return {};
    if (modes >= 64) return {m.hi >> (modes - 64), 0};
    return {(m.lo >> modes) | (m.hi << (64 - modes)), m.hi >> modes};
}

}  // namespace korvel::engine
