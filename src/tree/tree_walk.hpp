// Prediction: the walk of one tree, or of a sequence of trees whose values are summed.
#pragma once

#include <span>

#include "core/matrix.hpp"
#include "tree/decision_tree.hpp"
#include "tree/walk_kernels.hpp"

namespace vandu {

// For every column s of x: out[s] = the one tree's value (sum false), or 0.0 + value of
// tree 0 + value of tree 1 + ... in tree order (sum true). A fault a sample meets (see
// tree_walk.cpp) is raised as a walk of each tree in turn over all samples meets it first.
void predict_trees(std::span<const DecisionTreeImpl> trees, MatrixView x, double* out, bool sum);

// The unchecked walk of predict_trees with the given kernels, for trees without any fault
// and not too deep; false (out untouched) when some tree needs the checked walk.
bool walk_sound_trees(std::span<const DecisionTreeImpl> trees, MatrixView x, double* out, bool sum,
                      const walk::Kernels& kernels);

}  // namespace vandu
