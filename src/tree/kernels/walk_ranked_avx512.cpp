// Built with -mavx512f -mavx512bw (no contraction): the ranked kernel, 32 rows of 16-bit
// ranks per vector. Every node is compared as in the shallow kernel, but the selects pick
// leaf numbers, and each group of eight rows then takes its leaves' values by a permute:
// the same leaf bits, added in tree order. The rows are interleaved (see ranked_place).
#if defined(__x86_64__)
// GCC 12 warns on the intrinsics' own undefined vectors.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "tree/kernels/walk_kernels.hpp"

namespace vandu::walk::avx512 {

namespace {

constexpr std::size_t group_rows = 32;
static_assert(block_quantum % group_rows == 0);

// The leaf numbers of node K's subtree for the rows of G groups; leaves are K >= Internal.
// A tree's thresholds and offsets are read once for all the groups.
template <std::size_t K, std::size_t Internal, std::size_t G>
[[gnu::always_inline]] inline void subtree(const std::int16_t* thresholds, const std::uint32_t* offsets,
                                           const std::int16_t* block, __m512i* out) {
    if constexpr (K >= Internal) {
        for (std::size_t g = 0; g < G; ++g) out[g] = _mm512_set1_epi16(static_cast<short>(K - Internal));
    } else {
        __m512i left[G], right[G];
        subtree<2 * K + 1, Internal, G>(thresholds, offsets, block, left);
        subtree<2 * K + 2, Internal, G>(thresholds, offsets, block, right);
        const std::int16_t* ranks = block + offsets[K];
        const __m512i threshold = _mm512_set1_epi16(thresholds[K]);
        for (std::size_t g = 0; g < G; ++g) {
            const __mmask32 goes_right = _mm512_cmpgt_epi16_mask(_mm512_loadu_si512(ranks + g * group_rows), threshold);
            out[g] = _mm512_mask_blend_epi16(goes_right, left[g], right[g]);
        }
    }
}

// Leaf values of eight rows by their leaf numbers.
template <unsigned Depth>
[[gnu::always_inline]] inline __m512d leaf_values(const __m512d* leaves, __m512i number) {
    if constexpr (Depth <= 3) {
        return _mm512_permutexvar_pd(number, leaves[0]);
    } else if constexpr (Depth == 4) {
        return _mm512_permutex2var_pd(leaves[0], number, leaves[1]);
    } else {
        const __m512d low = _mm512_permutex2var_pd(leaves[0], number, leaves[1]);
        const __m512d high = _mm512_permutex2var_pd(leaves[2], number, leaves[3]);
        return _mm512_mask_blend_pd(_mm512_test_epi64_mask(number, _mm512_set1_epi64(16)), low, high);
    }
}

// G groups of rows from r on, through every tree.
template <unsigned Depth, bool Sum, std::size_t G>
[[gnu::always_inline]] inline void run_groups(const RankedForest& f, const std::int16_t* block, double* out) {
    constexpr std::size_t internal = (std::size_t{1} << Depth) - 1;
    constexpr std::size_t n_leaves = internal + 1;
    constexpr std::size_t leaf_vectors = (n_leaves + 7) / 8;
    constexpr __mmask8 leaf_mask = static_cast<__mmask8>(n_leaves >= 8 ? 0xff : (1u << n_leaves) - 1);
    __m512d acc[G][4];
    for (auto& group : acc)
        for (auto& a : group) a = _mm512_setzero_pd();
    const std::size_t count = f.count;
    for (std::size_t t = 0; t < count; ++t) {
        __m512i number[G];
        subtree<0, internal, G>(f.thresholds + t * internal, f.offsets + t * internal, block, number);
        const double* tree_leaves = f.leaves + t * n_leaves;
        __m512d leaves[leaf_vectors];
        for (std::size_t v = 0; v < leaf_vectors; ++v)
            leaves[v] = _mm512_maskz_loadu_pd(leaf_mask, tree_leaves + 8 * v);
        // Rows 8q to 8q + 7 of a group in the low 16 bits of the lanes (see ranked_place);
        // the permutes read only the low bits.
        for (std::size_t g = 0; g < G; ++g)
            for (std::size_t q = 0; q < 4; ++q) {
                const __m512i numbers =
                    q == 0 ? number[g] : _mm512_srli_epi64(number[g], static_cast<unsigned>(16 * q));
                const __m512d v = leaf_values<Depth>(leaves, numbers);
                acc[g][q] = Sum ? _mm512_add_pd(acc[g][q], v) : v;
            }
    }
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t q = 0; q < 4; ++q) _mm512_storeu_pd(out + g * group_rows + 8 * q, acc[g][q]);
}

// Two groups at a time where the trees are shallow enough for their registers.
template <unsigned Depth, bool Sum>
void run(const RankedForest& f, const std::int16_t* block, std::size_t width, double* out) {
    constexpr std::size_t pair = 2;
    std::size_t r = 0;
    for (; r + pair * group_rows <= width; r += pair * group_rows) run_groups<Depth, Sum, pair>(f, block + r, out + r);
    for (; r < width; r += group_rows) run_groups<Depth, Sum, 1>(f, block + r, out + r);
}

template <bool Sum>
void run_depth(const RankedForest& f, const std::int16_t* block, std::size_t width, double* out) {
    switch (f.depth) {
        case 1: return run<1, Sum>(f, block, width, out);
        case 2: return run<2, Sum>(f, block, width, out);
        case 3: return run<3, Sum>(f, block, width, out);
        case 4: return run<4, Sum>(f, block, width, out);
        default: return run<5, Sum>(f, block, width, out);
    }
}

}  // namespace

void ranked(const RankedForest& f, const std::int16_t* block, std::size_t width, double* out, bool sum) {
    static_assert(max_shallow_depth == 5);
    if (sum)
        run_depth<true>(f, block, width, out);
    else
        run_depth<false>(f, block, width, out);
}

}  // namespace vandu::walk::avx512
#endif
