// The passes of a node as team steps: one call on a small node, chunks of rows (or groups
// of features) on the team for a large one, combined exactly.
#include <algorithm>
#include <string>

#include "core/failure.hpp"
#include "core/worker_pool.hpp"
#include "tree/fit/grower.hpp"

namespace vandu {

NodeTargets Grower::masked_sums(const double* rows, ConstPositionPtr index, const code_t* codes,
                                std::size_t count, const double* y, bool large, double shift, NodeSides sides) {
    const std::size_t stride = st_.stride;
    // The root's ties where its children's ranges may come from its extreme bins: a log per chunk.
    tie_logs_ = 0;
    if (log_ties_) {
        tie_logs_ = large ? st_.chunks : 1;
        if (st_.root_ties.size() < tie_logs_) st_.root_ties.resize(tie_logs_);
        for (std::size_t t = 0; t < tie_logs_; ++t) st_.root_ties[t].clear(listed_most(count));
    }
    // Row s of a coded node is sample index[s], or at the root (the only node of a
    // certified fit read without positions) sample s.
    const auto coded_sums = [&](std::size_t from, std::size_t n, std::int64_t* above, double* sum,
                                NodeTargets* summary, std::size_t chunk) {
        st_.kernels.masked_sums(rows, index, stride, 0, n, y + from, shift, sc_.threshold.data(), above, sum,
                                summary, nullptr);
        const std::size_t pitch = st_.codes.pitch();
        const kernels::CodeRows code_rows{codes ? codes + from * pitch : st_.codes.codes(),
                                          pitch,
                                          st_.source,
                                          stride,
                                          index ? index + from : nullptr,
                                          from,
                                          st_.n_features,
                                          codes != nullptr};
        const kernels::CodeSearch search{sc_.code_above.data(), sc_.code_tie.data(), sc_.code_exact.data(),
                                         sc_.threshold.data(), tie_logs_ ? &st_.root_ties[chunk] : nullptr};
        st_.code_kernels.code_sums(code_rows, stride, n, y + from, shift, search, above, sum,
                                   sides.from(from).words);
    };
    if (coded()) {
        if (!large) {
            NodeTargets node;
            coded_sums(0, count, sc_.above.data(), sc_.sum_above.data(), &node, 0);
            return node;
        }
        parallel_team(st_.chunks, [&](std::size_t t) {
            chunk_task(t, ChunkStep::sums, [&] {
                const std::size_t from = st_.chunk_start[t], n = st_.chunk_start[t + 1] - from;
                coded_sums(from, n, st_.chunk_above.data() + t * stride, st_.chunk_sum_above.data() + t * stride,
                           &st_.chunk_targets[t], t);
            });
        });
    } else if (!large) {
        NodeTargets node;
        st_.kernels.masked_sums(rows, index, stride, stride, count, y, shift, sc_.threshold.data(),
                                sc_.above.data(), sc_.sum_above.data(), &node, sides.bits);
        return node;
    } else {
        parallel_team(st_.chunks, [&](std::size_t t) {
            chunk_task(t, ChunkStep::sums, [&] {
                const std::size_t from = st_.chunk_start[t], n = st_.chunk_start[t + 1] - from;
                st_.kernels.masked_sums(index ? rows : rows + from * stride, index ? index + from : nullptr,
                                        stride, stride, n, y + from, shift, sc_.threshold.data(),
                                        st_.chunk_above.data() + t * stride,
                                        st_.chunk_sum_above.data() + t * stride, &st_.chunk_targets[t],
                                        sides.from(from).bits);
            });
        });
    }
    NodeTargets node;
    for (std::size_t t = 0; t < st_.chunks; ++t) merge_targets(node, st_.chunk_targets[t]);
    for (std::size_t f = 0; f < stride; ++f) {
        std::int64_t above = 0;
        double sum = 0.0;
        for (std::size_t t = 0; t < st_.chunks; ++t) {
            above += st_.chunk_above[t * stride + f];
            sum += st_.chunk_sum_above[t * stride + f];
        }
        sc_.above[f] = above;
        sc_.sum_above[f] = sum;
    }
    return node;
}

void Grower::value_ranges(const double* rows, ConstPositionPtr index, std::size_t count, bool large,
                          double* min, double* max, std::int64_t* has_nan) {
    const std::size_t stride = st_.stride;
    if (!large) {
        st_.kernels.value_ranges(rows, index, stride, stride, count, min, max, has_nan);
        return;
    }
    parallel_team(st_.chunks, [&](std::size_t t) {
        chunk_task(t, ChunkStep::ranges, [&] {
            const std::size_t from = st_.chunk_start[t];
            st_.kernels.value_ranges(index ? rows : rows + from * stride, index ? index + from : nullptr, stride,
                                     stride, st_.chunk_start[t + 1] - from, st_.chunk_min.data() + t * stride,
                                     st_.chunk_max.data() + t * stride, st_.chunk_nan.data() + t * stride);
        });
    });
    combine_chunk_ranges(min, max, has_nan);
}

void Grower::combine_chunk_ranges(double* min, double* max, std::int64_t* has_nan) const {
    const std::size_t stride = st_.stride;
    // Chunks combine in order under the same rules: the first minimum, the last
    // maximum. A chunk of one row flags no NaN of its own, but here it is compared.
    for (std::size_t f = 0; f < stride; ++f) {
        double lo = st_.chunk_min[f], hi = st_.chunk_max[f];
        bool nan = false;
        for (std::size_t t = 0; t < st_.chunks; ++t) {
            const double clo = st_.chunk_min[t * stride + f], chi = st_.chunk_max[t * stride + f];
            nan = nan || st_.chunk_nan[t * stride + f] != 0 || clo != clo || chi != chi;
            if (lo > clo) lo = clo;
            if (!(hi > chi)) hi = chi;
        }
        min[f] = lo;
        max[f] = hi;
        has_nan[f] = nan;
    }
}

bool Grower::root_ranges_from_codes(const double* rows, std::size_t count, bool large) {
    // A quarter of the doubles' bytes. The doubles' pass read every value of the matrix:
    // at 1,000,000 x 20, a twentieth of a depth-10 tree's fit.
    const auto ranges = st_.code_kernels.code_ranges;
    if (!ranges || !st_.codes.ready() || rows != st_.source || count != st_.n_samples || count == 0) return false;
    const std::size_t stride = st_.stride, chunks = large ? st_.chunks : 1;
    double* min = large ? st_.chunk_min.data() : st_.root_min.data();
    double* max = large ? st_.chunk_max.data() : st_.root_max.data();
    std::int64_t* nan = large ? st_.chunk_nan.data() : st_.root_has_nan.data();
    std::vector<char> read(chunks, 0);
    const auto chunk = [&](std::size_t t) {
        const std::size_t from = large ? st_.chunk_start[t] : 0, to = large ? st_.chunk_start[t + 1] : count;
        const kernels::CodeRows r{st_.codes.codes(), st_.codes.pitch(), rows, stride, nullptr, from, st_.n_features};
        read[t] = to > from && ranges(st_.codes, r, to - from, min + t * stride, max + t * stride);
        // The padding features are zeros, as the doubles' pass finds them.
        std::fill(min + t * stride + st_.n_features, min + (t + 1) * stride, 0.0);
        std::fill(max + t * stride + st_.n_features, max + (t + 1) * stride, 0.0);
        std::fill(nan + t * stride, nan + (t + 1) * stride, 0);
    };
    if (large)
        parallel_team(chunks, [&](std::size_t t) { chunk_task(t, ChunkStep::ranges, [&] { chunk(t); }); });
    else
        chunk(0);
    if (std::find(read.begin(), read.end(), 0) != read.end()) return false;
    if (large) combine_chunk_ranges(st_.root_min.data(), st_.root_max.data(), st_.root_has_nan.data());
    return true;
}

void Grower::side_statistics(const double* rows, std::size_t count, const double* y, bool large) {
    const std::size_t stride = st_.stride;
    const auto out = [&](std::size_t f) {
        return kernels::SideStatistics{sc_.count_left.data() + f,  sc_.mean_left.data() + f,
                                       sc_.m2_left.data() + f,     sc_.count_right.data() + f,
                                       sc_.mean_right.data() + f,  sc_.m2_right.data() + f};
    };
    if (!large) {
        st_.kernels.side_statistics(rows, stride, stride, count, y, sc_.threshold.data(), out(0), {});
        return;
    }
    // Groups of whole blocks of features, one per task; every group notes its left
    // counts where each chunk of rows starts, for the partition.
    const std::size_t blocks = stride / kernels::kernel_width;
    parallel_team(st_.team, [&](std::size_t t) {
        const std::size_t first = blocks * t / st_.team, last = blocks * (t + 1) / st_.team;
        if (first == last) return;
        const std::size_t f = first * kernels::kernel_width;
        const kernels::CountMarks marks{st_.chunk_start.data() + 1, st_.chunks - 1,
                                        st_.mark_counts.data() + f, stride};
        st_.kernels.side_statistics(rows + f, stride, (last - first) * kernels::kernel_width, count,
                                    y, sc_.threshold.data() + f, out(f), marks);
    });
}

NodeData Grower::partition(std::size_t level, std::size_t begin, std::size_t end, Choice& choice,
                           double threshold, NodeData data, bool move_rows, bool take_ranges, bool large,
                           std::array<RangeSet, 2>& child_ranges, NodeSides sides) {
    const std::size_t slot = level % 2;
    const std::size_t stride = st_.stride;
    const std::size_t n_left = choice.n_left, feature = choice.feature, count = end - begin;
    auto& rows = st_.rows[slot];
    double* const targets = st_.targets[st_.target_index(level)];
    const PositionPtr positions = st_.positions[slot];
    const bool copy_rows = move_rows && !certified_;
    const bool index_rows = move_rows && !copy_rows;
    const bool move_positions = (fitted_ != nullptr && !leaves_by_tags_) || index_rows || !targets;
    const bool by_bits = sides && !take_ranges && !copy_rows;
    // Children that read codes get them in their rows' order where the fitter keeps them so.
    code_t* const out_codes = coded() && take_ranges && st_.codes_in_order ? st_.level_codes(slot) : nullptr;
    // The last level's children without a buffer: only their positions move.
    if (!targets && !(by_bits && !move_rows)) fail("a level without its targets");
    RunningStats* stats = nullptr;
    if (!choice.exact) {
        choice.sides = {};
        // Over codes the rows arrive too fast to hide a chain of divisions: the statistics
        // wait to run beside other chains.
        if (!by_bits && !coded() && rides(count)) stats = choice.sides.data();
    }

    // Rows [from, to) hold the lefts [lefts_before, lefts_after) of the node.
    const auto move = [&](std::size_t from, std::size_t to, std::size_t lefts_before,
                          std::size_t lefts_after, kernels::SideRanges* ranges, bool push) {
        kernels::Partition p{data.indexed ? data.rows : data.rows + from * stride,
                             data.targets + from,
                             data.positions ? data.positions + from : nullptr,
                             data.indexed,
                             from,
                             to - from,
                             feature,
                             threshold,
                             copy_rows ? rows.data() : nullptr,
                             targets,
                             move_positions ? positions : nullptr,
                             {begin + lefts_before, begin + n_left + (from - begin - lefts_before)},
                             {begin + lefts_after, begin + n_left + (to - begin - lefts_after)},
                             take_ranges ? ranges : nullptr,
                             push ? stats : nullptr,
                             by_bits ? sides.from(from - begin).bits : nullptr,
                             by_bits && sides.words ? sides.from(from - begin).words + feature / 32 : nullptr,
                             sides.per_row};
        // x is the caller's memory, and a signal handler run between the passes could
        // change it: a row beyond its side's end fails the fit instead of writing there.
        bool ok;
        if (coded() && !by_bits) {
            const ConstPositionPtr index = data.indexed ? data.positions + from : nullptr;
            const std::size_t pitch = st_.codes.pitch();
            const kernels::CodePartition c{{data.codes ? data.codes + from * pitch : st_.codes.codes(), pitch,
                                            st_.source, stride, index, from, st_.n_features, data.codes != nullptr},
                                           to - from,
                                           feature,
                                           threshold,
                                           sc_.code_side[feature],
                                           p.targets,
                                           targets,
                                           p.out_positions,
                                           {p.at[0], p.at[1]},
                                           {p.end[0], p.end[1]},
                                           p.ranges,
                                           p.stats,
                                           &st_.codes,
                                           out_codes};
            ok = st_.code_kernels.code_partition(c);
        } else {
            ok = st_.kernels.partition(p, stride);
        }
        if (!ok) fail("the training data changed during the fit");
    };
    // The targets of each side not yet pushed: those after the first `lefts` and
    // `rights` ones.
    std::size_t lefts = 0, rights = 0;
    if (!large) {
        // Both sides' arrays before either count is cleared: the second side's pointers,
        // read in one load beside the first side's count just written, stalled on it.
        kernels::SideRanges sides[2] = {child_ranges[0].arrays(), child_ranges[1].arrays()};
        if (take_ranges) child_ranges[0].count = child_ranges[1].count = 0;
        move(begin, end, 0, n_left, sides, true);
        if (take_ranges) {
            child_ranges[0].count = sides[0].count;
            child_ranges[1].count = sides[1].count;
        }
        if (stats) lefts = n_left, rights = count - n_left;
    } else {
        const auto lefts_before = [&](std::size_t t) {
            if (t == 0) return std::size_t{0};
            if (t == st_.chunks) return n_left;
            if (!certified_) return static_cast<std::size_t>(st_.mark_counts[(t - 1) * stride + feature]);
            std::size_t above = 0;
            for (std::size_t k = 0; k < t; ++k) above += st_.chunk_above[k * stride + feature];
            return st_.chunk_start[t] - above;
        };
        for (std::size_t i = 0; i < 2 * st_.chunks; ++i) st_.chunk_sides[i] = st_.chunk_ranges[i].fresh();
        parallel_team(st_.chunks, [&](std::size_t t) {
            chunk_task(t, move_rows ? ChunkStep::partition : ChunkStep::sides, [&] {
                move(begin + st_.chunk_start[t], begin + st_.chunk_start[t + 1], lefts_before(t),
                     lefts_before(t + 1), &st_.chunk_sides[2 * t], t == 0);
            });
        });
        if (stats) lefts = lefts_before(1), rights = st_.chunk_start[1] - lefts;
        if (take_ranges) {
            child_ranges[0].count = child_ranges[1].count = 0;
            for (std::size_t t = 0; t < st_.chunks; ++t)
                for (int side = 0; side < 2; ++side) child_ranges[side].append(st_.chunk_sides[2 * t + side]);
        }
    }
    if (!choice.exact && !targets) {
        // Each side's chain reads the root's targets through the side's positions.
        choice.rest[0] = choice.rest[1] = st_.root_targets;
        choice.rest_n[0] = n_left;
        choice.rest_n[1] = count - n_left;
        choice.rest_index[0] = positions + begin;
        choice.rest_index[1] = positions + begin + n_left;
    } else if (!choice.exact) {
        choice.rest[0] = targets + begin + lefts;
        choice.rest_n[0] = n_left - lefts;
        choice.rest[1] = targets + begin + n_left + rights;
        choice.rest_n[1] = count - n_left - rights;
        choice.exact = choice.rest_n[0] == 0 && choice.rest_n[1] == 0;
    }
    if (index_rows) return {data.rows, targets, positions, true, out_codes};
    return {copy_rows ? rows.data() : nullptr, targets,
            move_positions ? positions : nullptr, false};
}

}  // namespace vandu
