#include "tree/fit/feature_codes.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/step_trace.hpp"
#include "core/worker_pool.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace vandu {
namespace {

// Enough to place the edges near the quantiles; more would only cost sorting time.
constexpr std::size_t edge_sample = std::size_t{1} << 14;

// Where codes pay: with the AVX-512 estimate pass, from a matrix of 12 MiB of doubles (at
// 100,000 x 20 the fit is a fifth faster through codes, at 50,000 x 20 even); with the
// others, from 32 MiB.
std::size_t codes_pay_from() {
    return std::strcmp(kernels::code_kernels().name, "avx512bw") == 0 ? (std::size_t{3} << 19)
                                                                       : (std::size_t{1} << 22);
}

std::atomic<std::size_t> coded_from{codes_pay_from()};

// Sorts the m non-NaN doubles at v as std::sort with `<` does, through `keys` (2m words).
// Equal doubles have equal bits except -0.0 and +0.0, which `<` leaves in whatever order
// std::sort puts them: a sample holding both takes std::sort itself, every other one a
// stable radix sort of keys that order as the doubles do (the same sequence, bit for bit).
void sort_sample(double* v, std::size_t m, std::uint64_t* keys) {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    std::uint32_t counts[8][256] = {};
    bool plus_zero = false, minus_zero = false;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t b = std::bit_cast<std::uint64_t>(v[i]);
        plus_zero |= b == 0;
        minus_zero |= b == sign;
        // Negative values: all bits flipped (greater magnitudes first); others: the sign set.
        const std::uint64_t k = b ^ ((0 - (b >> 63)) | sign);
        keys[i] = k;
        for (int d = 0; d < 8; ++d) ++counts[d][(k >> (8 * d)) & 0xff];
    }
    if (plus_zero && minus_zero) {
        std::sort(v, v + m);
        return;
    }
    // A digit all keys share needs no pass.
    std::uint64_t* from = keys;
    std::uint64_t* to = keys + m;
    for (int d = 0; d < 8; ++d) {
        std::uint32_t* c = counts[d];
        if (c[(from[0] >> (8 * d)) & 0xff] == m) continue;
        std::uint32_t at = 0;
        for (int b = 0; b < 256; ++b) {
            const std::uint32_t here = c[b];
            c[b] = at;
            at += here;
        }
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t k = from[i];
            to[c[(k >> (8 * d)) & 0xff]++] = k;
        }
        std::swap(from, to);
    }
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t k = from[i];
        v[i] = std::bit_cast<double>(k ^ ((k >> 63) ? sign : ~std::uint64_t{0}));
    }
}

}  // namespace

void FeatureCodes::place_edges(std::size_t f, double* values, std::size_t taken, std::uint64_t* keys) {
    std::size_t m = 0;
    for (std::size_t k = 0; k < taken; ++k) {
        const double v = values[k];
        if (v == v) values[m++] = v;
    }
    if (m > 0) sort_sample(values, m, keys);
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
        for (std::size_t b = 1; b < bins; ++b) add(values[(m * b + bins - 1) / bins - 1]);
    }
    // Past the last edge values are only known to be greater.
    for (std::size_t b = k; b < bins; ++b) pure_[f * bins + b] = 0;
    // A sampled value without its bin's edge bits is one of the matrix's: its bin is
    // impure before any row is coded, and a feature with no pure bin left needs no check
    // per row (a continuous one, whose bins each hold sampled values below their edge).
    for (std::size_t i = 0, c = 0; i < m; ++i) {
        while (c < k && e[c] < values[i]) ++c;
        if (std::bit_cast<std::uint64_t>(values[i]) != std::bit_cast<std::uint64_t>(e[c])) pure_[f * bins + c] = 0;
    }
    double* level = levels_.data() + f * level_size;
    for (std::size_t i = 0; i < 16; ++i) level[i] = e[256 * i + 255];
    for (std::size_t i = 0; i < 256; ++i) level[16 + i] = e[16 * i + 15];
    place_windows(f, values, m, k);
}

