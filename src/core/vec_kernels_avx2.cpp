#define VELMOR_KERNEL_NS kernels_avx2
#define VELMOR_VEC_BYTES 32
#include "vec_kernels_impl.hpp"
