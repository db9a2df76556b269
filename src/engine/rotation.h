// Rotation of an operator about one anti-Hermitian generator A, in closed form, and the
// energy of the rotated reference determinant as a function of the angle.
//
// Take one Majorana monomial h of H and its commutator cm = [h, A]. For the unit single and
// double excitation generators the nested commutators close after the third:
//     ad_A^3 h = -alpha ad_A h,   ad_A X = [X, A],
// with alpha = 1 when the sandwich A cm A vanishes and alpha = 4 when it equals cm. Summing
// e^{-tA} h e^{tA} = sum_n t^n / n! ad_A^n h term by term then gives
//     h + a(t) cm + b(t) dcm,   dcm = [cm, A],
//     alpha = 1: a = sin t,        b = 1 - cos t,
//     alpha = 4: a = sin(2t) / 2,  b = sin(t)^2 / 2.
// A generator of other strength (2A, A / 2) keeps the same two labels, each monomial taking
// the nearer of the two in l1 norm (the sandwich S against 0 and against cm), which is
// exact only for the unit generators.
//
// A monomial that commutes with A (an even one sharing no mode with it, say) has cm = 0 and
// is left as it is. Every monomial is handled on its own, so the work is shared out among
// the threads by monomial. Each fast routine has a plain statement beside it (the generic
// merged products of majorana_op.h, one monomial at a time), which the tests hold it to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "engine/hf_value.h"
#include "engine/majorana_op.h"

namespace korvel::engine {

// Tolerance under which the sandwich S, or S - cm, counts as zero in the alpha label.
inline constexpr double kAlphaTolerance = 1e-10;

// The closed-form data of one monomial of H: cm = [h, A] and dcm = [cm, A], each canonical
// (summed, |c| > kTolerance kept, rows ascending by (hi, lo)), and its label alpha (1 or 4).
struct MonomialRotation {
    MajoranaOp cm;
    MajoranaOp dcm;
    int alpha = 1;
};

// Operators whose rows carry a tag: the position of the monomial of H they descend from.
// Tagged operators in canonical form have their rows ascending by (tag, hi, lo), the tags
// compared as unsigned integers.
struct TaggedOp {
    std::vector<std::int64_t> tag;
    MajoranaOp op;
    std::size_t size() const { return tag.size(); }
};

// The label of a monomial from its sandwich S = A cm A: 1 when S vanishes, 4 when S equals
// cm, otherwise the nearer of the two in l1 norm (ties to 1). l1_s = |S|_1,
// l1_d = |S - cm|_1.
inline int alpha_label(double l1_s, double l1_d) {
    if (l1_s <= kAlphaTolerance) return 1;
    if (l1_d <= kAlphaTolerance) return 4;
    return l1_s <= l1_d ? 1 : 4;
}

// The closed-form data of every monomial of h, in the order of its rows. A monomial that
// commutes with A has an empty cm and dcm and the label 1. `with_dcm` false leaves dcm
// empty. Runs on the engine's threads.
std::vector<MonomialRotation> rotation_data(const MajoranaOp& h, const MajoranaOp& a, bool with_dcm);

// The same, one monomial at a time through the generic merged products of majorana_op.h.
std::vector<MonomialRotation> rotation_data_plain(const MajoranaOp& h, const MajoranaOp& a, bool with_dcm);

// The five-coefficient model of the energy in the variable u of one base frequency:
// E(u) = e00 + sin(u) e11 + (1 - cos u) e21 + sin(2u)/2 e14 + sin(u)^2/2 e24.
// For unit excitations (u = t) e1k is the sum of <D|cm|D> over the monomials of label k and
// e2k the same of dcm (real parts).
struct EnergyModel {
    double e00 = 0, e11 = 0, e21 = 0, e14 = 0, e24 = 0;
    double operator()(double t) const;
    // Coefficients, leading first, of the quartic in w = tan(u/2) whose real roots are the
    // stationary points of E other than u = pi.
    std::vector<double> stationary_quartic() const;
};

// The model from the alpha labels, one monomial at a time: exact for unit excitation
// generators only; the plain statement the labels are held to.
EnergyModel energy_model_plain(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ);

// The exact rotation of one monomial h = w q_0 about A, for any anti-Hermitian A. ad_A is
// anti-self-adjoint in the trace inner product, under which the Majorana monomials are
// orthonormal, and it maps Hermitian operators to Hermitian ones. The Lanczos recursion
// from the Hermitian monomial q_0 = eta gamma_m (eta = 1 or i) therefore builds an
// orthonormal basis q_0, q_1, ... of Hermitian operators with
//     ad_A q_k = beta_k q_{k+1} - beta_{k-1} q_{k-1},
// a real antisymmetric tridiagonal matrix M. Once the recursion closes (the new direction
// vanishes), e^{-tA} h e^{tA} = w sum_j (e^{tM})_{j0} q_j exactly; no series is cut.
// Unit excitations close after q_2 (the old alpha = 1, 4 forms, frequencies 1 and 2), a
// multiple s A after q_2 with frequencies s and 2s; sums of excitations close later.
struct MonomialOrbit {
    cplx weight{0.0, 0.0};
    std::vector<MajoranaOp> basis;  // orthonormal, each canonical
    std::vector<double> beta;       // basis.size() - 1 couplings

