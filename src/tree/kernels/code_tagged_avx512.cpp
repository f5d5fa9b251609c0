// Built with -mavx512f -mavx512bw (no contraction). The estimate pass of a level's nodes
// at once, over every row in sample order, each row tagged by its node: the codes stream
// from memory in order instead of being gathered node by node. Picking a node's
// thresholds and sums by each row's tag kept them in memory, a load and a store per
// register and row (twice the root pass's time per row); here a block's rows go node by
// node instead, each node's registers loaded once per block.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels::avx512 {
namespace {

constexpr std::size_t lanes = 32;  // codes per load
// A 16-bit count lane holds this many rows; the totals take them before they could wrap.
constexpr std::size_t count_rows = 32767;

// Rows in a threshold's bin wait for their doubles, as in the node's own pass: when one
// half fills, its doubles are asked for and the other half is decided.
class TaggedTies {
public:
    static constexpr std::size_t half = 64;

    // A group's features from `from` on; words: the nodes' side words per row (0: none noted).
    TaggedTies(const CodeRows& r, std::size_t from, const TaggedNode* nodes, double (*tied)[64], std::size_t words)
        : r_(r), from_(from), nodes_(nodes), tied_(tied), words_(words) {}

    // Row s, the node's i-th.
    void add(std::size_t s, std::size_t i, std::size_t node, std::size_t group, std::uint32_t bits, double d) {
        waiting_[filling_ * half + used_[filling_]++] = {r_.first + s, i, bits, static_cast<std::uint32_t>(group),
                                                         static_cast<std::uint32_t>(node), d};
        if (used_[filling_] < half) return;
        for (std::size_t i = 0; i < half; ++i) {
            const Tie& t = waiting_[filling_ * half + i];
            _mm_prefetch(reinterpret_cast<const char*>(values(t) + __builtin_ctz(t.bits)), _MM_HINT_T0);
        }
        filling_ ^= 1;
        decide(filling_);
    }
    void finish() {
        decide(filling_ ^ 1);
        decide(filling_);
    }

private:
    struct Tie {
        std::size_t sample, i;
        std::uint32_t bits, group, node;
        double d;
    };
    const double* values(const Tie& t) const { return r_.x + t.sample * r_.stride + from_ + t.group * lanes; }
    [[gnu::noinline]] void decide(std::size_t h) {
        for (std::size_t i = 0; i < used_[h]; ++i) {
            const Tie& t = waiting_[h * half + i];
            const double* v = values(t);
            const TaggedNode& node = nodes_[t.node];
            std::uint32_t bits = t.bits, right = 0;
            do {
                const std::size_t j = static_cast<std::size_t>(__builtin_ctz(bits)), f = t.group * lanes + j;
                bits &= bits - 1;
                if (v[j] > node.search.thresholds[from_ + f]) {
                    node.count_right[from_ + f] += 1;
                    tied_[t.node][f] += t.d;
                    right |= std::uint32_t{1} << j;
                }
            } while (bits);
            if (words_ && node.sides) node.sides[t.i * words_ + from_ / lanes + t.group] |= right;
        }
        used_[h] = 0;
    }

    const CodeRows& r_;
    const std::size_t from_;
    const TaggedNode* nodes_;
    double (*tied_)[64];
    const std::size_t words_;
    Tie waiting_[2 * half];
    std::size_t used_[2] = {0, 0};
    std::size_t filling_ = 0;
};

// A group of up to 64 features of a row, S blocks of eight: the `valid` from `from` on (a
// multiple of 64), every node's thresholds and sums. With `words` (the side words of a
// row), each row's sides of them.
template <int S>
class TaggedGroup {
public:
    static constexpr int L = (S + 3) / 4;

    TaggedGroup(const CodeRows& r, std::size_t from, std::size_t valid, const TaggedNode* nodes, std::size_t n_nodes,
                std::size_t words)
        : codes_(r.codes + r.first * r.pitch + from),
          pitch_(r.pitch),
          from_(from),
          valid_(valid),
          nodes_(nodes),
          n_nodes_(n_nodes),
          words_(words),
          ties_(r, from, nodes, tied_, words) {
        for (std::size_t t = 0; t < n_nodes; ++t) {
            const CodeSearch& q = nodes[t].search;
            for (int k = 0; k < L; ++k) {
                const std::size_t at = k * lanes, left = valid > at ? std::min(valid - at, lanes) : 0;
                const __mmask32 load =
                    left >= lanes ? ~__mmask32{0} : static_cast<__mmask32>((std::uint64_t{1} << left) - 1);
                std::uint32_t bits = 0;
                above_[t * L + k] =
                    _mm512_mask_loadu_epi16(_mm512_set1_epi16(FeatureCodes::none), load, q.above + from + at);
                tie_[t * L + k] = _mm512_maskz_loadu_epi16(load, q.tie + from + at);
                for (std::size_t j = 0; j < left; ++j) {
                    const std::size_t f = from + at + j;
                    bits |= ((q.exact[f / FeatureCodes::group] >> (2 * (f % FeatureCodes::group))) & 1u) << j;
                }
                exact_[t * L + k] = static_cast<__mmask32>(bits);
            }
        }
        for (auto& v : sums_) v = _mm512_setzero_pd();
        for (auto& v : counts_) v = _mm512_setzero_si512();
    }

