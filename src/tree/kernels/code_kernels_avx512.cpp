// Built with -mavx512f -mavx512bw (no contraction). The estimate pass over codes with 32
// codes of a row in one load and one compare into a mask register: a mask bit per
// feature then drives everything, the counts in 16-bit lanes, the sums as masked adds of
// eight features per register, and the rare ties. And the codes' search, sixteen edges
// per compare.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "tree/kernels/code_extremes.hpp"
#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels::avx512 {
namespace {

constexpr std::size_t lanes = 32;  // codes per load
constexpr std::size_t code_ahead = 64;
// A 16-bit count lane holds this many rows; the totals take them before they could wrap.
constexpr std::size_t count_rows = 32767;
// Blocks of eight features in one pass at most: their sums, counts and thresholds fill
// the 32 registers.
constexpr int max_blocks = 16;
// Rows of more features than a pass takes go in chunks of about this many bytes of codes.
constexpr std::size_t chunk_bytes = std::size_t{1} << 17;
// code_ranges keeps each feature's least and greatest codes in registers: up to 128 features.
constexpr std::size_t max_range_groups = 4;

// A pass: S blocks of eight features from f0 on, over rows [begin, end), added to the
// pass's counts and sums. Lanes at or beyond `valid` count nothing. The rows' codes are
// asked for `ahead` rows ahead, `fetch` bytes of them (0: none). With `sides` (a pass of
// all the features, 64 at most), row s's sides go to sides[s * L], L words of them.
struct Pass {
    std::size_t f0, valid, fetch, ahead;
    std::int64_t* counts;
    double* sums;
    std::uint32_t* sides;
};

// Rows in a threshold's bin wait here for their doubles, which lie anywhere in the matrix:
// when one half fills, its doubles are asked for and the other half, asked for when it
// filled, is decided. Their sums add after the pass's own, an order the bound allows. A
// row's sides, noted without its tied features, get theirs when they are decided.
// Log: each decided row is noted too (CodeSearch::ties), out of line; a pass that notes
// nothing has no call in its row loop. Apart: the batch is decided out of line. Inlined
// into the row loop of a pass of few blocks it cost that loop 7-8% of its time; out of
// line, a pass of many (wide rows) took 5% longer.
template <bool Apart, bool Log>
class Ties {
public:
    static constexpr std::size_t half = 64;

    Ties(const CodeRows& r, std::size_t f0, const double* thresholds, std::int64_t* counts, double* sums,
         std::uint32_t* sides, std::size_t words, TieLog* log)
        : r_(r),
          f0_(f0),
          thresholds_(thresholds),
          counts_(counts),
          sums_(sums),
          sides_(sides),
          words_(words),
          log_(log) {}

    void add(std::size_t s, std::size_t sample, std::size_t group, std::uint32_t bits, double d) {
        waiting_[filling_ * half + used_[filling_]++] = {sample, s, bits, static_cast<std::uint32_t>(group), d};
        if (used_[filling_] < half) return;
        for (std::size_t i = 0; i < half; ++i) {
            const Tie& t = waiting_[filling_ * half + i];
            _mm_prefetch(reinterpret_cast<const char*>(values(t) + __builtin_ctz(t.bits)), _MM_HINT_T0);
        }
        filling_ ^= 1;
        if constexpr (Apart)
            decide_apart(filling_);
        else
            decide(filling_);
    }
    // The rest, oldest half first.
    void finish() {
        decide(filling_ ^ 1);
        decide(filling_);
    }

private:
    struct Tie {
        std::size_t sample, s;
        std::uint32_t bits, group;
        double d;
    };
    const double* values(const Tie& t) const { return r_.x + t.sample * r_.stride + f0_ + t.group * lanes; }
    [[gnu::noinline]] void decide_apart(std::size_t h) { decide(h); }
    void decide(std::size_t h) {
        for (std::size_t i = 0; i < used_[h]; ++i) {
            const Tie& t = waiting_[h * half + i];
            const double* v = values(t);
            std::uint32_t bits = t.bits, right = 0;
            do {
                const std::size_t j = static_cast<std::size_t>(__builtin_ctz(bits)), f = t.group * lanes + j;
                bits &= bits - 1;
                const bool on_right = v[j] > thresholds_[f];
                if (on_right) {
                    counts_[f] += 1;
                    sums_[f] += t.d;
                    right |= std::uint32_t{1} << j;
                }
                if constexpr (Log) log_->note(t.sample, f0_ + f, v[j], on_right);
            } while (bits);
            if (sides_) sides_[t.s * words_ + t.group] |= right;
        }
        used_[h] = 0;
    }

