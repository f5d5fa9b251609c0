#include "inspect/tree_arrays.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "ensemble/gradient_boosting.hpp"
#include "test_support.hpp"

namespace vandu {
namespace {

using testing::random_matrix;
using testing::random_vector;

// (features, samples, depth): small fits grow on one thread, large ones on the team.
class NodeSamples : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, int>> {};

// The counts a fit keeps are those of its training rows walked through the tree, and
// every row reaches the leaf the table numbering gives it.
TEST_P(NodeSamples, FittedCountsAreTheTrainingRowsWalked) {
    const auto [features, samples, depth] = GetParam();
    std::mt19937_64 gen(features * 31 + samples);
    const Matrix x = random_matrix(features, samples, gen);
    const Vector y = random_vector(samples, gen);
    GradientBoostingImpl model({TreeParameters{static_cast<std::uint8_t>(depth), 2}, 4, 0.3});
    model.fit(x.view(), y);
    const auto fitted = inspect::fitted_samples(model.estimators);
    ASSERT_TRUE(fitted.has_value());
    const inspect::TreeArrays arrays = inspect::flatten(model.estimators, features);
    EXPECT_EQ(*fitted, inspect::walk_samples(arrays, x.view()));
    const std::vector<std::int64_t> leaves = inspect::leaves(arrays, x.view());
    for (std::size_t t = 0; t < arrays.n_trees(); ++t) {
        const std::int64_t n = arrays.start[t + 1] - arrays.start[t];
        for (std::size_t s = 0; s < samples; ++s) EXPECT_GE(leaves[s * arrays.n_trees() + t], n);
    }
    // A loaded tree holds none.
    DecisionTreeImpl copy = model.estimators[0];
    copy.node_samples.clear();
    EXPECT_FALSE(inspect::fitted_samples(std::span(&copy, 1)).has_value());
}

INSTANTIATE_TEST_SUITE_P(Shapes, NodeSamples,
                         ::testing::Values(std::make_tuple(3, 50, 3), std::make_tuple(8, 300, 6),
                                           std::make_tuple(20, 40000, 5)));

TEST(FlattenTest, RefusesBrokenTrees) {
    std::mt19937_64 gen(7);
    const Matrix x = random_matrix(3, 60, gen);
    const Vector y = random_vector(60, gen);
    DecisionTreeImpl tree(TreeParameters{3, 2});
    tree.fit(x.view(), y);
    ASSERT_GE(tree.splitters.size(), 2u);
    EXPECT_THROW(inspect::flatten(std::span(&tree, 1), 0), inspect::InvalidModel);
    DecisionTreeImpl loop = tree;
    loop.routes[1] = {0, NO_CHILD};
    EXPECT_THROW(inspect::flatten(std::span(&loop, 1), 3), inspect::InvalidModel);
    DecisionTreeImpl orphan = tree;
    orphan.routes[0] = {NO_CHILD, NO_CHILD};
    EXPECT_THROW(inspect::flatten(std::span(&orphan, 1), 3), inspect::InvalidModel);
    EXPECT_NE(inspect::fingerprint(std::span(&tree, 1)), inspect::fingerprint(std::span(&loop, 1)));
}

}  // namespace
}  // namespace vandu
