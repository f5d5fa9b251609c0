// Built with -mavx512f -mavx512bw (no contraction). The partition over codes with a row's
// 32 codes in one load: each side's least and greatest codes stay in four registers,
// updated under the row's side as a mask (no blends through memory), and a row's flags
// are two compares into one mask register, a bit per feature. Flagged rows are replayed
// in order through the scalar rule, as the AVX2 kernel does (code_partition.inc), so
// every outcome is the row-by-row one. Rows of more than 32 features go to that kernel.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "tree/kernels/code_extremes.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels {
namespace avx2 {
bool code_partition(const CodePartition&);
}  // namespace avx2

namespace avx512 {
namespace {

constexpr std::size_t lanes = 32;  // codes per load (FeatureCodes::reach)
static_assert(FeatureCodes::reach >= lanes, "a row's load reads 32 codes");
// Rows read through positions: their codes are asked for this many rows ahead.
constexpr std::size_t rows_ahead = 192;
// Flagged rows wait in two halves of `half`; a row flags one entry at most, and the
// filling half is looked at every `block` rows.
constexpr std::size_t half = 256, block = 64;

struct Flagged {
    std::uint64_t row;   // of its codes; its sample by sample_at
    std::uint32_t bits;  // a bit per feature
    std::uint32_t side;
};

__attribute__((noinline)) void ask_doubles(const Extremes& e, const Flagged* rows, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const code_t* codes = e.rows.codes + rows[i].row * e.rows.pitch;
        const double* x = e.rows.x + sample_at(e.rows, rows[i].row) * e.rows.stride;
        std::uint32_t bits = rows[i].bits;
        while (bits) {
            const std::size_t f = static_cast<std::size_t>(__builtin_ctz(bits));
            bits &= bits - 1;
            if (reads_double(*e.table, f, codes[f])) ask_for(x + f);
        }
    }
}

// Replays flagged rows in order through take_extremes; true when a NaN was read.
__attribute__((noinline)) bool replay(const Extremes& e, const Flagged* rows, std::size_t n) {
    bool nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        const code_t* codes = e.rows.codes + rows[i].row * e.rows.pitch;
        const double* x = e.rows.x + sample_at(e.rows, rows[i].row) * e.rows.stride;
        std::uint32_t bits = rows[i].bits;
        while (bits) {
            const std::size_t f = static_cast<std::size_t>(__builtin_ctz(bits));
            bits &= bits - 1;
            nan |= take_extremes(e, rows[i].side, f, codes[f], x + f);
        }
    }
    return nan;
}

using FlaggedRows = FlaggedHalves<Flagged, const Extremes&, half, block>;

