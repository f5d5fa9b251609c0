// Fitting a tree.
//
// A node's samples occupy one range [begin, end) of a level's buffers, which hold for
// each sample its target and its position; the node's rows are read from the matrix in
// place through the positions (ascending, so the reads run forward). Splitting a node
// partitions its range stably into the next level's buffers, and the stable order is the
// sample order the running statistics are defined on. A node's children overwrite only
// what its own ancestors have finished with, so disjoint ranges can be worked on at once.
// Targets have a buffer per level (up to max_target_slots, reused from there on), so
// that a node's children's targets stay in place for its pending statistics (the last
// level's children, whose buffer would be slot 0, read the root's through their positions
// where the rule allows: see start); positions (4 bytes each below 2^32 samples)
// alternate between two. (Fits that take every
// feature's exact statistics copy the rows too, which their kernel wants side by side.)
//
// A node costs two passes over its rows (tree/grower). The first is the division-free
// estimate of every feature's impurity (tree/split_search), which leaves the few features
// that can still win; only those get exact statistics. The second, the partition, sorts
// the rows to the children. A lone candidate's statistics (one chain of divisions per
// side, in sample order) ride in the partition of a node whose rows take long to arrive;
// a smaller node leaves them pending, and a tree's pending chains run side by side at its
// end, in vector lanes, with those of other fits started alongside (TreeFitter::start,
// finish_together). Over codes beyond the caches, the top levels grow a level at a time,
// each level's nodes estimated in one pass over every row (Grower::grow_levels). Fits
// whose targets the estimate's bound does not cover (see certifiable_targets) take every
// feature's exact statistics instead.
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
// where a failure leaves exactly the nodes made before it, complete.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/failure.hpp"
#include "core/step_trace.hpp"
#include "core/worker_pool.hpp"
#include "tree/decision_tree.hpp"
#include "tree/fit/fitter_state.hpp"
#include "tree/fit/grower.hpp"
#include "tree/kernels/node_kernels.hpp"
#include "tree/fit/split_search.hpp"

