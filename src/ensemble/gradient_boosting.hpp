// Gradient boosting of random-split trees on squared error.
#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "core/memory.hpp"
#include "tree/decision_tree.hpp"

namespace vandu {

struct GradientBoostingParameters {
    TreeParameters est_params;
    std::uint32_t n_estimators = 100;
    double learning_rate = 0.1;
};

struct GradientBoostingImpl {
    GradientBoostingParameters params;
    std::vector<DecisionTreeImpl> estimators;  // stage 0 first
    double mean = 0.0;

    GradientBoostingImpl() = default;
    explicit GradientBoostingImpl(GradientBoostingParameters p) : params(p) {}

    void fit(MatrixView x, VectorView y);
    Vector predict(MatrixView x) const;
};

// The fit's starting prediction: the running mean of y, pushed in sample order.
double boosting_mean(VectorView y);

// A stage's residual update, as every fit makes it: each fitted value times the rate,
// subtracted from its residual (on the team for many samples).
void subtract_stage(Vector& residuals, Vector& fitted, double rate);

// One model's fit among several run side by side.
struct BoostingFit {
    GradientBoostingImpl* model;
    MatrixView x;
    VectorView y;
    std::exception_ptr failure;  // as model->fit(x, y) would have thrown it
};

// Fits the models stage by stage together, each exactly as its own fit would: the trees'
// pending statistics run side by side. A model's failure ends only its fit; an
// interrupt ends all that still run.
void fit_together(std::span<BoostingFit> fits);

// Bytes one fitted stage holds at least: its route table and its record. Throws
// std::bad_alloc for a table the machine cannot hold.
std::uint64_t stage_footprint(const TreeParameters& params);

// Bytes a model fitted with these parameters holds at least (saturating).
std::uint64_t member_footprint(const GradientBoostingParameters& params);

// Joins equal-length vectors into a matrix, one row per vector; an empty list or
// unequal lengths are refused.
Matrix stack_predictions(std::span<const Vector> vectors);

}  // namespace vandu
