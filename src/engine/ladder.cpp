#include "engine/ladder.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/key_index.h"
#include "engine/memory.h"
#include "engine/task_group.h"


namespace korvel::engine {

namespace {


// Single-mode words: state after multiplying on the right by a^dagger (column 1) or a
// (column 0). States: 0 identity, 1 a^dagger, 2 a, 3 n, 4 h, 5 zero.
constexpr int kZero = 5;
constexpr int kWordStep[6][2] = {
    {2, 1},          // 1 a = a, 1 a^dagger = a^dagger
    {3, kZero},      // a^dagger a = n, a^dagger a^dagger = 0
    {kZero, 4},      // a a = 0, a a^dagger = h
    {kZero, 1},      // n a = 0, n a^dagger = a^dagger
    {2, kZero},      // h a = a, h a^dagger = 0
    {kZero, kZero},
};

[[noreturn]] void index_beyond(int index) {
    throw std::invalid_argument("spin-orbital index " + std::to_string(index) +
                                " is beyond the " + std::to_string(kMaxSpinOrbitals) +
                                " spin-orbitals (0 to " + std::to_string(kMaxSpinOrbitals - 1) +
                                ") the Majorana engine supports");
}

// Reorders the term by spin-orbital (stable, so each spin-orbital's word keeps its order;
// every exchange of two ladder operators on different spin-orbitals flips the sign) and
// reduces every word. Returns false when the term vanishes.
bool reduce_term(const std::uint8_t* ops, std::size_t k, cplx coeff, std::vector<std::uint8_t>& heap,
                 ReducedTerm& out) {
    // Short terms (every molecular Hamiltonian term) are sorted on the stack.
    std::uint8_t local[16];
    std::uint8_t* buf = local;
    if (k > sizeof local) {
        heap.assign(ops, ops + k);
        buf = heap.data();
    } else {
        std::copy(ops, ops + k, local);
    }
    bool negative = false;
    for (std::size_t i = 1; i < k; ++i) {
        std::uint8_t v = buf[i];
        std::size_t j = i;
        while (j > 0 && (buf[j - 1] >> 1) > (v >> 1)) {
            buf[j] = buf[j - 1];
            --j;
            negative = !negative;
        }
        buf[j] = v;
    }
    out.cre = out.ann = out.hole = 0;
    std::size_t i = 0;
    while (i < k) {
        const int p = buf[i] >> 1;
        if (p >= kMaxSpinOrbitals) index_beyond(p);
        int state = 0;
        for (; i < k && (buf[i] >> 1) == p; ++i) state = kWordStep[state][buf[i] & 1];
        const std::uint64_t bit = std::uint64_t{1} << p;
        switch (state) {
            case 1: out.cre |= bit; break;
            case 2: out.ann |= bit; break;
            case 3: out.cre |= bit; out.ann |= bit; break;
            case 4: out.hole |= bit; break;
            default: return false;
        }
    }
    const cplx c = negative ? -coeff : coeff;
    out.re = c.real();
    out.im = c.imag();
    return true;
}

// The local Majorana factor of spin-orbital p in an orbital product:
//   a^dagger_p = (gamma_{2p} - i gamma_{2p+1}) / 2,   a_p = (gamma_{2p} + i gamma_{2p+1}) / 2,
//   n_p = (1 + i gamma_{2p} gamma_{2p+1}) / 2,        h_p = (1 - i gamma_{2p} gamma_{2p+1}) / 2,
// as two components: modes `first` with weight w0 and modes `second` with weight w1
// (within limb p / 32). Which modes the components hold depends only on whether p carries
// a single ladder operator or an (n, h) pair factor.
struct LocalFactor {
    int limb;
    std::uint64_t first, second;
    cplx w0, w1;
};

inline LocalFactor local_factor(const ReducedTerm& t, int p) {
    const std::uint64_t bit = std::uint64_t{1} << p;
    const int shift = 2 * (p & 31);
    const cplx half(0.5, 0.0), ihalf(0.0, 0.5);
    LocalFactor f{p >> 5, 0, 0, half, half};
    if ((t.cre & bit) && (t.ann & bit)) {  // n
        f.second = std::uint64_t{3} << shift, f.w1 = ihalf;
    } else if (t.hole & bit) {  // h
        f.second = std::uint64_t{3} << shift, f.w1 = -ihalf;
    } else {  // a^dagger or a
        f.first = std::uint64_t{1} << shift, f.second = std::uint64_t{2} << shift;
        f.w1 = (t.cre & bit) ? -ihalf : ihalf;
    }
    return f;
}

// (-1)^{|r & minus|} for rows r and sign patterns `minus` of up to four spin-orbitals.
struct RowSigns {
    double s[16][16];
    constexpr RowSigns() : s{} {
        for (int m = 0; m < 16; ++m)
            for (int r = 0; r < 16; ++r) s[m][r] = (std::popcount(unsigned(m & r)) & 1) ? -1.0 : 1.0;
    }
};
constexpr RowSigns kRowSign{};

// Spin-orbitals with a single ladder operator, and those with an (n, h) pair factor.
inline std::uint64_t single_of(const ReducedTerm& t) { return t.cre ^ t.ann; }
inline std::uint64_t paired_of(const ReducedTerm& t) { return (t.cre & t.ann) | t.hole; }

// n choose k, saturating.
std::uint64_t binomial(int n, int k) {
    if (k < 0 || k > n) return 0;
    k = std::min(k, n - k);
    unsigned __int128 r = 1;
    for (int j = 1; j <= k; ++j) {
        r = r * static_cast<unsigned>(n - k + j) / static_cast<unsigned>(j);
        if (r > kCountMax) return kCountMax;
    }
    return static_cast<std::uint64_t>(r);
}

// (re, im) times i^k, exactly: each part moves and possibly changes sign (multiplying by
// -1 is exact), without a branch on k.
inline void rotate(double re, double im, int k, double& out_re, double& out_im) {
    static constexpr double kReSign[4] = {1.0, -1.0, -1.0, 1.0};
    static constexpr double kImSign[4] = {1.0, 1.0, -1.0, -1.0};
    const double parts[2] = {re, im};
    k &= 3;
    out_re = kReSign[k] * parts[k & 1];
    out_im = kImSign[k] * parts[(k + 1) & 1];
}

// survives() for a value given by its parts.
inline bool survives_parts(double re, double im, double tol) {
    if (tol <= 0) return tol < 0 || re != 0.0 || im != 0.0;
    return re * re + im * im > tol * tol;
}

// Scatters the low bits of `local` onto the positions listed in `pos`.
inline std::uint64_t deposit(std::uint64_t local, const int* pos) {
    std::uint64_t r = 0;
    for (; local; local &= local - 1) r |= std::uint64_t{1} << pos[std::countr_zero(local)];
    return r;
}

// reduce_term for a term whose ladder operators all act on different spin-orbitals (every
// term of a normal-ordered Hamiltonian): each word is a single operator and the sign is the
// parity of the exchanges that sort the operators by spin-orbital. Returns false, with `out`
// unspecified, when a spin-orbital repeats.
inline bool reduce_distinct(const std::uint8_t* ops, std::size_t k, cplx coeff, ReducedTerm& out) {
    std::uint64_t seen = 0, cre = 0;
    int exchanges = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const int p = ops[i] >> 1;
        if (p >= kMaxSpinOrbitals) index_beyond(p);
        const std::uint64_t bit = std::uint64_t{1} << p;
        if (seen & bit) return false;
        exchanges += std::popcount(seen & ~((bit << 1) - 1));
        seen |= bit;
        cre |= bit & (std::uint64_t{0} - (ops[i] & 1u));
    }
    out.cre = cre;
    out.ann = seen & ~cre;
    out.hole = 0;
    const cplx c = (exchanges & 1) ? -coeff : coeff;
    out.re = c.real();
    out.im = c.imag();
    return true;
}

// Operators are split into parts that share no monomial and no ladder term: every monomial
// a product expands onto has the product's single spin-orbitals, and every term a monomial
// contracts to has the monomial's, so splitting by the single spin-orbitals splits every sum
// cleanly and the parts can be worked on independently. The number of parts is fixed, so
// results and their order do not depend on the number of threads.
constexpr int kPartBits = 3;
constexpr unsigned kParts = 1u << kPartBits;
static_assert(kParts == kContractionPieces, "the contraction hands out one piece per part");
constexpr std::uint8_t kNoPart = 0xff;
inline std::uint8_t part_of(std::uint64_t single) {
    return static_cast<std::uint8_t>((single * 0x9E3779B97F4A7C15ULL) >> (64 - kPartBits));
}

// Below this many rows an operator is one part, worked on by one thread.
constexpr std::size_t kSplitRows = 2048;

// Rows 0..n-1 with part[k] != kNoPart listed part by part, in input order within a part:
// part q is idx[start[q]] .. idx[start[q+1] - 1].
struct PartLists {
    std::vector<std::uint32_t> idx;
    std::size_t start[kParts + 1] = {};
};

PartLists list_parts(const std::vector<std::uint8_t>& part) {
    PartLists l;
    for (std::uint8_t q : part)
        if (q != kNoPart) ++l.start[q + 1];
    for (unsigned q = 0; q < kParts; ++q) l.start[q + 1] += l.start[q];
    l.idx.resize(l.start[kParts]);
    std::size_t next[kParts];
    std::copy(l.start, l.start + kParts, next);
    for (std::size_t k = 0; k < part.size(); ++k)
        if (part[k] != kNoPart) l.idx[next[part[k]]++] = static_cast<std::uint32_t>(k);
    return l;
}

// Runs work(q) for every part q, on several threads when `parallel`; an exception thrown by
// any part is rethrown here, after all parts have stopped.
template <typename Work>
void for_each_part(bool parallel, Work work) {
    TaskGroup group(kParts, [&](std::size_t q) { work(static_cast<unsigned>(q)); }, parallel);
    group.wait();
}

// Which groups share their single spin-orbitals with another group. Groups of different
// single spin-orbitals never meet on a monomial or a ladder term, so the rows of a group
// that is alone with its single spin-orbitals are final as they are, and only the others
// need summing across groups.
std::vector<std::uint8_t> shared_singles(const std::vector<std::uint64_t>& single) {
    const std::size_t ng = single.size();
    KeyIndex families(ng / 2 + 1);
    std::vector<std::uint32_t> family(ng), count;
    count.reserve(ng / 2 + 1);
    for (std::size_t g = 0; g < ng; ++g) {
        const std::size_t f = families.insert(single[g], 0);
        if (f == count.size()) count.push_back(0);
        ++count[f];
        family[g] = static_cast<std::uint32_t>(f);
    }
    std::vector<std::uint8_t> shared(ng);
    for (std::size_t g = 0; g < ng; ++g) shared[g] = count[family[g]] > 1;
    return shared;
}

// The Majorana rows of products that share no monomial with any other part: products are
// grouped by their (single, paired) spin-orbitals, each group is summed in one dense block of
// 2^k row sums, and the rows are summed per mask in the order they arise, then pruned. The
// rows of groups alone with their single spin-orbitals come first, then the summed ones.
MajoranaOp expand_part(const ReducedTerm* prod, const std::uint32_t* idx,
                       std::size_t m, double tol) {
    if (m == 0) return {};
    KeyIndex groups(m / 2 + 1);
    BufferVector<std::uint32_t> gid(m);
    std::vector<std::uint32_t> head;
    std::vector<std::uint64_t> group_single;
    head.reserve(m / 2 + 1);
    group_single.reserve(m / 2 + 1);
    for (std::size_t i = 0; i < m; ++i) {
        const ReducedTerm& p = prod[idx[i]];
        const std::uint64_t single = single_of(p);
        const std::size_t id = groups.insert(single, paired_of(p));
        if (id == head.size()) {
            head.push_back(idx[i]);
            group_single.push_back(single);
        }
        gid[i] = static_cast<std::uint32_t>(id);
    }
    const std::size_t ng = head.size();
    const std::vector<std::uint8_t> shared = shared_singles(group_single);
    std::vector<std::size_t> offset(ng + 1);
    std::uint64_t total = 0, widest = 1, summed = 0;
    for (std::size_t g = 0; g < ng; ++g) {
        offset[g] = static_cast<std::size_t>(total);
        const std::uint64_t rows = sat_pow2(std::popcount(prod[head[g]].orbitals()));
        total = sat_add(total, rows);
        widest = std::max(widest, rows);
        if (shared[g]) summed = sat_add(summed, rows);
    }
    // The row sums and one group's masks, then the distinct rows with their sums.
    require_memory(sat_add(total, widest),
                   2 * sizeof(double) + 2 * (2 * sizeof(std::uint64_t) + sizeof(cplx)),
                   "the Majorana expansion");
    offset[ng] = static_cast<std::size_t>(total);
    std::vector<double> sum_re(offset[ng]), sum_im(offset[ng]);
    // Row r takes the second component of the j-th spin-orbital (ascending) when bit j of r
    // is set; every first component weighs 1/2 and every second one +i/2 or -i/2 (-i/2 for
    // a^dagger and h, +i/2 for a and n). A member's weight on row r is therefore
    // coeff 2^-k i^{|r|} (-1)^{|r & minus|}, with `minus` its local spin-orbitals of weight
    // -i/2: the signed coefficients are summed over the group in input order, then scaled
    // and rotated once (both exact, so the sums equal those of the scaled, rotated weights;
    // adding +0 keeps zero parts positive, as summing from zero does).
    for (std::size_t i = 0; i < m; ++i) {
        const ReducedTerm& t = prod[idx[i]];
        const std::size_t g = gid[i];
        const std::uint64_t neg = (t.cre & ~t.ann) | t.hole;
        std::uint64_t minus = 0;
        int j = 0;
        for (std::uint64_t rest = t.orbitals(); rest; rest &= rest - 1, ++j)
            minus |= ((neg >> std::countr_zero(rest)) & 1) << j;
        const double vr = t.re, vi = t.im;
        const std::size_t rows = offset[g + 1] - offset[g];
        double* re = sum_re.data() + offset[g];
        double* im = sum_im.data() + offset[g];
        if (rows <= 16) {
            const double* sign = kRowSign.s[minus];
            for (std::size_t r = 0; r < rows; ++r) re[r] += sign[r] * vr;
            // A real coefficient adds only zeros to the imaginary sums, which leaves them as
            // they are (they start at +0).
            if (vi != 0.0)
                for (std::size_t r = 0; r < rows; ++r) im[r] += sign[r] * vi;
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                // +-1 without a branch (the sign pattern is data-dependent).
                const double sign =
                    1.0 - 2.0 * static_cast<double>(std::popcount(static_cast<std::uint64_t>(r) & minus) & 1);
                re[r] += sign * vr;
                im[r] += sign * vi;
            }
        }
    }
    std::vector<std::uint64_t> lo(static_cast<std::size_t>(widest)), hi(lo.size());
    KeySum sums(static_cast<std::size_t>(summed) / 2 + 1);
    MajoranaOp out;
    out.reserve(static_cast<std::size_t>(total - summed) / 2 + 1);
    for (std::size_t g = 0; g < ng; ++g) {
        const ReducedTerm& h = prod[head[g]];
        // Masks: the same for every product of the group.
        lo[0] = hi[0] = 0;
        std::size_t rows = 1;
        for (std::uint64_t rest = h.orbitals(); rest; rest &= rest - 1) {
            const LocalFactor f = local_factor(h, std::countr_zero(rest));
            std::uint64_t* limb = f.limb == 0 ? lo.data() : hi.data();
            for (std::size_t r = 0; r < rows; ++r) {
                lo[rows + r] = lo[r];
                hi[rows + r] = hi[r];
                limb[rows + r] |= f.second;
                limb[r] |= f.first;
            }
            rows *= 2;
        }
        const double scale = std::ldexp(1.0, -std::popcount(h.orbitals()));
        const double* re = sum_re.data() + offset[g];
        const double* im = sum_im.data() + offset[g];
        const bool alone = !shared[g];
        for (std::size_t r = 0; r < rows; ++r) {
            // A row whose group sum is exactly zero adds nothing to its mask's sum.
            if (re[r] == 0.0 && im[r] == 0.0) continue;
            double vr, vi;
            rotate(re[r] * scale, im[r] * scale, std::popcount(static_cast<std::uint64_t>(r)), vr, vi);
            if (!alone) sums.add(lo[r], hi[r], vr, vi);
            else if (survives_parts(vr, vi, tol)) out.push_back({lo[r], hi[r]}, cplx(vr + 0.0, vi + 0.0));
        }
    }
    for (std::size_t id = 0; id < sums.size(); ++id) {
        const cplx v = sums.sum(id);
        if (survives(v, tol)) out.push_back({sums.key_a(id), sums.key_b(id)}, cplx(v.real() + 0.0, v.imag() + 0.0));
    }
    return out;
}

