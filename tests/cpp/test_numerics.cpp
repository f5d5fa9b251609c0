#include "core/numerics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace vandu {
namespace {

const double nan_value = std::nan("");

TEST(CompareFloats, OrdersAndRefusesNaN) {
    EXPECT_EQ(compare_floats(1.0, 2.0), Ordering::less);
    EXPECT_EQ(compare_floats(2.0, 1.0), Ordering::greater);
    EXPECT_EQ(compare_floats(0.0, -0.0), Ordering::equal);
    EXPECT_EQ(compare_floats(INFINITY, INFINITY), Ordering::equal);
    for (auto [a, b] : {std::pair{nan_value, 1.0}, std::pair{1.0, nan_value}, std::pair{nan_value, nan_value}}) {
        try {
            compare_floats(a, b);
            ADD_FAILURE();
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), "called `Option::unwrap()` on a `None` value");
        }
    }
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

TEST(ValueRange, EdgeCases) {
    EXPECT_FALSE(value_range(VectorView()).has_value());
    const std::vector<std::uint64_t> none;
    const Vector one{3.0};
    EXPECT_FALSE(value_range(VectorView(one), none).has_value());
    EXPECT_EQ(*value_range(VectorView(one)), (std::pair{3.0, 3.0}));
    const Vector lone_nan{nan_value};
    const auto r = value_range(VectorView(lone_nan));
    EXPECT_TRUE(std::isnan(r->first) && std::isnan(r->second));
    EXPECT_THROW(value_range(VectorView(Vector{1.0, nan_value})), InternalFailure);
    EXPECT_THROW(value_range(VectorView(Vector{nan_value, 1.0})), InternalFailure);
    // Among equal values the minimum keeps the first and the maximum the last.
    const Vector zeros{0.0, -0.0, 0.0, -0.0};
    const auto z = *value_range(VectorView(zeros));
    EXPECT_EQ(bits(z.first), bits(0.0));
    EXPECT_EQ(bits(z.second), bits(-0.0));
    // A selection is read in its own order, through the view's stride.
    const Vector strided{5.0, 0.0, 1.0, 0.0, 9.0, 0.0, -2.0};
    const std::vector<std::uint64_t> pick{2, 0, 1};
    EXPECT_EQ(*value_range(VectorView(strided.data(), 4, 2), pick), (std::pair{1.0, 9.0}));
}

TEST(RunningStats, WelfordInTheGivenOrder) {
    RunningStats s;
    for (double v : {1.0, 2.0, 4.0}) s.push(v);
    EXPECT_EQ(s.count, 3u);
    EXPECT_DOUBLE_EQ(s.mean, 7.0 / 3.0);
    EXPECT_NEAR(s.m2, 14.0 / 3.0, 1e-12);
    EXPECT_EQ(bits(weighted_variance(s)), bits((s.m2 / 3.0) * 3.0));
    RunningStats single;
    single.push(5.0);
    single.m2 = 42.0;
    EXPECT_EQ(weighted_variance(single), 0.0);
    EXPECT_EQ(split_impurity(s, single), weighted_variance(s));
}

TEST(ArgminByScore, FirstOfEqualMinimaAndNaN) {
    std::vector<Scored<int>> c{{2.0, 0}, {1.0, 1}, {1.0, 2}};
    EXPECT_EQ(argmin_by_score(c)->payload, 1);
    std::vector<Scored<int>> lone{{nan_value, 7}};
    EXPECT_EQ(argmin_by_score(lone)->payload, 7);
    std::vector<Scored<int>> bad{{1.0, 0}, {nan_value, 1}};
    EXPECT_THROW(argmin_by_score(bad), InternalFailure);
    std::vector<Scored<int>> empty;
    EXPECT_FALSE(argmin_by_score(empty).has_value());
}

}  // namespace
}  // namespace vandu
