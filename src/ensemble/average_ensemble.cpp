#include "ensemble/average_ensemble.hpp"

#include <exception>
#include <functional>

#include "core/interrupt.hpp"
#include "core/worker_pool.hpp"
#include "ensemble/member_tasks.hpp"

namespace vandu {

AverageEnsemble AverageEnsemble::create(const GradientBoostingParameters& params, std::uint32_t width) {
    // A layer the machine could not hold once fitted is refused before any member exists.
    refuse_beyond_memory(width, member_footprint(params));
    AverageEnsemble layer;
    layer.estimators.assign(width, GradientBoostingImpl(params));
    return layer;
}

void for_each_member(std::size_t count, const std::function<void(std::size_t)>& task) {
    const std::size_t threads = on_pool_thread() ? 1 : pool_thread_count();
    const std::size_t pooled = threads > 1 && count % threads == 1 ? count - 1 : count;
    std::exception_ptr failure;
    try {
        parallel_for(pooled, task);
    } catch (...) {
        failure = std::current_exception();
    }
    if (pooled < count) {
        try {
            task(pooled);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void AverageEnsemble::fit(MatrixView x, VectorView y) {
    // Members in as many groups as there are pool threads, each group's fits side by side
    // (a lone leftover member would leave all threads but one idle); each task writes only
    // its own members, x and y are shared read-only. Every member's fit runs; the failure
    // of the lowest-numbered failed member is rethrown.
    const std::size_t count = estimators.size();
    const std::size_t threads = on_pool_thread() ? 1 : pool_thread_count();
    if (count <= threads) {
        for_each_member(count, [&](std::size_t i) {
            check_interrupt();
            estimators[i].fit(x, y);
        });
        return;
    }
    std::vector<BoostingFit> fits;
    for (GradientBoostingImpl& member : estimators) fits.push_back({&member, x, y, nullptr});
    parallel_for(threads, [&](std::size_t g) {
        const std::size_t first = count * g / threads, last = count * (g + 1) / threads;
        try {
            check_interrupt();
            fit_together(std::span(fits.data() + first, last - first));
        } catch (...) {
            for (std::size_t i = first; i < last; ++i) fits[i].failure = std::current_exception();
        }
    });
    for (const BoostingFit& f : fits)
        if (f.failure) std::rethrow_exception(f.failure);
}

Matrix AverageEnsemble::member_predictions(MatrixView x) const {
    std::vector<Vector> predictions(estimators.size());
    for_each_member(estimators.size(), [&](std::size_t i) {
        check_interrupt();
        predictions[i] = estimators[i].predict(x);
    });
    return stack_predictions(predictions);
}

Vector AverageEnsemble::predict(MatrixView x) const { return column_means(member_predictions(x)); }

Vector column_means(const Matrix& m) {
    Vector out(m.cols);
    const double count = static_cast<double>(m.rows);
    for (std::size_t j = 0; j < m.cols; ++j) {
        double s = 0.0;
        for (std::size_t i = 0; i < m.rows; ++i) s = s + m(i, j);
        out[j] = s / count;
    }
    return out;
}

}  // namespace vandu
