#include "tree/decision_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "core/failure.hpp"
#include "core/memory.hpp"
#include "core/numerics.hpp"
#include "tree/node_kernels.hpp"

namespace vandu {

std::size_t route_count(std::uint8_t depth) {
    // Refuse a table larger than half of this machine's memory before touching it: the
    // fill would otherwise page the machine out (and 2^depth wraps from depth 64 on).
    if (depth >= 48 || (sizeof(Route) << depth) > physical_memory() / 2) throw std::bad_alloc();
    return std::size_t{1} << depth;
}

// ---------------------------------------------------------------------------------------
// Fitting.
//
// A node's samples occupy one range [begin, end) of a level's buffers, which hold for
// each sample its feature row (padded to `stride`), its target and its original position.
// Splitting a node partitions its range stably into the next level's buffers, so every
// pass over a node reads contiguous memory, and the stable order is the sample order the
// running statistics are defined on. Levels alternate between two buffers: a node's
// children overwrite only what its own ancestors have finished with.

template <class T>
class UninitBuffer {
public:
    std::size_t size() const { return size_; }
    T* data() { return data_.get(); }
    T& operator[](std::size_t i) { return data_[i]; }
    void resize(std::size_t n) {
        if (n <= size_) return;
        data_.reset(new T[n]);
        size_ = n;
    }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

class TreeFitterState {
public:
    explicit TreeFitterState(MatrixView x)
        : n_features(x.rows),
          n_samples(x.cols),
          stride((x.rows + kernels::kernel_width - 1) / kernels::kernel_width *
                 kernels::kernel_width),
          kernels(kernels::node_kernels()) {
        const bool packed = (x.rows < 2 || x.row_stride == 1) &&
                            (x.cols < 2 || x.col_stride == static_cast<std::ptrdiff_t>(stride)) &&
                            stride == x.rows;
        if (packed) {
            source = x.data;
        } else {
            source_copy.assign(n_samples * stride, 0.0);
            for (std::size_t s = 0; s < n_samples; ++s)
                for (std::size_t f = 0; f < n_features; ++f) source_copy[s * stride + f] = x(f, s);
            source = source_copy.data();
        }
        for (auto* v : {&min, &max, &threshold, &count_left, &mean_left, &m2_left, &count_right,
                        &mean_right, &m2_right})
            v->assign(stride, 0.0);
        has_nan.assign(stride, 0);
        drawn.assign(stride, 0);
        root_min = min;
        root_max = max;
        root_has_nan = has_nan;
    }

    const std::size_t n_features;
    const std::size_t n_samples;
    const std::size_t stride;
    const kernels::NodeKernels& kernels;

    const double* source = nullptr;
    std::vector<double> source_copy;
    // Level buffers are written before they are read: no need to zero them.
    UninitBuffer<double> rows[2];
    UninitBuffer<double> targets[2];
    UninitBuffer<std::uint64_t> positions[2];
    std::vector<double> min, max, threshold;
    std::vector<double> count_left, mean_left, m2_left, count_right, mean_right, m2_right;
    std::vector<std::int64_t> has_nan;
    std::vector<char> drawn;
    bool root_ranges_known = false;
    std::vector<double> root_min, root_max;
    std::vector<std::int64_t> root_has_nan;
};

namespace {

struct NodeData {
    const double* rows;              // row s at rows[s * stride]
    const double* targets;
    const std::uint64_t* positions;  // null: position s is sample s
};

enum class Pending { none, nan_value, infinite_bound };

class Grower {
public:
    Grower(TreeFitterState& st, DecisionTreeImpl& tree, double* fitted)
        : st_(st), tree_(tree), fitted_(fitted) {}

