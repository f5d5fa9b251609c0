// Prediction: trees flattened for a branch-free walk of several samples side by side.
#include "tree/predict/tree_walk.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "core/failure.hpp"
#include "core/numerics.hpp"
#include "core/worker_pool.hpp"
#include "tree/predict/threshold_ranks.hpp"

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
    std::vector<std::uint64_t> features;  // of the nodes that split
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

// A node's own fault, before its routes: no split, a feature x lacks, no route.
Fault node_fault(const DecisionTreeImpl& tree, std::size_t i, std::size_t rows) {
    const auto& split = tree.splitters[i].split_info;
    if (!split) return no_split;
    if (split->feature >= rows) return bad_feature;
    if (i >= tree.routes.size()) return no_route;
    return ok;
}

// A route's fault: a child outside the tree, or not above its parent.
Fault child_fault(std::uint64_t target, std::size_t i, std::size_t n_nodes) {
    if (target >= n_nodes) return child_outside;
    if (target <= i) return child_not_above;
    return ok;
}

FlatTree flatten(const DecisionTreeImpl& tree, MatrixView x) {
    const std::size_t n_nodes = tree.splitters.size();
    if (n_nodes >= (std::size_t{1} << 30)) throw std::bad_alloc();  // indices are 32-bit
    FlatTree flat;
    flat.nodes.resize(n_nodes);
    flat.details.resize(n_nodes);
    flat.features.resize(n_nodes);
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
        w.fault = node_fault(tree, i, x.rows);
        if (w.fault == bad_feature) flat.details[i].target = tree.splitters[i].split_info->feature;
        if (w.fault == no_route) flat.details[i].index = i;
        if (w.fault != ok) continue;
        const auto& split = tree.splitters[i].split_info;
        w.threshold = split->threshold;
        flat.features[i] = split->feature;
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
            const Fault fault = child_fault(target, i, n_nodes);
            if (fault == ok) {
                flat.nodes[i].child[side] = static_cast<std::uint32_t>(target);
                depth[target] = std::max(depth[target], depth[i] + 1);
                continue;
            }
            const std::uint32_t bad = add_fault_node(fault, FaultDetail{target, i, 0});
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

// Trees without any fault and at most max_deep_depth levels are laid out again, once per
// call, as complete trees in level order (node k's children are 2k + 1 and 2k + 2, so the
// walk loads no child), all of the depth of the deepest. A side without a child becomes a
// subtree whose thresholds are NaN, which every value goes left of, and whose leaves all
// hold that side's value. Blocks of samples then go through all the trees, so that the
// samples and their sums stay in the first-level cache: shallow trees with the vector kernel
// over the block laid out feature by feature, deeper ones eight samples side by side.

inline constexpr unsigned max_deep_depth = 12;
inline constexpr std::uint64_t padding = LaidOutTrees::no_feature;

struct Forest {
    unsigned depth = 0;
    std::size_t count = 0;
    std::vector<double> thresholds;       // (2^depth - 1) per tree
    std::vector<std::uint64_t> features;  // by node; `padding` where there is no node
    std::vector<double> leaves;           // 2^depth per tree
    std::uint64_t rows = 0;               // a matrix needs more features than any node uses

    std::size_t internal() const { return (std::size_t{1} << depth) - 1; }
};

struct Layout {
    double* thresholds;
    std::uint64_t* features;
    double* leaves;
    std::size_t internal;
};

// Node k with `levels` levels of nodes below and including it, holding one value.
void lay_out_constant(const Layout& out, std::size_t k, unsigned levels, double value) {
    if (levels == 0) {
        out.leaves[k - out.internal] = value;
        return;
    }
    out.thresholds[k] = std::numeric_limits<double>::quiet_NaN();
    out.features[k] = padding;
    lay_out_constant(out, 2 * k + 1, levels - 1, value);
    lay_out_constant(out, 2 * k + 2, levels - 1, value);
}

// The flat tree's node i (one that splits) as node k, `levels` >= 1 as above.
// A tree without faults, node i at position k of its complete layout.
void lay_out(const DecisionTreeImpl& tree, const Layout& out, std::size_t i, std::size_t k, unsigned levels) {
    const Split& split = *tree.splitters[i].split_info;
    out.thresholds[k] = split.threshold;
    out.features[k] = split.feature;
    for (int side = 0; side < 2; ++side) {
        const std::int64_t child = tree.routes[i][side];
        if (child < 0)
            lay_out_constant(out, 2 * k + 1 + side, levels - 1, split.values[side]);
        else
            lay_out(tree, out, static_cast<std::size_t>(child), 2 * k + 1 + side, levels - 1);
    }
}

// The longest path of a tree in which flatten would find no fault, in nodes; none when it
// would find one (or refuse the tree's size).
std::optional<std::size_t> sound_levels(const DecisionTreeImpl& tree, std::size_t rows,
                                        std::vector<std::size_t>& depth) {
    const std::size_t n_nodes = tree.splitters.size();
    if (n_nodes >= (std::size_t{1} << 30)) return std::nullopt;
    depth.assign(n_nodes, 0);
    std::size_t steps = 0;
    for (std::size_t i = 0; i < n_nodes; ++i) {
        steps = std::max(steps, depth[i] + 1);
        if (node_fault(tree, i, rows) != ok) return std::nullopt;
        for (int side = 0; side < 2; ++side) {
            const std::int64_t next = tree.routes[i][side];
            if (next < 0) continue;
            const auto target = static_cast<std::uint64_t>(next);
            if (child_fault(target, i, n_nodes) != ok) return std::nullopt;
            depth[target] = std::max(depth[target], depth[i] + 1);
        }
    }
    return steps;
}

// Empty when some tree needs the checked walk with any matrix; features are not checked
// against a matrix here (see LaidOutTrees::walk).
std::optional<Forest> lay_out_forest(std::span<const DecisionTreeImpl> trees) {
    Forest forest;
    std::vector<std::size_t> depth;
    std::size_t entries = 0;  // of the trees' own tables
    for (const DecisionTreeImpl& tree : trees) {
        if (tree.splitters.empty()) return std::nullopt;
        entries += tree.splitters.size() + tree.routes.size();
        const std::optional<std::size_t> levels = sound_levels(tree, SIZE_MAX, depth);
        if (!levels || *levels > max_deep_depth) return std::nullopt;
        forest.depth = std::max(forest.depth, static_cast<unsigned>(*levels));
    }
    forest.count = trees.size();
    // A loaded tree can be a long chain with few nodes: the complete layout may not take
    // much more memory than the trees themselves.
    if ((forest.count << forest.depth) > 8 * entries + 64 * forest.count) return std::nullopt;
    const std::size_t internal = forest.internal();
    forest.thresholds.resize(forest.count * internal);
    forest.features.resize(forest.count * internal);
    forest.leaves.resize(forest.count * (internal + 1));
    for (std::size_t t = 0; t < forest.count; ++t) {
        const Layout out{forest.thresholds.data() + t * internal, forest.features.data() + t * internal,
                         forest.leaves.data() + t * (internal + 1), internal};
        lay_out(trees[t], out, 0, 0, forest.depth);
    }
    for (const std::uint64_t f : forest.features)
        if (f != padding) forest.rows = std::max(forest.rows, f + 1);
    return forest;
}

// Shallow trees: the features the trees use, ascending, one after another for a block of
// samples, `width` values each.
struct ShallowPlan {
    std::vector<std::uint64_t> used;
    std::size_t width = 0;
    std::vector<std::uint32_t> offsets;  // of each node's feature within the block
    // With a shared table of threshold ranks, when ranking pays for itself: the ranks'
    // slot of each used feature, and each node's threshold rank.
    std::shared_ptr<const walk::ThresholdRanks> ranks;
    std::vector<std::size_t> rank_slots;
    std::vector<std::int16_t> node_ranks;
};

void plan_ranks(const Forest& forest, ShallowPlan& plan, std::shared_ptr<const walk::ThresholdRanks> ranks) {
    if (!ranks) return;
    std::vector<std::int16_t> node_ranks(forest.features.size(), walk::ThresholdRanks::never);
    for (std::size_t k = 0; k < node_ranks.size(); ++k) {
        if (forest.features[k] == padding) continue;
        const std::optional<std::int16_t> rank = ranks->threshold_rank(forest.features[k], forest.thresholds[k]);
        if (!rank) return;
        node_ranks[k] = *rank;
    }
    const std::span<const std::uint64_t> table = ranks->used();
    for (const std::uint64_t f : plan.used) {
        const auto at = std::lower_bound(table.begin(), table.end(), f);
        if (at == table.end() || *at != f) return;
        plan.rank_slots.push_back(static_cast<std::size_t>(at - table.begin()));
    }
    plan.node_ranks = std::move(node_ranks);
    plan.ranks = std::move(ranks);
}

ShallowPlan plan_shallow(const Forest& forest) {
    ShallowPlan plan;
    // Marked rather than sorted: a forest has many nodes and few features; sorted when a
    // loaded tree names a feature far beyond its node count.
    if (forest.rows <= 4 * forest.features.size() + 64) {
        std::vector<char> marked(forest.rows, 0);
        for (const std::uint64_t f : forest.features)
            if (f != padding) marked[f] = 1;
        for (std::size_t f = 0; f < marked.size(); ++f)
            if (marked[f]) plan.used.push_back(f);
    } else {
        for (const std::uint64_t f : forest.features)
            if (f != padding) plan.used.push_back(f);
        std::sort(plan.used.begin(), plan.used.end());
        plan.used.erase(std::unique(plan.used.begin(), plan.used.end()), plan.used.end());
    }
    if (plan.used.empty()) plan.used.push_back(0);  // only padding: any feature will do
    // About 16 KiB of block, so that it stays in the first-level cache.
    const std::size_t quantum = walk::block_quantum;
    plan.width =
        std::clamp<std::size_t>(16384 / (sizeof(double) * plan.used.size()) / quantum * quantum, quantum, 256);
    plan.offsets.resize(forest.features.size());
    for (std::size_t k = 0; k < plan.offsets.size(); ++k) {
        const std::uint64_t f = forest.features[k];
        const std::size_t slot = f == padding ? 0
                                              : static_cast<std::size_t>(
                                                    std::lower_bound(plan.used.begin(), plan.used.end(), f) -
                                                    plan.used.begin());
        plan.offsets[k] = static_cast<std::uint32_t>(slot * plan.width);
    }
    return plan;
}

// A few samples, one at a time down each tree: the vector kernel would compare every node
// for a whole group of rows. The same comparisons on the path, the sums in tree order.
void walk_few(const walk::ShallowForest& f, const double* block, std::size_t n, double* out, bool sum) {
    const std::size_t internal = (std::size_t{1} << f.depth) - 1;
    for (std::size_t r = 0; r < n; ++r) {
        const double* values = block + r;
        double acc = 0.0;
        const double* thresholds = f.thresholds;
        const std::uint32_t* offsets = f.offsets;
        const double* leaves = f.leaves;
        for (std::size_t t = 0; t < f.count; ++t) {
            std::size_t at = 0;
            for (unsigned level = 0; level < f.depth; ++level)
                at = 2 * at + 1 + static_cast<std::size_t>(side_of(values[offsets[at]], thresholds[at]));
            const double v = leaves[at - internal];
            acc = sum ? acc + v : v;
            thresholds += internal;
            offsets += internal;
            leaves += internal + 1;
        }
        out[r] = acc;
    }
}

// Up to this many samples take walk_few.
inline constexpr std::size_t few_samples = 4;

void walk_shallow(const Forest& forest, const ShallowPlan& plan, MatrixView x, double* out, bool sum,
                  const walk::Kernels& kernels, const std::int16_t* ranked_x) {
    const std::vector<std::uint64_t>& used = plan.used;
    const std::size_t width = plan.width;
    const std::size_t quantum = walk::block_quantum;
    const walk::ShallowForest view{forest.depth, forest.count, forest.thresholds.data(), plan.offsets.data(),
                                   forest.leaves.data()};

    const bool ranked = kernels.ranked && plan.ranks && ranked_x;
    const walk::RankedForest ranked_view{forest.depth, forest.count, plan.node_ranks.data(), plan.offsets.data(),
                                         forest.leaves.data()};

    const auto run = [&](std::size_t begin, std::size_t end) {
        std::vector<double> block(used.size() * width, 0.0), values(width);
        std::vector<std::int16_t> ranks(ranked ? used.size() * width : 0, 0);
        for (std::size_t b = begin; b < end; b += width) {
            const std::size_t n = std::min(width, end - b);
            if (ranked && n > few_samples) {
                for (std::size_t j = 0; j < used.size(); ++j) {
                    const std::int16_t* from = ranked_x + plan.rank_slots[j] * x.cols + b;
                    for (std::size_t r = 0; r < n; ++r) ranks[j * width + walk::ranked_place(r)] = from[r];
                }
                kernels.ranked(ranked_view, ranks.data(), (n + quantum - 1) / quantum * quantum, values.data(), sum);
                std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n), out + b);
                continue;
            }
            for (std::size_t j = 0; j < used.size(); ++j) {
                const double* from = x.data + static_cast<std::ptrdiff_t>(used[j]) * x.row_stride +
                                     static_cast<std::ptrdiff_t>(b) * x.col_stride;
                double* to = block.data() + j * width;
                for (std::size_t r = 0; r < n; ++r) to[r] = from[static_cast<std::ptrdiff_t>(r) * x.col_stride];
            }
            if (n <= few_samples) {
                walk_few(view, block.data(), n, out + b, sum);
                continue;
            }
            kernels.shallow(view, block.data(), (n + quantum - 1) / quantum * quantum, values.data(), sum);
            std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n), out + b);
        }
    };
    // Spread over the team once there is about a tenth of a millisecond of work per thread.
    const std::size_t per_sample = forest.count * (forest.internal() + 1);
    if (!in_team_chunks(x.cols, (std::size_t{1} << 19) / per_sample + 1, run)) run(0, x.cols);
}

