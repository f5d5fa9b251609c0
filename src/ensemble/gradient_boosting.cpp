#include "ensemble/gradient_boosting.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include "core/failure.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/worker_pool.hpp"
#include "tree/predict/tree_walk.hpp"

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

double boosting_mean(VectorView y) {
    double m = 0.0;
    for (std::size_t k = 1; k <= y.size(); ++k) m = m + (y[k - 1] - m) / static_cast<double>(k);
    return m;
}

void subtract_stage(Vector& residuals, Vector& fitted, double rate) {
    const std::size_t n = residuals.size();
    const auto update = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) fitted[i] = fitted[i] * rate;
        for (std::size_t i = begin; i < end; ++i) residuals[i] = residuals[i] - fitted[i];
    };
    if (!in_team_chunks(n, parallel_update_samples, update)) update(0, n);
}

void GradientBoostingImpl::fit(MatrixView x, VectorView y) {
    BoostingFit one{this, x, y, nullptr};
    fit_together(std::span(&one, 1));
    if (one.failure) std::rethrow_exception(one.failure);
}

namespace {

// A model's fit between stages.
struct Boosting {
    BoostingFit* fit;
    std::unique_ptr<TreeFitter> fitter;
    // In huge pages: every stage's nodes read them through their rows' positions.
    UninitBuffer<double> residuals;
    DecisionTreeImpl tree;
    bool running = false;
};

// Everything before the first stage; false when the fit ends here.
bool begin_boosting(Boosting& b, bool alone) {
    GradientBoostingImpl& model = *b.fit->model;
    const VectorView y = b.fit->y;
    const std::uint32_t stages = model.params.n_estimators;
    // Refused up front, leaving the model as it was: the stages' route tables alone would
    // otherwise fill the machine's memory a stage at a time.
    if (stages > 0) refuse_beyond_memory(stages, stage_footprint(model.params.est_params));

    model.estimators.clear();
    const std::size_t n = y.size();
    model.mean = boosting_mean(y);

    b.residuals.resize(n);
    for (std::size_t i = 0; i < n; ++i) b.residuals[i] = y[i] - model.mean;
    if (stages == 0) return false;

    model.estimators.reserve(stages);
    b.fitter = std::make_unique<TreeFitter>(b.fit->x);
    // A stage needs only its fitted values from the stage before: the statistics of the
    // splits above them run on beside the next stage's. On one thread only for a fit alone:
    // fits together fill each other's lanes.
    b.fitter->carry_statistics(alone || team_size() > 1);
    // Each stage's tree takes its fitted values off the residuals itself: a buffer of
    // fitted values and a pass over it saved.
    b.fitter->subtract_fitted(model.params.learning_rate);
    return true;
}

// After a stage's tree (which left the residuals for the next): the tree into the model.
void end_stage(Boosting& b) {
    b.fit->model->estimators.push_back(std::move(b.tree));
}

}  // namespace

void fit_together(std::span<BoostingFit> fits) {
    std::vector<Boosting> all(fits.size());
    // However the fits end, every tree they made is complete.
    struct Complete {
        std::vector<Boosting>& all;
        ~Complete() {
            for (Boosting& b : all)
                if (b.fitter) b.fitter->complete_carried();
        }
    } complete{all};
    std::uint32_t stages = 0;
    for (std::size_t i = 0; i < fits.size(); ++i) {
        all[i].fit = &fits[i];
        try {
            all[i].running = begin_boosting(all[i], fits.size() == 1);
            stages = std::max(stages, fits[i].model->params.n_estimators);
        } catch (...) {
            fits[i].failure = std::current_exception();
        }
    }
    std::vector<TreeFitter*> started;
    std::vector<Boosting*> owners;
    std::vector<std::exception_ptr> failures;
    for (std::uint32_t t = 0; t < stages; ++t) {
        started.clear();
        owners.clear();
        for (Boosting& b : all) {
            if (b.running && t >= b.fit->model->params.n_estimators) b.running = false;
            if (!b.running) continue;
            try {
                check_interrupt();  // an interrupted fit keeps the stages fitted so far
                b.tree = DecisionTreeImpl(b.fit->model->params.est_params);
                // Fails like tree.predict(x) when the tree holds no node and x has a column.
                b.fitter->start(b.tree, VectorView(b.residuals.data(), b.fit->y.size()), b.residuals.data());
                started.push_back(b.fitter.get());
                owners.push_back(&b);
            } catch (...) {
                b.fit->failure = std::current_exception();
                b.running = false;
            }
        }
        failures.assign(started.size(), nullptr);
        TreeFitter::finish_together(started, failures);
        for (std::size_t k = 0; k < owners.size(); ++k) {
            Boosting& b = *owners[k];
            if (failures[k]) {
                b.fit->failure = failures[k];
                b.running = false;
                continue;
            }
            end_stage(b);
        }
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
