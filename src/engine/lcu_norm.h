// The Pauli LCU 1-norm of a fermionic operator on any number of spin-orbitals.
//
// With Majorana operators g_{2p} = a_p + a+_p and g_{2p+1} = i (a+_p - a_p), each ladder
// operator is a+_p = (g_{2p} - i g_{2p+1}) / 2 and a_p = (g_{2p} + i g_{2p+1}) / 2, and a
// product of them expands into Majorana monomials g_A (A a sorted set of distinct Majorana
// indices; g_j g_j = 1 and distinct g anticommute). Under Jordan-Wigner every monomial is,
// up to a phase, one Pauli string and distinct monomials give distinct strings, so the
// LCU 1-norm, the sum of |coefficient| over the non-identity Pauli strings of the operator,
// is the sum of |c_A| over the non-empty monomials A after like monomials are combined.
//
// A term with k ladder operators reaches monomials of at most k Majorana indices, so a
// monomial is keyed by its sorted index list, whatever the number of spin-orbitals: the
// width of the key follows the longest term, not the size of the system.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::engine {

// Terms as flat arrays: term t has the ladder operators ops[offsets[t] .. offsets[t + 1])
// (left to right), each (spin-orbital, dagger), and the coefficient coef[t].
struct LadderTerms {
    std::vector<std::uint32_t> modes;
    std::vector<std::uint8_t> dagger;
    std::vector<std::size_t> offsets{0};
    std::vector<std::complex<double>> coef;

    std::size_t size() const { return coef.size(); }
};

// Longest term the expansion keys (its monomials hold at most 16 Majorana indices).
inline constexpr std::size_t kLcuMaxLadderOps = 16;
// Largest spin-orbital index the keys hold (Majorana indices in 16 bits).
inline constexpr std::uint32_t kLcuMaxMode = 32767;

// Sum of |c_A| over the non-empty Majorana monomials of the operator. Throws
// std::invalid_argument for a term longer than kLcuMaxLadderOps or a spin-orbital beyond
// kLcuMaxMode, and MemoryLimitError when the monomials cannot fit.
double lcu_one_norm_wide(const LadderTerms& terms);

// The same number by the literal route: each term's 2^k products reduced one Majorana at a
// time and summed in an ordered map keyed by the index list. For the tests.
double lcu_one_norm_plain(const LadderTerms& terms);

}  // namespace korvel::engine
