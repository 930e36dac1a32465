#include "vec_kernels.hpp"

#include <vector>

namespace velmor {
namespace {

// Which tables a build holds is decided by CMake (one of the VELMOR_KERNELS_* definitions, with
// the matching vec_kernels_<isa>.cpp files); the x86-64 ones are then checked at run time.
std::vector<NamedKernels> find_runnable() {
  std::vector<NamedKernels> tables{{"base", &kernels_base::table}};
#if defined(VELMOR_KERNELS_X86_64)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
    tables.push_back({"avx2", &kernels_avx2::table});
  if (__builtin_cpu_supports("avx512f")) tables.push_back({"avx512", &kernels_avx512::table});
#elif defined(VELMOR_KERNELS_NEON)
  tables.push_back({"neon", &kernels_neon::table});
#endif
  return tables;
}

}  // namespace

std::span<const NamedKernels> runnable_kernels() {
  static const std::vector<NamedKernels> tables = find_runnable();
  return tables;
}

const VecKernels& kernels() {
  static const VecKernels& chosen = *runnable_kernels().back().table;
  return chosen;
}

}  // namespace velmor