// The number-conserving ladder terms of monomials that share no term with any other part.
// Rows are grouped by their single and paired spin-orbitals: within one group the monomials
// differ only in which Majorana of each single spin-orbital they hold, and all of them feed
// the same ladder terms, so each group is contracted once. The terms of groups alone with
// their single spin-orbitals come first, then the terms combined across groups.
void contract_part(const MajoranaOp& op, const std::uint32_t* idx, std::size_t m, double tol,
                   NormalTerms& out) {
    if (m == 0) return;
    // The members' single, paired and second-mode (gamma_{2p+1} on a single) spin-orbitals,
    // by their place i in the part (row idx[i] of the operator).
    BufferVector<std::uint64_t> key_single(m), key_paired(m), key_second(m);
    for (std::size_t i = 0; i < m; ++i) {
        const Mask mask = op.mask(idx[i]);
        // Spin-orbitals holding gamma_{2p} and those holding gamma_{2p+1}.
        const std::uint64_t even = bits::pack_even(mask.lo) | (bits::pack_even(mask.hi) << 32);
        const std::uint64_t second = second_mode_orbitals(mask);
        key_single[i] = even ^ second;
        key_paired[i] = even & second;
        key_second[i] = second & key_single[i];
    }
    KeyIndex index(m / 2 + 1);
    BufferVector<std::uint32_t> gid(m);
    std::vector<std::uint32_t> head;
    std::vector<std::uint64_t> group_single;
    head.reserve(m / 2 + 1);
    group_single.reserve(m / 2 + 1);
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t id = index.insert(key_single[i], key_paired[i]);
        if (id == head.size()) {
            head.push_back(static_cast<std::uint32_t>(i));
            group_single.push_back(key_single[i]);
        }
        gid[i] = static_cast<std::uint32_t>(id);
    }
    const std::size_t ng = head.size();
    const std::vector<std::uint8_t> shared = shared_singles(group_single);
    // Members listed group by group, in input order within a group.
    std::vector<std::uint32_t> start(ng + 1, 0);
    BufferVector<std::uint32_t> order(m);
    for (std::size_t i = 0; i < m; ++i) ++start[gid[i] + 1];
    for (std::size_t g = 0; g < ng; ++g) start[g + 1] += start[g];
    {
        std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < m; ++i) order[next[gid[i]]++] = static_cast<std::uint32_t>(i);
    }
    std::uint64_t total = 0, summed = 0;
    for (std::size_t g = 0; g < ng; ++g) {
        const int single = std::popcount(key_single[head[g]]);
        const std::uint64_t items = sat_mul(binomial(single, single / 2),
                                            sat_pow2(std::popcount(key_paired[head[g]])));
        total = sat_add(total, items);
        if (shared[g]) summed = sat_add(summed, items);
    }
    require_memory(total, 2 * (2 * sizeof(std::uint64_t) + sizeof(cplx)) + 2 * sizeof(std::uint32_t),
                   "the normal-ordered ladder form");
    KeySum sums(static_cast<std::size_t>(summed) / 2 + 1);
    const std::size_t direct = static_cast<std::size_t>(total - summed);
    out.cre.reserve(direct);
    out.ann.reserve(direct);
    out.c.reserve(direct);

    // 2^r for r chosen n_p (each carries -2 from i (1 - 2 n_p)).
    double pow2[65];
    for (int r = 0; r <= 64; ++r) pow2[r] = std::ldexp(1.0, r);
    // Which Majorana each member of a group holds on the single spin-orbitals, and its
    // coefficient times i^-(number of gamma_{2p+1} it holds there).
    std::vector<std::uint64_t> second;
    std::vector<double> d_re, d_im;
    for (std::size_t g = 0; g < ng; ++g) {
        // gamma_S is the product over spin-orbitals, in increasing order, of its local
        // factors: a single gamma_{2p} = a^dagger + a or gamma_{2p+1} = i (a^dagger - a), or
        // the pair gamma_{2p} gamma_{2p+1} = i (1 - 2 n_p). The even pair factors commute
        // with everything else; the single ladder operators, in increasing order, are
        // brought into creation-then-annihilation order, each block descending, and the
        // chosen n_p join both blocks.
        const std::uint64_t odd = key_single[head[g]], pairs = key_paired[head[g]];
        int pos[64];
        int n_odd = 0;
        for (std::uint64_t r = odd; r; r &= r - 1) pos[n_odd++] = std::countr_zero(r);
        const int half = n_odd / 2;
        const int n_pairs = std::popcount(pairs);
        const std::size_t members = start[g + 1] - start[g];
        second.resize(members);
        d_re.resize(members);
        d_im.resize(members);
        for (std::size_t i = 0; i < members; ++i) {
            const std::uint32_t member = order[start[g] + i];
            const std::uint32_t row = idx[member];
            second[i] = key_second[member];
            // gamma_{2p+1} contributes +i for a^dagger and -i for a: a member holding it on
            // the spin-orbitals `second` weighs i^{|second & cre| - |second & ann|}
            // = i^-|second| (-1)^{|second & cre|} on the term with creators `cre`.
            rotate(op.c[row].real(), op.c[row].imag(), 4 - (std::popcount(second[i]) & 3), d_re[i],
                   d_im[i]);
        }
        const bool alone = !shared[g];
        const std::uint64_t limit = n_odd >= 64 ? ~0ULL : (std::uint64_t{1} << n_odd);
        // Members with real weights add only zeros to the imaginary sum, which leaves it +0.
        bool real_members = true;
        for (std::size_t i = 0; i < members; ++i) real_members &= d_im[i] == 0.0;
        std::uint64_t local = half == 0 ? 0 : (std::uint64_t{1} << half) - 1;
        while (true) {
            const std::uint64_t oc = deposit(local, pos), oa = odd & ~oc;
            double sr = 0.0, si = 0.0;
            if (real_members) {
                for (std::size_t i = 0; i < members; ++i)
                    sr += (1.0 - 2.0 * static_cast<double>(std::popcount(second[i] & oc) & 1)) * d_re[i];
            } else {
                for (std::size_t i = 0; i < members; ++i) {
                    const double sign = 1.0 - 2.0 * static_cast<double>(std::popcount(second[i] & oc) & 1);
                    sr += sign * d_re[i];
                    si += sign * d_im[i];
                }
            }
            // Times i^{|pairs|}, exactly.
            double odd_re, odd_im;
            rotate(sr, si, n_pairs, odd_re, odd_im);
            const int odd_parity = bits::pairs_ascending_parity(oa, oc);
            std::uint64_t nsub = 0;
            do {
                const int r = std::popcount(nsub);
                const int parity = (odd_parity + r * (r - 1) / 2 + r * half +
                                    bits::pairs_ascending_parity(nsub, odd)) & 1;
                const double scale = ((r + parity) & 1) ? -pow2[r] : pow2[r];
                const double vr = scale * odd_re, vi = scale * odd_im;
                if (!alone) {
                    sums.add(oc | nsub, oa | nsub, vr, vi);
                } else if (survives_parts(vr, vi, tol)) {
                    out.cre.push_back(oc | nsub);
                    out.ann.push_back(oa | nsub);
                    out.c.push_back(cplx(vr + 0.0, vi + 0.0));
                }
                nsub = (nsub - pairs) & pairs;
            } while (nsub != 0);
            if (half == 0) break;
            // Next subset of the same size (Gosper's hack).
            const std::uint64_t lowest = local & (~local + 1);
            const std::uint64_t ripple = local + lowest;
            local = (((ripple ^ local) >> 2) >> std::countr_zero(lowest)) | ripple;
            if (local >= limit || ripple == 0) break;
        }
    }
    for (std::size_t id = 0; id < sums.size(); ++id) {
        if (!survives(sums.sum(id), tol)) continue;
        out.cre.push_back(sums.key_a(id));
        out.ann.push_back(sums.key_b(id));
        const cplx v = sums.sum(id);
        out.c.push_back(cplx(v.real() + 0.0, v.imag() + 0.0));
    }
}

