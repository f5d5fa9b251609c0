#include "ensemble/deep_layout.hpp"

#include <bit>
#include <cstdint>
#include <utility>

#include "core/interrupt.hpp"
#include "ensemble/member_tasks.hpp"
#include "tree/walk_kernels.hpp"

namespace vandu {

namespace {

// Fewer samples than this are walked member after member on the calling thread: handing
// each member to the pool would cost more than its walk.
constexpr std::size_t pooled_samples = 64;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace

DeepLayout::DeepLayout(const std::vector<AverageEnsemble>& layers) {
    layers_.reserve(layers.size());
    for (const AverageEnsemble& layer : layers) {
        std::vector<Member>& members = layers_.emplace_back();
        members.reserve(layer.estimators.size());
        for (const GradientBoostingImpl& model : layer.estimators) {
            Member& m = members.emplace_back();
            m.trees = LaidOutTrees::lay_out(model.estimators);
            m.stages = model.estimators.size();
            m.rate = model.params.learning_rate;
            m.mean = model.mean;
        }
    }
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
    const auto predict = [&](std::size_t k) {
        check_interrupt();
        const Member& m = members[k];
        if (m.trees) {
            Vector sums(x.cols);
            if (m.trees->walk(x, sums.data(), true, walk::walk_kernels())) {
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
    return total;
}

}  // namespace vandu