struct DeepNode {
    double threshold;
    std::ptrdiff_t offset;  // of the feature within one sample
};

inline constexpr std::size_t deep_lanes = 8;
inline constexpr std::size_t deep_block = 128;

// Deeper trees: eight samples side by side, every one taking `depth` steps.
void walk_deep(const Forest& forest, MatrixView x, double* out, bool sum) {
    const std::size_t internal = forest.internal();
    std::vector<DeepNode> nodes(forest.features.size());
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        const std::uint64_t f = forest.features[k];
        nodes[k] = {forest.thresholds[k], f == padding ? 0 : static_cast<std::ptrdiff_t>(f) * x.row_stride};
    }
    const unsigned depth = forest.depth;
    const auto sample = [&](std::size_t s) { return x.data + static_cast<std::ptrdiff_t>(s) * x.col_stride; };
    const auto finish = [&](double& to, double value) { to = sum ? to + value : value; };

    const auto run = [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; b += deep_block) {
            const std::size_t stop = std::min(end, b + deep_block);
            if (sum) std::fill(out + b, out + stop, 0.0);
            for (std::size_t t = 0; t < forest.count; ++t) {
                const DeepNode* tree = nodes.data() + t * internal;
                const double* leaves = forest.leaves.data() + t * (internal + 1);
                std::size_t s = b;
                for (; s + deep_lanes <= stop; s += deep_lanes) {
                    const double* row[deep_lanes];
                    std::size_t at[deep_lanes] = {};
                    for (std::size_t l = 0; l < deep_lanes; ++l) row[l] = sample(s + l);
                    for (unsigned level = 0; level < depth; ++level)
                        for (std::size_t l = 0; l < deep_lanes; ++l) {
                            const DeepNode& n = tree[at[l]];
                            at[l] = 2 * at[l] + 1 + static_cast<std::size_t>(side_of(row[l][n.offset], n.threshold));
                        }
                    for (std::size_t l = 0; l < deep_lanes; ++l) finish(out[s + l], leaves[at[l] - internal]);
                }
                for (; s < stop; ++s) {
                    const double* row = sample(s);
                    std::size_t at = 0;
                    for (unsigned level = 0; level < depth; ++level) {
                        const DeepNode& n = tree[at];
                        at = 2 * at + 1 + static_cast<std::size_t>(side_of(row[n.offset], n.threshold));
                    }
                    finish(out[s], leaves[at - internal]);
                }
            }
        }
    };
    const std::size_t per_sample = forest.count * depth;
    if (!in_team_chunks(x.cols, (std::size_t{1} << 17) / per_sample + 1, run)) run(0, x.cols);
}

}  // namespace

