// Ladder-operator (fermionic) terms and their conversion to and from Majorana monomials.
//
// Words for subsets of an operator's rows (ladder terms or Majorana monomials), used in the
// same sense throughout the engine. A row's "single" spin-orbitals are those that carry one
// Majorana (one ladder operator); its "paired" ones carry both (gamma_{2p} gamma_{2p+1}, or
// the n = a^dagger a or h = a a^dagger of a ladder term).
//  - part:   one of kParts subsets, chosen by a hash of the single spin-orbitals.
//            Every monomial a ladder term expands onto, and every term a monomial contracts
//            to, has the same single spin-orbitals, so parts never meet in a sum and are
//            worked on independently, on the helper threads. Their number is fixed, so
//            results and their order do not depend on the number of threads.
//  - family: the rows with one set of single spin-orbitals (always within one part); rows
//            of different families never meet in a sum.
//  - group:  the rows with one set of single and one set of paired spin-orbitals (within one
//            family); a group is expanded or contracted in one dense step.
//  - batch:  a range of rows of the left factor of a product, multiplied with the whole
//            right factor before the next batch (majorana_op.cpp), to bound memory.
#pragma once

#include <bit>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/majorana_op.h"
#include "engine/spin_set.h"

namespace korvel::engine {

// Normal-ordered ladder terms without repeated operators in a block, identified by the
// creation and annihilation spin-orbital sets: term k is
//   c[k] a^dagger_{p1} ... a^dagger_{pm} a_{q1} ... a_{qn},  p1 > ... > pm,  q1 > ... > qn,
// with {p} = cre[k] and {q} = ann[k] as spin-orbital sets (spin_set.h): one 64-bit word, or
// a wide set past 64 spin-orbitals.
template <typename S>
struct NormalTermsT {
    using Set = S;
    std::vector<S> cre;
    std::vector<S> ann;
    std::vector<cplx> c;
    std::size_t size() const { return c.size(); }
};
using NormalTerms = NormalTermsT<std::uint64_t>;
using WideTerms = NormalTermsT<WideSpinSet>;

// A ladder term reduced to a product over spin-orbitals in increasing order: each
// spin-orbital's word of ladder operators is a^dagger (in cre), a (in ann), n = a^dagger a
// (in both) or h = a a^dagger (in hole), and the product has the coefficient re + i im.
// Plain data without initialisers, so that arrays of them are allocated without a fill.
template <typename S>
struct ReducedTermT {
    S cre, ann, hole;
    double re, im;
    S orbitals() const { return cre | ann | hole; }
};
using ReducedTerm = ReducedTermT<std::uint64_t>;

// The product of ladder operators on distinct spin-orbitals (most terms), taken one operator
// at a time: each word is a single operator, and an operator is exchanged with every one
// before it on a higher spin-orbital. `repeated` flags the spin-orbitals met twice, for which
// the words must be stepped through instead (reduce_words).
template <typename S>
struct DistinctLadderT {
    S seen{}, repeated{}, cre{};
    unsigned exchanges = 0;