    // The rows of a block from row b on: node t's are the bits of rows_of[t], its seen[t]-th
    // row the first. Each node's rows in order, its thresholds and sums in registers.
    void block(std::size_t b, const std::uint64_t* rows_of, const std::size_t* seen, const double* y) {
        const __m512i one = _mm512_set1_epi16(1);
        for (std::size_t t = 0; t < n_nodes_; ++t) {
            std::uint64_t rows = rows_of[t];
            if (rows == 0) continue;
            __m512d sum[S];
            __m512i count[L], a[L], e[L];
            __mmask32 x[L];
            for (int b = 0; b < S; ++b) sum[b] = sums_[t * S + b];
            for (int k = 0; k < L; ++k) {
                count[k] = counts_[t * L + k];
                a[k] = above_[t * L + k];
                e[k] = tie_[t * L + k];
                x[k] = exact_[t * L + k];
            }
            const double shift = nodes_[t].shift;
            std::uint32_t* const sides = words_ && nodes_[t].sides ? nodes_[t].sides + from_ / lanes : nullptr;
            std::size_t i = seen[t];
            do {
                const std::size_t s = b + static_cast<std::size_t>(__builtin_ctzll(rows));
                rows &= rows - 1;
                // Loads run up to FeatureCodes::reach codes past a row's start; lanes beyond the
                // row's features are never above `none`, and never tie.
                const code_t* row = codes_ + s * pitch_;
                const double dy = y[s] - shift;
                __mmask32 right[L];
#pragma GCC unroll 2
                for (int k = 0; k < L; ++k) {
                    const __m512i c = _mm512_loadu_si512(row + k * lanes);
                    right[k] = _mm512_cmpgt_epi16_mask(c, a[k]);
                    const std::uint32_t in_bin = _mm512_mask_cmpeq_epi16_mask(x[k], c, e[k]);
                    if (__builtin_expect(in_bin != 0, 0)) {
                        right[k] = static_cast<__mmask32>(right[k] & ~in_bin);
                        ties_.add(s, i, t, static_cast<std::size_t>(k), in_bin, dy);
                    }
                    count[k] = _mm512_mask_add_epi16(count[k], right[k], count[k], one);
                }
                if (sides)
                    for (int k = 0; k < L; ++k) sides[i * words_ + k] = right[k];
                ++i;
                const __m512d d = _mm512_set1_pd(dy);
#pragma GCC unroll 8
                for (int b = 0; b < S; ++b)
                    sum[b] = _mm512_mask_add_pd(sum[b], static_cast<__mmask8>(right[b / 4] >> (8 * (b % 4))), sum[b],
                                                d);
            } while (rows != 0);
            for (int b = 0; b < S; ++b) sums_[t * S + b] = sum[b];
            for (int k = 0; k < L; ++k) counts_[t * L + k] = count[k];
        }
    }

    // The counts' 16-bit lanes into the totals, before they could wrap.
    void take_counts() {
        for (std::size_t t = 0; t < n_nodes_; ++t)
            for (int k = 0; k < L; ++k) {
                alignas(64) std::uint16_t c[lanes];
                _mm512_store_si512(c, counts_[t * L + k]);
                counts_[t * L + k] = _mm512_setzero_si512();
                for (std::size_t j = 0; j < lanes && k * lanes + j < valid_; ++j)
                    nodes_[t].count_right[from_ + k * lanes + j] += c[j];
            }
    }

