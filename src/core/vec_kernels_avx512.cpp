#define VELMOR_KERNEL_NS kernels_avx512
#define VELMOR_VEC_BYTES 64
#include "vec_kernels_impl.hpp"
