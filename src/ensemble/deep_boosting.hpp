// Deep gradient boosting: layers of averaged boosting models, boosted across layers,
// each layer seeing the features plus every earlier member's predictions.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/matrix.hpp"
#include "ensemble/average_ensemble.hpp"
#include "ensemble/deep_layout.hpp"
#include "ensemble/gradient_boosting.hpp"

namespace vandu {

struct DeepBoostingParameters {
    std::uint32_t n_estimators = 5;
    std::uint32_t layer_width = 5;
    double learning_rate = 0.25;
};

// The members' parameter grid: depth outermost, then stages, then learning rate.
inline constexpr std::size_t parameter_grid_size = 12;
std::array<GradientBoostingParameters, parameter_grid_size> parameter_grid();
inline constexpr std::uint8_t search_folds = 5;

struct DeepBoostingImpl {
    DeepBoostingParameters params;
    std::vector<AverageEnsemble> estimators;  // layer 0 first
    // The members as predict walks them: made by fit (even one that fails) and by
    // prepare. predict lays the members out for itself when this is missing or does not
    // match the layers.
    std::shared_ptr<const DeepLayout> layout;

    DeepBoostingImpl() = default;
    explicit DeepBoostingImpl(DeepBoostingParameters p) : params(p) {}

    void fit(MatrixView x, VectorView y);
    Vector predict(MatrixView x) const;
    // Lays out the layers for predict (after a load, or a change by hand); a layout the
    // machine cannot hold is left to predict.
    void prepare() noexcept;
};

// Each grid combination's cross_validate error, to the bit, from its fold fits run as
// separate pool tasks, the costliest first. Fails with the failure a scoring of one
// combination after another in grid order would meet first.
std::array<double, parameter_grid_size> search_scores(MatrixView x, VectorView r);

// The combination of least score, the first in grid order among equals; fails where that
// sequential scoring and comparing would (a NaN score fails its comparison).
GradientBoostingParameters select_parameters(MatrixView x, VectorView r);

}  // namespace vandu
