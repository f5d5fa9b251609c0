// Built with -mavx512f. A level's leaves filled in one pass over every sample in order,
// sixteen samples at a time: each node's next rows' words, as many as its tags among the
// sixteen, spread to their lanes; each lane's side by its node's bit, its value from the
// eight leaves' in one register, taken off (or set) in the lanes of a node that fills.
// Each sample's operation is the portable one's.
#if defined(__x86_64__)
// GCC 12 warns on the intrinsics' own undefined vectors.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels {
namespace avx2 {
void tagged_leaves(const TaggedLeaves&);
}  // namespace avx2

namespace avx512 {
namespace {

constexpr std::size_t lanes = 16;
static_assert(2 * max_tagged_nodes <= 8, "the leaves' values take one register");

// The next `count` rows' words (`words` a row, at most 2) from `at`, in the lanes of `lane`.
template <std::size_t Words>
__m512i spread(const std::uint32_t* at, unsigned count, __mmask16 lane) {
    if constexpr (Words == 1) {
        return _mm512_maskz_expand_epi32(lane, _mm512_maskz_loadu_epi32(static_cast<__mmask16>((1u << count) - 1), at));
    } else {
        // Rows' words apart: the even ones of the next 2 * count - 1.
        const unsigned wanted = 2 * count - (count > 0);
        const __m512i lo = _mm512_maskz_loadu_epi32(static_cast<__mmask16>((1u << std::min(wanted, 16u)) - 1), at);
        const __m512i hi = _mm512_maskz_loadu_epi32(
            static_cast<__mmask16>((1u << (wanted > 16 ? wanted - 16 : 0)) - 1), at + lanes);
        const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        return _mm512_maskz_expand_epi32(lane, _mm512_permutex2var_epi32(lo, even, hi));
    }
}

template <std::size_t Words, bool Subtract>
std::size_t leaves_in_lanes(const TaggedLeaves& p, const std::uint32_t** at) {
    const std::size_t n_nodes = std::min(p.n_nodes, max_tagged_nodes);
    alignas(64) std::int32_t bits[lanes] = {};
    alignas(64) double values[8] = {};
    for (std::size_t t = 0; t < n_nodes; ++t) {
        bits[t] = static_cast<std::int32_t>(p.nodes[t].bit % 32);
        values[2 * t] = p.nodes[t].value[0];
        values[2 * t + 1] = p.nodes[t].value[1];
    }
    const __m512i bit = _mm512_load_si512(bits);
    const __m512d value = _mm512_load_pd(values);
    const __m512i one = _mm512_set1_epi32(1), leaf_mask = _mm512_set1_epi32(2 * max_tagged_nodes - 1);
    double* const fitted = p.fitted;
    const std::size_t full = p.n / lanes * lanes;
    for (std::size_t s = 0; s < full; s += lanes) {
        const __m512i tag = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p.tags + s)));
        __m512i word = _mm512_setzero_si512();
        __mmask16 fills = 0;
        for (std::size_t t = 0; t < n_nodes; ++t) {
            const __mmask16 lane = _mm512_cmpeq_epi32_mask(tag, _mm512_set1_epi32(static_cast<int>(t)));
            if (!lane || !p.nodes[t].sides) continue;
            const auto count = static_cast<unsigned>(std::popcount(static_cast<unsigned>(lane)));
            word = _mm512_or_si512(word, spread<Words>(at[t], count, lane));
            at[t] += count * Words;
            fills = static_cast<__mmask16>(fills | lane);
        }
        if (!fills) continue;
        // The leaf 2 * tag + side, within the register in every lane (only the filled ones count).
        const __m512i side = _mm512_and_si512(_mm512_srlv_epi32(word, _mm512_permutexvar_epi32(tag, bit)), one);
        const __m512i leaf = _mm512_and_si512(_mm512_add_epi32(_mm512_add_epi32(tag, tag), side), leaf_mask);
        for (int half = 0; half < 2; ++half) {
            const __m256i leaves = half ? _mm512_extracti64x4_epi64(leaf, 1) : _mm512_castsi512_si256(leaf);
            const __m512d v = _mm512_permutexvar_pd(_mm512_cvtepu32_epi64(leaves), value);
            const auto mask = static_cast<__mmask8>(fills >> (8 * half));
            double* const out = fitted + s + 8 * half;
            // The other lanes written back as read (the fit's only thread writes them): a
            // masked store took longer.
            const __m512d before = _mm512_loadu_pd(out);
            _mm512_storeu_pd(out, Subtract ? _mm512_mask_sub_pd(before, mask, before, v)
                                           : _mm512_mask_blend_pd(mask, before, v));
        }
    }
    return full;
}

}  // namespace

void tagged_leaves(const TaggedLeaves& p) {
    // The portable pass takes rows of more words, and the last samples from each node's
    // next row on.
    if (p.words > 2) return avx2::tagged_leaves(p);
    const std::uint32_t* at[max_tagged_nodes] = {};
    const std::size_t n_nodes = std::min(p.n_nodes, max_tagged_nodes);
    for (std::size_t t = 0; t < n_nodes; ++t) at[t] = p.nodes[t].sides;
    const std::size_t done =
        p.words == 1 ? (p.subtract ? leaves_in_lanes<1, true>(p, at) : leaves_in_lanes<1, false>(p, at))
                     : (p.subtract ? leaves_in_lanes<2, true>(p, at) : leaves_in_lanes<2, false>(p, at));
    TaggedLeaf rest[max_tagged_nodes];
    for (std::size_t t = 0; t < n_nodes; ++t) rest[t] = {p.nodes[t].sides ? at[t] : nullptr, p.nodes[t].bit,
                                                          {p.nodes[t].value[0], p.nodes[t].value[1]}};
    avx2::tagged_leaves({p.n - done, p.tags + done, rest, n_nodes, p.words, p.subtract, p.fitted + done});
}

}  // namespace avx512
}  // namespace vandu::kernels
#endif