void FeatureCodes::place_windows(std::size_t f, const double* values, std::size_t m, std::size_t k) {
    window_maps_[f] = {};
    const double* e = edges(f);
    if (k < 2 * window_width) return;
    const double low = e[0], scale = static_cast<double>(slots) / (e[k - 1] - low);
    if (!std::isfinite(low) || !std::isfinite(scale) || !(scale > 0.0)) return;
    const EdgeLevels l = {nullptr, nullptr, e, nullptr, low, scale};
    // slot_of never decreases as v grows, so every edge of a lower slot than v's lies below
    // v, every edge of a higher one above: v's code is at least the count of edges of lower
    // slots, the window's start, and the window holds it unless all eight lie below v.
    std::uint16_t* w = windows_.data() + f * slots;
    std::size_t c = 0;
    for (std::size_t j = 0; j < slots; ++j) {
        while (c < k && slot_of(l, e[c]) < j) ++c;
        w[j] = static_cast<std::uint16_t>(std::min(c, bins - window_width));
    }
    // Kept where the sample mostly finds its codes in the windows: a value the window
    // misses takes the full search after the guess.
    std::size_t missed = 0;
    c = 0;
    for (std::size_t i = 0; i < m; ++i) {
        while (c < k && e[c] < values[i]) ++c;
        missed += c - w[slot_of(l, values[i])] >= window_width;
    }
    if (missed * 16 <= m) window_maps_[f] = {low, scale};
}

void FeatureCodes::build(const double* x, std::size_t n, std::size_t stride, std::size_t n_features,
                         std::size_t team) {
    n_features_ = n_features;
    padded_ = (n_features + group - 1) / group * group;
    edges_.assign(n_features * bins, std::numeric_limits<double>::infinity());
    pure_.assign(n_features * bins, 1);
    levels_.assign(n_features * level_size, 0.0);
    windows_.resize(n_features * slots);
    window_maps_.assign(n_features, {});
    // The last row's loads may run past its own codes.
    codes_.resize(n * n_features + reach);
    std::memset(codes_.data() + n * n_features, 0, reach * sizeof(code_t));

    // The features' edges on the team: sorting the samples is most of a small matrix's time.
    const std::size_t taken = std::min(n, edge_sample);
    const std::size_t edge_tasks = n * n_features >= (std::size_t{1} << 20) ? std::min(team, n_features) : 1;
    // A task's features in runs of a group: each sampled row is read once per run, its
    // values written out per feature.
    parallel_team(edge_tasks, [&](std::size_t t) {
        const std::size_t first = n_features * t / edge_tasks, last = n_features * (t + 1) / edge_tasks;
        std::vector<double> values(std::min(last - first, group) * taken);
        std::vector<std::uint64_t> keys(2 * taken);
        for (std::size_t from = first; from < last; from += group) {
            const std::size_t width = std::min(last - from, group);
            for (std::size_t k = 0; k < taken; ++k) {
                const double* row = x + (n * k / taken) * stride + from;
                for (std::size_t j = 0; j < width; ++j) values[j * taken + k] = row[j];
            }
            for (std::size_t j = 0; j < width; ++j)
                place_edges(from + j, values.data() + j * taken, taken, keys.data());
        }
    });

    // Rows in chunks, taken by whichever team thread is free (a core another process holds
    // for a while leaves its share to the others), each thread with its own purity flags,
    // combined after.
    const std::size_t tasks = n * n_features >= (std::size_t{1} << 20) ? team : 1;
    constexpr std::size_t block = 256;
    const std::size_t blocks = (n + block - 1) / block;
    const std::size_t chunks = std::min(blocks, tasks > 1 ? 16 * tasks : 1);
    std::atomic<std::size_t> next{0};
    std::vector<std::vector<std::uint8_t>> pure(tasks, pure_);
    std::vector<char> any_pure(n_features);
    for (std::size_t f = 0; f < n_features; ++f)
        any_pure[f] = std::any_of(pure_.begin() + f * bins, pure_.begin() + (f + 1) * bins, [](auto p) { return p != 0; });
    const auto code_values = kernels::code_kernels().code_values;
    parallel_team(tasks, [&](std::size_t t) {
        std::uint8_t* flags = pure[t].data();
        for (std::size_t k; (k = next.fetch_add(1)) < chunks;) {
            // Blocks of rows that stay in the cache while each feature's edges are searched
            // (one table at a time stays close, and the rows' searches overlap).
            const std::size_t last = std::min(n, blocks * (k + 1) / chunks * block);
            for (std::size_t from = blocks * k / chunks * block; from < last; from += block) {
                const std::size_t to = std::min(last, from + block);
                // The next block's rows are asked for a slice per feature, in the shadow of
                // this block's searches.
                const char* next_rows = reinterpret_cast<const char*>(x + to * stride);
                const std::size_t ahead = (std::min(last, to + block) - to) * stride * sizeof(double);
                for (std::size_t f = 0; f < n_features; ++f) {
                    for (std::size_t o = ahead * f / n_features; o < ahead * (f + 1) / n_features; o += 64)
                        __builtin_prefetch(next_rows + o);
                    code_values(levels(f), x + from * stride + f, stride, to - from,
                                codes_.data() + from * n_features + f, n_features,
                                any_pure[f] ? flags + f * bins : nullptr);
                }
            }
            step_trace::task_boundary();
        }
    });
    for (std::size_t t = 0; t < tasks; ++t)
        for (std::size_t i = 0; i < pure_.size(); ++i) pure_[i] &= pure[t][i];
    ready_ = true;
}

