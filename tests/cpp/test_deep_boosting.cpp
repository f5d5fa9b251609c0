#include "ensemble/deep_boosting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>

#include "core/numerics.hpp"
#include "ensemble/estimator.hpp"
#include "test_support.hpp"
#include "tree/kernels/walk_kernels.hpp"

namespace vandu {
namespace {

using testing::bits;
using testing::random_matrix;
using testing::random_vector;

using testing::failure_of;

const std::string unsupported =
    "called `Result::unwrap()` on an `Err` value: ShapeError/Unsupported: unsupported operation";
const std::string unwrap_none = "called `Option::unwrap()` on a `None` value";

bool same_parameters(const GradientBoostingParameters& a, const GradientBoostingParameters& b) {
    return a.est_params.depth == b.est_params.depth &&
           a.est_params.min_samples_split == b.est_params.min_samples_split &&
           a.n_estimators == b.n_estimators && bits(a.learning_rate) == bits(b.learning_rate);
}

double running_mean(const Vector& v) {
    RunningStats s;
    for (double e : v) s.push(e);
    return s.mean;
}

// The mean member prediction of every layer, sample by sample: each sample's features
// grow by the predictions of every earlier layer's members, one member at a time.
std::vector<Vector> layer_means(const DeepBoostingImpl& model, MatrixView x) {
    std::vector<Vector> means(model.estimators.size(), Vector(x.cols));
    for (std::size_t s = 0; s < x.cols; ++s) {
        std::vector<double> features;
        for (std::size_t f = 0; f < x.rows; ++f) features.push_back(x(f, s));
        for (std::size_t i = 0; i < model.estimators.size(); ++i) {
            Matrix one = Matrix::column_major(features.size(), 1);
            std::copy(features.begin(), features.end(), one.storage.begin());
            double sum = 0.0;
            const auto& members = model.estimators[i].estimators;
            for (const auto& member : members) {
                const double v = member.predict(one.view())[0];
                sum = sum + v;
                features.push_back(v);
            }
            means[i][s] = sum / static_cast<double>(members.size());
        }
    }
    return means;
}

// mean(layer 0) + rate * mean(layer 1) + ..., accumulated layer by layer.
Vector composed_predict(const DeepBoostingImpl& model, MatrixView x) {
    const auto means = layer_means(model, x);
    Vector result = means[0];
    for (std::size_t i = 1; i < means.size(); ++i)
        for (std::size_t j = 0; j < x.cols; ++j)
            result[j] = result[j] + (model.params.learning_rate * means[i][j]);
    return result;
}

void expect_same_bits(const Vector& a, const Vector& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(bits(a[i]), bits(b[i])) << i;
}

// Enough samples for the blocks of the kept layout, with values on the thresholds of the
// model's nodes, NaN, infinities and zeros of both signs among them.
Matrix awkward_samples(const DeepBoostingImpl& model, std::size_t features, std::size_t samples,
                       std::uint64_t key) {
    std::mt19937_64 gen(key);
    Matrix x = testing::random_matrix(features, samples, gen);
    std::vector<double> special{0.0, -0.0, std::nan(""), INFINITY, -INFINITY};
    for (const auto& layer : model.estimators)
        for (const auto& member : layer.estimators)
            for (const auto& tree : member.estimators)
                for (const auto& rule : tree.splitters)
                    if (rule.split_info && rule.split_info->feature < features && gen() % 64 == 0)
                        special.push_back(rule.split_info->threshold);
    for (std::size_t s = 0; s < samples; ++s)
        for (std::size_t f = 0; f < features; ++f)
            if (gen() % 3 == 0) x.at(f, s) = special[gen() % special.size()];
    return x;
}

// predict, and the layout with every kernel this processor runs, in blocks and a layer
// at a time (as for models the blocks cannot take), as the layer-by-layer composition.
void expect_composed_blocks(const DeepBoostingImpl& model, MatrixView x) {
    const Vector expected = composed_predict(model, x);
    expect_same_bits(model.predict(x), expected);
    for (const walk::Kernels* kernels : walk::runnable_walk_kernels()) {
        const DeepLayout laid(model.estimators, *kernels);
        const std::optional<Vector> blocks = laid.predict(x, model.params.learning_rate);
        ASSERT_TRUE(blocks) << kernels->name;
        expect_same_bits(*blocks, expected);
        Matrix features = to_column_major(x);
        Vector layered(x.cols);
        for (std::size_t i = 0; i < model.estimators.size(); ++i) {
            const Matrix p = laid.member_predictions(model.estimators[i], i, features.view());
            const Vector mean = column_means(p);
            for (std::size_t j = 0; j < x.cols; ++j)
                layered[j] = i == 0 ? mean[j] : layered[j] + (model.params.learning_rate * mean[j]);
            features = stack_rows(features.view(), p.view());
        }
        expect_same_bits(layered, expected);
    }
}

TEST(ParameterGrid, DepthThenStagesThenRate) {
    const auto grid = parameter_grid();
    std::size_t i = 0;
    for (int depth : {2, 3, 5})
        for (std::uint32_t stages : {100u, 1000u})
            for (double rate : {0.1, 0.01}) {
                const GradientBoostingParameters expected{
                    TreeParameters{static_cast<std::uint8_t>(depth), 2}, stages, rate};
                EXPECT_TRUE(same_parameters(grid[i], expected)) << i;
                ++i;
            }
    EXPECT_EQ(i, grid.size());
    EXPECT_EQ(search_folds, 5);
}

// A problem with features that vary within every fold of the search.
struct Problem {
    Matrix x;
    Vector y;
};

Problem problem(std::size_t features, std::size_t samples, std::uint64_t key) {
    std::mt19937_64 gen(key);
    Problem p{random_matrix(features, samples, gen), Vector(samples)};
    for (std::size_t s = 0; s < samples; ++s)
        p.y[s] = 2.0 * p.x(0, s) - p.x(features - 1, s) + 0.1 * std::sin(static_cast<double>(s));
    return p;
}

// Layer count and widths, shared grid parameters per layer, features each layer may use,
// the residual chain (seen through every member's mean) and predict as the layer-by-layer
// composition, bit for bit.
TEST(DeepBoosting, FittedStructureResidualsAndPrediction) {
    const std::size_t F = 2;
    const Problem data = problem(F, 25, 1);
    DeepBoostingImpl model(DeepBoostingParameters{3, 2, 0.25});
    model.fit(data.x.view(), data.y);

    ASSERT_EQ(model.estimators.size(), 3u);
    const auto grid = parameter_grid();
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& members = model.estimators[i].estimators;
        ASSERT_EQ(members.size(), 2u) << i;
        const GradientBoostingParameters& p = members[0].params;
        EXPECT_TRUE(std::any_of(grid.begin(), grid.end(),
                                [&](const auto& g) { return same_parameters(g, p); }))
            << i;
        for (const auto& member : members) {
            EXPECT_TRUE(same_parameters(member.params, p)) << i;
            ASSERT_EQ(member.estimators.size(), p.n_estimators) << i;
            for (const auto& tree : member.estimators)
                for (const auto& rule : tree.splitters) EXPECT_LT(rule.split_info->feature, F + 2 * i);
        }
    }

