#include "engine/lcu_norm.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>

#include "engine/memory.h"

namespace korvel::engine {

namespace {

using cplx = std::complex<double>;

void check_terms(const LadderTerms& terms) {
    if (terms.offsets.size() != terms.coef.size() + 1 ||
        terms.modes.size() != terms.dagger.size() || terms.offsets.back() != terms.modes.size())
        throw std::invalid_argument("inconsistent ladder-term arrays");
    for (std::size_t t = 0; t < terms.size(); ++t)
        if (terms.offsets[t + 1] - terms.offsets[t] > kLcuMaxLadderOps)
            throw std::invalid_argument("a term of " +
                                        std::to_string(terms.offsets[t + 1] - terms.offsets[t]) +
                                        " ladder operators is longer than the " +
                                        std::to_string(kLcuMaxLadderOps) +
                                        " the LCU 1-norm expands");
    for (std::uint32_t p : terms.modes)
        if (p > kLcuMaxMode)
            throw std::invalid_argument("spin-orbital " + std::to_string(p) +
                                        " is beyond the " + std::to_string(kLcuMaxMode + 1) +
                                        " the LCU 1-norm indexes");
}

// Multiplies the sorted monomial idx[0..len) on the right by g_m: g_m passes every index
// above it (one sign each) and either lands in its place or meets its twin (g_m g_m = 1).
template <typename Index>
inline void multiply_right(Index* idx, int& len, Index m, int& sign) {
    int pos = len;
    while (pos > 0 && idx[pos - 1] > m) --pos;
    if ((len - pos) & 1) sign = -sign;
    if (pos > 0 && idx[pos - 1] == m) {
        for (int j = pos - 1; j + 1 < len; ++j) idx[j] = idx[j + 1];
        --len;
        return;
    }
    for (int j = len; j > pos; --j) idx[j] = idx[j - 1];
    idx[pos] = m;
    ++len;
}

// i^k for k mod 4.
inline cplx i_power(int k) {
    switch (k & 3) {
        case 0: return {1.0, 0.0};
        case 1: return {0.0, 1.0};
        case 2: return {-1.0, 0.0};
        default: return {0.0, -1.0};
    }
}

// Every product of one Majorana per ladder operator of term t: calls emit(idx, len, coef)
// with the reduced monomial and its coefficient.
template <typename Index, typename Emit>
void expand_term(const LadderTerms& terms, std::size_t t, Emit&& emit) {
    const std::size_t first = terms.offsets[t];
    const int k = static_cast<int>(terms.offsets[t + 1] - first);
    const cplx scaled = terms.coef[t] * std::ldexp(1.0, -k);
    for (std::uint32_t choice = 0; choice < (1u << k); ++choice) {
        Index idx[kLcuMaxLadderOps];
        int len = 0, sign = 1, phase = 0;
        for (int i = 0; i < k; ++i) {
            const std::uint32_t p = terms.modes[first + i];
            const bool odd = (choice >> i) & 1u;
            // a+ = (g_2p - i g_2p+1)/2, a = (g_2p + i g_2p+1)/2
            if (odd) phase += terms.dagger[first + i] ? 3 : 1;
            multiply_right<Index>(idx, len, static_cast<Index>(2 * p + (odd ? 1 : 0)), sign);
        }
        emit(idx, len, scaled * i_power(phase) * double(sign));
    }
}

// An open-addressing table of monomials keyed by their sorted indices, four 16-bit indices
// to a word and unused places 0xFFFF.
template <int W>
class MonomialTable {
public:
    using Key = std::array<std::uint64_t, W>;

    explicit MonomialTable(std::size_t expected) {
        std::size_t cap = 1024;
        while (cap < 2 * expected && cap < (std::size_t(1) << 40)) cap *= 2;
        allocate(cap);
    }

    void add(const std::uint16_t* idx, int len, cplx c) {
        Key key;
        key.fill(~std::uint64_t{0});
        for (int j = 0; j < len; ++j) {
            std::uint64_t& w = key[j / 4];
            const int shift = 16 * (j % 4);
            w &= ~(std::uint64_t{0xFFFF} << shift);
            w |= std::uint64_t(idx[j]) << shift;
        }
        if (2 * (count_ + 1) > used_.size()) grow();
        insert(key, c);
    }