    std::size_t dim() const { return basis.size(); }
};

// The largest orbit built before the rotation is refused as not closing: at most
// kMaxOrbitDim directions of at most kMaxOrbitRows monomials each. Excitation generators,
// their multiples and sums of commuting ones close within a handful of small directions;
// beyond these bounds the exact rotated operator is itself too large to be of use, and a
// prompt refusal serves better than minutes of work.
inline constexpr std::size_t kMaxOrbitDim = 24;
inline constexpr std::size_t kMaxOrbitRows = 1024;

// The orbit does not close within those bounds: the generator's monomials generate too
// large an algebra around this monomial for an exact rotation.
class RotationNotClosedError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

MonomialOrbit monomial_orbit(Mask m, cplx c, const MajoranaOp& a);

// e^{tM} e_0 = sum_k cos(omega_k t) x_k + sin(omega_k t) y_k, from the eigen-decomposition
// of the symmetric tridiagonal matrix of the couplings beta (see rotation.cpp). Components
// of zero frequency have y_k = 0.
struct OrbitSpectrum {
    std::vector<double> omega;
    std::vector<std::vector<double>> x, y;
    std::vector<double> column(double t) const;  // e^{tM} e_0
};
OrbitSpectrum orbit_spectrum(const MonomialOrbit& orbit);

// The energy of the rotated determinant as a sum of waves:
//     E(t) = e00 + sum_w [ sine_w sin(omega_w t) + cosine_w (1 - cos(omega_w t)) ].
struct EnergyWave {
    double omega, sine, cosine;
};
struct EnergyCurve {
    double e00 = 0;
    std::vector<EnergyWave> waves;
    double operator()(double t) const;
    // Waves of equal frequency (within 1e-8 relative) summed, vanishing ones dropped,
    // ascending frequency.
    void gather();
    // When every frequency is nu or 2 nu: the curve in u = nu t as the five-coefficient
    // model below (true), else false.
    bool as_model(double& nu, EnergyModel& model) const;
};

// e^{-theta A} H e^{theta A}, canonical (pruned at kTolerance), exact for every
// anti-Hermitian A: only the monomials sharing a mode with A are rotated, each through its
// orbit. Throws RotationNotClosedError when an orbit does not close, MemoryLimitError
// when a commutator cannot fit.
MajoranaOp rotate_single(const MajoranaOp& h, const MajoranaOp& a, double theta);
// Plain statement: the Taylor series of the rotation, ad_A applied until the terms vanish
// below 1e-16, in 2^n equal steps so that each step's series converges fast.
MajoranaOp rotate_single_plain(const MajoranaOp& h, const MajoranaOp& a, double theta);

// The energy curve of the orbits of the monomials of h (exact for every A).
EnergyCurve energy_curve(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ);

// The lowest angle of a curve that is not a five-coefficient model: a grid over
// [-pi / nu, pi / nu) (nu the lowest frequency, 64 points per period of the highest),
// each grid minimum refined by golden sections; among 0, -pi / nu and the refined minima
// within 1e-7 of the lowest energy, the smallest |t|, then the negative one.
double select_angle_general(const EnergyCurve& e);

// The angle minimising E among t = 0, t = pi and t = 2 atan(u) for the roots u of the
// stationary quartic with |Im u| < 1e-10, every angle taken into [-pi, pi): among the
// candidates within 1e-7 of the lowest energy, the smallest |t|, then the negative one (a
// larger angle adds terms to the rotated operator for no energy gain).
double select_angle(const EnergyModel& e, const std::vector<cplx>& quartic_roots);

// The tagged operations behind the closed form, on operators of many monomials at once.
// The commutator [X, A] of a tagged X, each row keeping its tag; canonical.
TaggedOp commutator_tagged(const TaggedOp& x, const MajoranaOp& a);
// Rows sorted by (tag, hi, lo), equal (tag, mask) summed in row order, sums with |c| > tol
// kept.
TaggedOp merge_tagged(const TaggedOp& rows, double tol);
// The canonical tagged operator of the monomials' cm (tag = position in h) and their labels.
TaggedOp tagged_cm(const std::vector<MonomialRotation>& data);

// The modulus of the largest Majorana coefficient of the Hermitian part (A + A^dagger) / 2,
// and the largest coefficient modulus of A (at least 1): a generator is anti-Hermitian when
// the first is at most 1e-10 times the second. (gamma_S)^dagger = (-1)^{k(k-1)/2} gamma_S
// for k modes.
struct HermitianDefect {
    double defect = 0, scale = 1;
    bool anti_hermitian() const { return defect <= 0.5e-10 * scale; }
};
HermitianDefect hermitian_defect(const MajoranaOp& a);

}  // namespace korvel::engine
