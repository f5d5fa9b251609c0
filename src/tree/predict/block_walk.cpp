#include "tree/predict/block_walk.hpp"

#include <algorithm>
#include <utility>

namespace vandu {

std::optional<BlockForest> BlockForest::lay_out(const LaidOutTrees& trees, std::span<const std::uint64_t> features,
                                                std::size_t width, const walk::ThresholdRanks* ranks) {
    const std::optional<LaidOutTrees::Complete> complete = trees.complete();
    if (!complete || features.empty() || width == 0 || width % walk::block_quantum != 0) return std::nullopt;
    if ((features.size() - 1) * width >= UINT32_MAX) return std::nullopt;
    BlockForest forest(trees, *complete);
    forest.width_ = width;
    const std::span<const std::uint64_t> node_features = complete->features;
    forest.offsets_.resize(node_features.size());
    for (std::size_t k = 0; k < node_features.size(); ++k) {
        const std::uint64_t f = node_features[k];
        if (f == LaidOutTrees::no_feature) continue;  // NaN threshold: any row will do
        const auto at = std::lower_bound(features.begin(), features.end(), f);
        if (at == features.end() || *at != f) return std::nullopt;
        forest.offsets_[k] = static_cast<std::uint32_t>(static_cast<std::size_t>(at - features.begin()) * width);
    }
    if (!ranks || !std::ranges::equal(features, ranks->used())) return forest;
    if (complete->table == ranks && complete->node_ranks.size() == node_features.size()) {
        forest.node_ranks_ = complete->node_ranks;
    } else {
        std::vector<std::int16_t> node_ranks(node_features.size(), walk::ThresholdRanks::never);
        bool all = true;
        for (std::size_t k = 0; k < node_features.size() && all; ++k) {
            if (node_features[k] == LaidOutTrees::no_feature) continue;
            const std::optional<std::int16_t> rank = ranks->threshold_rank(node_features[k], complete->thresholds[k]);
            if (rank)
                node_ranks[k] = *rank;
            else
                all = false;
        }
        if (all) {
            forest.own_ranks_ = std::move(node_ranks);
            forest.node_ranks_ = forest.own_ranks_;
        }
    }
    return forest;
}

namespace {

std::size_t whole_groups(std::size_t n) {
    return (n + walk::block_quantum - 1) / walk::block_quantum * walk::block_quantum;
}

}  // namespace

void BlockForest::sum(const double* values, std::size_t n, double* out, const walk::Kernels& kernels) const {
    const walk::ShallowForest view{complete_.depth, complete_.count, complete_.thresholds.data(), offsets_.data(),
                                   complete_.leaves.data()};
    kernels.shallow(view, values, whole_groups(std::min(n, width_)), out, true);
}

void BlockForest::sum_ranked(const std::int16_t* ranks, std::size_t n, double* out,
                             const walk::Kernels& kernels) const {
    const walk::RankedForest view{complete_.depth, complete_.count, node_ranks_.data(), offsets_.data(),
                                  complete_.leaves.data()};
    kernels.ranked(view, ranks, whole_groups(std::min(n, width_)), out, true);
}

std::size_t BlockForest::bytes() const {
    return sizeof(*this) + offsets_.capacity() * sizeof(std::uint32_t) + own_ranks_.capacity() * sizeof(std::int16_t);
}

}  // namespace vandu
