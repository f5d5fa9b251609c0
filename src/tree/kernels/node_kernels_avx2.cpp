// Built with -mavx2 (and without FMA: no fused multiply-adds may change the bits).
#if defined(__x86_64__)
#define VANDU_KERNEL_NS avx2
#include "tree/kernels/node_kernels.inc"
#endif