    std::int64_t grow(std::size_t level, std::size_t begin, std::size_t end, std::uint8_t budget,
                      bool root, NodeData data) {
        if (budget == 0) return NO_CHILD;
        if (st_.n_samples == 0) return NO_CHILD;
        const std::size_t count = end - begin;
        if (!root && count < tree_.params.min_samples_split) return NO_CHILD;

        const auto split = find_split(begin, count, data, root);
        if (!split) return NO_CHILD;

        const std::size_t n_left = static_cast<std::size_t>(st_.count_left[split->feature]);
        const std::uint8_t child_budget = budget - 1;
        const auto may_split = [&](std::size_t n) {
            return child_budget > 0 && n >= 2 && n >= tree_.params.min_samples_split;
        };
        const bool move_rows = may_split(n_left) || may_split(count - n_left);
        const NodeData children =
            partition(level + 1, begin, end, n_left, *split, data, move_rows);

        const auto node = static_cast<std::int64_t>(tree_.splitters.size());
        tree_.splitters.push_back(RandomSplitRule{*split});
        const std::int64_t left = grow(level + 1, begin, begin + n_left, child_budget, false, children);
        if (left < 0) assign_leaf(children, begin, begin + n_left, split->values[0]);
        const std::int64_t right = grow(level + 1, begin + n_left, end, child_budget, false, children);
        if (right < 0) assign_leaf(children, begin + n_left, end, split->values[1]);
        tree_.routes[static_cast<std::size_t>(node)] = {left, right};
        return node;
    }

private:
    // The rule fit of one node: every feature's range, one draw per non-constant feature
    // in feature order, both sides' statistics, and the first feature of least impurity.
    std::optional<Split> find_split(std::size_t begin, std::size_t count, NodeData data, bool root) {
        const std::size_t n_features = st_.n_features;
        if (n_features == 0 || count < 2) return std::nullopt;  // a lone value never splits
        const double* rows = data.rows + begin * st_.stride;
        if (!root) {
            st_.kernels.value_ranges(rows, st_.stride, count, st_.min.data(), st_.max.data(),
                                     st_.has_nan.data());
        } else {
            // Every tree fitted on this matrix starts from the same root ranges.
            if (!st_.root_ranges_known) {
                st_.kernels.value_ranges(rows, st_.stride, count, st_.root_min.data(),
                                         st_.root_max.data(), st_.root_has_nan.data());
                st_.root_ranges_known = true;
            }
            st_.min = st_.root_min;
            st_.max = st_.root_max;
            st_.has_nan = st_.root_has_nan;
        }

        // Features are visited in order; a failure at feature g comes only after the
        // impurities of the features before g were compared, so it is held back until then.
        Pending pending = Pending::none;
        std::size_t stop = n_features;
        bool any_drawn = false;
        for (std::size_t f = 0; f < st_.stride; ++f) {
            st_.threshold[f] = std::numeric_limits<double>::infinity();
            st_.drawn[f] = 0;
        }
        for (std::size_t f = 0; f < n_features; ++f) {
            if (st_.has_nan[f]) {
                pending = Pending::nan_value;
                stop = f;
                break;
            }
            const double lo = st_.min[f], hi = st_.max[f];
            if (!(hi > lo)) continue;
            if (!std::isfinite(lo) || !std::isfinite(hi)) {
                pending = Pending::infinite_bound;
                stop = f;
                break;
            }
            st_.threshold[f] = uniform_in_range(lo, hi);
            st_.drawn[f] = 1;
            any_drawn = true;
        }

        ArgminByScore<std::size_t> best;
        if (any_drawn) {
            st_.kernels.side_statistics(
                rows, st_.stride, count, data.targets + begin, st_.threshold.data(),
                {st_.count_left.data(), st_.mean_left.data(), st_.m2_left.data(),
                 st_.count_right.data(), st_.mean_right.data(), st_.m2_right.data()});
            for (std::size_t f = 0; f < stop; ++f) {
                if (!st_.drawn[f]) continue;
                best.offer({impurity(f), f});
            }
        }
        if (pending == Pending::nan_value) fail(text::unwrap_none);
        if (pending == Pending::infinite_bound)
            fail("Uniform::sample_single: low and high must be finite");
        if (!best.result()) return std::nullopt;
        const std::size_t f = best.result()->payload;
        return Split{f, st_.threshold[f], best.result()->score, {st_.mean_left[f], st_.mean_right[f]}};
    }