namespace vandu {
namespace {

// Below the root a fit fails only where the running statistics meet a NaN: a NaN
// target, or sums that overflow from infinity into infinity minus infinity. Targets no
// larger than 2^1000 keep every difference, mean and scaled step finite.
constexpr double moderate_target = 0x1p1000;

// Trees this deep copy each level's codes into its rows' order (TreeFitterState::code_rows):
// their many levels below the root pay for the copies and their memory's first touch.
constexpr std::size_t codes_in_order_depth = 6;

bool moderate_targets(const double* y, std::size_t n) {
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= std::fabs(y[i]) <= moderate_target;
    return ok;
}

// What a fit needs to know of its targets before the root: whether the estimate's bound
// covers them, whether they are moderate, and a shift near their mean (any finite value
// will do, so the team's chunks may sum them in any order).
struct TargetsSummary {
    bool certified, moderate;
    double shift;
};

TargetsSummary summarize_targets(const double* y, std::size_t n, std::size_t team) {
    constexpr std::size_t team_targets = std::size_t{1} << 16;
    if (n < team_targets) team = 1;
    const auto chunk = [&](std::size_t t) -> TargetsSummary {
        const std::size_t begin = n * t / team, end = n * (t + 1) / team;
        // Four sums side by side (two pairs of lanes: this file is built for the baseline
        // processor) and both magnitude checks in the same pass; a NaN fails them.
        double part[4] = {0.0, 0.0, 0.0, 0.0};
        bool certified = true, moderate = true;
        std::size_t i = begin;
#if defined(__SSE2__)
        // Named, not an array: the compiler kept an array's sums in memory, a store and a
        // load in every step of their chains.
        __m128d sum0 = _mm_setzero_pd(), sum1 = _mm_setzero_pd();
        __m128d below_certified = _mm_castsi128_pd(_mm_set1_epi32(-1)), below_moderate = below_certified;
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(INT64_MAX));
        const __m128d certified_bound = _mm_set1_pd(certified_target), moderate_bound = _mm_set1_pd(moderate_target);
        const auto check = [&](__m128d v) {
            const __m128d size = _mm_and_pd(v, magnitude);
            below_certified = _mm_and_pd(below_certified, _mm_cmple_pd(size, certified_bound));
            below_moderate = _mm_and_pd(below_moderate, _mm_cmple_pd(size, moderate_bound));
        };
        for (; i + 4 <= end; i += 4) {
            const __m128d v0 = _mm_loadu_pd(y + i), v1 = _mm_loadu_pd(y + i + 2);
            sum0 = _mm_add_pd(sum0, v0);
            sum1 = _mm_add_pd(sum1, v1);
            check(v0);
            check(v1);
        }
        _mm_storeu_pd(part, sum0);
        _mm_storeu_pd(part + 2, sum1);
        certified = _mm_movemask_pd(below_certified) == 3;
        moderate = _mm_movemask_pd(below_moderate) == 3;
#else
        for (; i + 4 <= end; i += 4)
            for (int k = 0; k < 4; ++k) part[k] += y[i + k];
        certified = certifiable_targets(y + begin, i - begin);
        moderate = moderate_targets(y + begin, i - begin);
#endif
        for (std::size_t j = i; j < end; ++j) part[0] += y[j];
        return {certified && certifiable_targets(y + i, end - i), moderate && moderate_targets(y + i, end - i),
                (part[0] + part[1]) + (part[2] + part[3])};
    };
    TargetsSummary all{n < (std::size_t{1} << 40), true, 0.0};
    const auto add = [&](const TargetsSummary& p) {
        all.certified = all.certified && p.certified;
        all.moderate = all.moderate && p.moderate;
        all.shift += p.shift;
    };
    if (team > 1) {
        std::vector<TargetsSummary> parts(team);
        parallel_team(team, [&](std::size_t t) { parts[t] = chunk(t); });
        for (const TargetsSummary& p : parts) add(p);
    } else {
        // A boosting stage of a small fit: no list to allocate.
        add(chunk(0));
    }
    if (n > 0) all.shift /= static_cast<double>(n);
    return all;
}

// Numbers the grown nodes in pre-order into the tree. A node whose subtrees were not
// both built (the fit failed below it) keeps no routes.
class Assembler {
public:
    // `placed`, when given, receives the tree's node of each node of the main piece.
    Assembler(DecisionTreeImpl& tree, const Piece& main, const std::vector<Piece>& deferred, bool level_order,
              std::vector<std::size_t>* placed = nullptr)
        : tree_(tree), main_(main), deferred_(deferred), level_order_(level_order), placed_(placed) {
        if (placed_) placed_->assign(main_.size(), 0);
    }

