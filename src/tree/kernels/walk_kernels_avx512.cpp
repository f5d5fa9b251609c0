// Built with -mavx512f; -ffp-contract=off keeps multiplies and adds apart.
#if defined(__x86_64__)
#define VANDU_WALK_NS avx512
#define VANDU_WALK_BYTES 64
#define VANDU_WALK_PARTS 4
#include "tree/kernels/walk_kernels.inc"
#endif
