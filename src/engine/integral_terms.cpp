#include "engine/integral_terms.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/memory.h"

namespace korvel::engine {

namespace {

void check_size(const SpatialIntegrals& in) {
    if (in.n_orb < 0 || 2LL * in.n_orb > kMaxIntegralSpinOrbitals)
        throw std::invalid_argument("the Hamiltonian on " + std::to_string(in.n_orb) +
                                    " orbitals has more spin-orbitals than the " +
                                    std::to_string(kMaxIntegralSpinOrbitals) +
                                    " that its terms can index");
    if (in.n_orb > 0 && (!in.h1 || !in.eri)) throw std::invalid_argument("missing integrals");
}

// A coefficient that OpenFermion's route adds: the spin-orbital integral is cut to zero below
// the tolerance, an exact zero is skipped, and a coefficient below it is dropped on addition.
// (A NaN passes all three, as it does there.)
inline bool kept(double integral, double coefficient) {
    return !(std::fabs(integral) < kDropTolerance) && coefficient != 0.0 &&
           !(std::fabs(coefficient) < kDropTolerance);
}

IntegralTerm make_term(int n_ops, int a, int b, int c, int d, double value) {
    IntegralTerm t{};
    t.n_ops = static_cast<std::uint8_t>(n_ops);
    t.modes[0] = static_cast<std::uint16_t>(a);
    t.modes[1] = static_cast<std::uint16_t>(b);
    t.modes[2] = static_cast<std::uint16_t>(c);
    t.modes[3] = static_cast<std::uint16_t>(d);
    t.value = value;
    return t;
}

// The leading part shared by both routes: the constant and the one-body terms, which no
// reordering touches and no other term reaches.
void leading_terms(const SpatialIntegrals& in, std::vector<IntegralTerm>& out) {
    if (!(std::fabs(in.constant) < kDropTolerance)) out.push_back(make_term(0, 0, 0, 0, 0, in.constant));
    const int n = in.n_orb, N = 2 * n;
    for (int p = 0; p < N; ++p)
        for (int q = 0; q < N; ++q) {
            if ((p & 1) != (q & 1)) continue;  // h conserves spin
            const double v = in.h1[std::size_t(p / 2) * n + q / 2];
            if (kept(v, v)) out.push_back(make_term(2, p, q, 0, 0, v));
        }
}

}  // namespace

std::vector<IntegralTerm> hamiltonian_terms(const SpatialIntegrals& in) {
    check_size(in);
    std::vector<IntegralTerm> out;
    leading_terms(in, out);
    const std::size_t n = static_cast<std::size_t>(in.n_orb);
    const std::uint64_t N = 2 * n;
    const double* eri = in.eri;

    // 1/2 (ps|qr) for a+_p a+_q a_r a_s, present only when the spin of p is that of s and
    // the spin of q that of r.
    auto coefficient = [&](std::uint64_t p, std::uint64_t q, std::uint64_t r, std::uint64_t s,
                           double& c) {
        if ((p & 1) != (s & 1) || (q & 1) != (r & 1)) return false;
        const double v = eri[((p / 2 * n + s / 2) * n + q / 2) * n + r / 2];
        c = 0.5 * v;
        return kept(v, c);
    };
    auto linear = [N](std::uint64_t p, std::uint64_t q, std::uint64_t r, std::uint64_t s) {
        return ((p * N + q) * N + r) * N + s;
    };

    // Each normal-ordered key a+_P a+_Q a_R a_S (P > Q, R > S) collects four orderings, met
    // in the lexicographic order (Q,P,S,R) +, (Q,P,R,S) -, (P,Q,S,R) -, (P,Q,R,S) +. The keys
    // are visited in the order of their first ordering, which is the order of insertion
    // unless a first contribution is missing or cancelled; `order` records the position of
    // the last insertion so the rare exceptions can be moved to their place.
    std::vector<IntegralTerm> two;
    std::vector<std::uint64_t> order;
    for (std::uint64_t Q = 0; Q < N; ++Q)
        for (std::uint64_t P = Q + 1; P < N; ++P)
            for (std::uint64_t S = 0; S < N; ++S)
                for (std::uint64_t R = S + 1; R < N; ++R) {
                    const bool direct = (Q & 1) == (R & 1) && (P & 1) == (S & 1);
                    const bool crossed = (Q & 1) == (S & 1) && (P & 1) == (R & 1);
                    if (!direct && !crossed) continue;
                    bool present = false;
                    double sum = 0.0, c = 0.0;
                    std::uint64_t inserted = 0;
                    auto add = [&](double a, std::uint64_t at) {
                        if (!present) {
                            sum = a;
                            inserted = at;
                            present = true;
                        } else {
                            sum = sum + a;
                        }
                        if (std::fabs(sum) < kDropTolerance) present = false;
                    };
                    if (coefficient(Q, P, S, R, c)) add(c, linear(Q, P, S, R));
                    if (coefficient(Q, P, R, S, c)) add(-c, linear(Q, P, R, S));
                    if (coefficient(P, Q, S, R, c)) add(-c, linear(P, Q, S, R));
                    if (coefficient(P, Q, R, S, c)) add(c, linear(P, Q, R, S));
                    if (!present) continue;
                    two.push_back(make_term(4, int(P), int(Q), int(R), int(S), sum));
                    order.push_back(inserted);
                }
    if (!std::is_sorted(order.begin(), order.end())) {
        std::vector<std::size_t> perm(two.size());
        for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = i;
        std::sort(perm.begin(), perm.end(),
                  [&](std::size_t a, std::size_t b) { return order[a] < order[b]; });
        std::vector<IntegralTerm> sorted;
        sorted.reserve(two.size());
        for (std::size_t i : perm) sorted.push_back(two[i]);
        two.swap(sorted);
    }
    out.insert(out.end(), two.begin(), two.end());
    return out;
}

std::vector<IntegralTerm> hamiltonian_terms_plain(const SpatialIntegrals& in) {
    check_size(in);
    const int n = in.n_orb, N = 2 * n;
    // An insertion-ordered sum of terms: a term whose sum falls below the tolerance is
    // removed, and a later addition inserts it again at the end.
    struct Entry {
        double value = 0.0;
        bool present = false;
        std::uint64_t inserted = 0;
    };
    std::map<std::vector<int>, Entry> sums;
    std::uint64_t clock = 0;
    auto add = [&](const std::vector<int>& key, double a) {
        Entry& e = sums[key];
        if (!e.present) {
            e = Entry{a, true, clock++};
        } else {
            e.value += a;
        }
        if (std::fabs(e.value) < kDropTolerance) e.present = false;
    };

    std::vector<IntegralTerm> lead;
    leading_terms(in, lead);
    for (const IntegralTerm& t : lead)
        add(t.n_ops == 0 ? std::vector<int>{} : std::vector<int>{t.modes[0], t.modes[1]}, t.value);

    for (int p = 0; p < N; ++p)
        for (int q = 0; q < N; ++q)
            for (int r = 0; r < N; ++r)
                for (int s = 0; s < N; ++s) {
                    double v = 0.0;
                    if (p % 2 == s % 2 && q % 2 == r % 2)
                        v = in.eri[((std::size_t(p / 2) * n + s / 2) * n + q / 2) * n + r / 2];
                    if (std::fabs(v) < kDropTolerance) v = 0.0;  // the spin-orbital cut
                    const double c = 0.5 * v;
                    if (c == 0.0 || std::fabs(c) < kDropTolerance) continue;
                    // Normal order: a repeated operator vanishes, each swap of two creators
                    // or two annihilators changes the sign.
                    if (p == q || r == s) continue;
                    double sign = 1.0;
                    int a = p, b = q, x = r, y = s;
                    if (b > a) std::swap(a, b), sign = -sign;
                    if (y > x) std::swap(x, y), sign = -sign;
                    add({a, b, x, y}, sign * c);
                }

    std::vector<std::pair<std::uint64_t, IntegralTerm>> found;
    for (const auto& [key, e] : sums) {
        if (!e.present) continue;
        const int k = static_cast<int>(key.size());
        found.emplace_back(e.inserted, make_term(k, k > 0 ? key[0] : 0, k > 1 ? key[1] : 0,
                                                 k > 2 ? key[2] : 0, k > 3 ? key[3] : 0,
                                                 e.value));
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<IntegralTerm> out;
    out.reserve(found.size());
    for (auto& f : found) out.push_back(f.second);
    return out;
}

}  // namespace korvel::engine
