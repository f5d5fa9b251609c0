#define VANDU_KERNEL_NS generic
#define VANDU_KERNEL_HALVES 1
#include "tree/kernels/node_kernels.inc"

#include "core/cpu_features.hpp"

namespace vandu::kernels {

#if defined(__x86_64__)
namespace avx2 {
void value_ranges(const double*, ConstPositionPtr, std::size_t, std::size_t, std::size_t, double*, double*,
                  std::int64_t*);
void side_statistics(const double*, std::size_t, std::size_t, std::size_t, const double*,
                     const double*, SideStatistics, CountMarks);
void masked_sums(const double*, ConstPositionPtr, std::size_t, std::size_t, std::size_t, const double*,
                 double, const double*, std::int64_t*, double*, NodeTargets*, std::uint64_t*);
bool partition(const Partition&, std::size_t);
void welford_chains(const Chain*, std::size_t);
}  // namespace avx2
#endif

const NodeKernels& generic_node_kernels() {
    static const NodeKernels portable{generic::value_ranges, generic::side_statistics,
                                    generic::masked_sums, generic::partition,
                                    generic::welford_chains};
    return portable;
}

const NodeKernels& node_kernels() {
    static const NodeKernels chosen = [] {
#if defined(__x86_64__)
        if (cpu::has_avx2()) return NodeKernels{avx2::value_ranges, avx2::side_statistics, avx2::masked_sums,
                              avx2::partition, avx2::welford_chains};
#endif
        return generic_node_kernels();
    }();
    return chosen;
}

}  // namespace vandu::kernels
