// The last level of the levels grown at once (grower_levels.cpp), filled in sample order.
// Leaf by leaf, each of a million samples' fitted values is a read and a write through the
// leaf's positions, a line from anywhere in the array per sample (each leaf's sweep touches
// most of its lines). Each sample's tag names its node in that level, and the node's
// estimate pass noted its rows' sides in its rows' order, which is sample order: a node's
// k-th tagged sample is its k-th row. So one pass in sample order finds every sample's leaf
// and gives it the same value, by the same operation, as the leaf's own fill.
#include <algorithm>
#include <optional>

#include "tree/fit/grower.hpp"

namespace vandu {
namespace {

// Each noted node's rows seen so far in a block, 16 bits apiece in one register: a row's
// place then waits on no store of the row before it.
constexpr std::size_t counted_nodes = 4;
static_assert(kernels::max_tagged_nodes <= counted_nodes);
constexpr std::size_t block = 255;

// Slot `counted_nodes` takes the samples of no noted node: they keep their values.
struct Slots {
    const std::uint32_t* sides[counted_nodes + 1];  // the word of the node's feature, of its block's first row
    std::uint64_t one[counted_nodes + 1];
    unsigned shift[counted_nodes + 1];
    std::uint64_t mask[counted_nodes + 1];
    unsigned bit[counted_nodes + 1];
    double value[counted_nodes + 1][2];
    bool noted[counted_nodes + 1];
};

template <bool Subtract>
void fill_tagged(const std::uint8_t* tags, std::size_t n, const std::uint8_t* slot_of, Slots& slots,
                 std::size_t per_row, double* fitted) {
    for (std::size_t from = 0; from < n; from += block) {
        const std::size_t to = std::min(n, from + block);
        std::uint64_t seen = 0;
        for (std::size_t s = from; s < to; ++s) {
            const std::size_t k = slot_of[tags[s]];
            const std::size_t row = (seen >> slots.shift[k]) & slots.mask[k];
            seen += slots.one[k];
            const std::size_t side = (slots.sides[k][row * per_row] >> slots.bit[k]) & 1;
            const double before = fitted[s];
            // As Grower::fill: the leaf's value times the rate taken off, or the value.
            const double after = Subtract ? before - slots.value[k][side] : slots.value[k][side];
            fitted[s] = slots.noted[k] ? after : before;
        }
        for (std::size_t k = 0; k < counted_nodes; ++k)
            slots.sides[k] += ((seen >> slots.shift[k]) & slots.mask[k]) * per_row;
    }
}

}  // namespace

void Grower::fill_in_order() {
    LeafTags& noted = sc_.leaf_tags;
    const std::size_t tags = std::min(noted.tags, kernels::max_tagged_nodes);
    bool any = false;
    for (std::size_t k = 0; k < tags; ++k) any = any || noted.by_tag[k].node != LeafTags::none;
    noted.tags = 0;
    if (!any || !fitted_) return;
    const std::optional<double> rate = st_.subtract_rate;
    static const std::uint32_t no_sides = 0;
    Slots slots;
    std::uint8_t slot_of[256];
    std::fill(std::begin(slot_of), std::end(slot_of), static_cast<std::uint8_t>(counted_nodes));
    for (std::size_t k = 0; k <= counted_nodes; ++k) {
        const LeafTags::Node* node = k < tags && noted.by_tag[k].node != LeafTags::none ? &noted.by_tag[k] : nullptr;
        slots.noted[k] = node != nullptr;
        slots.sides[k] = node ? node->sides + node->feature / 32 : &no_sides;
        slots.bit[k] = node ? static_cast<unsigned>(node->feature % 32) : 0;
        slots.shift[k] = k < counted_nodes ? static_cast<unsigned>(16 * k) : 0;
        slots.one[k] = node ? std::uint64_t{1} << slots.shift[k] : 0;
        slots.mask[k] = node ? 0xffff : 0;
        for (int side = 0; side < 2; ++side) {
            const double value = node ? piece_[node->node].split.values[side] : 0.0;
            slots.value[k][side] = rate ? value * *rate : value;
        }
        if (node) slot_of[k] = static_cast<std::uint8_t>(k);
        if (k < tags) noted.by_tag[k].node = LeafTags::none;
    }
    if (rate)
        fill_tagged<true>(st_.tags.data(), st_.n_samples, slot_of, slots, noted.per_row, fitted_);
    else
        fill_tagged<false>(st_.tags.data(), st_.n_samples, slot_of, slots, noted.per_row, fitted_);
}

}  // namespace vandu
