// Every runnable variant of the kernels over codes, alone on one thread: making the codes
// (nanoseconds per value) and the estimate pass (nanoseconds per row, the rows contiguous
// as at a root, and every other row through positions as below it, then noting the rows'
// sides too), and the partition on feature 0 through those positions: with the children's
// ranges, and as a last level's, over codes or from those sides.
// Uniform values, one threshold per feature drawn uniformly; the best of REPS runs. Built
// with the C++ tests.
//
//   vandu_code_kernels_bench [ROWS [FEATURES [REPS]]]    (1,000,000 x 20, 5 by default)
//
// Pin it (taskset -c 0) and compare figures of one run: the machine's load moves them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "tree/fit/feature_codes.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace {

using namespace vandu;
using namespace vandu::kernels;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class F>
double best_of(int reps, F&& run) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const double start = now();
        run();
        best = std::min(best, now() - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::size_t features = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20;
    const int reps = argc > 3 ? std::atoi(argv[3]) : 5;
    if (n == 0 || features == 0 || reps <= 0) {
        std::fprintf(stderr, "usage: %s [ROWS [FEATURES [REPS]]]\n", argv[0]);
        return 2;
    }
    const std::size_t stride = (features + 3) / 4 * 4;
    std::mt19937_64 gen(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(n * stride, 0.0), y(n);
    for (std::size_t s = 0; s < n; ++s) {
        for (std::size_t f = 0; f < features; ++f) x[s * stride + f] = u(gen);
        y[s] = 10.0 * u(gen);
    }
    FeatureCodes codes;
    const double build = best_of(std::min(reps, 3), [&] { codes.build(x.data(), n, stride, features, 1); });
    std::printf("%zu x %zu; FeatureCodes::build (the chosen variant) %.2f ns/value\n", n, features,
                build * 1e9 / static_cast<double>(n * features));

    std::vector<double> thresholds(stride, INFINITY);
    const std::size_t groups = (stride + FeatureCodes::group - 1) / FeatureCodes::group;
    std::vector<code_t> above(groups * FeatureCodes::group, FeatureCodes::none), tie(above.size(), 0);
    std::vector<std::uint32_t> exact(groups, 0);
    for (std::size_t f = 0; f < features; ++f) {
        thresholds[f] = u(gen);
        const CodeThreshold side = code_threshold(codes, f, thresholds[f]);
        above[f] = side.above;
        tie[f] = side.tie;
        if (side.exact) exact[f / FeatureCodes::group] |= 3u << (2 * (f % FeatureCodes::group));
    }
    const CodeSearch search{above.data(), tie.data(), exact.data(), thresholds.data()};
    std::vector<std::uint32_t> index;  // 4-byte positions, as a fit below 2^32 samples keeps them
    for (std::size_t s = 0; s < n; ++s)
        if (gen() % 2 != 0) index.push_back(s);
    std::vector<std::int64_t> count(stride);
    std::vector<double> sum(stride);
    std::vector<code_t> out(n * features);
    std::vector<std::uint8_t> pure(FeatureCodes::bins * features);

    std::printf("| variant | codes, ns/value | estimate pass, contiguous, ns/row | through positions, ns/row |"
                " noting sides, ns/row | partition with ranges, ns/row | last level's by codes, ns/row |"
                " by side words, ns/row |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    std::vector<double> low(2 * stride), high(2 * stride);
    std::vector<code_t> low_code(2 * groups * FeatureCodes::group), high_code(low_code.size());
    const std::size_t words = side_words(features);
    std::vector<std::uint32_t> sides(n * words);
    std::vector<double> out_y(n);
    std::vector<std::uint32_t> out_at(n);
    for (const CodeKernels* k : runnable_code_kernels()) {
        const double values = best_of(std::min(reps, 3), [&] {
            // As FeatureCodes::build goes: blocks of rows, a feature at a time.
            for (std::size_t from = 0; from < n; from += 1024) {
                const std::size_t to = std::min(n, from + 1024);
                for (std::size_t f = 0; f < features; ++f)
                    k->code_values(codes.levels(f), x.data() + from * stride + f, stride, to - from,
                                   out.data() + from * features + f, features, pure.data() + f * FeatureCodes::bins);
            }
        });
        double pass[3];
        const std::size_t rows = index.size();
        const CodeRows through{codes.codes(), codes.pitch(), x.data(), stride, index.data(), 0, features};
        for (const bool indexed : {false, true}) {
            const std::size_t r = indexed ? rows : n;
            const CodeRows code_rows{codes.codes(), codes.pitch(), x.data(), stride, indexed ? index.data() : nullptr,
                                     0, features};
            pass[indexed] = best_of(reps, [&] {
                                k->code_sums(code_rows, stride, r, y.data(), 0.5, search, count.data(), sum.data(),
                                             nullptr);
                            }) * 1e9 / static_cast<double>(r);
        }
        const bool noted = features <= max_side_features;
        pass[2] = noted ? best_of(reps, [&] {
                              k->code_sums(through, stride, rows, y.data(), 0.5, search, count.data(), sum.data(),
                                           sides.data());
                          }) * 1e9 / static_cast<double>(rows)
                        : 0.0;
        // The last level's partition of the first feature through positions: over codes, or
        // from the side words the pass noted.
        const std::size_t n_left = rows - static_cast<std::size_t>(count[0]);
        const CodeThreshold side = code_threshold(codes, 0, thresholds[0]);
        const CodePartition by_codes{through, rows, 0, thresholds[0], side, y.data(), out_y.data(), out_at.data(),
                                     {0, n_left}, {n_left, rows}, nullptr, nullptr, &codes};
        const double partition = best_of(reps, [&] { k->code_partition(by_codes); }) * 1e9 / static_cast<double>(rows);
        const double ranged = best_of(reps, [&] {
                                  SideRanges ranges[2];
                                  for (std::size_t sd = 0; sd < 2; ++sd)
                                      ranges[sd] = {low.data() + sd * stride, high.data() + sd * stride, 0,
                                                    low_code.data() + sd * groups * FeatureCodes::group,
                                                    high_code.data() + sd * groups * FeatureCodes::group};
                                  CodePartition p = by_codes;
                                  p.ranges = ranges;
                                  if (!k->code_partition(p)) std::abort();
                              }) * 1e9 / static_cast<double>(rows);
        const Partition by_words{nullptr, y.data(), index.data(), true, 0, rows, 0, thresholds[0], nullptr, out_y.data(),
                                 out_at.data(), {0, n_left}, {n_left, rows}, nullptr, nullptr, nullptr, sides.data(),
                                 words};
        const double from_words =
            noted ? best_of(reps, [&] { node_kernels().partition(by_words, stride); }) * 1e9 / static_cast<double>(rows)
                  : 0.0;
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", k->name,
                    values * 1e9 / static_cast<double>(n * features), pass[0], pass[1], pass[2], ranged, partition,
                    from_words);
    }
    return 0;
}
