// NEON's registers are 16 bytes wide; every aarch64 processor has them.
#define VELMOR_KERNEL_NS kernels_neon
#define VELMOR_VEC_BYTES 16
#include "vec_kernels_impl.hpp"
