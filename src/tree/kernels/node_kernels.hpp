// The per-node passes of tree fitting, over a node's samples laid out side by side:
// row s holds the `stride` feature values of one sample (features padded to a multiple
// of kernel_width, padding is zero). Each pass runs kernel_width features at once;
// every lane does exactly the scalar arithmetic, so the results are bit for bit those
// of the one-feature-at-a-time definition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/numerics.hpp"

namespace vandu {

// A node's targets y, summarised around a shift c, in one pass of any order.
struct NodeTargets {
    std::size_t n = 0;
    double sum = 0.0;              // of y - c
    double squares = 0.0;          // of (y - c)^2
    double low = 0.0, high = 0.0;  // min y, max y
    double largest = 0.0;          // max |y|
    double largest_shifted = 0.0;  // max |y - c|
};

// The samples of a level's rows: 4 bytes each while a fit has fewer than 2^32 samples
// (half the memory, and the bytes each pass moves), else 8. A fitter picks the width once;
// the passes are compiled for both. Void: void or const void.
template <class Void>
struct BasicPositionPtr {
    Void* at = nullptr;  // null: none
    bool wide = false;   // std::uint64_t, else std::uint32_t

    BasicPositionPtr() = default;
    BasicPositionPtr(std::nullptr_t) {}
    BasicPositionPtr(Void* p, bool w) : at(p), wide(w) {}
    template <class P>
        requires(std::is_convertible_v<P*, Void*> && (std::is_same_v<std::remove_const_t<P>, std::uint32_t> ||
                                                       std::is_same_v<std::remove_const_t<P>, std::uint64_t>))
    BasicPositionPtr(P* p) : at(p), wide(sizeof(P) == 8) {}
    // Writable positions read as constant ones.
    operator BasicPositionPtr<const void>() const { return {at, wide}; }

    explicit operator bool() const { return at != nullptr; }
    BasicPositionPtr operator+(std::size_t s) const {
        using Byte = std::conditional_t<std::is_const_v<Void>, const char, char>;
        return {static_cast<Byte*>(at) + s * (wide ? 8 : 4), wide};
    }
    // f(p) with p the positions as a pointer to their type.
    template <class F>
    decltype(auto) visit(F&& f) const {
        using Wide = std::conditional_t<std::is_const_v<Void>, const std::uint64_t, std::uint64_t>;
        using Narrow = std::conditional_t<std::is_const_v<Void>, const std::uint32_t, std::uint32_t>;
        return wide ? f(static_cast<Wide*>(at)) : f(static_cast<Narrow*>(at));
    }
};
using PositionPtr = BasicPositionPtr<void>;
using ConstPositionPtr = BasicPositionPtr<const void>;

}  // namespace vandu

