// Fitting a tree.
//
// A node's samples occupy one range [begin, end) of a level's buffers, which hold for
// each sample its target and its position; the node's rows are read from the matrix in
// place through the positions (ascending, so the reads run forward). Splitting a node
// partitions its range stably into the next level's buffers, and the stable order is the
// sample order the running statistics are defined on. Levels alternate between two
// buffers: a node's children overwrite only what its own ancestors have finished with,
// so disjoint ranges can be worked on at once. (Fits that take every feature's exact
// statistics copy the rows too, which their kernel wants side by side.)
//
// A node costs two passes over its rows. The first draws nothing from them: the value
// ranges come from the partition that filled the node (the root's are the same for every
// tree of a fit). It is the division-free estimate of every feature's impurity
// (tree/split_search), which leaves the few features that can still win; only those get
// exact statistics, and a lone one gets them from its children's targets after the
// second pass, the partition, which also takes the children's ranges. Fits whose targets
// the estimate's bound does not cover (see certifiable_targets) take every feature's
// exact statistics instead.
//
// A large node runs each pass on the whole team of threads over chunks of rows (chunk
// results combine exactly; estimates add in any order), or, for every feature's exact
// statistics, over groups of features (within a feature the order of the pushes is what
// fixes the bits). Below a large node, each small node's whole subtree becomes one task;
// the tasks run on all threads once the large nodes are done, and the pieces are
// numbered in pre-order. Which thread draws a threshold cannot be observed; how many
// draws there are and what they are used for stays as defined. Only fits that cannot fail
// below the root are spread this way (the root checks every feature; targets must be
// moderate, see moderate_targets). Any other is grown node by node on the calling thread,
// where a failure leaves exactly the nodes made before it.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "core/numerics.hpp"
#include "core/random.hpp"
#include "core/worker_pool.hpp"
#include "tree/decision_tree.hpp"
#include "tree/fitter_state.hpp"
#include "tree/split_search.hpp"

namespace vandu {
namespace {

// Below the root a fit fails only where the running statistics meet a NaN: a NaN
// target, or sums that overflow from infinity into infinity minus infinity. Targets no
// larger than 2^1000 keep every difference, mean and scaled step finite.
bool moderate_targets(const double* y, std::size_t n) {
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= std::fabs(y[i]) <= 0x1p1000;
    return ok;
}

// The pending statistics' chains, roughly longest first, which keeps the lanes full to
// the end: a node's sides are about half as long as its parent's, so level by level.
void collect_chains(NodeScratch& sc, std::vector<kernels::Chain>& out) {
    std::size_t deepest = 0;
    for (const PendingSplit& p : sc.pending) deepest = std::max(deepest, p.level);
    for (std::size_t level = 0; level <= deepest; ++level)
        for (PendingSplit& p : sc.pending) {
            if (p.level != level) continue;
            for (int side = 0; side < 2; ++side)
                if (p.n[side] > 0) out.push_back({p.y[side], p.n[side], &p.sides[side]});
        }
}

class Grower {
public:
    Grower(TreeFitterState& st, const TreeParameters& params, double* fitted, NodeScratch& scratch,
           Piece& piece, std::vector<DeferredSubtree>* deferred, bool certified)
        : st_(st),
          params_(params),
          fitted_(fitted),
          sc_(scratch),
          piece_(piece),
          deferred_(deferred),
          certified_(certified) {
        if (sc_.levels.size() < std::size_t{params_.depth} + 2) {
            sc_.levels.resize(std::size_t{params_.depth} + 2);
            for (auto& level : sc_.levels)
                for (RangeSet& r : level) r.size(st_.stride);
        }
        sc_.level_pending.assign(std::size_t{params_.depth} + 2, 0);
    }

