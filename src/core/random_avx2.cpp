// Built with -mavx2: eight blocks in the lanes of 256-bit registers.
#if defined(__x86_64__)
#include "core/chacha_lanes.inc"

namespace vandu::chacha_lanes {

void eight_blocks_avx2(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                       std::array<std::uint32_t, 16>* out) {
    blocks<8>(key, counter, out);
}

}  // namespace vandu::chacha_lanes
#endif
