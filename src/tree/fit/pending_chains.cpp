#include "tree/fit/pending_chains.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/worker_pool.hpp"

namespace vandu {
namespace {
std::atomic<std::size_t> slice_cap{SIZE_MAX};
std::atomic<std::size_t> sliced_from{4};
}  // namespace

std::size_t slice_team() { return sliced_from.load(std::memory_order_relaxed); }

void set_slices_for_testing(bool on, std::size_t cap) {
    sliced_from.store(on ? 2 : 4, std::memory_order_relaxed);
    slice_cap.store(cap, std::memory_order_relaxed);
}

void PendingChains::collect(std::vector<kernels::Chain>& out) {
    std::size_t deepest = 0;
    for (const PendingSplit& p : splits_) deepest = std::max(deepest, p.level);
    for (std::size_t level = 0; level <= deepest; ++level)
        for (PendingSplit& p : splits_) {
            if (p.level != level) continue;
            for (int side = 0; side < 2; ++side)
                if (p.n[side] > 0)
                    out.push_back({p.y[side], p.n[side], &p.sides[side], p.index[side]});
        }
}

std::size_t PendingChains::next_slice_length() {
    chains_.clear();
    collect(chains_);
    std::size_t longest = 0;
    for (std::size_t i = 0; i < chains_.size() && i < slice_chains; ++i) longest = std::max(longest, chains_[i].n);
    return longest > end_length_ ? longest - end_length_ : 0;
}

void PendingChains::advance(const kernels::NodeKernels& kernels, std::size_t steps) {
    steps = std::min(steps, slice_cap.load(std::memory_order_relaxed));
    if (steps == 0 || splits_.empty()) return;
    chains_.clear();
    collect(chains_);
    if (chains_.size() > slice_chains) chains_.resize(slice_chains);
    for (kernels::Chain& c : chains_) c.n = std::min(c.n, steps);
    kernels.welford_chains(chains_.data(), chains_.size());
    ran(chains_);  // each chain continues after the targets just pushed
}

void PendingChains::chains_of(std::vector<kernels::Chain>& out, bool needed, std::size_t pushes) {
    const std::size_t from = out.size();
    collect(out);
    std::size_t kept = from;
    for (std::size_t i = from; i < out.size(); ++i) {
        const kernels::Chain& c = out[i];
        const PendingSplit& p = splits_[split_of(c.stats)];
        if (p.needed != needed) continue;
        out[kept] = c;
        out[kept].n = std::min(c.n, needed ? pushes : std::max(pushes, stash_cut(p)));
        if (out[kept].n > 0) ++kept;
    }
    out.resize(kept);
}

std::size_t PendingChains::split_of(const RunningStats* stats) const {
    // A split's sides lie in the split: its index from the address.
    const auto at = reinterpret_cast<std::uintptr_t>(stats), base = reinterpret_cast<std::uintptr_t>(splits_.data());
    if (at < base || at >= base + splits_.size() * sizeof(PendingSplit)) return splits_.size();
    return (at - base) / sizeof(PendingSplit);
}

std::size_t PendingChains::stash_cut(const PendingSplit& p) const {
    if (stash_capacity_ == 0 || !p.carriable || p.out) return 0;
    // The least a with max(0, n0 - a) + max(0, n1 - a) <= capacity.
    const std::size_t a = std::max(p.n[0], p.n[1]), b = std::min(p.n[0], p.n[1]), c = stash_capacity_;
    if (a + b <= c) return 0;
    const std::size_t even = (a + b - c + 1) / 2;  // both sides cut by as much
    return even <= b ? even : a - c;
}

void PendingChains::stash() {
    if (stash_capacity_ == 0) return;
    // The splits carried from before completed in this run: the stash is free. A split
    // that does not fit stays in its buffer, and the next tree's start completes it before
    // writing there (TreeFitterState::rewritten).
    std::size_t used = 0;
    for (PendingSplit& p : splits_) {
        if (p.needed || p.out || !p.carriable || p.index[0] || p.index[1]) continue;
        if (used + p.n[0] + p.n[1] > stash_capacity_) continue;
        if (stash_.size() < stash_capacity_) stash_.resize(stash_capacity_);
        for (int side = 0; side < 2; ++side) {
            std::copy(p.y[side], p.y[side] + p.n[side], stash_.data() + used);
            p.y[side] = stash_.data() + used;
            used += p.n[side];
        }
        p.buffer = stashed;
    }
}

void PendingChains::ran(const std::vector<kernels::Chain>& chains) {
    for (const kernels::Chain& c : chains) {
        const std::size_t i = split_of(c.stats);
        if (i == splits_.size()) continue;  // another fit's
        splits_[i].pushed(c.stats == &splits_[i].sides[0] ? 0 : 1, c.n);
    }
}

void PendingChains::run(const kernels::NodeKernels& kernels, std::size_t team, std::size_t team_pushes,
                        bool advance_rest) {
    // The needed chains first (each thread's share balanced on them), then the rest cut
    // to the longest needed one: the run takes that long anyway, and what the rest push
    // here their next run need not.
    chains_.clear();
    marked_chains(chains_);
    std::size_t longest = 0;
    for (const kernels::Chain& c : chains_) longest = std::max(longest, c.n);
    if (advance_rest) other_chains(chains_, longest);
    std::size_t total = 0;
    for (const kernels::Chain& c : chains_) total += c.n;
    if (team > 1 && total >= team_pushes) {
        // In that order, each to the team member with the least so far.
        std::vector<std::vector<kernels::Chain>> shares(team);
        std::vector<std::size_t> load(team, 0);
        for (const kernels::Chain& c : chains_) {
            const auto least = std::min_element(load.begin(), load.end());
            const auto t = static_cast<std::size_t>(least - load.begin());
            shares[t].push_back(c);
            load[t] += c.n;
        }
        parallel_team(team, [&](std::size_t t) { kernels.welford_chains(shares[t].data(), shares[t].size()); });
    } else if (!chains_.empty()) {
        kernels.welford_chains(chains_.data(), chains_.size());
    }
    ran(chains_);
}

}  // namespace vandu
