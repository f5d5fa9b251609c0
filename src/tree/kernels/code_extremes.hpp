// What every variant of the passes over codes shares: a row's sample, and the scalar rule
// by which the partitions replay their flagged rows into the children's ranges. Internal
// linkage: each instruction set's translation unit compiles its own copy, so no copy
// built for a wider instruction set can stand in for the portable one at link time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels {
namespace {

// P: the positions' type.
template <bool Indexed, class P>
inline std::size_t sample_of(const CodeRows& r, std::size_t s) {
    return Indexed ? static_cast<const P*>(r.index.at)[s] : r.first + s;
}

// The sample of a row noted by the row of its codes (its sample's, or its own where the
// codes are in order: CodeRows::in_order): rows noted for later keep one word.
inline std::size_t sample_at(const CodeRows& r, std::size_t row) {
    if (!r.in_order) return row;
    return r.index.visit([&](auto* p) { return static_cast<std::size_t>(p[row]); });
}

// Both sides' extremes as the replay leaves them, row after row in order.
struct Extremes {
    code_t* lo_code[2];
    code_t* hi_code[2];
    double* lo[2];
    double* hi[2];
    const FeatureCodes* table;
    CodeRows rows;
};

// A value of a pure bin is its edge: it is not read.
inline bool reads_double(const FeatureCodes& table, std::size_t f, code_t c) {
    return table.pure_flags(f)[static_cast<std::size_t>(c)] == 0;
}

// A prefetch the compiler keeps: a loop whose only effect is __builtin_prefetch counts
// as free of effects, and is dropped.
inline void ask_for(const double* p) {
#if defined(__x86_64__)
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
#endif
}

// Feature f of a flagged row on `side`, with code c and its double at x: a code below the
// side's least takes code and value; at the least code, the first minimum (likewise the
// last maximum). True when the value is NaN.
inline bool take_extremes(const Extremes& e, std::size_t side, std::size_t f, code_t c, const double* x) {
    const double v = reads_double(*e.table, f, c) ? *x : e.table->edges(f)[c];
    code_t& lo_code = e.lo_code[side][f];
    code_t& hi_code = e.hi_code[side][f];
    double& lo = e.lo[side][f];
    double& hi = e.hi[side][f];
    if (c < lo_code) {
        lo_code = c;
        lo = v;
    } else if (c == lo_code && lo > v) {
        lo = v;
    }
    if (c > hi_code) {
        hi_code = c;
        hi = v;
    } else if (c == hi_code && !(hi > v)) {
        hi = v;
    }
    return v != v;
}

// Flagged rows of the AVX-512 partitions wait in two halves of `Half`: one fills while the
// other waits for its doubles, asked for when it filled, then is replayed in order. A row
// flags one entry at most, and the filling half is looked at every `Block` rows.
// ask_doubles and replay are the including kernel's own, found by the row's type.
template <class Row, class Source, std::size_t Half, std::size_t Block>
class FlaggedHalves {
public:
    explicit FlaggedHalves(Source e, bool ranges = true) : e_(e), rows_(ranges ? 2 * Half : 0) {}

    Row* filling() { return rows_.data() + (current_ ? Half : 0); }
    static bool full(std::size_t used) { return used > Half - Block; }
    void turn(std::size_t used) {
        ask_doubles(e_, filling(), used);
        if (older_) nan_ |= replay(e_, rows_.data() + (current_ ? 0 : Half), older_);
        older_ = used;
        current_ ^= 1;
    }
    // Replays what waits; true when a NaN was read.
    bool finish(std::size_t used) {
        turn(used);
        if (older_) nan_ |= replay(e_, rows_.data() + (current_ ? 0 : Half), older_);
        return nan_;
    }

private:
    Source e_;
    std::vector<Row> rows_;
    int current_ = 0;
    std::size_t older_ = 0;  // rows waiting in the other half
    bool nan_ = false;
};

}  // namespace
}  // namespace vandu::kernels
