#include "engine/fold.h"

#include <algorithm>

namespace korvel::engine {

MajoranaOp fold_onto_reference(const MajoranaOp& op, std::int64_t n_core, std::int64_t n_act,
                               std::uint64_t occupied, double tol) {
    // Clamped first, so that no product can overflow: beyond 32 spatial orbitals every
    // spin-orbital the engine holds is already covered.
    const std::int64_t core = std::clamp<std::int64_t>(n_core, 0, 32);
    const std::int64_t act = std::clamp<std::int64_t>(n_act, 0, 32);
    const std::int64_t core_so = 2 * core;
    const std::int64_t end_so = std::min<std::int64_t>(2 * (core + act), 64);
    auto low_bits = [](std::int64_t k) { return k >= 64 ? ~0ULL : (std::uint64_t{1} << k) - 1; };
    const std::uint64_t active = low_bits(end_so) & ~low_bits(core_so);
    const std::uint64_t external = ~active;
    MajoranaOp out;
    out.reserve(op.size());
    for (std::size_t k = 0; k < op.size(); ++k) {
        const Mask m = op.mask(k);
        if (single_orbitals(m) & external) continue;
        const std::uint64_t ext_pairs = pair_orbitals(m) & external;
        const int n_pairs = std::popcount(ext_pairs);
        const int n_occ = std::popcount(ext_pairs & occupied);
        // i^n_pairs (-1)^n_occ
        static constexpr cplx kIPow[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
        cplx v = op.c[k] * kIPow[n_pairs & 3];
        if (n_occ & 1) v = -v;
        const Mask kept = m & both_modes(active);
        out.push_back(shift_down(kept, static_cast<int>(2 * core_so)), v);
    }
    return merge(out, tol);
}

}  // namespace korvel::engine
