#include "ensemble/estimator.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "ensemble/gradient_boosting.hpp"

namespace vandu {
namespace {

using testing::failure_of;

// ---------------------------------------------------------------------------------------
// The measure.

TEST(MeanSquaredError, ValueOfEqualLengths) {
    const Vector p{1.0, 2.0}, t{1.0, 4.0};
    const MseOutcome r = mean_squared_error(p, t);
    ASSERT_TRUE(std::holds_alternative<double>(r));
    EXPECT_EQ(std::get<double>(r), 2.0);
}

TEST(MeanSquaredError, SumsInIndexOrderThenDividesOnce) {
    // 1e16 + 1 rounds back to 1e16, so the order of the terms shows in the result.
    const Vector p{1e8, 1.0, 1.0}, t{0.0, 0.0, 0.0};
    EXPECT_EQ(unwrap_mse(mean_squared_error(p, t)), 1e16 / 3.0);
    const Vector q{1.0, 1.0, 1e8};
    EXPECT_EQ(unwrap_mse(mean_squared_error(q, t)), (2.0 + 1e16) / 3.0);
}

TEST(MeanSquaredError, ReadsStridedViews) {
    const Vector storage{5.0, 0.0, 3.0, 0.0, 1.0};
    const VectorView reversed(storage.data() + 4, 3, -2);  // 1, 3, 5
    const Vector t{1.0, 1.0, 1.0};
    EXPECT_EQ(unwrap_mse(mean_squared_error(reversed, t)), (0.0 + 4.0 + 16.0) / 3.0);
}

struct ErrorCase {
    Vector predictions;
    Vector targets;
    std::string message;
};

class MeanSquaredErrorFailure : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(MeanSquaredErrorFailure, UnwrapFailsWithTheErrorsText) {
    const auto& c = GetParam();
    EXPECT_EQ(failure_of([&] { unwrap_mse(mean_squared_error(c.predictions, c.targets)); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeanSquaredErrorFailure,
    ::testing::Values(
        ErrorCase{{}, {1.0}, "called `Result::unwrap()` on an `Err` value: EmptyInput"},
        ErrorCase{{}, {}, "called `Result::unwrap()` on an `Err` value: EmptyInput"},
        ErrorCase{{1.0, 2.0},
                  {1.0, 2.0, 3.0},
                  "called `Result::unwrap()` on an `Err` value: ShapeMismatch(ShapeMismatch { "
                  "first_shape: [2], second_shape: [3] })"},
        ErrorCase{{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0},
                  {},
                  "called `Result::unwrap()` on an `Err` value: ShapeMismatch(ShapeMismatch { "
                  "first_shape: [11], second_shape: [0] })"}));

TEST(MeanSquaredError, ErrorsCarryTheShapes) {
    const Vector p{1.0, 2.0}, t{1.0, 2.0, 3.0};
    const MseOutcome r = mean_squared_error(p, t);
    ASSERT_TRUE(std::holds_alternative<ShapeMismatch>(r));
    EXPECT_EQ(std::get<ShapeMismatch>(r).first_shape, 2u);
    EXPECT_EQ(std::get<ShapeMismatch>(r).second_shape, 3u);
    EXPECT_TRUE(std::holds_alternative<EmptyInput>(mean_squared_error(Vector{}, p)));
}

// ---------------------------------------------------------------------------------------
// The k-fold score, seen through a model that records what it is given. The matrix has
// one row holding each sample's number, so every view tells which samples it covers.

struct Call {
    char kind;  // 'f' fit, 'p' predict
    std::vector<double> samples;
    const double* data;
};

struct RecordingModel {
    std::vector<Call>* calls;
    std::size_t short_by = 0;  // predictions this much shorter than asked, to provoke a mismatch

    void fit(MatrixView x, VectorView y) {
        EXPECT_EQ(x.cols, y.size());
        std::vector<double> s;
        for (std::size_t j = 0; j < x.cols; ++j) {
            s.push_back(x(0, j));
            EXPECT_EQ(y[j], 10.0 * x(0, j));  // x and y cut at the same place
        }
        calls->push_back({'f', s, x.data});
    }
    Vector predict(MatrixView x) const {
        std::vector<double> s;
        for (std::size_t j = 0; j < x.cols; ++j) s.push_back(x(0, j));
        calls->push_back({'p', s, x.data});
        return Vector(x.cols - std::min(short_by, x.cols), 0.0);  // all zero
    }
};
static_assert(Estimator<RecordingModel>);

struct Samples {
    Matrix x;
    Vector y;
};

// Sample j has feature j and target 10 j; stored with a stride to prove no copy is taken.
Samples numbered(std::size_t n) {
    Samples s{Matrix::row_major(2, n), Vector(n)};
    for (std::size_t j = 0; j < n; ++j) {
        s.x.at(0, j) = static_cast<double>(j);
        s.y[j] = 10.0 * static_cast<double>(j);
    }
    return s;
}

std::vector<double> range(std::size_t begin, std::size_t end) {
    std::vector<double> r;
    for (std::size_t j = begin; j < end; ++j) r.push_back(static_cast<double>(j));
    return r;
}

// Expected (fit range, measured range) pairs of the k-fold score, in evaluation order.
using Evaluation = std::pair<std::pair<std::size_t, std::size_t>, std::pair<std::size_t, std::size_t>>;

struct FoldCase {
    std::size_t n;
    std::uint8_t k;
    std::vector<Evaluation> evaluations;
};

class CrossValidateLayout : public ::testing::TestWithParam<FoldCase> {};

TEST_P(CrossValidateLayout, FitsOneFoldMeasuresBeforeThenAfterAndSumsUndivided) {
    const auto& c = GetParam();
    const Samples s = numbered(c.n);
    std::vector<Call> calls;
    RecordingModel model{&calls};
    const double total = cross_validate(model, s.x.view(), s.y, c.k);

    ASSERT_EQ(calls.size(), 2 * c.evaluations.size());
    double expected = 0.0;
    for (std::size_t e = 0; e < c.evaluations.size(); ++e) {
        const auto [fit, eval] = c.evaluations[e];
        const Call& f = calls[2 * e];
        const Call& p = calls[2 * e + 1];
        EXPECT_EQ(f.kind, 'f') << e;
        EXPECT_EQ(f.samples, range(fit.first, fit.second)) << e;
        EXPECT_EQ(p.kind, 'p') << e;
        EXPECT_EQ(p.samples, range(eval.first, eval.second)) << e;
        // Views into the caller's matrix, not copies (an empty range may point anywhere).
        if (fit.second > fit.first) {
            EXPECT_EQ(f.data, &s.x.storage[fit.first]);
        }
        if (eval.second > eval.first) {
            EXPECT_EQ(p.data, &s.x.storage[eval.first]);
        }

        double sq = 0.0;  // the model predicts 0, so the error is the mean of y^2
        for (std::size_t j = eval.first; j < eval.second; ++j) sq = sq + s.y[j] * s.y[j];
        expected = expected + sq / static_cast<double>(eval.second - eval.first);
    }
    EXPECT_EQ(total, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Folds, CrossValidateLayout,
    ::testing::Values(
        FoldCase{10, 5, {{{0, 2}, {2, 10}}, {{2, 4}, {0, 2}}, {{2, 4}, {4, 10}}, {{4, 6}, {0, 4}},
                         {{4, 6}, {6, 10}}, {{6, 8}, {0, 6}}, {{6, 8}, {8, 10}}, {{8, 10}, {0, 8}}}},
        // Samples 10 and 11 belong to no fold and are only measured after folds 0 to 3.
        FoldCase{12, 5, {{{0, 2}, {2, 12}}, {{2, 4}, {0, 2}}, {{2, 4}, {4, 12}}, {{4, 6}, {0, 4}},
                         {{4, 6}, {6, 12}}, {{6, 8}, {0, 6}}, {{6, 8}, {8, 12}}, {{8, 10}, {0, 8}}}},
        FoldCase{7, 2, {{{0, 3}, {3, 7}}, {{3, 6}, {0, 3}}}},
        FoldCase{9, 3, {{{0, 3}, {3, 9}}, {{3, 6}, {0, 3}}, {{3, 6}, {6, 9}}, {{6, 9}, {0, 6}}}},
        // One fold: nothing is fitted or measured.
        FoldCase{10, 1, {}}));

TEST(CrossValidate, ZeroFoldsFailBeforeAnyFit) {
    const Samples s = numbered(10);
    std::vector<Call> calls;
    RecordingModel model{&calls};
    EXPECT_EQ(failure_of([&] { cross_validate(model, s.x.view(), s.y, 0); }), "attempt to divide by zero");
    EXPECT_TRUE(calls.empty());
}

TEST(CrossValidate, OneFoldLeavesTheModelAsItWas) {
    const Samples s = numbered(10);
    GradientBoostingImpl model(GradientBoostingParameters{{2, 2}, 3, 0.1});
    model.mean = 7.5;
    EXPECT_EQ(cross_validate(model, s.x.view(), s.y, 1), 0.0);
    EXPECT_EQ(model.mean, 7.5);
    EXPECT_TRUE(model.estimators.empty());
}

TEST(CrossValidate, ShortPredictionsFailWithTheMismatch) {
    const Samples s = numbered(10);
    std::vector<Call> calls;
    RecordingModel model{&calls, 1};
    EXPECT_EQ(failure_of([&] { cross_validate(model, s.x.view(), s.y, 5); }),
              "called `Result::unwrap()` on an `Err` value: ShapeMismatch(ShapeMismatch { "
              "first_shape: [7], second_shape: [8] })");
    EXPECT_EQ(calls.size(), 2u);  // stopped at the first evaluation
}

struct TooFewCase {
    std::size_t n;
    std::string message;
};

class CrossValidateTooFewSamples : public ::testing::TestWithParam<TooFewCase> {};

// With the boosting model, folds of fewer than two samples cannot be scored.
TEST_P(CrossValidateTooFewSamples, BoostingModelFails) {
    const auto& c = GetParam();
    Samples s = numbered(c.n);
    for (std::size_t j = 0; j < c.n; ++j) s.x.at(1, j) = std::sin(static_cast<double>(j));
    GradientBoostingImpl model(GradientBoostingParameters{{2, 2}, 5, 0.1});
    EXPECT_EQ(failure_of([&] { cross_validate(model, s.x.view(), s.y, 5); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CrossValidateTooFewSamples,
    ::testing::Values(TooFewCase{0, "called `Result::unwrap()` on an `Err` value: EmptyInput"},
                      TooFewCase{4, "index out of bounds: the len is 0 but the index is 0"},
                      TooFewCase{9, "index out of bounds: the len is 0 but the index is 0"}));

TEST(CrossValidate, BoostingModelScoresTenSamples) {
    Samples s = numbered(10);
    for (std::size_t j = 0; j < 10; ++j) s.x.at(1, j) = std::sin(static_cast<double>(j));
    GradientBoostingImpl model(GradientBoostingParameters{{2, 2}, 5, 0.1});
    const double score = cross_validate(model, s.x.view(), s.y, 5);
    EXPECT_TRUE(std::isfinite(score));
    EXPECT_GT(score, 0.0);
    EXPECT_EQ(model.estimators.size(), 5u);  // left fitted by the last evaluation
}

}  // namespace
}  // namespace vandu
