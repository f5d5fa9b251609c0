#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "code_columns.hpp"
#include "test_support.hpp"
#include "tree/kernels/code_kernels.hpp"
#include "tree/kernels/node_kernels.hpp"

namespace vandu::kernels {
namespace {

using vandu::testing::bits;

// Rows, and features (one group of codes, two, and more than a register set holds).
class CodeRangesMatchDoubles : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

// The ranges through codes are the doubles' pass's to the bit, from any first row: the
// first minimum and the last maximum, so -0.0 and +0.0 stay apart. A NaN is refused.
TEST_P(CodeRangesMatchDoubles, FirstMinimumLastMaximum) {
    const auto [n, features] = GetParam();
    const std::size_t stride = (features + 3) / 4 * 4;
    std::mt19937_64 gen(n * 64 + features + 7);
    std::vector<double> x(n * stride, 0.0);
    for (std::size_t s = 0; s < n; ++s)
        for (std::size_t f = 0; f < features; ++f) x[s * stride + f] = value_of(static_cast<int>(f % kinds), gen);
    for (const bool with_nan : {false, true}) {
        if (with_nan) x[(gen() % n) * stride + gen() % features] = std::nan("");
        FeatureCodes codes;
        codes.build(x.data(), n, stride, features, 1);
        for (const std::size_t first : {std::size_t{0}, n / 3}) {
            std::vector<double> want_min(stride), want_max(stride), min(features), max(features);
            std::vector<std::int64_t> nan(stride);
            const double* rows = x.data() + first * stride;
            generic_node_kernels().value_ranges(rows, nullptr, stride, stride, n - first, want_min.data(),
                                                want_max.data(), nan.data());
            bool any_nan = false;
            for (std::size_t i = first * stride; i < x.size(); ++i) any_nan = any_nan || x[i] != x[i];
            for (const CodeKernels* k : runnable_code_kernels()) {
                if (!k->code_ranges) continue;
                const CodeRows r{codes.codes(), codes.pitch(), x.data(), stride, nullptr, first, features};
                const bool read = k->code_ranges(codes, r, n - first, min.data(), max.data());
                if (features > 128 || any_nan) {
                    EXPECT_FALSE(read) << k->name;
                    continue;
                }
                ASSERT_TRUE(read) << k->name;
                for (std::size_t f = 0; f < features; ++f) {
                    ASSERT_EQ(bits(min[f]), bits(want_min[f])) << k->name << " feature " << f << " from " << first;
                    ASSERT_EQ(bits(max[f]), bits(want_max[f])) << k->name << " feature " << f << " from " << first;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CodeRangesMatchDoubles,
                         ::testing::Combine(::testing::Values(std::size_t{2}, std::size_t{200}, std::size_t{20000}),
                                            ::testing::Values(std::size_t{15}, std::size_t{40}, std::size_t{130})));

}  // namespace
}  // namespace vandu::kernels
