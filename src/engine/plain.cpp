#include "engine/plain.h"

#include <complex>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvel::engine::plain {

namespace {

using MaskKey = std::pair<std::uint64_t, std::uint64_t>;  // (hi, lo): ascending as 128-bit
using Sums = std::map<MaskKey, cplx>;

bool has_mode(MaskKey m, int j) { return j < 64 ? (m.second >> j) & 1 : (m.first >> (j - 64)) & 1; }
MaskKey with_mode_flipped(MaskKey m, int j) {
    if (j < 64) m.second ^= std::uint64_t{1} << j;
    else m.first ^= std::uint64_t{1} << (j - 64);
    return m;
}

// gamma_A gamma_j = (-1)^(number of modes of A above j) gamma_{A xor {j}}.
double times_mode_sign(MaskKey a, int j) {
    int above = 0;
    for (int q = j + 1; q < kMaxModes; ++q) above += has_mode(a, q);
    return (above % 2) ? -1.0 : 1.0;
}

}  // namespace

MajoranaOp expand(const std::vector<LadderTerm>& terms) {
    const cplx i(0.0, 1.0);
    Sums total;
    for (const LadderTerm& t : terms) {
        Sums product{{MaskKey{0, 0}, t.c}};
        for (std::uint8_t op : t.ops) {
            const int p = op >> 1;
            const bool creation = op & 1;
            // The local factor: gamma_{2p} / 2 and (creation ? -i : +i) gamma_{2p+1} / 2.
            const std::pair<int, cplx> factor[2] = {{2 * p, 0.5}, {2 * p + 1, (creation ? -0.5 : 0.5) * i}};
            Sums next;
            for (const auto& [mask, c] : product)
                for (const auto& [mode, w] : factor)
                    next[with_mode_flipped(mask, mode)] += times_mode_sign(mask, mode) * c * w;
            product = std::move(next);
        }
        for (const auto& [mask, c] : product) total[mask] += c;
    }
    MajoranaOp out;
    for (const auto& [mask, c] : total) {
        require_finite(c, "the Majorana expansion");
        if (c != cplx(0.0, 0.0)) out.push_back({mask.second, mask.first}, c);
    }
    return out;
}

NormalTerms contract(const MajoranaOp& op, int n_spin_orbitals, double tol) {
    const cplx i(0.0, 1.0);
    // One local word: the ladder operators it puts on its spin-orbital (a^dagger, a, or
    // a^dagger a for n; none for the identity), with its weight in the local factor.
    struct Word {
        int n_ops;
        std::uint8_t dagger[2];
        cplx w;
    };
    std::map<std::pair<std::uint64_t, std::uint64_t>, cplx> sums;  // (cre, ann) -> sum
    for (std::size_t k = 0; k < op.size(); ++k) {
        const MaskKey mask{op.hi[k], op.lo[k]};
        // The spin-orbitals of the monomial, increasing, with their local words.
        std::vector<std::pair<int, std::vector<Word>>> factors;
        for (int p = 0; p < kMaxSpinOrbitals; ++p) {
            const bool even = has_mode(mask, 2 * p), odd = has_mode(mask, 2 * p + 1);
            if (!even && !odd) continue;
            if (p >= n_spin_orbitals)
                throw std::invalid_argument("a Majorana monomial acts on spin-orbital " + std::to_string(p) +
                                            ", outside the " + std::to_string(n_spin_orbitals) +
                                            " spin-orbitals of the operator");
            if (even && odd)  // i (1 - 2 n_p)
                factors.push_back({p, {{0, {0, 0}, i}, {2, {1, 0}, -2.0 * i}}});
            else if (even)  // a^dagger_p + a_p
                factors.push_back({p, {{1, {1, 0}, 1.0}, {1, {0, 0}, 1.0}}});
            else  // i a^dagger_p - i a_p
                factors.push_back({p, {{1, {1, 0}, i}, {1, {0, 0}, -i}}});
        }
        // Every choice of one word per spin-orbital.
        const std::size_t choices = std::size_t{1} << factors.size();
        for (std::size_t choice = 0; choice < choices; ++choice) {
            cplx c = op.c[k];
            std::vector<std::pair<int, int>> string;  // (spin-orbital, dagger), left to right
            for (std::size_t f = 0; f < factors.size(); ++f) {
                const Word& w = factors[f].second[(choice >> f) & 1];
                c *= w.w;
                for (int j = 0; j < w.n_ops; ++j) string.push_back({factors[f].first, w.dagger[j]});
            }
            std::uint64_t cre = 0, ann = 0;
            for (const auto& [p, dagger] : string) (dagger ? cre : ann) |= std::uint64_t{1} << p;
            if (std::popcount(cre) != std::popcount(ann)) continue;
            // Normal order: creators, then annihilators, each by descending spin-orbital. The
            // sign is the parity of the pairs that this order puts the other way round.
            const auto rank = [](std::pair<int, int> o) { return o.second ? 64 - o.first : 128 - o.first; };
            int exchanges = 0;
            for (std::size_t a = 0; a < string.size(); ++a)
                for (std::size_t b = a + 1; b < string.size(); ++b) exchanges += rank(string[a]) > rank(string[b]);
            sums[{cre, ann}] += (exchanges % 2) ? -c : c;
        }
    }
    NormalTerms out;
    for (const auto& [key, c] : sums) {
        require_finite(c, "the normal-ordered ladder form");
        if (!survives(c, tol)) continue;
        out.cre.push_back(key.first);
        out.ann.push_back(key.second);
        out.c.push_back(c);
    }
    return out;
}

}  // namespace korvel::engine::plain
