// The working state of tree fitting: the level buffers, each thread's scratch arrays and
// the records of nodes grown before they are numbered.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/matrix.hpp"
#include "core/memory.hpp"
#include "core/worker_pool.hpp"
#include "tree/kernels/code_kernels.hpp"
#include "tree/decision_tree.hpp"
#include "tree/fit/feature_codes.hpp"
#include "tree/kernels/node_kernels.hpp"
#include "tree/fit/pending_chains.hpp"
#include "tree/fit/root_bins.hpp"
#include "tree/fit/split_search.hpp"

namespace vandu {

// A node this large (rows x padded features) is worth a team step per pass.
constexpr std::size_t large_node_values = std::size_t{1} << 15;
// A large node's rows in this many chunks per team thread, from four times that size: a
// thread whose core another process holds for a while leaves the chunks it has not
// started to the others, instead of holding up the whole step.
constexpr std::size_t chunks_per_thread = 2;
// A node whose rows span this many values (2 MiB, beyond a core's second-level cache)
// waits on their arrival in its partition: its winner's statistics and its children's
// ranges ride there. Smaller ones leave the statistics to run beside other chains, and
// their children take their own ranges, faster than through running ranges in memory.
constexpr std::size_t ride_node_values = std::size_t{1} << 18;
// Target buffers by level (level modulo this): a node's children's targets stay in place
// for its statistics until its descendants this many levels down are partitioned.
constexpr std::size_t max_target_slots = 5;

// One side's value ranges, taken by the partition that fills it.
struct RangeSet {
    std::vector<double> min, max;
    std::vector<code_t> min_code, max_code;  // in whole groups of codes
    std::size_t count = 0;

