#include "ensemble/deep_layout.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#include "core/interrupt.hpp"
#include "core/worker_pool.hpp"
#include "ensemble/member_tasks.hpp"
#include "tree/kernels/walk_kernels.hpp"

namespace vandu {

namespace {

// Fewer samples than this are walked member after member on the calling thread: handing
// each member to the pool would cost more than its walk.
constexpr std::size_t pooled_samples = 64;
// Fewer samples than this are not ranked: the few-sample walk takes them.
constexpr std::size_t ranked_samples = 32;
// Ranked on the team from this many samples per thread.
constexpr std::size_t ranked_chunk = 256;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace

DeepLayout::DeepLayout(const std::vector<AverageEnsemble>& layers, const walk::Kernels& kernels)
    : kernels_(&kernels) {
    layers_.reserve(layers.size());
    // The table of every layer's thresholds, when the blocks are ranked, serves the layers
    // one after another too (a layer's input then ranked for the features it holds).
    std::shared_ptr<const walk::ThresholdRanks> block_ranks = DeepBlocks::block_ranks(layers, kernels);
    for (const AverageEnsemble& layer : layers) {
        std::vector<Member>& members = layers_.emplace_back();
        members.reserve(layer.estimators.size());
        std::shared_ptr<const walk::ThresholdRanks> ranks =
            block_ranks ? block_ranks : DeepBlocks::block_ranks({&layer, 1}, kernels);
        bool ranked = false;
        for (const GradientBoostingImpl& model : layer.estimators) {
            Member& m = members.emplace_back();
            m.trees = LaidOutTrees::lay_out(model.estimators, ranks);
            ranked = ranked || (m.trees && m.trees->ranked());
            m.stages = model.estimators.size();
            m.rate = model.params.learning_rate;
            m.mean = model.mean;
        }
        ranks_.push_back(ranked ? std::move(ranks) : nullptr);
    }
    std::vector<std::vector<DeepBlocks::Member>> members;
    for (const std::vector<Member>& layer : layers_) {
        std::vector<DeepBlocks::Member>& views = members.emplace_back();
        for (const Member& m : layer) views.push_back({m.trees ? &*m.trees : nullptr, m.rate, m.mean});
    }
    blocks_ = DeepBlocks::lay_out(members, std::move(block_ranks), kernels);
}

bool DeepLayout::matches(const std::vector<AverageEnsemble>& layers) const {
    if (layers.size() != layers_.size()) return false;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const std::vector<GradientBoostingImpl>& models = layers[i].estimators;
        if (models.size() != layers_[i].size()) return false;
        for (std::size_t k = 0; k < models.size(); ++k) {
            const Member& m = layers_[i][k];
            if (models[k].estimators.size() != m.stages || !same_bits(models[k].params.learning_rate, m.rate) ||
                !same_bits(models[k].mean, m.mean))
                return false;
        }
    }
    return true;
}

Matrix DeepLayout::member_predictions(const AverageEnsemble& layer, std::size_t index, MatrixView x) const {
    const std::vector<Member>& members = layers_[index];
    std::vector<Vector> predictions(members.size());
    // x ranked once for all the members that take the ranked kernel.
    std::vector<std::int16_t> ranked_x;
    const walk::ThresholdRanks* ranks = ranks_[index].get();
    if (ranks && x.cols >= ranked_samples) {
        // A member that reads a feature beyond x walks by itself, so features beyond x
        // (those the table holds for later layers) are never read.
        const std::span<const std::uint64_t> used = ranks->used();
        const auto held = static_cast<std::size_t>(std::lower_bound(used.begin(), used.end(), x.rows) - used.begin());
        ranked_x.resize(used.size() * x.cols);
        const auto rank = [&](std::size_t begin, std::size_t end) {
            for (std::size_t slot = 0; slot < held; ++slot)
                ranks->rank_values(slot,
                                   x.data + static_cast<std::ptrdiff_t>(used[slot]) * x.row_stride +
                                       static_cast<std::ptrdiff_t>(begin) * x.col_stride,
                                   x.col_stride, end - begin, ranked_x.data() + slot * x.cols + begin);
        };
        if (!in_team_chunks(x.cols, ranked_chunk, rank)) rank(0, x.cols);
    }
    const auto predict = [&](std::size_t k) {
        check_interrupt();
        const Member& m = members[k];
        if (m.trees) {
            Vector sums(x.cols);
            if (m.trees->walk(x, sums.data(), true, *kernels_,
                              ranked_x.empty() ? nullptr : ranked_x.data())) {
                // As GradientBoostingImpl::predict finishes its sums.
                for (double& s : sums) s = s * m.rate + m.mean;
                predictions[k] = std::move(sums);
                return;
            }
        }
        predictions[k] = layer.estimators[k].predict(x);
    };
    if (x.cols < pooled_samples) {
        // The first failure in member order, as for_each_member reports it.
        for (std::size_t k = 0; k < members.size(); ++k) predict(k);
    } else {
        for_each_member(members.size(), predict);
    }
    return stack_predictions(predictions);
}

std::size_t DeepLayout::bytes() const {
    std::size_t total = sizeof(*this);
    for (const std::vector<Member>& members : layers_) {
        total += members.capacity() * sizeof(Member);
        for (const Member& m : members)
            if (m.trees) total += m.trees->bytes();
    }
    // Each table once: the layers and the blocks may share one.
    std::vector<const walk::ThresholdRanks*> tables;
    for (const auto& ranks : ranks_) tables.push_back(ranks.get());
    if (blocks_) tables.push_back(blocks_->table());
    std::sort(tables.begin(), tables.end());
    tables.erase(std::unique(tables.begin(), tables.end()), tables.end());
    for (const walk::ThresholdRanks* table : tables)
        if (table) total += table->bytes();
    if (blocks_) total += blocks_->bytes() - sizeof(DeepBlocks);
    return total;
}

}  // namespace vandu
