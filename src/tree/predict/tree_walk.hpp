// Prediction: the walk of one tree, or of a sequence of trees whose values are summed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "tree/decision_tree.hpp"
#include "tree/predict/threshold_ranks.hpp"
#include "tree/kernels/walk_kernels.hpp"

namespace vandu {

// For every column s of x: out[s] = the one tree's value (sum false), or 0.0 + value of
// tree 0 + value of tree 1 + ... in tree order (sum true). A fault a sample meets (see
// tree_walk.cpp) is raised as a walk of each tree in turn over all samples meets it first.
void predict_trees(std::span<const DecisionTreeImpl> trees, MatrixView x, double* out, bool sum);

// Trees laid out once for the unchecked walk of any matrix, as walk_sound_trees lays them
// out on every call. Copies share the layout, which never changes; it holds no reference
// to the trees.
class LaidOutTrees {
public:
    // None when some tree needs the checked walk (a fault other than a feature the matrix
    // may lack, too deep a tree, too large a layout) or there is no tree.
    // With a table that holds every threshold of the trees, shallow trees may take the
    // ranked kernel when the caller ranks x with it (see walk).
    static std::optional<LaidOutTrees> lay_out(std::span<const DecisionTreeImpl> trees,
                                               std::shared_ptr<const walk::ThresholdRanks> ranks = nullptr);
    // predict_trees of the trees, or false (out untouched) when x lacks a feature some node
    // uses: only the checked walk knows whether a sample reaches that node. ranked_x, when
    // given: x ranked with the layout's table, slot after slot, x.cols ranks each.
    bool walk(MatrixView x, double* out, bool sum, const walk::Kernels& kernels,
              const std::int16_t* ranked_x = nullptr) const;
    // Whether shallow trees take the ranked kernel given x ranked with the layout's table.
    bool ranked() const;
    // The trees complete, as the shallow kernels take them (a node without a split has a
    // NaN threshold and the feature `no_feature`), with the thresholds' ranks in `table`
    // when ranked(); none when they are deeper than that.
    struct Complete {
        unsigned depth;
        std::size_t count;
        std::span<const double> thresholds, leaves;
        std::span<const std::uint64_t> features;
        std::span<const std::int16_t> node_ranks;
        const walk::ThresholdRanks* table;
    };
    static constexpr std::uint64_t no_feature = UINT64_MAX;
    std::optional<Complete> complete() const;
    // Bytes the layout holds.
    std::size_t bytes() const;

private:
    struct Parts;
    explicit LaidOutTrees(std::shared_ptr<const Parts> parts);
    std::shared_ptr<const Parts> parts_;
};

// The unchecked walk of predict_trees with the given kernels, for trees without any fault
// and not too deep; false (out untouched) when some tree needs the checked walk.
bool walk_sound_trees(std::span<const DecisionTreeImpl> trees, MatrixView x, double* out, bool sum,
                      const walk::Kernels& kernels);

}  // namespace vandu
