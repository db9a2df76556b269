// Algebra of normal-ordered ladder operators: products and commutators by Wick's theorem,
// and the truncated Baker-Campbell-Hausdorff series e^{-s} H e^{s} of a generator s.
//
// A term of NormalTerms is c a^dagger_{p1} ... a^dagger_{pm} a_{q1} ... a_{qn} (each block
// descending), identified by its creation and annihilation spin-orbital sets. Two such
// terms contract only over the spin-orbitals annihilated by the left one and created by the
// right one, so a k-body term costs one product per partner term, instead of the up to 4^k
// Majorana monomials its Majorana form would pair up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "engine/ladder.h"

namespace korvel::engine {

// The coefficient of a reduced product of words (ascending spin-orbitals, see ReducedTerm)
// once the product is rewritten in normal order with the creation set `cre` and the
// annihilation set `ann` (the n words counting in both): +1 or -1. Every pair of creators
// and every pair of annihilators is exchanged once (ascending to descending), and every
// annihilator sits left of each creator on a higher spin-orbital.
inline int normal_order_sign(std::uint64_t cre, std::uint64_t ann) {
    const int m = std::popcount(cre), n = std::popcount(ann);
    const int parity = (m * (m - 1) / 2 + n * (n - 1) / 2 + bits::pairs_ascending_parity(ann, cre)) & 1;
    return parity ? -1 : 1;
}

// Calls emit(cre, ann, c) for the normal-ordered terms of one reduced term: each hole word
// a a^dagger = 1 - a^dagger a is expanded (2^{holes} terms). Terms are distinct.
// With skip_uncontracted, the term with every hole word taken as -n (the string's own
// normal-ordered product, no contraction) is left out.
template <typename Emit>
void emit_normal_ordered(const ReducedTerm& t, Emit&& emit, bool skip_uncontracted = false) {
    const cplx base(t.re, t.im);
    std::uint64_t u = t.hole;
    if (skip_uncontracted) {
        if (u == 0) return;
        u = (u - 1) & t.hole;
    }
    for (;; u = (u - 1) & t.hole) {
        const std::uint64_t cre = t.cre | u, ann = t.ann | u;
        const int sign = normal_order_sign(cre, ann) * ((std::popcount(u) & 1) ? -1 : 1);
        emit(cre, ann, sign > 0 ? base : -base);
        if (u == 0) break;
    }
}

// The product of two normal-ordered terms (P, Q) and (R, S), that is the operator string
// a^dagger_P a_Q a^dagger_R a_S, reduced into words per spin-orbital; false when it vanishes.
// Fast bitwise form of reduce_words for this shape of string.
bool reduce_normal_product(std::uint64_t p, std::uint64_t q, std::uint64_t r, std::uint64_t s,
                           cplx coeff, ReducedTerm& out);

// The terms of [A, B] for one pair of normal-ordered terms A = c a^dagger_P a_Q and
// B = a^dagger_R a_S (the coefficient c is the product of both): emit(cre, ann, v) for each
// normal-ordered term of A B - B A, the same key possibly more than once.
template <typename Emit>
void commutator_pair(std::uint64_t p, std::uint64_t q, std::uint64_t r, std::uint64_t s, cplx c,
                     Emit&& emit) {
    const bool even = (std::popcount(p) + std::popcount(q)) % 2 == 0 ||
                      (std::popcount(r) + std::popcount(s)) % 2 == 0;
    // Without a contraction either way, A B and B A are the same normal-ordered string up to
    // the sign (-1)^{|A||B|}: they cancel unless both terms are odd.
    if (((q & r) | (s & p)) == 0 && even) return;
    // Otherwise the uncontracted strings :A B: of A B and :B A: of B A (both there when
    // neither block pair repeats a spin-orbital, a hole word for each spin-orbital that B
    // creates and A annihilates) cancel in the same way: only contractions are added.
    const bool cancel = even && ((p & r) | (q & s)) == 0;
    ReducedTerm t;
    if (reduce_normal_product(p, q, r, s, c, t)) emit_normal_ordered(t, emit, cancel);
    if (reduce_normal_product(r, s, p, q, c, t))
        emit_normal_ordered(t, [&](std::uint64_t cre, std::uint64_t ann, cplx v) { emit(cre, ann, -v); },
                            cancel);
}

// Plain reference: the same product stepped through with reduce_words.
bool reduce_normal_product_plain(std::uint64_t p, std::uint64_t q, std::uint64_t r,
                                 std::uint64_t s, cplx coeff, ReducedTerm& out);

// Normal-ordered form of reduced ladder terms (rows with keep[t] != 0), merged: like terms
// combined, sums with |c| <= tol dropped (tol = 0: exact zeros), in first-seen order.
NormalTerms normal_from_reduced(const ReducedTerm* terms, const std::uint8_t* keep, std::size_t n,
                                double tol);

// a b and [a, b] = a b - b a, normal-ordered and merged (first-seen order), |c| <= tol dropped.
NormalTerms normal_multiply(const NormalTerms& a, const NormalTerms& b, double tol);
NormalTerms normal_commutator(const NormalTerms& a, const NormalTerms& b, double tol);

// Plain reference of normal_commutator: every pair through reduce_normal_product_plain,
// one thread, no screening.
NormalTerms normal_commutator_plain(const NormalTerms& a, const NormalTerms& b, double tol);

// The terms with at most 2 max_body ladder operators.
NormalTerms truncate_body(const NormalTerms& op, int max_body);

// Called after each order n of the series with the number of terms of ad^n and the seconds
// the order took. May throw to stop the series.
using OrderFn = std::function<void(int order, std::size_t terms, double seconds)>;

// sum_{n=1}^{n_comm} (1/n!) ad^n(h), ad(X) = [X, g], each nested commutator pruned at tol
// (|c| <= tol dropped) and capped at max_body before it is weighted and before the next
// order is taken of it; the series stops early when a nested commutator vanishes. The
// weighted orders are summed term by term; the sum is pruned at tol and returned.
NormalTerms bch_series(const NormalTerms& h, const NormalTerms& g, int n_comm,
                       std::optional<int> max_body, double tol, const OrderFn& on_order);

}  // namespace korvel::engine
