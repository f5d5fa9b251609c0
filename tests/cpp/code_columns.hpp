// Columns a binning can get wrong, and the edges and thresholds the code tests hold them
// against (test_feature_codes.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tree/fit/feature_codes.hpp"

namespace vandu::kernels {

// Columns a binning can get wrong, one per feature.
enum Kind {
    few_duplicates, signed_zeros, subnormals, huge_clustered, distinct_255, distinct_256, distinct_257,
    distinct_4095, distinct_4096, distinct_4097, continuous, zeros, constant, minus_zero, clustered, kinds
};

inline double value_of(int kind, std::mt19937_64& gen) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const auto pick = [&](int n) { return static_cast<int>(gen() % static_cast<std::uint64_t>(n)); };
    switch (kind) {
        case few_duplicates: return 1.5 + pick(3);
        case signed_zeros: {
            const double v[] = {-0.0, 0.0, 1e-300, -1e-300, 1.0};
            return v[pick(5)];
        }
        case subnormals: return (pick(40) - 20) * std::numeric_limits<double>::denorm_min();
        case huge_clustered: {
            // Most values in a few ulps of one, the rest spread over the whole range.
            if (pick(10) < 8) return std::nextafter(1.0, pick(2) ? 2.0 : 0.0) + pick(4) * 0x1p-52;
            const double v[] = {-1e308, 1e308, -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::infinity(), 1e-200, -3.0};
            return v[pick(6)];
        }
        case distinct_255: return pick(255) * 0.25;
        case distinct_256: return pick(256) * 0.25 - 10.0;
        case distinct_257: return pick(257);
        case distinct_4095: return pick(4095) * 1e-3;
        case distinct_4096: return -pick(4096);
        case distinct_4097: return pick(4097) * 3.0;
        case continuous: return u(gen) * 6.0 - 3.0;
        // One bin, not pure: every row of a side is at its extreme codes and reads its zero.
        case zeros: return pick(2) ? 0.0 : -0.0;
        // -0.0 without +0.0, among negatives.
        case minus_zero: {
            const double v[] = {-0.0, -2.5, -1e-300, 3.0};
            return v[pick(4)];
        }
        case clustered: return pick(25) == 0 ? 0.5 + u(gen) * 1e-9 : u(gen);  // a slot of 100+ edges: misses
        default: return 42.0;
    }
}

// Feature f's edges as a plain sort of its sample gives them: the quantiles of an even
// sample of 16,384 values, or every distinct value of the sample if fewer than 4096.
inline std::vector<double> sorted_sample_edges(const std::vector<double>& x, std::size_t n, std::size_t stride, std::size_t f) {
    const std::size_t taken = std::min<std::size_t>(n, 16384);
    std::vector<double> v;
    for (std::size_t k = 0; k < taken; ++k)
        if (const double d = x[(n * k / taken) * stride + f]; d == d) v.push_back(d);
    std::sort(v.begin(), v.end());
    std::size_t distinct = !v.empty();
    for (std::size_t i = 1; i < v.size(); ++i) distinct += v[i - 1] < v[i];
    std::vector<double> e;
    const auto add = [&](double d) {
        if (e.empty() || e.back() < d) e.push_back(d);
    };
    const std::size_t m = v.size(), bins = FeatureCodes::bins;
    if (distinct < bins)
        for (double d : v) add(d);
    else
        for (std::size_t b = 1; b < bins; ++b) add(v[(m * b + bins - 1) / bins - 1]);
    return e;
}

// Thresholds a feature can meet: its values, its edges and their neighbours.
inline std::vector<double> thresholds_of(const FeatureCodes& codes, std::size_t f, const std::vector<double>& column,
                                  std::mt19937_64& gen) {
    std::vector<double> out;
    for (int k = 0; k < 6; ++k) {
        const double v = column[gen() % column.size()];
        const double e = codes.edge(f, gen() % 300);
        for (double t : {v, e})
            if (std::isfinite(t))
                for (double near : {t, std::nextafter(t, -INFINITY), std::nextafter(t, INFINITY)})
                    if (std::isfinite(near)) out.push_back(near);
    }
    out.push_back(0.0);
    out.push_back(-0.0);
    return out;
}

}  // namespace vandu::kernels
