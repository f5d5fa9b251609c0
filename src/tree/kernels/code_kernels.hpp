// The passes of a node over the codes of its rows (tree/feature_codes): two bytes per
// row and feature read through the rows' positions, and a double only for a row in
// the bin of a threshold or of a side's extreme. Every outcome is the one the doubles
// give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/numerics.hpp"
#include "tree/fit/feature_codes.hpp"
#include "tree/kernels/node_kernels.hpp"

namespace vandu::kernels {

// Row s is sample index[s], or first + s without an index: its codes at
// codes + sample * pitch (in_order: at codes + s * pitch, the rows' own copy in their
// order), its doubles at x + sample * stride.
struct CodeRows {
    const code_t* codes;
    std::size_t pitch;
    const double* x;
    std::size_t stride;
    ConstPositionPtr index;
    std::size_t first;
    std::size_t n_features;
    bool in_order = false;
};

// Asks for the codes of samples [from, to) of rows in sample order, into the second-level
// cache. Passes streaming the codes from memory waited on them on an Intel Xeon, whose
// prefetchers restart at each 4 KiB page: asked for a block ahead, the boosting fit took
// 0.64 of its time at 1,000,000 x 20 and 0.82 at 4,000,000 (AVX2 passes: 0.83).
inline void fetch_codes(const CodeRows& r, std::size_t from, std::size_t to) {
    const char* const at = reinterpret_cast<const char*>(r.codes + (r.first + from) * r.pitch);
    const std::size_t lines = ((to - from) * r.pitch * sizeof(code_t) + 63) / 64;
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(at + 64 * line, 0, 2);
}

// Passes that ask row by row do so only beyond 8 MiB of codes: within the caches the
// requests cost the AVX2 passes 3% at 100,000 x 20.
inline bool codes_stream(const CodeRows& r, std::size_t n) {
    return n * r.pitch * sizeof(code_t) > (std::size_t{8} << 20);
}

// Every feature's thresholds read through the codes, by group of FeatureCodes::group
// features: codes above `above` are right; `exact` (two bits per feature of the group) marks
// the features whose code equal to `tie` compares the double with `thresholds`.
struct CodeSearch {
    const code_t* above;
    const code_t* tie;
    const std::uint32_t* exact;
    const double* thresholds;
    struct TieLog* ties = nullptr;  // where given, every row decided by its double
};

// The rows an estimate pass decided by their doubles (those in a threshold's bin of several
// values), each feature's in its rows' order: a split's sides meet there. Past `most` rows
// the log stops and says so.
struct TiedRow {
    std::uint64_t sample;
    std::uint32_t feature;
    std::uint32_t right;
    double value;
};
struct TieLog {
    std::vector<TiedRow> rows;
    std::size_t most = 0;
    bool full = false;

