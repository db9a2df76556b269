// Values of operators on a Slater determinant |D>, given by its occupied spin-orbitals.
//
// Majorana form: gamma_{2p} gamma_{2p+1} = i (1 - 2 n_p), so a monomial made of complete
// pairs has the value i^{npairs} (-1)^{nocc} (nocc: its pairs on occupied spin-orbitals);
// a monomial holding a lone gamma of some spin-orbital changes that occupation: value 0.
//
// Normal-ordered ladder form: c a^dagger_P a_Q (each block descending) is diagonal only for
// P = Q, and then equals (-1)^{k(k-1)/2} n_{p1} ... n_{pk}, k = |P|.
#pragma once

#include <bit>
#include <complex>
#include <cstdint>
#include <vector>

#include "engine/ladder.h"
#include "engine/majorana_op.h"

namespace korvel::engine {

// Occupation masks of the two limbs: bit 2p of lo for p < 32, bit 2(p - 32) of hi for
// 32 <= p < 64.
struct OccMasks {
    std::uint64_t lo = 0, hi = 0;
    void add(unsigned long long p) {
        if (p < 32) lo |= std::uint64_t{1} << (2 * p);
        else if (p < 64) hi |= std::uint64_t{1} << (2 * (p - 32));
    }
    // The same occupation as a spin-orbital bit set (ladder form).
    std::uint64_t spin_orbitals() const {
        std::uint64_t s = 0;
        for (unsigned p = 0; p < 32; ++p) {
            if ((lo >> (2 * p)) & 1) s |= std::uint64_t{1} << p;
            if ((hi >> (2 * p)) & 1) s |= std::uint64_t{1} << (p + 32);
        }
        return s;
    }
};

// c_k <D| gamma_{S_k} |D> for every monomial: bit kernels, one pass.
inline std::vector<cplx> hf_values(const MajoranaOp& op, OccMasks occ) {
    constexpr std::uint64_t ev = 0x5555555555555555ULL;
    static const cplx phase[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    std::vector<cplx> out(op.size());
    for (std::size_t k = 0; k < op.size(); ++k) {
        const std::uint64_t lo = op.lo[k], hi = op.hi[k];
        const bool paired = ((lo & ev) == ((lo >> 1) & ev)) && ((hi & ev) == ((hi >> 1) & ev));
        if (!paired) {
            out[k] = 0.0;
            continue;
        }
        const int npairs = std::popcount(lo & ev) + std::popcount(hi & ev);
        const int nocc = std::popcount(lo & ev & occ.lo) + std::popcount(hi & ev & occ.hi);
        out[k] = op.c[k] * phase[npairs & 3] * static_cast<double>(1 - 2 * (nocc & 1));
    }
    return out;
}

// Plain statement of hf_values: walk the spin-orbitals of each monomial one by one and
// multiply the pair values i (empty) or -i (occupied).
inline std::vector<cplx> hf_values_plain(const MajoranaOp& op, OccMasks occ) {
    std::vector<cplx> out(op.size());
    for (std::size_t k = 0; k < op.size(); ++k) {
        cplx v = op.c[k];
        for (unsigned p = 0; p < 64; ++p) {
            const std::uint64_t limb = p < 32 ? op.lo[k] : op.hi[k];
            const std::uint64_t om = p < 32 ? occ.lo : occ.hi;
            const unsigned b = 2 * (p % 32);
            const bool g0 = (limb >> b) & 1, g1 = (limb >> (b + 1)) & 1;
            if (g0 != g1) {
                v = 0.0;
                break;
            }
            if (g0) v *= ((om >> b) & 1) ? cplx(0, -1) : cplx(0, 1);
        }
        out[k] = v;
    }
    return out;
}

// <D| sum_k c_k a^dagger_{P_k} a_{Q_k} |D> for normal-ordered ladder terms.
template <typename S>
cplx hf_expectation_normal(const NormalTermsT<S>& t, const S& occ) {
    cplx sum = 0.0;
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (!(t.cre[k] == t.ann[k]) || !sets::empty(t.cre[k] & ~occ)) continue;
        const int m = sets::count(t.cre[k]);
        sum += ((m * (m - 1) / 2) & 1) ? -t.c[k] : t.c[k];
    }
    return sum;
}

}  // namespace korvel::engine
