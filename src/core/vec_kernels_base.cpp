#define VELMOR_KERNEL_NS kernels_base
#define VELMOR_VEC_BYTES 32
#include "vec_kernels_impl.hpp"