    // `deferred` given: large nodes use the team, small ones become deferred subtrees.
    // `shift` is a value near the mean of the node's targets (any finite value is sound).
    std::int64_t grow(std::size_t level, std::size_t begin, std::size_t end, std::uint8_t budget,
                      bool root, NodeData data, double shift, const RangeSet* ranges) {
        if (budget == 0) return NO_CHILD;
        if (st_.n_samples == 0) return NO_CHILD;
        const std::size_t count = end - begin;
        if (!root && count < params_.min_samples_split) return NO_CHILD;
        const bool large = deferred_ && count * st_.stride >= large_node_values;
        if (deferred_ && !large && !root) {
            deferred_->push_back({level, begin, end, budget, data, shift, ranges ? *ranges : RangeSet{},
                                  ranges != nullptr});
            return first_deferred - static_cast<std::int64_t>(deferred_->size() - 1);
        }
        if (large) split_into_chunks(count);

        // The masked pass notes each row's sides where the partition need not read the
        // rows: children that cannot split, or a node too small to take their ranges on the
        // way (they take their own, faster than through the side's running ranges).
        const bool ride = rides(count, large);
        const bool note_sides = certified_ && (budget == 1 || !ride) && st_.stride <= 64;
        auto choice = find_split(begin, count, data, root, large, shift, ranges,
                                 note_sides ? st_.sides.data() + begin : nullptr);
        if (!choice) return NO_CHILD;

        const std::size_t f = choice->feature;
        const std::size_t n_left = choice->n_left;
        const std::uint8_t child_budget = budget - 1;
        const auto may_split = [&](std::size_t n) {
            return child_budget > 0 && n >= 2 && n >= params_.min_samples_split;
        };
        const bool move_rows = may_split(n_left) || may_split(count - n_left);
        auto& child_ranges = sc_.levels[level + 1];
        // The children's targets overwrite those of a pending ancestor's children.
        const std::size_t slots = st_.targets.size();
        if (level >= slots && sc_.level_pending[level - slots]) flush();
        const bool take_ranges = move_rows && (ride || !certified_);
        const NodeData children = partition(level + 1, begin, end, *choice, sc_.threshold[f], data,
                                            move_rows, take_ranges, large, child_ranges,
                                            note_sides ? st_.sides.data() + begin : nullptr);
        const std::size_t node = piece_.size();
        piece_.push_back(GrownNode{Split{f, sc_.threshold[f], 0.0, {0.0, 0.0}}});
        std::size_t pending = no_pending;
        double shifts[2];
        if (choice->exact) {
            const auto& stats = choice->sides;
            piece_[node].split.impurity = split_impurity(stats[0], stats[1]);
            piece_[node].split.values = {stats[0].mean, stats[1].mean};
            shifts[0] = stats[0].mean;
            shifts[1] = stats[1].mean;
        } else {
            pending = sc_.pending.size();
            sc_.pending.push_back({node, level, choice->sides, {choice->rest[0], choice->rest[1]},
                                   {choice->rest_n[0], choice->rest_n[1]}});
            shifts[0] = choice->estimate[0];
            shifts[1] = choice->estimate[1];
        }
        sc_.level_pending[level] = pending != no_pending;
        const std::size_t flushes_at = flushes_;

        const std::size_t bounds[3] = {begin, begin + n_left, end};
        for (int side = 0; side < 2; ++side) {
            const std::int64_t child = grow(level + 1, bounds[side], bounds[side + 1], child_budget, false,
                                            children, shifts[side], take_ranges ? &child_ranges[side] : nullptr);
            piece_[node].child[side] = child;
            if (child <= first_deferred) {
                DeferredSubtree& job = (*deferred_)[static_cast<std::size_t>(first_deferred - child)];
                job.parent = node;
                job.side = side;
            } else if (child == NO_CHILD && fitted_) {
                // A flush in the left subtree may have completed this split already.
                if (pending == no_pending || flushes_ != flushes_at)
                    settle(child, children, bounds[side], bounds[side + 1], piece_[node].split.values[side]);
                else
                    sc_.settles.push_back({pending, side, children.positions, bounds[side], bounds[side + 1]});
            }
        }
        piece_[node].done = true;
        return static_cast<std::int64_t>(node);
    }