    void clear(std::size_t limit) {
        rows.clear();
        most = limit;
        full = false;
    }
    // Out of line, in a portable translation unit: the passes of every instruction set call
    // the one copy, and their row loops stay as they were.
    void note(std::size_t sample, std::size_t feature, double value, bool right);
};

// The winner's side of every row: as CodeSearch, for one feature.
struct CodePartition {
    CodeRows rows;
    std::size_t n;
    std::size_t feature;
    double threshold;
    CodeThreshold side;
    const double* targets;
    double* out_targets;
    PositionPtr out_positions;  // the rows' samples, where given (as wide as an index)
    std::size_t at[2], end[2];
    SideRanges* ranges;   // both sides', their codes' extremes too
    RunningStats* stats;  // both sides'
    const FeatureCodes* table;
    // With ranges, from rows without positions or codes in order: each row's codes also go
    // to out_codes + dst * pitch, where it lands (null: not copied), so that the children
    // read them in their order.
    code_t* out_codes = nullptr;
};

// Rows' sides as the estimate pass notes them: a word of 32 features' bits per row. A
// node's own pass notes them up to max_side_features, a level's tagged pass for any width.
inline constexpr std::size_t max_side_features = 64;
constexpr std::size_t side_words(std::size_t n_features) { return (n_features + 31) / 32; }

// One node of a level's estimate pass over rows tagged by node (tagged_sums): its
// thresholds, the shift of its targets, where its counts and sums add, and where its
// rows' sides go, if anywhere: its i-th row's (in sample order) at sides[i * side_words].
struct TaggedNode {
    CodeSearch search;
    double shift;
    std::int64_t* count_right;
    double* sum_right;
    std::uint32_t* sides;
};

// Nodes a tagged pass takes at most; a row tagged this or above belongs to none.
inline constexpr std::size_t max_tagged_nodes = 4;

// One node of a level's partition over rows tagged by node (tagged_partition): as
// CodePartition's winner, sides' places and ranges (both always taken), and the tag each
// side's rows take for the next level. `moves` false: its rows stay, tagged none.
struct TaggedSplit {
    bool moves;
    std::size_t feature;
    double threshold;
    CodeThreshold side;
    std::size_t at[2], end[2];
    SideRanges* ranges;  // both sides'
    std::uint8_t next[2];
};

// A level's partitions in one pass over every row in sample order (rows.index null, row s
// sample rows.first + s): row s is node tags[s]'s (none from n_nodes on), its target y[s].
// Each node's rows go to their sides' places in its own (sample) order, their targets and
// samples, and tags[s] becomes the next level's tag (none where its node does not move).
struct TaggedPartition {
    CodeRows rows;
    std::size_t n;
    const double* y;
    std::uint8_t* tags;
    const TaggedSplit* nodes;
    std::size_t n_nodes;  // at most max_tagged_nodes
    double* out_targets;
    PositionPtr out_positions;
    const FeatureCodes* table;
};

// The tag of a row that belongs to no node of a level.
inline constexpr std::uint8_t untagged = 0xff;

// A node of a level whose children are leaves (tagged_leaves): the word of its winner's
// side in its first row's sides (as tagged_sums notes them), the bit in it, each side's
// value. Null `sides`: the node's rows keep what they hold.
struct TaggedLeaf {
    const std::uint32_t* sides;
    unsigned bit;
    double value[2];
};

// The leaves under a level's nodes, every sample in order: sample s is node tags[s]'s
// (none from n_nodes on), its k-th row, of side bit `bit` of sides[k * words]; fitted[s]
// becomes fitted[s] - value[side] where `subtract`, value[side] otherwise.
struct TaggedLeaves {
    std::size_t n;
    const std::uint8_t* tags;
    const TaggedLeaf* nodes;
    std::size_t n_nodes;  // at most max_tagged_nodes
    std::size_t words;    // per row: side_words(n_features)
    bool subtract;
    double* fitted;
};

struct CodeKernels {
    const char* name;
    // For each of the first `width` features (a multiple of kernel_width), the rows above
    // its threshold and the sum of their y - shift, in any order of addition: the
    // estimate's bound covers sums in any order. Features not drawn may count anything.
    // With `sides` (every feature within width, at most max_side_features of them), each
    // row's sides too: bit f % 32 of word sides[s * side_words(n_features) + f / 32] is set
    // where row s is right of feature f's threshold, as its double decides (the bits of
    // features not drawn: any).
    void (*code_sums)(const CodeRows& rows, std::size_t width, std::size_t n, const double* y, double shift,
                      const CodeSearch& search, std::int64_t* count_right, double* sum_right,
                      std::uint32_t* sides);
    // The partition of kernels::Partition over codes; the children's ranges (when asked)
    // from the least and greatest codes and the exact extremes of the rows in those bins.
    // False when a row would land beyond its side's end or a NaN is read.
    bool (*code_partition)(const CodePartition& p);
    // code_sums for several nodes at once, over rows in sample order: row s (sample
    // rows.first + s, rows.index null) is node tags[s]'s, unless tags[s] >= n_nodes. Each node's
    // counts and sums (the first `width` features, `width` a multiple of kernel_width) are
    // added to what they hold, and its rows' sides noted as code_sums notes them (every
    // feature's, side_words(n_features) words a row), in the node's order. y[s] is row s's
    // target.
    void (*tagged_sums)(const CodeRows& rows, std::size_t width, std::size_t n, const double* y,
                        const std::uint8_t* tags, const TaggedNode* nodes, std::size_t n_nodes);
    // Whether one tagged pass over every row beats each node's pass through its positions
    // once the codes are beyond the caches (the variants that stream them fast enough).
    bool tags_pay;
    // The codes of n values x[s * stride] into out[s * pitch], each FeatureCodes::code's;
    // clears pure[c] for a value of code c without the bits of edge c (no flags: every bin
    // is impure already).
    void (*code_values)(const EdgeLevels& levels, const double* x, std::size_t stride, std::size_t n,
                        code_t* out, std::size_t pitch, std::uint8_t* pure);
    // The partitions of TaggedPartition, each node's outcome (places, ranges, failure) as
    // code_partition's over its rows. False when a row would land beyond its side's end or
    // a NaN is read.
    bool (*tagged_partition)(const TaggedPartition& p);
    // The fitted values of TaggedLeaves.
    void (*tagged_leaves)(const TaggedLeaves& p);
    // Every feature's least and greatest value over n rows in sample order (rows.index
    // null) as value_ranges finds them over the doubles, the first minimum and the last
    // maximum: bins order the values, so a row reads its double only for a feature whose
    // code is at or beyond its least or greatest so far. False where a NaN was read (its
    // code is 0, so it always is) or the variant has none: the doubles' pass decides.
    bool (*code_ranges)(const FeatureCodes& table, const CodeRows& rows, std::size_t n, double* min,
                        double* max) = nullptr;
};

// The fastest variant this processor runs.
const CodeKernels& code_kernels();
const CodeKernels& generic_code_kernels();
// Every variant this processor runs, the portable one first.
std::span<const CodeKernels* const> runnable_code_kernels();

}  // namespace vandu::kernels
