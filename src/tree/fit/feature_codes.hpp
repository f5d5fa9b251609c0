// Exact codes of a feature matrix: per feature a sorted table of at most 4095 bin edges
// taken from its own values, and per sample and feature a two-byte code, the number of
// edges below its value. Codes only order values by bins: a comparison with a threshold
// is decided by the code unless the value shares the threshold's bin, and then by the
// double itself, so every decision is the one the doubles give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/memory.hpp"

namespace vandu {

// A feature's edges as the search for many values reads them: three steps of sixteen
// compares, each step's compares in one table.
struct EdgeLevels {
    const double* top;     // 16: edge 256k + 255, the last of each block of 256
    const double* middle;  // 16 x 16: edge 256k + 16j + 15 at 16k + j
    const double* edges;   // the 4096 edges, +inf padded
    // Where a value's code lies, guessed from the value: v falls in slot (v - low) * scale
    // of FeatureCodes::slots (clamped), and its code is window[slot] plus the count of the
    // window's eight edges below v, unless all eight are. Null where the feature's values
    // are too unevenly spread for slots of equal width.
    const std::uint16_t* window = nullptr;
    double low = 0.0, scale = 0.0;
};

// Codes fit in 12 bits: signed 16-bit lanes compare them in one instruction.
using code_t = std::int16_t;

class FeatureCodes {
public:
    static constexpr std::size_t group = 16;  // codes per AVX2 load; the searches' exact bits go by it
    static constexpr std::size_t reach = 32;  // codes a load may read from a row's start on
    static constexpr std::size_t bins = 4096;
    static constexpr code_t none = 0x7fff;  // above every code
    static_assert(bins == 16 * 16 * 16, "EdgeLevels: three steps of sixteen");

    // Codes of n samples of n_features values, sample s at x + s * stride. The edges
    // come from an evenly spaced sample of each feature's values; any edges are sound.
    void build(const double* x, std::size_t n, std::size_t stride, std::size_t n_features, std::size_t team);

    bool ready() const { return ready_; }
    std::size_t n_features() const { return n_features_; }
    // Codes per sample (the feature count), and features rounded up to whole groups.
    std::size_t pitch() const { return n_features_; }
    std::size_t padded() const { return padded_; }
    const code_t* codes() const { return codes_.data(); }
    // For a fitter's last fit to write over (TreeFitterState::last_fit).
    code_t* writable() { return codes_.data(); }

    // The bin of a value: the number of edges below it (NaN: 0), code's.
    code_t bin_of(std::size_t f, double v) const;
    double edge(std::size_t f, std::size_t b) const { return edges_[f * bins + b]; }
    // Every value of bin b of feature f has the bits of its edge (never so past the last edge).
    bool pure(std::size_t f, std::size_t b) const { return pure_[f * bins + b] != 0; }
    const double* edges(std::size_t f) const { return edges_.data() + f * bins; }
    const std::uint8_t* pure_flags(std::size_t f) const { return pure_.data() + f * bins; }
    EdgeLevels levels(std::size_t f) const {
        const WindowMap& w = window_maps_[f];
        return {levels_.data() + f * level_size, levels_.data() + f * level_size + 16, edges(f),
                w.scale > 0.0 ? windows_.data() + f * slots : nullptr, w.low, w.scale};
    }

    // Slots of a feature's guessing table (EdgeLevels::window).
    static constexpr std::size_t slots = 4096;
    static constexpr std::size_t window_width = 8;
    static std::size_t slot_of(const EdgeLevels& l, double v) {
        const double t = (v - l.low) * l.scale;
        return t > 0.0 ? (t < static_cast<double>(slots - 1) ? static_cast<std::size_t>(t) : slots - 1) : 0;
    }

    static code_t code(const double* e, double v) {
        std::size_t at = 0;
        for (std::size_t step = bins / 2; step > 0; step /= 2) at += e[at + step - 1] < v ? step : 0;
        return static_cast<code_t>(at);
    }

private:
    // Feature f's edges from the `taken` values of its sample (reordered), `keys` as scratch.
    void place_edges(std::size_t f, double* values, std::size_t taken, std::uint64_t* keys);
    // Feature f's guessing table, kept if the sorted sample `values` (m of them) mostly
    // finds its codes through it.
    void place_windows(std::size_t f, const double* values, std::size_t m, std::size_t k);

    bool ready_ = false;
    std::size_t n_features_ = 0, padded_ = 0;
    // Edges padded with +inf to `bins` per feature (the last never read by the search).
    std::vector<double> edges_;
    std::vector<std::uint8_t> pure_;
    static constexpr std::size_t level_size = 16 + 256;
    std::vector<double> levels_;
    // Per feature: the guessing table, and its value mapping (scale 0: no table kept).
    struct WindowMap {
        double low = 0.0, scale = 0.0;
    };
    std::vector<std::uint16_t> windows_;
    std::vector<WindowMap> window_maps_;
    UninitBuffer<code_t> codes_;
};

// A matrix of this many values (12 MiB of doubles where the AVX-512 estimate pass runs,
// 32 MiB elsewhere) gets codes from its fitter's second fit on, or from its first for a
// large matrix and a deep tree (fits_before_codes: 0 or 1), and every node of a
// certified fit reads them.
std::size_t coded_matrix_values();
std::size_t fits_before_codes(std::size_t values, std::size_t depth);
// Tests only: codes for matrices of this many values on; 0: for every matrix, from a
// fitter's first certified fit on.
void set_coded_matrix_values_for_testing(std::size_t values);

// How a node's threshold reads the codes of a feature: codes above `above` are on the
// right; a code equal to `tie` compares its double, unless `exact` is clear (the bin is
// pure, or the feature is not drawn).
struct CodeThreshold {
    code_t above, tie;
    bool exact;
};
CodeThreshold code_threshold(const FeatureCodes& codes, std::size_t f, double threshold);

}  // namespace vandu
