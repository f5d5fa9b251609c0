#include "inspect/tree_arrays.hpp"

#include <bit>
#include <cmath>
#include <string>

namespace vandu::inspect {

namespace {

std::uint64_t mix_word(std::uint64_t hash, std::uint64_t word) {
    hash ^= word + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    return hash * 0xff51afd7ed558ccdULL;
}

}  // namespace

std::uint64_t mix(std::uint64_t hash, double value) { return mix_word(hash, std::bit_cast<std::uint64_t>(value)); }

TreeArrays flatten(std::span<const DecisionTreeImpl> trees, std::uint64_t n_columns) {
    TreeArrays out;
    for (const DecisionTreeImpl& tree : trees) {
        const std::size_t n = tree.splitters.size();
        const auto base = out.start.back();
        if (tree.routes.size() < n)
            throw InvalidModel(std::to_string(tree.routes.size()) + " routes for " + std::to_string(n) + " nodes");
        std::vector<int> parents(n, 0);
        std::int64_t next_leaf = static_cast<std::int64_t>(n);
        for (std::size_t i = 0; i < n; ++i) {
            const auto& split = tree.splitters[i].split_info;
            if (!split) throw InvalidModel("a node holds no split");
            if (split->feature >= n_columns)
                throw InvalidModel("a node splits on a feature beyond the model's " + std::to_string(n_columns));
            std::int64_t child[2];
            for (int side = 0; side < 2; ++side) {
                const std::int64_t c = tree.routes[i][side];
                if (c < 0) {
                    child[side] = next_leaf++;
                    continue;
                }
                if (c <= static_cast<std::int64_t>(i) || c >= static_cast<std::int64_t>(n))
                    throw InvalidModel("a child number is not between its parent's and the node count");
                ++parents[static_cast<std::size_t>(c)];
                child[side] = c;
            }
            out.feature.push_back(static_cast<std::int64_t>(split->feature));
            out.threshold.push_back(split->threshold);
            out.impurity.push_back(split->impurity);
            out.left_value.push_back(split->values[0]);
            out.right_value.push_back(split->values[1]);
            out.left_child.push_back(child[0]);
            out.right_child.push_back(child[1]);
        }
        for (std::size_t i = 0; i < n; ++i)
            if (parents[i] != (i == 0 ? 0 : 1))
                throw InvalidModel("a node is the child of more than one node, or of none");
        out.depth.resize(out.depth.size() + n, 0);
        std::int64_t* depth = out.depth.data() + base;
        for (std::size_t i = 0; i < n; ++i)  // children come after their parent
            for (int side = 0; side < 2; ++side) {
                const std::int64_t c = tree.routes[i][side];
                if (c >= 0) depth[c] = depth[i] + 1;
            }
        out.start.push_back(base + static_cast<std::int64_t>(n));
    }
    return out;
}

std::optional<std::vector<std::uint64_t>> fitted_samples(std::span<const DecisionTreeImpl> trees) {
    std::vector<std::uint64_t> out;
    for (const DecisionTreeImpl& tree : trees) {
        if (tree.node_samples.size() != tree.splitters.size()) return std::nullopt;
        for (const auto& s : tree.node_samples) out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

namespace {

// Walks every sample of x through tree t, calling visit(sample, node, side) at every
// node passed (nodes numbered within the tree) and leaf(sample, number) at the end.
template <class Visit, class Leaf>
void walk_tree(const TreeArrays& trees, std::size_t t, MatrixView x, Visit&& visit, Leaf&& leaf) {
    const auto base = static_cast<std::size_t>(trees.start[t]);
    const auto n = static_cast<std::int64_t>(trees.start[t + 1]) - static_cast<std::int64_t>(base);
    if (n == 0) return;
    const std::int64_t* feature = trees.feature.data() + base;
    const double* threshold = trees.threshold.data() + base;
    const std::int64_t* child[2] = {trees.left_child.data() + base, trees.right_child.data() + base};
    for (std::size_t s = 0; s < x.cols; ++s) {
        std::int64_t node = 0;
        while (node < n) {
            const int side = x(static_cast<std::size_t>(feature[node]), s) > threshold[node] ? 1 : 0;
            visit(s, node, side);
            node = child[side][node];
        }
        leaf(s, node);
    }
}

void check_columns(const TreeArrays& trees, MatrixView x) {
    for (std::int64_t f : trees.feature)
        if (static_cast<std::uint64_t>(f) >= x.rows)
            throw InvalidModel("a node splits on feature " + std::to_string(f) + " of " + std::to_string(x.rows));
}

}  // namespace

std::vector<std::uint64_t> walk_samples(const TreeArrays& trees, MatrixView x) {
    check_columns(trees, x);
    std::vector<std::uint64_t> counts(2 * trees.n_nodes(), 0);
    for (std::size_t t = 0; t < trees.n_trees(); ++t) {
        std::uint64_t* c = counts.data() + 2 * static_cast<std::size_t>(trees.start[t]);
        walk_tree(trees, t, x, [&](std::size_t, std::int64_t node, int side) {
            c[2 * node] += 1;
            c[2 * node + 1] += side == 0;
        }, [](std::size_t, std::int64_t) {});
    }
    return counts;
}

std::vector<std::int64_t> leaves(const TreeArrays& trees, MatrixView x) {
    check_columns(trees, x);
    const std::size_t n_trees = trees.n_trees();
    std::vector<std::int64_t> out(x.cols * n_trees, -1);
    for (std::size_t t = 0; t < n_trees; ++t) {
        if (trees.start[t + 1] == trees.start[t]) throw InvalidModel("a tree without a node has no leaves");
        walk_tree(trees, t, x, [](std::size_t, std::int64_t, int) {},
                  [&](std::size_t s, std::int64_t leaf) { out[s * n_trees + t] = leaf; });
    }
    return out;
}

std::uint64_t fingerprint(std::span<const DecisionTreeImpl> trees, std::uint64_t seed) {
    std::uint64_t h = mix_word(seed, trees.size());
    for (const DecisionTreeImpl& tree : trees) {
        h = mix_word(h, tree.params.depth);
        h = mix_word(h, tree.params.min_samples_split);
        h = mix_word(h, tree.splitters.size());
        h = mix_word(h, tree.routes.size());
        for (const RandomSplitRule& rule : tree.splitters) {
            if (!rule.split_info) {
                h = mix_word(h, ~std::uint64_t{0});
                continue;
            }
            const Split& s = *rule.split_info;
            h = mix_word(h, s.feature);
            h = mix(h, s.threshold);
            h = mix(h, s.impurity);
            h = mix(h, s.values[0]);
            h = mix(h, s.values[1]);
        }
        for (const Route& r : tree.routes) {
            h = mix_word(h, static_cast<std::uint64_t>(r[0]));
            h = mix_word(h, static_cast<std::uint64_t>(r[1]));
        }
    }
    return h;
}

}  // namespace vandu::inspect
