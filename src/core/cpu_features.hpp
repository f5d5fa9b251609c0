// Which vector instruction sets this processor and its operating system let us run, read once
// with cpuid and xgetbv. Our own reading rather than the compilers' builtin: the builtin needs a
// runtime object (__cpu_model) that not every toolchain links in.
#pragma once

namespace vandu::cpu {

bool has_avx2();
bool has_avx512f();
bool has_avx512bw();  // AVX-512F and BW both

}  // namespace vandu::cpu
