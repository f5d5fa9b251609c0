// The last level of the levels grown at once (grower_levels.cpp), filled in sample order.
// Leaf by leaf, each sample's fitted value is a read and a write through the leaf's
// positions, and each leaf's sweep touches most lines of the array. Each sample's tag
// names its node in that level, and the node's estimate pass noted its rows' sides in its
// rows' order, which is sample order: a node's k-th tagged sample is its k-th row. So one
// pass in sample order (CodeKernels::tagged_leaves) finds every sample's leaf and gives it
// the same value, by the same operation, as the leaf's own fill. On the team, by the
// chunks of samples of the pass that tagged the level.
#include <algorithm>
#include <optional>

#include "core/worker_pool.hpp"
#include "tree/fit/grower.hpp"

namespace vandu {

void Grower::fill_in_order() {
    LeafTags& noted = sc_.leaf_tags;
    const std::size_t tags = std::min(noted.tags, kernels::max_tagged_nodes);
    noted.tags = 0;
    kernels::TaggedLeaf nodes[kernels::max_tagged_nodes];
    const std::optional<double> rate = st_.subtract_rate;
    bool any = false;
    for (std::size_t k = 0; k < tags; ++k) {
        LeafTags::Node& node = noted.by_tag[k];
        nodes[k] = {nullptr, 0, {0.0, 0.0}};
        if (node.node == LeafTags::none) continue;
        any = true;
        nodes[k].sides = node.sides + node.feature / 32;
        nodes[k].bit = static_cast<unsigned>(node.feature % 32);
        // As Grower::fill: the leaf's value times the rate taken off, or the value.
        for (int side = 0; side < 2; ++side) {
            const double value = piece_[node.node].split.values[side];
            nodes[k].value[side] = rate ? value * *rate : value;
        }
        node.node = LeafTags::none;
    }
    if (!any || !fitted_) return;
    const std::size_t n = st_.n_samples, chunks = noted.chunks;
    if (!deferred_ || chunks < 2 || sc_.level_bounds.size() != chunks + 1) {
        st_.code_kernels.tagged_leaves({n, st_.tags.data(), nodes, tags, noted.per_row, rate.has_value(), fitted_});
        return;
    }
    // By the chunks of samples of the team's pass that tagged them: a node's rows in chunk k
    // start at its chunk_start[k].
    parallel_team(chunks, [&](std::size_t k) {
        const std::size_t from = sc_.level_bounds[k], to = sc_.level_bounds[k + 1];
        kernels::TaggedLeaf part[kernels::max_tagged_nodes];
        for (std::size_t t = 0; t < tags; ++t) {
            part[t] = nodes[t];
            if (part[t].sides) part[t].sides += noted.by_tag[t].chunk_start[k] * noted.per_row;
        }
        st_.code_kernels.tagged_leaves(
            {to - from, st_.tags.data() + from, part, tags, noted.per_row, rate.has_value(), fitted_ + from});
    });
}

}  // namespace vandu
