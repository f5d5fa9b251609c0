#include "tree/fit/split_search.hpp"

#include <algorithm>
#include <cmath>

namespace vandu {

// ---------------------------------------------------------------------------------------
// The bound.
//
// Notation: u = 2^-53 (unit roundoff), g(k) = k u / (1 - k u), e >= 2^-1075 (the absolute
// error a product or quotient can add when it lands among the subnormals; sums add none).
// A node has N rows; c is the shift, d_i = fl(y_i - c). From the summary: R >= max y - min y,
// B = max |y|, A >= max |y - c|, and Qb = (Q + N e) / (1 - g(N+2)) >= the exact sum of
// (y - c)^2, which bounds the exact within-side sums M_L + M_R (the shift minimises nothing,
// the side means do).
//
// The exact statistics of a side of k <= N rows (Welford, as pushed: n = k, d = (y - m) / n,
// m += d, m2 += (n - 1) ((d d) n)), against the exact running mean mu and exact M:
// - Mean. m_k - mu_k = (m_{k-1} - mu_{k-1})(1 - 1/k) + (y - m) t2 / k + r_k, with |t2| <= g(2),
//   |r_k| <= u/(1-u) |m_k| + e. Since |y - mu| <= R and |m_k| <= B + |error|, unrolling the
//   recursion (the factors (1 - 1/j) telescope to j/k) gives |m_k - mu_k| <= eps for all k:
//     eps = (g(2) R + u/(1-u) B (N+1)/2 + N e) / (1 - g(2) - u/(1-u) (N+1)/2).
// - Increment. Exactly M_k = M_{k-1} + (k-1)/k (y - mu_{k-1})^2. The pushed increment is
//   (k-1)/k (y - m_{k-1})^2 (1 + t7), |t7| <= g(7) (seven roundings, d counted twice), plus
//   at most 8 k^2 e (1 + R) from subnormals. (y - m)^2 - (y - mu)^2 is at most 2 eps R + eps^2.
//   Summed: g(7) M + (1 + g(7)) N (2 eps R + eps^2) + 8 N^3 e (1 + R).
// - The additions m2 + t round by at most u m2_k <= u m2_N each (all terms are >= 0):
//     |m2 - M| <= W = ((g(7) + N u) Qb + (1 + g(7)) N (2 eps R + eps^2) + 8 N^3 e (1 + R))
//                     / (1 - N u).
// - Impurity ((m2/n) n per side, then their sum): three more roundings and 2 N e per side,
//     |impurity - (M_L + M_R)| <= EW = 2 W + g(3) (Qb + 2 W) + 4 N e.
//
// The estimate, from S_R (the masked sum of d over the rows above the threshold, in any
// order), S_T and Q (the node's sums), S_L = S_T - S_R, P = (S S) / k per side:
// - Every sum of d differs from the exact sum of (y - c) over the same rows by at most
//   g(N+2) N A; S_L adds its own: sigma = 3 g(N+2) N A bounds both sides.
// - |S^2 - S*^2| / k <= sigma (2 A + sigma) since |S*| <= k A; with P's two roundings,
//     |P - P*| <= dP = sigma (2 A + sigma)(1 + g(2)) + g(2) Qb + 2 e   (P* = S*^2/k <= Qb).
// - |Q - Q*| <= dQ = g(N+2) Qb + N e.
// - estimate = (Q - P_L) - P_R, exactly Q* - P*_L - P*_R = M_L + M_R:
//     |estimate - (M_L + M_R)| <= EE = dQ + 2 dP + 3 u (Qb + dQ + dP).
//
// So every feature's estimate is within EW + EE of its exact impurity; the returned bound
// doubles it as a margin for the few roundings of this computation itself. A feature
// whose estimate exceeds the least estimate by more than twice the bound has an exact
// impurity strictly above that of the feature with the least estimate, so it cannot be
// chosen. The window is taken as 2.5 bounds: the bound is at least 12 u Qb, so the
// rounding of the window's own addition cannot shrink it below two.

namespace {

constexpr double unit = 0x1p-53;
// Above the true 2^-1075, but a normal number: subnormal operands would make every node's
// bound take a slow path through microcode.
constexpr double tiny = 0x1p-1022;

// No divisions on the way: every node computes its bound. With N < 2^40, k u <= 2^-13 for
// every k used, so 1 / (1 - k u) <= 1 + 2^-12 < widen, and g(k) <= k u widen.
constexpr double widen = 1.0 + 0x1p-11;
constexpr double g2 = 2.0 * unit * widen, g3 = 3.0 * unit * widen, g7 = 7.0 * unit * widen;

}  // namespace

double estimate_error_bound(const NodeTargets& node) {
    const double N = static_cast<double>(node.n);
    const double R = (node.high - node.low) * (1.0 + 2.0 * unit);
    const double B = node.largest;
    const double A = node.largest_shifted * (1.0 + 2.0 * unit);
    const double gN = (N + 2.0) * unit * widen;
    const double Qb = (node.squares + N * tiny) * widen;
    const double up = unit * widen;

    const double eps = (g2 * R + up * B * (N + 1.0) * 0.5 + N * tiny) * widen;
    const double W = ((g7 + N * unit) * Qb + (1.0 + g7) * N * (2.0 * eps * R + eps * eps) +
                      8.0 * N * N * N * tiny * (1.0 + R)) *
                     widen;
    const double EW = 2.0 * W + g3 * (Qb + 2.0 * W) + 4.0 * N * tiny;

    const double sigma = 3.0 * gN * N * A;
    const double dP = sigma * (2.0 * A + sigma) * (1.0 + g2) + g2 * Qb + 2.0 * tiny;
    const double dQ = gN * Qb + N * tiny;
    const double EE = dQ + 2.0 * dP + 3.0 * unit * (Qb + dQ + dP);
    return 2.0 * (EW + EE);
}

void merge_targets(NodeTargets& into, const NodeTargets& more) {
    if (more.n == 0) return;
    if (into.n == 0) {
        into = more;
        return;
    }
    into.n += more.n;
    into.sum += more.sum;
    into.squares += more.squares;
    into.low = std::min(into.low, more.low);
    into.high = std::max(into.high, more.high);
    into.largest = std::max(into.largest, more.largest);
    into.largest_shifted = std::max(into.largest_shifted, more.largest_shifted);
}

bool certifiable_targets(const double* y, std::size_t n) {
    if (n >= (std::size_t{1} << 40)) return false;
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= std::fabs(y[i]) <= certified_target;  // NaN fails
    return ok;
}

double estimated_impurity(const NodeTargets& node, std::size_t right, double sum_right) {
    const double k_right = static_cast<double>(right);
    const double k_left = static_cast<double>(node.n - right);
    const double sum_left = node.sum - sum_right;
    return (node.squares - (sum_left * sum_left) / k_left) - (sum_right * sum_right) / k_right;
}

void certified_candidates(const NodeTargets& node, const std::int64_t* count_right,
                          const double* sum_right, const char* drawn, std::size_t n_features,
                          std::vector<std::size_t>& out) {
    out.clear();
    // Small nodes have few features: their estimates wait on the stack for the window.
    constexpr std::size_t held = 64;
    double estimates[held];
    double least = 0.0;
    bool any = false;
    for (std::size_t f = 0; f < n_features; ++f) {
        if (!drawn[f]) continue;
        const double e = estimated_impurity(node, static_cast<std::size_t>(count_right[f]), sum_right[f]);
        if (out.size() < held) estimates[out.size()] = e;
        if (!any || e < least) least = e;
        any = true;
        out.push_back(f);
    }
    if (!any) return;
    const double window = least + 2.5 * estimate_error_bound(node);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t f = out[i];
        const double e = i < held ? estimates[i]
                                  : estimated_impurity(node, static_cast<std::size_t>(count_right[f]), sum_right[f]);
        if (e <= window) out[kept++] = f;
    }
    out.resize(kept);
}

void side_statistics_of(const double* rows, ConstPositionPtr index, std::size_t stride,
                        std::size_t n, const double* y, std::size_t feature, double threshold,
                        RunningStats& left, RunningStats& right) {
    kernels::with_index(index, [&](const auto* positions, auto indexed) {
        for (std::size_t s = 0; s < n; ++s) {
            const double v = rows[(indexed ? positions[s] : s) * stride + feature];
            (side_of(v, threshold) ? right : left).push(y[s]);
        }
    });
}

ExactWinner exact_winner(const double* rows, ConstPositionPtr index, std::size_t stride,
                         std::size_t n, const double* y, const double* thresholds,
                         const std::vector<std::size_t>& candidates) {
    ArgminByScore<ExactWinner> best;
    for (std::size_t f : candidates) {
        ExactWinner w{f, {}, {}};
        side_statistics_of(rows, index, stride, n, y, f, thresholds[f], w.left, w.right);
        best.offer({split_impurity(w.left, w.right), w});
    }
    return best.result()->payload;
}

}  // namespace vandu