code_t FeatureCodes::bin_of(std::size_t f, double v) const {
    // Three steps of sixteen, as the codes were made: a node's thresholds come after
    // passes over the whole matrix, and each of the binary search's twelve dependent reads
    // missed the cache. The edges ascend, so each step's count is the search's.
    const double* top = levels_.data() + f * level_size;
    const double* middle = top + 16;
    const double* e = edges(f);
    std::size_t high = 0, mid = 0, low = 0;
    for (std::size_t i = 0; i < 16; ++i) high += top[i] < v;
    for (std::size_t i = 0; i < 16; ++i) mid += middle[16 * high + i] < v;
    for (std::size_t i = 0; i < 16; ++i) low += e[256 * high + 16 * mid + i] < v;
    return static_cast<code_t>(256 * high + 16 * mid + low);
}

std::size_t coded_matrix_values() { return coded_from.load(std::memory_order_relaxed); }

std::size_t fits_before_codes(std::size_t values, std::size_t depth) {
    // A tree wins the making back at its first fit once its doubles outgrow the last cache
    // (32 MiB) and it has levels enough to read the codes. Through codes, depth-10 trees
    // (20 features, AVX-512, one thread) took 0.85 times as long at 1,000,000 and 600,000
    // rows, 0.9 at 300,000 to 400,000, but 1.1 to 1.3 times as long at 200,000 and 2.6 at
    // 100,000, whose doubles stay in the cache; at 1,000,000 rows depth 4 took 1.1 times
    // as long, depth 5 0.95, depth 6 0.87, depth 8 0.78. So a boosting fit of shallow
    // stages still makes them at its second stage. Other processors make codes more slowly
    // and keep them for a second fit.
    if (coded_matrix_values() == 0) return 0;
    const bool avx512 = std::strcmp(kernels::code_kernels().name, "avx512bw") == 0;
    return avx512 && values >= (std::size_t{1} << 22) && depth >= 6 ? 0 : 1;
}

void set_coded_matrix_values_for_testing(std::size_t values) { coded_from.store(values, std::memory_order_relaxed); }

CodeThreshold code_threshold(const FeatureCodes& codes, std::size_t f, double threshold) {
    const code_t b = codes.bin_of(f, threshold);
    // Codes below b hold values at most the edge below the threshold, codes above b
    // values above the threshold's own edge, which is at least the threshold.
    if (codes.pure(f, static_cast<std::size_t>(b))) {
        const double e = codes.edge(f, static_cast<std::size_t>(b));
        if (!(e > threshold)) return {b, 0, false};
        if (b > 0) return {static_cast<code_t>(b - 1), 0, false};
    }
    return {b, b, true};
}

}  // namespace vandu
