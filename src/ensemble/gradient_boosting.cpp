#include "ensemble/gradient_boosting.hpp"

#include <algorithm>
#include <new>

#include "core/failure.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/worker_pool.hpp"
#include "tree/tree_walk.hpp"

namespace vandu {

std::uint64_t stage_footprint(const TreeParameters& params) {
    // route_count refuses a single table the machine cannot hold.
    return route_count(params.depth) * sizeof(Route) + sizeof(DecisionTreeImpl);
}

std::uint64_t member_footprint(const GradientBoostingParameters& params) {
    constexpr std::uint64_t record = sizeof(GradientBoostingImpl);
    if (params.n_estimators == 0) return record;
    const std::uint64_t stage = stage_footprint(params.est_params);
    if (stage > (UINT64_MAX - record) / params.n_estimators) return UINT64_MAX;
    return record + params.n_estimators * stage;
}

namespace {
// Element-wise updates of at least this many samples are spread over the team.
constexpr std::size_t parallel_update_samples = 1 << 15;
}  // namespace

void GradientBoostingImpl::fit(MatrixView x, VectorView y) {
    const std::uint32_t stages = params.n_estimators;
    // Refused up front, leaving the model as it was: the stages' route tables alone would
    // otherwise fill the machine's memory a stage at a time.
    if (stages > 0) refuse_beyond_memory(stages, stage_footprint(params.est_params));

    estimators.clear();
    const std::size_t n = y.size();
    double m = 0.0;
    for (std::size_t k = 1; k <= n; ++k) m = m + (y[k - 1] - m) / static_cast<double>(k);
    mean = m;

    Vector residuals(n);
    for (std::size_t i = 0; i < n; ++i) residuals[i] = y[i] - mean;
    if (stages == 0) return;

    estimators.reserve(stages);
    TreeFitter fitter(x);
    Vector fitted(n);
    const double rate = params.learning_rate;
    for (std::uint32_t t = 0; t < stages; ++t) {
        check_interrupt();  // an interrupted fit keeps the stages fitted so far
        DecisionTreeImpl tree(params.est_params);
        // Fails like tree.predict(x) when the tree holds no node and x has a column.
        fitter.fit(tree, residuals, fitted.data());
        if (t + 1 != stages) {
            const auto update = [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) fitted[i] = fitted[i] * rate;
                for (std::size_t i = begin; i < end; ++i) residuals[i] = residuals[i] - fitted[i];
            };
            if (!in_team_chunks(n, parallel_update_samples, update)) update(0, n);
        }
        estimators.push_back(std::move(tree));
    }
}

Vector GradientBoostingImpl::predict(MatrixView x) const {
    // The stage outputs would be stacked into a matrix: no stage, no matrix.
    if (estimators.empty()) fail(text::stack_unsupported);
    Vector sums(x.cols);
    predict_trees(estimators, x, sums.data(), true);
    const double rate = params.learning_rate;
    for (double& s : sums) s = s * rate + mean;
    return sums;
}

Matrix stack_predictions(std::span<const Vector> vectors) {
    if (vectors.empty()) fail(text::stack_unsupported);
    const std::size_t n = vectors.front().size();
    for (const Vector& v : vectors)
        if (v.size() != n) fail(text::stack_unsupported);
    Matrix out = Matrix::row_major(vectors.size(), n);
    for (std::size_t i = 0; i < vectors.size(); ++i)
        std::copy(vectors[i].begin(), vectors[i].end(), out.storage.begin() + static_cast<std::ptrdiff_t>(i * n));
    return out;
}

}  // namespace vandu
