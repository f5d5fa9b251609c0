#include "ensemble/early_stopping.hpp"

#include <algorithm>

#include "core/failure.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"

namespace vandu {

namespace {

// Squared errors summed in sample order, over the count.
double mean_square_error(const Vector& sums, double rate, double mean, VectorView y) {
    double total = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double p = sums[i] * rate + mean;  // as predict forms it
        const double e = p - y[i];
        total += e * e;
    }
    return total / static_cast<double>(y.size());
}

}  // namespace

StagedLosses fit_early_stopping(GradientBoostingImpl& model, MatrixView x, VectorView y, MatrixView x_val,
                                VectorView y_val, EarlyStopping rule) {
    if (rule.n_iter_no_change == 0) fail("n_iter_no_change must be at least 1");
    if (y_val.size() == 0) fail("the validation set is empty");
    if (x_val.cols != y_val.size() || x.cols != y.size()) fail("samples and targets differ in number");
    if (x_val.rows != x.rows) fail("the validation set has another number of features");
    const std::uint32_t stages = model.params.n_estimators;
    if (stages > 0) refuse_beyond_memory(stages, stage_footprint(model.params.est_params));

    // What the native fit does before its first stage, in its arithmetic.
    GradientBoostingImpl fitted_model(model.params);
    const std::size_t n = y.size();
    const double m = boosting_mean(y);
    fitted_model.mean = m;
    Vector residuals(n), fitted(n);
    for (std::size_t i = 0; i < n; ++i) residuals[i] = y[i] - m;

    const double rate = model.params.learning_rate;
    StagedLosses losses;
    Vector val_sums(y_val.size(), 0.0);
    losses.initial = mean_square_error(val_sums, 0.0, m, y_val);
    double least_before = losses.initial;  // least of L_0 .. L_{k - n_iter_no_change}
    std::size_t best = 0;
    double best_loss = 0.0;
    if (stages > 0) {
        TreeFitter fitter(x);
        for (std::uint32_t t = 0; t < stages; ++t) {
            check_interrupt();
            DecisionTreeImpl tree(model.params.est_params);
            fitter.fit(tree, residuals, fitted.data());
            subtract_stage(residuals, fitted, rate);
            tree.add_predictions(x_val, val_sums.data());
            fitted_model.estimators.push_back(std::move(tree));

            const double loss = mean_square_error(val_sums, rate, m, y_val);
            double train = 0.0;
            for (double r : residuals) train += r * r;
            losses.validation.push_back(loss);
            losses.training.push_back(n ? train / static_cast<double>(n) : 0.0);
            if (best == 0 || loss < best_loss) {
                best = t + 1;
                best_loss = loss;
            }
            const std::size_t k = t + 1;
            if (k < rule.n_iter_no_change) continue;
            if (k > rule.n_iter_no_change)
                least_before = std::min(least_before, losses.validation[k - rule.n_iter_no_change - 1]);
            bool lowered = false;
            for (std::size_t j = k - rule.n_iter_no_change; j < k; ++j)
                lowered |= least_before - losses.validation[j] > rule.tol;
            if (!lowered) break;
        }
    }
    fitted_model.estimators.resize(best);
    fitted_model.params.n_estimators = static_cast<std::uint32_t>(best);
    model = std::move(fitted_model);
    return losses;
}

GradientBoostingImpl constant_boosting(const GradientBoostingParameters& params, MatrixView x, VectorView y) {
    if (x.rows == 0 || x.cols == 0 || x.cols != y.size()) fail("a constant model needs samples and a feature");
    GradientBoostingImpl out(params);
    out.params.n_estimators = 1;
    const std::size_t n = y.size();
    const double m = boosting_mean(y);
    out.mean = m;
    double deviation = 0.0;
    for (std::size_t i = 0; i < n; ++i) deviation += (y[i] - m) * (y[i] - m);
    DecisionTreeImpl tree(params.est_params);
    tree.routes.assign(route_count(params.est_params.depth), Route{NO_CHILD, NO_CHILD});
    tree.splitters.push_back(RandomSplitRule{Split{0, x(0, 0), deviation, {0.0, 0.0}}});
    tree.node_samples.push_back({n, n});
    out.estimators.push_back(std::move(tree));
    return out;
}

GradientBoostingImpl first_stages(const GradientBoostingImpl& model, std::uint32_t k) {
    if (k > model.estimators.size()) fail("the model has fewer stages");
    GradientBoostingImpl out(model.params);
    out.params.n_estimators = k;
    out.mean = model.mean;
    out.estimators.assign(model.estimators.begin(), model.estimators.begin() + k);
    return out;
}

}  // namespace vandu
