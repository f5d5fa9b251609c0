// The grower of a tree's nodes: a node's search, its partition and its children, its
// pending statistics. Internal to the tree fitter (tree_fitter.cpp); its node passes' team
// steps are in grower_passes.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "tree/decision_tree.hpp"
#include "tree/fit/fitter_state.hpp"

namespace vandu {

// Where a node's estimate pass notes each row's sides, from the node's first row on:
// bits from the pass over doubles, or words from the pass over codes.
struct NodeSides {
    std::uint64_t* bits = nullptr;
    std::uint32_t* words = nullptr;
    std::size_t per_row = 0;  // words

    explicit operator bool() const { return bits || words; }
    // From the node's row s on.
    NodeSides from(std::size_t s) const {
        return {bits ? bits + s : nullptr, words ? words + s * per_row : nullptr, per_row};
    }
};

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
          certified_(certified),
          coded_(certified && st.codes.ready()) {
        if (sc_.levels.size() < std::size_t{params_.depth} + 2) {
            sc_.levels.resize(std::size_t{params_.depth} + 2);
            for (auto& level : sc_.levels)
                for (RangeSet& r : level) r.size(st_.stride);
        }
        sc_.pending.size_levels(std::size_t{params_.depth} + 2);
    }

    // The top levels grown one level at a time, each level's nodes estimated in one pass
    // over the codes of every row, tagged by node (grower_levels.cpp; on the team, by
    // chunks of samples: grower_levels_team.cpp); below them as grow does. Only certified
    // fits over codes.
    std::int64_t grow_levels(const NodeTask& root);

    // `deferred` given: large nodes use the team, small ones become deferred subtrees.
    // `shift` is a value near the mean of the node's targets (any finite value is sound).
    std::int64_t grow(const NodeTask& task);

    // The training samples of a side without a child get the side's value (a deferred
    // subtree settles its own, with the value it was handed).
    void settle(std::int64_t child, NodeData data, std::size_t begin, std::size_t end, double value);

    // Runs the pending statistics, side by side (unless that was done with other fits'),
    // and completes what waits on them. The main grower's run spreads its chains over the
    // team. Which ones: all, the grower's own (a subtree's, beside what its fitter
    // carries), or only those a fitted value or subtree waits on (the rest stay pending,
    // for the fitter to carry).
    void flush(bool chains_done = false, PendingChains::Which which = PendingChains::Which::all);

private:
    // A node's draws: a failure held back (see find_split), the features before it, any drawn.
    struct Draws {
        Pending pending = Pending::none;
        std::size_t stop = 0;
        bool any = false;
    };
    // A node of a level's tagged pass: its draws and sums, where its rows' sides go (or
    // null), and its targets' summary.
    struct TaggedTask {
        const NodeTask* task;
        LevelNode* node;
        std::uint32_t* sides;
        NodeTargets* summary;
    };
    // A level's tagged pass over chunks of samples on the team; each node's counts, sums
    // and summary combined in chunk order, and its share of every chunk kept.
    void tagged_on_team(const std::vector<TaggedTask>& level);
    // The chunks of a level node's partition, its shares of the pass's chunks; false where
    // the node is too small for the team.
    bool level_chunks(const LevelNode& node, std::size_t count);

    // A split node, between its partition and its children.
    struct Made {
        std::size_t node = 0;
        NodeData children{};
        std::size_t bounds[3] = {0, 0, 0};
        double shifts[2] = {0.0, 0.0};
        bool pending = false, take_ranges = false, move_rows = false;
        std::uint8_t child_budget = 0;
    };
    // A node of a level partitioned at once: its task, its choice (null: it does not
    // split), its draws and where its children's ranges go; what its partition made.
    struct LevelSplit {
        const NodeTask* task;
        Choice* choice;
        const LevelNode* draws;
        RangeSet* child_ranges;  // both sides'
        Made made;
    };