// Kept apart, so that a profile tells the variants apart. P: the positions' type.
// InOrder: CodeRows::in_order, known when compiled.
template <class P, bool Indexed, bool InOrder, bool Ranges, bool Positions, bool Stats>
__attribute__((noinline)) bool partition_codes(const CodePartition& p) {
    // Everything in locals: stores could alias the description otherwise.
    std::size_t at_left = p.at[0], at_right = p.at[1];
    const std::size_t end_left = p.end[0], end_right = p.end[1];
    const CodeRows r = p.rows;
    const std::size_t n_features = r.n_features;
    const std::size_t span = (n_features + FeatureCodes::group - 1) / FeatureCodes::group * FeatureCodes::group;
    const code_t* __restrict side_codes = r.codes + p.feature;
    const double* __restrict side_values = r.x + p.feature;
    const code_t above = p.side.above, tie = p.side.tie;
    const bool exact = p.side.exact;
    const double threshold = p.threshold;
    const double* __restrict in_targets = p.targets;
    double* __restrict out_targets = p.out_targets;
    P* __restrict out_positions = static_cast<P*>(p.out_positions.at);
    // Codes go along from the root or from codes in order only (the grower's levels).
    code_t* __restrict out_codes = InOrder || !Indexed ? p.out_codes : nullptr;

    Extremes extremes{};
    std::size_t seen[2] = {0, 0};
    // The features that exist, and the lanes of the sides' code arrays (whole groups).
    const __mmask32 valid = static_cast<__mmask32>(n_features >= lanes ? ~0u : (1u << n_features) - 1);
    const __mmask32 stored = static_cast<__mmask32>(span >= lanes ? ~0u : (1u << span) - 1);
    // Each side's least and greatest codes so far, for flagging.
    __m512i lo0 = _mm512_setzero_si512(), lo1 = lo0, hi0 = lo0, hi1 = lo0;
    if constexpr (Ranges) {
        extremes.table = p.table;
        extremes.rows = r;
        for (int side = 0; side < 2; ++side) {
            SideRanges& s = p.ranges[side];
            extremes.lo_code[side] = s.min_code;
            extremes.hi_code[side] = s.max_code;
            extremes.lo[side] = s.min;
            extremes.hi[side] = s.max;
            seen[side] = s.count;
            // Before a side's first row nothing is extreme: every code of that row is
            // flagged, and the replay takes its codes and values.
            if (seen[side] == 0) {
                std::fill(s.min_code, s.min_code + span, FeatureCodes::none);
                std::fill(s.max_code, s.max_code + span, code_t{-1});
            }
        }
        lo0 = _mm512_maskz_loadu_epi16(stored, p.ranges[0].min_code);
        lo1 = _mm512_maskz_loadu_epi16(stored, p.ranges[1].min_code);
        hi0 = _mm512_maskz_loadu_epi16(stored, p.ranges[0].max_code);
        hi1 = _mm512_maskz_loadu_epi16(stored, p.ranges[1].max_code);
    }
    FlaggedRows flagged(extremes, Ranges);

    double mean[2] = {0.0, 0.0}, m2[2] = {0.0, 0.0};
    std::uint64_t pushed[2] = {0, 0};
    if constexpr (Stats) {
        for (int side = 0; side < 2; ++side) {
            mean[side] = p.stats[side].mean;
            m2[side] = p.stats[side].m2;
            pushed[side] = p.stats[side].count;
        }
    }
    const std::size_t n = p.n;
    Flagged* waiting = flagged.filling();
    std::size_t used = 0;
    // A row; with Checked, false when it would land beyond its side's end.
    const auto row = [&](std::size_t s, auto checked) __attribute__((always_inline)) {
        {
            if constexpr (Indexed) {
                if (s + rows_ahead < n) {
                    // The lines of the row's codes the pass reads: all of them for the
                    // ranges, else the one of its feature.
                    const code_t* ahead =
                        r.codes + (InOrder ? s + rows_ahead : sample_of<Indexed, P>(r, s + rows_ahead)) * r.pitch;
                    if constexpr (Ranges) {
                        _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
                        _mm_prefetch(reinterpret_cast<const char*>(ahead + n_features - 1), _MM_HINT_T0);
                    } else {
                        _mm_prefetch(reinterpret_cast<const char*>(ahead + p.feature), _MM_HINT_T0);
                    }
                }
            }
            const std::size_t sample = sample_of<Indexed, P>(r, s), at = InOrder ? s : sample;
            const code_t code = side_codes[at * r.pitch];
            std::size_t side = code > above ? 1 : 0;
            if (exact && code == tie) side = side_values[sample * r.stride] > threshold ? 1 : 0;
            const std::size_t pick = 0 - side;
            const std::size_t dst = at_left ^ ((at_left ^ at_right) & pick);
            if constexpr (decltype(checked)::value)
                if (dst >= (end_left ^ ((end_left ^ end_right) & pick))) return false;
            at_left += 1 - side;
            at_right += side;
            if constexpr (Ranges) {
                // The row's side as a mask: its extremes flag the row and take its codes.
                const __mmask32 right = static_cast<__mmask32>(pick), left = static_cast<__mmask32>(~pick);
                // Only the row's own codes: the next row's line may not be fetched (positions).
                const __m512i c = _mm512_maskz_loadu_epi16(valid, r.codes + at * r.pitch);
                if (out_codes) _mm512_mask_storeu_epi16(out_codes + dst * r.pitch, valid, c);
                const __m512i l = _mm512_mask_blend_epi16(right, lo0, lo1);
                const __m512i h = _mm512_mask_blend_epi16(right, hi0, hi1);
                const std::uint32_t bits = _mm512_mask_cmple_epi16_mask(valid, c, l) |
                                           _mm512_mask_cmpge_epi16_mask(valid, c, h);
                // Only a flagged row can move an extreme, at or beyond a side's in some
                // feature: the updates and the note wait behind a branch that rarely goes in
                // once the extremes settle. The kernel took 0.85 of the time (1,000,000 x
                // 20 through positions, Intel Xeon).
                if (__builtin_expect(bits != 0, 0)) {
                    lo0 = _mm512_mask_min_epi16(lo0, left, lo0, c);
                    lo1 = _mm512_mask_min_epi16(lo1, right, lo1, c);
                    hi0 = _mm512_mask_max_epi16(hi0, left, hi0, c);
                    hi1 = _mm512_mask_max_epi16(hi1, right, hi1, c);
                    waiting[used++] = {at, bits, static_cast<std::uint32_t>(side)};
                }
            }
            const double yv = in_targets[s];
            out_targets[dst] = yv;
            if constexpr (Positions) out_positions[dst] = static_cast<P>(sample);
            if constexpr (Stats) {
                // RunningStats::push, exactly.
                pushed[side] += 1;
                const double count = static_cast<double>(pushed[side]);
                const double d = (yv - mean[side]) / count;
                mean[side] = mean[side] + d;
                m2[side] = m2[side] + (count - 1.0) * ((d * d) * count);
            }
        }
        return true;
    };
    for (std::size_t from = 0; from < n; from += block) {
        const std::size_t to = std::min(n, from + block);
        if constexpr (!Indexed) fetch_codes(r, to, std::min(n, to + block));
        // Where both sides have room for the whole block no row of it can pass its end.
        if (at_left + (to - from) <= end_left && at_right + (to - from) <= end_right) {
            for (std::size_t s = from; s < to; ++s) row(s, std::false_type{});
        } else {
            for (std::size_t s = from; s < to; ++s)
                if (!row(s, std::true_type{})) return false;
        }
        if (Ranges && FlaggedRows::full(used)) {
            flagged.turn(used);
            waiting = flagged.filling();
            used = 0;
        }
    }
    if constexpr (Ranges) {
        const bool nan = flagged.finish(used);
        p.ranges[0].count = seen[0] + (at_left - p.at[0]);
        p.ranges[1].count = seen[1] + (at_right - p.at[1]);
        if (nan) return false;
    }
    if constexpr (Stats)
        for (int side = 0; side < 2; ++side) p.stats[side] = {mean[side], pushed[side], m2[side]};
    return true;
}

