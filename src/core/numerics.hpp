// The floating-point routines that split finding, prediction and the parameter search
// rest on. Every ordering of two doubles goes through compare_floats, so a NaN that
// meets a comparison abandons the operation instead of giving an arbitrary order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/failure.hpp"
#include "core/matrix.hpp"

namespace vandu {

enum class Ordering { less, equal, greater };

inline Ordering compare_floats(double a, double b) {
    if (a >= b && b >= a) return Ordering::equal;
    if (b >= a) return Ordering::less;
    if (a >= b) return Ordering::greater;
    fail(text::unwrap_none);
}

// Smallest and largest value in the given order: the minimum keeps the first of equal
// values, the maximum the last. A single value is returned without any comparison.
std::optional<std::pair<double, double>> value_range(VectorView values);
std::optional<std::pair<double, double>> value_range(VectorView values,
                                                     std::span<const std::uint64_t> selection);

// Welford's one-pass accumulator. The update order is part of the result.
struct RunningStats {
    double mean = 0.0;
    std::uint64_t count = 0;
    double m2 = 0.0;

    void push(double y) {
        count += 1;
        const double n = static_cast<double>(count);
        const double d = (y - mean) / n;
        mean = mean + d;
        m2 = m2 + (n - 1.0) * ((d * d) * n);
    }
};

inline double weighted_variance(const RunningStats& s) {
    if (s.count < 2) return 0.0;
    const double n = static_cast<double>(s.count);
    return (s.m2 / n) * n;
}

inline double split_impurity(const RunningStats& left, const RunningStats& right) {
    return weighted_variance(left) + weighted_variance(right);
}

template <class Payload>
struct Scored {
    double score;
    Payload payload;
};

// Running argmin over candidates in order: a later candidate replaces the best only
// when the best's score compares greater, so the earliest of equal scores stays.
template <class Payload>
class ArgminByScore {
public:
    void offer(Scored<Payload> candidate) {
        if (!best_ || compare_floats(best_->score, candidate.score) == Ordering::greater)
            best_ = std::move(candidate);
    }
    std::optional<Scored<Payload>>& result() { return best_; }

private:
    std::optional<Scored<Payload>> best_;
};

template <class Range>
auto argmin_by_score(Range&& candidates) {
    using Candidate = std::decay_t<decltype(*std::begin(candidates))>;
    ArgminByScore<decltype(std::declval<Candidate>().payload)> best;
    for (auto& c : candidates) best.offer(c);
    return std::move(best.result());
}

// A uniform draw from [low, high) from the calling thread's generator.
double uniform_in_range(double low, double high);

}  // namespace vandu
