// The vector kernel of the prediction walk for shallow trees. A block of rows is laid out
// one feature after another (`width` values each); every node of a complete tree is
// compared for all rows at once, and the leaf is picked by selects from the bottom up, so
// each row ends with the value of the one path the walk takes. Comparisons and selects
// only: the values are the leaves' bits, and sums are added in tree order as in the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vandu::walk {

inline constexpr unsigned max_shallow_depth = 5;
// Block widths are a multiple of this; every kernel's group of rows divides it.
inline constexpr std::size_t block_quantum = 32;

// Trees of one depth, complete, in level order: node k's children are 2k + 1 (left) and
// 2k + 2 (right); the leaves follow from left to right.
struct ShallowForest {
    unsigned depth = 1;  // 1 to max_shallow_depth
    std::size_t count = 0;
    const double* thresholds = nullptr;   // 2^depth - 1 per tree
    const std::uint32_t* offsets = nullptr;  // of each node's feature within the block
    const double* leaves = nullptr;       // 2^depth per tree
};

// The same trees with ranks (see threshold_ranks.hpp) for thresholds; depth 1 to 5.
struct RankedForest {
    unsigned depth = 1;
    std::size_t count = 0;
    const std::int16_t* thresholds = nullptr;   // 2^depth - 1 per tree
    const std::uint32_t* offsets = nullptr;  // of each node's feature within the block
    const double* leaves = nullptr;          // 2^depth per tree
};

// A block of ranks holds each group of 32 rows interleaved, row r of the group at place
// 4 * (r % 8) + r / 8: the leaf numbers of rows r, r + 8, r + 16 and r + 24 then share a
// 64-bit lane, from which a shift brings each group of eight rows to the lanes' low bits.
inline constexpr std::size_t ranked_place(std::size_t row) {
    const std::size_t r = row % 32;
    return row - r + 4 * (r % 8) + r / 8;
}

struct Kernels {
    const char* name;
    // out[r] for r < width (a multiple of block_quantum): the one tree's value (sum false) or
    // 0.0 + tree 0 + tree 1 + ... (sum true).
    void (*shallow)(const ShallowForest& forest, const double* block, std::size_t width,
                    double* out, bool sum);
    // As shallow, over a block of the values' ranks, its rows interleaved (see
    // ranked_place); null where the processor has no kernel that gains from the narrower
    // values.
    void (*ranked)(const RankedForest& forest, const std::int16_t* block, std::size_t width,
                   double* out, bool sum);
};

// The fastest variant this processor runs.
const Kernels& walk_kernels();
// Every variant this processor runs, the portable one first.
std::span<const Kernels* const> runnable_walk_kernels();

}  // namespace vandu::walk