template <typename T>
void append_to(std::vector<T>& acc, const std::vector<T>& part) {
    acc.insert(acc.end(), part.begin(), part.end());
}

}  // namespace

bool reduce_ladder_term(const std::uint8_t* ops, std::size_t k, cplx coeff, ReducedTerm& out) {
    if (coeff == cplx(0.0, 0.0)) return false;
    if (reduce_distinct(ops, k, coeff, out)) return true;
    std::vector<std::uint8_t> heap;
    return reduce_term(ops, k, coeff, heap, out);
}

MajoranaOp expand_ladder(const LadderTerms& terms, double tol) {
    const std::size_t n = terms.size();
    require_memory(n, sizeof(ReducedTerm) + 1, "the reduced ladder terms");
    std::unique_ptr<ReducedTerm[]> prod(new ReducedTerm[n]);
    std::vector<std::uint8_t> keep(n);
    std::vector<std::uint8_t> buf;
    for (std::size_t t = 0; t < n; ++t) {
        const cplx c = terms.coeff[t];
        if (c == cplx(0.0, 0.0)) continue;
        const std::uint8_t* ops = terms.ops.data() + terms.offset[t];
        const std::size_t k = terms.offset[t + 1] - terms.offset[t];
        keep[t] = reduce_distinct(ops, k, c, prod[t]) || reduce_term(ops, k, c, buf, prod[t]);
    }
    return expand_reduced(prod.get(), keep.data(), n, tol);
}