    const auto means = layer_means(model, data.x.view());
    Vector r = data.y;
    for (std::size_t i = 0; i < 3; ++i) {
        for (const auto& member : model.estimators[i].estimators)
            EXPECT_EQ(bits(member.mean), bits(running_mean(r))) << "layer " << i;
        const double kappa = i == 0 ? 1.0 : 0.25;
        for (std::size_t j = 0; j < r.size(); ++j) r[j] = r[j] - (kappa * means[i][j]);
    }

    expect_same_bits(model.predict(data.x.view()), composed_predict(model, data.x.view()));
    const Problem fresh = problem(F, 9, 2);
    expect_same_bits(model.predict(fresh.x.view()), composed_predict(model, fresh.x.view()));
    EXPECT_TRUE(model.predict(Matrix::column_major(F, 0).view()).empty());
    // Blocks of samples; with a feature more, the grown ones come after it.
    expect_composed_blocks(model, awkward_samples(model, F, 300, 6).view());
    expect_composed_blocks(model, awkward_samples(model, F + 1, 70, 7).view());
    for (const walk::Kernels* kernels : walk::runnable_walk_kernels())
        EXPECT_EQ(DeepLayout(model.estimators, *kernels).ranks_blocks(), kernels->ranked != nullptr);

    // Layers changed by hand after the fit are predicted as they now are, laid out again or not.
    model.estimators[2].estimators[1].estimators.pop_back();
    expect_same_bits(model.predict(fresh.x.view()), composed_predict(model, fresh.x.view()));
    model.estimators.pop_back();
    expect_same_bits(model.predict(fresh.x.view()), composed_predict(model, fresh.x.view()));
    model.prepare();
    expect_same_bits(model.predict(fresh.x.view()), composed_predict(model, fresh.x.view()));

