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

// e^{-theta A} H e^{theta A}, canonical (pruned at kTolerance): the rows of H, then each
// monomial's a cm and b dcm, merged.
MajoranaOp rotate_single(const MajoranaOp& h, const MajoranaOp& a, double theta);
MajoranaOp rotate_single_plain(const MajoranaOp& h, const MajoranaOp& a, double theta);

// E(t) = <D| e^{-tA} H e^{tA} |D> = e00 + sin(t) e11 + (1 - cos t) e21 + sin(2t)/2 e14
//        + sin(t)^2/2 e24,
// e00 = <D|H|D>, e1k = sum of <D|cm|D> over monomials labelled k, e2k the same of dcm
// (real parts).
struct EnergyModel {
    double e00 = 0, e11 = 0, e21 = 0, e14 = 0, e24 = 0;
    double operator()(double t) const;
    // Coefficients, leading first, of the quartic in u = tan(t/2) whose real roots are the
    // stationary points of E other than t = pi.
    std::vector<double> stationary_quartic() const;
};

EnergyModel energy_model(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ);
EnergyModel energy_model_plain(const MajoranaOp& h, const MajoranaOp& a, OccMasks occ);

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
