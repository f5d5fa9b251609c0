#include "tree/fit/grower.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/failure.hpp"
#include "core/numerics.hpp"
#include "core/random.hpp"
#include "core/worker_pool.hpp"
#include "tree/fit/split_search.hpp"

namespace vandu {

std::int64_t Grower::grow(const NodeTask& task) {
    // Plain names, not structured bindings: lambdas below may capture them.
    const std::size_t level = task.level, begin = task.begin, end = task.end;
    const std::uint8_t budget = task.budget;
    const bool root = task.root;
    const NodeData& data = task.data;
    const double shift = task.shift;
    const RangeSet* const ranges = task.ranges;
    if (budget == 0) return NO_CHILD;
    if (st_.n_samples == 0) return NO_CHILD;
    const std::size_t count = end - begin;
    if (!root && count < params_.min_samples_split) return NO_CHILD;
    const bool large = deferred_ && count * st_.stride >= large_node_values;
    if (deferred_ && !large && !root) {
        deferred_->push_back({{level, begin, end, budget, false, data, shift, nullptr},
                              ranges ? *ranges : RangeSet{},
                              ranges != nullptr});
        return first_deferred - static_cast<std::int64_t>(deferred_->size() - 1);
    }
    if (large) split_into_chunks(count, budget > 1);

    // The masked pass notes each row's sides where the partition need not read the
    // rows: children that cannot split, or a node too small to take their ranges on the
    // way (they take their own, faster than through the side's running ranges). Over
    // codes the children always take their ranges on the way: only the last level's.
    const bool ride = rides(count);
    NodeSides sides;
    if (certified_ && !coded() && (budget == 1 || !ride) && st_.stride <= 64) {
        sides.bits = st_.side_bits.data() + begin;
    } else if (coded()) {
        sides = root && root_listed(budget) ? root_sides() : side_words(begin, budget, true);
    }
    Choice choice;
    if (!find_split(begin, count, data, root, large, shift, ranges, sides, choice)) return NO_CHILD;
    const Made made = make_node(task, choice, large, sides, false);
    auto& child_ranges = sc_.levels[level + 1];
    for (int side = 0; side < 2; ++side)
        attach(made, side,
               grow({level + 1, made.bounds[side], made.bounds[side + 1], made.child_budget, false, made.children,
                     made.shifts[side], made.take_ranges ? &child_ranges[side] : nullptr}));
    piece_[made.node].done = true;
    return static_cast<std::int64_t>(made.node);
}

Grower::Made Grower::make_node(const NodeTask& task, Choice& choice, bool large, NodeSides sides, bool level_wide) {
    Made made = plan_node(task, choice);
    const double threshold = sc_.threshold[choice.feature];
    // Ranges from the root's extreme bins leave the partition to the sides alone.
    const bool listed = task.root && log_ties_ && made.take_ranges && sides && listed_ranges(task, choice, threshold);
    log_ties_ = false;
    made.children = partition(task.level + 1, task.begin, task.end, choice, threshold, task.data, made.move_rows,
                              made.take_ranges && !listed, large, sc_.levels[task.level + 1], sides);
    record_node(task, choice, threshold, level_wide, made);
    return made;
}

bool Grower::listed_ranges(const NodeTask& task, const Choice& choice, double threshold) {
    const std::size_t count = task.end - task.begin;
    auto& child = sc_.levels[task.level + 1];
    return st_.root_bins.children(st_.codes, st_.root_min.data(), st_.root_max.data(), st_.source, st_.stride,
                                  choice.feature, threshold,
                                  sc_.code_side[choice.feature],
                                  std::span<const kernels::TieLog>(st_.root_ties.data(), tie_logs_), choice.n_left,
                                  count - choice.n_left, child[0], child[1]);
}

Grower::Made Grower::plan_node(const NodeTask& task, const Choice& choice) {
    const std::size_t level = task.level, count = task.end - task.begin;
    const std::size_t n_left = choice.n_left;
    Made made;
    made.child_budget = task.budget - 1;
    const auto may_split = [&](std::size_t n) {
        return made.child_budget > 0 && n >= 2 && n >= params_.min_samples_split;
    };
    made.move_rows = may_split(n_left) || may_split(count - n_left);
    // The children's targets overwrite those of a pending ancestor's children.
    const std::size_t slots = st_.target_slots;
    if (level >= slots && sc_.pending.level_waits(level - slots)) flush();
    // Over codes the children's ranges cost a byte per value on the way.
    made.take_ranges = made.move_rows && (rides(count) || !certified_ || coded());
    return made;
}

void Grower::record_node(const NodeTask& task, Choice& choice, double threshold, bool level_wide, Made& made) {
    const std::size_t level = task.level, begin = task.begin, end = task.end, count = end - begin;
    const std::size_t f = choice.feature;
    const std::size_t n_left = choice.n_left;
    const std::size_t node = piece_.size();
    made.node = node;
    GrownNode& grown = piece_.emplace_back();
    grown.split.feature = f;
    grown.split.threshold = threshold;
    grown.samples = {count, n_left};
    made.pending = !choice.exact;
    if (choice.exact) {
        const auto& stats = choice.sides;
        grown.split.impurity = split_impurity(stats[0], stats[1]);
        grown.split.values = {stats[0].mean, stats[1].mean};
        made.shifts[0] = stats[0].mean;
        made.shifts[1] = stats[1].mean;
    } else {
        PendingSplit& split = sc_.pending.add_split();
        split.node = node;
        split.level = level;
        split.sides = choice.sides;
        for (int side = 0; side < 2; ++side) {
            split.y[side] = choice.rest[side];
            split.n[side] = choice.rest_n[side];
            split.index[side] = choice.rest_index[side];
        }
        split.buffer = st_.target_index(level + 1);
        // Carried into the next tree where its buffer is doubled, or its root's targets stashed.
        split.carriable = st_.doubled(split.buffer) || (level == 0 && sc_.pending.stashes());
        made.shifts[0] = choice.estimate[0];
        made.shifts[1] = choice.estimate[1];
    }
    // Grown level by level, a level waits while any of its nodes does.
    sc_.pending.mark_level(level, made.pending || (level_wide && sc_.pending.level_waits(level)));
    made.bounds[0] = begin;
    made.bounds[1] = begin + n_left;
    made.bounds[2] = end;
}

void Grower::attach(const Made& made, int side, std::int64_t child, bool in_order) {
    const std::size_t node = made.node;
    piece_[node].child[side] = child;
    // A subtree grown from the side's mean, or the side's fitted values, wait on it.
    if (made.pending && child < 0) sc_.pending.need(node);
    if (child <= first_deferred) {
        DeferredSubtree& job = (*deferred_)[static_cast<std::size_t>(first_deferred - child)];
        job.parent = node;
        job.side = side;
    } else if (child == NO_CHILD && fitted_ && !in_order) {
        if (!made.pending)
            settle(child, made.children, made.bounds[side], made.bounds[side + 1], piece_[node].split.values[side]);
        else
            sc_.pending.add_settle({node, side, made.children.positions, made.bounds[side], made.bounds[side + 1]});
    }
}

void Grower::settle(std::int64_t child, NodeData data, std::size_t begin, std::size_t end, double value) {
    if (child != NO_CHILD || !fitted_) return;
    assign(data.positions, begin, end, value);
}

void Grower::flush(bool chains_done, PendingChains::Which which) {
    std::vector<PendingSettle>& settles = sc_.settling;
    settles.clear();
    sc_.pending.flush(
        st_.kernels, deferred_ ? st_.team : 1, large_node_values / 4, chains_done,
        [&](std::size_t node, const std::array<RunningStats, 2>& sides) {
            Split& split = piece_[node].split;
            split.impurity = split_impurity(sides[0], sides[1]);
            split.values = {sides[0].mean, sides[1].mean};
        },
        [&](const PendingSettle& w) { settles.push_back(w); }, which);
    fill_in_order();
    if (settles.empty()) return;
    // Every side's samples cut evenly over the team, in one step: a tree's leaves are
    // mostly too small for a team step each, and the rows of a sparse side cost more than
    // those of a dense one.
    std::size_t total = 0;
    for (const PendingSettle& w : settles) total += w.end - w.begin;
    const std::size_t team = deferred_ && total >= large_node_values / 2 ? st_.team : 1;
    const auto part = [&](std::size_t t) {
        for (const PendingSettle& w : settles) {
            const std::size_t n = w.end - w.begin;
            fill(w.positions, w.begin + n * t / team, w.begin + n * (t + 1) / team,
                 piece_[w.node].split.values[w.side]);
        }
    };
    if (team > 1)
        parallel_team(team, part);
    else
        part(0);
}

void Grower::assign(ConstPositionPtr positions, std::size_t begin, std::size_t end, double value) {
    const auto run = [&](std::size_t from, std::size_t to) { fill(positions, begin + from, begin + to, value); };
    if (!deferred_ || !in_team_chunks(end - begin, large_node_values / 2, run)) run(0, end - begin);
}

void Grower::fill(ConstPositionPtr positions, std::size_t begin, std::size_t end, double value) {
    const std::optional<double> rate = st_.subtract_rate;
    const double step = rate ? value * *rate : 0.0;
    positions.visit([&](const auto* sample) {
        if (rate)
            for (std::size_t s = begin; s < end; ++s) fitted_[sample[s]] = fitted_[sample[s]] - step;
        else
            for (std::size_t s = begin; s < end; ++s) fitted_[sample[s]] = value;
    });
}

void Grower::split_into_chunks(std::size_t count, bool moving) {
    deficit_ = 0;
    if (st_.team < 2) {
        st_.chunks = 1;
        st_.chunk_start[0] = 0;
        st_.chunk_start[1] = count;
        return;
    }
    const std::size_t chunks = team_chunks(count);
    st_.chunks = chunks;
    const std::size_t first =
        first_chunk(count, chunks, moving, st_.team >= slice_team() ? sc_.pending.next_slice_length() : 0);
    st_.chunk_start[0] = 0;
    for (std::size_t t = 1; t <= chunks; ++t)
        st_.chunk_start[t] = first + (count - first) * (t - 1) / (chunks - 1);
}

std::size_t Grower::team_chunks(std::size_t count) const {
    const std::size_t more = chunks_per_thread * st_.team;
    return count * st_.stride >= 4 * large_node_values && count >= 2 * more ? more : st_.team;
}

std::size_t Grower::first_chunk(std::size_t count, std::size_t chunks, bool moving, std::size_t left) {
    const std::size_t team = st_.team;
    deficit_ = 0;
    // The pending chains' next slice rides in the first task of each of the node's steps:
    // the first chunk is shorter by about as many rows as the slice takes (never empty),
    // enough for what is left of the chains over the node's two passes, so that the first
    // chunk and its slice take about a thread's share of the rows, the other chunks the
    // rest. Off the end of the tree, the chains no longer hold up the next one's start.
    if (left > 0) {
        const double per_row =
            pushes_per_row(ChunkStep::sums) + pushes_per_row(moving ? ChunkStep::partition : ChunkStep::sides);
        const double wanted = std::ceil(static_cast<double>(left) / per_row);
        const std::size_t most = (count - team) / (team - 1);
        deficit_ = wanted < static_cast<double>(most) ? static_cast<std::size_t>(wanted) : most;
    }
    const std::size_t first = deficit_ > 0 ? (count - (team - 1) * deficit_) / team : count / chunks;
    if (deficit_ > 0) deficit_ = (count - first) / (team - 1) - first;
    return first;
}

bool Grower::find_split(std::size_t begin, std::size_t count, const NodeData& data, bool root, bool large,
                        double shift, const RangeSet* ranges, const NodeSides& sides, Choice& choice) {
    Draws d;
    if (!draw_split(begin, count, data, root, large, ranges, d)) return false;
    const double* rows = data.indexed ? data.rows : data.rows + begin * st_.stride;
    const ConstPositionPtr index = data.indexed ? data.positions + begin : nullptr;
    bool found = false;
    // With certified targets no impurity is NaN, so no comparison can fail first.
    if (d.any && !(certified_ && d.pending != Pending::none)) {
        if (certified_)
            found = certified_choice(rows, index, data.codes ? data.codes + begin * st_.codes.pitch() : nullptr,
                                     count, data.targets + begin, large, shift, d.stop, sides, choice);
        else
            found = exact_choice(rows, count, data.targets + begin, large, d.stop, choice);
    }
    raise(d.pending);
    if (!found) log_ties_ = false;
    return found;
}

void Grower::raise(Pending pending) {
    if (pending == Pending::nan_value) fail(text::unwrap_none);
    if (pending == Pending::infinite_bound)
        fail("Uniform::sample_single: low and high must be finite");
}

bool Grower::draw_split(std::size_t begin, std::size_t count, const NodeData& data, bool root, bool large,
                        const RangeSet* ranges, Draws& d) {
    const std::size_t n_features = st_.n_features;
    if (n_features == 0 || count < 2) return false;  // a lone value never splits
    const double* rows = data.indexed ? data.rows : data.rows + begin * st_.stride;
    const ConstPositionPtr index = data.indexed ? data.positions + begin : nullptr;
    // Every tree fitted on this matrix starts from the same root ranges; a node below
    // has its own from the parent's partition, which refuses NaN (a child that may
    // split is always handed them).
    if (root && !st_.root_ranges_known) {
        if (!root_ranges_from_codes(rows, count, large))
            value_ranges(rows, nullptr, count, large, st_.root_min.data(), st_.root_max.data(),
                         st_.root_has_nan.data());
        st_.root_ranges_known = true;
    }
    if (root && log_ties_ && !st_.root_bins.built()) {
        bool nan = false;
        for (std::size_t f = 0; f < n_features; ++f) nan = nan || st_.root_has_nan[f] != 0;
        if (nan)
            st_.root_bins.clear();
        else
            st_.root_bins.build(st_.codes, count, st_.root_min.data(), st_.root_max.data(), listed_most(count));
        log_ties_ = st_.root_bins.usable();
    }
    if (!root && !ranges) {
        // Nodes whose parent's partition did not take them take their own; below the root
        // a NaN means x was rewritten.
        RangeSet& own = sc_.own_ranges;
        value_ranges(rows, index, count, large, own.min.data(), own.max.data(), sc_.own_nan.data());
        for (std::size_t f = 0; f < n_features; ++f)
            if (sc_.own_nan[f]) fail("the training data changed during the fit");
        own.count = count;
        ranges = &own;
    }
    if (!root && ranges->count != count) fail("a node without its value ranges");
    const double* min = root ? st_.root_min.data() : ranges->min.data();
    const double* max = root ? st_.root_max.data() : ranges->max.data();
    const std::int64_t* has_nan = root ? st_.root_has_nan.data() : nullptr;

    // Features are visited in order; a failure at feature g comes only after the
    // impurities of the features before g were compared, so it is held back until then.
    Pending& pending = d.pending;
    std::size_t& stop = d.stop;
    bool& any_drawn = d.any;
    pending = Pending::none;
    stop = n_features;
    any_drawn = false;
    for (std::size_t f = 0; f < st_.stride; ++f) {
        sc_.threshold[f] = std::numeric_limits<double>::infinity();
        sc_.drawn[f] = 0;
    }
    ThreadRandom& rng = ThreadRandom::local();
    for (std::size_t f = 0; f < n_features; ++f) {
        if (has_nan && has_nan[f]) {
            pending = Pending::nan_value;
            stop = f;
            break;
        }
        const double lo = min[f], hi = max[f];
        if (!(hi > lo)) continue;
        if (!std::isfinite(lo) || !std::isfinite(hi)) {
            pending = Pending::infinite_bound;
            stop = f;
            break;
        }
        sc_.threshold[f] = uniform_in_range(rng, lo, hi);
        sc_.drawn[f] = 1;
        any_drawn = true;
    }

    if (coded() && any_drawn) code_search();

    return true;
}

bool Grower::exact_choice(const double* rows, std::size_t count, const double* y, bool large, std::size_t stop,
                          Choice& c) {
    side_statistics(rows, count, y, large);
    ArgminByScore<std::size_t> best;
    for (std::size_t f = 0; f < stop; ++f) {
        if (!sc_.drawn[f]) continue;
        best.offer({impurity(f), f});
    }
    if (!best.result()) return false;
    const std::size_t f = best.result()->payload;
    c.feature = f;
    c.n_left = static_cast<std::size_t>(sc_.count_left[f]);
    c.exact = true;
    c.sides[0] = {sc_.mean_left[f], static_cast<std::uint64_t>(sc_.count_left[f]), sc_.m2_left[f]};
    c.sides[1] = {sc_.mean_right[f], static_cast<std::uint64_t>(sc_.count_right[f]), sc_.m2_right[f]};
    return true;
}

bool Grower::certified_choice(const double* rows, ConstPositionPtr index, const code_t* codes, std::size_t count,
                              const double* y, bool large, double shift, std::size_t stop, const NodeSides& sides,
                              Choice& c) {
    const NodeTargets node = masked_sums(rows, index, codes, count, y, large, shift, sides);
    return certified_pick(rows, index, count, y, shift, stop, node, c);
}

bool Grower::certified_pick(const double* rows, ConstPositionPtr index, std::size_t count, const double* y,
                            double shift, std::size_t stop, const NodeTargets& node, Choice& c) {
    // Every threshold lies within the values its ranges were taken from, so both sides
    // hold a row, unless a signal handler rewrote x since.
    for (std::size_t f = 0; f < stop; ++f)
        if (sc_.drawn[f] && (sc_.above[f] <= 0 || static_cast<std::size_t>(sc_.above[f]) >= count))
            fail("the training data changed during the fit");
    certified_candidates(node, sc_.above.data(), sc_.sum_above.data(), sc_.drawn.data(), stop,
                         sc_.candidates);
    const auto& cand = sc_.candidates;
    if (cand.empty()) return false;
    if (cand.size() == 1) {
        const std::size_t f = cand[0];
        const std::size_t above = static_cast<std::size_t>(sc_.above[f]);
        c.feature = f;
        c.n_left = count - above;
        c.exact = false;
        c.estimate[0] = shift + (node.sum - sc_.sum_above[f]) / static_cast<double>(count - above);
        c.estimate[1] = shift + sc_.sum_above[f] / static_cast<double>(above);
        return true;
    }
    const ExactWinner w = exact_winner(rows, index, st_.stride, count, y, sc_.threshold.data(), cand);
    c.feature = w.feature;
    c.n_left = static_cast<std::size_t>(w.left.count);
    c.exact = true;
    c.sides = {w.left, w.right};
    return true;
}

void Grower::code_search() {
    const FeatureCodes& codes = st_.codes;
    std::fill(sc_.code_above.begin(), sc_.code_above.end(), FeatureCodes::none);
    std::fill(sc_.code_exact.begin(), sc_.code_exact.end(), 0u);
    for (std::size_t f = 0; f < st_.n_features; ++f) {
        if (!sc_.drawn[f]) continue;
        const CodeThreshold t = code_threshold(codes, f, sc_.threshold[f]);
        sc_.code_side[f] = t;
        sc_.code_above[f] = t.above;
        sc_.code_tie[f] = t.tie;
        if (t.exact) sc_.code_exact[f / FeatureCodes::group] |= std::uint32_t{3} << (2 * (f % FeatureCodes::group));
    }
}

double Grower::impurity(std::size_t f) const {
    const auto weighted = [](double n, double m2) { return n < 2.0 ? 0.0 : (m2 / n) * n; };
    return weighted(sc_.count_left[f], sc_.m2_left[f]) +
           weighted(sc_.count_right[f], sc_.m2_right[f]);
}

}  // namespace vandu
