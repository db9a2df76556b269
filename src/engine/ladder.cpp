#include "engine/ladder.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "engine/key_index.h"
#include "engine/memory.h"
#include "engine/task_group.h"


namespace korvel::engine {

namespace {


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

// The central binomial coefficients C(n, floor(n/2)) for n = 0 .. 64 (all below 2^64): the
// number of ways to split n single spin-orbitals into creators and annihilators.
struct CentralBinomials {
    std::uint64_t c[65];
    constexpr CentralBinomials() : c{} {
        for (int n = 0; n <= 64; ++n) {
            const int k = n / 2;
            unsigned __int128 r = 1;
            for (int j = 1; j <= k; ++j) r = r * static_cast<unsigned>(n - k + j) / static_cast<unsigned>(j);
            c[n] = static_cast<std::uint64_t>(r);
        }
    }
};
constexpr CentralBinomials kCentralBinomial{};
static_assert(kCentralBinomial.c[4] == 6 && kCentralBinomial.c[5] == 10 &&
              kCentralBinomial.c[64] == 1832624140942590534ULL);

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

// Operators are split into parts that share no monomial and no ladder term: every monomial
// a product expands onto has the product's single spin-orbitals, and every term a monomial
// contracts to has the monomial's, so splitting by the single spin-orbitals splits every sum
// cleanly and the parts can be worked on independently. The number of parts is fixed, so
// results and their order do not depend on the number of threads.
constexpr int kPartBits = 4;
static_assert(kParts == 1u << kPartBits, "parts are numbered by kPartBits bits of a hash");
constexpr std::uint8_t kNoPart = 0xff;
inline std::uint8_t part_of(std::uint64_t single) {
    return static_cast<std::uint8_t>((single * 0x9E3779B97F4A7C15ULL) >> (64 - kPartBits));
}


// Rows 0..n-1 with part[k] != kNoPart listed part by part (part[k] < count), in input order
// within a part: part q is idx[start[q]] .. idx[start[q+1] - 1].
struct PartLists {
    std::vector<std::uint32_t> idx;
    std::vector<std::size_t> start;
};

PartLists list_parts(const std::vector<std::uint8_t>& part, unsigned count) {
    PartLists l;
    l.start.assign(count + 1, 0);
    for (std::uint8_t q : part)
        if (q != kNoPart) ++l.start[q + 1];
    for (unsigned q = 0; q < count; ++q) l.start[q + 1] += l.start[q];
    l.idx.resize(l.start[count]);
    std::vector<std::size_t> next(l.start.begin(), l.start.end() - 1);
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

// The family (the set of single spin-orbitals) of every group, numbered in first-seen
// order, with the number of groups in each. Groups of different families never meet on a
// monomial or a ladder term, so the rows of a group alone in its family are final as they
// are, and only the others need summing across groups. A group of the same family as the
// one before it is recognised without a lookup.
struct Families {
    std::vector<std::uint32_t> of;
    std::vector<std::uint32_t> count;
    bool shared(std::size_t g) const { return count[of[g]] > 1; }
};

Families families_of(const std::vector<std::uint64_t>& single) {
    const std::size_t ng = single.size();
    KeyIndex index(ng / 2 + 1);
    Families f;
    f.of.resize(ng);
    f.count.reserve(ng / 2 + 1);
    for (std::size_t g = 0; g < ng; ++g) {
        const std::size_t id =
            (g > 0 && single[g] == single[g - 1]) ? f.of[g - 1] : index.insert(single[g], 0);
        if (id == f.count.size()) f.count.push_back(0);
        ++f.count[id];
        f.of[g] = static_cast<std::uint32_t>(id);
    }
    return f;
}

// Members 0 .. m-1 grouped by their (single, paired) spin-orbital keys, keys(i) giving
// member i's as a pair; the groups are numbered in first-seen order. head[g] is the first
// member of group g, single[g] its single spin-orbitals, and member[start[g]] ..
// member[start[g+1] - 1] its members in input order. A member with the keys of the one before
// it joins that member's group without a lookup; when the members of every group are
// consecutive (as the expansion lays its rows out), the listing is the input order itself.
struct KeyGroups {
    std::vector<std::uint32_t> head;
    std::vector<std::uint64_t> single;
    std::vector<std::uint32_t> start;
    BufferVector<std::uint32_t> member;
    std::size_t size() const { return head.size(); }
};

template <typename Keys>
KeyGroups group_by_keys(std::size_t m, Keys keys) {
    KeyGroups out;
    KeyIndex index(m / 4 + 1);
    BufferVector<std::uint32_t> gid(m);
    out.head.reserve(m / 2 + 1);
    out.single.reserve(m / 2 + 1);
    bool consecutive = true;
    std::pair<std::uint64_t, std::uint64_t> previous{};
    for (std::size_t i = 0; i < m; ++i) {
        const std::pair<std::uint64_t, std::uint64_t> key = keys(i);
        if (i > 0 && key == previous) {
            gid[i] = gid[i - 1];
            continue;
        }
        previous = key;
        const std::size_t id = index.insert(key.first, key.second);
        if (id == out.head.size()) {
            out.head.push_back(static_cast<std::uint32_t>(i));
            out.single.push_back(key.first);
        } else {
            consecutive = false;
        }
        gid[i] = static_cast<std::uint32_t>(id);
    }
    const std::size_t ng = out.head.size();
    out.start.assign(ng + 1, 0);
    out.member.resize(m);
    if (consecutive) {
        std::copy(out.head.begin(), out.head.end(), out.start.begin());
        out.start[ng] = static_cast<std::uint32_t>(m);
        for (std::size_t i = 0; i < m; ++i) out.member[i] = static_cast<std::uint32_t>(i);
    } else {
        for (std::size_t i = 0; i < m; ++i) ++out.start[gid[i] + 1];
        for (std::size_t g = 0; g < ng; ++g) out.start[g + 1] += out.start[g];
        std::vector<std::uint32_t> next(out.start.begin(), out.start.end() - 1);
        for (std::size_t i = 0; i < m; ++i) out.member[next[gid[i]]++] = static_cast<std::uint32_t>(i);
    }
    return out;
}

// Exact powers of two, 2^r and 2^-r for r = 0 .. 64.
struct PowersOfTwo {
    double up[65], down[65];
    constexpr PowersOfTwo() : up{}, down{} {
        up[0] = down[0] = 1.0;
        for (int r = 1; r <= 64; ++r) {
            up[r] = up[r - 1] * 2.0;
            down[r] = down[r - 1] * 0.5;
        }
    }
};
constexpr PowersOfTwo kPow2{};

// Each spin-orbital of a product contributes a local factor of two components:
//   a^dagger_p = (gamma_{2p} - i gamma_{2p+1}) / 2,   a_p = (gamma_{2p} + i gamma_{2p+1}) / 2,
//   n_p = (1 + i gamma_{2p} gamma_{2p+1}) / 2,        h_p = (1 - i gamma_{2p} gamma_{2p+1}) / 2.
// The choices of a group of products with single spin-orbitals `single` and pair factors on
// `paired`. Its table of 2^k rows has bit j of a row standing for the j-th of its k
// spin-orbitals (ascending); a set bit takes that spin-orbital's second component
// (gamma_{2p+1} of a single operator, both modes of a pair factor) over the first (gamma_{2p},
// or no mode). Single choice c (bit i for the i-th single spin-orbital) has the modes
// (single_lo[c], single_hi[c]) and the row bits single_row[c]; pair choice c likewise, with
// the spin-orbitals of the pair factors whose both modes it takes in pair_set[c].
struct GroupChoices {
    std::vector<std::uint64_t> single_lo, single_hi, pair_lo, pair_hi, pair_set;
    std::vector<std::uint32_t> single_row, pair_row;

    explicit GroupChoices(std::size_t width)
        : single_lo(width), single_hi(width), pair_lo(width), pair_hi(width), pair_set(width),
          single_row(width), pair_row(width) {}

    void fill(std::uint64_t single, std::uint64_t paired) {
        single_lo[0] = single_hi[0] = pair_lo[0] = pair_hi[0] = pair_set[0] = 0;
        single_row[0] = pair_row[0] = 0;
        std::size_t n_single = 1, n_pair = 1;
        std::uint32_t row_bit = 1;
        for (std::uint64_t rest = single | paired; rest; rest &= rest - 1, row_bit <<= 1) {
            const int p = std::countr_zero(rest);
            const int shift = 2 * (p & 31);
            if ((single >> p) & 1) {
                std::uint64_t* limb = p < 32 ? single_lo.data() : single_hi.data();
                for (std::size_t c = 0; c < n_single; ++c) {
                    single_lo[n_single + c] = single_lo[c];
                    single_hi[n_single + c] = single_hi[c];
                    limb[n_single + c] |= std::uint64_t{2} << shift;
                    limb[c] |= std::uint64_t{1} << shift;
                    single_row[n_single + c] = single_row[c] | row_bit;
                }
                n_single *= 2;
            } else {
                std::uint64_t* limb = p < 32 ? pair_lo.data() : pair_hi.data();
                for (std::size_t c = 0; c < n_pair; ++c) {
                    pair_lo[n_pair + c] = pair_lo[c];
                    pair_hi[n_pair + c] = pair_hi[c];
                    limb[n_pair + c] |= std::uint64_t{3} << shift;
                    pair_row[n_pair + c] = pair_row[c] | row_bit;
                    pair_set[n_pair + c] = pair_set[c] | (std::uint64_t{1} << p);
                }
                n_pair *= 2;
            }
        }
    }
};

// The Majorana rows of products that share no monomial with any other part. Products are
// grouped by their (single, paired) spin-orbitals and each group is summed in one dense
// table of 2^k row sums. Rows are laid out so that the monomials of one group follow each
// other, and those of one family too: first the groups alone in their family, each by its
// choice of pair factors, then the summed rows, family by family, consecutive for each
// choice of pair factors. The contraction finds its groups in this order without a lookup.
MajoranaOp expand_part(const ReducedTerm* prod, const std::uint32_t* idx,
                       std::size_t m, double tol) {
    if (m == 0) return {};
    const KeyGroups groups = group_by_keys(m, [&](std::size_t i) {
        const ReducedTerm& p = prod[idx[i]];
        return std::make_pair(single_of(p), paired_of(p));
    });
    const std::size_t ng = groups.size();
    const Families families = families_of(groups.single);
    // The first product of each group, and the products listed group by group.
    const auto head = [&](std::size_t g) -> const ReducedTerm& { return prod[idx[groups.head[g]]]; };
    const auto member = [&](std::size_t j) -> const ReducedTerm& { return prod[idx[groups.member[j]]]; };
    std::uint64_t total = 0, widest = 1, summed = 0;
    for (std::size_t g = 0; g < ng; ++g) {
        const std::uint64_t rows = sat_pow2(std::popcount(head(g).orbitals()));
        total = sat_add(total, rows);
        widest = std::max(widest, rows);
        if (families.shared(g)) summed = sat_add(summed, rows);
    }
    // The summed rows and the distinct rows with their sums, and one group's row sums and
    // masks.
    require_memory(sat_add(total, widest),
                   2 * sizeof(double) + 2 * (2 * sizeof(std::uint64_t) + sizeof(cplx)),
                   "the Majorana expansion");
    // The order in which groups are laid out: alone ones first, then family by family.
    std::vector<std::uint32_t> order;
    order.reserve(ng);
    for (std::size_t g = 0; g < ng; ++g)
        if (!families.shared(g)) order.push_back(static_cast<std::uint32_t>(g));
    const std::size_t n_alone = order.size();
    {
        std::vector<std::uint32_t> family_start(families.count.size() + 1, 0);
        for (std::size_t f = 0; f < families.count.size(); ++f)
            family_start[f + 1] = family_start[f] + (families.count[f] > 1 ? families.count[f] : 0);
        order.resize(n_alone + family_start.back());
        for (std::size_t g = 0; g < ng; ++g)
            if (families.shared(g)) order[n_alone + family_start[families.of[g]]++] = static_cast<std::uint32_t>(g);
    }

    const std::size_t width = static_cast<std::size_t>(widest);
    std::vector<double> sum_re(width), sum_im(width);
    GroupChoices choices(width);
    const std::uint64_t* single_lo = choices.single_lo.data();
    const std::uint64_t* single_hi = choices.single_hi.data();
    const std::uint64_t* pair_lo = choices.pair_lo.data();
    const std::uint64_t* pair_hi = choices.pair_hi.data();
    const std::uint64_t* pair_set = choices.pair_set.data();
    const std::uint32_t* single_row = choices.single_row.data();
    const std::uint32_t* pair_row = choices.pair_row.data();
    // Summed rows: one table of 2^s sums (s single spin-orbitals) for each (family, pair
    // factors), in first-seen order; `touched` marks the sums that received a non-zero row.
    KeyIndex tables(static_cast<std::size_t>(summed) / 4 + 1);
    std::vector<std::size_t> table_start;
    std::vector<double> table_re, table_im;
    std::vector<std::uint8_t> touched;
    MajoranaOp out;
    out.reserve(static_cast<std::size_t>(total - summed) / 2 + 1);
    for (std::size_t o = 0; o < order.size(); ++o) {
        const std::size_t g = order[o];
        const bool alone = o < n_alone;
        const ReducedTerm& h = head(g);
        const std::uint64_t orbitals = h.orbitals(), single = single_of(h), paired = paired_of(h);
        const int k = std::popcount(orbitals);
        const std::size_t rows = std::size_t{1} << k;
        double* re = sum_re.data();
        double* im = sum_im.data();
        std::fill(re, re + rows, 0.0);
        std::fill(im, im + rows, 0.0);
        // Row r takes the second component of the j-th spin-orbital (ascending) when bit j of
        // r is set; every first component weighs 1/2 and every second one +i/2 or -i/2 (-i/2
        // for a^dagger and h, +i/2 for a and n). A member's weight on row r is therefore
        // coeff 2^-k i^{|r|} (-1)^{|r & minus|}, with `minus` its local spin-orbitals of weight
        // -i/2: the signed coefficients are summed over the group in input order, then scaled
        // and rotated once (both exact, so the sums equal those of the scaled, rotated
        // weights; adding +0 keeps zero parts positive, as summing from zero does).
        for (std::size_t j = groups.start[g]; j < groups.start[g + 1]; ++j) {
            const ReducedTerm& t = member(j);
            const std::uint64_t neg = (t.cre & ~t.ann) | t.hole;
            std::uint64_t minus = 0;
            int b = 0;
            for (std::uint64_t rest = orbitals; rest; rest &= rest - 1, ++b)
                minus |= ((neg >> std::countr_zero(rest)) & 1) << b;
            const double vr = t.re, vi = t.im;
            if (rows <= 16) {
                const double* sign = kRowSign.s[minus];
                for (std::size_t r = 0; r < rows; ++r) re[r] += sign[r] * vr;
                // A real coefficient adds only zeros to the imaginary sums, which leaves them
                // as they are (they start at +0).
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
        choices.fill(single, paired);
        const std::size_t n_single = std::size_t{1} << std::popcount(single);
        const std::size_t n_pair = std::size_t{1} << std::popcount(paired);
        const double scale = kPow2.down[k];
        for (std::size_t pp = 0; pp < n_pair; ++pp) {
            std::size_t table = ~std::size_t{0};
            for (std::size_t c = 0; c < n_single; ++c) {
                const std::uint32_t r = pair_row[pp] | single_row[c];
                // A row whose group sum is exactly zero adds nothing to its mask's sum.
                if (re[r] == 0.0 && im[r] == 0.0) continue;
                double vr, vi;
                rotate(re[r] * scale, im[r] * scale, std::popcount(r), vr, vi);
                require_finite(vr, vi, "the Majorana expansion");
                if (alone) {
                    if (survives_parts(vr, vi, tol))
                        out.push_back({single_lo[c] | pair_lo[pp], single_hi[c] | pair_hi[pp]},
                                      cplx(vr + 0.0, vi + 0.0));
                    continue;
                }
                if (table == ~std::size_t{0}) {
                    const std::size_t id = tables.insert(single, pair_set[pp]);
                    if (id == table_start.size()) {
                        table_start.push_back(table_re.size());
                        table_re.resize(table_re.size() + n_single, 0.0);
                        table_im.resize(table_im.size() + n_single, 0.0);
                        touched.resize(touched.size() + n_single, 0);
                    }
                    table = table_start[id];
                }
                table_re[table + c] += vr;
                table_im[table + c] += vi;
                touched[table + c] = 1;
            }
        }
    }
    for (std::size_t id = 0; id < table_start.size(); ++id) {
        const std::uint64_t single = tables.key_a(id), factors = tables.key_b(id);
        choices.fill(single, 0);
        std::uint64_t factor_lo = 0, factor_hi = 0;
        for (std::uint64_t rest = factors; rest; rest &= rest - 1) {
            const int p = std::countr_zero(rest);
            (p < 32 ? factor_lo : factor_hi) |= std::uint64_t{3} << (2 * (p & 31));
        }
        const std::size_t n_single = std::size_t{1} << std::popcount(single);
        for (std::size_t c = 0; c < n_single; ++c) {
            const std::size_t at = table_start[id] + c;
            if (!touched[at]) continue;
            const cplx v(table_re[at], table_im[at]);
            require_finite(v, "the Majorana expansion");
            if (survives(v, tol))
                out.push_back({single_lo[c] | factor_lo, single_hi[c] | factor_hi},
                              cplx(v.real() + 0.0, v.imag() + 0.0));
        }
    }
    return out;
}

// The number-conserving ladder terms of monomials that share no term with any other part.
// Rows are grouped by their single and paired spin-orbitals: within one group the monomials
// differ only in which Majorana of each single spin-orbital they hold, and all of them feed
// the same ladder terms, so each group is contracted once. The terms of groups alone with
// their single spin-orbitals come first, then the terms combined across groups.
constexpr std::size_t kNoRow = ~std::size_t{0};

// Contracts rows idx[0..count-1] of `op` (rows first..first+count-1 when idx is null).
// Monomials with an odd number of single spin-orbitals change the particle-number parity
// and are left out. Returns the first of the rows that acts on a spin-orbital outside
// `allowed`, with nothing contracted, or kNoRow.
std::size_t contract_part(const MajoranaOp& op, const std::uint32_t* idx, std::size_t first,
                          std::size_t count, std::uint64_t allowed, double tol, NormalTerms& out) {
    if (count == 0) return kNoRow;
    // The members' rows and their single, paired and second-mode (gamma_{2p+1} on a single)
    // spin-orbitals, by their place i in the part.
    BufferVector<std::uint32_t> member_row(count);
    BufferVector<std::uint64_t> key_single(count), key_paired(count), key_second(count);
    std::size_t m = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t row = idx ? idx[j] : first + j;
        const Mask mask = op.mask(row);
        // Spin-orbitals holding gamma_{2p} and those holding gamma_{2p+1}.
        std::uint64_t even = bits::pack_even(mask.lo), second = bits::pack_even(mask.lo >> 1);
        if (mask.hi != 0) {
            even |= bits::pack_even(mask.hi) << 32;
            second |= bits::pack_even(mask.hi >> 1) << 32;
        }
        if ((even | second) & ~allowed) return row;
        const std::uint64_t single = even ^ second;
        if (std::popcount(single) & 1) continue;
        member_row[m] = static_cast<std::uint32_t>(row);
        key_single[m] = single;
        key_paired[m] = even & second;
        key_second[m] = second & single;
        ++m;
    }
    if (m == 0) return kNoRow;
    const KeyGroups groups =
        group_by_keys(m, [&](std::size_t i) { return std::make_pair(key_single[i], key_paired[i]); });
    const std::size_t ng = groups.size();
    const Families families = families_of(groups.single);
    const std::vector<std::uint32_t>& head = groups.head;
    const std::vector<std::uint32_t>& start = groups.start;
    std::uint64_t total = 0, summed = 0;
    for (std::size_t g = 0; g < ng; ++g) {
        const int single = std::popcount(key_single[head[g]]);
        const std::uint64_t items = sat_mul(kCentralBinomial.c[single],
                                            sat_pow2(std::popcount(key_paired[head[g]])));
        total = sat_add(total, items);
        if (families.shared(g)) summed = sat_add(summed, items);
    }
    require_memory(total, 2 * (2 * sizeof(std::uint64_t) + sizeof(cplx)) + 2 * sizeof(std::uint32_t),
                   "the normal-ordered ladder form");
    KeySum sums(static_cast<std::size_t>(summed) / 2 + 1);
    const std::size_t direct = static_cast<std::size_t>(total - summed);
    out.cre.reserve(direct);
    out.ann.reserve(direct);
    out.c.reserve(direct);

    // 2^r for r chosen n_p (each carries -2 from i (1 - 2 n_p)).
    const double* pow2 = kPow2.up;
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
            const std::uint32_t member = groups.member[start[g] + i];
            const std::uint32_t row = member_row[member];
            second[i] = key_second[member];
            // gamma_{2p+1} contributes +i for a^dagger and -i for a: a member holding it on
            // the spin-orbitals `second` weighs i^{|second & cre| - |second & ann|}
            // = i^-|second| (-1)^{|second & cre|} on the term with creators `cre`.
            rotate(op.c[row].real(), op.c[row].imag(), 4 - (std::popcount(second[i]) & 3), d_re[i],
                   d_im[i]);
        }
        const bool alone = !families.shared(g);
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
            // A sum that cancels exactly adds nothing to any term (a zero is pruned at any
            // tolerance that is not negative).
            const bool vanishes = odd_re == 0.0 && odd_im == 0.0 && tol >= 0;
            const int odd_parity = bits::pairs_ascending_parity(oa, oc);
            std::uint64_t nsub = 0;
            if (!vanishes) do {
                const int r = std::popcount(nsub);
                const int parity = (odd_parity + r * (r - 1) / 2 + r * half +
                                    bits::pairs_ascending_parity(nsub, odd)) & 1;
                const double scale = ((r + parity) & 1) ? -pow2[r] : pow2[r];
                const double vr = scale * odd_re, vi = scale * odd_im;
                require_finite(vr, vi, "the normal-ordered ladder form");
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
        require_finite(sums.sum(id), "the normal-ordered ladder form");
        if (!survives(sums.sum(id), tol)) continue;
        out.cre.push_back(sums.key_a(id));
        out.ann.push_back(sums.key_b(id));
        const cplx v = sums.sum(id);
        out.c.push_back(cplx(v.real() + 0.0, v.imag() + 0.0));
    }
    return kNoRow;
}

template <typename T>
void append_to(std::vector<T>& acc, const std::vector<T>& part) {
    acc.insert(acc.end(), part.begin(), part.end());
}

}  // namespace

namespace {

template <typename S, typename Code>
bool reduce_ladder_term_of(const Code* ops, std::size_t k, cplx coeff, ReducedTermT<S>& out,
                           const char* engine) {
    if (coeff == cplx(0.0, 0.0)) return false;
    DistinctLadderT<S> ladder;
    for (std::size_t i = 0; i < k; ++i) {
        const int p = ops[i] >> 1;
        if (p >= kSetBits<S>)
            throw std::invalid_argument("spin-orbital index " + std::to_string(p) + " is beyond the " +
                                        std::to_string(kSetBits<S>) + " spin-orbitals (0 to " +
                                        std::to_string(kSetBits<S> - 1) + ") the " + engine +
                                        " supports");
        ladder.add(static_cast<unsigned>(p), ops[i] & 1u);
    }
    if (!sets::empty(ladder.repeated)) return reduce_words(ops, k, coeff.real(), coeff.imag(), out);
    ladder.reduce(coeff.real(), coeff.imag(), out);
    return true;
}

}  // namespace

bool reduce_ladder_term(const std::uint8_t* ops, std::size_t k, cplx coeff, ReducedTerm& out) {
    return reduce_ladder_term_of(ops, k, coeff, out, "Majorana engine");
}

bool reduce_ladder_term(const std::uint16_t* ops, std::size_t k, cplx coeff,
                        ReducedTermT<WideSpinSet>& out) {
    return reduce_ladder_term_of(ops, k, coeff, out, "ladder engine");
}

MajoranaOp expand_reduced(const ReducedTerm* prod, const std::uint8_t* keep, std::size_t n, double tol) {
    require_memory(n, 1 + sizeof(std::uint32_t), "the parts of the reduced ladder terms");
    const bool split = n >= kSplitRows;
    std::vector<std::uint8_t> part(n, kNoPart);
    for (std::size_t t = 0; t < n; ++t)
        if (keep[t]) part[t] = split ? part_of(single_of(prod[t])) : 0;
    const PartLists lists = list_parts(part, kParts);
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
                                         const PartFn& prepare, const PartFn& consume) {
    const std::size_t n = op.size();
    const std::uint64_t allowed =
        n_spin_orbitals >= 64 ? ~0ULL : (std::uint64_t{1} << std::max(0, n_spin_orbitals)) - 1;
    const bool split = n >= kSplitRows;
    // The first monomial that acts beyond the operator's spin-orbitals, per part.
    std::size_t first_outside[kParts];
    std::fill(first_outside, first_outside + kParts, n);
    const auto outside_error = [&](std::size_t row) {
        const std::uint64_t outside = touched_orbitals(op.mask(row)) & ~allowed;
        return std::invalid_argument(
            "a Majorana monomial acts on spin-orbital " + std::to_string(std::countr_zero(outside)) +
            ", outside the " + std::to_string(n_spin_orbitals) + " spin-orbitals of the operator");
    };
    // Rows already laid out part by part (as the expansion leaves them) are contracted part
    // by part as they are. Other rows are first checked and sorted into parts by their
    // single spin-orbitals.
    const bool laid_out = split && op.part_start.size() == kParts + 1 && op.part_start[kParts] == n;
    PartLists lists;
    if (!laid_out) {
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
        lists = list_parts(part, kParts);
    }
    NormalTerms parts[kParts];
    const auto run = [&](unsigned q) {
        const std::size_t outside =
            laid_out ? contract_part(op, nullptr, op.part_start[q], op.part_start[q + 1] - op.part_start[q],
                                     allowed, tol, parts[q])
                     : contract_part(op, lists.idx.data() + lists.start[q], 0,
                                     lists.start[q + 1] - lists.start[q], allowed, tol, parts[q]);
        if (outside != kNoRow) {
            first_outside[q] = std::min(first_outside[q], outside);
            return;
        }
        if (prepare) prepare(q, parts[q]);
    };
    const unsigned used = split ? kParts : 1;
    // The parts are taken in order by the helper threads, which only contract, and by the
    // calling thread, which hands each part to `consume` as soon as it is done, in order,
    // and contracts the next part nobody has taken while it waits.
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

}  // namespace korvel::engine
