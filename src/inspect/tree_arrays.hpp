// Fitted trees as columns of numbers, for inspection: the nodes of a sequence of trees,
// tree after tree, their training sample counts, the nodes a sample passes, and a
// fingerprint of the whole. Reads the fitted records only; never changes a model.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "core/matrix.hpp"
#include "tree/decision_tree.hpp"

namespace vandu::inspect {

// A record that breaks the invariants every fitted tree keeps (a loaded file may).
struct InvalidModel : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The split nodes of every tree, tree after tree, each tree's nodes in their own order.
// A tree's leaves (each side of a node without a child) are numbered after its split
// nodes, in node order, left side before right: `left_child`/`right_child` hold the
// number of the child or leaf within the tree, the numbering of the trees' table.
struct TreeArrays {
    std::vector<std::int64_t> start{0};  // first node of every tree, then the total
    std::vector<std::int64_t> feature, depth, left_child, right_child;
    std::vector<double> threshold, impurity, left_value, right_value;

    std::size_t n_trees() const { return start.size() - 1; }
    std::size_t n_nodes() const { return static_cast<std::size_t>(start.back()); }
};

// Flattens the trees, checking that every node holds a split on a feature below
// `n_columns` and that every node below the root is the child of exactly one node with a
// lower number (so every walk ends); throws InvalidModel otherwise.
TreeArrays flatten(std::span<const DecisionTreeImpl> trees, std::uint64_t n_columns);

// Rows at every node and on its left (n_nodes x 2, row-major) as the fits partitioned
// them; absent when a tree does not hold them (it was loaded).
std::optional<std::vector<std::uint64_t>> fitted_samples(std::span<const DecisionTreeImpl> trees);

// The same counts for the samples (columns) of x, walked through the flattened trees.
std::vector<std::uint64_t> walk_samples(const TreeArrays& trees, MatrixView x);

// For every sample of x and every tree, the number of the leaf the sample reaches
// (n_samples x n_trees, row-major). Every tree must have a node.
std::vector<std::int64_t> leaves(const TreeArrays& trees, MatrixView x);

// A hash of everything the trees predict with and every number they show.
std::uint64_t fingerprint(std::span<const DecisionTreeImpl> trees, std::uint64_t seed = 0);
std::uint64_t mix(std::uint64_t hash, double value);

}  // namespace vandu::inspect
