#include "tree/split_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tree/node_kernels.hpp"
#include "test_support.hpp"

namespace vandu {
namespace {

using testing::bits;

// Nodes built to put the certified choice on the edge: exact ties, near-ties, huge means
// with tiny spreads, constant targets, extreme magnitudes, two or three rows.
enum class Targets { normal, huge_mean, constant, large, small, steps, count };
enum class Features { continuous, duplicates, one_apart, binary, count };

struct Node {
    std::size_t n = 0, features = 0, stride = 0;
    std::vector<double> rows, y, thresholds;
    std::vector<char> drawn;
};

Node make_node(std::mt19937_64& gen, Targets targets, Features features) {
    std::uniform_int_distribution<std::size_t> small_n(2, 6), any_n(2, 48), any_f(1, 9);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Node node;
    node.n = gen() % 4 == 0 ? small_n(gen) : any_n(gen);
    node.features = any_f(gen);
    node.stride = (node.features + kernels::kernel_width - 1) / kernels::kernel_width * kernels::kernel_width;
    node.rows.assign(node.n * node.stride, 0.0);
    for (std::size_t s = 0; s < node.n; ++s) {
        for (std::size_t f = 0; f < node.features; ++f) {
            double v = normal(gen);
            const std::size_t twin = f / 2 * 2;  // features come in pairs
            switch (features) {
                case Features::continuous: break;
                case Features::duplicates:
                    if (f != twin) v = node.rows[s * node.stride + twin];
                    break;
                case Features::one_apart:
                    if (f != twin) v = node.rows[s * node.stride + twin] + (s == f % node.n ? 5.0 : 0.0);
                    break;
                case Features::binary: v = static_cast<double>(gen() % 2); break;
                case Features::count: break;
            }
            node.rows[s * node.stride + f] = v;
        }
    }
    const double scale = std::ldexp(1.0, static_cast<int>(gen() % 60) - 30);
    const double level = targets == Targets::huge_mean ? std::ldexp(1.0, 30 + static_cast<int>(gen() % 300)) : 0.0;
    for (std::size_t s = 0; s < node.n; ++s) {
        double v = normal(gen);
        switch (targets) {
            case Targets::normal: v *= scale; break;
            case Targets::huge_mean: v = level + v * std::ldexp(level, -40); break;
            case Targets::constant: v = 3.25 * scale; break;
            case Targets::large: v = std::ldexp(v, 395); break;
            case Targets::small: v = std::ldexp(v, -500 - static_cast<int>(gen() % 560)); break;
            case Targets::steps: v = static_cast<double>(gen() % 3) * scale; break;
            case Targets::count: break;
        }
        node.y.push_back(v);
    }
    node.thresholds.assign(node.stride, INFINITY);
    node.drawn.assign(node.stride, 0);
    for (std::size_t f = 0; f < node.features; ++f) {
        double lo = INFINITY, hi = -INFINITY;
        for (std::size_t s = 0; s < node.n; ++s) {
            lo = std::min(lo, node.rows[s * node.stride + f]);
            hi = std::max(hi, node.rows[s * node.stride + f]);
        }
        if (!(hi > lo)) continue;
        // Twins share thresholds, so their partitions tie exactly or differ in one row.
        const std::size_t twin = f / 2 * 2;
        node.thresholds[f] = f != twin && features != Features::continuous && node.drawn[twin] && node.thresholds[twin] >= lo &&
                                     node.thresholds[twin] < hi
                                 ? node.thresholds[twin]
                                 : std::min(lo + unit(gen) * (hi - lo), std::nextafter(hi, lo));
        node.drawn[f] = 1;
    }
    return node;
}

// The certified choice must pick the very split that every feature's exact statistics
// pick: same feature, same impurity and means to the bit.
TEST(SplitSearch, CertifiedChoiceMatchesFullStatisticsOnAdversarialNodes) {
    std::mt19937_64 gen(20261208);
    std::size_t mismatches = 0, nodes = 0, several = 0, normal_single = 0, normal_nodes = 0;
    std::vector<std::int64_t> above;
    std::vector<double> sum_above;
    std::vector<std::size_t> candidates;
    for (int round = 0; nodes < 1000000; ++round) {
        const auto targets = static_cast<Targets>(round % static_cast<int>(Targets::count));
        const auto features = static_cast<Features>(round / 7 % static_cast<int>(Features::count));
        const Node node = make_node(gen, targets, features);
        ASSERT_TRUE(certifiable_targets(node.y.data(), node.n));
        const auto& k = round % 2 ? kernels::node_kernels() : kernels::generic_node_kernels();

        ArgminByScore<std::size_t> full;
        std::vector<std::pair<RunningStats, RunningStats>> stats(node.features);
        for (std::size_t f = 0; f < node.features; ++f) {
            if (!node.drawn[f]) continue;
            side_statistics_of(node.rows.data(), nullptr, node.stride, node.n, node.y.data(), f, node.thresholds[f],
                               stats[f].first, stats[f].second);
            full.offer({split_impurity(stats[f].first, stats[f].second), f});
        }
        if (!full.result()) continue;
        ++nodes;

        // Any finite shift is sound; a good one only narrows the window.
        double shift = 0.0;
        switch (round % 3) {
            case 0: shift = node.y[0]; break;
            case 1: shift = node.y[node.n / 2] * 0.5; break;
            default: break;
        }
        above.assign(node.stride, -1);
        sum_above.assign(node.stride, 0.0);
        NodeTargets summary;
        k.masked_sums(node.rows.data(), nullptr, node.stride, node.stride, node.n, node.y.data(), shift,
                      node.thresholds.data(), above.data(), sum_above.data(), &summary, nullptr);
        certified_candidates(summary, above.data(), sum_above.data(), node.drawn.data(), node.features,
                             candidates);
        ASSERT_FALSE(candidates.empty());
        ExactWinner w{candidates[0], {}, {}};
        if (candidates.size() == 1)
            side_statistics_of(node.rows.data(), nullptr, node.stride, node.n, node.y.data(), w.feature,
                               node.thresholds[w.feature], w.left, w.right);
        else
            w = exact_winner(node.rows.data(), nullptr, node.stride, node.n, node.y.data(), node.thresholds.data(),
                             candidates);
        several += candidates.size() > 1;
        if (targets == Targets::normal && features == Features::continuous) {
            ++normal_nodes;
            normal_single += candidates.size() == 1;
        }

        const std::size_t f = full.result()->payload;
        const bool same = w.feature == f &&
                          bits(split_impurity(w.left, w.right)) == bits(full.result()->score) &&
                          bits(w.left.mean) == bits(stats[f].first.mean) &&
                          bits(w.right.mean) == bits(stats[f].second.mean) &&
                          w.left.count == stats[f].first.count &&
                          static_cast<std::uint64_t>(node.n - above[f]) == stats[f].first.count;
        if (!same && ++mismatches <= 5) {
            ADD_FAILURE() << "round " << round << ": chose " << w.feature << ", full statistics chose " << f;
            std::fprintf(stderr, "n=%zu bound=%g shift=%g\n", node.n, estimate_error_bound(summary), shift);
            for (std::size_t g = 0; g < node.features; ++g) if (node.drawn[g])
                std::fprintf(stderr, " f%zu est=%.17g exact=%.17g above=%ld\n", g,
                    estimated_impurity(summary, above[g], sum_above[g]), split_impurity(stats[g].first, stats[g].second), (long)above[g]);
        }
    }
    EXPECT_EQ(mismatches, 0u);
    std::printf("%zu nodes, %zu with several candidates; %zu of %zu ordinary nodes with one\n", nodes, several,
                normal_single, normal_nodes);
    // Exact ties must reach the exact statistics, and ordinary nodes must not.
    EXPECT_GT(several, nodes / 20);
    EXPECT_GT(normal_single, normal_nodes * 3 / 4);
}

TEST(SplitSearch, TargetsBeyondTheBoundsReachFullStatistics) {
    std::vector<double> y{1.0, -2.0, 0x1p400, 3.0};
    EXPECT_TRUE(certifiable_targets(y.data(), y.size()));
    for (double bad : {0x1p401, -0x1p500, HUGE_VAL, std::nan("")}) {
        y[1] = bad;
        EXPECT_FALSE(certifiable_targets(y.data(), y.size())) << bad;
    }
}

}  // namespace
}  // namespace vandu
