#include "ensemble/gradient_boosting.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <tuple>

#include "core/numerics.hpp"
#include "core/worker_pool.hpp"
#include "test_support.hpp"

namespace vandu {
namespace {

using testing::bits;
using testing::random_matrix;
using testing::random_vector;
using testing::reference_fit;
using testing::same_bits;
using testing::seed;

using testing::failure_of;

const std::string no_node = "index out of bounds: the len is 0 but the index is 0";

GradientBoostingParameters params(int depth, std::uint32_t stages, double rate, std::uint64_t mss = 2) {
    return {TreeParameters{static_cast<std::uint8_t>(depth), mss}, stages, rate};
}

// The prediction as defined: stage outputs summed in stage order from 0.0, scaled once.
Vector defined_predict(const GradientBoostingImpl& model, MatrixView x) {
    Vector s(x.cols, 0.0);
    for (const auto& tree : model.estimators) {
        const Vector v = tree.predict(x);
        for (std::size_t j = 0; j < x.cols; ++j) s[j] = s[j] + v[j];
    }
    for (auto& e : s) e = e * model.params.learning_rate;
    for (auto& e : s) e = e + model.mean;
    return s;
}

void expect_same_bits(const Vector& a, const Vector& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(bits(a[i]), bits(b[i])) << i;
}

// (features, samples, depth, stages, learning rate, min_samples_split, the first feature's
// weight in the targets: a clear winner leaves a large node's statistics pending)
using Shape = std::tuple<std::size_t, std::size_t, int, std::uint32_t, double, std::uint64_t, double>;

class BoostingMatchesDefinition : public ::testing::TestWithParam<Shape> {};

// Replays the fit stage by stage with the seeded generator: the same mean, the same trees
// and the residual chain r -= rate * p, bit for bit.
TEST_P(BoostingMatchesDefinition, StagesAreRefitBitForBit) {
    const auto [features, samples, depth, stages, rate, mss, signal] = GetParam();
    // Large fits draw on several threads: thresholds keyed by their bounds.
    auto draws = samples * features >= 20000 ? std::make_unique<testing::KeyedDraws>() : nullptr;
    // Once through the doubles, once through codes made once for all stages; through the
    // doubles, the statistics left pending go a few pushes at a time beside later steps
    // and are carried into the next stages. Each with positions of 4 bytes, and of 8 as
    // from 2^32 samples. Rounds 4 and 5 through codes, the top levels grown at once (on the
    // team for the large shapes; their thresholds keyed: the levels draw in another order);
    // round 5 without slices, so that the carried statistics run on only at trees' ends;
    // round 6 on a pool thread, where a fit alone carries them from tree to tree itself.
    for (int round = 0; round < 7; ++round) {
        const bool coded = round % 2 == 1 || round >= 4;
        const testing::WidePositions wide(round >= 2 && round < 4);
        const testing::LevelTags tags(round >= 4);
        if (round >= 4 && !draws) draws = std::make_unique<testing::KeyedDraws>();
        const testing::CodedFrom codes(coded ? 0 : coded_matrix_values());
        std::optional<testing::Slices> slices;
        if (round < 5) slices.emplace(coded ? SIZE_MAX : 64);
        std::mt19937_64 gen(features * 7919 + samples * 31 + static_cast<std::size_t>(depth));
        const Matrix x = random_matrix(features, samples, gen);
        Vector y = random_vector(samples, gen);
        for (std::size_t i = 0; i < samples; ++i) y[i] = y[i] + signal * x(0, i);
        const GradientBoostingParameters p = params(depth, stages, rate, mss);

        GradientBoostingImpl model(p);
        seed(42);
        if (round == 6)
            parallel_for(2, [&](std::size_t task) {
                if (task == 0) model.fit(x.view(), y);
            });
        else
            model.fit(x.view(), y);

        RunningStats stats;
        for (double v : y) stats.push(v);
        EXPECT_EQ(bits(model.mean), bits(stats.mean));
        ASSERT_EQ(model.estimators.size(), stages);

        seed(42);
        Vector r(samples);
        for (std::size_t i = 0; i < samples; ++i) r[i] = y[i] - stats.mean;
        for (std::uint32_t t = 0; t < stages; ++t) {
            DecisionTreeImpl expected(p.est_params);
            reference_fit(expected, x.view(), r);
            ASSERT_TRUE(same_bits(expected, model.estimators[t])) << "stage " << t;
            Vector out = expected.predict(x.view());
            if (t + 1 != stages) {
                for (auto& e : out) e = e * rate;
                for (std::size_t i = 0; i < samples; ++i) r[i] = r[i] - out[i];
            }
        }

        expect_same_bits(model.predict(x.view()), defined_predict(model, x.view()));
        const Matrix other = random_matrix(features, 17, gen);
        expect_same_bits(model.predict(other.view()), defined_predict(model, other.view()));
    }
}

// 40 x 400: small enough for one thread, last-level winners in the second word of the sides.
INSTANTIATE_TEST_SUITE_P(Shapes, BoostingMatchesDefinition,
                         ::testing::Values(Shape{3, 40, 3, 12, 0.1, 2, 0.0}, Shape{1, 25, 1, 5, 0.5, 2, 0.0},
                                           Shape{5, 64, 4, 8, 1.0, 6, 0.0}, Shape{2, 30, 2, 1, 0.1, 2, 0.0},
                                           Shape{4, 50, 5, 10, 0.0, 2, 0.0}, Shape{2, 33, 3, 6, -0.3, 3, 0.0},
                                           Shape{6, 20000, 3, 4, 0.1, 2, 0.0}, Shape{6, 20000, 3, 5, 0.1, 9000, 4.0},
                                           Shape{6, 30000, 3, 6, 0.5, 2, 8.0}, Shape{40, 400, 3, 6, 0.1, 2, 0.0},
                                           Shape{70, 400, 3, 6, 0.1, 100, 0.0}));

TEST(GradientBoosting, MeanIsTheRunningMean) {
    GradientBoostingImpl model(params(2, 0, 0.1));
    const Matrix x = Matrix::column_major(1, 4);
    model.fit(x.view(), Vector{1.0, 2.0, 3.0, 4.0});
    EXPECT_EQ(model.mean, 2.5);
    EXPECT_TRUE(model.estimators.empty());

    // The running mean and sum / n round differently here.
    const Vector y{0.1, 0.7, 0.2, 0.9, 0.3};
    RunningStats stats;
    double sum = 0.0;
    for (double v : y) stats.push(v), sum += v;
    ASSERT_NE(bits(stats.mean), bits(sum / 5.0));
    model.fit(Matrix::column_major(1, y.size()).view(), y);
    EXPECT_EQ(bits(model.mean), bits(stats.mean));
}

TEST(GradientBoosting, FirstStageSeesTheCentredTargets) {
    // depth 1 on samples 0..3: the root's side means are the means of y - 2.5.
    Matrix x = Matrix::column_major(1, 4);
    for (std::size_t j = 0; j < 4; ++j) x.at(0, j) = static_cast<double>(j);
    GradientBoostingImpl model(params(1, 3, 0.5));
    model.fit(x.view(), Vector{1.0, 2.0, 3.0, 4.0});
    const auto& split = *model.estimators[0].splitters[0].split_info;
    const Vector centred{-1.5, -0.5, 0.5, 1.5};
    RunningStats left, right;
    for (std::size_t j = 0; j < 4; ++j) (x(0, j) > split.threshold ? right : left).push(centred[j]);
    EXPECT_EQ(split.values[0], left.mean);
    EXPECT_EQ(split.values[1], right.mean);
}

TEST(GradientBoosting, ConstantTargetsGiveZeroResiduals) {
    std::mt19937_64 gen(5);
    const Matrix x = random_matrix(2, 20, gen);
    GradientBoostingImpl model(params(3, 4, 0.1));
    model.fit(x.view(), Vector(20, 0.7));
    EXPECT_EQ(model.mean, 0.7);
    for (const auto& tree : model.estimators)
        for (const auto& rule : tree.splitters) {
            EXPECT_EQ(rule.split_info->values[0], 0.0);
            EXPECT_EQ(rule.split_info->values[1], 0.0);
        }
    for (double v : model.predict(x.view())) EXPECT_EQ(v, 0.7);
}

TEST(GradientBoosting, ZeroRatePredictsTheMean) {
    std::mt19937_64 gen(6);
    const Matrix x = random_matrix(3, 30, gen);
    const Vector y = random_vector(30, gen);
    GradientBoostingImpl model(params(3, 5, 0.0));
    model.fit(x.view(), y);
    for (double v : model.predict(x.view())) EXPECT_EQ(v, model.mean);
}

TEST(GradientBoosting, RefitReplacesTheStages) {
    std::mt19937_64 gen(7);
    const Matrix x = random_matrix(2, 30, gen);
    const Vector y = random_vector(30, gen);
    GradientBoostingImpl model(params(2, 6, 0.1));
    model.fit(x.view(), y);
    const Vector first = model.predict(x.view());
    const Vector y2 = random_vector(30, gen);
    model.fit(x.view(), y2);
    EXPECT_EQ(model.estimators.size(), 6u);
    RunningStats stats;
    for (double v : y2) stats.push(v);
    EXPECT_EQ(model.mean, stats.mean);
    EXPECT_NE(model.predict(x.view()), first);
}

TEST(GradientBoosting, SampleMajorAndFeatureMajorLayoutsPredictAlike) {
    std::mt19937_64 gen(8);
    const Matrix x = random_matrix(4, 25, gen);
    Matrix row_major = Matrix::row_major(4, 25);
    for (std::size_t f = 0; f < 4; ++f)
        for (std::size_t s = 0; s < 25; ++s) row_major.at(f, s) = x(f, s);
    const Vector y = random_vector(25, gen);
    GradientBoostingImpl model(params(3, 7, 0.3));
    model.fit(row_major.view(), y);
    expect_same_bits(model.predict(x.view()), model.predict(row_major.view()));
    expect_same_bits(model.predict(x.view()), defined_predict(model, x.view()));
}

TEST(GradientBoosting, NoColumnPredictsEmpty) {
    std::mt19937_64 gen(9);
    const Matrix x = random_matrix(2, 12, gen);
    GradientBoostingImpl model(params(2, 3, 0.1));
    model.fit(x.view(), random_vector(12, gen));
    EXPECT_TRUE(model.predict(Matrix::column_major(2, 0).view()).empty());
}

TEST(GradientBoosting, NoStagePredictFails) {
    const std::string unsupported =
        "called `Result::unwrap()` on an `Err` value: ShapeError/Unsupported: unsupported operation";
    const Matrix x = Matrix::column_major(1, 3);
    GradientBoostingImpl fresh(params(2, 10, 0.1));
    EXPECT_EQ(failure_of([&] { fresh.predict(x.view()); }), unsupported);
    EXPECT_EQ(failure_of([&] { fresh.predict(Matrix::column_major(1, 0).view()); }), unsupported);

    GradientBoostingImpl none(params(2, 0, 0.1));
    none.fit(x.view(), Vector{1.0, 2.0, 6.0});  // succeeds, only the mean
    EXPECT_EQ(none.mean, 3.0);
    EXPECT_EQ(failure_of([&] { none.predict(x.view()); }), unsupported);
}

// Data on which a stage's tree holds no node: the fit fails at the first stage and keeps
// the new mean.
struct NoNodeCase {
    const char* name;
    int depth;
    std::size_t samples;
    bool constant;
    std::size_t features = 3;
};

class BoostingNoNode : public ::testing::TestWithParam<NoNodeCase> {};

TEST_P(BoostingNoNode, FitFailsLikePredictAndKeepsTheMean) {
    const auto& c = GetParam();
    std::mt19937_64 gen(10);
    Matrix x = random_matrix(c.features, c.samples, gen);
    if (c.constant)
        for (std::size_t s = 0; s < c.samples; ++s)
            for (std::size_t f = 0; f < c.features; ++f) x.at(f, s) = static_cast<double>(f);
    Vector y = random_vector(c.samples, gen);
    GradientBoostingImpl model(params(c.depth, 5, 0.1));
    model.estimators.resize(2);  // stale stages are discarded before the failure
    EXPECT_EQ(failure_of([&] { model.fit(x.view(), y); }), no_node);
    EXPECT_TRUE(model.estimators.empty());
    RunningStats stats;
    for (double v : y) stats.push(v);
    EXPECT_EQ(model.mean, stats.mean);
}

INSTANTIATE_TEST_SUITE_P(Cases, BoostingNoNode,
                         ::testing::Values(NoNodeCase{"depth0", 0, 10, false},
                                           NoNodeCase{"one_sample", 3, 1, false},
                                           NoNodeCase{"constant", 3, 10, true},
                                           NoNodeCase{"no_feature", 2, 6, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Models fitted side by side end as each would alone (thresholds keyed by their bounds,
// so draw order does not matter): a failing one fails alone, the rest keep going, with
// other depths (beyond the target buffers' levels) and other stage counts.
TEST(GradientBoosting, FitsTogetherAsAlone) {
    const testing::KeyedDraws keyed;
    std::mt19937_64 gen(77);
    const Matrix x = random_matrix(4, 90, gen);
    Matrix flat = random_matrix(4, 90, gen);
    for (std::size_t s = 0; s < 90; ++s)
        for (std::size_t f = 0; f < 4; ++f) flat.at(f, s) = 1.0;
    const Vector y = random_vector(90, gen), z = random_vector(90, gen);
    const GradientBoostingParameters kinds[] = {params(3, 7, 0.1), params(8, 4, 0.5), params(2, 5, 0.1),
                                                params(4, 0, 0.1)};
    std::vector<GradientBoostingImpl> together, alone;
    for (const auto& p : kinds) together.emplace_back(p), alone.emplace_back(p);
    std::vector<BoostingFit> fits = {{&together[0], x.view(), y, nullptr},
                                     {&together[1], x.view(), z, nullptr},
                                     {&together[2], flat.view(), y, nullptr},
                                     {&together[3], x.view(), y, nullptr}};
    fit_together(fits);
    for (std::size_t i = 0; i < fits.size(); ++i) {
        const std::string failure = failure_of([&] { alone[i].fit(fits[i].x, fits[i].y); });
        const auto failed = [&] {
            if (fits[i].failure) std::rethrow_exception(fits[i].failure);
        };
        EXPECT_EQ(failure_of(failed), failure) << i;
        EXPECT_EQ(bits(together[i].mean), bits(alone[i].mean));
        ASSERT_EQ(together[i].estimators.size(), alone[i].estimators.size()) << i;
        for (std::size_t t = 0; t < alone[i].estimators.size(); ++t)
            EXPECT_TRUE(same_bits(together[i].estimators[t], alone[i].estimators[t])) << i << " " << t;
    }
    EXPECT_EQ(together[0].estimators.size(), 7u);
    EXPECT_EQ(together[1].estimators.size(), 4u);
    EXPECT_TRUE(fits[2].failure);
}

TEST(GradientBoosting, NoSampleFitsEmptyStages) {
    GradientBoostingImpl model(params(2, 3, 0.1));
    const Matrix empty = Matrix::column_major(2, 0);
    model.fit(empty.view(), Vector{});
    EXPECT_EQ(model.mean, 0.0);
    EXPECT_EQ(model.estimators.size(), 3u);
    EXPECT_TRUE(model.predict(empty.view()).empty());
    EXPECT_EQ(failure_of([&] { model.predict(Matrix::column_major(2, 1).view()); }), no_node);
}

TEST(GradientBoosting, RouteTablesBeyondMemoryAreRefusedBeforeFitting) {
    std::mt19937_64 gen(11);
    const Matrix x = random_matrix(2, 10, gen);
    const Vector y = random_vector(10, gen);
    GradientBoostingImpl model(params(24, std::numeric_limits<std::uint32_t>::max(), 0.1));
    model.mean = 4.0;
    model.estimators.resize(1);
    EXPECT_THROW(model.fit(x.view(), y), std::bad_alloc);
    EXPECT_EQ(model.mean, 4.0);  // untouched
    EXPECT_EQ(model.estimators.size(), 1u);

    // Depth-0 stages still hold a record and an entry each.
    GradientBoostingImpl many(params(0, std::numeric_limits<std::uint32_t>::max(), 0.1));
    EXPECT_THROW(many.fit(x.view(), y), std::bad_alloc);

    // No stage: no table, whatever the depth.
    GradientBoostingImpl none(params(255, 0, 0.1));
    none.fit(x.view(), y);
    EXPECT_TRUE(none.estimators.empty());
}

TEST(StackPredictions, RowsInListOrder) {
    const std::vector<Vector> v{{1.0, 2.0, 3.0}, {4.0, 5.0, 6.0}};
    const Matrix m = stack_predictions(v);
    ASSERT_EQ(m.rows, 2u);
    ASSERT_EQ(m.cols, 3u);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(m(i, j), v[i][j]);
    const std::vector<Vector> empties(3);
    const Matrix e = stack_predictions(empties);
    EXPECT_EQ(e.rows, 3u);
    EXPECT_EQ(e.cols, 0u);
}

TEST(StackPredictions, RefusesEmptyListAndUnequalLengths) {
    const std::string unsupported =
        "called `Result::unwrap()` on an `Err` value: ShapeError/Unsupported: unsupported operation";
    EXPECT_EQ(failure_of([] { stack_predictions({}); }), unsupported);
    const std::vector<Vector> ragged{{1.0, 2.0}, {3.0}};
    EXPECT_EQ(failure_of([&] { stack_predictions(ragged); }), unsupported);
}

}  // namespace
}  // namespace vandu
