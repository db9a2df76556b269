// Sweep schedule of a DMRG run at one bond dimension.
//
// The noise added to the two-site density matrix lets the first sweeps reach
// quantum-number sectors the initial state misses; it is lowered in two steps and then
// switched off so that the last sweeps converge the variational energy at that bond
// dimension without perturbation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace korvel::engine {

// Noise per sweep for a nominal sweep count n_sweeps: w = max(1, n_sweeps / 4) sweeps
// at 1e-4, w sweeps at 1e-5, then max(1, n_sweeps - 2w) noise-free sweeps. Never
// shorter than three sweeps; 16 gives 4 x 1e-4, 4 x 1e-5, 8 x 0.
inline std::vector<double> dmrg_noise_schedule(long long n_sweeps) {
    // Any count below four gives w = 1 and one noise-free sweep; clamping negatives to
    // zero keeps the arithmetic below free of overflow.
    const long long n = std::max<long long>(0, n_sweeps);
    const long long w = std::max<long long>(1, n / 4);
    const long long quiet = std::max<long long>(1, n - 2 * w);
    std::vector<double> noises;
    noises.reserve(static_cast<std::size_t>(2 * w + quiet));
    noises.insert(noises.end(), static_cast<std::size_t>(w), 1e-4);
    noises.insert(noises.end(), static_cast<std::size_t>(w), 1e-5);
    noises.insert(noises.end(), static_cast<std::size_t>(quiet), 0.0);
    return noises;
}

}  // namespace korvel::engine
