#include "core/numerics.hpp"

namespace vandu {

namespace {

template <class Value>
std::optional<std::pair<double, double>> range_of(std::size_t n, Value&& value) {
    if (n == 0) return std::nullopt;
    double min = value(0);
    for (std::size_t i = 1; i < n; ++i) {
        const double v = value(i);
        if (compare_floats(min, v) == Ordering::greater) min = v;
    }
    double max = value(0);
    for (std::size_t i = 1; i < n; ++i) {
        const double v = value(i);
        if (compare_floats(max, v) != Ordering::greater) max = v;
    }
    return std::pair{min, max};
}

}  // namespace

std::optional<std::pair<double, double>> value_range(VectorView values) {
    return range_of(values.len, [&](std::size_t i) { return values[i]; });
}

std::optional<std::pair<double, double>> value_range(VectorView values,
                                                     std::span<const std::uint64_t> selection) {
    return range_of(selection.size(), [&](std::size_t i) { return values[selection[i]]; });
}

}  // namespace vandu