    const CodeRows& r_;
    const std::size_t f0_;
    const double* thresholds_;
    std::int64_t* counts_;
    double* sums_;
    std::uint32_t* sides_;
    const std::size_t words_;
    TieLog* log_;
    Tie waiting_[2 * half];
    std::size_t used_[2] = {0, 0};
    std::size_t filling_ = 0;
};

// InOrder: CodeRows::in_order, known when compiled (a branch per row cost the pass 8-15%).
template <int S, bool Indexed, bool InOrder, class P, bool Log>
void sums_of_blocks(const CodeRows& r, std::size_t begin, std::size_t end, std::size_t n, const double* y,
                    double shift, const CodeSearch& q, const Pass& p) {
    constexpr int L = (S + 3) / 4;
    const std::size_t f0 = p.f0;
    __mmask32 load[L], exact[L];
    __m512i above[L], tie[L];
    for (int k = 0; k < L; ++k) {
        const std::size_t from = f0 + k * lanes, left = p.valid > from ? p.valid - from : 0;
        load[k] = left >= lanes ? ~__mmask32{0} : static_cast<__mmask32>((std::uint64_t{1} << left) - 1);
        above[k] = _mm512_maskz_loadu_epi16(load[k], q.above + from);
        tie[k] = _mm512_maskz_loadu_epi16(load[k], q.tie + from);
        std::uint32_t bits = 0;
        for (std::size_t j = 0; j < std::min(left, lanes); ++j) {
            const std::size_t f = from + j;
            bits |= ((q.exact[f / FeatureCodes::group] >> (2 * (f % FeatureCodes::group))) & 1u) << j;
        }
        // Only this pass's lanes: the next pass decides its own features' ties.
        const std::size_t here = std::min<std::size_t>(lanes, 8 * S - k * lanes);
        exact[k] = static_cast<__mmask32>(bits & (here >= lanes ? ~std::uint32_t{0} : (std::uint32_t{1} << here) - 1));
    }
    const code_t* codes = r.codes + f0;
    const code_t* fetched = r.codes;
    const double* thresholds = q.thresholds + f0;
    const __m512i one = _mm512_set1_epi16(1);
    double tied[8 * S] = {};
    std::uint32_t* const sides = p.sides;
    Ties<(S <= 3) || Log, Log> ties(r, f0, thresholds, p.counts, tied, sides, L, q.ties);
    __m512d sum[S];
    for (int b = 0; b < S; ++b) sum[b] = _mm512_loadu_pd(p.sums + 8 * b);
    for (std::size_t start = begin; start < end; start += count_rows) {
        const std::size_t stop = std::min(end, start + count_rows);
        __m512i count[L];
        for (int k = 0; k < L; ++k) count[k] = _mm512_setzero_si512();
        for (std::size_t s = start; s < stop; ++s) {
            if (p.fetch && s + p.ahead < n) {
                const std::size_t ahead = InOrder ? s + p.ahead : sample_of<Indexed, P>(r, s + p.ahead);
                const char* at = reinterpret_cast<const char*>(fetched + ahead * r.pitch);
                for (std::size_t o = 0; o < p.fetch; o += 64) _mm_prefetch(at + o, _MM_HINT_T0);
                _mm_prefetch(at + p.fetch - 1, _MM_HINT_T0);
            }
            const std::size_t sample = sample_of<Indexed, P>(r, s);
            // Loads run up to FeatureCodes::reach codes past a row's start; lanes beyond
            // `valid` are masked in the compare (a masked load splitting lines costs more).
            const code_t* row = codes + (InOrder ? s : sample) * r.pitch;
            const double dy = y[s] - shift;
            __mmask32 right[L];
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                const __m512i c = _mm512_loadu_si512(row + k * lanes);
                right[k] = _mm512_mask_cmpgt_epi16_mask(load[k], c, above[k]);
                const std::uint32_t in_bin = _mm512_mask_cmpeq_epi16_mask(exact[k], c, tie[k]);
                if (__builtin_expect(in_bin != 0, 0)) {
                    // The row is in a threshold's bin: its double decides, later.
                    right[k] = static_cast<__mmask32>(right[k] & ~in_bin);
                    ties.add(s, sample, static_cast<std::size_t>(k), in_bin, dy);
                }
                count[k] = _mm512_mask_add_epi16(count[k], right[k], count[k], one);
            }
            if (sides)
                for (int k = 0; k < L; ++k) sides[s * L + k] = right[k];
            const __m512d d = _mm512_set1_pd(dy);
#pragma GCC unroll 16
            for (int b = 0; b < S; ++b)
                sum[b] = _mm512_mask_add_pd(sum[b], static_cast<__mmask8>(right[b / 4] >> (8 * (b % 4))), sum[b], d);
        }
        for (int k = 0; k < L; ++k) {
            alignas(64) std::uint16_t c[lanes];
            _mm512_store_si512(c, count[k]);
            for (std::size_t j = 0; j < std::min<std::size_t>(lanes, 8 * S - k * lanes); ++j)
                p.counts[k * lanes + j] += c[j];
        }
    }
    for (int b = 0; b < S; ++b) _mm512_storeu_pd(p.sums + 8 * b, sum[b]);
    ties.finish();
    for (int f = 0; f < 8 * S; ++f) p.sums[f] += tied[f];
}

