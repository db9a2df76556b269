#include "engine/pool_gradient.h"

#include <bit>
#include <unordered_map>

namespace korvel::engine {

namespace {

int parity_below(std::uint64_t det, int p) {
    const std::uint64_t below = p == 0 ? 0 : (det & ((std::uint64_t{1} << p) - 1));
    return std::popcount(below) & 1;
}

struct PairHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& k) const {
        return std::hash<std::uint64_t>()(k.first * 0x9E3779B97F4A7C15ULL ^ k.second);
    }
};

}  // namespace

bool apply_ladder(std::uint64_t cre, std::uint64_t ann, std::uint64_t& det, int& sign) {
    // The rightmost operator acts first: annihilators from the lowest index up, then
    // creators from the lowest index up.
    for (std::uint64_t m = ann; m; m &= m - 1) {
        const int p = std::countr_zero(m);
        if (!((det >> p) & 1)) return false;
        if (parity_below(det, p)) sign = -sign;
        det &= ~(std::uint64_t{1} << p);
    }
    for (std::uint64_t m = cre; m; m &= m - 1) {
        const int p = std::countr_zero(m);
        if ((det >> p) & 1) return false;
        if (parity_below(det, p)) sign = -sign;
        det |= std::uint64_t{1} << p;
    }
    return true;
}

std::vector<double> pool_gradients(const NormalTerms& h, std::uint64_t det, const std::vector<Excitation>& pool) {
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::size_t, PairHash> index;
    std::vector<int> s(pool.size());
    for (std::size_t k = 0; k < pool.size(); ++k) {
        index[{pool[k].occ, pool[k].vir}] = k;
        std::uint64_t d = det;
        int sign = 1;
        s[k] = apply_ladder(pool[k].vir, pool[k].occ, d, sign) ? sign : 0;
    }
    std::vector<double> g(pool.size(), 0.0);
    auto add = [&](std::uint64_t other, double value) {
        auto it = index.find({det & ~other, other & ~det});
        if (it != index.end()) g[it->second] += s[it->second] * value;
    };
    for (std::size_t t = 0; t < h.size(); ++t) {
        const std::uint64_t cre = h.cre[t], ann = h.ann[t];
        if (cre == ann) continue;  // number-diagonal: no excitation
        // <D|t|D'>: D' = (D minus the created) plus the annihilated.
        if ((cre & ~det) == 0) {
            const std::uint64_t other = (det & ~cre) | ann;
            std::uint64_t d = other;
            int sign = 1;
            if ((ann & det & ~cre) == 0 && apply_ladder(cre, ann, d, sign) && d == det)
                add(other, sign * h.c[t].real());
        }
        // <D'|t|D>: t applied to D.
        std::uint64_t d = det;
        int sign = 1;
        if (apply_ladder(cre, ann, d, sign)) add(d, sign * h.c[t].real());
    }
    return g;
}

std::vector<double> pool_gradients_plain(const NormalTerms& h, std::uint64_t det,
                                         const std::vector<Excitation>& pool) {
    std::vector<double> g;
    for (const Excitation& x : pool) {
        std::uint64_t excited = det;
        int s = 1;
        if (!apply_ladder(x.vir, x.occ, excited, s)) {
            g.push_back(0.0);
            continue;
        }
        double sum = 0;
        for (std::size_t t = 0; t < h.size(); ++t) {
            std::uint64_t d = excited;
            int sign = 1;
            if (apply_ladder(h.cre[t], h.ann[t], d, sign) && d == det) sum += s * sign * h.c[t].real();
            d = det;
            sign = 1;
            if (apply_ladder(h.cre[t], h.ann[t], d, sign) && d == excited) sum += s * sign * h.c[t].real();
        }
        g.push_back(sum);
    }
    return g;
}

}  // namespace korvel::engine
