// What every variant of the passes over codes shares: a row's sample, and the scalar rule
// by which the partitions replay their flagged rows into the children's ranges. Internal
// linkage: each instruction set's translation unit compiles its own copy, so no copy
// built for a wider instruction set can stand in for the portable one at link time.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace
}  // namespace vandu::kernels
