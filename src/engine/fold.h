// The fold of external spin-orbitals onto the reference determinant.
#pragma once

#include <cstdint>

#include "engine/majorana_op.h"

namespace korvel::engine {

// Projects every external spin-orbital (core: below 2 n_core; virtual: from
// 2 (n_core + n_act) on) onto its reference occupation (bit p of `occupied`) and renumbers
// the active spin-orbitals from 0 (2 n_core + k becomes k). A monomial with a lone Majorana
// on an external spin-orbital has no diagonal element there and vanishes; a pair
// gamma_{2p} gamma_{2p+1} = i (1 - 2 n_p) becomes -i on an occupied and +i on an empty
// spin-orbital. The result is merged, sums with |c| <= tol dropped.
MajoranaOp fold_onto_reference(const MajoranaOp& op, std::int64_t n_core, std::int64_t n_act,
                               std::uint64_t occupied, double tol = 0.0);

}  // namespace korvel::engine
