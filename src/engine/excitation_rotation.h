// Rotation of a ladder operator about one particle-hole excitation generator
// A = tau - tau^dagger, worked on the few spin-orbitals the excitation touches.
//
// A is even and acts only on its spin-orbitals M (two for a single, four for a double).
// Every normal-ordered term factors, up to a sign, as X_M Y with X_M normal-ordered on M
// and Y on the other spin-orbitals; A commutes with Y, so
//     e^{-tA} X_M Y e^{tA} = (e^{-tA} X_M e^{tA}) Y.
// The normal-ordered strings on M (each spin-orbital of M carries 1, a^dagger, a or
// a^dagger a: 4^|M| of them) are a basis of the operators on M's 2^|M|-dimensional Fock
// space, so the rotation of each basis string is a fixed combination of basis strings,
// found once per angle from the dense 2^|M| x 2^|M| matrices. Each term of H then maps to
// a handful of terms, each a basis string on M times the term's own part off M: no
// contraction between the two parts arises, since they share no spin-orbital. The
// rotation is exact for every angle; only the body-rank cap truncates.
//
// For a unit excitation tau^2 = 0 and tau tau^dagger tau = tau, so A^3 = -A and
//     e^{tA} = 1 + sin t A + (1 - cos t) A^2.
#pragma once

#include <cstdint>

#include "engine/ladder.h"
#include "engine/pool_gradient.h"

namespace korvel::engine {

// Throws std::invalid_argument unless `x` empties one or two spin-orbitals and fills as
// many others (the two sets disjoint): an even generator.
void require_unit_excitation(Excitation x);

// The energy of the rotated determinant along A = tau - tau^dagger, where tau empties
// x.occ of |D> and fills x.vir. tau^dagger |D> = 0 and tau |D> = s |D'>, so
// e^{tA} |D> = cos t |D> + s sin t |D'> and
//     E(t) = <D|e^{-tA} H e^{tA}|D> = (e0 + e1)/2 + (e0 - e1)/2 cos 2t + g/2 sin 2t,
// e0 = <D|H|D>, e1 = <D'|H|D'>, g = <D|[H, A]|D> = E'(0).
struct ExcitationCurve {
    double e0 = 0, e1 = 0, g = 0;
    double operator()(double t) const;
    // The angle of lowest energy, in [-pi/2, pi/2) (E has period pi); 0 when no angle
    // lowers the energy by more than 1e-7 Eh, the resolution the rotation loop works to.
    double best_angle() const;
};

// The curve of H for the excitation x of the determinant `det` (bit p: spin-orbital p
// occupied). Throws std::invalid_argument when x does not empty occupied spin-orbitals
// into empty ones.
ExcitationCurve excitation_curve(const NormalTerms& h, std::uint64_t det, Excitation x);

// e^{-tA} H e^{tA} for A = tau - tau^dagger, tau = prod_{v in x.vir, descending}
// a_v^dagger prod_{o in x.occ, descending} a_o. Terms of more than 2 max_body ladder
// operators are dropped (max_body < 0: none); equal keys summed, sums of modulus `tol` or
// less dropped; rows ascending by (cre, ann).
NormalTerms rotate_about_excitation(const NormalTerms& h, Excitation x, double theta, int max_body, double tol);

}  // namespace korvel::engine
