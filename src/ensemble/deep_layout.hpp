// The deep model's members laid out for prediction once, after fit and load, rather than
// on every call.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "core/matrix.hpp"
#include "ensemble/average_ensemble.hpp"
#include "ensemble/deep_blocks.hpp"
#include "tree/predict/tree_walk.hpp"
#include "tree/kernels/walk_kernels.hpp"

namespace vandu {

// Owns what it laid out and never changes, so copies of a model may share it and any
// number of threads may predict with it.
class DeepLayout {
public:
    // For walks with `kernels` (the processor's best by default).
    explicit DeepLayout(const std::vector<AverageEnsemble>& layers,
                        const walk::Kernels& kernels = walk::walk_kernels());

    // True when laid out from layers of this shape, with these stage counts, rates and
    // means: a model changed by hand since then needs a new layout.
    bool matches(const std::vector<AverageEnsemble>& layers) const;

    // layer.member_predictions(x) to the bit, for the layer laid out as `index`; a member
    // the layout could not take (or x lacks a feature it uses) predicts by itself, with
    // the failures that brings.
    Matrix member_predictions(const AverageEnsemble& layer, std::size_t index, MatrixView x) const;

    // The model's prediction, the layers of a block of samples before the next block (see
    // deep_blocks.hpp); none when this layout or x does not allow it.
    std::optional<Vector> predict(MatrixView x, double rate) const {
        return blocks_ ? blocks_->predict(x, rate) : std::nullopt;
    }

    // Whether predict ranks the values of its blocks.
    bool ranks_blocks() const { return blocks_ && blocks_->ranked(); }

    // Bytes the layout holds beyond the model.
    std::size_t bytes() const;

private:
    struct Member {
        std::optional<LaidOutTrees> trees;
        std::size_t stages = 0;
        double rate = 0.0, mean = 0.0;
    };
    std::vector<std::vector<Member>> layers_;
    // By layer: the thresholds of all its members (or of every layer, the blocks' table),
    // so that a layer's input is ranked once for every member that takes the ranked
    // kernel; null when none can.
    std::vector<std::shared_ptr<const walk::ThresholdRanks>> ranks_;
    std::optional<DeepBlocks> blocks_;
    const walk::Kernels* kernels_;
};

}  // namespace vandu
