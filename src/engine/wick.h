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

// Every function below is a template over the spin-orbital set type S (std::uint64_t, or
// WideSpinSet past 64 spin-orbitals), instantiated for both.

// The coefficient of a reduced product of words (ascending spin-orbitals, see ReducedTerm)
// once the product is rewritten in normal order with the creation set `cre` and the
// annihilation set `ann` (the n words counting in both): +1 or -1. Every pair of creators
// and every pair of annihilators is exchanged once (ascending to descending), and every
// annihilator sits left of each creator on a higher spin-orbital.
template <typename S>
int normal_order_sign(const S& cre, const S& ann) {
    const int m = sets::count(cre), n = sets::count(ann);
    const int parity = (m * (m - 1) / 2 + n * (n - 1) / 2 + sets::pairs_ascending_parity(ann, cre)) & 1;
    return parity ? -1 : 1;
}

// Calls emit(cre, ann, c) for the normal-ordered terms of one reduced term: each hole word
// a a^dagger = 1 - a^dagger a is expanded (2^{holes} terms). Terms are distinct.
// With skip_uncontracted, the term with every hole word taken as -n (the string's own
// normal-ordered product, no contraction) is left out.
template <typename S, typename Emit>
void emit_normal_ordered(const ReducedTermT<S>& t, Emit&& emit, bool skip_uncontracted = false) {
    const cplx base(t.re, t.im);
    S u = t.hole;
    if (skip_uncontracted) {
        if (sets::empty(u)) return;
        u = sets::minus_one(u) & t.hole;
    }
    for (;; u = sets::minus_one(u) & t.hole) {
        const S cre = t.cre | u, ann = t.ann | u;
        const int sign = normal_order_sign(cre, ann) * ((sets::count(u) & 1) ? -1 : 1);
        emit(cre, ann, sign > 0 ? base : -base);
        if (sets::empty(u)) break;
    }
}

namespace detail {
template <typename S>
inline int pairs_within(const S& x) {
    const int k = sets::count(x);
    return k * (k - 1) / 2;
}
// Parity of #{(x in X, y in Y): x > y}: the exchanges between a block X and a later block Y
// of one operator string, both descending.
template <typename S>
inline int crossings(const S& x, const S& y) {
    return sets::pairs_ascending_parity(y, x);
}
}  // namespace detail

// The product of two normal-ordered terms (P, Q) and (R, S), that is the operator string
// a^dagger_P a_Q a^dagger_R a_S, reduced into words per spin-orbital; false when it vanishes.
// Fast bitwise form of reduce_words for this shape of string.
template <typename S>
bool reduce_normal_product(const S& p, const S& q, const S& r, const S& s, cplx coeff,
                           ReducedTermT<S>& out) {
    using detail::crossings;
    using detail::pairs_within;
    // Words per spin-orbital of the string a^dagger_P a_Q a^dagger_R a_S, by the blocks the
    // spin-orbital appears in: P R or Q S without the operator between them vanish; Q R is
    // a hole a a^dagger; P Q, P S, R S and P Q R S reduce to n; P Q R to a^dagger, Q R S to a.
    if (!sets::empty((p & r & ~q) | (q & s & ~r))) return false;
    const S n = (p & q & ~r & ~s) | (p & s & ~q & ~r) | (r & s & ~p & ~q) | (p & q & r & s);
    const S cre_only = (p & ~q & ~r & ~s) | (r & ~p & ~q & ~s) | (p & q & r & ~s);
    const S ann_only = (q & ~p & ~r & ~s) | (s & ~p & ~q & ~r) | (q & r & s & ~p);
    out.cre = cre_only | n;
    out.ann = ann_only | n;
    out.hole = q & r & ~p & ~s;
    const int parity = (pairs_within(p) + pairs_within(q) + pairs_within(r) + pairs_within(s) +
                        crossings(p, q) + crossings(p, r) + crossings(p, s) + crossings(q, r) +
                        crossings(q, s) + crossings(r, s)) & 1;
    out.re = parity ? -coeff.real() : coeff.real();
    out.im = parity ? -coeff.imag() : coeff.imag();
    return true;
}

// The terms of [A, B] for one pair of normal-ordered terms A = c a^dagger_P a_Q and
// B = a^dagger_R a_S (the coefficient c is the product of both): emit(cre, ann, v) for each
// normal-ordered term of A B - B A, the same key possibly more than once.
template <typename S, typename Emit>
void commutator_pair(const S& p, const S& q, const S& r, const S& s, cplx c, Emit&& emit) {
    const bool even = (sets::count(p) + sets::count(q)) % 2 == 0 ||
                      (sets::count(r) + sets::count(s)) % 2 == 0;
    // Without a contraction either way, A B and B A are the same normal-ordered string up to
    // the sign (-1)^{|A||B|}: they cancel unless both terms are odd.
    if (sets::empty((q & r) | (s & p)) && even) return;
    // Otherwise the uncontracted strings :A B: of A B and :B A: of B A (both there when
    // neither block pair repeats a spin-orbital, a hole word for each spin-orbital that B
    // creates and A annihilates) cancel in the same way: only contractions are added.
    const bool cancel = even && sets::empty((p & r) | (q & s));
    ReducedTermT<S> t;
    if (reduce_normal_product(p, q, r, s, c, t)) emit_normal_ordered(t, emit, cancel);
    if (reduce_normal_product(r, s, p, q, c, t))
        emit_normal_ordered(t, [&](const S& cre, const S& ann, cplx v) { emit(cre, ann, -v); }, cancel);
}

// Plain reference: the same product stepped through with reduce_words.
template <typename S>
bool reduce_normal_product_plain(const S& p, const S& q, const S& r, const S& s, cplx coeff,
                                 ReducedTermT<S>& out);

// Normal-ordered form of reduced ladder terms (rows with keep[t] != 0), merged: like terms
// combined, sums with |c| <= tol dropped (tol = 0: exact zeros), in first-seen order.
template <typename S>
NormalTermsT<S> normal_from_reduced(const ReducedTermT<S>* terms, const std::uint8_t* keep,
                                    std::size_t n, double tol);

// a b and [a, b] = a b - b a, normal-ordered and merged (first-seen order), |c| <= tol dropped.
template <typename S>
NormalTermsT<S> normal_multiply(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol);
template <typename S>
NormalTermsT<S> normal_commutator(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol);

// Plain reference of normal_commutator: every pair through reduce_normal_product_plain,
// one thread, no screening.
template <typename S>
NormalTermsT<S> normal_commutator_plain(const NormalTermsT<S>& a, const NormalTermsT<S>& b, double tol);

// The terms with at most 2 max_body ladder operators.
template <typename S>
NormalTermsT<S> truncate_body(const NormalTermsT<S>& op, int max_body);

// Called after each order n of the series with the number of terms of ad^n and the seconds
// the order took. May throw to stop the series.
using OrderFn = std::function<void(int order, std::size_t terms, double seconds)>;

// sum_{n=1}^{n_comm} (1/n!) ad^n(h), ad(X) = [X, g], each nested commutator pruned at tol
// (|c| <= tol dropped) and capped at max_body before it is weighted and before the next
// order is taken of it; the series stops early when a nested commutator vanishes. The
// weighted orders are summed term by term; the sum is pruned at tol and returned.
template <typename S>
NormalTermsT<S> bch_series(const NormalTermsT<S>& h, const NormalTermsT<S>& g, int n_comm,
                           std::optional<int> max_body, double tol, const OrderFn& on_order);

}  // namespace korvel::engine
