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

    // The number of a feature's thresholds below the value (0 for NaN, which no threshold
    // is below): value > threshold exactly when this is above the threshold's node rank.
    std::int16_t rank(std::size_t slot, double value) const;
    // By node; never exceeded by any rank for a NaN threshold or a node that is padding.
    std::span<const std::int16_t> node_ranks() const { return node_ranks_; }
    std::size_t bytes() const;

private:
    std::vector<double> sorted_;         // the distinct thresholds of every used feature
    std::vector<std::size_t> start_;     // of each used feature's in sorted_, and the end
    std::vector<std::int16_t> node_ranks_;
};

}  // namespace vandu::walk