    void size(std::size_t stride) {
        min.assign(stride, 0.0);
        max.assign(stride, 0.0);
        const std::size_t groups = (stride + FeatureCodes::group - 1) / FeatureCodes::group;
        min_code.assign(groups * FeatureCodes::group, 0);
        max_code.assign(groups * FeatureCodes::group, 0);
    }
    // The side's arrays for a partition to fill (count left as it was: see fresh).
    kernels::SideRanges arrays() { return {min.data(), max.data(), 0, min_code.data(), max_code.data()}; }
    kernels::SideRanges fresh() {
        count = 0;
        return arrays();
    }
    // Appends a later run of the same side, under the same rules: the first minimum, the
    // last maximum.
    void append(const kernels::SideRanges& run) {
        if (run.count == 0) return;
        for (std::size_t f = 0; f < min.size(); ++f) {
            if (count == 0) {
                min[f] = run.min[f];
                max[f] = run.max[f];
                continue;
            }
            if (min[f] > run.min[f]) min[f] = run.min[f];
            if (!(max[f] > run.max[f])) max[f] = run.max[f];
        }
        count += run.count;
    }
};

// A node of a level grown at once (Grower::grow_levels): its draws, their bins and its
// estimate pass's counts and sums, kept from its draws to its partition.
struct LevelNode {
    std::vector<double> threshold;
    std::vector<char> drawn;
    std::vector<code_t> code_above, code_tie;
    std::vector<std::uint32_t> code_exact;
    std::vector<CodeThreshold> code_side;
    std::vector<std::int64_t> above;
    std::vector<double> sum_above;
    // Where the level's pass ran on the team (chunks > 0): the node's positions where each
    // chunk of samples starts, and each chunk's counts, sums and summary, for the chunks
    // of its partition.
    std::size_t chunks = 0;
    std::vector<std::size_t> chunk_start;
    std::vector<std::int64_t> chunk_above;
    std::vector<double> chunk_sum;
    std::vector<NodeTargets> chunk_targets;
};

// By tag (TreeFitterState::tags), the split nodes of a level whose children are all leaves:
// a sample's leaf is its node's side, bit `feature` % 32 of its row's words (noted by the
// node's estimate pass, `per_row` words a row in the node's order, which is sample order).
struct LeafTags {
    static constexpr std::size_t none = SIZE_MAX;
    struct Node {
        std::size_t node = none;  // in the grower's piece; none: filled otherwise
        const std::uint32_t* sides = nullptr;
        std::size_t feature = 0;
        // On the team: the node's rows before each chunk of samples (LevelNode::chunk_start).
        const std::size_t* chunk_start = nullptr;
    };
    Node by_tag[kernels::max_tagged_nodes];
    std::size_t tags = 0;  // 0: no level waits
    std::size_t per_row = 0;
    std::size_t chunks = 0;  // of the team's pass that tagged the level (0: one thread's)
};

// The working arrays of one node's passes, one entry per (padded) feature.
struct NodeScratch {
    explicit NodeScratch(std::size_t stride) {
        for (auto* v : {&threshold, &count_left, &mean_left, &m2_left, &count_right, &mean_right, &m2_right})
            v->assign(stride, 0.0);
        drawn.assign(stride, 0);
        own_ranges.size(stride);
        own_nan.assign(stride, 0);
        above.assign(stride, 0);
        sum_above.assign(stride, 0.0);
        const std::size_t groups = (stride + FeatureCodes::group - 1) / FeatureCodes::group;
        code_above.assign(groups * FeatureCodes::group, FeatureCodes::none);
        code_tie.assign(groups * FeatureCodes::group, 0);
        code_exact.assign(groups, 0);
        code_side.assign(stride, CodeThreshold{FeatureCodes::none, 0, false});
    }
    std::vector<double> threshold;
    // Every feature's exact statistics, for fits beyond the estimate's bound.
    std::vector<double> count_left, mean_left, m2_left, count_right, mean_right, m2_right;
    std::vector<char> drawn;
    // The certified search: rows above each threshold, their shifted targets' sum, and the
    // features still in the running.
    std::vector<std::int64_t> above;
    std::vector<double> sum_above;
    std::vector<std::size_t> candidates;
    // The thresholds read through the byte codes (kernels::CodeSearch), and by feature.
    std::vector<code_t> code_above, code_tie;
    std::vector<std::uint32_t> code_exact;
    std::vector<CodeThreshold> code_side;
    // Both children's ranges, by the children's level: a right child's survive the
    // growing of its left sibling's subtree, which writes only deeper levels.
    std::vector<std::array<RangeSet, 2>> levels;
    // A node's own ranges, where its parent did not take them.
    RangeSet own_ranges;
    std::vector<std::int64_t> own_nan;
    // Statistics left to run side by side, and what waits on them.
    PendingChains pending;
    // The sides a flush settles, kept between flushes.
    std::vector<PendingSettle> settling;
    // The nodes of a level grown at once.
    std::vector<LevelNode> level_nodes;
    // Where each chunk of samples of the last level's pass on the team begins (and the end):
    // the leaves filled in order take the same chunks.
    std::vector<std::size_t> level_bounds;
    // The last level grown at once on one thread, whose leaves a flush fills in one pass in
    // sample order (Grower::fill_in_order) instead of leaf by leaf through positions.
    LeafTags leaf_tags;
};


// Whether a fit over codes grows its top levels at once (Grower::grow_levels): codes
// beyond the caches, where the code kernels stream them fast enough (`tags_pay`).
bool levels_at_once(bool tags_pay, std::size_t code_bytes);
// The widest rows whose levels grow at once: measured up to 200 features. A block of 64
// rows of 256 features is 32 KiB of codes, the first-level cache, which the tagged pass's
// groups read in turn; beyond, unmeasured.
inline constexpr std::size_t max_level_features = 256;
// Tests only: from this many bytes of codes on, whatever the kernel (SIZE_MAX: as by default).
void set_level_tag_bytes_for_testing(std::size_t bytes);

// Whether a fitter of n samples keeps 8-byte positions: from 2^32 samples, or while a test
// asks for them (set_wide_positions_for_testing).
bool needs_wide_positions(std::size_t n_samples);
void set_wide_positions_for_testing(bool on);

// A level's data: row s at rows[s * stride], or, indexed, the matrix's row positions[s]
// (the ascending sample positions of each node: large nodes read the matrix in place
// rather than pay for copies of their rows).
struct NodeData {
    const double* rows;
    const double* targets;
    ConstPositionPtr positions;  // null: position s is sample s
    bool indexed = false;
    // Over codes: position s's codes at codes[s * pitch], copied there by the parent's
    // partition (null: the matrix's, through the positions).
    const code_t* codes = nullptr;
};

enum class Pending { none, nan_value, infinite_bound };

// Grown nodes before they are numbered. A child is NO_CHILD, a node of the same piece
// (>= 0), or the subtree of a deferred task (first_deferred - task).
constexpr std::int64_t first_deferred = -2;

struct GrownNode {
    Split split;
    std::int64_t child[2] = {NO_CHILD, NO_CHILD};
    bool done = false;  // both subtrees built
    std::array<std::uint64_t, 2> samples{};  // rows at the node, rows on its left
};

using Piece = std::vector<GrownNode>;

// A node to grow: rows [begin, end) of its level's buffers, the levels it may still
// split, how its rows are read, a value near its targets' mean to shift them by (any
// finite one is sound), and its value ranges where its parent's partition took them.
struct NodeTask {
    std::size_t level, begin, end;
    std::uint8_t budget;
    bool root;
    NodeData data;
    double shift;
    const RangeSet* ranges;
};

// A small node whose subtree is grown later, as a task of its own. Its shift becomes its
// side's mean once its parent's statistics are in: also its samples' fitted value if it
// makes no node.
struct DeferredSubtree {
    NodeTask task;    // task.ranges is set from `ranges` when it runs
    RangeSet ranges;  // when its parent took them
    bool has_ranges;
    std::size_t parent = 0;  // in the main piece
    int side = 0;
};

// A fit between TreeFitter::start and finish.
struct InFlight {
    DecisionTreeImpl* tree = nullptr;
    double* fitted = nullptr;
    bool certified = false;
    bool spread = false;
    bool open = false;
    bool level_order = false;  // the main piece's nodes are not in pre-order
    Piece main;
    std::vector<DeferredSubtree> deferred;
    std::vector<Piece> pieces;
    std::int64_t root = NO_CHILD;

