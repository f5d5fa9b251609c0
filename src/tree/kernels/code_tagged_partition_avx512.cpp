// Built with -mavx512f -mavx512bw (no contraction). A level's partitions in one pass over
// every row in sample order, each row tagged by its node: the codes stream in order
// instead of being gathered through each node's positions (a line from anywhere in the
// matrix per row, which took about twice the in-order root's time per row). Within a
// block of 64 rows each node's rows go in turn, its sides' least and greatest codes in
// registers; flagged rows are replayed in each node's order through the scalar rule, as
// the node's own partition does (code_partition_avx512.cpp), so every outcome is the
// row-by-row one. Rows of more than 32 features take the portable pass.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tree/kernels/code_extremes.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels {
namespace avx2 {
bool tagged_partition(const TaggedPartition&);
}  // namespace avx2

namespace avx512 {
namespace {

constexpr std::size_t lanes = 32;  // codes per load (FeatureCodes::reach)
static_assert(FeatureCodes::reach >= lanes, "a row's load reads 32 codes");
// Flagged rows wait in two halves of `half`; a row flags one entry at most, and the
// filling half is looked at every block of rows.
constexpr std::size_t half = 256, block = 64;

struct Flagged {
    std::uint64_t row;         // its sample
    std::uint32_t bits;        // a bit per feature
    std::uint32_t node_side;   // node * 2 + side
};

__attribute__((noinline)) void ask_doubles(const Extremes* e, const Flagged* rows, std::size_t n) {
    const CodeRows& r = e[0].rows;
    for (std::size_t i = 0; i < n; ++i) {
        const code_t* codes = r.codes + rows[i].row * r.pitch;
        const double* x = r.x + rows[i].row * r.stride;
        std::uint32_t bits = rows[i].bits;
        while (bits) {
            const std::size_t f = static_cast<std::size_t>(__builtin_ctz(bits));
            bits &= bits - 1;
            if (reads_double(*e[0].table, f, codes[f])) ask_for(x + f);
        }
    }
}

// Replays flagged rows in order through take_extremes, each into its node's; true when a
// NaN was read.
__attribute__((noinline)) bool replay(const Extremes* e, const Flagged* rows, std::size_t n) {
    const CodeRows& r = e[0].rows;
    bool nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        const code_t* codes = r.codes + rows[i].row * r.pitch;
        const double* x = r.x + rows[i].row * r.stride;
        const Extremes& own = e[rows[i].node_side >> 1];
        const std::size_t side = rows[i].node_side & 1;
        std::uint32_t bits = rows[i].bits;
        while (bits) {
            const std::size_t f = static_cast<std::size_t>(__builtin_ctz(bits));
            bits &= bits - 1;
            nan |= take_extremes(own, side, f, codes[f], x + f);
        }
    }
    return nan;
}

using FlaggedRows = FlaggedHalves<Flagged, const Extremes*, half, block>;

// A moving node's side as its pass starts: the replay's view of its ranges, and its least
// and greatest codes so far in registers. Before a side's first row nothing is extreme:
// every code of that row is flagged, and the replay takes its codes and values.
inline void open_side(Extremes& e, std::size_t side, SideRanges& s, std::size_t span, __mmask32 stored, __m512i& lo,
                      __m512i& hi) {
    e.lo_code[side] = s.min_code;
    e.hi_code[side] = s.max_code;
    e.lo[side] = s.min;
    e.hi[side] = s.max;
    if (s.count == 0) {
        std::fill(s.min_code, s.min_code + span, FeatureCodes::none);
        std::fill(s.max_code, s.max_code + span, code_t{-1});
    }
    lo = _mm512_maskz_loadu_epi16(stored, s.min_code);
    hi = _mm512_maskz_loadu_epi16(stored, s.max_code);
}

// P: the positions' type.
template <class P>
__attribute__((noinline)) bool tagged_rows(const TaggedPartition& p) {
    const CodeRows r = p.rows;
    const std::size_t n_nodes = std::min(p.n_nodes, max_tagged_nodes);
    const std::size_t n_features = r.n_features;
    const std::size_t span = (n_features + FeatureCodes::group - 1) / FeatureCodes::group * FeatureCodes::group;
    const __mmask32 valid = static_cast<__mmask32>(n_features >= lanes ? ~0u : (1u << n_features) - 1);
    const __mmask32 stored = static_cast<__mmask32>(span >= lanes ? ~0u : (1u << span) - 1);
    Extremes e[max_tagged_nodes] = {};
    std::size_t at[max_tagged_nodes][2] = {}, seen[max_tagged_nodes][2] = {};
    // Each node's sides' least and greatest codes so far, for flagging.
    __m512i lo[max_tagged_nodes][2], hi[max_tagged_nodes][2];
    for (std::size_t t = 0; t < n_nodes; ++t) {
        const TaggedSplit& node = p.nodes[t];
        e[t].table = p.table;
        e[t].rows = r;
        if (!node.moves) continue;
        for (int side = 0; side < 2; ++side) {
            at[t][side] = node.at[side];
            seen[t][side] = node.ranges[side].count;
            open_side(e[t], static_cast<std::size_t>(side), node.ranges[side], span, stored, lo[t][side], hi[t][side]);
        }
    }
    FlaggedRows flagged(e);
    Flagged* waiting = flagged.filling();
    std::size_t used = 0;
    const double* __restrict y = p.y;
    std::uint8_t* __restrict tags = p.tags;
    double* __restrict out_targets = p.out_targets;
    P* __restrict out_positions = static_cast<P*>(p.out_positions.at);
    const __m512i none = _mm512_set1_epi8(static_cast<char>(untagged));
    for (std::size_t b = 0; b < p.n; b += block) {
        const std::size_t in_block = std::min(block, p.n - b);
        const __mmask64 present = in_block == block ? ~__mmask64{0} : (__mmask64{1} << in_block) - 1;
        const __m512i tag = _mm512_mask_loadu_epi8(none, present, tags + b);
        __m512i next = none;
        for (std::size_t t = 0; t < n_nodes; ++t) {
            const TaggedSplit& node = p.nodes[t];
            if (!node.moves) continue;
            std::uint64_t rows = _mm512_cmpeq_epi8_mask(tag, _mm512_set1_epi8(static_cast<char>(t)));
            if (rows == 0) continue;
            const std::uint64_t mine = rows;
            std::uint64_t right_rows = 0;
            const std::size_t feature = node.feature;
            const code_t above = node.side.above, tie = node.side.tie;
            const bool exact = node.side.exact;
            const double threshold = node.threshold;
            std::size_t at_left = at[t][0], at_right = at[t][1];
            const std::size_t end_left = node.end[0], end_right = node.end[1];
            // Where both sides have room for all the node's rows of the block, none can pass its end.
            const std::size_t count = static_cast<std::size_t>(__builtin_popcountll(rows));
            const bool room = at_left + count <= end_left && at_right + count <= end_right;
            __m512i lo0 = lo[t][0], lo1 = lo[t][1], hi0 = hi[t][0], hi1 = hi[t][1];
            const std::uint32_t node_side = static_cast<std::uint32_t>(2 * t);
            do {
                const std::size_t k = static_cast<std::size_t>(__builtin_ctzll(rows));
                rows &= rows - 1;
                const std::size_t s = b + k, sample = r.first + s;
                const code_t* row = r.codes + sample * r.pitch;
                const code_t code = row[feature];
                std::size_t side = code > above ? 1 : 0;
                if (exact && code == tie) side = r.x[sample * r.stride + feature] > threshold ? 1 : 0;
                const std::size_t pick = 0 - side;
                const std::size_t dst = at_left ^ ((at_left ^ at_right) & pick);
                if (!room && dst >= (end_left ^ ((end_left ^ end_right) & pick))) return false;
                at_left += 1 - side;
                at_right += side;
                right_rows |= std::uint64_t{side} << k;
                const __mmask32 right = static_cast<__mmask32>(pick), left = static_cast<__mmask32>(~pick);
                // Only the row's own codes: its line is the one in the cache.
                const __m512i c = _mm512_maskz_loadu_epi16(valid, row);
                const __m512i l = _mm512_mask_blend_epi16(right, lo0, lo1);
                const __m512i h = _mm512_mask_blend_epi16(right, hi0, hi1);
                const std::uint32_t bits =
                    _mm512_mask_cmple_epi16_mask(valid, c, l) | _mm512_mask_cmpge_epi16_mask(valid, c, h);
                // Only a flagged row can move an extreme (see partition_codes).
                if (__builtin_expect(bits != 0, 0)) {
                    lo0 = _mm512_mask_min_epi16(lo0, left, lo0, c);
                    lo1 = _mm512_mask_min_epi16(lo1, right, lo1, c);
                    hi0 = _mm512_mask_max_epi16(hi0, left, hi0, c);
                    hi1 = _mm512_mask_max_epi16(hi1, right, hi1, c);
                    waiting[used++] = {sample, bits, node_side + static_cast<std::uint32_t>(side)};
                }
                out_targets[dst] = y[s];
                out_positions[dst] = static_cast<P>(sample);
            } while (rows != 0);
            at[t][0] = at_left;
            at[t][1] = at_right;
            lo[t][0] = lo0;
            lo[t][1] = lo1;
            hi[t][0] = hi0;
            hi[t][1] = hi1;
            next = _mm512_mask_mov_epi8(next, mine & ~right_rows, _mm512_set1_epi8(static_cast<char>(node.next[0])));
            next = _mm512_mask_mov_epi8(next, mine & right_rows, _mm512_set1_epi8(static_cast<char>(node.next[1])));
        }
        _mm512_mask_storeu_epi8(tags + b, present, next);
        if (FlaggedRows::full(used)) {
            flagged.turn(used);
            waiting = flagged.filling();
            used = 0;
        }
    }
    const bool nan = flagged.finish(used);
    for (std::size_t t = 0; t < n_nodes; ++t)
        if (p.nodes[t].moves)
            for (int side = 0; side < 2; ++side)
                p.nodes[t].ranges[side].count = seen[t][side] + (at[t][side] - p.nodes[t].at[side]);
    return !nan;
}

// Two nodes that move (a tree's first level): every row of a block in order, its node's
// state picked by its tag without a branch. A loop per node ends at a missed branch twice
// a block, and the next block's loads wait behind it.
template <class P>
__attribute__((noinline)) bool tagged_pair(const TaggedPartition& p) {
    const CodeRows r = p.rows;
    const std::size_t n_features = r.n_features;
    const std::size_t span = (n_features + FeatureCodes::group - 1) / FeatureCodes::group * FeatureCodes::group;
    const __mmask32 valid = static_cast<__mmask32>(n_features >= lanes ? ~0u : (1u << n_features) - 1);
    const __mmask32 stored = static_cast<__mmask32>(span >= lanes ? ~0u : (1u << span) - 1);
    Extremes e[2] = {};
    // By node * 2 + side.
    std::size_t at[4], end[4], seen[4];
    __m512i lo[4], hi[4];
    std::size_t feature[2];
    code_t above[2], tie[2];
    bool exact[2];
    double threshold[2];
    for (std::size_t t = 0; t < 2; ++t) {
        const TaggedSplit& node = p.nodes[t];
        e[t].table = p.table;
        e[t].rows = r;
        feature[t] = node.feature;
        above[t] = node.side.above;
        tie[t] = node.side.tie;
        exact[t] = node.side.exact;
        threshold[t] = node.threshold;
        for (std::size_t side = 0; side < 2; ++side) {
            at[2 * t + side] = node.at[side];
            end[2 * t + side] = node.end[side];
            seen[2 * t + side] = node.ranges[side].count;
            open_side(e[t], side, node.ranges[side], span, stored, lo[2 * t + side], hi[2 * t + side]);
        }
    }
    __m512i lo00 = lo[0], lo01 = lo[1], lo10 = lo[2], lo11 = lo[3];
    __m512i hi00 = hi[0], hi01 = hi[1], hi10 = hi[2], hi11 = hi[3];
    FlaggedRows flagged(e);
    Flagged* waiting = flagged.filling();
    std::size_t used = 0;
    const double* __restrict y = p.y;
    std::uint8_t* __restrict tags = p.tags;
    double* __restrict out_targets = p.out_targets;
    P* __restrict out_positions = static_cast<P*>(p.out_positions.at);
    const __m512i none = _mm512_set1_epi8(static_cast<char>(untagged));
    for (std::size_t b = 0; b < p.n; b += block) {
        const std::size_t in_block = std::min(block, p.n - b);
        const __mmask64 present = in_block == block ? ~__mmask64{0} : (__mmask64{1} << in_block) - 1;
        const __m512i tag = _mm512_mask_loadu_epi8(none, present, tags + b);
        const std::uint64_t first = _mm512_cmpeq_epi8_mask(tag, _mm512_setzero_si512());
        const std::uint64_t second = _mm512_cmpeq_epi8_mask(tag, _mm512_set1_epi8(1));
        std::uint64_t rows = first | second, right_rows = 0;
        fetch_codes(r, std::min(p.n, b + block), std::min(p.n, b + 2 * block));
        // Where every side has room for the whole block no row of it can pass its end.
        bool room = true;
        for (std::size_t j = 0; j < 4; ++j) room = room && at[j] + block <= end[j];
        while (rows != 0) {
            const std::size_t k = static_cast<std::size_t>(__builtin_ctzll(rows));
            rows &= rows - 1;
            const std::size_t s = b + k, sample = r.first + s;
            const std::size_t t = (second >> k) & 1;
            const code_t* row = r.codes + sample * r.pitch;
            const code_t code = row[feature[t]];
            std::size_t side = code > above[t] ? 1 : 0;
            if (exact[t] && code == tie[t]) side = r.x[sample * r.stride + feature[t]] > threshold[t] ? 1 : 0;
            const std::size_t j = 2 * t + side;
            const std::size_t dst = at[j];
            if (!room && dst >= end[j]) return false;
            at[j] = dst + 1;
            right_rows |= std::uint64_t{side} << k;
            const __mmask32 on_second = static_cast<__mmask32>(0 - t), right = static_cast<__mmask32>(0 - side);
            const __m512i c = _mm512_maskz_loadu_epi16(valid, row);
            const __m512i l = _mm512_mask_blend_epi16(on_second, _mm512_mask_blend_epi16(right, lo00, lo01),
                                                      _mm512_mask_blend_epi16(right, lo10, lo11));
            const __m512i h = _mm512_mask_blend_epi16(on_second, _mm512_mask_blend_epi16(right, hi00, hi01),
                                                      _mm512_mask_blend_epi16(right, hi10, hi11));
            const std::uint32_t bits =
                _mm512_mask_cmple_epi16_mask(valid, c, l) | _mm512_mask_cmpge_epi16_mask(valid, c, h);
            // Only a flagged row can move an extreme (see partition_codes).
            if (__builtin_expect(bits != 0, 0)) {
                const __m512i least = _mm512_min_epi16(l, c), greatest = _mm512_max_epi16(h, c);
                const __mmask32 m00 = static_cast<__mmask32>(~on_second & ~right);
                const __mmask32 m01 = static_cast<__mmask32>(~on_second & right);
                const __mmask32 m10 = static_cast<__mmask32>(on_second & ~right);
                const __mmask32 m11 = static_cast<__mmask32>(on_second & right);
                lo00 = _mm512_mask_mov_epi16(lo00, m00, least);
                lo01 = _mm512_mask_mov_epi16(lo01, m01, least);
                lo10 = _mm512_mask_mov_epi16(lo10, m10, least);
                lo11 = _mm512_mask_mov_epi16(lo11, m11, least);
                hi00 = _mm512_mask_mov_epi16(hi00, m00, greatest);
                hi01 = _mm512_mask_mov_epi16(hi01, m01, greatest);
                hi10 = _mm512_mask_mov_epi16(hi10, m10, greatest);
                hi11 = _mm512_mask_mov_epi16(hi11, m11, greatest);
                waiting[used++] = {sample, bits, static_cast<std::uint32_t>(j)};
            }
            out_targets[dst] = y[s];
            out_positions[dst] = static_cast<P>(sample);
        }
        const auto tag_of = [&](int node, int side) {
            return _mm512_set1_epi8(static_cast<char>(p.nodes[node].next[side]));
        };
        __m512i next = _mm512_mask_mov_epi8(none, first & ~right_rows, tag_of(0, 0));
        next = _mm512_mask_mov_epi8(next, first & right_rows, tag_of(0, 1));
        next = _mm512_mask_mov_epi8(next, second & ~right_rows, tag_of(1, 0));
        next = _mm512_mask_mov_epi8(next, second & right_rows, tag_of(1, 1));
        _mm512_mask_storeu_epi8(tags + b, present, next);
        if (FlaggedRows::full(used)) {
            flagged.turn(used);
            waiting = flagged.filling();
            used = 0;
        }
    }
    const bool nan = flagged.finish(used);
    for (std::size_t t = 0; t < 2; ++t)
        for (std::size_t side = 0; side < 2; ++side)
            p.nodes[t].ranges[side].count = seen[2 * t + side] + (at[2 * t + side] - p.nodes[t].at[side]);
    return !nan;
}

}  // namespace

bool tagged_partition(const TaggedPartition& p) {
    // A row's extremes in one register: wider rows take the portable pass.
    if (p.rows.n_features > lanes || !p.out_positions) return avx2::tagged_partition(p);
    if (p.n_nodes == 2 && p.nodes[0].moves && p.nodes[1].moves)
        return p.out_positions.wide ? tagged_pair<std::uint64_t>(p) : tagged_pair<std::uint32_t>(p);
    return p.out_positions.wide ? tagged_rows<std::uint64_t>(p) : tagged_rows<std::uint32_t>(p);
}

}  // namespace avx512
}  // namespace vandu::kernels
#endif