template <bool Indexed, bool InOrder, class P, bool Log>
void pass_over(int blocks, const CodeRows& r, std::size_t begin, std::size_t end, std::size_t n,
               const double* y, double shift, const CodeSearch& q, const Pass& p) {
    switch (blocks) {
#define VANDU_BLOCKS(S) \
    case S: sums_of_blocks<S, Indexed, InOrder, P, Log>(r, begin, end, n, y, shift, q, p); break
        VANDU_BLOCKS(1);
        VANDU_BLOCKS(2);
        VANDU_BLOCKS(3);
        VANDU_BLOCKS(4);
        VANDU_BLOCKS(5);
        VANDU_BLOCKS(6);
        VANDU_BLOCKS(7);
        VANDU_BLOCKS(8);
        VANDU_BLOCKS(9);
        VANDU_BLOCKS(10);
        VANDU_BLOCKS(11);
        VANDU_BLOCKS(12);
        VANDU_BLOCKS(13);
        VANDU_BLOCKS(14);
        VANDU_BLOCKS(15);
        VANDU_BLOCKS(16);
#undef VANDU_BLOCKS
        default: break;
    }
}

template <bool Indexed, bool InOrder, class P>
void sums_of(const CodeRows& r, std::size_t width, std::size_t n, const double* y, double shift,
             const CodeSearch& q, std::int64_t* count_right, double* sum_right, std::uint32_t* sides) {
    // One pass takes every feature of a row with sides: a word per 32, one per lane mask.
    if (r.n_features > max_side_features) sides = nullptr;
    const std::size_t valid = std::min(width, r.n_features);
    const std::size_t blocks = (valid + 7) / 8;
    const std::size_t passes = (blocks + max_blocks - 1) / max_blocks;
    // Whole blocks of eight (width need not be a multiple of 8), each feature's sum
    // added in row order.
    std::vector<std::int64_t> counts(8 * blocks, 0);
    std::vector<double> sums(8 * blocks, 0.0);
    const std::size_t bytes = 2 * valid;
    // Rows wider than one pass go in chunks that stay in the cache for all the passes, the
    // first of which fetches each row whole ahead (rows in sample order too: see fetch_codes).
    const std::size_t chunk = passes > 1 ? std::max<std::size_t>(64, chunk_bytes / bytes) : n;
    for (std::size_t begin = 0; begin < n; begin += chunk) {
        const std::size_t end = std::min(n, begin + chunk);
        for (std::size_t p = 0; p < passes; ++p) {
            const std::size_t first = blocks * p / passes, last = blocks * (p + 1) / passes;
            const Pass pass{8 * first, valid, p == 0 ? bytes : 0, code_ahead, counts.data() + 8 * first,
                            sums.data() + 8 * first, sides};
            if (q.ties)
                pass_over<Indexed, InOrder, P, true>(static_cast<int>(last - first), r, begin, end, n, y, shift, q, pass);
            else
                pass_over<Indexed, InOrder, P, false>(static_cast<int>(last - first), r, begin, end, n, y, shift, q,
                                                      pass);
        }
    }
    std::copy(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(valid), count_right);
    std::copy(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(valid), sum_right);
    // Padding features beyond the matrix's own.
    std::fill(count_right + valid, count_right + width, 0);
    std::fill(sum_right + valid, sum_right + width, 0.0);
}