namespace vandu::kernels {

// f(index, indexed): the index as a pointer to its type, and whether there is one as a
// std::bool_constant. Rows read in order take the 8-byte type: one copy of their code.
template <class F>
decltype(auto) with_index(ConstPositionPtr index, F&& f) {
    if (!index) return f(static_cast<const std::uint64_t*>(nullptr), std::false_type{});
    return index.visit([&](auto* p) -> decltype(auto) { return f(p, std::true_type{}); });
}
// The positions' type of such a pointer.
template <class Ptr>
using pointee = std::remove_const_t<std::remove_pointer_t<Ptr>>;

inline constexpr std::size_t kernel_width = 4;

// Left and right running statistics of every feature, as doubles.
struct SideStatistics {
    double* count_left;
    double* mean_left;
    double* m2_left;
    double* count_right;
    double* mean_right;
    double* m2_right;
};

// Left counts taken on the way: mark k holds them after the first at[k] rows (at
// ascending), for feature f at count_left[k * pitch + f]. They place each chunk of rows
// when several threads partition a node.
struct CountMarks {
    const std::size_t* at = nullptr;
    std::size_t n = 0;
    double* count_left = nullptr;
    std::size_t pitch = 0;
};

// One side's value ranges, taken while its rows are moved: first minimum, last maximum.
// No NaN can reach them: the root's ranges would have failed the fit on it, so a NaN
// seen here means x was rewritten since, and the partition reports it.
struct SideRanges {
    double* min;
    double* max;
    std::size_t count;
    // With byte codes: the side's least and greatest code of every feature.
    std::int16_t* min_code = nullptr;
    std::int16_t* max_code = nullptr;
};

// Rows [0, n) of a node sent stably to their sides: row s goes right when its `feature`
// is above `threshold`, to the next free place of its side (at[side], below end[side]).
// Row s is rows + s * stride, or with `indexed` sample positions[s] of the matrix at
// `rows`; a null `positions` means row s is sample first + s. Targets always move; rows
// (which imply ranges), positions, ranges and statistics only where their outputs are
// given. The statistics are those of the side's targets pushed in row order, continuing
// from what `stats` holds.
struct Partition {
    const double* rows;
    const double* targets;
    ConstPositionPtr positions;
    bool indexed;
    std::size_t first;
    std::size_t n, feature;
    double threshold;
    double* out_rows;
    double* out_targets;
    PositionPtr out_positions;  // of the same width as `positions`
    std::size_t at[2], end[2];
    SideRanges* ranges;  // both sides'
    RunningStats* stats;  // both sides'
    // When given (and no rows move), row s's side is bit `feature` of sides[s], as the
    // masked pass found it: the row itself is not read again.
    const std::uint64_t* sides;
    // Or, as the pass over codes notes them, bit feature % 32 of side_words[s * words]
    // (side_words pointing at the feature's word of row 0).
    const std::uint32_t* side_words;
    std::size_t words;
};

// A side's targets, pushed in order onto `stats` (which may already hold earlier ones).
// With `index`, the k-th is y[index[k]]: the last level's children's targets read where
// the root read them, through the children's positions, instead of from a buffer.
struct Chain {
    const double* y;
    std::size_t n;
    RunningStats* stats;
    ConstPositionPtr index{};
};

// Both passes cover the first `width` features of each row (a multiple of kernel_width
// up to `stride`): a thread can take a share of the features by offsetting the pointers.
struct NodeKernels {
    // First minimum, last maximum and a NaN flag (non-zero) per feature, over n >= 1 rows
    // (row s at rows + s * stride, or rows + index[s] * stride when an index is given).
    void (*value_ranges)(const double* rows, ConstPositionPtr index, std::size_t stride,
                         std::size_t width, std::size_t n, double* min, double* max, std::int64_t* has_nan);
    // Welford statistics of y on each side of each feature's threshold (right when the
    // value is above it), pushed in row order.
    void (*side_statistics)(const double* rows, std::size_t stride, std::size_t width,
                            std::size_t n, const double* y, const double* thresholds,
                            SideStatistics out, CountMarks marks);
    // For each feature, the number of rows above its threshold and the sum of their
    // y - shift, in any order of addition: only a bound on its rounding matters; and, when
    // asked, the summary of the targets on the way and (width <= 64) each row's sides as
    // bits. Row s is rows + s * stride, or rows + index[s] * stride when an index is given.
    void (*masked_sums)(const double* rows, ConstPositionPtr index, std::size_t stride,
                        std::size_t width, std::size_t n, const double* y, double shift,
                        const double* thresholds, std::int64_t* count_right, double* sum_right,
                        NodeTargets* summary, std::uint64_t* sides);
    // False when a row would land beyond its side's end, or a NaN meets the ranges: the
    // rows changed since they were counted.
    bool (*partition)(const Partition& p, std::size_t stride);
    // Every chain's pushes, exactly as RunningStats::push makes them; chains run side by
    // side in vector lanes, taken in the order given (longest first keeps the lanes full).
    void (*welford_chains)(const Chain* chains, std::size_t n);
};

// The fastest variant this processor runs.
const NodeKernels& node_kernels();
// The portable variant, for comparing against the fast one.
const NodeKernels& generic_node_kernels();

}  // namespace vandu::kernels
