#include "tree/predict/threshold_ranks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vandu::walk {

std::optional<ThresholdRanks> ThresholdRanks::build(std::span<const std::uint64_t> features,
                                                    std::span<const double> thresholds) {
    ThresholdRanks ranks;
    ranks.used_.assign(features.begin(), features.end());
    std::sort(ranks.used_.begin(), ranks.used_.end());
    ranks.used_.erase(std::unique(ranks.used_.begin(), ranks.used_.end()), ranks.used_.end());
    const std::vector<std::uint64_t>& used = ranks.used_;
    std::vector<std::vector<double>> by_slot(used.size());
    for (std::size_t k = 0; k < features.size(); ++k)
        if (!std::isnan(thresholds[k]))
            by_slot[static_cast<std::size_t>(std::lower_bound(used.begin(), used.end(), features[k]) - used.begin())]
                .push_back(thresholds[k]);
    ranks.start_.push_back(0);
    for (std::vector<double>& values : by_slot) {
        std::sort(values.begin(), values.end());
        // Equal values (0.0 and -0.0 too) make the same comparisons.
        values.erase(std::unique(values.begin(), values.end()), values.end());
        if (values.size() >= static_cast<std::size_t>(never)) return std::nullopt;
        ranks.sorted_.insert(ranks.sorted_.end(), values.begin(), values.end());
        ranks.start_.push_back(ranks.sorted_.size());
    }
    for (std::size_t slot = 0; slot < used.size(); ++slot) {
        const auto begin = ranks.sorted_.begin() + static_cast<std::ptrdiff_t>(ranks.start_[slot]);
        const auto end = ranks.sorted_.begin() + static_cast<std::ptrdiff_t>(ranks.start_[slot + 1]);
        const auto finite_begin = std::find_if(begin, end, [](double t) { return std::isfinite(t); });
        const auto finite_end = std::find_if(finite_begin, end, [](double t) { return !std::isfinite(t); });
        Grid grid;
        grid.first = ranks.guesses_.size();
        if (finite_end - finite_begin >= 2) {
            const double low = *finite_begin, span = *(finite_end - 1) - low;
            grid.cells = 8 * static_cast<std::size_t>(end - begin);
            const double scale = static_cast<double>(grid.cells) / span;
            if (std::isfinite(scale) && scale > 0.0) {
                grid.low = low;
                grid.scale = scale;
            } else {
                grid.cells = 1;
            }
        }
        // The edges rise with c (each a correctly rounded division and sum of rising
        // terms), so one pass finds every edge's lower bound.
        auto below = begin;
        for (std::size_t c = 0; c <= grid.cells; ++c) {  // and the end of the last cell
            const double edge = grid.low + static_cast<double>(c) / grid.scale;
            std::size_t guess = static_cast<std::size_t>(end - begin);
            if (c < grid.cells && grid.scale > 0.0) {
                while (below != end && *below < edge) ++below;
                guess = static_cast<std::size_t>(below - begin);
            } else if (c < grid.cells) {
                guess = 0;
            }
            ranks.guesses_.push_back(static_cast<std::int16_t>(guess));
        }
        ranks.grids_.push_back(grid);
    }
    ranks.sorted_.shrink_to_fit();
    ranks.guesses_.shrink_to_fit();
    return ranks;
}

void ThresholdRanks::rank_values(std::size_t slot, const double* from, std::ptrdiff_t stride, std::size_t n,
                                 std::int16_t* to) const {
    const double* t = sorted_.data() + start_[slot];
    const std::size_t m = start_[slot + 1] - start_[slot];
    const Grid grid = grids_[slot];
    const std::int16_t* guesses = guesses_.data() + grid.first;
    const double last = static_cast<double>(grid.cells - 1);
    for (std::size_t r = 0; r < n; ++r) {
        const double value = from[static_cast<std::ptrdiff_t>(r) * stride];
        if (std::isnan(value)) {
            to[r] = 0;  // no threshold is below NaN
            continue;
        }
        double cell = (value - grid.low) * grid.scale;
        if (!(cell >= 0.0)) cell = 0.0;  // NaN too (an infinite value times a zero scale)
        if (cell > last) cell = last;
        const auto c = static_cast<std::size_t>(cell);
        // Searched between the cell's ends, branch-free: the rank when the grid's rounding
        // put the value in its cell.
        std::size_t k = static_cast<std::size_t>(guesses[c]);
        std::size_t n_cell = std::min(static_cast<std::size_t>(guesses[c + 1]), m) - std::min(k, m);
        if (n_cell > 0) {
            const double* base = t + k;
            while (n_cell > 1) {
                const std::size_t half = n_cell / 2;
                base = base[half] < value ? base + half : base;
                n_cell -= half;
            }
            k = static_cast<std::size_t>(base - t) + (*base < value);
        }
        // From there to the count of thresholds below the value, whatever the guess.
        while (k > 0 && !(t[k - 1] < value)) --k;
        while (k < m && t[k] < value) ++k;
        to[r] = static_cast<std::int16_t>(k);
    }
}

std::optional<std::int16_t> ThresholdRanks::threshold_rank(std::uint64_t feature, double threshold) const {
    if (std::isnan(threshold)) return never;
    const auto at = std::lower_bound(used_.begin(), used_.end(), feature);
    if (at == used_.end() || *at != feature) return std::nullopt;
    const auto slot = static_cast<std::size_t>(at - used_.begin());
    const auto begin = sorted_.begin() + static_cast<std::ptrdiff_t>(start_[slot]);
    const auto end = sorted_.begin() + static_cast<std::ptrdiff_t>(start_[slot + 1]);
    const auto found = std::lower_bound(begin, end, threshold);
    if (found == end || *found != threshold) return std::nullopt;
    return static_cast<std::int16_t>(found - begin);
}

std::size_t ThresholdRanks::bytes() const {
    return sizeof(*this) + used_.capacity() * sizeof(std::uint64_t) + sorted_.capacity() * sizeof(double) +
           start_.capacity() * sizeof(std::size_t) + grids_.capacity() * sizeof(Grid) +
           guesses_.capacity() * sizeof(std::int16_t);
}

}  // namespace vandu::walk