    // fn(indices, length, coefficient) for every monomial held.
    template <typename Fn>
    void for_each(Fn&& fn) const {
        std::uint16_t idx[4 * W];
        for (std::size_t s = 0; s < used_.size(); ++s) {
            if (!used_[s]) continue;
            int len = 0;
            for (int j = 0; j < 4 * W; ++j) {
                const auto v = static_cast<std::uint16_t>(keys_[s][j / 4] >> (16 * (j % 4)));
                if (v == 0xFFFF) break;
                idx[len++] = v;
            }
            fn(idx, len, vals_[s]);
        }
    }

private:
    static std::uint64_t hash(const Key& k) {
        // splitmix64's finaliser on each word in turn: every bit of the key reaches the
        // low bits that pick the slot.
        std::uint64_t h = 0;
        for (std::uint64_t w : k) {
            std::uint64_t z = h ^ (w + 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            h = z ^ (z >> 31);
        }
        return h;
    }

    static bool same(const Key& a, const Key& b) {
        for (int j = 0; j < W; ++j)
            if (a[j] != b[j]) return false;
        return true;
    }

    void allocate(std::size_t cap) {
        require_memory(cap, sizeof(Key) + sizeof(cplx) + 1, "LCU 1-norm monomial table");
        keys_.assign(cap, Key{});
        vals_.assign(cap, cplx{});
        used_.assign(cap, 0);
        mask_ = cap - 1;
        count_ = 0;
    }

    void insert(const Key& key, cplx c) {
        std::size_t s = hash(key) & mask_;
        while (used_[s]) {
            if (same(keys_[s], key)) {
                vals_[s] += c;
                return;
            }
            s = (s + 1) & mask_;
        }
        used_[s] = 1;
        keys_[s] = key;
        vals_[s] = c;
        ++count_;
    }

    void grow() {
        std::vector<Key> keys;
        std::vector<cplx> vals;
        std::vector<std::uint8_t> used;
        keys.swap(keys_);
        vals.swap(vals_);
        used.swap(used_);
        allocate(2 * used.size());
        for (std::size_t s = 0; s < used.size(); ++s)
            if (used[s]) insert(keys[s], vals[s]);
    }

    std::vector<Key> keys_;
    std::vector<cplx> vals_;
    std::vector<std::uint8_t> used_;
    std::size_t mask_ = 0, count_ = 0;
};

// The terms of at most four ladder operators on distinct spin-orbitals, which make up
// nearly all of a molecular Hamiltonian, are summed without a table: every monomial of such
// a term carries exactly one Majorana on each of its spin-orbitals (even or odd), so its
// 2^k monomials are those of the support S (the sorted spin-orbitals) and a choice of k
// bits, and terms of the same support meet in a 2^k array once sorted by S. Reordering the
// distinct Majoranas of a product into sorted order gives the sign of the permutation that
// sorts the spin-orbitals, whatever the choice. Any other term goes through the table,
// whose monomials with one Majorana per spin-orbital on at most four of them are merged
// into the supports they belong to.
constexpr std::uint64_t kNoMode = 0xFFFF;

std::uint64_t support_key(const std::uint16_t* sorted_modes, int k) {
    std::uint64_t key = ~std::uint64_t{0};
    for (int j = 0; j < k; ++j) {
        key &= ~(kNoMode << (16 * j));
        key |= std::uint64_t(sorted_modes[j]) << (16 * j);
    }
    return key;
}

struct SupportEntry {
    std::uint64_t key;
    std::uint32_t index;  // a term, or an entry of the table's leftovers
    std::uint8_t from_table;
};

template <int W>
double wide_norm(const LadderTerms& terms) {
    std::vector<SupportEntry> grouped;
    std::vector<std::size_t> other;
    for (std::size_t t = 0; t < terms.size(); ++t) {
        const std::size_t first = terms.offsets[t];
        const int k = static_cast<int>(terms.offsets[t + 1] - first);
        if (k == 0) continue;  // the identity carries no Pauli string
        std::uint16_t m[4];
        bool distinct = k <= 4 && t <= 0xFFFFFFFFu;
        for (int i = 0; distinct && i < k; ++i) {
            m[i] = static_cast<std::uint16_t>(terms.modes[first + i]);
            for (int j = 0; j < i; ++j) distinct = distinct && m[j] != m[i];
        }
        if (!distinct) {
            other.push_back(t);
            continue;
        }
        std::sort(m, m + k);
        grouped.push_back({support_key(m, k), static_cast<std::uint32_t>(t), 0});
    }

    MonomialTable<W> table(other.size());
    for (std::size_t t : other)
        expand_term<std::uint16_t>(terms, t, [&](const std::uint16_t* idx, int len, cplx c) {
            if (len > 0) table.add(idx, len, c);
        });
    // Table monomials with one Majorana per spin-orbital on at most four join their support;
    // the others are complete.
    double total = 0.0;
    std::vector<std::pair<std::uint32_t, cplx>> leftover;  // (choice bits, coefficient)
    table.for_each([&](const std::uint16_t* idx, int len, cplx c) {
        bool single = len <= 4;
        for (int j = 1; single && j < len; ++j) single = idx[j] / 2 != idx[j - 1] / 2;
        if (!single || leftover.size() >= 0xFFFFFFFFu) {
            total += std::abs(c);
            return;
        }
        std::uint16_t m[4];
        std::uint32_t choice = 0;
        for (int j = 0; j < len; ++j) {
            m[j] = static_cast<std::uint16_t>(idx[j] / 2);
            choice |= std::uint32_t(idx[j] & 1) << j;
        }
        grouped.push_back({support_key(m, len), static_cast<std::uint32_t>(leftover.size()), 1});
        leftover.emplace_back(choice, c);
    });
    std::sort(grouped.begin(), grouped.end(),
              [](const SupportEntry& a, const SupportEntry& b) { return a.key < b.key; });

    cplx local[16];
    for (std::size_t g = 0; g < grouped.size();) {
        const std::uint64_t key = grouped[g].key;
        int k = 0;
        while (k < 4 && ((key >> (16 * k)) & kNoMode) != kNoMode) ++k;
        std::fill(local, local + 16, cplx{});
        for (; g < grouped.size() && grouped[g].key == key; ++g) {
            if (grouped[g].from_table) {
                const auto& [choice, c] = leftover[grouped[g].index];
                local[choice] += c;
                continue;
            }
            const std::size_t t = grouped[g].index, first = terms.offsets[t];
            // rank of each operator's spin-orbital in the support, and the sign of the
            // permutation that sorts them
            int rank[4], sign = 1;
            for (int i = 0; i < k; ++i) {
                rank[i] = 0;
                for (int j = 0; j < k; ++j)
                    rank[i] += terms.modes[first + j] < terms.modes[first + i] ? 1 : 0;
                for (int j = 0; j < i; ++j)
                    if (terms.modes[first + j] > terms.modes[first + i]) sign = -sign;
            }
            const cplx scaled = terms.coef[t] * (std::ldexp(1.0, -k) * sign);
            for (std::uint32_t choice = 0; choice < (1u << k); ++choice) {
                int phase = 0;
                std::uint32_t bits = 0;
                for (int i = 0; i < k; ++i)
                    if ((choice >> i) & 1u) {
                        phase += terms.dagger[first + i] ? 3 : 1;
                        bits |= 1u << rank[i];
                    }
                local[bits] += scaled * i_power(phase);
            }
        }
        for (int j = 0; j < (1 << k); ++j) total += std::abs(local[j]);
    }
    return total;
}

}  // namespace

double lcu_one_norm_wide(const LadderTerms& terms) {
    check_terms(terms);
    std::size_t longest = 0;
    for (std::size_t t = 0; t < terms.size(); ++t)
        longest = std::max(longest, terms.offsets[t + 1] - terms.offsets[t]);
    if (longest <= 4) return wide_norm<1>(terms);
    if (longest <= 8) return wide_norm<2>(terms);
    return wide_norm<4>(terms);
}

double lcu_one_norm_plain(const LadderTerms& terms) {
    check_terms(terms);
    std::map<std::vector<std::uint32_t>, cplx> monomials;
    for (std::size_t t = 0; t < terms.size(); ++t)
        expand_term<std::uint32_t>(terms, t, [&](const std::uint32_t* idx, int len, cplx c) {
            monomials[std::vector<std::uint32_t>(idx, idx + len)] += c;
        });
    double total = 0.0;
    for (const auto& [key, c] : monomials)
        if (!key.empty()) total += std::abs(c);
    return total;
}

}  // namespace korvel::engine