    // The node's partition and its record; `level_wide`: its level's other nodes may have
    // left the level waiting already.
    Made make_node(const NodeTask& task, Choice& choice, bool large, NodeSides sides, bool level_wide);
    // make_node's steps: what the partition moves (and room for the children's targets),
    // then, once it has run, the node's record.
    Made plan_node(const NodeTask& task, const Choice& choice);
    void record_node(const NodeTask& task, Choice& choice, double threshold, bool level_wide, Made& made);
    // The partitions of a level's nodes (tagged by st_.tags, in order) in one pass over every
    // row in sample order, where each node that splits takes its children's ranges; the
    // rows' tags become their children's places in the next level (two per node that
    // splits, in order). False, with nothing moved, where the pass does not apply.
    // (grower_level_partition.cpp)
    bool partition_level(std::vector<LevelSplit>& nodes);
    // Hangs a child (or its absence) under a made node; `in_order`: a leaf whose samples
    // fill_in_order fills.
    void attach(const Made& made, int side, std::int64_t child, bool in_order = false);

    // Whether a node's rows take long enough to arrive that the winner's statistics and
    // the children's ranges ride along in its partition (on a team, with the first chunk).
    // A smaller one runs faster by the side bits, its children taking their own ranges.
    bool rides(std::size_t count) const { return count * st_.stride >= ride_node_values; }

    // Whether a node's passes read codes: once a matrix has them every node does, since a
    // node's rows lie scattered over the whole matrix, beyond the caches however few they are.
    bool coded() const { return coded_; }

    // Where a last-level node over codes notes its rows' sides (its rows from `begin` on):
    // its own pass writes two words a row at most, a level's tagged pass any number.
    NodeSides side_words(std::size_t begin, std::size_t budget, bool own_pass) const {
        NodeSides sides;
        if (budget != 1 || st_.side_words.size() == 0) return sides;
        if (own_pass && st_.n_features > kernels::max_side_features) return sides;
        sides.per_row = kernels::side_words(st_.n_features);
        sides.words = st_.side_words.data() + begin * sides.per_row;
        return sides;
    }

    // Whether the root's children take their ranges from the root's extreme bins
    // (RootBins) where they can: the root's pass then notes its rows' sides and ties, and
    // its partition goes by the sides. Not with codes in order, which the partition by
    // codes moves.
    bool root_listed(std::size_t budget) {
        log_ties_ = coded() && budget >= 2 && !st_.codes_in_order && st_.n_features <= kernels::max_side_features &&
                    st_.side_words.size() >= st_.n_samples * kernels::side_words(st_.n_features) &&
                    !(st_.root_bins.built() && !st_.root_bins.usable());
        return log_ties_;
    }
    // Rows a list of the root's bins, or a log of its ties, holds at most: past that, the
    // partition over codes costs less than reading them.
    static std::size_t listed_most(std::size_t count) { return count / 64 + 64; }
    NodeSides root_sides() const {
        const std::size_t words = kernels::side_words(st_.n_features);
        return {nullptr, st_.side_words.data(), words};
    }
    // The root's children's ranges from its extreme bins; false where the partition takes them.
    bool listed_ranges(const NodeTask& task, const Choice& choice, double threshold);

    void assign(ConstPositionPtr positions, std::size_t begin, std::size_t end, double value);
    // The fitted values of samples [begin, end) of a level's positions, on this thread.
    void fill(ConstPositionPtr positions, std::size_t begin, std::size_t end, double value);
    // The fitted values of the leaves under the nodes noted in sc_.leaf_tags, in one pass
    // over every sample in order (grower_leaf_tags.cpp); their splits complete.
    void fill_in_order();

    // Chunks of a large node's rows, one per team task; the first task of each step also
    // takes a slice of the pending chains (see chunk_task), sized by the node's partition:
    // `moving` unless its children cannot split.
    void split_into_chunks(std::size_t count, bool moving);
    // How many chunks a team step over `count` rows takes.
    std::size_t team_chunks(std::size_t count) const;
    // The first of `chunks` chunks of `count` rows (the rest share the others evenly): a
    // thread's share less the rows its task gives up for a slice of `left` pushes (deficit_).
    std::size_t first_chunk(std::size_t count, std::size_t chunks, bool moving, std::size_t left);

    // Task t of a large node's `step` over chunks: body() does its rows, and the first task
    // pushes the chains' slice before.
    template <class Body>
    void chunk_task(std::size_t t, ChunkStep step, Body&& body) {
        if (t == 0 && deficit_ > 0) {
            const double want = static_cast<double>(deficit_) * pushes_per_row(step);
            sc_.pending.advance(st_.kernels,
                                std::min(sc_.pending.next_slice_length(), static_cast<std::size_t>(want)));
        }
        body();
    }

