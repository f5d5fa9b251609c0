#include "ensemble/average_ensemble.hpp"

#include "core/interrupt.hpp"
#include "core/worker_pool.hpp"

namespace vandu {

AverageEnsemble AverageEnsemble::create(const GradientBoostingParameters& params, std::uint32_t width) {
    // A layer the machine could not hold once fitted is refused before any member exists.
    refuse_beyond_memory(width, member_footprint(params));
    AverageEnsemble layer;
    layer.estimators.assign(width, GradientBoostingImpl(params));
    return layer;
}

void AverageEnsemble::fit(MatrixView x, VectorView y) {
    // Each task writes only its own member; x and y are shared read-only.
    parallel_for(estimators.size(), [&](std::size_t i) {
        check_interrupt();
        estimators[i].fit(x, y);
    });
}

Matrix AverageEnsemble::member_predictions(MatrixView x) const {
    std::vector<Vector> predictions(estimators.size());
    parallel_for(estimators.size(), [&](std::size_t i) {
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