MajoranaOp expand_reduced(const ReducedTerm* prod, const std::uint8_t* keep, std::size_t n, double tol) {
    require_memory(n, 1 + sizeof(std::uint32_t), "the parts of the reduced ladder terms");
    const bool split = n >= kSplitRows;
    std::vector<std::uint8_t> part(n, kNoPart);
    for (std::size_t t = 0; t < n; ++t)
        if (keep[t]) part[t] = split ? part_of(single_of(prod[t])) : 0;
    const PartLists lists = list_parts(part);
    MajoranaOp parts[kParts];
    for_each_part(split, [&](unsigned q) {
        parts[q] = expand_part(prod, lists.idx.data() + lists.start[q],
                               lists.start[q + 1] - lists.start[q], tol);
    });
    // The parts hold different masks, so their rows together are the whole operator.
    if (!split) return std::move(parts[0]);
    std::size_t size = 0;
    for (const MajoranaOp& p : parts) size += p.size();
    MajoranaOp out;
    out.reserve(size);
    out.part_start.push_back(0);
    for (const MajoranaOp& p : parts) {
        append_to(out.lo, p.lo);
        append_to(out.hi, p.hi);
        append_to(out.c, p.c);
        out.part_start.push_back(out.size());
    }
    return out;
}

void contract_number_conserving_streamed(const MajoranaOp& op, int n_spin_orbitals, double tol,
                                         const PieceFn& prepare, const PieceFn& consume) {
    const std::size_t n = op.size();
    const std::uint64_t allowed =
        n_spin_orbitals >= 64 ? ~0ULL : (std::uint64_t{1} << std::max(0, n_spin_orbitals)) - 1;
    const bool split = n >= kSplitRows;
    // The first monomial that acts beyond the operator's spin-orbitals, per part of the scan.
    std::size_t first_outside[kParts];
    std::fill(first_outside, first_outside + kParts, n);
    const auto outside_error = [&](std::size_t row) {
        const std::uint64_t outside = touched_orbitals(op.mask(row)) & ~allowed;
        return std::invalid_argument(
            "a Majorana monomial acts on spin-orbital " + std::to_string(std::countr_zero(outside)) +
            ", outside the " + std::to_string(n_spin_orbitals) + " spin-orbitals of the operator");
    };
    // Rows already grouped by part (as the expansion leaves them) are checked and filtered
    // within each part; others are first checked and sorted into parts.
    const bool grouped = split && op.part_start.size() == kParts + 1 && op.part_start[kParts] == n;
    PartLists lists;
    if (!grouped) {
        require_memory(n, 1 + sizeof(std::uint32_t), "the parts of the monomials");
        // The part of every monomial that can hold number-conserving terms (an even number
        // of single Majoranas).
        std::vector<std::uint8_t> part(n, kNoPart);
        {
            TaskGroup scan(kParts, [&](std::size_t c) {
                const std::size_t begin = n * c / kParts, end = n * (c + 1) / kParts;
                for (std::size_t k = begin; k < end; ++k) {
                    const Mask mask = op.mask(k);
                    if (touched_orbitals(mask) & ~allowed) {
                        first_outside[c] = std::min(first_outside[c], k);
                        continue;
                    }
                    const std::uint64_t single = single_orbitals(mask);
                    if (std::popcount(single) & 1) continue;  // changes the particle-number parity
                    part[k] = split ? part_of(single) : 0;
                }
            }, split);
            scan.wait();
        }
        if (const std::size_t row = *std::min_element(first_outside, first_outside + kParts); row < n)
            throw outside_error(row);
        lists = list_parts(part);
    }
    NormalTerms parts[kParts];
    const auto run = [&](unsigned q) {
        if (grouped) {
            std::vector<std::uint32_t> rows;
            rows.reserve(op.part_start[q + 1] - op.part_start[q]);
            for (std::size_t k = op.part_start[q]; k < op.part_start[q + 1]; ++k) {
                const Mask mask = op.mask(k);
                if (touched_orbitals(mask) & ~allowed) {
                    first_outside[q] = std::min(first_outside[q], k);
                    return;
                }
                if (std::popcount(single_orbitals(mask)) & 1) continue;
                rows.push_back(static_cast<std::uint32_t>(k));
            }
            contract_part(op, rows.data(), rows.size(), tol, parts[q]);
        } else {
            contract_part(op, lists.idx.data() + lists.start[q], lists.start[q + 1] - lists.start[q],
                          tol, parts[q]);
        }
        if (prepare) prepare(q, parts[q]);
    };
    const unsigned used = split ? kParts : 1;
    // The parts are taken in order by the helper threads, which only contract, and by the
    // calling thread, which hands each part to `consume` as soon as it is done, in part
    // order, and contracts the next part nobody has taken while it waits.
    std::exception_ptr part_error[kParts];
    TaskGroup group(used, [&](std::size_t q) {
        try {
            run(static_cast<unsigned>(q));
        } catch (...) {
            part_error[q] = std::current_exception();
        }
    }, split);
    for (unsigned q = 0; q < used; ++q) {
        while (!group.finished(q))
            if (!group.run_one()) std::this_thread::yield();
        if (part_error[q]) std::rethrow_exception(part_error[q]);
        if (first_outside[q] < n) throw outside_error(first_outside[q]);
        consume(q, parts[q]);
        parts[q] = NormalTerms{};
    }
    group.wait();
}

NormalTerms contract_number_conserving(const MajoranaOp& op, int n_spin_orbitals, double tol) {
    // The parts hold different terms; like terms were combined within each.
    NormalTerms out;
    contract_number_conserving_streamed(op, n_spin_orbitals, tol, nullptr,
                                        [&](unsigned, const NormalTerms& p) {
                                            append_to(out.cre, p.cre);
                                            append_to(out.ann, p.ann);
                                            append_to(out.c, p.c);
                                        });
    return out;
}

}  // namespace korvel::engine
