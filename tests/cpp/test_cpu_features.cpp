#include "core/cpu_features.hpp"

#include <gtest/gtest.h>

namespace vandu {
namespace {

// GCC's runtime (libgcc) reads the same bits; zig's does not have the builtin's object.
#if defined(__x86_64__) && defined(__GLIBCXX__)
TEST(CpuFeatures, AgreeWithTheCompilersReading) {
    __builtin_cpu_init();
    EXPECT_EQ(cpu::has_avx2(), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(cpu::has_avx512f(), __builtin_cpu_supports("avx512f") != 0);
    EXPECT_EQ(cpu::has_avx512bw(),
              __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0);
}
#endif

}  // namespace
}  // namespace vandu
