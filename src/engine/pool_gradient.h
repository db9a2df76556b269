// Energy gradients of a pool of particle-hole excitation generators on a determinant.
//
// For A = tau - tau^dagger with tau = a_a^dagger [a_b^dagger] [a_i] a_j exciting occupied
// spin-orbitals of |D> into empty ones, tau^dagger |D> = 0 and <D| tau = 0, so
//     g = <D| [H, A] |D> = <D| H tau |D> + <D| tau^dagger H |D>
//       = s <D| H |D'> + s <D'| H |D>,     tau |D> = s |D'>.
// Each ladder term of H links |D> to at most one determinant on either side, so one pass
// over H finds the term's excitation (if any) and adds its matrix element to that pool
// member's gradient: the cost is that of reading H once, whatever the pool's size.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/ladder.h"

namespace korvel::engine {

// The excitation that empties the spin-orbitals `occ` of the determinant and fills `vir`
// (one or two of each): tau = prod_{a in vir, descending} a_a^dagger prod_{i in occ,
// descending} a_i, the canonical operator order.
struct Excitation {
    std::uint64_t occ = 0, vir = 0;
};

// A ladder term (creation set, annihilation set, each read in descending order) applied to
// the determinant `det` (bit p = spin-orbital p occupied): false when it gives zero, else
// `det` becomes the image and `sign` takes the fermionic sign (a_p and a_p^dagger pass the
// occupied spin-orbitals below p).
bool apply_ladder(std::uint64_t cre, std::uint64_t ann, std::uint64_t& det, int& sign);

// <D|[H, tau_k - tau_k^dagger]|D> for every pool member k, in one pass over H.
std::vector<double> pool_gradients(const NormalTerms& h, std::uint64_t det, const std::vector<Excitation>& pool);

// Plain statement: member by member, every term of H applied to |D> and to tau_k |D>.
std::vector<double> pool_gradients_plain(const NormalTerms& h, std::uint64_t det,
                                         const std::vector<Excitation>& pool);

}  // namespace korvel::engine
