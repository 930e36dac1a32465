#include "vec_kernels.hpp"

namespace velmor {
namespace {

const VecKernels& choose() {
#if defined(VELMOR_X86_64)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return kernels_avx512::table;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return kernels_avx2::table;
#endif
  return kernels_base::table;
}

}  // namespace

const VecKernels& kernels() {
  static const VecKernels& chosen = choose();
  return chosen;
}

}  // namespace velmor