struct LaidOutTrees::Parts {
    Forest forest;
    std::optional<ShallowPlan> plan;  // for shallow trees
};

LaidOutTrees::LaidOutTrees(std::shared_ptr<const Parts> parts) : parts_(std::move(parts)) {}

std::optional<LaidOutTrees> LaidOutTrees::lay_out(std::span<const DecisionTreeImpl> trees,
                                                  std::shared_ptr<const walk::ThresholdRanks> ranks) {
    if (trees.empty()) return std::nullopt;
    std::optional<Forest> forest = lay_out_forest(trees);
    if (!forest) return std::nullopt;
    auto parts = std::make_shared<Parts>();
    parts->forest = std::move(*forest);
    if (parts->forest.depth <= walk::max_shallow_depth && parts->forest.features.size() < (std::size_t{1} << 20))
    {
        parts->plan = plan_shallow(parts->forest);
        plan_ranks(parts->forest, *parts->plan, std::move(ranks));
    }
    return LaidOutTrees(std::move(parts));
}

bool LaidOutTrees::walk(MatrixView x, double* out, bool sum, const walk::Kernels& kernels,
                        const std::int16_t* ranked_x) const {
    if (x.cols == 0) return true;
    // A node's feature beyond x is a fault only the checked walk reports, when reached.
    if (x.rows < parts_->forest.rows) return false;
    if (parts_->plan)
        walk_shallow(parts_->forest, *parts_->plan, x, out, sum, kernels, ranked_x);
    else
        walk_deep(parts_->forest, x, out, sum);
    return true;
}

