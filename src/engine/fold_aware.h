// The coupled-cluster similarity transform and the active-space fold in one pass.
//
// The fold projects every external spin-orbital (outside the active range) onto its
// occupation in the reference determinant. A normal-ordered term c a^dagger_P a_Q survives
// it exactly when each of its external operators sits in a creation/annihilation pair on an
// occupied spin-orbital (n_p -> 1, a sign for bringing the pair together); a lone external
// operator, or any operator on an empty external spin-orbital, gives 0.
//
// For an excitation generator T (creators on spin-orbitals empty in the reference,
// annihilators on occupied ones, as the CCSD T1 and T2 are), a nested commutator [X, T]
// contracts X's annihilators with T's creators and X's creators with T's annihilators, and
// adds T's uncontracted operators. So, for a term X of the series:
//   - a creator on an empty external spin-orbital, or an annihilator on an occupied
//     external one without its creator, can never be removed: no later order of X reaches
//     the fold ("dead");
//   - an annihilator on an empty external spin-orbital (a "virtual defect") is removed only
//     by contraction with a creator of T on it, and an unpaired creator on an occupied
//     external spin-orbital (a "core defect") only by an annihilator of T on it; one
//     commutator with one term t of T removes at most t's creators on empty external and
//     its annihilators on occupied external spin-orbitals.
// A term whose defects outnumber what the remaining orders can remove cannot reach the
// fold either. Both truncations of the series (the body cap and the 1e-12 pruning) act
// term by term, so leaving such terms out changes nothing that does reach it: the result is
// the very operator that transforming the whole space and folding it gives. Dead products
// are never formed: T is indexed by the external operators each of its terms must
// contract, and each term of the series meets only the terms of T that can repair it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/ladder.h"
#include "engine/wick.h"

namespace korvel::engine {

// Every type and function below is a template over the spin-orbital set type S
// (std::uint64_t, or WideSpinSet past 64 spin-orbitals), instantiated for both.

// The partition of the spin-orbitals for the fold: active ones are kept (spin-orbital
// first_active + k becomes k); every other one is external, occupied or empty in the
// reference determinant.
template <typename S>
struct FoldSpaceT {
    S active{};
    S ext_occ{};
    S ext_empty{};
    int first_active = 0;

    // Active spin-orbitals 2 n_core .. 2 (n_core + n_act) - 1 (clamped to the spin-orbitals
    // S holds); `occupied` holds the reference determinant's spin-orbitals.
    static FoldSpaceT of(std::int64_t n_core, std::int64_t n_act, const S& occupied);
};
using FoldSpace = FoldSpaceT<std::uint64_t>;

// What keeps a normal-ordered term a^dagger_P a_Q from surviving the fold (see above).
struct FoldDefects {
    bool dead = false;
    int virt = 0;  // annihilators on empty external spin-orbitals
    int core = 0;  // unpaired creators on occupied external spin-orbitals

    bool none() const { return !dead && virt == 0 && core == 0; }
};

template <typename S>
FoldDefects fold_defects(const FoldSpaceT<S>& s, const S& cre, const S& ann) {
    FoldDefects d;
    d.dead = !sets::empty(cre & s.ext_empty) || !sets::empty(ann & s.ext_occ & ~cre);
    d.virt = sets::count(ann & s.ext_empty);
    d.core = sets::count(cre & s.ext_occ & ~ann);
    return d;
}

// The fold of one normal-ordered term: false when it vanishes; otherwise its key on the
// active spin-orbitals and the sign (+1 or -1) of bringing each occupied external pair
// a^dagger_c a_c together (n_c = 1 then).
template <typename S>
bool fold_term(const FoldSpaceT<S>& s, const S& cre, const S& ann, S& active_cre, S& active_ann,
               int& sign);

// The fold of an operator of normal-ordered terms, merged, sums with |c| <= tol dropped.
template <typename S>
NormalTermsT<S> fold_normal(const NormalTermsT<S>& op, const FoldSpaceT<S>& s, double tol);

// What the fold-aware transform gives.
template <typename S>
struct FoldedSeriesT {
    // P (h + sum_{n=1}^{n_comm} ad^n(h) / n!) P on the active spin-orbitals: the final
    // effective operator.
    NormalTermsT<S> effective;
    // The same truncated after order k, for k = 0 .. the last order computed (n_comm, or
    // earlier where no term that can reach the fold is left); the last one is `effective`.
    std::vector<NormalTermsT<S>> partial;
    // Per order k computed: the 1-norm of the folded terms that the body cap removed at
    // that order (weighted 1/k!); zero without a cap.
    std::vector<double> cap_dropped_l1;
    // Per order 1 .. the last computed: terms carried to the next order (those that can
    // still reach the fold) and terms formed in all (before the cap).
    std::vector<std::size_t> kept, formed;
    // Whether the generator was an excitation operator, so that the series was screened;
    // otherwise every term was carried (the whole-space transform, folded at the end).
    bool screened = false;
};

// The truncated series of the similarity transform e^{-g} h e^{g} of bch_series (each
// nested commutator pruned at tol and capped at max_body before it is weighted and carried;
// h itself capped in the sum, as similarity_transform does), folded onto `space`, carrying
// at each order only the terms that can still reach the fold when g is an excitation
// operator of the reference determinant `occupied`. on_order(n, kept terms, seconds) after
// each order.
template <typename S>
FoldedSeriesT<S> fold_aware_series(const NormalTermsT<S>& h, const NormalTermsT<S>& g,
                                   const FoldSpaceT<S>& space, const S& occupied, int n_comm,
                                   std::optional<int> max_body, double tol, const OrderFn& on_order);

// Plain statement of the same: the whole-space series of bch_series (every term carried,
// one thread), h added, then fold_normal. The tests hold fold_aware_series to it.
template <typename S>
NormalTermsT<S> fold_aware_series_plain(const NormalTermsT<S>& h, const NormalTermsT<S>& g,
                                        const FoldSpaceT<S>& space, int n_comm,
                                        std::optional<int> max_body, double tol);

}  // namespace korvel::engine
