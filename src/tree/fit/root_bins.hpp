// The rows of a node's extreme bins, so that its children take their value ranges without
// a pass over every row's codes. A matrix's root holds every sample, and each of its
// features' least and greatest values lie in the bins of its least and greatest codes: a
// few rows a feature, listed once for every tree fitted on the matrix. A child's extremes
// of a feature lie among its parent's listed rows on its side, when any is there, and
// those of the split's own feature next to the threshold, among the rows of its bin, which
// the estimate pass decided by their doubles and noted (kernels::TieLog). The rows found
// on each side are the child's own lists, for its children in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tree/fit/feature_codes.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace vandu {

struct RangeSet;

// A node's rows of every feature's least codes and of its greatest, in sample order with
// their codes: every row of each bin from the extreme on up to a last one, whose rows may
// be some of its rows only where its values are one (they need not be read).
struct NodeBins {
    struct Bin {
        std::vector<std::size_t> rows;
        std::vector<code_t> codes;
        // The bins listed reach this code; the rows of its bin are some of them only.
        code_t last = 0;
        bool partial = false;
    };
    std::vector<Bin> low, high;  // by feature
};

// The node's split by `feature` at `threshold` (its bins `side`), its estimate pass's ties
// in `logs` (in order): both children's ranges, each first minimum and last maximum as a
// pass over the child's rows in order takes them, and where given their own bins. False
// where the lists cannot tell (a side with no row listed, a split bin of one value, a full
// log): the partition takes them then. A NaN read fails the fit.
bool split_bins(const NodeBins& node, const FeatureCodes& codes, const double* x, std::size_t stride,
                std::size_t feature, double threshold, CodeThreshold side, std::span<const kernels::TieLog> logs,
                std::size_t n_left, std::size_t n_right, RangeSet* ranges, NodeBins* children);

// The root's bins, for every tree fitted on the matrix.
class RootBins {
public:
    // Lists every feature's rows of its least and greatest codes among the n samples, and
    // of the bins next to them until `wanted` rows are listed (so that a node far down still
    // finds some on each side). A bin of several values past `most` rows ends a list before
    // it, and leaves the bins unusable where it is the extreme one.
    void build(const FeatureCodes& codes, std::size_t n, std::size_t wanted, std::size_t most);
    void clear() { built_ = usable_ = false; }
    bool built() const { return built_; }
    bool usable() const { return usable_; }
    const NodeBins& bins() const { return bins_; }

private:
    NodeBins bins_;
    bool built_ = false, usable_ = false;
};

}  // namespace vandu