    // The training samples of a side without a child get the side's value (a deferred
    // subtree settles its own, with the value it was handed).
    void settle(std::int64_t child, NodeData data, std::size_t begin, std::size_t end, double value) {
        if (child != NO_CHILD || !fitted_) return;
        assign(data.positions, begin, end, value);
    }

    // Runs the pending statistics, side by side (unless that was done with other fits'),
    // and completes what waits on them. The main grower's run spreads its chains over the
    // team.
    void flush(bool chains_done = false) {
        auto& chains = sc_.chains;
        chains.clear();
        if (!chains_done) collect_chains(sc_, chains);
        std::size_t total = 0;
        for (const kernels::Chain& c : chains) total += c.n;
        if (deferred_ && st_.team > 1 && total * 4 >= large_node_values) {
            // In that order, each to the team member with the least so far.
            std::vector<std::vector<kernels::Chain>> shares(st_.team);
            std::vector<std::size_t> load(st_.team, 0);
            for (const kernels::Chain& c : chains) {
                const std::size_t t = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
                shares[t].push_back(c);
                load[t] += c.n;
            }
            parallel_team(st_.team, [&](std::size_t t) {
                st_.kernels.welford_chains(shares[t].data(), shares[t].size());
            });
        } else if (!chains.empty()) {
            st_.kernels.welford_chains(chains.data(), chains.size());
        }
        for (const PendingSplit& p : sc_.pending) {
            Split& split = piece_[p.node].split;
            split.impurity = split_impurity(p.sides[0], p.sides[1]);
            split.values = {p.sides[0].mean, p.sides[1].mean};
        }
        for (const PendingSettle& w : sc_.settles)
            assign(w.positions, w.begin, w.end, sc_.pending[w.split].sides[w.side].mean);
        sc_.pending.clear();
        sc_.settles.clear();
        std::fill(sc_.level_pending.begin(), sc_.level_pending.end(), 0);
        ++flushes_;
    }

private:
    static constexpr std::size_t no_pending = SIZE_MAX;

    // Whether a node's rows take long enough to arrive that the winner's statistics and
    // the children's ranges ride along in its partition.
    bool rides(std::size_t count, bool large) const { return large || count * st_.stride >= ride_node_values; }

    void assign(const std::uint64_t* positions, std::size_t begin, std::size_t end, double value) {
        const auto run = [&](std::size_t from, std::size_t to) {
            for (std::size_t s = begin + from; s < begin + to; ++s) fitted_[positions[s]] = value;
        };
        if (!deferred_ || !in_team_chunks(end - begin, large_node_values / 2, run)) run(0, end - begin);
    }

    // Equal chunks of a large node's rows, one per team task.
    void split_into_chunks(std::size_t count) {
        for (std::size_t t = 0; t <= st_.team; ++t) st_.chunk_start[t] = count * t / st_.team;
    }

