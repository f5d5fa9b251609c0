// The running statistics a grower has left pending: one chain of dependent divisions per
// side of a split, pushed in sample order, and the training samples whose fitted value
// waits on a side's mean. The chains run side by side in vector lanes: a slice at a time
// while the grower's later nodes are split (the first team task of each of their steps
// takes the slice), and what is left of them in one run when their values are needed.
// Every chain is still exactly its defined pushes; only when they run changes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/numerics.hpp"
#include "tree/node_kernels.hpp"

namespace vandu {

// A split whose side statistics are still to be pushed: each side continues from what
// `sides` holds with the targets at y[side], n[side] of them.
struct PendingSplit {
    std::size_t node, level;
    std::array<RunningStats, 2> sides;
    const double* y[2];
    std::size_t n[2];
};

// Training samples of a side without a child, to get that side's value once known.
struct PendingSettle {
    std::size_t node;  // in the grower's piece, whose split the flush completes first
    int side;
    const std::uint64_t* positions;
    std::size_t begin, end;
};

class PendingChains {
public:
    // A slice runs at most this many chains: one call's vector lanes.
    static constexpr std::size_t slice_chains = 12;

    // A new grower's levels (what is pending stays so: a fit's last grower completes it).
    void size_levels(std::size_t levels) { level_waits_.assign(levels, 0); }
    bool empty() const { return splits_.empty(); }

    void add_split(const PendingSplit& split) { splits_.push_back(split); }
    void add_settle(const PendingSettle& settle) { settles_.push_back(settle); }
    // Whether the latest node of `level` left its statistics pending (it is the ancestor of
    // every node grown below it since): its children's targets must stay in place.
    void mark_level(std::size_t level, bool waits) { level_waits_[level] = waits; }
    bool level_waits(std::size_t level) const { return level_waits_[level] != 0; }

    // The remaining chains, roughly longest first, which keeps the lanes full to the end:
    // a node's sides are about half as long as its parent's, so level by level.
    void collect(std::vector<kernels::Chain>& out);

    // Pushes left in the longest chain the next slice takes.
    std::size_t next_slice_length();
    // Pushes up to `steps` more targets onto each chain of the next slice.
    void advance(const kernels::NodeKernels& kernels, std::size_t steps);

    // Runs what is left of every chain (unless that was done with other fits' chains),
    // spread over `team` threads when there are at least `team_pushes` pushes; then
    // hands each split's side statistics to complete(node, sides) and each waiting side
    // to settle(settle, node), and forgets them.
    template <class Complete, class Settle>
    void flush(const kernels::NodeKernels& kernels, std::size_t team, std::size_t team_pushes, bool chains_done,
               Complete&& complete, Settle&& settle) {
        if (!chains_done) run_all(kernels, team, team_pushes);
        for (const PendingSplit& p : splits_) complete(p.node, p.sides);
        for (const PendingSettle& w : settles_) settle(w);
        splits_.clear();
        settles_.clear();
        std::fill(level_waits_.begin(), level_waits_.end(), 0);
    }

private:
    void run_all(const kernels::NodeKernels& kernels, std::size_t team, std::size_t team_pushes);

    std::vector<PendingSplit> splits_;
    std::vector<PendingSettle> settles_;
    std::vector<char> level_waits_;
    std::vector<kernels::Chain> chains_;
};

// Pushes of a slice that take about as long as a row of a step's chunk (measured on
// coded nodes of 20 features: a push is one division's latency, a row of the estimate
// pass about as long, of a partition that moves rows and takes ranges twice that, of one that only sorts the
// targets by sides about as long again). They
// decide only who does what when, never a result.
enum class ChunkStep { sums, partition, ranges, sides };
inline double pushes_per_row(ChunkStep step) {
    return step == ChunkStep::partition ? 2.0 : 1.0;
}

}  // namespace vandu
