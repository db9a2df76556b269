#include "engine/ladder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "engine/key_index.h"
#include "engine/memory.h"

namespace korvel::engine {

namespace {

// A ladder term reduced to a product over spin-orbitals in increasing order: every
// spin-orbital's word of ladder operators is one of a^dagger, a, n = a^dagger a or
// h = a a^dagger (any other word vanishes). n sits in both cre and ann.
struct OrbitalProduct {
    std::uint64_t cre = 0, ann = 0, hole = 0;
    cplx coeff;
    std::uint64_t orbitals() const { return cre | ann | hole; }
};

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
                 OrbitalProduct& out) {
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
    out = OrbitalProduct{};
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
    out.coeff = negative ? -coeff : coeff;
    return true;
}

// Complex product without the NaN/infinity recovery of the library operator (all values
// here are finite).
inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
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

inline LocalFactor local_factor(const OrbitalProduct& t, int p) {
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
inline std::uint64_t single_of(const OrbitalProduct& t) { return t.cre ^ t.ann; }
inline std::uint64_t paired_of(const OrbitalProduct& t) { return (t.cre & t.ann) | t.hole; }

// Rows 0..n-1 grouped by their (a, b) key: `order` lists the rows group by group (groups
// in the order their keys first appear, rows in input order within a group) and group g
// is order[start[g]] .. order[start[g+1] - 1].
struct Groups {
    std::vector<std::size_t> order, start;
    std::size_t size() const { return start.size() - 1; }
};

Groups group_by_key(const std::uint64_t* a, const std::uint64_t* b, std::size_t n) {
    KeyIndex index(n / 2);
    std::vector<std::size_t> id(n);
    for (std::size_t k = 0; k < n; ++k) id[k] = index.insert(a[k], b[k]);
    Groups g;
    g.start.assign(index.size() + 1, 0);
    for (std::size_t k = 0; k < n; ++k) ++g.start[id[k] + 1];
    for (std::size_t i = 1; i < g.start.size(); ++i) g.start[i] += g.start[i - 1];
    std::vector<std::size_t> next(g.start.begin(), g.start.end() - 1);
    g.order.resize(n);
    for (std::size_t k = 0; k < n; ++k) g.order[next[id[k]]++] = k;
    return g;
}

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

constexpr cplx kIPow[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};

// Scatters the low bits of `local` onto the positions listed in `pos`.
inline std::uint64_t deposit(std::uint64_t local, const int* pos) {
    std::uint64_t r = 0;
    for (; local; local &= local - 1) r |= std::uint64_t{1} << pos[std::countr_zero(local)];
    return r;
}

}  // namespace

MajoranaOp expand_ladder(const LadderTerms& terms, double tol) {
    const std::size_t n = terms.size();
    std::vector<OrbitalProduct> products;
    products.reserve(n);
    std::vector<std::uint8_t> buf;
    for (std::size_t t = 0; t < n; ++t) {
        if (terms.coeff[t] == cplx(0.0, 0.0)) continue;
        OrbitalProduct p;
        const std::uint8_t* ops = terms.ops.data() + terms.offset[t];
        const std::size_t k = terms.offset[t + 1] - terms.offset[t];
        if (reduce_term(ops, k, terms.coeff[t], buf, p)) products.push_back(p);
    }
    // Products with the same single and paired spin-orbitals expand onto the same 2^k
    // monomials; each such group is summed in a dense local vector, so a Hamiltonian's many
    // index permutations of one orbital set cost one set of rows.
    const std::size_t np = products.size();
    std::vector<std::uint64_t> key_single(np), key_paired(np);
    for (std::size_t t = 0; t < np; ++t) {
        key_single[t] = single_of(products[t]);
        key_paired[t] = paired_of(products[t]);
    }
    const Groups groups = group_by_key(key_single.data(), key_paired.data(), np);
    const std::vector<std::size_t>& order = groups.order;
    const std::vector<std::size_t>& group = groups.start;
    const std::size_t ng = groups.size();
    std::uint64_t total = 0, widest = 0;
    for (std::size_t g = 0; g < ng; ++g) {
        const std::uint64_t rows = sat_pow2(std::popcount(products[order[group[g]]].orbitals()));
        total = sat_add(total, rows);
        widest = std::max(widest, rows);
    }
    // The distinct rows with their sums, one local vector and the canonical result.
    require_memory(sat_add(total, widest),
                   2 * (2 * sizeof(std::uint64_t) + sizeof(cplx)) + 2 * sizeof(std::uint32_t),
                   "the Majorana expansion");
    // Non-zero rows of all groups, in generation order; summed per mask after a stable sort.
    MajoranaOp rows_out;
    rows_out.reserve(static_cast<std::size_t>(total));
    std::vector<std::uint64_t> lo(static_cast<std::size_t>(widest)), hi(lo.size());
    std::vector<cplx> c(lo.size());
    for (std::size_t g = 0; g < ng; ++g) {
        const OrbitalProduct& head = products[order[group[g]]];
        // Masks: the same for every product of the group.
        lo[0] = hi[0] = 0;
        std::size_t rows = 1;
        for (std::uint64_t rest = head.orbitals(); rest; rest &= rest - 1) {
            const LocalFactor f = local_factor(head, std::countr_zero(rest));
            std::uint64_t* limb = f.limb == 0 ? lo.data() : hi.data();
            for (std::size_t r = 0; r < rows; ++r) {
                lo[rows + r] = lo[r];
                hi[rows + r] = hi[r];
                limb[rows + r] |= f.second;
                limb[r] |= f.first;
            }
            rows *= 2;
        }
        // Coefficients. Row r takes the second component of the j-th spin-orbital (ascending)
        // when bit j of r is set; every first component weighs 1/2 and every second one
        // +i/2 or -i/2 (-i/2 for a^dagger and h, +i/2 for a and n). A member's weight on row
        // r is therefore coeff 2^-k i^{|r|} (-1)^{|r & minus|}, with `minus` its local
        // spin-orbitals of weight -i/2: the signed coefficients are summed over the group,
        // then scaled and rotated once (both exact, so the sums equal those of the scaled,
        // rotated weights; adding +0 keeps zero parts positive, as summing from zero does).
        std::fill(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(rows), cplx(0.0, 0.0));
        for (std::size_t i = group[g]; i < group[g + 1]; ++i) {
            const OrbitalProduct& t = products[order[i]];
            const std::uint64_t neg = (t.cre & ~t.ann) | t.hole;
            std::uint64_t minus = 0;
            int j = 0;
            for (std::uint64_t rest = t.orbitals(); rest; rest &= rest - 1, ++j)
                if (neg & (rest & (~rest + 1))) minus |= std::uint64_t{1} << j;
            const double vr = t.coeff.real(), vi = t.coeff.imag();
            if (rows <= 16) {
                const double* sign = kRowSign.s[minus];
                for (std::size_t r = 0; r < rows; ++r)
                    c[r] = {c[r].real() + sign[r] * vr, c[r].imag() + sign[r] * vi};
                continue;
            }
            for (std::size_t r = 0; r < rows; ++r) {
                // +-1 without a branch (the sign pattern is data-dependent).
                const double sign =
                    1.0 - 2.0 * static_cast<double>(std::popcount(static_cast<std::uint64_t>(r) & minus) & 1);
                c[r] = {c[r].real() + sign * vr, c[r].imag() + sign * vi};
            }
        }
        const double scale = std::ldexp(1.0, -std::popcount(head.orbitals()));
        for (std::size_t r = 0; r < rows; ++r) {
            const double re = c[r].real() * scale, im = c[r].imag() * scale;
            switch (std::popcount(static_cast<std::uint64_t>(r)) & 3) {
                case 0: c[r] = {0.0 + re, 0.0 + im}; break;
                case 1: c[r] = {0.0 - im, 0.0 + re}; break;
                case 2: c[r] = {0.0 - re, 0.0 - im}; break;
                default: c[r] = {0.0 + im, 0.0 - re}; break;
            }
        }
        // A row whose group sum is exactly zero adds nothing to its mask's sum.
        for (std::size_t r = 0; r < rows; ++r)
            if (c[r] != cplx(0.0, 0.0)) rows_out.push_back({lo[r], hi[r]}, c[r]);
    }
    return sum_sorted(rows_out, tol);
}

NormalTerms contract_number_conserving(const MajoranaOp& op, int n_spin_orbitals, double tol) {
    const std::size_t n = op.size();
    const std::uint64_t allowed =
        n_spin_orbitals >= 64 ? ~0ULL : (std::uint64_t{1} << std::max(0, n_spin_orbitals)) - 1;
    // Monomials that can hold number-conserving terms (an even number of single Majoranas),
    // keyed by their single and paired spin-orbitals. Within one key the monomials differ
    // only in which Majorana of each single spin-orbital they hold, and all of them feed the
    // same ladder terms, so each key is contracted once.
    std::vector<std::size_t> rows;
    std::vector<std::uint64_t> key_single, key_paired, key_second;
    rows.reserve(n);
    key_single.reserve(n);
    key_paired.reserve(n);
    key_second.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        // Spin-orbitals holding gamma_{2p} and those holding gamma_{2p+1}.
        const std::uint64_t even = bits::pack_even(op.lo[k]) | (bits::pack_even(op.hi[k]) << 32);
        const std::uint64_t second = bits::pack_even(op.lo[k] >> 1) |
                                     (bits::pack_even(op.hi[k] >> 1) << 32);
        const std::uint64_t touched = even | second;
        if (touched & ~allowed) {
            const int p = std::countr_zero(touched & ~allowed);
            throw std::invalid_argument(
                "a Majorana monomial acts on spin-orbital " + std::to_string(p) + ", outside the " +
                std::to_string(n_spin_orbitals) + " spin-orbitals of the operator");
        }
        const std::uint64_t single = even ^ second;
        if (std::popcount(single) & 1) continue;  // changes the particle-number parity
        rows.push_back(k);
        key_single.push_back(single);
        key_paired.push_back(even & second);
        key_second.push_back(second & single);
    }
    const Groups groups = group_by_key(key_single.data(), key_paired.data(), rows.size());
    const std::vector<std::size_t>& order = groups.order;
    const std::vector<std::size_t>& group = groups.start;
    const std::size_t ng = groups.size();
    std::vector<std::size_t> start(ng + 1, 0);
    std::uint64_t total = 0;
    for (std::size_t g = 0; g < ng; ++g) {
        start[g] = static_cast<std::size_t>(total);
        const std::size_t first = order[group[g]];
        const int single = std::popcount(key_single[first]);
        total = sat_add(total, sat_mul(binomial(single, single / 2),
                                       sat_pow2(std::popcount(key_paired[first]))));
    }
    start[ng] = static_cast<std::size_t>(total);
    require_memory(total, 2 * (3 * sizeof(std::uint64_t) + sizeof(cplx)) + 2 * sizeof(std::size_t),
                   "the normal-ordered ladder form");
    const std::size_t items = static_cast<std::size_t>(total);
    std::vector<std::uint64_t> cre(items), ann(items);
    std::vector<cplx> val(items);