    // The rule fit of one node: every feature's range, one draw per non-constant feature
    // in feature order, and the first feature of least impurity.
    std::optional<Choice> find_split(std::size_t begin, std::size_t count, NodeData data, bool root,
                                     bool large, double shift, const RangeSet* ranges,
                                     std::uint64_t* sides) {
        const std::size_t n_features = st_.n_features;
        if (n_features == 0 || count < 2) return std::nullopt;  // a lone value never splits
        const double* rows = data.indexed ? data.rows : data.rows + begin * st_.stride;
        const std::uint64_t* index = data.indexed ? data.positions + begin : nullptr;
        // Every tree fitted on this matrix starts from the same root ranges; a node below
        // has its own from the parent's partition, which refuses NaN (a child that may
        // split is always handed them).
        if (root && !st_.root_ranges_known) {
            value_ranges(rows, count, large, st_.root_min.data(), st_.root_max.data(), st_.root_has_nan.data());
            st_.root_ranges_known = true;
        }
        if (!root && !ranges) {
            // Small nodes take their own; below the root a NaN means x was rewritten.
            RangeSet& own = sc_.own_ranges;
            st_.kernels.value_ranges(rows, index, st_.stride, st_.stride, count, own.min.data(),
                                     own.max.data(), sc_.own_nan.data());
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
        Pending pending = Pending::none;
        std::size_t stop = n_features;
        bool any_drawn = false;
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

        std::optional<Choice> choice;
        // With certified targets no impurity is NaN, so no comparison can fail first.
        if (any_drawn && !(certified_ && pending != Pending::none)) {
            if (certified_)
                choice = certified_choice(rows, index, count, data.targets + begin, large, shift, stop, sides);
            else
                choice = exact_choice(rows, count, data.targets + begin, large, stop);
        }
        if (pending == Pending::nan_value) fail(text::unwrap_none);
        if (pending == Pending::infinite_bound)
            fail("Uniform::sample_single: low and high must be finite");
        return choice;
    }

    // Every drawn feature's exact statistics, the least impurity first in feature order.
    std::optional<Choice> exact_choice(const double* rows, std::size_t count, const double* y,
                                       bool large, std::size_t stop) {
        side_statistics(rows, count, y, large);
        ArgminByScore<std::size_t> best;
        for (std::size_t f = 0; f < stop; ++f) {
            if (!sc_.drawn[f]) continue;
            best.offer({impurity(f), f});
        }
        if (!best.result()) return std::nullopt;
        const std::size_t f = best.result()->payload;
        Choice c{f, static_cast<std::size_t>(sc_.count_left[f]), true, {}, {}};
        c.sides[0] = {sc_.mean_left[f], static_cast<std::uint64_t>(sc_.count_left[f]), sc_.m2_left[f]};
        c.sides[1] = {sc_.mean_right[f], static_cast<std::uint64_t>(sc_.count_right[f]), sc_.m2_right[f]};
        return c;
    }

    // The estimates pick the candidates; only they get exact statistics. A lone candidate
    // is the winner, and its statistics come from the pass over its children.
    std::optional<Choice> certified_choice(const double* rows, const std::uint64_t* index,
                                           std::size_t count, const double* y, bool large,
                                           double shift, std::size_t stop, std::uint64_t* sides) {
        const NodeTargets node = masked_sums(rows, index, count, y, large, shift, sides);
        // Every threshold lies within the values its ranges were taken from, so both sides
        // hold a row, unless a signal handler rewrote x since.
        for (std::size_t f = 0; f < stop; ++f)
            if (sc_.drawn[f] && (sc_.above[f] <= 0 || static_cast<std::size_t>(sc_.above[f]) >= count))
                fail("the training data changed during the fit");
        certified_candidates(node, sc_.above.data(), sc_.sum_above.data(), sc_.drawn.data(), stop,
                             sc_.candidates);
        const auto& cand = sc_.candidates;
        if (cand.empty()) return std::nullopt;
        if (cand.size() == 1) {
            const std::size_t f = cand[0];
            const std::size_t above = static_cast<std::size_t>(sc_.above[f]);
            Choice c{f, count - above, false, {}, {}};
            c.estimate[0] = shift + (node.sum - sc_.sum_above[f]) / static_cast<double>(count - above);
            c.estimate[1] = shift + sc_.sum_above[f] / static_cast<double>(above);
            return c;
        }
        const ExactWinner w = exact_winner(rows, index, st_.stride, count, y, sc_.threshold.data(), cand);
        return Choice{w.feature, static_cast<std::size_t>(w.left.count), true, {w.left, w.right}, {}};
    }

    // The summary of the node's targets and, per feature, the rows above the threshold and their
    // sum. A large node's chunks of rows run on the team; their sums add in any order.
    NodeTargets masked_sums(const double* rows, const std::uint64_t* index, std::size_t count,
                            const double* y, bool large, double shift, std::uint64_t* sides) {
        const std::size_t stride = st_.stride;
        if (!large) {
            NodeTargets node;
            st_.kernels.masked_sums(rows, index, stride, stride, count, y, shift, sc_.threshold.data(),
                                    sc_.above.data(), sc_.sum_above.data(), &node, sides);
            return node;
        }
        parallel_team(st_.team, [&](std::size_t t) {
            const std::size_t from = st_.chunk_start[t], n = st_.chunk_start[t + 1] - from;
            st_.kernels.masked_sums(index ? rows : rows + from * stride, index ? index + from : nullptr,
                                    stride, stride, n, y + from, shift, sc_.threshold.data(),
                                    st_.chunk_above.data() + t * stride,
                                    st_.chunk_sum_above.data() + t * stride, &st_.chunk_targets[t],
                                    sides ? sides + from : nullptr);
        });
        NodeTargets node;
        for (std::size_t t = 0; t < st_.team; ++t) merge_targets(node, st_.chunk_targets[t]);
        for (std::size_t f = 0; f < stride; ++f) {
            std::int64_t above = 0;
            double sum = 0.0;
            for (std::size_t t = 0; t < st_.team; ++t) {
                above += st_.chunk_above[t * stride + f];
                sum += st_.chunk_sum_above[t * stride + f];
            }
            sc_.above[f] = above;
            sc_.sum_above[f] = sum;
        }
        return node;
    }

    void value_ranges(const double* rows, std::size_t count, bool large, double* min, double* max,
                      std::int64_t* has_nan) {
        const std::size_t stride = st_.stride;
        if (!large) {
            st_.kernels.value_ranges(rows, nullptr, stride, stride, count, min, max, has_nan);
            return;
        }
        parallel_team(st_.team, [&](std::size_t t) {
            const std::size_t from = st_.chunk_start[t];
            st_.kernels.value_ranges(rows + from * stride, nullptr, stride, stride, st_.chunk_start[t + 1] - from,
                                     st_.chunk_min.data() + t * stride, st_.chunk_max.data() + t * stride,
                                     st_.chunk_nan.data() + t * stride);
        });
        // Chunks combine in order under the same rules: the first minimum, the last
        // maximum. A chunk of one row flags no NaN of its own, but here it is compared.
        for (std::size_t f = 0; f < stride; ++f) {
            double lo = st_.chunk_min[f], hi = st_.chunk_max[f];
            bool nan = false;
            for (std::size_t t = 0; t < st_.team; ++t) {
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

    void side_statistics(const double* rows, std::size_t count, const double* y, bool large) {
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
            const kernels::CountMarks marks{st_.chunk_start.data() + 1, st_.team - 1,
                                            st_.mark_counts.data() + f, stride};
            st_.kernels.side_statistics(rows + f, stride, (last - first) * kernels::kernel_width, count,
                                        y, sc_.threshold.data() + f, out(f), marks);
        });
    }

    double impurity(std::size_t f) const {
        const auto weighted = [](double n, double m2) { return n < 2.0 ? 0.0 : (m2 / n) * n; };
        return weighted(sc_.count_left[f], sc_.m2_left[f]) +
               weighted(sc_.count_right[f], sc_.m2_right[f]);
    }

    // Stable partition of [begin, end) into the buffers of `level`: left side first. Targets
    // always move; the children's value ranges are taken when they may split. The lone
    // candidate's statistics ride along where the rows take long to arrive (on a team,
    // with the first chunk); the rest are left pending. Children read the matrix in place
    // through their positions, which ascend, so the reads run forward: copying rows costs
    // more than it saves, and a first fit would pay for the fresh pages too. Only every
    // feature's exact statistics need the rows side by side. A large node's chunks are
    // placed by the left counts where each one starts.
    NodeData partition(std::size_t level, std::size_t begin, std::size_t end, Choice& choice,
                       double threshold, NodeData data, bool move_rows, bool take_ranges, bool large,
                       std::array<RangeSet, 2>& child_ranges, const std::uint64_t* sides) {
        const std::size_t slot = level % 2;
        const std::size_t stride = st_.stride;
        const std::size_t n_left = choice.n_left, feature = choice.feature, count = end - begin;
        auto& rows = st_.rows[slot];
        auto& targets = st_.targets[level % st_.targets.size()];
        auto& positions = st_.positions[slot];
        const bool copy_rows = move_rows && !certified_;
        const bool index_rows = move_rows && !copy_rows;
        const bool move_positions = fitted_ != nullptr || index_rows;
        const bool by_bits = sides && !take_ranges && !copy_rows;
        RunningStats* stats = nullptr;
        if (!choice.exact) {
            choice.sides = {};
            if (!by_bits && rides(count, large)) stats = choice.sides.data();
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
                                 targets.data(),
                                 move_positions ? positions.data() : nullptr,
                                 {begin + lefts_before, begin + n_left + (from - begin - lefts_before)},
                                 {begin + lefts_after, begin + n_left + (to - begin - lefts_after)},
                                 take_ranges ? ranges : nullptr,
                                 push ? stats : nullptr,
                                 by_bits ? sides + (from - begin) : nullptr};
            // x is the caller's memory, and a signal handler run between the passes could
            // change it: a row beyond its side's end fails the fit instead of writing there.
            if (!st_.kernels.partition(p, stride)) fail("the training data changed during the fit");
        };
        // The targets of each side not yet pushed: those after the first `lefts` and
        // `rights` ones.
        std::size_t lefts = 0, rights = 0;
        if (!large) {
            kernels::SideRanges sides[2] = {child_ranges[0].fresh(), child_ranges[1].fresh()};
            move(begin, end, 0, n_left, sides, true);
            child_ranges[0].count = sides[0].count;
            child_ranges[1].count = sides[1].count;
            if (stats) lefts = n_left, rights = count - n_left;
        } else {
            const auto lefts_before = [&](std::size_t t) {
                if (t == 0) return std::size_t{0};
                if (t == st_.team) return n_left;
                if (!certified_) return static_cast<std::size_t>(st_.mark_counts[(t - 1) * stride + feature]);
                std::size_t above = 0;
                for (std::size_t k = 0; k < t; ++k) above += st_.chunk_above[k * stride + feature];
                return st_.chunk_start[t] - above;
            };
            for (std::size_t i = 0; i < 2 * st_.team; ++i) st_.chunk_sides[i] = st_.chunk_ranges[i].fresh();
            parallel_team(st_.team, [&](std::size_t t) {
                move(begin + st_.chunk_start[t], begin + st_.chunk_start[t + 1], lefts_before(t),
                     lefts_before(t + 1), &st_.chunk_sides[2 * t], t == 0);
            });
            if (stats) lefts = lefts_before(1), rights = st_.chunk_start[1] - lefts;
            if (take_ranges) {
                child_ranges[0].count = child_ranges[1].count = 0;
                for (std::size_t t = 0; t < st_.team; ++t)
                    for (int side = 0; side < 2; ++side) child_ranges[side].append(st_.chunk_sides[2 * t + side]);
            }
        }
        if (!choice.exact) {
            choice.rest[0] = targets.data() + begin + lefts;
            choice.rest_n[0] = n_left - lefts;
            choice.rest[1] = targets.data() + begin + n_left + rights;
            choice.rest_n[1] = count - n_left - rights;
            choice.exact = choice.rest_n[0] == 0 && choice.rest_n[1] == 0;
        }
        if (index_rows) return {data.rows, targets.data(), positions.data(), true};
        return {copy_rows ? rows.data() : nullptr, targets.data(),
                move_positions ? positions.data() : nullptr, false};
    }

    TreeFitterState& st_;
    const TreeParameters& params_;
    double* fitted_;
    NodeScratch& sc_;
    Piece& piece_;
    std::vector<DeferredSubtree>* deferred_;
    const bool certified_;
    std::size_t flushes_ = 0;
};

// Numbers the grown nodes in pre-order into the tree. A node whose subtrees were not
// both built (the fit failed below it) keeps no routes.
class Assembler {
public:
    Assembler(DecisionTreeImpl& tree, const Piece& main, const std::vector<Piece>& deferred)
        : tree_(tree), main_(main), deferred_(deferred) {}

