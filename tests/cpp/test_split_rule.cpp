#include "tree/fit/split_rule.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "test_support.hpp"

namespace vandu {
namespace {

Matrix features(std::initializer_list<std::initializer_list<double>> rows) {
    const std::size_t n_rows = rows.size();
    const std::size_t n_cols = rows.begin()->size();
    Matrix m = Matrix::row_major(n_rows, n_cols);
    std::size_t r = 0;
    for (const auto& row : rows) {
        std::size_t c = 0;
        for (double v : row) m.at(r, c++) = v;
        ++r;
    }
    return m;
}

TEST(RandomSplitRule, TwoSamplesSplitPerfectly) {
    const Matrix x = features({{0.0, 1.0}});
    const Vector y{0.0, 10.0};
    for (int i = 0; i < 100; ++i) {
        RandomSplitRule rule;
        ASSERT_TRUE(rule.fit(x.view(), y));
        const Split& s = *rule.split_info;
        EXPECT_EQ(s.feature, 0u);
        EXPECT_LE(0.0, s.threshold);
        EXPECT_LT(s.threshold, 1.0);
        EXPECT_EQ(s.values, (std::array<double, 2>{0.0, 10.0}));
        EXPECT_EQ(s.impurity, 0.0);
    }
}

TEST(RandomSplitRule, ConstantFeaturesAreSkippedAndTiesGoToTheLowestFeature) {
    const Matrix x = features({{1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}, {0.0, 5.0, 9.0}, {0.0, 5.0, 9.0}});
    const Vector same{3.0, 3.0, 3.0};
    RandomSplitRule rule;
    ASSERT_TRUE(rule.fit(x.view(), same));
    EXPECT_EQ(rule.split_info->feature, 2u);
    EXPECT_EQ(rule.split_info->values, (std::array<double, 2>{3.0, 3.0}));
}

TEST(RandomSplitRule, NoSplitKeepsThePreviousOne) {
    RandomSplitRule rule;
    const Matrix x = features({{0.0, 1.0}});
    ASSERT_TRUE(rule.fit(x.view(), Vector{1.0, 2.0}));
    const Split before = *rule.split_info;
    const Matrix flat = features({{4.0, 4.0}});
    EXPECT_FALSE(rule.fit(flat.view(), Vector{1.0, 2.0}));
    EXPECT_EQ(rule.split_info->threshold, before.threshold);
    EXPECT_FALSE(rule.fit(Matrix::row_major(0, 2).view(), Vector{1.0, 2.0}));
    EXPECT_FALSE(rule.fit(Matrix::row_major(2, 0).view(), Vector{}));
    EXPECT_TRUE(rule.split_info.has_value());
}

TEST(RandomSplitRule, PartitionKeepsSelectionOrder) {
    RandomSplitRule rule{Split{0, 0.5, 0.0, {0.0, 1.0}}};
    Matrix x = Matrix::row_major(1, 8);
    x.at(0, 2) = 1.0;
    x.at(0, 7) = NAN;
    const std::vector<std::uint64_t> sel{5, 2, 7};
    const auto [left, right] = rule.partition_samples(x.view(), &sel);
    EXPECT_EQ(left, (std::vector<std::uint64_t>{5, 7}));
    EXPECT_EQ(right, (std::vector<std::uint64_t>{2}));
}

TEST(RandomSplitRule, PredictSendsEqualAndNaNLeft) {
    RandomSplitRule rule{Split{1, 0.5, 0.0, {-1.0, 1.0}}};
    const Matrix x = features({{9.0, 9.0, 9.0}, {0.5, NAN, 0.75}});
    EXPECT_EQ(rule.predict(x.view()), (Vector{-1.0, -1.0, 1.0}));
    EXPECT_TRUE(rule.predict(Matrix::row_major(2, 0).view()).empty());
}

TEST(RandomSplitRule, PredictFailures) {
    const auto message = [](const RandomSplitRule& r, const Matrix& x) {
        return testing::failure_of([&] { r.predict(x.view()); });
    };
    EXPECT_EQ(message(RandomSplitRule{}, features({{1.0}})), "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(message(RandomSplitRule{Split{1, 0.0, 0.0, {0.0, 0.0}}}, features({{1.0}})),
              "assertion failed: index < dim");
}

TEST(RandomSplitRule, FitFailuresLeaveTheSplit) {
    RandomSplitRule rule{Split{0, 0.25, 0.0, {1.0, 2.0}}};
    EXPECT_THROW(rule.fit(features({{0.0, NAN}}).view(), Vector{1.0, 2.0}), InternalFailure);
    EXPECT_THROW(rule.fit(features({{0.0, INFINITY}}).view(), Vector{1.0, 2.0}), InternalFailure);
    EXPECT_EQ(rule.split_info->threshold, 0.25);
    // A feature of one repeated infinity is merely constant.
    EXPECT_FALSE(rule.fit(features({{INFINITY, INFINITY}}).view(), Vector{1.0, 2.0}));
}

}  // namespace
}  // namespace vandu