    // A second fit replaces every layer.
    const Problem other = problem(F, 20, 3);
    model.fit(other.x.view(), other.y);
    ASSERT_EQ(model.estimators.size(), 3u);
    for (const auto& member : model.estimators[0].estimators)
        EXPECT_EQ(bits(member.mean), bits(running_mean(other.y)));
}

TEST(DeepBoosting, OneLayerIsThatLayersMeanAndLayoutDoesNotMatter) {
    const Problem data = problem(3, 20, 4);
    // The same samples with each feature's values side by side instead.
    Matrix feature_major = Matrix::row_major(3, 20);
    for (std::size_t f = 0; f < 3; ++f)
        for (std::size_t s = 0; s < 20; ++s) feature_major.at(f, s) = data.x(f, s);
    DeepBoostingImpl model(DeepBoostingParameters{1, 3, 0.7});
    model.fit(feature_major.view(), data.y);
    ASSERT_EQ(model.estimators.size(), 1u);
    expect_same_bits(model.predict(data.x.view()), model.estimators[0].predict(data.x.view()));
    expect_same_bits(model.predict(feature_major.view()), model.predict(data.x.view()));
}

// A loaded model may hold layers of any width: the extra rows follow the members held.
TEST(DeepBoosting, PredictRebuildsRowsFromTheMembersHeld) {
    const Problem data = problem(2, 30, 5);
    const GradientBoostingParameters p{TreeParameters{3, 2}, 5, 0.3};
    DeepBoostingImpl model(DeepBoostingParameters{7, 9, 0.5});
    Matrix x = to_column_major(data.x.view());
    for (std::uint32_t width : {1u, 3u, 2u}) {
        AverageEnsemble layer = AverageEnsemble::create(p, width);
        layer.fit(x.view(), data.y);
        x = stack_rows(x.view(), layer.member_predictions(x.view()).view());
        model.estimators.push_back(std::move(layer));
    }
    // Trees of the last layer may read the rows that came from the earlier ones.
    EXPECT_EQ(x.rows, 2u + 1u + 3u + 2u);
    expect_same_bits(model.predict(data.x.view()), composed_predict(model, data.x.view()));
    model.prepare();
    expect_same_bits(model.predict(data.x.view()), composed_predict(model, data.x.view()));
    expect_composed_blocks(model, awkward_samples(model, 2, 100, 8).view());
    // A matrix without the features the first layer reads: the member's own walk and failure.
    EXPECT_EQ(failure_of([&] { model.predict(Matrix::column_major(0, 3).view()); }),
              failure_of([&] { model.estimators[0].predict(Matrix::column_major(0, 3).view()); }));

    model.estimators[1].estimators.clear();
    EXPECT_EQ(failure_of([&] { model.predict(data.x.view()); }), unsupported);
}

TEST(DeepBoosting, NoLayerFitsButCannotPredict) {
    const Problem data = problem(2, 20, 6);
    DeepBoostingImpl model(DeepBoostingParameters{0, 3, 0.25});
    model.estimators.resize(2);  // stale layers go
    model.fit(data.x.view(), data.y);
    EXPECT_TRUE(model.estimators.empty());
    EXPECT_EQ(failure_of([&] { model.predict(data.x.view()); }), unwrap_none);
    EXPECT_EQ(failure_of([&] { DeepBoostingImpl().predict(data.x.view()); }), unwrap_none);
}

// Failing fits, each leaving no layer behind (an earlier fit's layers included).
struct FailingFit {
    const char* name;
    std::uint32_t width;
    std::size_t samples;
    bool nan_target;
    std::string message;
};

class DeepBoostingFailure : public ::testing::TestWithParam<FailingFit> {};

TEST_P(DeepBoostingFailure, LeavesNoLayer) {
    const auto& c = GetParam();
    Problem data = problem(2, c.samples, 7);
    if (c.nan_target) data.y[c.samples / 2] = std::nan("");
    DeepBoostingImpl model(DeepBoostingParameters{2, c.width, 0.25});
    model.estimators.resize(1);
    EXPECT_EQ(failure_of([&] { model.fit(data.x.view(), data.y); }), c.message);
    EXPECT_TRUE(model.estimators.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeepBoostingFailure,
    ::testing::Values(
        FailingFit{"zero_width", 0, 20, false, unsupported},
        FailingFit{"nine_samples", 2, 9, false, "index out of bounds: the len is 0 but the index is 0"},
        FailingFit{"four_samples", 2, 4, false, "index out of bounds: the len is 0 but the index is 0"},
        FailingFit{"no_sample", 2, 0, false, "called `Result::unwrap()` on an `Err` value: EmptyInput"},
        FailingFit{"nan_target", 2, 20, true, unwrap_none}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectParameters, TenSamplesSearchAndPickAGridCombination) {
    const Problem data = problem(2, 10, 8);
    const GradientBoostingParameters p = select_parameters(data.x.view(), data.y);
    const auto grid = parameter_grid();
    EXPECT_TRUE(std::any_of(grid.begin(), grid.end(), [&](const auto& g) { return same_parameters(g, p); }));
}

// The fold fits run as separate tasks, the costliest first, yet every combination's score
// is the bits of cross_validate's sequential sum, and the first least score is selected.
TEST(SelectParameters, TaskScoresAreCrossValidateScores) {
    const testing::KeyedDraws keyed;  // the same thresholds on whichever thread fits
    const Problem data = problem(3, 47, 10);
    const auto grid = parameter_grid();
    const auto scores = search_scores(data.x.view(), data.y);
    std::size_t least = 0;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        GradientBoostingImpl model(grid[i]);
        EXPECT_EQ(bits(scores[i]), bits(cross_validate(model, data.x.view(), data.y, search_folds))) << i;
        if (scores[i] < scores[least]) least = i;
    }
    EXPECT_TRUE(same_parameters(select_parameters(data.x.view(), data.y), grid[least]));
}

TEST(DeepBoosting, WidthBeyondMemoryIsRefusedBeforeTheSearch) {
    const Problem data = problem(2, 3, 9);  // too few samples: a search would fail otherwise
    DeepBoostingImpl model(DeepBoostingParameters{1, std::numeric_limits<std::uint32_t>::max(), 0.25});
    EXPECT_THROW(model.fit(data.x.view(), data.y), std::bad_alloc);
}

}  // namespace
}  // namespace vandu