    void run() {
        if (deferred_.empty()) {
            // Grown on one thread: the nodes already stand in pre-order.
            for (const GrownNode& n : main_) tree_.splitters.push_back(RandomSplitRule{n.split});
            for (std::size_t i = 0; i < main_.size(); ++i)
                if (main_[i].done) tree_.routes[i] = {route(main_[i].child[0]), route(main_[i].child[1])};
        } else if (!main_.empty()) {
            emit(main_, 0);
        }
    }

private:
    static std::int64_t route(std::int64_t child) { return child < 0 ? NO_CHILD : child; }

    std::int64_t emit(const Piece& piece, std::size_t i) {
        const auto node = static_cast<std::int64_t>(tree_.splitters.size());
        tree_.splitters.push_back(RandomSplitRule{piece[i].split});
        if (!piece[i].done) return node;
        Route r{NO_CHILD, NO_CHILD};
        for (int side = 0; side < 2; ++side) {
            const std::int64_t c = piece[i].child[side];
            if (c >= 0) {
                r[side] = emit(piece, static_cast<std::size_t>(c));
            } else if (c <= first_deferred) {
                const Piece& sub = deferred_[static_cast<std::size_t>(first_deferred - c)];
                if (!sub.empty()) r[side] = emit(sub, 0);
            }
        }
        tree_.routes[static_cast<std::size_t>(node)] = r;
        return node;
    }

