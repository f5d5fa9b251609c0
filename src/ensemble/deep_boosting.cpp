#include "ensemble/deep_boosting.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
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

namespace {

constexpr std::size_t fits_per_combination = fold_evaluations(search_folds);
constexpr std::size_t search_fits = parameter_grid_size * fits_per_combination;

// The search's fold fits, each its own pool task. A fit's position is where a search
// scoring one combination after another, in grid order, would meet it: combination i's
// fits sit at i * fits_per_combination + e, e in cross_validate's order.
class FoldFits {
public:
    FoldFits(MatrixView x, VectorView r) : grid_(parameter_grid()) {
        // The costliest combinations first (a fit's time grows with depth x stages), so
        // that the short ones fill the end; equal costs in grid order.
        std::array<std::size_t, parameter_grid_size> combinations;
        for (std::size_t i = 0; i < combinations.size(); ++i) combinations[i] = i;
        const auto cost = [&](std::size_t i) {
            return std::uint64_t{grid_[i].est_params.depth} * grid_[i].n_estimators;
        };
        std::stable_sort(combinations.begin(), combinations.end(),
                         [&](std::size_t a, std::size_t b) { return cost(a) > cost(b); });
        // Two fits of a combination per task, fitted side by side: (0, 7) and the pairs
        // that train on the same fold.
        constexpr std::size_t per_task = 2;
        static_assert(fits_per_combination % per_task == 0);
        std::array<std::array<std::size_t, per_task>, search_fits / per_task> tasks;
        std::size_t t = 0;
        for (std::size_t i : combinations) {
            const std::size_t first = i * fits_per_combination, last = first + fits_per_combination - 1;
            tasks[t++] = {first, last};
            for (std::size_t e = 1; e + 1 < fits_per_combination; e += 2) tasks[t++] = {first + e, first + e + 1};
        }

        // Each task owns its models; x and r are shared read-only. A fit that fails ends
        // the search where the sequential one would end: later positions are skipped,
        // earlier ones still run, as their failures would come first.
        parallel_for(tasks.size(), [&](std::size_t task) {
            std::array<GradientBoostingImpl, per_task> models;
            std::array<BoostingFit, per_task> fits;
            std::array<FoldViews, per_task> views;
            std::array<std::size_t, per_task> positions;
            std::size_t count = 0;
            for (std::size_t position : tasks[task]) {
                if (position > first_failure_.load(std::memory_order_relaxed)) continue;
                positions[count] = position;
                models[count] = GradientBoostingImpl(grid_[position / fits_per_combination]);
                views[count] = fold_views(x, r, search_folds, position % fits_per_combination);
                fits[count] = {&models[count], views[count].x_fit, views[count].y_fit, nullptr};
                ++count;
            }
            try {
                if (count > 0) check_interrupt();
                fit_together(std::span(fits.data(), count));
            } catch (...) {
                for (std::size_t k = 0; k < count; ++k) fits[k].failure = std::current_exception();
            }
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t position = positions[k];
                try {
                    if (fits[k].failure) std::rethrow_exception(fits[k].failure);
                    const Vector p = models[k].predict(views[k].x_eval);
                    errors_[position] = unwrap_mse(mean_squared_error(p, views[k].y_eval));
                } catch (...) {
                    failures_[position] = std::current_exception();
                    std::size_t seen = first_failure_.load(std::memory_order_relaxed);
                    while (position < seen && !first_failure_.compare_exchange_weak(seen, position)) {
                    }
                }
            }
        });
        // A stop asked for during the search wins over the failures it caused.
        check_interrupt();
    }

    const std::array<GradientBoostingParameters, parameter_grid_size>& grid() const { return grid_; }

    // Hands take(i, score) every combination's score in grid order, each summed from 0.0 in
    // cross_validate's order; the first failure in position order is rethrown when met.
    template <class Take>
    void each_score(Take&& take) const {
        for (std::size_t i = 0; i < parameter_grid_size; ++i) {
            double total = 0.0;
            for (std::size_t e = 0; e < fits_per_combination; ++e) {
                const std::size_t position = i * fits_per_combination + e;
                if (failures_[position]) std::rethrow_exception(failures_[position]);
                total = total + errors_[position];
            }
            take(i, total);
        }
    }

private:
    std::array<GradientBoostingParameters, parameter_grid_size> grid_;
    std::array<double, search_fits> errors_{};
    std::array<std::exception_ptr, search_fits> failures_{};
    std::atomic<std::size_t> first_failure_{search_fits};
};

}  // namespace

std::array<double, parameter_grid_size> search_scores(MatrixView x, VectorView r) {
    std::array<double, parameter_grid_size> scores;
    FoldFits(x, r).each_score([&](std::size_t i, double score) { scores[i] = score; });
    return scores;
}

GradientBoostingParameters select_parameters(MatrixView x, VectorView r) {
    const FoldFits fits(x, r);
    // Offered in grid order, the scores meet their comparisons (a NaN fails them) just
    // where the sequential search would.
    ArgminByScore<std::size_t> best;
    fits.each_score([&](std::size_t i, double score) { best.offer({score, i}); });
    if (!best.result()) fail(text::unwrap_none);  // unreachable: the grid is not empty
    return fits.grid()[best.result()->payload];
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
    layout.reset();
    // Whatever the fit leaves, predict finds it laid out.
    struct PrepareOnExit {
        DeepBoostingImpl& model;
        ~PrepareOnExit() { model.prepare(); }
    } prepare_on_exit{*this};
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

void DeepBoostingImpl::prepare() noexcept {
    try {
        layout = std::make_shared<const DeepLayout>(estimators);
    } catch (...) {
        layout.reset();
    }
}

Vector DeepBoostingImpl::predict(MatrixView x) const {
    if (estimators.empty()) fail(text::unwrap_none);
    std::shared_ptr<const DeepLayout> laid = layout;
    if (!laid || !laid->matches(estimators)) laid = std::make_shared<const DeepLayout>(estimators);
    if (std::optional<Vector> blocks = laid->predict(x, params.learning_rate)) return std::move(*blocks);
    Matrix predictions = laid->member_predictions(estimators[0], 0, x);
    Vector result = column_means(predictions);
    std::optional<Matrix> grown;
    MatrixView features = x;
    for (std::size_t i = 1; i < estimators.size(); ++i) {
        // The extra rows are those each layer actually holds, as loaded.
        grown = stack_rows(features, predictions.view());
        features = grown->view();
        predictions = laid->member_predictions(estimators[i], i, features);
        add_scaled(result, column_means(predictions), params.learning_rate);
    }
    return result;
}

}  // namespace vandu