    // As new, but the lists keep their memory: a boosting fit starts a tree per stage.
    void reset() {
        tree = nullptr;
        fitted = nullptr;
        certified = spread = open = false;
        main.clear();
        deferred.clear();
        pieces.clear();
        root = NO_CHILD;
    }
};

class TreeFitterState {
public:
    explicit TreeFitterState(MatrixView x)
        : n_features(x.rows),
          n_samples(x.cols),
          stride((x.rows + kernels::kernel_width - 1) / kernels::kernel_width *
                 kernels::kernel_width),
          kernels(kernels::node_kernels()),
          code_kernels(kernels::code_kernels()),
          wide_positions(needs_wide_positions(n_samples)),
          team(n_samples * stride >= 2 * large_node_values ? team_size() : 1) {
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
        for (std::size_t t = 0; t < team; ++t) scratch.emplace_back(stride);
        const std::size_t most = team > 1 ? chunks_per_thread * team : 1;
        chunk_min.assign(most * stride, 0.0);
        chunk_max.assign(most * stride, 0.0);
        chunk_nan.assign(most * stride, 0);
        chunk_start.assign(most + 1, 0);
        mark_counts.assign(most * stride, 0.0);
        chunk_above.assign(most * stride, 0);
        chunk_sum_above.assign(most * stride, 0.0);
        chunk_targets.assign(most, NodeTargets{});
        chunk_ranges.resize(2 * most);
        chunk_sides.resize(2 * most);
        for (auto& r : chunk_ranges) r.size(stride);
        root_min.assign(stride, 0.0);
        root_max.assign(stride, 0.0);
        root_has_nan.assign(stride, 0);
    }

    const std::size_t n_features;
    const std::size_t n_samples;
    const std::size_t stride;
    const kernels::NodeKernels& kernels;
    const kernels::CodeKernels& code_kernels;
    // The width of the positions, for every fit of the fitter: 8 bytes only from 2^32 samples.
    const bool wide_positions;
    const std::size_t team;  // threads a large node's passes run on

    const double* source = nullptr;
    std::vector<double> source_copy;
    // Made by the first fit that searches through them, for every fit on this matrix.
    FeatureCodes codes;
    std::size_t certified_fits = 0;
    // Level buffers are written before they are read: no need to zero them.
    UninitBuffer<double> rows[2];
    // The level buffers below, in one block: a large one is asked for in huge pages, and
    // a fit on fresh memory takes a few faults instead of one per page.
    UninitBuffer<std::uint64_t> level_block;
    std::vector<double*> targets;  // max_target_slots of them at most
    PositionPtr positions[2];
    std::vector<NodeScratch> scratch;  // by team task
    // A large node's chunks of rows (`chunks` of them, taken by the team's threads as they
    // come free): their starts (relative to the node), their value ranges, and the left
    // counts of every feature where each chunk starts.
    std::size_t chunks = 1;
    std::vector<std::size_t> chunk_start;
    std::vector<double> chunk_min, chunk_max;
    std::vector<std::int64_t> chunk_nan;
    std::vector<double> mark_counts;
    std::vector<std::int64_t> chunk_above;
    std::vector<double> chunk_sum_above;
    std::vector<NodeTargets> chunk_targets;
    // Each row's sides, by level position, from the masked pass of a node whose children
    // cannot split: its partition then reads them instead of the rows. Only fits that read
    // doubles note them: a fitter with codes gives the memory back.
    UninitBuffer<std::uint64_t> side_bits;
    // The same from the pass over codes, a word per 32 features (kernels::side_words): a
    // node of the last level reads no line of codes in its partition. Matrices of at most
    // kernels::max_side_features features only.
    UninitBuffer<std::uint32_t> side_words;
    // For levels grown at once: each sample's node in its level (grower_levels.cpp).
    UninitBuffer<std::uint8_t> tags;
    // Each level's codes in its rows' order, by level modulo 2 as the positions, for deep
    // trees: below the root a node's rows lie scattered over the matrix, a line of codes
    // each from memory, read by both its passes; in order they stream, and the partition
    // that places them writes them on its way.
    UninitBuffer<code_t> code_rows[2];
    bool codes_in_order = false;
    // A last fit's even levels write over the matrix's codes (read by the root alone), and
    // a fit after it makes them again.
    bool last_fit = false, codes_spent = false;
    code_t* level_codes(std::size_t slot) {
        return slot == 0 && last_fit ? codes.writable() : code_rows[slot].data();
    }
    std::vector<RangeSet> chunk_ranges;  // by chunk and side
    std::vector<kernels::SideRanges> chunk_sides;
    bool root_ranges_known = false;