// How many of the sixteen ascending values at p lie below v (see below16 of the AVX2
// kernels).
inline unsigned below16(const double* p, __m512d v) {
    const __mmask16 bits = _mm512_kunpackb(_mm512_cmp_pd_mask(_mm512_loadu_pd(p + 8), v, _CMP_LT_OQ),
                                           _mm512_cmp_pd_mask(_mm512_loadu_pd(p), v, _CMP_LT_OQ));
    return static_cast<unsigned>(__builtin_ctz(~static_cast<unsigned>(bits)));
}

// Flags: some bin may still be pure. Without, no value's bits are compared (a
// continuous feature's every bin holds sampled values below its edge).
template <bool Flags>
void code_values_of(const EdgeLevels& levels, const double* x, std::size_t stride, std::size_t n, code_t* out,
                    std::size_t pitch, std::uint8_t* pure) {
    // In locals: the stores could alias the tables otherwise.
    const double* __restrict e = levels.edges;
    const double* __restrict middle = levels.middle;
    const __m512d top_low = _mm512_loadu_pd(levels.top), top_high = _mm512_loadu_pd(levels.top + 8);
    const auto search = [&](__m512d w) {
        const __mmask16 top = _mm512_kunpackb(_mm512_cmp_pd_mask(top_high, w, _CMP_LT_OQ),
                                              _mm512_cmp_pd_mask(top_low, w, _CMP_LT_OQ));
        const unsigned high = static_cast<unsigned>(__builtin_ctz(~static_cast<unsigned>(top)));
        const unsigned mid = below16(middle + 16 * high, w);
        return 256 * high + 16 * mid + below16(e + 256 * high + 16 * mid, w);
    };
    // A value's steps depend on each other: eight values' steps side by side keep their
    // loads in flight together.
    constexpr std::size_t batch = 8;
    std::size_t s = 0;
    if (levels.window) {
        // The guess's window first: one compare of eight where the three steps of sixteen
        // take six. Making codes of 1,000,000 x 20 took 0.7 of the time, a depth-10 tree's
        // fit 0.94 (Intel Xeon, one thread).
        const std::uint16_t* __restrict window = levels.window;
        for (; s + batch <= n; s += batch) {
            unsigned at[batch];
            for (std::size_t i = 0; i < batch; ++i) at[i] = window[FeatureCodes::slot_of(levels, x[(s + i) * stride])];
            for (std::size_t i = 0; i < batch; ++i) {
                const __m512d w = _mm512_set1_pd(x[(s + i) * stride]);
                const unsigned below = static_cast<unsigned>(__builtin_popcount(
                    static_cast<unsigned>(_mm512_cmp_pd_mask(_mm512_loadu_pd(e + at[i]), w, _CMP_LT_OQ))));
                at[i] = __builtin_expect(below < FeatureCodes::window_width, 1) ? at[i] + below : search(w);
            }
            for (std::size_t i = 0; i < batch; ++i) {
                const unsigned c = at[i];
                out[(s + i) * pitch] = static_cast<code_t>(c);
                if (Flags && std::bit_cast<std::uint64_t>(x[(s + i) * stride]) != std::bit_cast<std::uint64_t>(e[c]))
                    pure[c] = 0;
            }
        }
    }
    for (; s + batch <= n; s += batch) {
        __m512d w[batch];
        unsigned at[batch];
        for (std::size_t i = 0; i < batch; ++i) {
            w[i] = _mm512_set1_pd(x[(s + i) * stride]);
            const __mmask16 top = _mm512_kunpackb(_mm512_cmp_pd_mask(top_high, w[i], _CMP_LT_OQ),
                                                  _mm512_cmp_pd_mask(top_low, w[i], _CMP_LT_OQ));
            at[i] = static_cast<unsigned>(__builtin_ctz(~static_cast<unsigned>(top)));
        }
        for (std::size_t i = 0; i < batch; ++i) at[i] = 16 * at[i] + below16(middle + 16 * at[i], w[i]);
        for (std::size_t i = 0; i < batch; ++i) at[i] = 16 * at[i] + below16(e + 16 * at[i], w[i]);
        for (std::size_t i = 0; i < batch; ++i) {
            const unsigned c = at[i];
            out[(s + i) * pitch] = static_cast<code_t>(c);
            // A store only, no load of the flag: the flags' stores stay off the searches' path.
            if (Flags && std::bit_cast<std::uint64_t>(w[i][0]) != std::bit_cast<std::uint64_t>(e[c])) pure[c] = 0;
        }
    }
    for (; s < n; ++s) {
        const double v = x[s * stride];
        const auto c = static_cast<code_t>(search(_mm512_set1_pd(v)));
        out[s * pitch] = c;
        if constexpr (Flags)
            pure[static_cast<std::size_t>(c)] &= std::bit_cast<std::uint64_t>(v) == std::bit_cast<std::uint64_t>(e[c]);
    }
}

}  // namespace

