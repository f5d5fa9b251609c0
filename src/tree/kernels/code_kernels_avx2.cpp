// Built with -mavx2 (and without FMA: no fused multiply-adds may change the bits).
#if defined(__x86_64__)
#define VANDU_CODE_NS avx2
#include "tree/kernels/code_kernels.inc"
#endif
