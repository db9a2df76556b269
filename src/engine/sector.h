// The matrix of a number-conserving operator in a space of determinants with a fixed
// electron number (optionally also a fixed number of spin-up electrons, an S_z block).
//
// A determinant is a bit string: bit p set when spin-orbital p is occupied, and it stands
// for the state a^dagger_{q1} a^dagger_{q2} ... |0> with q1 < q2 < ... (the Jordan-Wigner
// order): a ladder operator on spin-orbital p picks up (-1) to the number of occupied
// spin-orbitals below p. Spin-orbital 2i is spin up (alpha) and 2i + 1 spin down (beta).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ladder.h"
#include "engine/majorana_op.h"

namespace korvel::engine {

// n choose k, saturating at kCountMax (0 when k < 0 or k > n).
std::uint64_t binomial(int n, int k);

// The determinants of one sector or S_z block, in a fixed order with an O(n_elec) rank.
//  * whole sector: every n_elec-electron bit string of n_spinorb bits, in increasing
//    numeric order (colexicographic order of the occupied sets);
//  * S_z block: n_alpha electrons on the even spin-orbitals and n_beta on the odd ones;
//    the index is rank(alpha string) * (number of beta strings) + rank(beta string).
class DeterminantBasis {
public:
    static DeterminantBasis sector(int n_spinorb, int n_elec);
    static DeterminantBasis sz_block(int n_spinorb, int n_alpha, int n_beta);

    int n_spinorb() const { return n_spinorb_; }
    bool is_block() const { return block_; }
    int n_alpha() const { return n_alpha_; }
    int n_beta() const { return n_beta_; }
    // Number of determinants (saturating).
    std::uint64_t size() const;
    // Every determinant, in index order (size() must fit memory: the caller checks).
    std::vector<std::uint64_t> determinants() const;
    // Index of a determinant of this space.
    std::uint64_t index(std::uint64_t det) const;

private:
    int n_spinorb_ = 0, n_elec_ = 0, n_alpha_ = 0, n_beta_ = 0;
    bool block_ = false;
};

// A normal-ordered term in the form that fills one row of the matrix: the row of
// determinant D holds, when D has every spin-orbital of need_occ occupied and none of
// need_empty, the entry c * (-1)^popcount(D & sign_mask) in the column of D ^ flip.
struct RowTerm {
    std::uint64_t need_occ, need_empty, flip, sign_mask;
    cplx c;
};

// The terms of an operator in row form, for a sector: terms that change the electron
// number have no element in it and are left out, the first of them (with a non-zero
// coefficient) recorded, so that a caller can refuse an operator that is not what a
// sector energy measures.
struct SectorOperator {
    std::vector<RowTerm> terms;   // sorted by need_occ
    std::uint64_t used = 0;       // spin-orbitals the kept terms act on
    bool conserves_sz = true;     // every kept term keeps the number of spin-up electrons
    bool real = true;             // every coefficient real
    std::ptrdiff_t first_number_changing = -1;  // input index of the first such term
};

SectorOperator sector_operator(const ReducedTerm* terms, const std::uint8_t* keep, std::size_t n);

// Compressed sparse rows: row i holds columns indices[indptr[i] .. indptr[i+1]-1], ascending,
// each once, with values data[...] (entries whose terms cancel exactly are left out).
template <typename T>
struct CsrMatrix {
    std::uint64_t dim = 0;
    std::vector<std::int64_t> indptr;
    std::vector<std::int32_t> indices;
    std::vector<T> data;
};

// Largest space the sector matrix is built for (its column indices are 32-bit).
inline constexpr std::uint64_t kMaxSectorDimension = (std::uint64_t{1} << 31) - 1;

// The matrix of `op` in `basis`, rows in parallel. T is double (only when op.real) or cplx.
// The memory for the matrix is counted before it is allocated: MemoryLimitError (a
// std::bad_alloc) naming the size when it does not fit, as for a space beyond
// kMaxSectorDimension.
template <typename T>
CsrMatrix<T> build_sector_matrix(const SectorOperator& op, const DeterminantBasis& basis);

// The same matrix the plain way, as a dense row-major dim x dim array: one determinant and
// one term at a time, each ladder operator of the reduced product applied in turn, right to
// left. The readable statement of the build, kept for the tests.
std::vector<cplx> sector_matrix_plain(const ReducedTerm* terms, const std::uint8_t* keep,
                                      std::size_t n, const DeterminantBasis& basis);

}  // namespace korvel::engine
