#define VANDU_CODE_NS generic
#include "tree/kernels/code_kernels.inc"

#include <vector>

#include "core/cpu_features.hpp"

namespace vandu::kernels {

#if defined(__x86_64__)
namespace avx2 {
void code_sums(const CodeRows&, std::size_t, std::size_t, const double*, double, const CodeSearch&,
               std::int64_t*, double*, std::uint32_t*);
bool code_partition(const CodePartition&);
void code_values(const EdgeLevels&, const double*, std::size_t, std::size_t, code_t*, std::size_t, std::uint8_t*);
void tagged_sums(const CodeRows&, std::size_t, std::size_t, const double*, const std::uint8_t*, const TaggedNode*,
                 std::size_t);
bool tagged_partition(const TaggedPartition&);
void tagged_leaves(const TaggedLeaves&);
}  // namespace avx2
namespace avx512 {
void code_sums(const CodeRows&, std::size_t, std::size_t, const double*, double, const CodeSearch&,
               std::int64_t*, double*, std::uint32_t*);
bool code_partition(const CodePartition&);
void code_values(const EdgeLevels&, const double*, std::size_t, std::size_t, code_t*, std::size_t, std::uint8_t*);
void tagged_sums(const CodeRows&, std::size_t, std::size_t, const double*, const std::uint8_t*, const TaggedNode*,
                 std::size_t);
bool tagged_partition(const TaggedPartition&);
void tagged_leaves(const TaggedLeaves&);
bool code_ranges(const FeatureCodes&, const CodeRows&, std::size_t, double*, double*);
}  // namespace avx512
#endif

const CodeKernels& generic_code_kernels() {
    static const CodeKernels portable{"generic", generic::code_sums, generic::code_partition,
                                      generic::tagged_sums, false, generic::code_values,
                                      generic::tagged_partition, generic::tagged_leaves};
    return portable;
}

std::span<const CodeKernels* const> runnable_code_kernels() {
#if defined(__x86_64__)
    static const CodeKernels with_avx2{"avx2", avx2::code_sums, avx2::code_partition, avx2::tagged_sums, false,
                                       avx2::code_values, avx2::tagged_partition, avx2::tagged_leaves};
    static const CodeKernels with_avx512bw{"avx512bw", avx512::code_sums, avx512::code_partition,
                                           avx512::tagged_sums, true, avx512::code_values,
                                           avx512::tagged_partition, avx512::tagged_leaves, avx512::code_ranges};
#endif
    static const std::vector<const CodeKernels*> runnable = [] {
        std::vector<const CodeKernels*> list{&generic_code_kernels()};
#if defined(__x86_64__)
        if (cpu::has_avx2()) list.push_back(&with_avx2);
        if (cpu::has_avx2() && cpu::has_avx512bw()) list.push_back(&with_avx512bw);
#endif
        return list;
    }();
    return runnable;
}

const CodeKernels& code_kernels() {
    static const CodeKernels& chosen = *runnable_code_kernels().back();
    return chosen;
}

}  // namespace vandu::kernels
