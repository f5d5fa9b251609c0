#include "ensemble/average_ensemble.hpp"

#include <gtest/gtest.h>

#include <string>

#include "core/numerics.hpp"
#include "test_support.hpp"

namespace vandu {
namespace {

using testing::bits;
using testing::random_matrix;
using testing::random_vector;

using testing::failure_of;

const std::string unsupported =
    "called `Result::unwrap()` on an `Err` value: ShapeError/Unsupported: unsupported operation";

const GradientBoostingParameters small{TreeParameters{3, 2}, 6, 0.2};

TEST(AverageEnsemble, CreateGivesFreshMembersWithTheirOwnParameters) {
    const AverageEnsemble layer = AverageEnsemble::create(small, 4);
    ASSERT_EQ(layer.estimators.size(), 4u);
    for (const auto& m : layer.estimators) {
        EXPECT_EQ(m.params.est_params.depth, 3);
        EXPECT_EQ(m.params.est_params.min_samples_split, 2u);
        EXPECT_EQ(m.params.n_estimators, 6u);
        EXPECT_EQ(m.params.learning_rate, 0.2);
        EXPECT_TRUE(m.estimators.empty());
        EXPECT_EQ(m.mean, 0.0);
    }
    EXPECT_TRUE(AverageEnsemble::create(small, 0).estimators.empty());
}

class AverageEnsembleWidth : public ::testing::TestWithParam<std::uint32_t> {};

// Every member is fitted; predictions are the members' own, in member order, and the
// layer's prediction is their column mean summed in member order.
TEST_P(AverageEnsembleWidth, FitsEveryMemberAndAveragesInMemberOrder) {
    const std::uint32_t width = GetParam();
    std::mt19937_64 gen(width);
    const Matrix x = random_matrix(3, 40, gen);
    const Vector y = random_vector(40, gen);
    AverageEnsemble layer = AverageEnsemble::create(small, width);
    layer.fit(x.view(), y);

    RunningStats stats;
    for (double v : y) stats.push(v);
    for (const auto& m : layer.estimators) {
        EXPECT_EQ(m.estimators.size(), 6u);
        EXPECT_EQ(m.mean, stats.mean);
    }
    const Matrix other = random_matrix(3, 15, gen);
    const Matrix p = layer.member_predictions(other.view());
    ASSERT_EQ(p.rows, width);
    ASSERT_EQ(p.cols, 15u);
    for (std::uint32_t i = 0; i < width; ++i) {
        const Vector own = layer.estimators[i].predict(other.view());
        for (std::size_t j = 0; j < 15; ++j) EXPECT_EQ(bits(p(i, j)), bits(own[j])) << i << "," << j;
    }
    const Vector mean = layer.predict(other.view());
    ASSERT_EQ(mean.size(), 15u);
    for (std::size_t j = 0; j < 15; ++j) {
        double s = 0.0;
        for (std::uint32_t i = 0; i < width; ++i) s = s + p(i, j);
        EXPECT_EQ(bits(mean[j]), bits(s / static_cast<double>(width))) << j;
    }
    // Members draw their own thresholds.
    if (width > 1) {
        bool differ = false;
        for (std::uint32_t i = 1; i < width; ++i)
            differ = differ || layer.estimators[i].estimators[0].splitters[0].split_info->threshold !=
                                   layer.estimators[0].estimators[0].splitters[0].split_info->threshold;
        EXPECT_TRUE(differ);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, AverageEnsembleWidth, ::testing::Values(1u, 2u, 3u, 7u));

TEST(AverageEnsemble, OneMemberPredictsLikeThatMember) {
    std::mt19937_64 gen(3);
    const Matrix x = random_matrix(2, 30, gen);
    AverageEnsemble layer = AverageEnsemble::create(small, 1);
    layer.fit(x.view(), random_vector(30, gen));
    const Vector own = layer.estimators[0].predict(x.view());
    const Vector mean = layer.predict(x.view());
    for (std::size_t j = 0; j < 30; ++j) EXPECT_EQ(bits(mean[j]), bits(own[j]));
}

TEST(AverageEnsemble, MeanOfOneAndFourIsTwoAndAHalf) {
    std::mt19937_64 gen(4);
    const Matrix x = random_matrix(2, 10, gen);
    // Zero learning rate: each member predicts its mean.
    AverageEnsemble layer = AverageEnsemble::create({TreeParameters{2, 2}, 3, 0.0}, 2);
    layer.estimators[0].fit(x.view(), Vector(10, 1.0));
    layer.estimators[1].fit(x.view(), Vector(10, 4.0));
    for (double v : layer.predict(x.view())) EXPECT_EQ(v, 2.5);
}

TEST(AverageEnsemble, NoColumnGivesEmptyRows) {
    std::mt19937_64 gen(5);
    const Matrix x = random_matrix(2, 20, gen);
    AverageEnsemble layer = AverageEnsemble::create(small, 3);
    layer.fit(x.view(), random_vector(20, gen));
    const Matrix none = Matrix::column_major(2, 0);
    const Matrix p = layer.member_predictions(none.view());
    EXPECT_EQ(p.rows, 3u);
    EXPECT_EQ(p.cols, 0u);
    EXPECT_TRUE(layer.predict(none.view()).empty());
}

TEST(AverageEnsemble, NoMemberCannotPredict) {
    std::mt19937_64 gen(6);
    const Matrix x = random_matrix(2, 20, gen);
    AverageEnsemble layer;
    layer.fit(x.view(), random_vector(20, gen));  // nothing to do
    EXPECT_TRUE(layer.estimators.empty());
    EXPECT_EQ(failure_of([&] { layer.member_predictions(x.view()); }), unsupported);
    EXPECT_EQ(failure_of([&] { layer.predict(x.view()); }), unsupported);
}

TEST(AverageEnsemble, MemberFailuresReachTheCaller) {
    std::mt19937_64 gen(7);
    const Matrix x = random_matrix(2, 20, gen);
    const Vector y = random_vector(20, gen);
    // A loaded layer can mix members: one without stages fails the whole prediction.
    AverageEnsemble layer = AverageEnsemble::create(small, 4);
    for (std::size_t i : {0u, 1u, 3u}) layer.estimators[i].fit(x.view(), y);
    EXPECT_EQ(failure_of([&] { layer.member_predictions(x.view()); }), unsupported);

    // Depth 0: every member's fit fails once its mean is set.
    AverageEnsemble flat = AverageEnsemble::create({TreeParameters{0, 2}, 3, 0.1}, 3);
    EXPECT_EQ(failure_of([&] { flat.fit(x.view(), y); }),
              "index out of bounds: the len is 0 but the index is 0");
    RunningStats stats;
    for (double v : y) stats.push(v);
    for (const auto& m : flat.estimators) EXPECT_EQ(m.mean, stats.mean);

    // The pool is still usable afterwards.
    layer.estimators[2].fit(x.view(), y);
    EXPECT_EQ(layer.predict(x.view()).size(), 20u);
}

TEST(ColumnMeans, SumsRowsInOrderFromZero) {
    Matrix m = Matrix::row_major(3, 2);
    // 1e16 + 1 + 1: in row order the ones are lost.
    m.at(0, 0) = 1e16, m.at(1, 0) = 1.0, m.at(2, 0) = 1.0;
    m.at(0, 1) = 1.0, m.at(1, 1) = 1.0, m.at(2, 1) = 1e16;
    const Vector means = column_means(m);
    EXPECT_EQ(means[0], 1e16 / 3.0);
    EXPECT_EQ(means[1], (2.0 + 1e16) / 3.0);
}

}  // namespace
}  // namespace vandu