bool LaidOutTrees::ranked() const { return parts_->plan && parts_->plan->ranks; }

std::optional<LaidOutTrees::Complete> LaidOutTrees::complete() const {
    const Forest& f = parts_->forest;
    if (!parts_->plan) return std::nullopt;
    const ShallowPlan& plan = *parts_->plan;
    return Complete{f.depth, f.count, f.thresholds, f.leaves, f.features, plan.node_ranks, plan.ranks.get()};
}

std::size_t LaidOutTrees::bytes() const {
    const Forest& f = parts_->forest;
    std::size_t total = sizeof(Parts) + f.thresholds.capacity() * sizeof(double) +
                        f.features.capacity() * sizeof(std::uint64_t) + f.leaves.capacity() * sizeof(double);
    if (parts_->plan)
        total += parts_->plan->used.capacity() * sizeof(std::uint64_t) +
                 parts_->plan->offsets.capacity() * sizeof(std::uint32_t) +
                 parts_->plan->rank_slots.capacity() * sizeof(std::size_t) +
                 parts_->plan->node_ranks.capacity() * sizeof(std::int16_t);
    return total;
}

bool walk_sound_trees(std::span<const DecisionTreeImpl> trees, MatrixView x, double* out, bool sum,
                      const walk::Kernels& kernels) {
    if (x.cols == 0) return true;
    const std::optional<LaidOutTrees> laid = LaidOutTrees::lay_out(trees);
    return laid && laid->walk(x, out, sum, kernels, nullptr);
}

void predict_trees(std::span<const DecisionTreeImpl> trees, MatrixView x, double* out, bool sum) {
    if (walk_sound_trees(trees, x, out, sum, walk::walk_kernels())) return;
    const auto walk = [&](std::size_t begin, std::size_t end) {
        const MatrixView part = x.columns(begin, end);
        if (!sum) return walk_all<false>(trees.front(), part, out + begin);
        std::fill(out + begin, out + end, 0.0);
        for (const DecisionTreeImpl& tree : trees) walk_all<true>(tree, part, out + begin);
    };
    // Chunks of samples on the team, every chunk through all trees in order.
    const std::size_t min_n = trees.size() > 1 ? parallel_prediction_rows / 4 : parallel_prediction_rows;
    in_chunks_failing_in_order(x.cols, min_n, walk, [] {});
}

void DecisionTreeImpl::add_predictions(MatrixView x, double* out) const {
    walk_all<true>(*this, x, out);
}

Vector DecisionTreeImpl::predict(MatrixView x) const {
    Vector out(x.cols);
    predict_trees(std::span(this, 1), x, out.data(), false);
    return out;
}

}  // namespace vandu