    DecisionTreeImpl& tree_;
    const Piece& main_;
    const std::vector<Piece>& deferred_;
};

}  // namespace

TreeFitter::TreeFitter(MatrixView x) : state_(new TreeFitterState(x)) {}
TreeFitter::~TreeFitter() { delete state_; }

bool TreeFitter::start(DecisionTreeImpl& tree, VectorView y, double* fitted) {
    TreeFitterState& st = *state_;
    if (y.size() != st.n_samples)
        fail("assertion failed: `(left == right)`\n  left: `" + std::to_string(st.n_samples) +
             "`,\n right: `" + std::to_string(y.size()) + "`");
    tree.splitters.clear();
    tree.routes.clear();
    tree.routes.assign(route_count(tree.params.depth), Route{NO_CHILD, NO_CHILD});

    // Every buffer a level may use, before any thread does: subtrees grown at once on
    // several threads share them, each in its own range.
    const std::size_t slots = std::clamp<std::size_t>(tree.params.depth, 2, max_target_slots);
    if (st.targets.size() < slots) st.targets.resize(slots);
    for (std::size_t slot = 0; slot < slots; ++slot) st.targets[slot].resize(st.n_samples);
    for (int slot = 0; slot < 2; ++slot) st.positions[slot].resize(st.n_samples);

    const double* targets = y.data;
    if (!y.contiguous()) {
        // Slot 0 is free until the root has been partitioned (into slot 1).
        for (std::size_t i = 0; i < st.n_samples; ++i) st.targets[0][i] = y[i];
        targets = st.targets[0].data();
    }
    const bool certified = certifiable_targets(targets, st.n_samples);
    const bool spread = st.team > 1 && (certified || moderate_targets(targets, st.n_samples));
    if (certified && st.stride <= 64) st.sides.resize(st.n_samples);
    if (!certified)  // every feature's exact statistics read the rows side by side
        for (int slot = 0; slot < 2; ++slot) st.rows[slot].resize(st.n_samples * st.stride);
    double root_shift = 0.0;
    if (certified && st.n_samples > 0) {
        // Any finite value near the mean will do: four sums side by side.
        double part[4] = {0.0, 0.0, 0.0, 0.0};
        std::size_t i = 0;
        for (; i + 4 <= st.n_samples; i += 4)
            for (int k = 0; k < 4; ++k) part[k] += targets[i + k];
        for (; i < st.n_samples; ++i) part[0] += targets[i];
        root_shift = ((part[0] + part[1]) + (part[2] + part[3])) / static_cast<double>(st.n_samples);
    }
    // What finish needs: the nodes of the calling thread's grower, whose small nodes'
    // statistics may still be pending.
    InFlight& fit = st.in_flight;
    fit = InFlight{};
    fit.tree = &tree;
    fit.fitted = fitted;
    fit.certified = certified;
    fit.open = true;
    auto& deferred = fit.deferred;
    auto& pieces = fit.pieces;
    Grower grower(st, tree.params, fitted, st.scratch[0], fit.main, spread ? &deferred : nullptr, certified);
    try {
        fit.root = grower.grow(0, 0, st.n_samples, tree.params.depth, true, {st.source, targets, nullptr},
                               root_shift, nullptr);
        if (!spread) return !st.scratch[0].pending.empty();
        grower.flush();
        for (DeferredSubtree& job : deferred) job.value = fit.main[job.parent].split.values[job.side];
        pieces.resize(deferred.size());
        // Largest subtrees first, taken by whichever thread is free.
        std::vector<std::size_t> order(deferred.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return deferred[a].end - deferred[a].begin > deferred[b].end - deferred[b].begin;
        });
        std::atomic<std::size_t> next{0};
        parallel_team(st.team, [&](std::size_t t) {
            for (std::size_t k; (k = next.fetch_add(1)) < order.size();) {
                const DeferredSubtree& job = deferred[order[k]];
                Grower sub(st, tree.params, fitted, st.scratch[t], pieces[order[k]], nullptr, certified);
                std::int64_t r = NO_CHILD;
                try {
                    r = sub.grow(job.level, job.begin, job.end, job.budget, false, job.data, job.value,
                                 job.has_ranges ? &job.ranges : nullptr);
                } catch (...) {
                    sub.flush();  // the nodes made so far, complete
                    throw;
                }
                sub.flush();
                sub.settle(r, job.data, job.begin, job.end, job.value);
            }
        });
    } catch (...) {
        finish_after_failure();
        throw;
    }
    return false;
}

void TreeFitter::finish_after_failure() {
    TreeFitterState& st = *state_;
    InFlight& fit = st.in_flight;
    Grower(st, fit.tree->params, fit.fitted, st.scratch[0], fit.main, nullptr, fit.certified).flush();
    Assembler(*fit.tree, fit.main, fit.pieces).run();
    fit.open = false;
}

void TreeFitter::pending_chains(std::vector<kernels::Chain>& out) {
    if (state_->in_flight.open) collect_chains(state_->scratch[0], out);
}

void TreeFitter::finish(bool chains_done) {
    TreeFitterState& st = *state_;
    InFlight& fit = st.in_flight;
    if (!fit.open) return;
    fit.open = false;
    Grower(st, fit.tree->params, fit.fitted, st.scratch[0], fit.main, nullptr, fit.certified).flush(chains_done);
    Assembler(*fit.tree, fit.main, fit.pieces).run();
    // Predicting the training samples with a tree without nodes fails like predict does.
    if (fit.root < 0 && fit.fitted && st.n_samples > 0) fail(index_out_of_bounds(0, 0));
}

void TreeFitter::fit(DecisionTreeImpl& tree, VectorView y, double* fitted) {
    start(tree, y, fitted);
    finish(false);
}

void TreeFitter::finish_together(std::span<TreeFitter* const> fitters, std::span<std::exception_ptr> failures) {
    std::vector<kernels::Chain> chains;
    for (TreeFitter* f : fitters) f->pending_chains(chains);
    kernels::node_kernels().welford_chains(chains.data(), chains.size());
    for (std::size_t i = 0; i < fitters.size(); ++i) {
        try {
            fitters[i]->finish(true);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    }
}

}  // namespace vandu
