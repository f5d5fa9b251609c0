// One layer of the deep model: gradient-boosting members that share their parameters,
// fitted to the same data and averaged.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.hpp"
#include "ensemble/gradient_boosting.hpp"

namespace vandu {

struct AverageEnsemble {
    std::vector<GradientBoostingImpl> estimators;  // member order is the row order below

    static AverageEnsemble create(const GradientBoostingParameters& params, std::uint32_t width);

    void fit(MatrixView x, VectorView y);
    // One row per member, one column per column of x.
    Matrix member_predictions(MatrixView x) const;
    Vector predict(MatrixView x) const;
};

// Column means of m, summed in row order from 0.0.
Vector column_means(const Matrix& m);

}  // namespace vandu
