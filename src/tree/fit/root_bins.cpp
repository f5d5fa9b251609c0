#include "tree/fit/root_bins.hpp"

#include <algorithm>

#include "core/failure.hpp"
#include "tree/fit/fitter_state.hpp"

namespace vandu {
namespace {

// A bin of one value needs a row on each side, not all of them: its first rows serve.
constexpr std::size_t pure_rows = 64;

// The first minimum (or last maximum) of rows met in order: the least code first, and
// among the rows of that code the first least value.
struct Extreme {
    bool found = false;
    code_t code = 0;
    double value = 0.0;

    void least(code_t c, double v) {
        if (!found || c < code || (c == code && value > v)) code = c, value = v;
        found = true;
    }
    void greatest(code_t c, double v) {
        if (!found || c > code || (c == code && !(value > v))) code = c, value = v;
        found = true;
    }
};

}  // namespace

void RootBins::build(const FeatureCodes& codes, std::size_t n, std::size_t wanted, std::size_t most) {
    const std::size_t features = codes.n_features(), pitch = codes.pitch(), bins = FeatureCodes::bins;
    built_ = true;
    usable_ = false;
    // Every feature's rows by code, to choose each list's bins.
    std::vector<std::uint32_t> count(features * bins, 0);
    const code_t* row = codes.codes();
    for (std::size_t s = 0; s < n; ++s, row += pitch)
        for (std::size_t f = 0; f < features; ++f) ++count[f * bins + static_cast<std::size_t>(row[f])];
    // Codes at or below low_end[f] go on the low list (above high_end[f] on the high list);
    // the bin at the end keeps `partial`'s first rows only.
    std::vector<int> low_end(features), high_end(features);
    bins_.low.assign(features, NodeBins::Bin{});
    bins_.high.assign(features, NodeBins::Bin{});
    for (std::size_t f = 0; f < features; ++f) {
        const std::uint32_t* c = count.data() + f * bins;
        for (int down = 0; down < 2; ++down) {
            NodeBins::Bin& bin = down ? bins_.high[f] : bins_.low[f];
            const int step = down ? -1 : 1;
            int b = down ? static_cast<int>(bins) - 1 : 0;
            while (c[b] == 0) b += step;  // a root holds rows
            std::size_t listed = 0;
            int end = b;
            for (; b >= 0 && b < static_cast<int>(bins) && listed < wanted; b += step) {
                if (c[b] == 0) continue;
                const bool pure = codes.pure(f, static_cast<std::size_t>(b));
                if (!pure && listed + c[b] > most) {
                    if (listed == 0) return;
                    break;
                }
                end = b;
                if (pure && c[b] > pure_rows) {
                    bin.partial = true;
                    break;
                }
                listed += c[b];
            }
            bin.last = static_cast<code_t>(end);
            (down ? high_end : low_end)[f] = end;
        }
    }
    std::vector<std::uint32_t> taken(features * 2, 0);
    row = codes.codes();
    for (std::size_t s = 0; s < n; ++s, row += pitch) {
        // Few rows hold a listed code: the test of all a row's codes goes first.
        bool any = false;
        for (std::size_t f = 0; f < features; ++f) any |= (row[f] <= low_end[f]) | (row[f] >= high_end[f]);
        if (!any) continue;
        for (std::size_t f = 0; f < features; ++f)
            for (int down = 0; down < 2; ++down) {
                NodeBins::Bin& bin = down ? bins_.high[f] : bins_.low[f];
                const code_t c = row[f];
                if (down ? c < bin.last : c > bin.last) continue;
                if (c == bin.last && bin.partial && taken[2 * f + down]++ >= pure_rows) continue;
                bin.rows.push_back(s);
                bin.codes.push_back(c);
            }
    }
    usable_ = true;
}

bool split_bins(const NodeBins& node, const FeatureCodes& codes, const double* x, std::size_t stride,
                std::size_t feature, double threshold, CodeThreshold side, std::span<const kernels::TieLog> logs,
                std::size_t n_left, std::size_t n_right, RangeSet* ranges, NodeBins* children) {
    if (!side.exact) return false;
    for (const kernels::TieLog& log : logs)
        if (log.full) return false;
    const std::size_t features = node.low.size(), pitch = codes.pitch();
    const code_t* split_codes = codes.codes() + feature;
    const code_t tie = side.tie;
    // A listed row's side, as the estimate pass decided it.
    const auto on_right = [&](std::size_t s) -> std::size_t {
        const code_t c = split_codes[s * pitch];
        if (c == tie) return x[s * stride + feature] > threshold ? 1 : 0;
        return c > side.above ? 1 : 0;
    };
    // A bin of one value is its edge: it is not read.
    const auto value = [&](std::size_t f, code_t c, std::size_t s) {
        const auto b = static_cast<std::size_t>(c);
        const double v = codes.pure(f, b) ? codes.edge(f, b) : x[s * stride + f];
        if (v != v) fail("the training data changed during the fit");
        return v;
    };
    if (children)
        for (int sd = 0; sd < 2; ++sd) {
            children[sd].low.resize(features);
            children[sd].high.resize(features);
        }
    // A list's rows of codes within [from, to] and of sides `sides` (a bit each): each
    // side's extreme, and where given the rows for the child's own list, which reaches
    // `last` of the parent's list (below `to`: every row of the bins up to it).
    const auto share = [&](const NodeBins::Bin& bin, std::size_t f, bool low, code_t from, code_t to, int sides,
                           Extreme* out, NodeBins::Bin* (*child_bin)(NodeBins&, std::size_t)) {
        if (children)
            for (int sd = 0; sd < 2; ++sd) {
                if (!(sides >> sd & 1)) continue;
                NodeBins::Bin& b = *child_bin(children[sd], f);
                b.rows.clear();
                b.codes.clear();
                b.partial = bin.partial && bin.last >= from && bin.last <= to;
                b.last = low ? std::min(bin.last, to) : std::max(bin.last, from);
            }
        for (std::size_t i = 0; i < bin.rows.size(); ++i) {
            const code_t c = bin.codes[i];
            if (c < from || c > to) continue;
            const std::size_t s = bin.rows[i];
            const std::size_t sd = sides == 3 ? on_right(s) : static_cast<std::size_t>(sides >> 1);
            const double v = value(f, c, s);
            if (low)
                out[sd].least(c, v);
            else
                out[sd].greatest(c, v);
            if (children) {
                NodeBins::Bin& b = *child_bin(children[sd], f);
                b.rows.push_back(s);
                b.codes.push_back(c);
            }
        }
    };
    constexpr auto low_of = +[](NodeBins& b, std::size_t f) { return &b.low[f]; };
    constexpr auto high_of = +[](NodeBins& b, std::size_t f) { return &b.high[f]; };
    constexpr code_t least = 0, greatest = FeatureCodes::none;
    for (std::size_t f = 0; f < features; ++f) {
        if (f == feature) continue;
        Extreme lo[2], hi[2];
        share(node.low[f], f, true, least, greatest, 3, lo, low_of);
        share(node.high[f], f, false, least, greatest, 3, hi, high_of);
        for (int sd = 0; sd < 2; ++sd) {
            if (!lo[sd].found || !hi[sd].found) return false;
            ranges[sd].min[f] = lo[sd].value;
            ranges[sd].max[f] = hi[sd].value;
        }
    }
    // The split's own feature: below the threshold's bin every listed row is on the left,
    // above it on the right; in that bin the sides meet, and the estimate pass noted every
    // row of it with its side.
    Extreme lo[2], hi[2];
    share(node.low[feature], feature, true, least, static_cast<code_t>(tie - 1), 1, lo, low_of);
    share(node.high[feature], feature, false, static_cast<code_t>(tie + 1), greatest, 2, hi, high_of);
    Extreme tied_lo[2], tied_hi[2];
    NodeBins::Bin tied[2];
    for (int sd = 0; sd < 2; ++sd) tied[sd].last = tie;
    for (const kernels::TieLog& log : logs)
        for (const kernels::TiedRow& r : log.rows) {
            if (r.feature != feature) continue;
            if (r.value != r.value) fail("the training data changed during the fit");
            tied_lo[r.right].least(tie, r.value);
            tied_hi[r.right].greatest(tie, r.value);
            if (children) {
                tied[r.right].rows.push_back(r.sample);
                tied[r.right].codes.push_back(tie);
            }
        }
    if (!tied_hi[0].found || !tied_lo[1].found) return false;
    ranges[0].min[feature] = lo[0].found ? lo[0].value : tied_lo[0].value;
    ranges[0].max[feature] = tied_hi[0].value;
    ranges[1].min[feature] = tied_lo[1].value;
    ranges[1].max[feature] = hi[1].found ? hi[1].value : tied_hi[1].value;
    ranges[0].count = n_left;
    ranges[1].count = n_right;
    if (children) {
        if (!lo[0].found) children[0].low[feature] = tied[0];
        children[0].high[feature] = tied[0];
        children[1].low[feature] = tied[1];
        if (!hi[1].found) children[1].high[feature] = tied[1];
    }
    return true;
}

}  // namespace vandu
