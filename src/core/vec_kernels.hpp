// Dot product and scaled addition over contiguous float rows, the innermost operations of
// training. One body (vec_kernels_impl.hpp) is compiled once per instruction set. On x86-64 the
// build holds the baseline, AVX2+FMA and AVX-512 tables, and the widest one the processor
// supports is chosen once, on first use, so the library runs on any x86-64. On aarch64 the NEON
// table (NEON is part of the architecture) is the one, chosen at build time; elsewhere the
// portable table. No other file of the core tests or names a processor feature.
//
// Thread-safety: the functions keep no state; kernels() may be called from any thread.
// Rows may alias exactly (same start); axpy falls back to an element-wise loop when x and y
// overlap partially, so the result is that of the plain sequential loop.
#pragma once

#include <cstddef>
#include <span>

namespace velmor {

struct VecKernels {
  float (*dot)(const float* a, const float* b, size_t n);
  void (*axpy)(float a, const float* x, float* y, size_t n);  // y += a * x
  // err += g * h, then h += g * e, element by element with h's old value in the first.
  void (*update)(float g, const float* e, float* h, float* err, size_t n);
  // out[d] = dot(e, h[d]) for d < count.
  void (*dots)(const float* e, const float* const* h, size_t count, size_t n, float* out);
  // The whole update of one (centre, context) pair in one pass over the columns: for d in order,
  // err += g[d] * h[d] (old h[d]) and h[d] += g[d] * e; finally e += err. Same arithmetic, in the
  // same order, as the per-sample form. Precondition: the rows h[0..count) and e are pairwise
  // disjoint in memory.
  void (*pair_update)(const float* g, float* const* h, size_t count, float* e, size_t n);
  // s[a * nt + b] = dot(c[a], t[b]) for a < nc, b < nt: the scores of a position block.
  void (*block_dots)(const float* const* c, size_t nc, const float* const* t, size_t nt, size_t n,
                     float* s);
  // The update of a position block, with g an nc x nt and m an nc x nc row-major matrix (only
  // the entries m[a * nc + e], e < a, are read):
  //   c[a] += sum over b of g[a * nt + b] * t[b] + sum over e < a of m[a * nc + e] * c[e]
  //   t[b] += sum over a of g[a * nt + b] * c[a]
  // every right-hand side taken before any update. The columns go by tiles of one register: the
  // tiles of every row are loaded, then for each context a in order its new tile, old + (sum
  // over b in order) + (sum over e in order), is stored, and the targets' tiles last.
  // Preconditions: the nc + nt rows are pairwise disjoint in memory, nc <= kMaxBlockContexts
  // and nt <= kMaxBlockTargets.
  void (*block_update)(const float* g, const float* m, float* const* c, size_t nc, float* const* t,
                       size_t nt, size_t n);
};

// The most context and target rows block_update takes at once.
inline constexpr size_t kMaxBlockContexts = 8;
inline constexpr size_t kMaxBlockTargets = 32;

// The table training uses.
const VecKernels& kernels();

struct NamedKernels {
  const char* name;  // "base", "avx2", "avx512" or "neon"
  const VecKernels* table;
};

// Every table of this build that this processor runs, in order of preference, the least
// preferred first: kernels() is the last. Tests compare them all against each other.
std::span<const NamedKernels> runnable_kernels();

namespace kernels_base { extern const VecKernels table; }
namespace kernels_avx2 { extern const VecKernels table; }
namespace kernels_avx512 { extern const VecKernels table; }
namespace kernels_neon { extern const VecKernels table; }

}  // namespace velmor
