// The deep model's prediction for blocks of samples, every layer of a block before the
// next block: each feature is read or ranked once for all the layers that split on it
// (a grown one when its member has predicted it), every member walks the block in place,
// and a call is one team step rather than several per layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "ensemble/average_ensemble.hpp"
#include "tree/predict/block_walk.hpp"
#include "tree/predict/threshold_ranks.hpp"
#include "tree/predict/tree_walk.hpp"

namespace vandu {

class DeepBlocks {
public:
    struct Member {
        const LaidOutTrees* trees;  // null when the member was not laid out
        double rate, mean;
    };
    // Every threshold of the layers given, when the kernels have a ranked one and ranking the
    // blocks pays; null otherwise (the blocks then hold doubles).
    static std::shared_ptr<const walk::ThresholdRanks> block_ranks(std::span<const AverageEnsemble> layers,
                                                                   const walk::Kernels& kernels);
    // For walks with `kernels`; none when some member was not laid out for the shallow
    // kernels, or a layer is empty.
    static std::optional<DeepBlocks> lay_out(const std::vector<std::vector<Member>>& members,
                                             std::shared_ptr<const walk::ThresholdRanks> ranks,
                                             const walk::Kernels& kernels);

    // The model's prediction (its learning rate `rate`) as the layer-by-layer one, to the
    // bit; none when x has too few samples for blocks or lacks a feature some member reads.
    std::optional<Vector> predict(MatrixView x, double rate) const;

    bool ranked() const { return ranks_ != nullptr; }
    const walk::ThresholdRanks* table() const { return ranks_.get(); }
    // Bytes held beyond the table.
    std::size_t bytes() const;

private:
    struct Layer {
        std::vector<BlockForest> forests;
        std::vector<double> rates, means;
        std::uint64_t reads = 0;  // 1 + the largest feature its members split on
    };
    std::vector<Layer> layers_;
    std::vector<std::uint64_t> features_;  // every feature a node splits on, ascending
    std::size_t width_ = 0;
    std::shared_ptr<const walk::ThresholdRanks> ranks_;  // null: blocks of doubles
    const walk::Kernels* kernels_ = nullptr;

    template <class Cell>
    void predict_samples(MatrixView x, double rate, std::size_t begin, std::size_t end, double* out) const;
};

}  // namespace vandu
