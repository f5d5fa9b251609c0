// Feature values replaced by their rank among a forest's thresholds of that feature, so
// that a kernel compares 16-bit ranks rather than doubles: value > threshold exactly when
// rank(value) > rank of the threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vandu::walk {

class ThresholdRanks {
public:
    // Features by node (`padding` where there is no node), thresholds by node, and the
    // features used, ascending. None when some feature has too many distinct thresholds.
    static std::optional<ThresholdRanks> build(std::span<const std::uint64_t> features,
                                               std::span<const double> thresholds,
                                               std::span<const std::uint64_t> used, std::uint64_t padding);

    // to[r] = the number of the feature's thresholds below from[r * stride] (0 for NaN,
    // which no threshold is below), for r < n: value > threshold exactly when this is above
    // the threshold's node rank.
    void rank_values(std::size_t slot, const double* from, std::ptrdiff_t stride, std::size_t n,
                     std::int16_t* to) const;
    // By node; never exceeded by any rank for a NaN threshold or a node that is padding.
    std::span<const std::int16_t> node_ranks() const { return node_ranks_; }
    std::size_t bytes() const;

private:
    std::vector<double> sorted_;         // the distinct thresholds of every used feature
    std::vector<std::size_t> start_;     // of each used feature's in sorted_, and the end
    std::vector<std::int16_t> node_ranks_;
    // A search starts from a guess by an even grid over each feature's finite thresholds
    // and steps to the rank from there, so the grid's rounding never changes a rank.
    struct Grid {
        double low = 0.0, scale = 0.0;
        std::size_t first = 0, cells = 1;  // of the feature's guesses
    };
    std::vector<Grid> grids_;
    std::vector<std::int16_t> guesses_;
};

}  // namespace vandu::walk
