// The running statistics a grower has left pending: one chain of dependent divisions per
// side of a split, pushed in sample order, and the training samples whose fitted value
// waits on a side's mean. The chains run side by side in vector lanes: a slice at a time
// while the grower's later nodes are split (the first team task of each of their steps
// takes the slice), and what is left of them in one run when their values are needed,
// which pushes the others on as far as its longest chain. Every chain is still exactly
// its defined pushes; only when they run changes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/numerics.hpp"
#include "tree/kernels/node_kernels.hpp"
#include "tree/fit/split_rule.hpp"

namespace vandu {

// A split whose side statistics are still to be pushed: each side continues from what
// `sides` holds with the targets at y[side], n[side] of them.
// Once its tree is assembled, a split no fitted value waits on may run on into the next
// trees' steps (carried): it then completes `out`, and its targets stay in `buffer`.
// A split of the last level whose children have no target buffer reads each side's
// targets through the side's positions (Chain::index): y is then where the root read them.
struct PendingSplit {
    std::size_t node, level;
    std::array<RunningStats, 2> sides;
    const double* y[2];
    std::size_t n[2];
    std::size_t buffer = 0;  // the fitter's target buffer that holds y
    bool needed = false;     // by a side's fitted values or a subtree grown from its mean
    // Its buffer has a second one, which the next tree writes instead; or what is left of
    // its targets moves to the stash at its tree's end (PendingChains::stash).
    bool carriable = false;
    Split* out = nullptr;    // of a carried split
    ConstPositionPtr index[2] = {nullptr, nullptr};

    // The side goes on after its next k targets, pushed.
    void pushed(int side, std::size_t k) {
        if (index[side])
            index[side] = index[side] + k;
        else
            y[side] += k;
        n[side] -= k;
    }
};

// Builds a new element default-initialized, not zeroed first: a split is written in
// place by its grower (add_split), and zeroing it took a string instruction.
template <class T>
struct InPlaceAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = InPlaceAllocator<U>;
    };
    InPlaceAllocator() = default;
    template <class U>
    InPlaceAllocator(const InPlaceAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        std::construct_at(p, std::forward<A>(a)...);
    }
};

// Training samples of a side without a child, to get that side's value once known.
struct PendingSettle {
    std::size_t node;  // in the grower's piece, whose split the flush completes first
    int side;
    ConstPositionPtr positions;
    std::size_t begin, end;
};

// Threads from which a team's steps take slices of the chains. On fewer, slices of a few
// chains in lanes meant for twelve cost more than they save.
std::size_t slice_team();
// Tests take slices on any team and cap their pushes, so that statistics are left to
// carry too.
void set_slices_for_testing(bool on, std::size_t cap);

class PendingChains {
public:
    // A slice runs at most this many chains: one call's vector lanes.
    static constexpr std::size_t slice_chains = 12;

    // A new grower's levels (what is pending stays so: a fit's last grower completes it).
    void size_levels(std::size_t levels) { level_waits_.assign(levels, 0); }
    bool empty() const { return splits_.empty(); }

    void add_split(const PendingSplit& split) { splits_.push_back(split); }
    // A new split for the caller to write in place (its node, level, y and n are not
    // set): a copy of one just written would stall on its stores.
    PendingSplit& add_split() { return splits_.emplace_back(); }
    void add_settle(const PendingSettle& settle) {
        settles_.push_back(settle);
        need(settle.node);
    }
    // The grower's split of `node` must be complete before its tree is.
    void need(std::size_t node) {
        // The grower's own splits have distinct nodes, its latest at the back.
        for (std::size_t i = splits_.size(); i-- > 0;)
            if (!splits_[i].out && splits_[i].node == node) {
                splits_[i].needed = true;
                return;
            }
    }
    // Whether the latest node of `level` left its statistics pending (it is the ancestor of
    // every node grown below it since): its children's targets must stay in place.
    void mark_level(std::size_t level, bool waits) { level_waits_[level] = waits; }
    bool level_waits(std::size_t level) const { return level_waits_[level] != 0; }

    // The remaining chains, roughly longest first, which keeps the lanes full to the end:
    // a node's sides are about half as long as its parent's, so level by level.
    void collect(std::vector<kernels::Chain>& out);

    // Pushes the next slice takes: those of its longest chain beyond the longest that the
    // last end ran for a side without a child (the next end will run one about as long,
    // and the rest beside it in the lanes).
    std::size_t next_slice_length();
    // Pushes up to `steps` more targets onto each chain of the next slice.
    void advance(const kernels::NodeKernels& kernels, std::size_t steps);