    // The rule fit of one node: every feature's range, one draw per non-constant feature
    // in feature order, and the first feature of least impurity.
    // Fills `choice` and returns true where the node splits. Arguments and the choice by
    // reference: copies of structs just written stall on their stores.
    bool find_split(std::size_t begin, std::size_t count, const NodeData& data, bool root, bool large,
                    double shift, const RangeSet* ranges, const NodeSides& sides, Choice& choice);

    // find_split's ranges and draws into the scratch; false where the node cannot split.
    bool draw_split(std::size_t begin, std::size_t count, const NodeData& data, bool root, bool large,
                    const RangeSet* ranges, Draws& d);
    // The failure a node's draws held back.
    static void raise(Pending pending);

    // Every drawn feature's exact statistics, the least impurity first in feature order.
    bool exact_choice(const double* rows, std::size_t count, const double* y, bool large, std::size_t stop,
                      Choice& choice);

    // The estimates pick the candidates; only they get exact statistics. A lone candidate
    // is the winner, and its statistics come from the pass over its children.
    bool certified_choice(const double* rows, ConstPositionPtr index, const code_t* codes, std::size_t count,
                          const double* y, bool large, double shift, std::size_t stop, const NodeSides& sides,
                          Choice& choice);

    // The choice from the estimate pass's sums (in the scratch) and the node's summary.
    bool certified_pick(const double* rows, ConstPositionPtr index, std::size_t count, const double* y,
                        double shift, std::size_t stop, const NodeTargets& node, Choice& choice);

    // The summary of the node's targets and, per feature, the rows above the threshold and their
    // sum. A large node's chunks of rows run on the team; their sums add in any order.
    // `codes`: the node's codes in its rows' order (NodeData::codes), or null.
    NodeTargets masked_sums(const double* rows, ConstPositionPtr index, const code_t* codes, std::size_t count,
                            const double* y, bool large, double shift, NodeSides sides);

    void value_ranges(const double* rows, ConstPositionPtr index, std::size_t count, bool large,
                      double* min, double* max, std::int64_t* has_nan);
    // The root's ranges into the fitter's state through the matrix's codes, where it has
    // them and no NaN is read; false otherwise.
    bool root_ranges_from_codes(const double* rows, std::size_t count, bool large);
    // The team's chunks' ranges (TreeFitterState::chunk_min and the rest) as one node's.
    void combine_chunk_ranges(double* min, double* max, std::int64_t* has_nan) const;

    // The thresholds' bins, for the passes over codes.
    void code_search();

    void side_statistics(const double* rows, std::size_t count, const double* y, bool large);

    double impurity(std::size_t f) const;

    // Stable partition of [begin, end) into the buffers of `level`: left side first. Targets
    // always move; the children's value ranges are taken when they may split. The lone
    // candidate's statistics ride along where the rows take long to arrive (on a team,
    // with the first chunk); the rest are left pending. Children read the matrix in place
    // through their positions, which ascend, so the reads run forward: copying rows costs
    // more than it saves, and a first fit would pay for the fresh pages too. Only every
    // feature's exact statistics need the rows side by side. Their codes are another
    // matter in a deep tree: a fifth of a row's doubles, read by both passes of every
    // level, so they move with the rows there (TreeFitterState::code_rows). A large
    // node's chunks are placed by the left counts where each one starts.
    NodeData partition(std::size_t level, std::size_t begin, std::size_t end, Choice& choice,
                       double threshold, NodeData data, bool move_rows, bool take_ranges, bool large,
                       std::array<RangeSet, 2>& child_ranges, NodeSides sides);

    TreeFitterState& st_;
    const TreeParameters& params_;
    double* fitted_;
    NodeScratch& sc_;
    Piece& piece_;
    std::vector<DeferredSubtree>* deferred_;
    const bool certified_;
    // The estimate pass and the partition read the rows' byte codes, and their doubles
    // only where the codes cannot decide.
    const bool coded_;
    // Rows the first chunk of a large node gives up for the pending chains' slice.
    std::size_t deficit_ = 0;
    // Set while a node is partitioned whose leaves fill_in_order fills: they need no positions.
    bool leaves_by_tags_ = false;
    // Set from the root's draws to its partition where root_listed; the logs its pass filled.
    bool log_ties_ = false;
    std::size_t tie_logs_ = 0;
    // Whether the level's pass on the team shortened its first chunk for a slice: each
    // node's partition then takes its part of the slice with its share of that chunk.
    bool level_sliced_ = false;
};

}  // namespace vandu