    // 2^r for r chosen n_p (each carries -2 from i (1 - 2 n_p)).
    double pow2[65];
    for (int r = 0; r <= 64; ++r) pow2[r] = std::ldexp(1.0, r);

#ifdef _OPENMP
#pragma omp parallel if (items > 65536)
#endif
    {
    // Which Majorana each member of a group holds on the single spin-orbitals, and its
    // coefficient (buffers reused across the groups a thread takes).
    std::vector<std::uint64_t> second;
    std::vector<cplx> coeff;
#ifdef _OPENMP
#pragma omp for schedule(dynamic, 64)
#endif
    for (std::ptrdiff_t gg = 0; gg < static_cast<std::ptrdiff_t>(ng); ++gg) {
        const std::size_t g = static_cast<std::size_t>(gg);
        // gamma_S is the product over spin-orbitals, in increasing order, of its local
        // factors: a single gamma_{2p} = a^dagger + a or gamma_{2p+1} = i (a^dagger - a), or
        // the pair gamma_{2p} gamma_{2p+1} = i (1 - 2 n_p). The even pair factors commute
        // with everything else; the single ladder operators, in increasing order, are
        // brought into creation-then-annihilation order, each block descending, and the
        // chosen n_p join both blocks.
        const std::size_t head = order[group[g]];
        const std::uint64_t odd = key_single[head], pairs = key_paired[head];
        int pos[64];
        int n_odd = 0;
        for (std::uint64_t r = odd; r; r &= r - 1) pos[n_odd++] = std::countr_zero(r);
        const int half = n_odd / 2;
        const cplx base = kIPow[std::popcount(pairs) & 3];
        const std::size_t members = group[g + 1] - group[g];
        second.resize(members);
        coeff.resize(members);
        for (std::size_t i = 0; i < members; ++i) {
            const std::size_t row = order[group[g] + i];
            second[i] = key_second[row];
            coeff[i] = op.c[rows[row]];
        }
        std::size_t w = start[g];
        const std::uint64_t limit = n_odd >= 64 ? ~0ULL : (std::uint64_t{1} << n_odd);
        std::uint64_t local = half == 0 ? 0 : (std::uint64_t{1} << half) - 1;
        while (true) {
            const std::uint64_t oc = deposit(local, pos), oa = odd & ~oc;
            // gamma_{2p+1} contributes +i for a^dagger and -i for a.
            cplx odd_coeff(0.0, 0.0);
            for (std::size_t i = 0; i < members; ++i) {
                const int ipow = std::popcount(second[i] & oc) - std::popcount(second[i] & oa);
                odd_coeff += times(coeff[i], kIPow[ipow & 3]);
            }
            odd_coeff = times(odd_coeff, base);
            const int odd_parity = bits::pairs_ascending_parity(oa, oc);
            std::uint64_t nsub = 0;
            do {
                const int r = std::popcount(nsub);
                const int parity = (odd_parity + r * (r - 1) / 2 + r * half +
                                    bits::pairs_ascending_parity(nsub, odd)) & 1;
                const double scale = ((r + parity) & 1) ? -pow2[r] : pow2[r];
                cre[w] = oc | nsub;
                ann[w] = oa | nsub;
                val[w] = scale * odd_coeff;
                ++w;
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
    }

    // Like terms combined, in the order they first arise.
    KeySum sums(items);
    for (std::size_t i = 0; i < items; ++i) sums.add(cre[i], ann[i], val[i]);
    NormalTerms out;
    for (std::size_t id = 0; id < sums.size(); ++id) {
        if (!survives(sums.sum(id), tol)) continue;
        out.cre.push_back(sums.key_a(id));
        out.ann.push_back(sums.key_b(id));
        out.c.push_back(sums.sum(id));
    }
    return out;
}

}  // namespace korvel::engine
