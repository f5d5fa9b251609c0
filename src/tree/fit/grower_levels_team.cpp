// A level grown at once on the team: the tagged pass cut into chunks of samples. A node's
// rows in a range of samples are a range of its positions (they ascend), so each chunk
// tags its own samples, adds each node's counts and sums of its share apart, and the
// shares combine in chunk order (the estimate's bound holds for sums in any order; the
// exact statistics of several candidates are taken again from the rows). The node's
// partition then runs over the same shares, each placed by the left counts before it.
#include <algorithm>
#include <cstring>

#include "core/worker_pool.hpp"
#include "tree/fit/grower.hpp"
#include "tree/fit/split_search.hpp"

namespace vandu {

void Grower::tagged_on_team(const std::vector<TaggedTask>& level) {
    constexpr std::uint8_t no_node = 0xff;
    const std::size_t n = st_.n_samples, stride = st_.stride;
    const std::size_t words = kernels::side_words(st_.n_features);
    const std::size_t chunks = team_chunks(n);
    // The pending chains' next slice rides in the first task, as in a large node's steps,
    // sized for the level's pass and its nodes' partitions (each node's share of the
    // first chunk is shorter alike: see level_chunks).
    const std::size_t head = first_chunk(n, chunks, level.front().task->budget > 1,
                                         st_.team >= slice_team() ? sc_.pending.next_slice_length() : 0);
    level_sliced_ = deficit_ > 0;
    const auto bound = [&](std::size_t k) { return k == 0 ? 0 : head + (n - head) * (k - 1) / (chunks - 1); };
    sc_.level_bounds.resize(chunks + 1);
    for (std::size_t k = 0; k <= chunks; ++k) sc_.level_bounds[k] = bound(k);
    for (const TaggedTask& j : level) {
        const NodeTask& t = *j.task;
        LevelNode& node = *j.node;
        node.chunks = chunks;
        node.chunk_start.resize(chunks + 1);
        node.chunk_above.assign(chunks * stride, 0);
        node.chunk_sum.assign(chunks * stride, 0.0);
        node.chunk_targets.assign(chunks, NodeTargets{});
        t.data.positions.visit([&](const auto* sample) {
            for (std::size_t k = 0; k <= chunks; ++k)
                node.chunk_start[k] = static_cast<std::size_t>(
                    std::lower_bound(sample + t.begin, sample + t.end, bound(k)) - (sample + t.begin));
        });
    }
    std::uint8_t* const tags = st_.tags.data();
    parallel_team(chunks, [&](std::size_t k) {
        chunk_task(k, ChunkStep::sums, [&] {
            const std::size_t from = bound(k), to = bound(k + 1);
            std::memset(tags + from, no_node, to - from);
            kernels::TaggedNode nodes[kernels::max_tagged_nodes];
            for (std::size_t i = 0; i < level.size(); ++i) {
                const NodeTask& t = *level[i].task;
                LevelNode& node = *level[i].node;
                const std::size_t first = node.chunk_start[k], last = node.chunk_start[k + 1];
                const auto tag = static_cast<std::uint8_t>(i);
                t.data.positions.visit([&](const auto* sample) {
                    for (std::size_t s = t.begin + first; s < t.begin + last; ++s) tags[sample[s]] = tag;
                });
                std::int64_t* const above = node.chunk_above.data() + k * stride;
                double* const sum = node.chunk_sum.data() + k * stride;
                nodes[i] = {{node.code_above.data(), node.code_tie.data(), node.code_exact.data(),
                             node.threshold.data()},
                            t.shift,
                            above,
                            sum,
                            level[i].sides ? level[i].sides + first * words : nullptr};
                st_.kernels.masked_sums(t.data.rows, t.data.positions + t.begin + first, stride, 0, last - first,
                                        t.data.targets + t.begin + first, t.shift, node.threshold.data(), above, sum,
                                        &node.chunk_targets[k], nullptr);
            }
            const kernels::CodeRows code_rows{st_.codes.codes(), st_.codes.pitch(), st_.source, stride,
                                              nullptr,           from,               st_.n_features};
            st_.code_kernels.tagged_sums(code_rows, stride, to - from, st_.root_targets + from, tags + from, nodes,
                                         level.size());
        });
    });
    for (const TaggedTask& j : level) {
        LevelNode& node = *j.node;
        NodeTargets summary;
        for (std::size_t k = 0; k < chunks; ++k) merge_targets(summary, node.chunk_targets[k]);
        *j.summary = summary;
        for (std::size_t f = 0; f < stride; ++f) {
            std::int64_t above = 0;
            double sum = 0.0;
            for (std::size_t k = 0; k < chunks; ++k) {
                above += node.chunk_above[k * stride + f];
                sum += node.chunk_sum[k * stride + f];
            }
            node.above[f] = above;
            node.sum_above[f] = sum;
        }
    }
}

bool Grower::level_chunks(const LevelNode& node, std::size_t count) {
    deficit_ = 0;
    if (node.chunks == 0 || count * st_.stride < large_node_values) return false;
    // Chunks of samples holding none of the node's rows are left out.
    const std::size_t stride = st_.stride;
    std::size_t c = 0;
    st_.chunk_start[0] = 0;
    for (std::size_t k = 0; k < node.chunks; ++k) {
        if (node.chunk_start[k + 1] == node.chunk_start[k]) continue;
        std::copy_n(node.chunk_above.data() + k * stride, stride, st_.chunk_above.data() + c * stride);
        st_.chunk_start[++c] = node.chunk_start[k + 1];
    }
    st_.chunks = c;
    // The node's share of the pass's shortened first chunk leaves its first task room for
    // the node's part of the slice.
    if (level_sliced_ && node.chunk_start[1] > 0 && c > 1) {
        const std::size_t first = st_.chunk_start[1], rest = (count - first) / (st_.team - 1);
        deficit_ = rest > first ? rest - first : 0;
    }
    return true;
}

}  // namespace vandu
