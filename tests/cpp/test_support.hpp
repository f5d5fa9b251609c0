// Shared helpers for the C++ tests: failure texts, seeded generators, random matrices, and
// the tree grown node by node exactly as defined, which the fast fitter must reproduce bit
// for bit.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "core/failure.hpp"
#include "core/random.hpp"
#include "tree/decision_tree.hpp"
#include "tree/fit/feature_codes.hpp"
#include "tree/fit/fitter_state.hpp"
#include "tree/fit/pending_chains.hpp"

namespace vandu::testing {

// The message of the internal failure that `call` ends in.
template <class F>
std::string failure_of(F&& call) {
    try {
        call();
    } catch (const InternalFailure& e) {
        return e.what();
    }
    return "<no failure>";
}

inline void seed(std::uint32_t value) {
    ThreadRandom::local().seed_for_testing({value, 1, 2, 3, 4, 5, 6, 7});
}

inline std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// While alive, every threshold is a fixed function of its bounds, whichever thread draws
// it and in whatever order: trees grown on several threads compare with the reference.
struct KeyedDraws {
    static std::uint64_t draw(double low, double high, unsigned attempt) {
        std::uint64_t z = bits(low) * 0x9e3779b97f4a7c15ull ^ (bits(high) + attempt);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    KeyedDraws() { set_draw_bits_for_testing(draw); }
    ~KeyedDraws() { set_draw_bits_for_testing(nullptr); }
};

// While alive, certified fits read codes from nodes of this many values on (0: every node).
class CodedFrom {
public:
    explicit CodedFrom(std::size_t values) : before_(coded_matrix_values()) { set_coded_matrix_values_for_testing(values); }
    ~CodedFrom() { set_coded_matrix_values_for_testing(before_); }
    CodedFrom(const CodedFrom&) = delete;
    CodedFrom& operator=(const CodedFrom&) = delete;

private:
    std::size_t before_;
};

// While alive (and on), certified fits over codes grow their top levels at once, from any size.
struct LevelTags {
    explicit LevelTags(bool on) { set_level_tag_bytes_for_testing(on ? 0 : SIZE_MAX); }
    ~LevelTags() { set_level_tag_bytes_for_testing(SIZE_MAX); }
};

// While alive (and on), fitters made keep 8-byte positions as from 2^32 samples.
struct WidePositions {
    explicit WidePositions(bool on) { set_wide_positions_for_testing(on); }
    ~WidePositions() { set_wide_positions_for_testing(false); }
};

// Sample positions of 4 bytes or 8, as a fitter keeps them.
class PositionBuffer {
public:
    PositionBuffer(const std::vector<std::uint64_t>& values, bool wide)
        : wide_(values.begin(), values.end()), narrow_(values.begin(), values.end()), is_wide_(wide) {}
    PositionBuffer(std::size_t n, bool wide) : PositionBuffer(std::vector<std::uint64_t>(n, 0), wide) {}
    PositionPtr data() { return is_wide_ ? PositionPtr(wide_.data()) : PositionPtr(narrow_.data()); }
    std::uint64_t operator[](std::size_t s) const { return is_wide_ ? wide_[s] : narrow_[s]; }

private:
    std::vector<std::uint64_t> wide_;
    std::vector<std::uint32_t> narrow_;
    bool is_wide_;
};

// Slices of the pending chains on two threads too, of at most `cap` pushes, for its lifetime.
struct Slices {
    explicit Slices(std::size_t cap) { set_slices_for_testing(true, cap); }
    ~Slices() { set_slices_for_testing(false, SIZE_MAX); }
};

// features x samples, stored with one sample's features side by side.
inline Matrix random_matrix(std::size_t features, std::size_t samples, std::mt19937_64& gen,
                            int distinct_values = 0) {
    Matrix m = Matrix::column_major(features, samples);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    std::uniform_int_distribution<int> k(0, distinct_values > 0 ? distinct_values - 1 : 0);
    for (std::size_t s = 0; s < samples; ++s)
        for (std::size_t f = 0; f < features; ++f)
            m.at(f, s) = distinct_values > 0 ? static_cast<double>(k(gen)) : u(gen);
    return m;
}

inline Vector random_vector(std::size_t n, std::mt19937_64& gen) {
    std::normal_distribution<double> g(0.0, 2.0);
    Vector v(n);
    for (auto& e : v) e = g(gen);
    return v;
}

struct ReferenceGrower {
    DecisionTreeImpl& tree;
    MatrixView x;
    VectorView y;

    std::int64_t grow(Selection selection, std::uint8_t budget) {
        if (budget == 0 || y.size() == 0) return NO_CHILD;
        if (selection && selection->size() < tree.params.min_samples_split) return NO_CHILD;
        RandomSplitRule rule;
        if (!rule.fit(x, y, selection)) return NO_CHILD;
        auto [left, right] = rule.partition_samples(x, selection);
        const auto node = static_cast<std::int64_t>(tree.splitters.size());
        tree.splitters.push_back(rule);
        const std::int64_t l = grow(&left, budget - 1);
        const std::int64_t r = grow(&right, budget - 1);
        tree.routes[static_cast<std::size_t>(node)] = {l, r};
        return node;
    }
};

inline void reference_fit(DecisionTreeImpl& tree, MatrixView x, VectorView y) {
    tree.splitters.clear();
    tree.routes.assign(route_count(tree.params.depth), Route{NO_CHILD, NO_CHILD});
    ReferenceGrower{tree, x, y}.grow(nullptr, tree.params.depth);
}

inline bool same_bits(const DecisionTreeImpl& a, const DecisionTreeImpl& b) {
    if (a.splitters.size() != b.splitters.size() || a.routes != b.routes) return false;
    for (std::size_t i = 0; i < a.splitters.size(); ++i) {
        const auto& p = a.splitters[i].split_info;
        const auto& q = b.splitters[i].split_info;
        if (p.has_value() != q.has_value()) return false;
        if (!p) continue;
        if (p->feature != q->feature || bits(p->threshold) != bits(q->threshold) ||
            bits(p->impurity) != bits(q->impurity) || bits(p->values[0]) != bits(q->values[0]) ||
            bits(p->values[1]) != bits(q->values[1]))
            return false;
    }
    return true;
}

}  // namespace vandu::testing
