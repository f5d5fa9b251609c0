#include "tree/fit/root_bins.hpp"

#include <algorithm>

#include "core/failure.hpp"
#include "tree/fit/fitter_state.hpp"

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
    bins_.low.assign(features, NodeBins::Bin{});
    bins_.high.assign(features, NodeBins::Bin{});
    std::vector<code_t> low(features), high(features);
    for (std::size_t f = 0; f < features; ++f) {
        low[f] = bins_.low[f].code = codes.bin_of(f, root_min[f]);
        high[f] = bins_.high[f].code = codes.bin_of(f, root_max[f]);
        bins_.low[f].pure = codes.pure(f, static_cast<std::size_t>(low[f]));
        bins_.high[f].pure = codes.pure(f, static_cast<std::size_t>(high[f]));
    }
    const auto take = [&](NodeBins::Bin& bin, std::size_t s) {
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
            if (row[f] == low[f] && !take(bins_.low[f], s)) return;
            if (row[f] == high[f] && !take(bins_.high[f], s)) return;
        }
    }
    usable_ = true;
}

bool split_bins(const NodeBins& node, const double* min, const double* max, const FeatureCodes& codes,
                const double* x, std::size_t stride, std::size_t feature, double threshold, CodeThreshold side,
                std::span<const kernels::TieLog> logs, std::size_t n_left, std::size_t n_right, RangeSet* ranges,
                NodeBins* children) {
    if (!side.exact) return false;
    for (const kernels::TieLog& log : logs)
        if (log.full) return false;
    const std::size_t features = node.low.size(), pitch = codes.pitch();
    const code_t* split_codes = codes.codes() + feature;
    // A listed row's side, as the estimate pass decided it.
    const auto on_right = [&](std::size_t s) -> std::size_t {
        const code_t c = split_codes[s * pitch];
        if (c == side.tie) return x[s * stride + feature] > threshold ? 1 : 0;
        return c > side.above ? 1 : 0;
    };
    const auto value = [&](const NodeBins::Bin& bin, std::size_t f, std::size_t s) {
        const double v = bin.pure ? codes.edge(f, static_cast<std::size_t>(bin.code)) : x[s * stride + f];
        if (v != v) fail("the training data changed during the fit");
        return v;
    };
    if (children)
        for (int sd = 0; sd < 2; ++sd) {
            children[sd].low.resize(features);
            children[sd].high.resize(features);
        }
    // Each side's share of a listed bin: its extreme, and the rows for the child's own bins.
    const auto share = [&](const NodeBins::Bin& bin, std::size_t f, bool low, Extreme* out,
                           NodeBins::Bin* (*child_bin)(NodeBins&, std::size_t)) {
        if (children)
            for (int sd = 0; sd < 2; ++sd) {
                NodeBins::Bin& b = *child_bin(children[sd], f);
                b.code = bin.code;
                b.pure = bin.pure;
                b.rows.clear();
            }
        for (const std::size_t s : bin.rows) {
            const std::size_t sd = on_right(s);
            const double v = value(bin, f, s);
            if (low)
                out[sd].least(v);
            else
                out[sd].greatest(v);
            if (children) child_bin(children[sd], f)->rows.push_back(s);
        }
    };
    constexpr auto low_of = +[](NodeBins& b, std::size_t f) { return &b.low[f]; };
    constexpr auto high_of = +[](NodeBins& b, std::size_t f) { return &b.high[f]; };
    for (std::size_t f = 0; f < features; ++f) {
        if (f == feature) continue;
        Extreme lo[2], hi[2];
        share(node.low[f], f, true, lo, low_of);
        share(node.high[f], f, false, hi, high_of);
        for (int sd = 0; sd < 2; ++sd) {
            if (!lo[sd].found || !hi[sd].found) return false;
            ranges[sd].min[f] = lo[sd].value;
            ranges[sd].max[f] = hi[sd].value;
        }
    }
    // The split's own feature: its least value on the left and greatest on the right are
    // the node's, unless they share the threshold's bin; next to the threshold the sides
    // meet in that bin, every row of which the estimate pass noted with its side.
    Extreme lo[2], hi[2];
    std::vector<std::size_t> tied[2];
    for (const kernels::TieLog& log : logs)
        for (const kernels::TiedRow& r : log.rows) {
            if (r.feature != feature) continue;
            if (r.value != r.value) fail("the training data changed during the fit");
            lo[r.right].least(r.value);
            hi[r.right].greatest(r.value);
            if (children) tied[r.right].push_back(r.sample);
        }
    if (!hi[0].found || !lo[1].found) return false;
    const bool low_apart = node.low[feature].code < side.tie, high_apart = node.high[feature].code > side.tie;
    ranges[0].min[feature] = low_apart ? min[feature] : lo[0].value;
    ranges[0].max[feature] = hi[0].value;
    ranges[1].min[feature] = lo[1].value;
    ranges[1].max[feature] = high_apart ? max[feature] : hi[1].value;
    ranges[0].count = n_left;
    ranges[1].count = n_right;
    if (children) {
        const NodeBins::Bin left_tie{side.tie, false, tied[0]};
        const NodeBins::Bin right_tie{side.tie, false, tied[1]};
        children[0].low[feature] = low_apart ? node.low[feature] : left_tie;
        children[0].high[feature] = left_tie;
        children[1].low[feature] = right_tie;
        children[1].high[feature] = high_apart ? node.high[feature] : right_tie;
    }
    return true;
}

}  // namespace vandu
