#include "inspect/deep_samples.hpp"

#include <gtest/gtest.h>

#include "inspect/tree_arrays.hpp"
#include "test_support.hpp"

namespace vandu {
namespace {

using testing::random_matrix;
using testing::random_vector;

// The counts the members' fits keep are the training rows walked through the layers, each
// layer reading x and the earlier members' predictions.
TEST(DeepSamples, FittedCountsAreTheTrainingRowsWalkedThroughTheLayers) {
    std::mt19937_64 gen(11);
    const Matrix x = random_matrix(4, 80, gen);
    const Vector y = random_vector(80, gen);
    DeepBoostingImpl model({2, 2, 0.25});
    model.fit(x.view(), y);
    const auto fitted = inspect::fitted_samples(model);
    ASSERT_TRUE(fitted.has_value());
    EXPECT_EQ(*fitted, inspect::walk_samples(model, x.view()));
    std::size_t nodes = 0;
    for (const AverageEnsemble& layer : model.estimators)
        for (const GradientBoostingImpl& member : layer.estimators)
            for (const DecisionTreeImpl& tree : member.estimators) nodes += tree.splitters.size();
    EXPECT_EQ(fitted->size(), 2 * nodes);

    // One member without counts (loaded) leaves the model without them; the walk still counts.
    DeepBoostingImpl loaded = model;
    loaded.layout.reset();
    for (DecisionTreeImpl& tree : loaded.estimators[1].estimators[0].estimators) tree.node_samples.clear();
    EXPECT_FALSE(inspect::fitted_samples(loaded).has_value());
    EXPECT_EQ(inspect::walk_samples(loaded, x.view()), *fitted);

    // Rows without the features the layers split on are refused, not read past.
    const Matrix narrow = random_matrix(1, 80, gen);
    EXPECT_THROW(inspect::walk_samples(model, narrow.view()), inspect::InvalidModel);
}

}  // namespace
}  // namespace vandu
