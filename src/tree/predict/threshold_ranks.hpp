// Feature values replaced by their rank among a set of thresholds of that feature, so that
// a kernel compares 16-bit ranks rather than doubles: value > threshold exactly when
// rank(value) > rank of the threshold. One table serves every forest whose thresholds it
// holds, so the values of a matrix are ranked once for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vandu::walk {

class ThresholdRanks {
public:
    // Every (feature, threshold) pair the forests split on; NaN thresholds are skipped.
    // None when some feature has too many distinct thresholds.
    static std::optional<ThresholdRanks> build(std::span<const std::uint64_t> features,
                                               std::span<const double> thresholds);

    // The features, ascending; a feature's slot is its place here.
    std::span<const std::uint64_t> used() const { return used_; }
    // What a node on this feature with this threshold compares ranks with (for a NaN
    // threshold, a number no rank exceeds); none when the table lacks the pair.
    std::optional<std::int16_t> threshold_rank(std::uint64_t feature, double threshold) const;
    static constexpr std::int16_t never = INT16_MAX;
    // to[r] = the number of the slot's thresholds below from[r * stride] (0 for NaN, which
    // no threshold is below), for r < n.
    void rank_values(std::size_t slot, const double* from, std::ptrdiff_t stride, std::size_t n,
                     std::int16_t* to) const;
    std::size_t bytes() const;

private:
    std::vector<std::uint64_t> used_;
    std::vector<double> sorted_;      // the distinct thresholds of every used feature
    std::vector<std::size_t> start_;  // of each used feature's in sorted_, and the end
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