    void finish() {
        take_counts();
        ties_.finish();
        for (std::size_t t = 0; t < n_nodes_; ++t) {
            alignas(64) double total[8 * S];
            for (int i = 0; i < S; ++i) _mm512_store_pd(total + 8 * i, sums_[t * S + i]);
            for (std::size_t f = 0; f < valid_; ++f) nodes_[t].sum_right[from_ + f] += total[f] + tied_[t][f];
        }
    }

private:
    // By node: its codes above (none beyond the row's features), its tie codes and the
    // features whose tie reads the double; the sums by block, the counts by 32 codes.
    __m512i above_[max_tagged_nodes * L], tie_[max_tagged_nodes * L];
    __m512d sums_[max_tagged_nodes * S];
    __m512i counts_[max_tagged_nodes * L];
    __mmask32 exact_[max_tagged_nodes * L];
    alignas(64) double tied_[max_tagged_nodes][64] = {};
    const code_t* codes_;
    std::size_t pitch_, from_, valid_;
    const TaggedNode* nodes_;
    std::size_t n_nodes_, words_;
    TaggedTies ties_;
};

// One pass over the rows by blocks of 64, every group of 64 features of a block in turn
// (`Last` blocks of eight in the last group): a wide row's codes are read once, block after
// block, from the second-level cache where the fetches ahead put them. A pass per group,
// its lines of every row apart, waited on memory at 100,000 x 200.
template <int Last>
void tagged_blocks(const CodeRows& r, std::size_t valid, std::size_t n, const double* y, const std::uint8_t* tags,
                   const TaggedNode* nodes, std::size_t n_nodes, std::size_t words) {
    constexpr std::size_t group = 2 * lanes;
    const std::size_t full = (valid - 1) / group;
    // Constructed in place: each group's ties point into it.
    std::vector<std::unique_ptr<TaggedGroup<8>>> groups;
    for (std::size_t g = 0; g < full; ++g)
        groups.push_back(std::make_unique<TaggedGroup<8>>(r, g * group, group, nodes, n_nodes, words));
    const auto last = std::make_unique<TaggedGroup<Last>>(r, full * group, valid - full * group, nodes, n_nodes, words);
    std::size_t seen[max_tagged_nodes] = {};
    std::uint64_t rows_of[max_tagged_nodes];
    constexpr std::size_t block = 64;
    constexpr std::size_t blocks_per_count = count_rows / block;
    std::size_t counted = 0;
    for (std::size_t b = 0; b < n; b += block) {
        const std::size_t in_block = std::min(block, n - b);
        const __mmask64 present = in_block == block ? ~__mmask64{0} : (__mmask64{1} << in_block) - 1;
        const __m512i tag = _mm512_mask_loadu_epi8(_mm512_set1_epi8(-1), present, tags + b);
        for (std::size_t t = 0; t < n_nodes; ++t)
            rows_of[t] = _mm512_cmpeq_epi8_mask(tag, _mm512_set1_epi8(static_cast<char>(t)));
        // The next block's codes, a share before each group (fetch_codes): a wide row's lines
        // are read out of order (node by node, group by group), which the prefetchers do not
        // follow.
        std::size_t fetched = std::min(n, b + block);
        const std::size_t ahead = std::min(n, fetched + block), share = (ahead - fetched + full) / (full + 1);
        const auto fetch = [&] {
            const std::size_t to = std::min(ahead, fetched + share);
            fetch_codes(r, fetched, to);
            fetched = to;
        };
        for (auto& g : groups) {
            fetch();
            g->block(b, rows_of, seen, y);
        }
        fetch();
        last->block(b, rows_of, seen, y);
        for (std::size_t t = 0; t < n_nodes; ++t) seen[t] += static_cast<std::size_t>(__builtin_popcountll(rows_of[t]));
        if (++counted == blocks_per_count) {
            for (auto& g : groups) g->take_counts();
            last->take_counts();
            counted = 0;
        }
    }
    for (auto& g : groups) g->finish();
    last->finish();
}

}  // namespace

void tagged_sums(const CodeRows& rows, std::size_t width, std::size_t n, const double* y, const std::uint8_t* tags,
                 const TaggedNode* nodes, std::size_t n_nodes) {
    const std::size_t valid = std::min(width, rows.n_features), words = side_words(rows.n_features);
    n_nodes = std::min(n_nodes, max_tagged_nodes);
    if (valid == 0) return;
    switch (((valid - 1) % (2 * lanes)) / 8 + 1) {
#define VANDU_BLOCKS(S) \
    case S: tagged_blocks<S>(rows, valid, n, y, tags, nodes, n_nodes, words); break
        VANDU_BLOCKS(1);
        VANDU_BLOCKS(2);
        VANDU_BLOCKS(3);
        VANDU_BLOCKS(4);
        VANDU_BLOCKS(5);
        VANDU_BLOCKS(6);
        VANDU_BLOCKS(7);
        VANDU_BLOCKS(8);
#undef VANDU_BLOCKS
        default: break;
    }
}

}  // namespace vandu::kernels::avx512
#endif
