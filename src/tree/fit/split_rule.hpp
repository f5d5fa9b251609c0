// The random split rule: one uniformly drawn threshold per feature, the feature whose
// two-way partition leaves the least squared deviation wins.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/matrix.hpp"
#include "core/numerics.hpp"

namespace vandu {

struct Split {
    std::uint64_t feature = 0;
    double threshold = 0.0;   // a sample goes right when x(feature, s) > threshold
    double impurity = 0.0;
    std::array<double, 2> values{};  // mean target of the left and the right side
};

// Samples to use, in list order; absent means all samples in ascending order.
using Selection = const std::vector<std::uint64_t>*;

struct RandomSplitRule {
    std::optional<Split> split_info;

    // True when a split was found and stored; otherwise the old split stays.
    bool fit(MatrixView x, VectorView y, Selection selection = nullptr);
    std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> partition_samples(
        MatrixView x, Selection selection = nullptr) const;
    Vector predict(MatrixView x) const;
};

std::optional<Split> find_feature_split(MatrixView x, VectorView y, Selection selection,
                                        std::uint64_t feature);

// The side a value takes: right (1) when above the threshold; equal and NaN go left.
inline int side_of(double value, double threshold) { return value > threshold ? 1 : 0; }

}  // namespace vandu