    double impurity(std::size_t f) const {
        const auto weighted = [](double n, double m2) { return n < 2.0 ? 0.0 : (m2 / n) * n; };
        return weighted(st_.count_left[f], st_.m2_left[f]) +
               weighted(st_.count_right[f], st_.m2_right[f]);
    }

    // Stable partition of [begin, end) into the buffers of `level`: left side first.
    NodeData partition(std::size_t level, std::size_t begin, std::size_t end, std::size_t n_left,
                       const Split& split, NodeData data, bool move_rows) {
        const std::size_t slot = level % 2;
        const std::size_t stride = st_.stride;
        auto& rows = st_.rows[slot];
        auto& targets = st_.targets[slot];
        auto& positions = st_.positions[slot];
        if (move_rows && rows.size() < st_.n_samples * stride) {
            rows.resize(st_.n_samples * stride);
            targets.resize(st_.n_samples);
        }
        const bool move_positions = fitted_ != nullptr;
        if (move_positions && positions.size() < st_.n_samples) positions.resize(st_.n_samples);
        if (!move_rows && !move_positions) return {nullptr, nullptr, nullptr};

        std::size_t at[2] = {begin, begin + n_left};
        const double* row = data.rows + begin * stride;
        const double threshold = split.threshold;
        const std::size_t feature = split.feature;
        for (std::size_t s = begin; s < end; ++s, row += stride) {
            const int side = side_of(row[feature], threshold);
            const std::size_t to = at[side]++;
            if (move_rows) {
                double* dst = rows.data() + to * stride;
                for (std::size_t k = 0; k < stride; k += kernels::kernel_width)
                    std::memcpy(dst + k, row + k, kernels::kernel_width * sizeof(double));
                targets[to] = data.targets[s];
            }
            if (move_positions) positions[to] = data.positions ? data.positions[s] : s;
        }
        return {move_rows ? rows.data() : nullptr, move_rows ? targets.data() : nullptr,
                move_positions ? positions.data() : nullptr};
    }

    void assign_leaf(NodeData data, std::size_t begin, std::size_t end, double value) {
        if (!fitted_) return;
        for (std::size_t s = begin; s < end; ++s) fitted_[data.positions[s]] = value;
    }

    TreeFitterState& st_;
    DecisionTreeImpl& tree_;
    double* fitted_;
};

}  // namespace

TreeFitter::TreeFitter(MatrixView x) : state_(new TreeFitterState(x)) {}
TreeFitter::~TreeFitter() { delete state_; }

void TreeFitter::fit(DecisionTreeImpl& tree, VectorView y, double* fitted) {
    TreeFitterState& st = *state_;
    if (y.size() != st.n_samples)
        fail("assertion failed: `(left == right)`\n  left: `" + std::to_string(st.n_samples) +
             "`,\n right: `" + std::to_string(y.size()) + "`");
    tree.splitters.clear();
    tree.routes.clear();
    tree.routes.assign(route_count(tree.params.depth), Route{NO_CHILD, NO_CHILD});

    const double* targets = y.data;
    if (!y.contiguous()) {
        // Level 2's buffer is free until the root has been partitioned.
        st.targets[0].resize(st.n_samples);
        for (std::size_t i = 0; i < st.n_samples; ++i) st.targets[0][i] = y[i];

        targets = st.targets[0].data();
    }
    Grower grower(st, tree, fitted);
    const std::int64_t root =
        grower.grow(0, 0, st.n_samples, tree.params.depth, true, {st.source, targets, nullptr});
    // Predicting the training samples with a tree without nodes fails like predict does.
    if (root < 0 && fitted && st.n_samples > 0) fail(index_out_of_bounds(0, 0));
}

void DecisionTreeImpl::fit(MatrixView x, VectorView y) { TreeFitter(x).fit(*this, y); }

// ---------------------------------------------------------------------------------------
// Prediction.
//
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
    walk_all<false>(*this, x, out.data());
    return out;
}

}  // namespace vandu
