// Operators as sums of Majorana monomials, held as structure-of-arrays (lo, hi, c).
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/mask.h"

namespace korvel::engine {

using cplx = std::complex<double>;

// sum_k c[k] gamma_{(lo[k], hi[k])}. Merged form: each mask once, every |c| above the
// pruning tolerance, rows in any order. Canonical form: merged, with the rows sorted
// ascending by (hi, lo); merge() and the products give it. The ladder expansion leaves its
// rows merged in the order they arise (sorting them would cost more than the expansion
// itself); whoever presents rows sorts them with sorted_order. Raw forms (batches of a
// product before their merge) may repeat masks.
struct MajoranaOp {
    std::vector<std::uint64_t> lo;
    std::vector<std::uint64_t> hi;
    std::vector<cplx> c;
    // Empty, or the rows laid out by the parts the ladder engine splits operators into (see
    // ladder.h): part q is rows part_start[q] .. part_start[q+1] - 1. The expansion sets it,
    // so that the contraction need not sort the rows into parts again; every other
    // operation builds operators without it.
    std::vector<std::size_t> part_start;

    std::size_t size() const { return c.size(); }
    Mask mask(std::size_t k) const { return {lo[k], hi[k]}; }
    void reserve(std::size_t n) {
        lo.reserve(n);
        hi.reserve(n);
        c.reserve(n);
    }
    void resize(std::size_t n) {
        lo.resize(n);
        hi.resize(n);
        c.resize(n);
    }
    void push_back(Mask m, cplx v) {
        lo.push_back(m.lo);
        hi.push_back(m.hi);
        c.push_back(v);
    }
    // Union of the modes any monomial touches.
    Mask support() const;
};

// Throws std::overflow_error when a computed coefficient is not finite: the sum or product
// of finite coefficients went beyond the range of double precision (about 1.8e308). `what`
// names the operation.
inline void require_finite(double re, double im, const char* what) {
    if (std::isfinite(re) && std::isfinite(im)) [[likely]]
        return;
    throw std::overflow_error(std::string("a coefficient of ") + what +
                              " overflows the range of double precision (about 1.8e308)");
}
inline void require_finite(cplx v, const char* what) { require_finite(v.real(), v.imag(), what); }

// Default tolerance when an operator is lowered or cleaned.
inline constexpr double kTolerance = 1e-12;

// Whether a coefficient survives pruning at `tol`: |v| > tol (tol = 0 keeps every non-zero,
// a negative tol keeps everything).
inline bool survives(cplx v, double tol) {
    if (tol <= 0) return tol < 0 || v != cplx(0.0, 0.0);
    return std::norm(v) > tol * tol;
}

// Stable order of the rows by (hi, lo): the permutation that sorts them.
std::vector<std::size_t> sorted_order(const std::uint64_t* lo, const std::uint64_t* hi,
                                      std::size_t n);

class KeySum;

// Canonical form of summed rows (lo = key a, hi = key b): prune at tol, sort by (hi, lo).
MajoranaOp canonical(const KeySum& sums, double tol);

// Canonical form of raw rows by a stable sort on (hi, lo): each mask's coefficients are
// summed in row order, sums with |c| > tol kept (tol = 0 keeps every non-zero).
MajoranaOp sum_sorted(const MajoranaOp& rows, double tol);

// Canonical form: sort by (hi, lo), sum equal masks, keep sums with |c| > tol
// (tol = 0 keeps everything but exact zeros). Like every operation here, throws
// std::overflow_error when a sum or product overflows.
MajoranaOp merge(const MajoranaOp& op, double tol = kTolerance);

// a + b and a - b, merged.
MajoranaOp add(const MajoranaOp& a, const MajoranaOp& b, double tol = kTolerance);
MajoranaOp subtract(const MajoranaOp& a, const MajoranaOp& b, double tol = kTolerance);

// a * b, merged. The pair grid is processed in batches of rows of a, each merged before
// the next, so the whole grid is never held at once.
MajoranaOp multiply(const MajoranaOp& a, const MajoranaOp& b, double tol = kTolerance);

// [a, b] = a b - b a, merged. Commuting pairs of monomials contribute nothing and are
// skipped; an anticommuting pair contributes 2 c_a c_b gamma_A gamma_B. In batches like
// multiply.
MajoranaOp commutator(const MajoranaOp& a, const MajoranaOp& b, double tol = kTolerance);

}  // namespace korvel::engine
