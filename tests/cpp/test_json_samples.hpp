// Records with awkward values for the persistence tests: every split and no split, negative
// routes, floats from tiny subnormals to huge, drawn from a seeded generator.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "persistence/bincode.hpp"
#include "persistence/record_fields.hpp"

namespace vandu::testing {

inline std::uint64_t bit_pattern(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline double awkward_double(std::mt19937_64& gen) {
    static const double specials[] = {0.0, -0.0, 0.1, 2.0, 1e-7, 1e21, 5e-324, -1.5e-7,
                                      std::numeric_limits<double>::max(), 123456789012345680.0,
                                      0.00001, 1e16, -1e15};
    switch (gen() % 3) {
        case 0: return specials[gen() % std::size(specials)];
        case 1: return std::uniform_real_distribution<double>(-10.0, 10.0)(gen);
        default: {
            double d;
            do {
                const std::uint64_t bits = gen();
                std::memcpy(&d, &bits, sizeof d);
            } while (!std::isfinite(d));
            return d;
        }
    }
}

inline DecisionTreeImpl sample_tree(std::mt19937_64& gen, std::size_t nodes) {
    DecisionTreeImpl tree(TreeParameters{static_cast<std::uint8_t>(gen()), gen() % 1000});
    for (std::size_t k = 0; k < nodes; ++k) {
        RandomSplitRule rule;
        if (gen() % 4 != 0)
            rule.split_info = Split{gen() % 50, awkward_double(gen), awkward_double(gen),
                                    {awkward_double(gen), awkward_double(gen)}};
        tree.splitters.push_back(rule);
        tree.routes.push_back({static_cast<std::int64_t>(gen() % 7) - 1,
                               gen() % 5 == 0 ? std::numeric_limits<std::int64_t>::min()
                                              : static_cast<std::int64_t>(gen() % 7) - 1});
    }
    return tree;
}

inline GradientBoostingImpl sample_boosting(std::mt19937_64& gen, std::size_t stages) {
    GradientBoostingImpl model(GradientBoostingParameters{
        TreeParameters{static_cast<std::uint8_t>(gen()), gen()}, static_cast<std::uint32_t>(gen()),
        awkward_double(gen)});
    for (std::size_t k = 0; k < stages; ++k) model.estimators.push_back(sample_tree(gen, gen() % 6));
    model.mean = awkward_double(gen);
    return model;
}

inline DeepBoostingImpl sample_deep(std::mt19937_64& gen, std::size_t layers) {
    DeepBoostingImpl model(DeepBoostingParameters{static_cast<std::uint32_t>(gen()),
                                                  static_cast<std::uint32_t>(gen()), awkward_double(gen)});
    for (std::size_t k = 0; k < layers; ++k) {
        AverageEnsemble layer;
        for (std::size_t m = gen() % 3; m > 0; --m) layer.estimators.push_back(sample_boosting(gen, gen() % 3));
        model.estimators.push_back(layer);
    }
    return model;
}

// Bit-for-bit equality of two records, through their binary images.
template <class T> bool same_record(const T& a, const T& b) {
    return persist::to_bincode(a) == persist::to_bincode(b);
}

}  // namespace vandu::testing
