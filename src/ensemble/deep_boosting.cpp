#include "ensemble/deep_boosting.hpp"

#include <algorithm>
#include <optional>

#include "core/failure.hpp"
#include "core/interrupt.hpp"
#include "core/numerics.hpp"
#include "core/worker_pool.hpp"
#include "ensemble/estimator.hpp"

namespace vandu {

std::array<GradientBoostingParameters, parameter_grid_size> parameter_grid() {
    static constexpr std::uint8_t depths[] = {2, 3, 5};
    static constexpr std::uint32_t stages[] = {100, 1000};
    static constexpr double rates[] = {0.1, 0.01};
    std::array<GradientBoostingParameters, parameter_grid_size> grid;
    std::size_t i = 0;
    for (std::uint8_t depth : depths)
        for (std::uint32_t n : stages)
            for (double rate : rates) grid[i++] = {TreeParameters{depth, 2}, n, rate};
    return grid;
}

GradientBoostingParameters select_parameters(MatrixView x, VectorView r) {
    const auto grid = parameter_grid();
    std::size_t next = 0;  // advanced only under the source's lock
    auto best = par_argmin_by_score(
        [&]() -> std::optional<std::size_t> {
            if (next == grid.size()) return std::nullopt;
            return next++;
        },
        [&](std::size_t i) {
            check_interrupt();
            // Each scoring owns its model; x and r are shared read-only.
            GradientBoostingImpl model(grid[i]);
            return Scored<std::size_t>{cross_validate(model, x, r, search_folds), i};
        });
    if (!best) fail(text::unwrap_none);  // unreachable: the grid is not empty
    return grid[best->payload];
}

namespace {

// The product first, then added or subtracted.
void add_scaled(Vector& result, const Vector& m, double factor) {
    for (std::size_t j = 0; j < result.size(); ++j) result[j] = result[j] + (factor * m[j]);
}
void subtract_scaled(Vector& result, const Vector& m, double factor) {
    for (std::size_t j = 0; j < result.size(); ++j) result[j] = result[j] - (factor * m[j]);
}

}  // namespace

void DeepBoostingImpl::fit(MatrixView x, VectorView y) {
    const std::uint32_t layers = params.n_estimators;
    const std::uint32_t width = params.layer_width;
    if (layers > 0) {
        // A width no grid combination could hold is refused before the long search.
        std::uint64_t smallest = UINT64_MAX;
        for (const auto& p : parameter_grid()) smallest = std::min(smallest, member_footprint(p));
        refuse_beyond_memory(width, smallest);
    }

    estimators.clear();
    // The tree learner is fastest when one sample's features sit side by side; a matrix
    // already laid out that way is read in place instead of copied.
    std::optional<Matrix> grown;
    if (!x.sample_major()) grown = to_column_major(x);
    MatrixView features = grown ? grown->view() : x;
    Vector residuals = y.to_vector();

    for (std::uint32_t i = 0; i < layers; ++i) {
        check_interrupt();  // an interrupted fit keeps the layers fitted so far
        const GradientBoostingParameters p = select_parameters(features, residuals);
        AverageEnsemble layer = AverageEnsemble::create(p, width);
        layer.fit(features, residuals);
        const Matrix predictions = layer.member_predictions(features);
        if (i + 1 != layers) {
            const Vector m = column_means(predictions);
            grown = stack_rows(features, predictions.view());
            features = grown->view();
            subtract_scaled(residuals, m, i == 0 ? 1.0 : params.learning_rate);
        }
        estimators.push_back(std::move(layer));
    }
}

Vector DeepBoostingImpl::predict(MatrixView x) const {
    if (estimators.empty()) fail(text::unwrap_none);
    Matrix predictions = estimators[0].member_predictions(x);
    Vector result = column_means(predictions);
    std::optional<Matrix> grown;
    MatrixView features = x;
    for (std::size_t i = 1; i < estimators.size(); ++i) {
        // The extra rows are those each layer actually holds, as loaded.
        grown = stack_rows(features, predictions.view());
        features = grown->view();
        predictions = estimators[i].member_predictions(features);
        add_scaled(result, column_means(predictions), params.learning_rate);
    }
    return result;
}

}  // namespace vandu
