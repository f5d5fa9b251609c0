// Choosing a node's split without running the exact statistics of every feature.
//
// One division-free pass gives, for every feature, the rows above its threshold and the
// sum of their shifted targets; with the node's totals that is an estimate of every
// feature's impurity, and a proven bound on how far the estimate can lie from the
// impurity that the exact running statistics would give. Only the features whose
// estimate could still be the least get the exact statistics, so the chosen split is the
// one the exact statistics of all features would choose, to the bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/numerics.hpp"
#include "tree/kernels/node_kernels.hpp"
#include "tree/fit/split_rule.hpp"

namespace vandu {

// Adds the summary of a later run of rows (sums in any order keep the bound).
void merge_targets(NodeTargets& into, const NodeTargets& more);

// Targets the bound holds for: finite, no larger than 2^400 (nothing the bound or the
// statistics compute can then overflow), and fewer than 2^40 rows.
inline constexpr double certified_target = 0x1p400;
bool certifiable_targets(const double* y, std::size_t n);

// Half the width of the window of estimates within which a feature stays a candidate:
// every estimate lies within this distance of its exact impurity.
double estimate_error_bound(const NodeTargets& node);

// The estimated impurity of a feature with `right` of the node's rows above its threshold
// summing to `sum_right` (shifted).
double estimated_impurity(const NodeTargets& node, std::size_t right, double sum_right);

// The features that can still have the least exact impurity: every drawn feature whose
// estimate is within twice the bound of the least estimate. In feature order.
void certified_candidates(const NodeTargets& node, const std::int64_t* count_right,
                          const double* sum_right, const char* drawn, std::size_t n_features,
                          std::vector<std::size_t>& out);

// Among several candidates, the one of least exact impurity (the first on ties) and its
// statistics. A NaN impurity fails only where it meets another.
struct ExactWinner {
    std::size_t feature;
    RunningStats left, right;
};
// Row s is rows + s * stride, or rows + index[s] * stride when an index is given.
ExactWinner exact_winner(const double* rows, ConstPositionPtr index, std::size_t stride,
                         std::size_t n, const double* y, const double* thresholds,
                         const std::vector<std::size_t>& candidates);

// The exact statistics of both sides of one threshold over rows in order.
void side_statistics_of(const double* rows, ConstPositionPtr index, std::size_t stride,
                        std::size_t n, const double* y, std::size_t feature, double threshold,
                        RunningStats& left, RunningStats& right);

}  // namespace vandu
