#include "ensemble/early_stopping.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>

#include "test_support.hpp"

namespace vandu {
namespace {

using testing::bits;
using testing::KeyedDraws;
using testing::random_matrix;
using testing::random_vector;
using testing::same_bits;

// (samples, depth, rate, patience, tol)
using Stopping = std::tuple<std::size_t, int, double, std::uint32_t, double>;
class EarlyStoppingTest : public ::testing::TestWithParam<Stopping> {};

// With the draws fixed, the stages kept are the native fit's first b stages to the bit,
// the losses are those of the kept stages' predictions, and the stop follows the rule.
TEST_P(EarlyStoppingTest, KeepsTheNativeStagesUpToTheLeastLoss) {
    const auto [samples, depth, rate, patience, tol] = GetParam();
    KeyedDraws keyed;
    std::mt19937_64 gen(samples + static_cast<std::size_t>(depth));
    const Matrix x = random_matrix(5, samples, gen);
    const Vector y = random_vector(samples, gen);
    const Matrix xv = random_matrix(5, 50, gen);
    const Vector yv = random_vector(50, gen);
    const GradientBoostingParameters p{TreeParameters{static_cast<std::uint8_t>(depth), 2}, 200, rate};
    GradientBoostingImpl native(p);
    native.fit(x.view(), y);
    GradientBoostingImpl stopped(p);
    const StagedLosses losses = fit_early_stopping(stopped, x.view(), y, xv.view(), yv, {patience, tol});

    const std::size_t k = losses.validation.size(), b = stopped.estimators.size();
    ASSERT_GE(b, 1u);
    ASSERT_LE(b, k);
    EXPECT_EQ(stopped.params.n_estimators, b);
    EXPECT_EQ(bits(stopped.mean), bits(native.mean));
    for (std::size_t t = 0; t < b; ++t) EXPECT_TRUE(same_bits(stopped.estimators[t], native.estimators[t])) << t;
    for (std::size_t t = 0; t < k; ++t) {
        GradientBoostingImpl first = first_stages(native, static_cast<std::uint32_t>(t + 1));
        const Vector p = first.predict(xv.view());
        double total = 0.0;
        for (std::size_t i = 0; i < p.size(); ++i) total += (p[i] - yv[i]) * (p[i] - yv[i]);
        EXPECT_EQ(bits(losses.validation[t]), bits(total / 50.0)) << t;
        // b is the first stage of least loss.
        if (t + 1 < b) {
            EXPECT_GT(losses.validation[t], losses.validation[b - 1]) << t;
        } else {
            EXPECT_GE(losses.validation[t], losses.validation[b - 1]) << t;
        }
    }
    std::vector<double> all{losses.initial};
    all.insert(all.end(), losses.validation.begin(), losses.validation.end());
    const auto stops_after = [&](std::size_t stage) {
        if (stage < patience) return false;
        double least = std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j + patience <= stage; ++j) least = std::min(least, all[j]);
        for (std::size_t j = stage - patience + 1; j <= stage; ++j)
            if (least - all[j] > tol) return false;
        return true;
    };
    for (std::size_t stage = 1; stage < k; ++stage) EXPECT_FALSE(stops_after(stage)) << stage;
    EXPECT_TRUE(k == 200 || stops_after(k));
}

INSTANTIATE_TEST_SUITE_P(Rules, EarlyStoppingTest,
                         ::testing::Values(std::make_tuple(200, 2, 0.5, 1u, 0.0),
                                           std::make_tuple(300, 3, 0.9, 3u, 1e-4),
                                           std::make_tuple(40000, 3, 0.3, 2u, 1e-3)));

TEST(ConstantBoostingTest, PredictsTheMean) {
    Matrix x = Matrix::row_major(2, 5);
    for (double& v : x.storage) v = 1.5;
    const Vector y{1.0, 2.0, 4.0, 8.0, 16.0};
    const GradientBoostingImpl model = constant_boosting({TreeParameters{3, 2}, 100, 0.1}, x.view(), y);
    double m = 0.0;
    for (std::size_t k = 1; k <= y.size(); ++k) m = m + (y[k - 1] - m) / static_cast<double>(k);
    for (double p : model.predict(x.view())) EXPECT_EQ(bits(p), bits(m));
    EXPECT_EQ(model.params.n_estimators, 1u);
}

}  // namespace
}  // namespace vandu