    // Runs what is left of every chain (unless that was done with other fits' chains),
    // spread over `team` threads when there are at least `team_pushes` pushes; then
    // hands each split's side statistics to complete(node, sides) and each waiting side
    // to settle(settle, node), and forgets them.
    // Carried splits complete their `out`. Which splits complete: all, the grower's own
    // (carried ones stay), those marked needed (the rest stay, to be carried), or at a
    // stage's end those and every split carried from the stage before (in the same run
    // over the team, before the next stage writes their buffers).
    enum class Which { all, own, needed, stage_end };
    template <class Complete, class Settle>
    void flush(const kernels::NodeKernels& kernels, std::size_t team, std::size_t team_pushes, bool chains_done,
               Complete&& complete, Settle&& settle, Which which = Which::all) {
        // The longest chain this end runs whatever the slices did: a side without a child
        // waits on it. (A flush of carried splits alone leaves the length as it was.)
        std::size_t end_length = 0;
        for (const PendingSplit& p : splits_)
            if (p.needed && !p.out) end_length = std::max({end_length, p.n[0], p.n[1]});
        if (end_length > 0) end_length_ = end_length;
        mark(which);
        if (!chains_done) run(kernels, team, team_pushes, which == Which::stage_end);
        if (which == Which::stage_end) stash();
        std::size_t kept = 0;
        for (PendingSplit& p : splits_) {
            if (!p.needed) {
                splits_[kept++] = p;
                continue;
            }
            if (p.out)
                complete_split(*p.out, p.sides);
            else
                complete(p.node, p.sides);
        }
        splits_.resize(kept);
        for (const PendingSettle& w : settles_) settle(w);
        settles_.clear();
        std::fill(level_waits_.begin(), level_waits_.end(), 0);
    }

    // The grower's splits left pending: each completes the split where(node) from now on.
    template <class Where>
    void carry(Where&& where) {
        for (PendingSplit& p : splits_)
            if (!p.out) p.out = where(p.node);
    }
    // A run in parts, for chains run with other fits' (which mark the same way first):
    // the splits a flush with `which` completes; their chains; the others' chains, each
    // cut to at most `pushes`; then the pushes of the chains run (of these splits) noted.
    void mark(Which which) {
        // A split whose chains are all pushed completes now.
        for (PendingSplit& p : splits_)
            p.needed = which == Which::all || (which == Which::own && !p.out) || (p.n[0] == 0 && p.n[1] == 0) ||
                       (which == Which::needed && p.needed) ||
                       (which == Which::stage_end && (p.needed || p.out || !p.carriable));
    }
    void marked_chains(std::vector<kernels::Chain>& out) { chains_of(out, true, SIZE_MAX); }
    void other_chains(std::vector<kernels::Chain>& out, std::size_t pushes) { chains_of(out, false, pushes); }
    void ran(const std::vector<kernels::Chain>& chains);
    // Where the next tree writes over a carried split's targets: at a stage's end what is
    // left of them moves here (up to `values`, 0 for none), and a split's chains are cut
    // no shorter than that needs.
    void stash_up_to(std::size_t values) { stash_capacity_ = values; }
    bool stashes() const { return stash_capacity_ > 0; }
    static constexpr std::size_t stashed = SIZE_MAX;  // a split's buffer once its targets moved

    // Carried splits complete moved(node, out) instead (where their tree was assembled).
    template <class Moved>
    void move_carried(Moved&& moved) {
        for (PendingSplit& p : splits_)
            if (p.out) p.out = moved(p.node, p.out);
    }
    // Completes the carried splits whose targets lie in a buffer for which
    // reused(buffer) holds, before it is written.
    template <class Reused>
    void complete_carried(const kernels::NodeKernels& kernels, Reused&& reused) {
        bool any = false;
        for (PendingSplit& p : splits_) {
            p.needed = p.out && reused(p.buffer);
            any = any || p.needed;
        }
        if (any) flush(kernels, 1, 0, false, [](std::size_t, const std::array<RunningStats, 2>&) {},
                       [](const PendingSettle&) {}, Which::needed);
    }

private:
    static void complete_split(Split& out, const std::array<RunningStats, 2>& sides) {
        out.impurity = split_impurity(sides[0], sides[1]);
        out.values = {sides[0].mean, sides[1].mean};
    }
    // Runs the chains of the needed splits; with `advance_rest`, the others' too, as far as
    // the longest of those runs (in lanes that would otherwise idle).
    void run(const kernels::NodeKernels& kernels, std::size_t team, std::size_t team_pushes, bool advance_rest);
    void chains_of(std::vector<kernels::Chain>& out, bool needed, std::size_t pushes);
    // The split whose side `stats` is, or splits_.size() for another's.
    std::size_t split_of(const RunningStats* stats) const;
    // The pushes after which what is left of a carriable split's sides fits the stash.
    std::size_t stash_cut(const PendingSplit& p) const;
    // Moves what is left of the targets of the splits that stay into the stash.
    void stash();
    std::vector<double> stash_;
    std::size_t stash_capacity_ = 0;

    std::vector<PendingSplit, InPlaceAllocator<PendingSplit>> splits_;
    std::vector<PendingSettle> settles_;
    std::vector<char> level_waits_;
    std::vector<kernels::Chain> chains_;
    // The longest chain of a side without a child that the last end ran.
    std::size_t end_length_ = 0;
};

// Pushes of a slice that take about as long as a row of a step's chunk (measured on coded
// nodes of 20 features, each task of a step alone on one thread: a push is about a
// division's latency, a row of the estimate pass about as long, of a partition that
// moves rows and takes ranges a quarter more, of one that only sorts the targets by the
// sides' words a quarter of that). They decide only who does what when, never a result.
enum class ChunkStep { sums, partition, ranges, sides };
inline double pushes_per_row(ChunkStep step) {
    return step == ChunkStep::partition ? 1.25 : step == ChunkStep::sides ? 0.25 : 1.0;
}

}  // namespace vandu
