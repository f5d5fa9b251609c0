#include "tree/threshold_ranks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vandu::walk {

namespace {
// A rank never reaches this: NaN thresholds and padding send every value left.
constexpr std::int16_t never = std::numeric_limits<std::int16_t>::max();
}  // namespace

std::optional<ThresholdRanks> ThresholdRanks::build(std::span<const std::uint64_t> features,
                                                    std::span<const double> thresholds,
                                                    std::span<const std::uint64_t> used, std::uint64_t padding) {
    const auto slot_of = [&](std::uint64_t f) {
        return static_cast<std::size_t>(std::lower_bound(used.begin(), used.end(), f) - used.begin());
    };
    std::vector<std::vector<double>> by_slot(used.size());
    for (std::size_t k = 0; k < features.size(); ++k)
        if (features[k] != padding && !std::isnan(thresholds[k])) by_slot[slot_of(features[k])].push_back(thresholds[k]);
    ThresholdRanks ranks;
    ranks.start_.push_back(0);
    for (std::vector<double>& values : by_slot) {
        std::sort(values.begin(), values.end());
        // Equal values (0.0 and -0.0 too) make the same comparisons.
        values.erase(std::unique(values.begin(), values.end()), values.end());
        if (values.size() >= static_cast<std::size_t>(never)) return std::nullopt;
        ranks.sorted_.insert(ranks.sorted_.end(), values.begin(), values.end());
        ranks.start_.push_back(ranks.sorted_.size());
    }
    ranks.node_ranks_.resize(features.size(), never);
    for (std::size_t k = 0; k < features.size(); ++k) {
        if (features[k] == padding || std::isnan(thresholds[k])) continue;
        const std::size_t slot = slot_of(features[k]);
        const auto begin = ranks.sorted_.begin() + static_cast<std::ptrdiff_t>(ranks.start_[slot]);
        const auto end = ranks.sorted_.begin() + static_cast<std::ptrdiff_t>(ranks.start_[slot + 1]);
        ranks.node_ranks_[k] = static_cast<std::int16_t>(std::lower_bound(begin, end, thresholds[k]) - begin);
    }
    return ranks;
}

std::int16_t ThresholdRanks::rank(std::size_t slot, double value) const {
    // Branch-free search: the count of thresholds below the value.
    const double* base = sorted_.data() + start_[slot];
    std::size_t n = start_[slot + 1] - start_[slot];
    if (n == 0) return 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        base = base[half] < value ? base + half : base;
        n -= half;
    }
    return static_cast<std::int16_t>(base - (sorted_.data() + start_[slot]) + (*base < value));
}

std::size_t ThresholdRanks::bytes() const {
    return sizeof(*this) + sorted_.capacity() * sizeof(double) + start_.capacity() * sizeof(std::size_t) +
           node_ranks_.capacity() * sizeof(std::int16_t);
}

}  // namespace vandu::walk
