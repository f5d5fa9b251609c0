// Gradient boosting that stops once a validation set's loss no longer falls, keeping
// the stages up to the least loss.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.hpp"
#include "ensemble/gradient_boosting.hpp"

namespace vandu {

struct EarlyStopping {
    std::uint32_t n_iter_no_change = 5;  // at least 1
    double tol = 1e-4;
};

struct StagedLosses {
    std::vector<double> validation;  // L_1 .. L_k: mean squared error after each stage fitted
    std::vector<double> training;    // the training residuals' mean square after each stage
    double initial = 0.0;            // L_0, the mean's
};

// Fits `model` (its parameters as set; n_estimators the most stages) on x, y stage by
// stage exactly as model.fit(x, y) fits them, and after stage k stops once none of the
// last n_iter_no_change stages lowered the least validation loss before them by more
// than tol. The model keeps stages 1..b, b the first stage of least loss, with
// n_estimators = b: what a native fit of b stages could have produced.
StagedLosses fit_early_stopping(GradientBoostingImpl& model, MatrixView x, VectorView y, MatrixView x_val,
                                VectorView y_val, EarlyStopping rule);

// The first k stages of a fitted model, as a model of k stages.
GradientBoostingImpl first_stages(const GradientBoostingImpl& model, std::uint32_t k);

// What a fit on data without a feature of two values stands for: one stage whose single
// node sends every row to sides that both add nothing, so the model predicts the mean of y
// (computed as the fit computes it). Needs at least one feature.
GradientBoostingImpl constant_boosting(const GradientBoostingParameters& params, MatrixView x, VectorView y);

}  // namespace vandu
