// A depth-limited regression tree of random split rules, numbered in pre-order, with a
// route table of 2^depth entries.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "tree/fit/split_rule.hpp"

namespace vandu {

struct TreeParameters {
    std::uint8_t depth = 3;
    std::uint64_t min_samples_split = 2;
};

inline constexpr std::int64_t NO_CHILD = -1;
using Route = std::array<std::int64_t, 2>;  // child node on the left and the right side

struct DecisionTreeImpl {
    TreeParameters params;
    std::vector<RandomSplitRule> splitters;  // one rule per internal node, by node number
    std::vector<Route> routes;               // by node number; negative means no child
    // Training rows at each node and on its left side, as the fit partitioned them; empty
    // for a loaded tree (the files do not hold them).
    std::vector<std::array<std::uint64_t, 2>> node_samples;

    DecisionTreeImpl() = default;
    explicit DecisionTreeImpl(TreeParameters p) : params(p) {}

    void fit(MatrixView x, VectorView y);
    Vector predict(MatrixView x) const;
    // out[s] += this tree's prediction for sample s, for every column of x.
    void add_predictions(MatrixView x, double* out) const;
};

// Predictions of at least this many samples are spread over the team of threads.
inline constexpr std::size_t parallel_prediction_rows = 8192;

// Number of route entries for a depth, refusing (std::bad_alloc) a table that this
// machine cannot hold.
std::size_t route_count(std::uint8_t depth);

class TreeFitterState;
namespace kernels {
struct Chain;
}

// Fits many trees on one feature matrix, keeping its working buffers between fits.
class TreeFitter {
public:
    explicit TreeFitter(MatrixView x);
    ~TreeFitter();
    TreeFitter(const TreeFitter&) = delete;
    TreeFitter& operator=(const TreeFitter&) = delete;

    // Refits `tree` to the targets y (one per column of x). When `fitted` is given it
    // receives the tree's prediction for every training sample, exactly what
    // tree.predict(x) would give.
    void fit(DecisionTreeImpl& tree, VectorView y, double* fitted = nullptr);

    // fit in two halves, so that the statistics several fitters leave pending run side by
    // side: start grows the tree (true when statistics are pending; a failure completes
    // what was grown and is thrown), finish completes it. The tree, y and fitted must stay
    // until then.
    bool start(DecisionTreeImpl& tree, VectorView y, double* fitted = nullptr);
    void finish(bool chains_done = false);
    // Finishes the started fits of all, each failure in its place.
    static void finish_together(std::span<TreeFitter* const> fitters, std::span<std::exception_ptr> failures);

    // With `on`, statistics that no fitted value waits on (a split's whose sides both have
    // children) may run on after finish, beside the next fits' chains (and on a team their
    // steps): the fitted trees' impurities and side means are complete only after
    // complete_carried (each tree's storage must stay until then; moving a tree keeps it).
    // Off by default.
    void carry_statistics(bool on);
    // With a rate, `fitted` receives fitted - rate * prediction instead (each sample's
    // value times the rate, then the difference, as a boosting stage's residuals take
    // it): it may be y itself, which is read no more once the root is partitioned.
    void subtract_fitted(std::optional<double> rate);
    void complete_carried();
    // The next fit is the last on this matrix: a deep tree's levels may then keep their
    // codes in order over the matrix's own, which a later fit would make again.
    void last_fit();

private:
    // finish_together's run: the chains each finish completes, then the carried ones as far
    // as `pushes`, then the pushes noted.
    void end_chains(std::vector<kernels::Chain>& out);
    void carried_chains(std::vector<kernels::Chain>& out, std::size_t pushes);
    void chains_ran(const std::vector<kernels::Chain>& chains);
    bool runs_together() const;
    void finish_after_failure();

    TreeFitterState* state_;
    bool carry_ = false;
};

}  // namespace vandu