    void run() {
        if (deferred_.empty() && !level_order_) {
            // Grown on one thread: the nodes already stand in pre-order. A new tree's lists,
            // each allocated once at its size.
            tree_.splitters.reserve(main_.size());
            tree_.node_samples.reserve(main_.size());
            for (std::size_t i = 0; i < main_.size(); ++i) {
                // Written in place: a rule copied from one just built stalls on its stores.
                tree_.splitters.emplace_back().split_info.emplace(main_[i].split);
                tree_.node_samples.push_back(main_[i].samples);
                if (placed_) (*placed_)[i] = i;
            }
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
        if (placed_ && &piece == &main_) (*placed_)[i] = static_cast<std::size_t>(node);
        tree_.splitters.emplace_back().split_info.emplace(piece[i].split);
        tree_.node_samples.push_back(piece[i].samples);
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
    const bool level_order_;
    std::vector<std::size_t>* placed_;
};

std::atomic<bool> wide_for_testing{false};

}  // namespace

bool needs_wide_positions(std::size_t n_samples) {
    return n_samples > std::numeric_limits<std::uint32_t>::max() || wide_for_testing.load(std::memory_order_relaxed);
}

void set_wide_positions_for_testing(bool on) { wide_for_testing.store(on, std::memory_order_relaxed); }

TreeFitter::TreeFitter(MatrixView x) : state_(new TreeFitterState(x)) {}
TreeFitter::~TreeFitter() { delete state_; }

bool TreeFitter::start(DecisionTreeImpl& tree, VectorView y, double* fitted) {
    TreeFitterState& st = *state_;
    if (y.size() != st.n_samples)
        fail("assertion failed: `(left == right)`\n  left: `" + std::to_string(st.n_samples) +
             "`,\n right: `" + std::to_string(y.size()) + "`");
    if (st.codes_spent) {
        st.codes = FeatureCodes{};
        st.codes_spent = false;
    }
    tree.splitters.clear();
    tree.node_samples.clear();
    tree.routes.clear();
    tree.routes.assign(route_count(tree.params.depth), Route{NO_CHILD, NO_CHILD});

    // Every buffer a level may use, before any thread does: subtrees grown at once on
    // several threads share them, each in its own range. A fitter that carries statistics
    // into the next tree gives every other tree a second buffer for their slots.
    const std::size_t slots = std::clamp<std::size_t>(tree.params.depth, 2, max_target_slots);
    // With slices every slot but 0 has a second buffer. Below, only the root's chains (the
    // longest) are carried, the levels' below complete at their tree's end in the lanes
    // beside the leaves', and what is left of the root's targets then moves to a stash of
    // half the samples (4 MB at 1,000,000 rows instead of 8 a level; with a quarter, the
    // chains cut to fit it made the ends longer than the lanes saved).
    const bool stash = carry_ && st.team < slice_team();
    const std::size_t doubled = carry_ && !stash ? slots - 1 : 0;
    const std::size_t buffers = slots + doubled;
    // Targets read in place are summed before the buffers are placed: slot 0 then serves
    // only the last level's children (levels below wrap around the slots from depth 6 on),
    // whose statistics can read those targets through the children's positions, where
    // their partition goes by the sides its pass noted (up to 64 features) and writes
    // only positions.
    // Up to 12 MiB of targets, the second-level TLB's reach in 4 KiB pages (a boosting
    // fit's residuals have no huge pages): beyond, reading them through positions took 1.05
    // times as long at 4,000,000 x 20. From a matrix large enough for codes only: below,
    // the buffer is small and the gathered chains cost the deep model's many small fits
    // about 2% of their time.
    constexpr std::size_t gathered_samples = std::size_t{3} << 19;
    std::optional<TargetsSummary> in_place;
    if (y.contiguous()) in_place = summarize_targets(y.data, st.n_samples, st.team);
    const bool slot0 = !in_place || !in_place->certified || tree.params.depth < 2 ||
                       tree.params.depth > max_target_slots || st.n_features > kernels::max_side_features ||
                       st.n_samples > gathered_samples || st.n_samples * st.stride < coded_matrix_values();
    PendingChains& pending = st.scratch[0].pending;
    if (st.moves_levels(buffers, slot0) || slots != st.target_slots || doubled != st.doubled_slots)
        complete_carried();
    st.doubled_slots = doubled;
    st.scratch[0].pending.stash_up_to(stash ? st.n_samples / 2 + 1 : 0);
    // Slot 0 holds this tree's first targets or its deepest levels' in either set.
    pending.complete_carried(st.kernels, [](std::size_t buffer) { return buffer == 0; });
    st.size_levels(slots, buffers, slot0);

    const double* targets = y.data;
    if (!y.contiguous()) {
        // Slot 0 is free until the root has been partitioned (into slot 1).
        for (std::size_t i = 0; i < st.n_samples; ++i) st.targets[0][i] = y[i];
        targets = st.targets[0];
    }
    st.root_targets = targets;
    const TargetsSummary summary = in_place ? *in_place : summarize_targets(targets, st.n_samples, st.team);
    const bool certified = summary.certified;
    const bool spread = st.team > 1 && (certified || summary.moderate);
    if (carry_) {
        // This tree writes the other set; the statistics carried in it since the tree
        // before last end now.
        st.second_set = !st.second_set;
        pending.complete_carried(st.kernels, [&](std::size_t buffer) { return st.rewritten(buffer); });
    }
    // Once for every fit on this matrix: a boosting fit's stages all read the same codes.
    const std::size_t values = st.n_samples * st.stride;
    if (certified && !st.codes.ready() && st.n_samples > 0 && st.n_features > 0 && values >= coded_matrix_values() &&
        st.certified_fits >= fits_before_codes(values, tree.params.depth)) {
        st.side_bits.release();  // before the codes take their place
        st.codes.build(st.source, st.n_samples, st.stride, st.n_features, st.team);
        st.root_bins.clear();
    }
    st.certified_fits += certified;
    if (certified && !st.codes.ready()) st.side_bits.resize(st.n_samples);
    st.codes_in_order = certified && st.codes.ready() && tree.params.depth >= codes_in_order_depth;
    if (st.codes_in_order) {
        for (std::size_t slot = st.last_fit ? 1 : 0; slot < 2; ++slot)
            st.code_rows[slot].resize(st.n_samples * st.codes.pitch() + FeatureCodes::reach);
        st.codes_spent = st.last_fit;
    }
    // The top levels at once (on the team by chunks of samples, subtrees below deferred as
    // node by node): codes beyond the caches and a kernel that streams them fast enough.
    // Not with codes in order: those stream already, and a last fit writes over the matrix's.
    const bool levels = !st.codes_in_order && certified && st.codes.ready() && tree.params.depth >= 2 &&
                        st.n_features <= max_level_features &&
                        levels_at_once(st.code_kernels.tags_pay, st.n_samples * st.n_features * sizeof(code_t));
    if (levels) st.tags.resize(st.n_samples);
    // Over codes only the last level's nodes note them: a node's own pass for rows whose
    // sides fit in two words, the levels' tagged pass for wider ones.
    if (certified && st.codes.ready() && tree.params.depth > 0 &&
        (st.n_features <= kernels::max_side_features || levels))
        st.side_words.resize(st.n_samples * kernels::side_words(st.n_features));
    if (!certified)  // every feature's exact statistics read the rows side by side
        for (int slot = 0; slot < 2; ++slot) st.rows[slot].resize(st.n_samples * st.stride);
    const double root_shift = certified ? summary.shift : 0.0;
    // What finish needs: the nodes of the calling thread's grower, whose small nodes'
    // statistics may still be pending.
    InFlight& fit = st.in_flight;
    fit.reset();
    fit.tree = &tree;
    fit.fitted = fitted;
    fit.certified = certified;
    fit.spread = spread;
    fit.open = true;
    fit.level_order = levels;
    auto& deferred = fit.deferred;
    auto& pieces = fit.pieces;
    Grower grower(st, tree.params, fitted, st.scratch[0], fit.main, spread ? &deferred : nullptr, certified);
    try {
        const NodeTask root{0, 0, st.n_samples, tree.params.depth, true, {st.source, targets, nullptr}, root_shift,
                            nullptr};
        fit.root = levels ? grower.grow_levels(root) : grower.grow(root);
        if (!spread) return !pending.empty();
        // Subtrees grown on the team write only levels below the carried splits' buffers,
        // unless the levels wrap around the slots.
        const bool carry = carry_ && (tree.params.depth <= slots || deferred.empty());
        grower.flush(false, carry ? PendingChains::Which::stage_end : PendingChains::Which::all);
        // Carried from here into the grown nodes (assembled into the tree by finish):
        // subtrees grown on the team may take the calling thread's scratch, and complete
        // nothing of this tree's pieces from there but through `out`.
        if (carry) pending.carry([&](std::size_t node) { return &fit.main[node].split; });
        for (DeferredSubtree& job : deferred) job.task.shift = fit.main[job.parent].split.values[job.side];
        pieces.resize(deferred.size());
        // Largest subtrees first, taken by whichever thread is free.
        std::vector<std::size_t> order(deferred.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return deferred[a].task.end - deferred[a].task.begin > deferred[b].task.end - deferred[b].task.begin;
        });
        std::atomic<std::size_t> next{0};
        parallel_team(st.team, [&](std::size_t t) {
            for (std::size_t k; (k = next.fetch_add(1)) < order.size();) {
                DeferredSubtree& job = deferred[order[k]];
                NodeTask& task = job.task;
                task.ranges = job.has_ranges ? &job.ranges : nullptr;
                Grower sub(st, tree.params, fitted, st.scratch[t], pieces[order[k]], nullptr, certified);
                std::int64_t r = NO_CHILD;
                try {
                    r = sub.grow(task);
                } catch (...) {
                    sub.flush(false, PendingChains::Which::own);  // the nodes made so far, complete
                    throw;
                }
                sub.flush(false, PendingChains::Which::own);
                sub.settle(r, task.data, task.begin, task.end, task.shift);
                step_trace::task_boundary();
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
    Assembler(*fit.tree, fit.main, fit.pieces, fit.level_order).run();
    fit.open = false;
}

namespace {
// What finish completes: a spread fit's own nodes (the rest ran at its start's end), or
// everything but what the next stage may carry.
PendingChains::Which end_flush(bool spread, bool carry) {
    if (spread) return PendingChains::Which::own;
    return carry ? PendingChains::Which::stage_end : PendingChains::Which::all;
}
}  // namespace

// A spread fit's chains never run with other fits' (they ran at its start's end).
bool TreeFitter::runs_together() const { return state_->in_flight.open && !state_->in_flight.spread; }

void TreeFitter::end_chains(std::vector<kernels::Chain>& out) {
    if (!runs_together()) return;
    PendingChains& pending = state_->scratch[0].pending;
    pending.mark(end_flush(false, carry_));
    pending.marked_chains(out);
}

void TreeFitter::carried_chains(std::vector<kernels::Chain>& out, std::size_t pushes) {
    if (runs_together() && carry_) state_->scratch[0].pending.other_chains(out, pushes);
}

void TreeFitter::chains_ran(const std::vector<kernels::Chain>& chains) {
    if (runs_together()) state_->scratch[0].pending.ran(chains);
}

void TreeFitter::finish(bool chains_done) {
    TreeFitterState& st = *state_;
    InFlight& fit = st.in_flight;
    if (!fit.open) return;
    fit.open = false;
    Grower(st, fit.tree->params, fit.fitted, st.scratch[0], fit.main, nullptr, fit.certified)
        .flush(chains_done && !fit.spread, end_flush(fit.spread, carry_));
    // What a tree grown on the calling thread leaves pending completes its stored split.
    if (!fit.spread && carry_) st.scratch[0].pending.carry([&](std::size_t node) { return &fit.main[node].split; });
    std::vector<std::size_t>& placed = st.placed;
    Assembler(*fit.tree, fit.main, fit.pieces, fit.level_order, &placed).run();
    // What is still pending completes the assembled tree's splits (whose storage a move of
    // the tree keeps) as it runs on in the next trees' steps.
    DecisionTreeImpl& tree = *fit.tree;
    st.scratch[0].pending.move_carried([&](std::size_t node, Split* out) {
        return node < fit.main.size() && out == &fit.main[node].split ? &*tree.splitters[placed[node]].split_info
                                                                      : out;
    });
    // Predicting the training samples with a tree without nodes fails like predict does.
    if (fit.root < 0 && fit.fitted && st.n_samples > 0) fail(index_out_of_bounds(0, 0));
}

void TreeFitter::last_fit() { state_->last_fit = true; }

void TreeFitter::carry_statistics(bool on) {
    if (!on) complete_carried();
    carry_ = on;
}

void TreeFitter::subtract_fitted(std::optional<double> rate) { state_->subtract_rate = rate; }

void TreeFitter::complete_carried() {
    TreeFitterState& st = *state_;
    st.scratch[0].pending.complete_carried(st.kernels, [](std::size_t) { return true; });
}

void TreeFitter::fit(DecisionTreeImpl& tree, VectorView y, double* fitted) {
    start(tree, y, fitted);
    finish(false);
}

void TreeFitter::finish_together(std::span<TreeFitter* const> fitters, std::span<std::exception_ptr> failures) {
    // Kept by the thread: a boosting fit gathers its chains once a stage.
    thread_local std::vector<kernels::Chain> chains;
    chains.clear();
    for (TreeFitter* f : fitters) f->end_chains(chains);
    // Carried chains run on beside them, as far as the longest: in lanes that would idle.
    std::size_t longest = 0;
    for (const kernels::Chain& c : chains) longest = std::max(longest, c.n);
    for (TreeFitter* f : fitters) f->carried_chains(chains, longest);
    kernels::node_kernels().welford_chains(chains.data(), chains.size());
    for (TreeFitter* f : fitters) f->chains_ran(chains);
    for (std::size_t i = 0; i < fitters.size(); ++i) {
        try {
            fitters[i]->finish(true);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    }
}

}  // namespace vandu
