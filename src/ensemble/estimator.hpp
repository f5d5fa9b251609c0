// The fit/predict contract of the learning models and the scores built on it.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <variant>

#include "core/failure.hpp"
#include "core/matrix.hpp"

namespace vandu {

template <class Model>
concept Estimator = requires(Model& m, const Model& cm, MatrixView x, VectorView y) {
    m.fit(x, y);
    { cm.predict(x) } -> std::same_as<Vector>;
};

struct EmptyInput {};
struct ShapeMismatch {
    std::size_t first_shape;
    std::size_t second_shape;
};
using MseOutcome = std::variant<double, EmptyInput, ShapeMismatch>;

MseOutcome mean_squared_error(VectorView predictions, VectorView targets);

// The measure's value; an error ends the call as an internal failure.
double unwrap_mse(const MseOutcome& outcome);

template <Estimator Model>
double evaluate(Model& model, MatrixView x_fit, VectorView y_fit, MatrixView x_eval,
                VectorView y_eval) {
    model.fit(x_fit, y_fit);
    const Vector p = model.predict(x_eval);
    return unwrap_mse(mean_squared_error(p, y_eval));
}

// The number of hold-out errors cross_validate sums: every fold but the first is measured
// on the samples before it, every fold but the last on those after it.
constexpr std::size_t fold_evaluations(std::uint8_t k) { return k == 0 ? 0 : 2 * (std::size_t{k} - 1); }

// The e-th of those errors in cross_validate's order (k > 0, e < fold_evaluations(k)): fold
// (e + 1) / 2 trained on alone, measured on the samples before it for odd e, after it else.
// Fold ranges are views of x and y.
struct FoldViews {
    MatrixView x_fit;
    VectorView y_fit;
    MatrixView x_eval;
    VectorView y_eval;
};

inline FoldViews fold_views(MatrixView x, VectorView y, std::uint8_t k, std::size_t e) {
    const std::size_t n = y.size();
    const std::size_t fold = n / k;
    const std::size_t m = (e + 1) / 2;
    const std::size_t begin = m * fold, end = (m + 1) * fold;
    if (e % 2 == 1) return {x.columns(begin, end), y.slice(begin, end), x.columns(0, begin), y.slice(0, begin)};
    return {x.columns(begin, end), y.slice(begin, end), x.columns(end, n), y.slice(end, n)};
}

template <Estimator Model>
double fold_evaluation(Model& model, MatrixView x, VectorView y, std::uint8_t k, std::size_t e) {
    const FoldViews v = fold_views(x, y, k, e);
    return evaluate(model, v.x_fit, v.y_fit, v.x_eval, v.y_eval);
}

// Trains on each fold alone, measures on the samples before and after it; the sum of
// the hold-out errors, not divided.
template <Estimator Model>
double cross_validate(Model& model, MatrixView x, VectorView y, std::uint8_t k) {
    if (k == 0) fail("attempt to divide by zero");
    double total = 0.0;
    for (std::size_t e = 0; e < fold_evaluations(k); ++e) total = total + fold_evaluation(model, x, y, k, e);
    return total;
}

}  // namespace vandu
