// The rows of the root's extreme bins, so that the root's children take their value ranges
// without a pass over every row's codes. A matrix's root holds every sample, and each of
// its features' least and greatest values lie in the bins of its least and greatest codes:
// a few rows a feature, listed once for every tree fitted on the matrix. A child's extremes
// of a feature lie among the listed rows on its side, when any is there; those of the
// split's own feature next to the threshold, among the rows of its bin, which the estimate
// pass decided by their doubles and noted (kernels::TieLog).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tree/fit/feature_codes.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace vandu {

struct RangeSet;

class RootBins {
public:
    // Lists every feature's rows of its least and greatest codes among the n samples,
    // whose exact extremes are root_min and root_max. A bin of several values must list
    // every row, a bin of one value needs one on a side: lists past `most` rows of a bin
    // of several values leave the bins unusable.
    void build(const FeatureCodes& codes, std::size_t n, const double* root_min, const double* root_max,
               std::size_t most);
    void clear() { built_ = usable_ = false; }
    bool built() const { return built_; }
    bool usable() const { return usable_; }

    // The root (its extremes root_min and root_max, as build had them) split by `feature`
    // at `threshold` (its bins `side`), its estimate pass's ties in `logs` (in order): both
    // children's ranges, each first minimum and last maximum as a pass over the child's
    // rows in order takes them. False where the lists cannot tell (a side with no row
    // listed, a split bin of one value, a full log): the partition takes them then. A NaN
    // read fails the fit.
    bool children(const FeatureCodes& codes, const double* root_min, const double* root_max, const double* x,
                  std::size_t stride, std::size_t feature, double threshold, CodeThreshold side,
                  std::span<const kernels::TieLog> logs, std::size_t n_left, std::size_t n_right, RangeSet& left,
                  RangeSet& right) const;

private:
    struct Bin {
        code_t code = 0;
        bool pure = false;
        std::vector<std::size_t> rows;  // in sample order (a pure bin's first ones)
    };
    std::vector<Bin> low_, high_;  // by feature
    bool built_ = false, usable_ = false;
};

}  // namespace vandu
