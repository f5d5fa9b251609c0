// Prediction: a tree flattened for a branch-free walk of several samples side by side.
#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "core/failure.hpp"
#include "core/numerics.hpp"
#include "core/worker_pool.hpp"
#include "tree/decision_tree.hpp"

namespace vandu {

// The tree is first flattened into one array for a branch-free walk: a side without a
// child leads to a leaf node that keeps every sample where it is (its threshold is NaN, so
// every value goes left, back to itself), so each sample takes the same number of steps
// and several samples are walked side by side. A loaded tree can hold anything, so every
// fault (a rule without a split, a feature the matrix lacks, a missing route, a child
// outside the tree or not above its parent) is recorded on a node where the walk would
// meet it and raised only if some sample gets there. Children always lie above their
// parent, so no walk takes more steps than there are nodes.

namespace {

enum Fault : std::uint32_t { ok = 0, no_split, bad_feature, no_route, child_outside, child_not_above };

struct WalkNode {
    double threshold = 0.0;
    std::ptrdiff_t offset = 0;  // of the feature within one sample
    std::uint32_t child[2] = {0, 0};
    Fault fault = ok;
    double value[2] = {0.0, 0.0};
};

struct FaultDetail {
    std::uint64_t target = 0, from = 0, index = 0;
};

struct FlatTree {
    std::vector<WalkNode> nodes;
    std::vector<FaultDetail> details;  // by node, for the fault messages
    std::size_t steps = 0;             // the longest path, in nodes, faults included
    std::size_t first_leaf = 0;        // nodes from here on are leaves
};

[[noreturn]] void raise_fault(const FlatTree& flat, std::size_t i, std::size_t n_rows,
                              std::size_t n_nodes, std::size_t n_routes) {
    const FaultDetail& d = flat.details[i];
    switch (flat.nodes[i].fault) {
        case no_split: fail(text::unwrap_none);
        case bad_feature: fail(index_out_of_bounds(n_rows, d.target));
        case no_route: fail(index_out_of_bounds(n_routes, d.index));
        case child_outside: fail(index_out_of_bounds(n_nodes, d.target));
        case child_not_above:
            fail("invalid tree: node " + std::to_string(d.from) + " routes to node " +
                 std::to_string(d.target) + ", which is not below it");
        case ok: break;
    }
    fail("invalid tree");
}

FlatTree flatten(const DecisionTreeImpl& tree, MatrixView x) {
    const std::size_t n_nodes = tree.splitters.size();
    if (n_nodes >= (std::size_t{1} << 30)) throw std::bad_alloc();  // indices are 32-bit
    FlatTree flat;
    flat.nodes.resize(n_nodes);
    flat.details.resize(n_nodes);
    std::vector<WalkNode> leaves;
    std::vector<std::uint32_t> pending_leaf;  // (node, side) of each leaf, as node * 2 + side
    std::vector<std::size_t> depth(n_nodes, 0);  // nodes before the walk reaches this one

    const auto add_fault_node = [&](Fault fault, FaultDetail detail) {
        WalkNode bad;
        bad.fault = fault;
        flat.nodes.push_back(bad);
        flat.details.push_back(detail);
        return static_cast<std::uint32_t>(flat.nodes.size() - 1);
    };

    for (std::size_t i = 0; i < n_nodes; ++i) {
        WalkNode& w = flat.nodes[i];
        flat.steps = std::max(flat.steps, depth[i] + 1);
        const auto& split = tree.splitters[i].split_info;
        if (!split) {
            w.fault = no_split;
            continue;
        }
        if (split->feature >= x.rows) {
            w.fault = bad_feature;
            flat.details[i].target = split->feature;
            continue;
        }
        if (i >= tree.routes.size()) {
            w.fault = no_route;
            flat.details[i].index = i;
            continue;
        }
        w.threshold = split->threshold;
        w.offset = static_cast<std::ptrdiff_t>(split->feature) * x.row_stride;
        w.value[0] = split->values[0];
        w.value[1] = split->values[1];
        for (int side = 0; side < 2; ++side) {
            const std::int64_t next = tree.routes[i][side];
            if (next < 0) {
                pending_leaf.push_back(static_cast<std::uint32_t>(i * 2 + side));
                continue;
            }
            const auto target = static_cast<std::uint64_t>(next);
            if (target < n_nodes && target > i) {
                flat.nodes[i].child[side] = static_cast<std::uint32_t>(target);
                depth[target] = std::max(depth[target], depth[i] + 1);
                continue;
            }
            const std::uint32_t bad = add_fault_node(
                target >= n_nodes ? child_outside : child_not_above, FaultDetail{target, i, 0});
            flat.nodes[i].child[side] = bad;
            flat.steps = std::max(flat.steps, depth[i] + 2);
        }
    }
    flat.first_leaf = flat.nodes.size();
    for (std::uint32_t code : pending_leaf) {
        const std::size_t i = code / 2;
        const int side = static_cast<int>(code % 2);
        WalkNode leaf;
        leaf.threshold = std::numeric_limits<double>::quiet_NaN();
        const auto self = static_cast<std::uint32_t>(flat.nodes.size());
        leaf.child[0] = leaf.child[1] = self;
        leaf.value[0] = leaf.value[1] = flat.nodes[i].value[side];
        flat.nodes[i].child[side] = self;
        flat.nodes.push_back(leaf);
    }
    flat.details.resize(flat.nodes.size());
    return flat;
}

// Samples walked side by side: independent chains of loads hide each other's latency.
inline constexpr std::size_t walk_lanes = 4;

template <bool Accumulate>
void walk_all(const DecisionTreeImpl& tree, MatrixView x, double* out) {
    if (x.cols == 0) return;
    if (tree.splitters.empty()) fail(index_out_of_bounds(0, 0));
    const FlatTree flat = flatten(tree, x);
    const WalkNode* nodes = flat.nodes.data();
    const auto raise = [&](std::size_t i) {
        raise_fault(flat, i, x.rows, tree.splitters.size(), tree.routes.size());
    };
    const auto finish = [&](std::size_t s, double value) {
        if constexpr (Accumulate)
            out[s] += value;
        else
            out[s] = value;
    };
    const auto sample = [&](std::size_t s) {
        return x.data + static_cast<std::ptrdiff_t>(s) * x.col_stride;
    };

    std::size_t s = 0;
    // A very deep loaded tree would make every sample walk its longest path: walk those
    // one sample at a time, leaving at the first leaf.
    if (flat.steps <= 64) {
        for (; s + walk_lanes <= x.cols; s += walk_lanes) {
            std::uint32_t at[walk_lanes] = {};
            double value[walk_lanes] = {};
            const double* row[walk_lanes];
            for (std::size_t l = 0; l < walk_lanes; ++l) row[l] = sample(s + l);
            for (std::size_t step = 0; step < flat.steps; ++step) {
                for (std::size_t l = 0; l < walk_lanes; ++l) {
                    const WalkNode& n = nodes[at[l]];
                    if (n.fault != ok) raise(at[l]);
                    const int side = side_of(row[l][n.offset], n.threshold);
                    value[l] = n.value[side];
                    at[l] = n.child[side];
                }
            }
            for (std::size_t l = 0; l < walk_lanes; ++l) finish(s + l, value[l]);
        }
    }
    for (; s < x.cols; ++s) {
        const double* row = sample(s);
        std::size_t i = 0;
        for (;;) {
            const WalkNode& n = nodes[i];
            if (n.fault != ok) raise(i);
            const int side = side_of(row[n.offset], n.threshold);
            const std::size_t next = n.child[side];
            if (next >= flat.first_leaf) {
                finish(s, n.value[side]);
                break;
            }
            i = next;
        }
    }
}

}  // namespace

void DecisionTreeImpl::add_predictions(MatrixView x, double* out) const {
    walk_all<true>(*this, x, out);
}

Vector DecisionTreeImpl::predict(MatrixView x) const {
    Vector out(x.cols);
    const auto walk = [&](std::size_t begin, std::size_t end) {
        walk_all<false>(*this, x.columns(begin, end), out.data() + begin);
    };
    in_chunks_failing_in_order(x.cols, parallel_prediction_rows, walk, [] {});
    return out;
}

}  // namespace vandu
