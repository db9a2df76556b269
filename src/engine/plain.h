// Short, plain statements of the Majorana expansion and contraction, written for reading
// rather than speed (maps, one term or monomial at a time). The tests compare the
// optimised expansion and contraction of ladder.h against them on random operators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ladder.h"
#include "engine/majorana_op.h"

namespace korvel::engine::plain {

// One ladder term: its operators (encoded (index << 1) | dagger, read left to right as a
// product) and its coefficient.
struct LadderTerm {
    std::vector<std::uint8_t> ops;
    cplx c;
};

// The Majorana form of a sum of ladder terms. Each term is the product, left to right, of
// its operators' local Majorana factors a^dagger_p = (gamma_{2p} - i gamma_{2p+1}) / 2 and
// a_p = (gamma_{2p} + i gamma_{2p+1}) / 2; equal monomials are summed and exact zeros
// dropped. Rows ascending by (hi, lo). Throws std::overflow_error when a sum overflows.
MajoranaOp expand(const std::vector<LadderTerm>& terms);

// The number-conserving normal-ordered ladder form of a Majorana operator on
// n_spin_orbitals spin-orbitals, monomial by monomial: gamma_S is the product over its
// spin-orbitals, in increasing order, of the local factors gamma_{2p} = a^dagger_p + a_p,
// gamma_{2p+1} = i (a^dagger_p - a_p) and gamma_{2p} gamma_{2p+1} = i (1 - 2 n_p); each
// choice of one word per spin-orbital is brought into normal order by counting the
// exchanges. Like terms are summed, terms that change the particle number left out and sums
// with |c| <= tol dropped; terms ascending by (cre, ann). Throws std::invalid_argument for a
// monomial beyond n_spin_orbitals and std::overflow_error when a sum overflows.
NormalTerms contract(const MajoranaOp& op, int n_spin_orbitals, double tol);

}  // namespace korvel::engine::plain
