#include "tree/predict/tree_walk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/numerics.hpp"
#include "test_support.hpp"

namespace vandu {
namespace {

using testing::bits;
using testing::failure_of;

// One sample's walk as defined, for trees without faults.
double defined_value(const DecisionTreeImpl& tree, MatrixView x, std::size_t s) {
    std::size_t node = 0;
    for (;;) {
        const Split& split = *tree.splitters[node].split_info;
        const int side = side_of(x(split.feature, s), split.threshold);
        const std::int64_t next = tree.routes[node][side];
        if (next < 0) return split.values[side];
        node = static_cast<std::size_t>(next);
    }
}

// Equal bits; a NaN's payload depends on which operand the compiled addition takes first.
bool same_value(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

std::size_t longest_path(const DecisionTreeImpl& tree) {
    std::vector<std::size_t> levels(tree.splitters.size(), 1);
    for (std::size_t i = 0; i < levels.size(); ++i)
        for (std::int64_t next : tree.routes[i])
            if (next >= 0) levels[next] = std::max(levels[next], levels[i] + 1);
    return *std::max_element(levels.begin(), levels.end());
}

Vector defined_sums(std::span<const DecisionTreeImpl> trees, MatrixView x) {
    Vector out(x.cols, 0.0);
    for (const DecisionTreeImpl& tree : trees)
        for (std::size_t s = 0; s < x.cols; ++s) out[s] = out[s] + defined_value(tree, x, s);
    return out;
}

// Values that meet thresholds exactly, signed zeros, NaN and infinities.
double awkward(std::mt19937_64& gen) {
    static const double special[] = {0.0, -0.0, 1.0, -1.0, std::nan(""), INFINITY, -INFINITY};
    std::uniform_int_distribution<int> pick(0, 9);
    const int k = pick(gen);
    if (k < 7 && std::uniform_int_distribution<int>(0, 3)(gen) == 0) return special[k];
    return std::uniform_real_distribution<double>(-2.0, 2.0)(gen);
}

// A tree numbered in pre-order with sides missing at random; some empty sides then lead to
// a later node, so that nodes are shared.
DecisionTreeImpl random_tree(std::size_t depth, std::size_t features, std::mt19937_64& gen) {
    DecisionTreeImpl tree;
    std::uniform_int_distribution<std::size_t> feature(0, features - 1);
    std::uniform_int_distribution<int> coin(0, 9);
    const auto grow = [&](auto&& self, std::size_t budget) -> std::int64_t {
        const auto i = static_cast<std::int64_t>(tree.splitters.size());
        const double threshold = coin(gen) == 0 ? std::nan("") : awkward(gen);
        tree.splitters.push_back(RandomSplitRule{Split{feature(gen), threshold, 0.0, {awkward(gen), awkward(gen)}}});
        tree.routes.push_back({NO_CHILD, NO_CHILD});
        for (int side = 0; side < 2; ++side)
            if (budget > 1 && coin(gen) < 8) tree.routes[static_cast<std::size_t>(i)][side] = self(self, budget - 1);
        return i;
    };
    grow(grow, depth);
    const std::vector<Route> plain = tree.routes;
    const std::size_t n = tree.splitters.size();
    std::vector<std::size_t> levels(n, 1);  // on the longest path to the node
    bool too_deep = false;
    for (std::size_t i = 0; i < n; ++i)
        for (auto& next : tree.routes[i]) {
            if (next == NO_CHILD && i + 1 < n && coin(gen) == 0)
                next = static_cast<std::int64_t>(std::uniform_int_distribution<std::size_t>(i + 1, n - 1)(gen));
            if (next == NO_CHILD) continue;
            auto& l = levels[static_cast<std::size_t>(next)];
            l = std::max(l, levels[i] + 1);
            too_deep = too_deep || l > depth;
        }
    if (too_deep) tree.routes = plain;
    return tree;
}

std::shared_ptr<const walk::ThresholdRanks> ranks_of(std::span<const DecisionTreeImpl> trees) {
    std::vector<std::uint64_t> features;
    std::vector<double> thresholds;
    for (const DecisionTreeImpl& tree : trees)
        for (const auto& splitter : tree.splitters) {
            features.push_back(splitter.split_info->feature);
            thresholds.push_back(splitter.split_info->threshold);
        }
    return std::make_shared<const walk::ThresholdRanks>(*walk::ThresholdRanks::build(features, thresholds));
}

// x ranked with ranks_of(trees), as the deep model ranks a layer's input.
std::vector<std::int16_t> rank_matrix(std::span<const DecisionTreeImpl> trees, MatrixView x) {
    const auto ranks = ranks_of(trees);
    std::vector<std::int16_t> out(ranks->used().size() * x.cols);
    for (std::size_t slot = 0; slot < ranks->used().size(); ++slot)
        ranks->rank_values(slot, x.data + static_cast<std::ptrdiff_t>(ranks->used()[slot]) * x.row_stride,
                           x.col_stride, x.cols, out.data() + slot * x.cols);
    return out;
}

class RandomForests : public ::testing::TestWithParam<std::size_t> {};

// Every kernel this processor runs, and the walks of deeper trees, give the defined bits.
TEST_P(RandomForests, WalkAsDefinedWithEveryKernel) {
    const std::size_t depth = GetParam();
    std::mt19937_64 gen(depth);
    std::size_t walked = 0, ranked = 0;
    // 1000 trees over few features: enough nodes per feature for the ranked kernel.
    for (std::size_t count : {1u, 3u, 40u, 1000u}) {
        const std::size_t features = 1 + gen() % (count > 100 ? 4 : 30);
        std::vector<DecisionTreeImpl> trees;
        for (std::size_t t = 0; t < count; ++t) trees.push_back(random_tree(1 + gen() % depth, features, gen));
        for (std::size_t samples : {1u, 4u, 31u, 33u, 260u, 700u, count > 100 ? 300u : 3000u}) {
            if (count > 100 && samples > 100 && samples < 300) continue;
            Matrix sample_major = Matrix::column_major(features, samples);
            Matrix feature_major = Matrix::row_major(features, samples);
            for (std::size_t s = 0; s < samples; ++s)
                for (std::size_t f = 0; f < features; ++f) feature_major.at(f, s) = sample_major.at(f, s) = awkward(gen);
            const Vector sums = defined_sums(trees, sample_major.view());
            std::size_t longest = 0;
            for (const DecisionTreeImpl& tree : trees) longest = std::max(longest, longest_path(tree));
            for (const Matrix* x : {&sample_major, &feature_major}) {
                for (const walk::Kernels* kernels : walk::runnable_walk_kernels()) {
                    Vector out(samples, 7.0);
                    // Deeper trees are laid out when their layout is not much larger than they are.
                    const bool sound = walk_sound_trees(trees, x->view(), out.data(), true, *kernels);
                    ASSERT_TRUE(sound || longest > walk::max_shallow_depth);
                    walked += sound;
                    if (!sound) continue;
                    for (std::size_t s = 0; s < samples; ++s)
                        ASSERT_PRED2(same_value, out[s], sums[s]) << kernels->name << " sample " << s;
                    ASSERT_TRUE(walk_sound_trees(std::span(trees).first(1), x->view(), out.data(), false, *kernels));
                    for (std::size_t s = 0; s < samples; ++s)
                        ASSERT_EQ(bits(out[s]), bits(defined_value(trees[0], x->view(), s))) << kernels->name;
                    if (kernels->ranked) {
                        const std::optional<LaidOutTrees> laid = LaidOutTrees::lay_out(trees, ranks_of(trees));
                        ASSERT_TRUE(laid);
                        ranked += laid->ranked();
                        const std::vector<std::int16_t> ranked_x = rank_matrix(trees, x->view());
                        ASSERT_TRUE(laid->walk(x->view(), out.data(), true, *kernels, ranked_x.data()));
                        for (std::size_t s = 0; s < samples; ++s)
                            ASSERT_PRED2(same_value, out[s], sums[s]) << "ranked sample " << s;
                    }
                }
                Vector out(samples);
                predict_trees(trees, x->view(), out.data(), true);
                for (std::size_t s = 0; s < samples; ++s) ASSERT_PRED2(same_value, out[s], sums[s]);
                // The checked walk, tree by tree.
                Vector checked(samples, 0.0);
                for (const DecisionTreeImpl& tree : trees) tree.add_predictions(x->view(), checked.data());
                for (std::size_t s = 0; s < samples; ++s) ASSERT_PRED2(same_value, checked[s], sums[s]);
            }
        }
    }
    if (depth <= 12) {
        EXPECT_GT(walked, 0u);
    }
    if (depth <= walk::max_shallow_depth && !walk::walk_kernels().ranked) {
        GTEST_SKIP() << "no ranked kernel on this processor";
    }
    if (depth <= walk::max_shallow_depth) {
        EXPECT_GT(ranked, 0u);
    }
}

// Up to 5 levels the vector kernel, then eight samples side by side, then the checked walk.
INSTANTIATE_TEST_SUITE_P(Depths, RandomForests, ::testing::Values(1, 2, 3, 4, 5, 10, 12, 14));

RandomSplitRule rule(std::uint64_t feature, double threshold) {
    return RandomSplitRule{Split{feature, threshold, 0.0, {-1.0, 1.0}}};
}

// A fault anywhere sends the whole sequence to the checked walk: the first tree in which a
// sample meets one raises it, and faults off every path are harmless.
TEST(TreeSequence, FaultsAreMetTreeByTree) {
    DecisionTreeImpl good, left_broken, right_broken;
    good.splitters = {rule(0, 0.5)};
    good.routes = {{NO_CHILD, NO_CHILD}};
    left_broken.splitters = {rule(0, 1.5), RandomSplitRule{}};
    left_broken.routes = {{1, NO_CHILD}, {NO_CHILD, NO_CHILD}};
    right_broken.splitters = {rule(1, 0.5)};
    right_broken.routes = {{NO_CHILD, 9}};
    const std::vector<DecisionTreeImpl> trees{good, right_broken, left_broken};
    for (std::size_t samples : {std::size_t{5}, 4 * parallel_prediction_rows}) {
        Matrix x = Matrix::column_major(2, samples);
        for (const walk::Kernels* kernels : walk::runnable_walk_kernels()) {
            Vector out(samples);
            EXPECT_FALSE(walk_sound_trees(trees, x.view(), out.data(), true, *kernels));
        }
        Vector out(samples);
        // All values 0: only the left side of each root is taken.
        EXPECT_EQ(failure_of([&] { predict_trees(trees, x.view(), out.data(), true); }),
                  "called `Option::unwrap()` on a `None` value");
        EXPECT_EQ(failure_of([&] { predict_trees(std::span(trees).first(2), x.view(), out.data(), true); }),
                  "<no failure>");
        for (double v : out) ASSERT_EQ(v, -2.0);
        x.at(1, samples - 1) = 1.0;
        EXPECT_EQ(failure_of([&] { predict_trees(trees, x.view(), out.data(), true); }),
                  "index out of bounds: the len is 1 but the index is 9");
    }
}

}  // namespace
}  // namespace vandu
