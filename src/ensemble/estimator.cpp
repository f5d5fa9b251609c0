#include "ensemble/estimator.hpp"

namespace vandu {

MseOutcome mean_squared_error(VectorView predictions, VectorView targets) {
    const std::size_t a = predictions.size();
    if (a == 0) return EmptyInput{};  // checked before the shapes
    if (a != targets.size()) return ShapeMismatch{a, targets.size()};
    double s = 0.0;
    for (std::size_t i = 0; i < a; ++i) {
        const double d = predictions[i] - targets[i];
        s = s + d * d;
    }
    return s / static_cast<double>(a);
}

double unwrap_mse(const MseOutcome& outcome) {
    if (const double* value = std::get_if<double>(&outcome)) return *value;
    if (std::holds_alternative<EmptyInput>(outcome)) fail(std::string(text::unwrap_err) + "EmptyInput");
    const auto& m = std::get<ShapeMismatch>(outcome);
    fail(std::string(text::unwrap_err) + "ShapeMismatch(ShapeMismatch { first_shape: [" +
         std::to_string(m.first_shape) + "], second_shape: [" + std::to_string(m.second_shape) +
         "] })");
}

}  // namespace vandu
