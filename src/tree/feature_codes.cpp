#include "tree/feature_codes.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/worker_pool.hpp"

namespace vandu {
namespace {

// Enough to place 255 edges near the quantiles; more would only cost sorting time.
constexpr std::size_t edge_sample = std::size_t{1} << 13;

std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

void FeatureCodes::build(const double* x, std::size_t n, std::size_t stride, std::size_t n_features,
                         std::size_t team) {
    n_features_ = n_features;
    padded_ = (n_features + group - 1) / group * group;
    edges_.assign(n_features * bins, std::numeric_limits<double>::infinity());
    pure_.assign(n_features * bins, 1);
    // The last row's group load may run past its own codes.
    codes_.resize(n * n_features + group);
    std::memset(codes_.data() + n * n_features, 0, group);

    const std::size_t taken = std::min(n, edge_sample);
    std::vector<double> values(taken);
    for (std::size_t f = 0; f < n_features; ++f) {
        std::size_t m = 0;
        for (std::size_t k = 0; k < taken; ++k) {
            const double v = x[(n * k / taken) * stride + f];
            if (v == v) values[m++] = v;
        }
        std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(m));
        double* e = edges_.data() + f * bins;
        std::size_t k = 0;
        const auto add = [&](double v) {
            if (k == 0 || e[k - 1] < v) e[k++] = v;
        };
        std::size_t distinct = m > 0;
        for (std::size_t i = 1; i < m; ++i) distinct += values[i - 1] < values[i];
        if (distinct < bins) {
            for (std::size_t i = 0; i < m; ++i) add(values[i]);
        } else {
            for (std::size_t b = 1; b < bins; ++b) add(values[m * b / bins - 1]);
        }
        // Past the last edge values are only known to be greater.
        for (std::size_t b = k; b < bins; ++b) pure_[f * bins + b] = 0;
    }

    // Rows in chunks on the team, each with its own purity flags, combined after.
    const std::size_t tasks = n * n_features >= (std::size_t{1} << 20) ? team : 1;
    std::vector<std::vector<std::uint8_t>> pure(tasks, pure_);
    parallel_team(tasks, [&](std::size_t t) {
        std::uint8_t* flags = pure[t].data();
        for (std::size_t s = n * t / tasks; s < n * (t + 1) / tasks; ++s) {
            const double* row = x + s * stride;
            std::uint8_t* out = codes_.data() + s * n_features;
            for (std::size_t f = 0; f < n_features; ++f) {
                const double* e = edges_.data() + f * bins;
                const std::uint8_t c = code(e, row[f]);
                out[f] = c;
                flags[f * bins + c] &= bits_of(row[f]) == bits_of(e[c]);
            }
        }
    });
    for (std::size_t t = 0; t < tasks; ++t)
        for (std::size_t i = 0; i < pure_.size(); ++i) pure_[i] &= pure[t][i];
    ready_ = true;
}

CodeThreshold code_threshold(const FeatureCodes& codes, std::size_t f, double threshold) {
    const std::uint8_t b = codes.bin_of(f, threshold);
    // Codes below b hold values at most the edge below the threshold, codes above b
    // values above the threshold's own edge, which is at least the threshold.
    if (codes.pure(f, b)) {
        const double e = codes.edge(f, b);
        if (!(e > threshold)) return {b, 0, false};
        if (b > 0) return {static_cast<std::uint8_t>(b - 1), 0, false};
    }
    return {b, b, true};
}

}  // namespace vandu
