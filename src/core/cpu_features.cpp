#include "core/cpu_features.hpp"

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vandu::cpu {

namespace {

struct Features {
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;
};

Features detect() {
    Features f;
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    // The wide registers are usable only when the system saves them on a context switch.
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return f;
    std::uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    const std::uint64_t xcr0 = low | (static_cast<std::uint64_t>(high) << 32);
    const bool ymm = (xcr0 & 0x6) == 0x6;     // SSE and AVX state
    const bool zmm = (xcr0 & 0xe6) == 0xe6;   // and the opmask and upper ZMM state
    if (__get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = ymm && (b & bit_AVX2);
    f.avx512f = zmm && (b & bit_AVX512F);
    f.avx512bw = f.avx512f && (b & bit_AVX512BW);
#endif
    return f;
}

const Features& features() {
    static const Features detected = detect();
    return detected;
}

}  // namespace

bool has_avx2() { return features().avx2; }
bool has_avx512f() { return features().avx512f; }
bool has_avx512bw() { return features().avx512bw; }

}  // namespace vandu::cpu
