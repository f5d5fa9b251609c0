#define VANDU_CODE_NS generic
#include "tree/kernels/code_kernels.inc"

#include "core/cpu_features.hpp"

namespace vandu::kernels {

#if defined(__x86_64__)
namespace avx2 {
void code_sums(const CodeRows&, std::size_t, std::size_t, const double*, double, const CodeSearch&,
               std::int64_t*, double*);
bool code_partition(const CodePartition&);
}  // namespace avx2
#endif

const CodeKernels& generic_code_kernels() {
    static const CodeKernels portable{generic::code_sums, generic::code_partition};
    return portable;
}

const CodeKernels& code_kernels() {
    static const CodeKernels chosen = [] {
#if defined(__x86_64__)
        if (cpu::has_avx2()) return CodeKernels{avx2::code_sums, avx2::code_partition};
#endif
        return generic_code_kernels();
    }();
    return chosen;
}

}  // namespace vandu::kernels
