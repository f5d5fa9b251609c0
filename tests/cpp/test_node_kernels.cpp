#include "tree/node_kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/numerics.hpp"
#include "test_support.hpp"

namespace vandu::kernels {
namespace {

using vandu::testing::bits;

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
    k.value_ranges(rows.data(), stride, stride, n, o.min.data(), o.max.data(), o.nan.data());
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

INSTANTIATE_TEST_SUITE_P(FeatureCounts, KernelsMatchScalarDefinition,
                         ::testing::Values(1, 3, 4, 5, 8, 11, 20, 24, 29, 33, 47));

TEST(NodeKernels, NaNIsFlaggedOnlyAmongTwoOrMoreValues) {
    for (const NodeKernels* k : {&node_kernels(), &generic_node_kernels()}) {
        std::vector<double> rows{NAN, 1.0, 2.0, 3.0};
        double mn[4], mx[4];
        std::int64_t nan[4];
        k->value_ranges(rows.data(), 4, 4, 1, mn, mx, nan);
        EXPECT_EQ(nan[0], 0);
        rows.insert(rows.end(), {5.0, 1.0, NAN, 3.0});
        k->value_ranges(rows.data(), 4, 4, 2, mn, mx, nan);
        EXPECT_NE(nan[0], 0);
        EXPECT_EQ(nan[1], 0);
        EXPECT_NE(nan[2], 0);
        EXPECT_EQ(nan[3], 0);
    }
}

}  // namespace
}  // namespace vandu::kernels