template <class P, bool Indexed, bool InOrder, bool Ranges>
bool partition_with(const CodePartition& p) {
    if (p.out_positions)
        return p.stats ? partition_codes<P, Indexed, InOrder, Ranges, true, true>(p)
                       : partition_codes<P, Indexed, InOrder, Ranges, true, false>(p);
    return p.stats ? partition_codes<P, Indexed, InOrder, Ranges, false, true>(p)
                   : partition_codes<P, Indexed, InOrder, Ranges, false, false>(p);
}

template <class P>
bool partition_of(const CodePartition& p) {
    if (p.rows.index && p.rows.in_order)
        return p.ranges ? partition_with<P, true, true, true>(p) : partition_with<P, true, true, false>(p);
    if (p.rows.index)
        return p.ranges ? partition_with<P, true, false, true>(p) : partition_with<P, true, false, false>(p);
    return p.ranges ? partition_with<P, false, false, true>(p) : partition_with<P, false, false, false>(p);
}

}  // namespace

bool code_partition(const CodePartition& p) {
    // A row's extremes in one register: wider rows take the AVX2 kernel's groups.
    if (p.ranges && p.rows.n_features > lanes) return avx2::code_partition(p);
    const bool wide = p.rows.index ? p.rows.index.wide : p.out_positions.wide;
    return wide ? partition_of<std::uint64_t>(p) : partition_of<std::uint32_t>(p);
}

}  // namespace avx512
}  // namespace vandu::kernels
#endif
