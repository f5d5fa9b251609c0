#include "tree/kernels/node_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "core/numerics.hpp"
#include "tree/fit/pending_chains.hpp"
#include "test_support.hpp"

namespace vandu::kernels {
namespace {

using vandu::testing::bits;
using vandu::testing::PositionBuffer;

struct Outputs {
    std::vector<double> min, max, cl, ml, ql, cr, mr, qr;
    std::vector<std::int64_t> nan;
    std::vector<double> marked;  // left counts after the first marks[k] rows, by k
};

Outputs run(const NodeKernels& k, const std::vector<double>& rows, std::size_t stride, std::size_t n,
            const std::vector<double>& y, const std::vector<double>& t,
            const std::vector<std::size_t>& marks) {
    Outputs o;
    for (auto* v : {&o.min, &o.max, &o.cl, &o.ml, &o.ql, &o.cr, &o.mr, &o.qr}) v->assign(stride, 0.0);
    o.nan.assign(stride, 0);
    o.marked.assign(marks.size() * stride, -1.0);
    k.value_ranges(rows.data(), nullptr, stride, stride, n, o.min.data(), o.max.data(), o.nan.data());
    k.side_statistics(rows.data(), stride, stride, n, y.data(), t.data(),
                      {o.cl.data(), o.ml.data(), o.ql.data(), o.cr.data(), o.mr.data(), o.qr.data()},
                      {marks.data(), marks.size(), o.marked.data(), stride});
    return o;
}

// Every lane must do exactly the one-feature arithmetic; both variants must agree.
class KernelsMatchScalarDefinition : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KernelsMatchScalarDefinition, BitForBit) {
    const std::size_t features = GetParam();
    const std::size_t stride = (features + kernel_width - 1) / kernel_width * kernel_width;
    std::mt19937_64 gen(features);
    std::uniform_int_distribution<int> small(0, 3);
    std::normal_distribution<double> g(0.0, 1.0);
    for (std::size_t n : {1u, 2u, 3u, 17u, 250u}) {
        std::vector<double> rows(n * stride, 0.0), y(n), t(stride, INFINITY);
        for (std::size_t s = 0; s < n; ++s) {
            y[s] = g(gen);
            for (std::size_t f = 0; f < features; ++f)
                rows[s * stride + f] = f % 3 == 0 ? small(gen) * (s % 2 ? -0.0 : 0.0) + small(gen) : g(gen);
        }
        for (std::size_t f = 0; f < features; ++f) t[f] = f % 4 == 3 ? INFINITY : g(gen) * 0.5;

        const std::vector<std::size_t> marks{0, n / 3, n / 2, n};
        const Outputs fast = run(node_kernels(), rows, stride, n, y, t, marks);
        const Outputs portable = run(generic_node_kernels(), rows, stride, n, y, t, marks);
        for (std::size_t f = 0; f < features; ++f) {
            const auto range = value_range(VectorView(rows.data() + f, n, static_cast<std::ptrdiff_t>(stride)));
            RunningStats left, right;
            for (std::size_t s = 0; s < n; ++s) (rows[s * stride + f] > t[f] ? right : left).push(y[s]);
            for (const Outputs* o : {&fast, &portable}) {
                EXPECT_EQ(bits(o->min[f]), bits(range->first));
                EXPECT_EQ(bits(o->max[f]), bits(range->second));
                EXPECT_EQ(o->nan[f], 0);
                EXPECT_EQ(o->cl[f], static_cast<double>(left.count));
                EXPECT_EQ(o->cr[f], static_cast<double>(right.count));
                EXPECT_EQ(bits(o->ml[f]), bits(left.mean));
                EXPECT_EQ(bits(o->mr[f]), bits(right.mean));
                EXPECT_EQ(bits(o->ql[f]), bits(left.m2));
                EXPECT_EQ(bits(o->qr[f]), bits(right.m2));
                for (std::size_t k = 0; k < marks.size(); ++k) {
                    std::size_t lefts = 0;
                    for (std::size_t s = 0; s < marks[k]; ++s) lefts += !(rows[s * stride + f] > t[f]);
                    EXPECT_EQ(o->marked[k * stride + f], static_cast<double>(lefts));
                }
            }
        }
    }
}

// The masked sums add in row order, so they too are the scalar loop's bits; the partition
// sends everything stably to its side, takes each side's ranges as the range pass would
// and pushes each side's statistics in order. Rows are read side by side or, through
// ascending positions, from a larger matrix.
TEST_P(KernelsMatchScalarDefinition, MaskedSumsAndPartition) {
    const std::size_t features = GetParam();
    const std::size_t stride = (features + kernel_width - 1) / kernel_width * kernel_width;
    std::mt19937_64 gen(features + 100);
    std::normal_distribution<double> g(0.0, 1.0);
    for (std::size_t n : {1u, 2u, 7u, 300u}) {
        // The node's rows are every third row of a matrix three times as large.
        std::vector<double> matrix(3 * n * stride, 0.0), rows(n * stride), y(n), t(stride, INFINITY);
        std::vector<std::uint64_t> positions(n);
        for (std::size_t s = 0; s < n; ++s) {
            y[s] = g(gen);
            positions[s] = 3 * s + 1;
            for (std::size_t f = 0; f < features; ++f)
                rows[s * stride + f] = f % 2 ? g(gen) : (s % 3 == 1 ? -0.0 : 0.0);
            std::copy_n(rows.begin() + s * stride, stride, matrix.begin() + positions[s] * stride);
        }
        for (std::size_t f = 0; f < features; ++f) t[f] = f % 5 == 4 ? -INFINITY : g(gen) * 0.5;
        const std::size_t f_split = features / 2;
        std::size_t n_left = 0;
        for (std::size_t s = 0; s < n; ++s) n_left += !(rows[s * stride + f_split] > t[f_split]);
        RunningStats expected[2];
        for (std::size_t s = 0; s < n; ++s) expected[rows[s * stride + f_split] > t[f_split]].push(y[s]);

        for (const NodeKernels* k : {&node_kernels(), &generic_node_kernels()}) {
            // Positions of 4 bytes, then of 8.
            for (int way = 0; way < 4; ++way) {
                const bool indexed = way % 2 == 1, wide = way >= 2;
                const double* source = indexed ? matrix.data() : rows.data();
                PositionBuffer in_pos(positions, wide);
                const ConstPositionPtr index = indexed ? in_pos.data() : nullptr;
                std::vector<std::int64_t> above(stride, -7);
                std::vector<double> sum(stride, NAN);
                const double shift = 0.25;
                NodeTargets summary;
                std::vector<std::uint64_t> side_bits(n, ~std::uint64_t{0});
                k->masked_sums(source, index, stride, stride, n, y.data(), shift, t.data(), above.data(), sum.data(),
                               &summary, side_bits.data());
                for (std::size_t s = 0; s < n; ++s)
                    for (std::size_t f = 0; f < stride; ++f)
                        ASSERT_EQ((side_bits[s] >> f) & 1, rows[s * stride + f] > t[f] ? 1u : 0u) << s << " " << f;
                for (std::size_t f = 0; f < features; ++f) {
                    std::int64_t count = 0;
                    double total = 0.0;
                    for (std::size_t s = 0; s < n; ++s) {
                        const bool right = rows[s * stride + f] > t[f];
                        count += right;
                        total = total + (right ? y[s] - shift : 0.0);
                    }
                    EXPECT_EQ(above[f], count);
                    EXPECT_EQ(bits(sum[f]), bits(total));
                }
                // The sums may add in any order: within the summation bound of the ordered ones.
                double total = 0.0, squares = 0.0, low = y[0], high = y[0], largest = 0.0, largest_shifted = 0.0;
                double magnitude = 0.0;
                for (double v : y) {
                    total = total + (v - shift);
                    squares = squares + (v - shift) * (v - shift);
                    magnitude += std::fabs(v - shift);
                    low = std::min(low, v);
                    high = std::max(high, v);
                    largest = std::max(largest, std::fabs(v));
                    largest_shifted = std::max(largest_shifted, std::fabs(v - shift));
                }
                EXPECT_EQ(summary.n, n);
                const double slack = 2.0 * static_cast<double>(n + 2) * 0x1p-53;
                EXPECT_LE(std::fabs(summary.sum - total), slack * magnitude);
                EXPECT_LE(std::fabs(summary.squares - squares), slack * squares);
                EXPECT_EQ(summary.low, low);
                EXPECT_EQ(summary.high, high);
                EXPECT_EQ(summary.largest, largest);
                EXPECT_EQ(summary.largest_shifted, largest_shifted);

                std::vector<double> out_rows(n * stride, NAN), out_y(n, NAN);
                PositionBuffer out_pos(n, wide);
                std::vector<double> mn[2], mx[2];
                SideRanges sides[2];
                for (int side = 0; side < 2; ++side) {
                    mn[side].assign(stride, 0.0);
                    mx[side].assign(stride, 0.0);
                    sides[side] = {mn[side].data(), mx[side].data(), 0};
                }
                // The same bits as words of 32, as the pass over codes notes them.
                const std::size_t words = (stride + 31) / 32;
                std::vector<std::uint32_t> side_words(n * words);
                for (std::size_t s = 0; s < n; ++s)
                    for (std::size_t w = 0; w < words; ++w)
                        side_words[s * words + w] = static_cast<std::uint32_t>(side_bits[s] >> (32 * w));
                // Rows read for the ranges, rows copied, or only the sides read from the bits
                // or from the words.
                for (int mode : {0, 1, 2, 3}) {
                    const bool copy = mode == 1, bits_only = mode >= 2;
                    RunningStats stats[2];
                    Partition p{source, y.data(), index, indexed, 5, n, f_split, t[f_split],
                                copy ? out_rows.data() : nullptr, out_y.data(), out_pos.data(), {0, n_left},
                                {n_left, n}, bits_only ? nullptr : sides, stats,
                                mode == 2 ? side_bits.data() : nullptr,
                                mode == 3 ? side_words.data() + f_split / 32 : nullptr, words};
                    sides[0].count = sides[1].count = 0;
                    ASSERT_TRUE(k->partition(p, stride));
                    std::size_t at[2] = {0, n_left};
                    for (std::size_t s = 0; s < n; ++s) {
                        const std::size_t d = at[rows[s * stride + f_split] > t[f_split]]++;
                        EXPECT_EQ(bits(out_y[d]), bits(y[s]));
                        EXPECT_EQ(out_pos[d], indexed ? positions[s] : 5 + s);
                        if (copy) {
                            for (std::size_t f = 0; f < stride; ++f)
                                EXPECT_EQ(bits(out_rows[d * stride + f]), bits(rows[s * stride + f]));
                        }
                    }
                    for (int side = 0; side < 2; ++side) {
                        EXPECT_EQ(stats[side].count, expected[side].count);
                        EXPECT_EQ(bits(stats[side].mean), bits(expected[side].mean));
                        EXPECT_EQ(bits(stats[side].m2), bits(expected[side].m2));
                        const std::size_t from = side ? n_left : 0, count = side ? n - n_left : n_left;
                        if (bits_only) continue;
                        EXPECT_EQ(sides[side].count, count);
                        if (count == 0 || !copy) continue;
                        for (std::size_t f = 0; f < features; ++f) {
                            const auto range = value_range(VectorView(out_rows.data() + from * stride + f, count,
                                                                      static_cast<std::ptrdiff_t>(stride)));
                            EXPECT_EQ(bits(mn[side][f]), bits(range->first));
                            EXPECT_EQ(bits(mx[side][f]), bits(range->second));
                        }
                    }
                }
                // A NaN met by the ranges, or a row beyond its side's end: the rows changed
                // since they were counted.
                if (n > 1) {
                    std::vector<double> changed(rows);
                    changed[(n - 1) * stride + (features > 1 ? 1 : 0)] = NAN;
                    std::size_t lefts = 0;
                    for (std::size_t s = 0; s < n; ++s) lefts += !(changed[s * stride + f_split] > t[f_split]);
                    Partition p{changed.data(), y.data(), nullptr, false, 0, n, f_split, t[f_split], nullptr,
                                out_y.data(), nullptr, {0, lefts}, {lefts, n}, sides, nullptr, nullptr, nullptr, 0};
                    EXPECT_FALSE(k->partition(p, stride));
                }
                if (n_left > 0 && n_left < n) {
                    Partition p{source, y.data(), index, indexed, 0, n, f_split, t[f_split], nullptr,
                                out_y.data(), nullptr, {0, n_left}, {n_left - 1, n}, nullptr, nullptr, nullptr,
                                nullptr, 0};
                    EXPECT_FALSE(k->partition(p, stride));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FeatureCounts, KernelsMatchScalarDefinition,
                         ::testing::Values(1, 3, 4, 5, 8, 11, 20, 24, 29, 33, 47));

class ChainsInLanes : public ::testing::TestWithParam<std::size_t> {};

// Chains of any length (none too), some continuing earlier pushes, in fewer or more lanes
// than chains: every one ends with the bits of its pushes one by one.
TEST_P(ChainsInLanes, AreThePushesOneByOne) {
    const std::size_t count = GetParam();
    std::mt19937_64 gen(count);
    std::uniform_int_distribution<std::size_t> length(0, 150);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<std::vector<double>> ys(count);
    std::vector<RunningStats> start(count), expected(count);
    for (std::size_t c = 0; c < count; ++c) {
        const double scale = std::ldexp(1.0, static_cast<int>(c % 7) * 90 - 300);
        ys[c].resize(c % 5 == 4 ? 0 : length(gen));
        for (double& v : ys[c]) v = 1e3 * scale + u(gen) * scale;
        for (int k = 0; k < static_cast<int>(c % 3); ++k) start[c].push(u(gen) * scale);
        expected[c] = start[c];
        for (double v : ys[c]) expected[c].push(v);
    }
    // Every third chain reads its targets through ascending positions into a larger array
    // (as the last level's children read the root's), of 4 bytes or 8.
    std::vector<std::vector<double>> pool(count);
    std::vector<std::vector<std::uint32_t>> narrow(count);
    std::vector<std::vector<std::uint64_t>> wide(count);
    std::bernoulli_distribution decoy(0.5);
    for (std::size_t c = 1; c < count; c += 3)
        for (std::size_t i = 0; i < ys[c].size(); ++i) {
            while (decoy(gen)) pool[c].push_back(1e300 * u(gen));
            narrow[c].push_back(static_cast<std::uint32_t>(pool[c].size()));
            wide[c].push_back(pool[c].size());
            pool[c].push_back(ys[c][i]);
        }
    for (const NodeKernels* k : {&node_kernels(), &generic_node_kernels()}) {
        std::vector<RunningStats> got = start;
        std::vector<Chain> chains;
        for (std::size_t c = 0; c < count; ++c) {
            if (c % 3 != 1) {
                chains.push_back({ys[c].data(), ys[c].size(), &got[c]});
                continue;
            }
            const ConstPositionPtr index = c % 2 ? ConstPositionPtr(wide[c].data()) : ConstPositionPtr(narrow[c].data());
            chains.push_back({pool[c].data(), ys[c].size(), &got[c], index});
        }
        k->welford_chains(chains.data(), chains.size());
        for (std::size_t c = 0; c < count; ++c) {
            EXPECT_EQ(got[c].count, expected[c].count) << c;
            EXPECT_EQ(bits(got[c].mean), bits(expected[c].mean)) << c;
            EXPECT_EQ(bits(got[c].m2), bits(expected[c].m2)) << c;
        }
        // As a grower's pending splits (two chains each), pushed in slices of any length
        // before the rest runs: the same bits.
        PendingChains pending;
        pending.size_levels(4);
        for (std::size_t c = 0; c < count; c += 2) {
            const std::size_t d = std::min(c + 1, count - 1);
            const std::size_t n_d = d == c ? 0 : ys[d].size();
            pending.add_split({c, c % 3, {start[c], start[d]}, {ys[c].data(), ys[d].data()}, {ys[c].size(), n_d}});
        }
        std::uniform_int_distribution<std::size_t> slice(0, 60);
        for (int round = 0; round < 4; ++round) pending.advance(*k, slice(gen));
        pending.flush(*k, 1, 0, false, [&](std::size_t c, const std::array<RunningStats, 2>& sides) {
            const std::size_t d = std::min(c + 1, count - 1);
            for (std::size_t side = 0; side < (d == c ? 1u : 2u); ++side) {
                const RunningStats& want = expected[side ? d : c];
                EXPECT_EQ(sides[side].count, want.count) << c;
                EXPECT_EQ(bits(sides[side].mean), bits(want.mean)) << c;
                EXPECT_EQ(bits(sides[side].m2), bits(want.m2)) << c;
            }
        }, [](const PendingSettle&) {});
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ChainsInLanes, ::testing::Values(1, 3, 6, 9, 13, 40));

TEST(NodeKernels, NaNIsFlaggedOnlyAmongTwoOrMoreValues) {
    for (const NodeKernels* k : {&node_kernels(), &generic_node_kernels()}) {
        std::vector<double> rows{NAN, 1.0, 2.0, 3.0};
        double mn[4], mx[4];
        std::int64_t nan[4];
        k->value_ranges(rows.data(), nullptr, 4, 4, 1, mn, mx, nan);
        EXPECT_EQ(nan[0], 0);
        rows.insert(rows.end(), {5.0, 1.0, NAN, 3.0});
        k->value_ranges(rows.data(), nullptr, 4, 4, 2, mn, mx, nan);
        EXPECT_NE(nan[0], 0);
        EXPECT_EQ(nan[1], 0);
        EXPECT_NE(nan[2], 0);
        EXPECT_EQ(nan[3], 0);
    }
}

}  // namespace
}  // namespace vandu::kernels