void code_values(const EdgeLevels& levels, const double* x, std::size_t stride, std::size_t n, code_t* out,
                 std::size_t pitch, std::uint8_t* pure) {
    if (pure)
        code_values_of<true>(levels, x, stride, n, out, pitch, pure);
    else
        code_values_of<false>(levels, x, stride, n, out, pitch, pure);
}

bool code_ranges(const FeatureCodes& table, const CodeRows& r, std::size_t n, double* min, double* max) {
    const std::size_t features = r.n_features, groups = (features + lanes - 1) / lanes;
    if (n == 0 || groups > max_range_groups) return false;
    // Beyond every code at first, so that the first row is taken whole.
    code_t lo_code[max_range_groups * lanes], hi_code[max_range_groups * lanes];
    std::fill(lo_code, lo_code + features, FeatureCodes::none);
    std::fill(hi_code, hi_code + features, code_t{-1});
    const Extremes e{{lo_code, lo_code}, {hi_code, hi_code}, {min, min}, {max, max}, &table, r};
    __m512i least[max_range_groups], greatest[max_range_groups];
    __mmask32 valid[max_range_groups];
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t left = features - g * lanes;
        valid[g] = static_cast<__mmask32>(left >= lanes ? ~0u : (1u << left) - 1);
        least[g] = _mm512_set1_epi16(FeatureCodes::none);
        greatest[g] = _mm512_set1_epi16(-1);
    }
    const code_t* codes = r.codes + r.first * r.pitch;
    const double* x = r.x + r.first * r.stride;
    bool nan = false;
    for (std::size_t s = 0; s < n; ++s) {
        if (s % 64 == 0) fetch_codes(r, std::min(n, s + 64), std::min(n, s + 128));
        const code_t* row = codes + s * r.pitch;
        for (std::size_t g = 0; g < groups; ++g) {
            const __m512i c = _mm512_maskz_loadu_epi16(valid[g], row + g * lanes);
            std::uint32_t bits = _mm512_mask_cmple_epi16_mask(valid[g], c, least[g]) |
                                 _mm512_mask_cmpge_epi16_mask(valid[g], c, greatest[g]);
            if (__builtin_expect(bits == 0, 1)) continue;
            least[g] = _mm512_min_epi16(least[g], c);
            greatest[g] = _mm512_max_epi16(greatest[g], c);
            while (bits) {
                const std::size_t f = g * lanes + static_cast<std::size_t>(__builtin_ctz(bits));
                bits &= bits - 1;
                nan |= take_extremes(e, 0, f, row[f], x + s * r.stride + f);
            }
        }
    }
    return !nan;
}

void code_sums(const CodeRows& rows, std::size_t width, std::size_t n, const double* y, double shift,
               const CodeSearch& search, std::int64_t* count_right, double* sum_right, std::uint32_t* sides) {
    with_index(rows.index, [&](auto* index, auto indexed) {
        using P = pointee<decltype(index)>;
        constexpr bool Indexed = decltype(indexed)::value;
        if (Indexed && rows.in_order)
            sums_of<Indexed, Indexed, P>(rows, width, n, y, shift, search, count_right, sum_right, sides);
        else
            sums_of<Indexed, false, P>(rows, width, n, y, shift, search, count_right, sum_right, sides);
    });
}

}  // namespace vandu::kernels::avx512
#endif
