// Shallow trees walked over a block of samples that the caller fills: one row of `width`
// values per feature, the features in a fixed order, so that many forests read the same
// block in place. The block holds doubles, or their ranks with a table that holds every
// threshold of the trees (see threshold_ranks.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tree/predict/threshold_ranks.hpp"
#include "tree/predict/tree_walk.hpp"
#include "tree/kernels/walk_kernels.hpp"

namespace vandu {

class BlockForest {
public:
    // None when the trees are not laid out for the shallow kernels, or split on a feature
    // not in `features` (ascending; a feature's row of the block is its place there).
    // `width` is a multiple of walk::block_quantum. With `ranks`, whose features are
    // `features`, the node ranks too (none when the table lacks a threshold).
    static std::optional<BlockForest> lay_out(const LaidOutTrees& trees, std::span<const std::uint64_t> features,
                                              std::size_t width, const walk::ThresholdRanks* ranks);

    // out[r] = 0.0 + tree 0 + tree 1 + ... for r < n <= width, as predict_trees sums them;
    // the block's rows hold `width` values each, those from n on any number (or rank), and
    // out has room for `width` values.
    void sum(const double* values, std::size_t n, double* out, const walk::Kernels& kernels) const;
    // The same from ranks; only when ranked() and kernels.ranked.
    void sum_ranked(const std::int16_t* ranks, std::size_t n, double* out, const walk::Kernels& kernels) const;

    // Moved only: node_ranks_ may point into own_ranks_.
    BlockForest(BlockForest&&) noexcept = default;
    BlockForest& operator=(BlockForest&&) noexcept = default;
    BlockForest(const BlockForest&) = delete;
    BlockForest& operator=(const BlockForest&) = delete;

    bool ranked() const { return !node_ranks_.empty(); }
    std::size_t bytes() const;

private:
    LaidOutTrees trees_;  // holds the complete trees
    LaidOutTrees::Complete complete_;
    std::size_t width_ = 0;
    std::vector<std::uint32_t> offsets_;  // of each node's row in the block
    // The trees' own when ranked with the same table, else own_ranks_ (whose buffer a move
    // keeps).
    std::span<const std::int16_t> node_ranks_;
    std::vector<std::int16_t> own_ranks_;

    BlockForest(LaidOutTrees trees, LaidOutTrees::Complete complete) : trees_(std::move(trees)), complete_(complete) {}
};

}  // namespace vandu
