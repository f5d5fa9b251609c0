#include "inspect/deep_samples.hpp"

#include <memory>

#include "core/worker_pool.hpp"
#include "inspect/tree_arrays.hpp"

namespace vandu::inspect {

std::optional<std::vector<std::uint64_t>> fitted_samples(const DeepBoostingImpl& model) {
    std::vector<std::uint64_t> out;
    for (const AverageEnsemble& layer : model.estimators)
        for (const GradientBoostingImpl& member : layer.estimators) {
            auto counts = fitted_samples(member.estimators);
            if (!counts) return std::nullopt;
            out.insert(out.end(), counts->begin(), counts->end());
        }
    return out;
}

std::vector<std::uint64_t> walk_samples(const DeepBoostingImpl& model, MatrixView x) {
    std::vector<std::uint64_t> out;
    std::shared_ptr<const DeepLayout> laid = model.layout;
    if (!laid || !laid->matches(model.estimators)) laid = std::make_shared<const DeepLayout>(model.estimators);
    std::optional<Matrix> grown;
    MatrixView features = x;
    for (std::size_t i = 0; i < model.estimators.size(); ++i) {
        const AverageEnsemble& layer = model.estimators[i];
        // The members are walked side by side on the pool, as predict runs them.
        std::vector<std::vector<std::uint64_t>> counts(layer.estimators.size());
        parallel_for(counts.size(), [&](std::size_t m) {
            counts[m] = walk_samples(flatten(layer.estimators[m].estimators, features.rows), features);
        });
        for (const auto& member : counts) out.insert(out.end(), member.begin(), member.end());
        if (i + 1 == model.estimators.size()) break;
        // The next layer reads these rows too, stacked as predict stacks them.
        const Matrix predictions = laid->member_predictions(layer, i, features);
        grown = stack_rows(features, predictions.view());
        features = grown->view();
    }
    return out;
}

}  // namespace vandu::inspect
