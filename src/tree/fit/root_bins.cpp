#include "tree/fit/root_bins.hpp"

#include <algorithm>

#include "core/failure.hpp"
#include "tree/fit/fitter_state.hpp"
#include "tree/fit/split_rule.hpp"

namespace vandu {
namespace {

// A bin of one value needs a row on each side, not all of them: its first rows serve.
constexpr std::size_t pure_rows = 64;

// The first minimum and the last maximum of values met in order.
struct Extreme {
    bool found = false;
    double value = 0.0;

    void least(double v) {
        if (!found || value > v) value = v;
        found = true;
    }
    void greatest(double v) {
        if (!found || !(value > v)) value = v;
        found = true;
    }
};

}  // namespace

void RootBins::build(const FeatureCodes& codes, std::size_t n, const double* root_min, const double* root_max,
                     std::size_t most) {
    const std::size_t features = codes.n_features(), pitch = codes.pitch();
    built_ = true;
    usable_ = false;
    low_.assign(features, Bin{});
    high_.assign(features, Bin{});
    std::vector<code_t> low(features), high(features);
    for (std::size_t f = 0; f < features; ++f) {
        low[f] = low_[f].code = codes.bin_of(f, root_min[f]);
        high[f] = high_[f].code = codes.bin_of(f, root_max[f]);
        low_[f].pure = codes.pure(f, static_cast<std::size_t>(low[f]));
        high_[f].pure = codes.pure(f, static_cast<std::size_t>(high[f]));
    }
    const auto take = [&](Bin& bin, std::size_t s) {
        if (!bin.pure || bin.rows.size() < pure_rows) bin.rows.push_back(s);
        return bin.pure || bin.rows.size() <= most;
    };
    const code_t* row = codes.codes();
    for (std::size_t s = 0; s < n; ++s, row += pitch) {
        // Few rows hold an extreme code: the test of all a row's codes goes first.
        bool any = false;
        for (std::size_t f = 0; f < features; ++f) any |= (row[f] == low[f]) | (row[f] == high[f]);
        if (!any) continue;
        for (std::size_t f = 0; f < features; ++f) {
            if (row[f] == low[f] && !take(low_[f], s)) return;
            if (row[f] == high[f] && !take(high_[f], s)) return;
        }
    }
    usable_ = true;
}

bool RootBins::children(const FeatureCodes& codes, const double* root_min, const double* root_max, const double* x,
                        std::size_t stride, std::size_t feature, double threshold, CodeThreshold side,
                        std::span<const kernels::TieLog> logs, std::size_t n_left, std::size_t n_right,
                        RangeSet& left, RangeSet& right) const {
    if (!usable_ || !side.exact) return false;
    for (const kernels::TieLog& log : logs)
        if (log.full) return false;
    const std::size_t features = low_.size(), pitch = codes.pitch();
    const code_t* split_codes = codes.codes() + feature;
    // A listed row's side, as the estimate pass decided it.
    const auto on_right = [&](std::size_t s) -> std::size_t {
        const code_t c = split_codes[s * pitch];
        if (c == side.tie) return static_cast<std::size_t>(side_of(x[s * stride + feature], threshold));
        return c > side.above ? 1 : 0;
    };
    // The root's extremes held no NaN: one read now means the caller's matrix changed.
    const auto checked = [](double v) {
        if (v != v) fail("the training data changed during the fit");
        return v;
    };
    const auto value = [&](const Bin& bin, std::size_t f, std::size_t s) {
        return checked(bin.pure ? codes.edge(f, static_cast<std::size_t>(bin.code)) : x[s * stride + f]);
    };
    RangeSet* child[2] = {&left, &right};
    for (std::size_t f = 0; f < features; ++f) {
        if (f == feature) continue;
        Extreme lo[2], hi[2];
        for (const std::size_t s : low_[f].rows) lo[on_right(s)].least(value(low_[f], f, s));
        for (const std::size_t s : high_[f].rows) hi[on_right(s)].greatest(value(high_[f], f, s));
        for (int sd = 0; sd < 2; ++sd) {
            if (!lo[sd].found || !hi[sd].found) return false;
            child[sd]->min[f] = lo[sd].value;
            child[sd]->max[f] = hi[sd].value;
        }
    }
    // The split's own feature: its least value on the left and greatest on the right are
    // the root's, unless they share the threshold's bin; next to the threshold the sides
    // meet in that bin, every row of which the estimate pass noted with its side.
    Extreme lo[2], hi[2];
    for (const kernels::TieLog& log : logs)
        for (const kernels::TiedRow& r : log.rows) {
            if (r.feature != feature) continue;
            lo[r.right].least(checked(r.value));
            hi[r.right].greatest(r.value);
        }
    if (!hi[0].found || !lo[1].found) return false;
    left.min[feature] = low_[feature].code < side.tie ? root_min[feature] : lo[0].value;
    left.max[feature] = hi[0].value;
    right.min[feature] = lo[1].value;
    right.max[feature] = high_[feature].code > side.tie ? root_max[feature] : hi[1].value;
    left.count = n_left;
    right.count = n_right;
    return true;
}

}  // namespace vandu