    // Whether placing `buffers` target buffers would move the level block, or place them
    // elsewhere in it.
    bool moves_levels(std::size_t buffers, bool slot0) const {
        return level_block.size() < level_words(buffers - !slot0) || slot0 != target_slot0;
    }
    // Places `buffers` target buffers (at least `slots`) and two of positions in the block.
    // Without slot0, buffer 0 takes no memory: the root reads y in place and the last
    // level's children, whose buffer it would be, have none (see Chain::index).
    void size_levels(std::size_t slots, std::size_t buffers, bool slot0) {
        const std::size_t n = n_samples, placed = buffers - !slot0;
        level_block.resize(level_words(placed));
        std::uint64_t* at = level_block.data();
        target_slots = slots;
        target_slot0 = slot0;
        targets.resize(buffers);
        // Targets are doubles placed in the block; both buffers of 4-byte positions share
        // one buffer's words.
        for (std::size_t k = 0; k < buffers; ++k)
            targets[k] = slot0 || k > 0 ? reinterpret_cast<double*>(at + (k - !slot0) * n) : nullptr;
        positions[0] = {at + placed * n, wide_positions};
        positions[1] = positions[0] + n;
    }
    std::size_t level_words(std::size_t buffers) const { return (buffers + (wide_positions ? 2 : 1)) * n_samples; }
    // The target buffer of a level: level modulo the slots, where every other tree of a
    // fitter that carries statistics takes a second buffer for slots 1 to `doubled_slots`
    // (after the first set).
    std::size_t target_index(std::size_t level) const {
        const std::size_t k = level % target_slots;
        return k != 0 && k <= doubled_slots && second_set ? target_slots + k - 1 : k;
    }
    // Whether `buffer` has a second one, which the next tree writes instead.
    bool doubled(std::size_t buffer) const {
        return buffer != 0 && (buffer <= doubled_slots || buffer >= target_slots);
    }
    // Whether the tree about to grow (second_set already its own) writes `buffer`.
    bool rewritten(std::size_t buffer) const {
        if (buffer == 0 || buffer == PendingChains::stashed) return false;
        return buffer >= target_slots ? second_set : buffer > doubled_slots || !second_set;
    }
    std::size_t target_slots = 0;
    std::size_t doubled_slots = 0;
    bool target_slot0 = true;
    // The root's targets: without slot 0 the last level's statistics read them in place
    // (a boosting stage's residuals: its other leaves settle other samples meanwhile).
    const double* root_targets = nullptr;
    bool second_set = false;
    std::vector<double> root_min, root_max;
    std::vector<std::int64_t> root_has_nan;
    // The rows of the root's extreme bins, from the codes (cleared when they are made), and
    // the root's estimate pass's ties by chunk: its children's ranges come from them.
    RootBins root_bins;
    std::vector<kernels::TieLog> root_ties;
    InFlight in_flight;
    // The tree's node of each node of the main piece (kept between fits for its memory).
    std::vector<std::size_t> placed;
    // Set: the fitted values are taken, times this, off what `fitted` holds (see
    // TreeFitter::subtract_fitted).
    std::optional<double> subtract_rate;
};


// The winner of a node's search; its statistics are known unless they are left to the
// pass over its children (which may push the first of them) and a run of chains after.
struct Choice {
    std::size_t feature;
    std::size_t n_left;
    bool exact;
    std::array<RunningStats, 2> sides;  // left, right
    double estimate[2];                 // of the sides' means, to shift the children by
    const double* rest[2] = {nullptr, nullptr};  // the targets left to push on each side
    std::size_t rest_n[2] = {0, 0};
    // Where the children have no target buffer: rest[side] is the root's targets, read
    // through these positions.
    ConstPositionPtr rest_index[2] = {nullptr, nullptr};
};

}  // namespace vandu