    void add(unsigned index, unsigned dagger) {
        const S bit = sets::single<S>(static_cast<int>(index));
        repeated |= seen & bit;
        exchanges += static_cast<unsigned>(sets::count(seen & ~sets::below<S>(static_cast<int>(index) + 1)));
        seen |= bit;
        if (dagger & 1u) cre |= bit;
    }
    // The reduced product times re + i im, when no spin-orbital repeats.
    void reduce(double re, double im, ReducedTermT<S>& out) const {
        out.cre = cre;
        out.ann = seen & ~cre;
        out.hole = S{};
        out.re = (exchanges & 1) ? -re : re;
        out.im = (exchanges & 1) ? -im : im;
    }
};
using DistinctLadder = DistinctLadderT<std::uint64_t>;

// A ladder operator is encoded as the code (spin-orbital index << 1) | dagger, dagger 1 =
// creation: one byte below 128 spin-orbitals, two bytes beyond.
//
// The product of the ladder operators ops[0..k-1] (every spin-orbital index within the set
// type S) times re + i im, for any repeats: the sign is the parity of the pairs of operators
// out of spin-orbital order (each is one exchange of the stable sort by spin-orbital), and
// each spin-orbital's word is stepped through as its operators come. Linear in k. Returns
// false when the product vanishes.
template <typename S, typename Code>
bool reduce_words(const Code* ops, std::size_t k, double re, double im, ReducedTermT<S>& out) {
    // Word states of one spin-orbital: 0 none, 1 a^dagger, 2 a, 3 n, 4 h; 5 the product
    // vanishes. Row: the state; column: the next operator (0 a, 1 a^dagger).
    static constexpr std::uint8_t kStep[5][2] = {{2, 1}, {3, 5}, {5, 4}, {5, 1}, {2, 5}};
    S cre{}, ann{}, hole{};
    // Member q of `odd`: an odd number of the operators so far act on spin-orbital q.
    S odd{};
    unsigned exchanges = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const int p = static_cast<int>(ops[i] >> 1);
        const S bit = sets::single<S>(p);
        exchanges += static_cast<unsigned>(sets::count(odd & ~sets::below<S>(p + 1)) & 1);
        odd ^= bit;
        const unsigned state = (sets::has(cre, p) ? 1u : 0u) + (sets::has(ann, p) ? 2u : 0u) +
                               (sets::has(hole, p) ? 4u : 0u);
        const unsigned next = kStep[state][ops[i] & 1];
        if (next == 5) return false;
        cre = (cre & ~bit) | ((next & 1) ? bit : S{});
        ann = (ann & ~bit) | ((next == 2 || next == 3) ? bit : S{});
        hole = (hole & ~bit) | (next == 4 ? bit : S{});
    }
    out.cre = cre;
    out.ann = ann;
    out.hole = hole;
    out.re = (exchanges & 1) ? -re : re;
    out.im = (exchanges & 1) ? -im : im;
    return true;
}

// Reduces the product of the ladder operators ops[0..k-1] (encoded as above) times
// coeff: DistinctLadder when no spin-orbital repeats, reduce_words otherwise. Returns false when
// the product vanishes (coeff zero, or a word such as a^dagger a^dagger); throws
// std::invalid_argument naming a spin-orbital index beyond 63. Pure computation, safe to
// call from any thread.
bool reduce_ladder_term(const std::uint8_t* ops, std::size_t k, cplx coeff, ReducedTerm& out);

// The same on the wide sets: codes of two bytes, indices below 256.
bool reduce_ladder_term(const std::uint16_t* ops, std::size_t k, cplx coeff,
                        ReducedTermT<WideSpinSet>& out);

// Below this many rows (terms or monomials) an operator is expanded or contracted as one
// part, on the calling thread alone; from it on, in kParts parts shared with the
// helper threads.
inline constexpr std::size_t kSplitRows = 2048;

// Majorana form of the reduced ladder terms t with keep[t] != 0, of any body rank, merged
// (each mask once, in the order the masks arise; exact zeros and sums with |c| <= tol
// dropped).
MajoranaOp expand_reduced(const ReducedTerm* terms, const std::uint8_t* keep, std::size_t n,
                          double tol = 0.0);

// Number-conserving normal-ordered ladder form of a Majorana operator, part by part: every
// monomial is rewritten exactly (gamma_{2p} = a_p^dagger + a_p,
// gamma_{2p+1} = i (a_p^dagger - a_p)), like terms are combined, terms that change the
// particle number are left out and coefficients with |c| <= tol are dropped. Part q
// (0 <= q < kParts) is handed to `consume(q, terms)` on the calling thread, the
// parts in order, while other threads contract the parts that follow; the terms and their
// order are deterministic for a given input (the same row order gives the same terms in the
// same order, whatever the number of threads). `prepare(q, terms)`, when given, runs on
// whichever thread contracted the part, before it is consumed; it must not need the calling
// thread. No two parts share a term. Throws std::invalid_argument when a monomial acts on a
// spin-orbital at or beyond n_spin_orbitals, and std::overflow_error when a coefficient
// overflows; an exception thrown by either function stops the work and propagates.
inline constexpr unsigned kParts = 16;
using PartFn = std::function<void(unsigned, const NormalTerms&)>;
void contract_number_conserving_streamed(const MajoranaOp& op, int n_spin_orbitals, double tol,
                                         const PartFn& prepare, const PartFn& consume);

}  // namespace korvel::engine
