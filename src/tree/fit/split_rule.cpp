#include "tree/fit/split_rule.hpp"

namespace vandu {

namespace {

template <class Visit>
void for_each_sample(std::size_t n_samples, Selection selection, Visit&& visit) {
    if (selection) {
        for (std::uint64_t s : *selection) visit(s);
    } else {
        for (std::size_t s = 0; s < n_samples; ++s) visit(s);
    }
}

const Split& fitted_split(const RandomSplitRule& rule, MatrixView x) {
    if (!rule.split_info) fail(text::unwrap_none);
    if (rule.split_info->feature >= x.rows) fail("assertion failed: index < dim");
    return *rule.split_info;
}

}  // namespace

std::optional<Split> find_feature_split(MatrixView x, VectorView y, Selection selection,
                                        std::uint64_t feature) {
    const VectorView values = x.row(feature);
    const auto range = selection ? value_range(values, *selection) : value_range(values);
    if (!range) return std::nullopt;
    const auto [min, max] = *range;
    if (!(max > min)) return std::nullopt;
    const double threshold = uniform_in_range(min, max);

    RunningStats left, right;
    for_each_sample(x.cols, selection, [&](std::uint64_t s) {
        if (!(values[s] > threshold)) left.push(y[s]);
    });
    for_each_sample(x.cols, selection, [&](std::uint64_t s) {
        if (values[s] > threshold) right.push(y[s]);
    });
    return Split{feature, threshold, split_impurity(left, right), {left.mean, right.mean}};
}

bool RandomSplitRule::fit(MatrixView x, VectorView y, Selection selection) {
    ArgminByScore<Split> best;
    for (std::uint64_t f = 0; f < x.rows; ++f) {
        if (auto split = find_feature_split(x, y, selection, f))
            best.offer({split->impurity, *split});
    }
    if (!best.result()) return false;
    split_info = best.result()->payload;
    return true;
}

std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> RandomSplitRule::partition_samples(
    MatrixView x, Selection selection) const {
    const Split& split = fitted_split(*this, x);
    const VectorView values = x.row(split.feature);
    std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> sides;
    for_each_sample(x.cols, selection, [&](std::uint64_t s) {
        (side_of(values[s], split.threshold) ? sides.second : sides.first).push_back(s);
    });
    return sides;
}

Vector RandomSplitRule::predict(MatrixView x) const {
    const Split& split = fitted_split(*this, x);
    const VectorView values = x.row(split.feature);
    Vector out(x.cols);
    for (std::size_t s = 0; s < x.cols; ++s) out[s] = split.values[side_of(values[s], split.threshold)];
    return out;
}

}  // namespace vandu
