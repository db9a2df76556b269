// The second-quantised electronic Hamiltonian from molecular integrals, as normal-ordered
// ladder terms.
//
//   H = E0 + sum_pq h_pq a+_p a_q + 1/2 sum_pqrs (ps|qr) a+_p a+_q a_r a_s
//
// on 2 n spin-orbitals (spatial orbital i carries spin-orbitals 2i, spin up, and 2i + 1,
// spin down), with h the one-electron and (ps|qr) the two-electron integrals in
// chemists' order over spatial orbitals. Every term is written in the normal-ordered key
// convention of OpenFermion: creators left of annihilators, each group in descending mode
// index, so a two-body term is a+_P a+_Q a_R a_S with P > Q and R > S; terms with a
// repeated creator or annihilator vanish.
//
// The terms are the ones that OpenFermion's route InteractionOperator(E0, h, 1/2 g) ->
// get_fermion_operator -> normal_ordered gives, coefficient for coefficient and in the same
// order, because the rest of the package was written against that route and its
// coefficients must not move by a rounding:
//  * the spin-orbital integrals are cut to zero below kDropTolerance in magnitude, and a
//    coefficient (the two-body ones after the factor 1/2) below it is never added;
//  * the four orderings of a two-body term that reach one normal-ordered key are summed in
//    the order OpenFermion meets them (lexicographic in p, q, r, s), and whenever a partial
//    sum falls below kDropTolerance the term is removed, so that a later contribution starts
//    it afresh (and puts it last in the order of the terms);
//  * the order of the terms is the constant, the one-body terms by (p, q), then the two-body
//    terms in the order in which they were last inserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::engine {

// OpenFermion's EQ_TOLERANCE: coefficients below it in magnitude are dropped.
inline constexpr double kDropTolerance = 1e-8;

// Widest problem: spin-orbital indices are held in 16 bits.
inline constexpr int kMaxIntegralSpinOrbitals = 65535;

struct IntegralTerm {
    std::uint16_t modes[4];  // spin-orbitals: creators first, then annihilators
    std::uint8_t n_ops;      // 0 (the constant), 2 or 4 ladder operators
    double value;
};

// Integrals over n spatial orbitals: h1 is n x n, eri is n^4 in chemists' order (pq|rs),
// both row-major.
struct SpatialIntegrals {
    int n_orb = 0;
    double constant = 0.0;
    const double* h1 = nullptr;
    const double* eri = nullptr;
};

// The normal-ordered terms of the Hamiltonian, in OpenFermion's order.
// Throws std::invalid_argument when 2 n exceeds kMaxIntegralSpinOrbitals, and
// MemoryLimitError when the terms cannot fit.
std::vector<IntegralTerm> hamiltonian_terms(const SpatialIntegrals& in);

// The same terms by the literal route: every spin-orbital coefficient in lexicographic
// order, reordered one by one and added into an insertion-ordered sum that removes a term
// whose partial sum is small. O((2n)^4) and slow; the reference for the tests.
std::vector<IntegralTerm> hamiltonian_terms_plain(const SpatialIntegrals& in);

}  // namespace korvel::engine
