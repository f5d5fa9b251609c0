#define VANDU_WALK_NS generic
#define VANDU_WALK_BYTES 16
#define VANDU_WALK_PARTS 2
#include "tree/kernels/walk_kernels.inc"

#include <vector>

#include "core/cpu_features.hpp"

namespace vandu::walk {

#if defined(__x86_64__)
namespace avx2 {
void shallow(const ShallowForest&, const double*, std::size_t, double*, bool);
}
namespace avx512 {
void shallow(const ShallowForest&, const double*, std::size_t, double*, bool);
void ranked(const RankedForest&, const std::int16_t*, std::size_t, double*, bool);
}
#endif

std::span<const Kernels* const> runnable_walk_kernels() {
    static const Kernels portable{"generic", generic::shallow, nullptr};
#if defined(__x86_64__)
    static const Kernels with_avx2{"avx2", avx2::shallow, nullptr};
    static const Kernels with_avx512{"avx512", avx512::shallow, nullptr};
    static const Kernels with_avx512bw{"avx512bw", avx512::shallow, avx512::ranked};
#endif
    static const std::vector<const Kernels*> runnable = [] {
        std::vector<const Kernels*> list{&portable};
#if defined(__x86_64__)
        if (cpu::has_avx2()) list.push_back(&with_avx2);
        if (cpu::has_avx512f()) list.push_back(&with_avx512);
        if (cpu::has_avx512bw()) list.push_back(&with_avx512bw);
#endif
        return list;
    }();
    return runnable;
}

const Kernels& walk_kernels() {
    static const Kernels& chosen = *runnable_walk_kernels().back();
    return chosen;
}

}  // namespace vandu::walk
