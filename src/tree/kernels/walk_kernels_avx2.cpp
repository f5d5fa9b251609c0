// Built with -mavx2 (and without FMA).
#if defined(__x86_64__)
#define VANDU_WALK_NS avx2
#define VANDU_WALK_BYTES 32
#define VANDU_WALK_PARTS 2
#include "tree/kernels/walk_kernels.inc"
#endif
