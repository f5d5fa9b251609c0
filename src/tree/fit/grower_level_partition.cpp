// The partitions of a level grown at once (grower_levels.cpp) in one pass over every row
// in sample order. Node by node, a partition reads its rows' codes through its positions,
// a line from anywhere in the matrix per row (at 1,000,000 x 20 the first level's took
// about twice the in-order root's time per row). Each node's rows ascend in its positions,
// so taking every row in sample order, each to its node's side by its tag, places them
// exactly as node by node, and its children's ranges, from a replay of each node's
// flagged rows in its own order, come out as row by row. The next level's tags are
// written in the same pass, in order.
#include <algorithm>

#include "core/failure.hpp"
#include "tree/fit/grower.hpp"

namespace vandu {

bool Grower::partition_level(std::vector<LevelSplit>& nodes) {
    // Rows whose extremes take one register; a pass without ranges gains nothing here.
    constexpr std::size_t most_features = 32;
    if (!coded() || nodes.size() > kernels::max_tagged_nodes || st_.n_features > most_features) return false;
    std::size_t level = 0;
    bool any = false;
    for (LevelSplit& l : nodes) {
        if (!l.choice) continue;
        if (l.task->data.codes || !l.task->data.indexed) return false;
        l.made = plan_node(*l.task, *l.choice);
        if (!l.made.take_ranges) return false;
        level = l.task->level;
        any = true;
    }
    if (!any) return false;
    double* const targets = st_.targets[st_.target_index(level + 1)];
    const PositionPtr positions = st_.positions[(level + 1) % 2];
    if (!targets) return false;

    kernels::TaggedSplit splits[kernels::max_tagged_nodes];
    kernels::SideRanges sides[kernels::max_tagged_nodes][2];
    std::uint8_t next = 0;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        LevelSplit& l = nodes[k];
        splits[k] = {};
        if (!l.choice) continue;
        const NodeTask& t = *l.task;
        const std::size_t f = l.choice->feature, split = t.begin + l.choice->n_left;
        for (int side = 0; side < 2; ++side) {
            sides[k][side] = l.child_ranges[side].arrays();
            l.child_ranges[side].count = 0;
        }
        splits[k] = {true,
                     f,
                     l.draws->threshold[f],
                     l.draws->code_side[f],
                     {t.begin, split},
                     {split, t.end},
                     sides[k],
                     {next, static_cast<std::uint8_t>(next + 1)}};
        next = static_cast<std::uint8_t>(next + 2);
    }
    const kernels::TaggedPartition p{
        {st_.codes.codes(), st_.codes.pitch(), st_.source, st_.stride, nullptr, 0, st_.n_features},
        st_.n_samples,
        st_.root_targets,
        st_.tags.data(),
        splits,
        nodes.size(),
        targets,
        positions,
        &st_.codes};
    // x is the caller's memory: see Grower::partition.
    if (!st_.code_kernels.tagged_partition(p)) fail("the training data changed during the fit");

    for (std::size_t k = 0; k < nodes.size(); ++k) {
        LevelSplit& l = nodes[k];
        if (!l.choice) continue;
        const NodeTask& t = *l.task;
        Choice& choice = *l.choice;
        for (int side = 0; side < 2; ++side) l.child_ranges[side].count = sides[k][side].count;
        // As Grower::partition leaves a choice whose statistics wait.
        if (!choice.exact) {
            const std::size_t count = t.end - t.begin, n_left = choice.n_left;
            choice.sides = {};
            choice.rest[0] = targets + t.begin;
            choice.rest_n[0] = n_left;
            choice.rest[1] = targets + t.begin + n_left;
            choice.rest_n[1] = count - n_left;
            choice.exact = choice.rest_n[0] == 0 && choice.rest_n[1] == 0;
        }
        l.made.children = {t.data.rows, targets, positions, true, nullptr};
    }
    return true;
}

}  // namespace vandu
