// The kernel body, included once per instruction set by vec_kernels_<isa>.cpp with
// VELMOR_KERNEL_NS and VELMOR_VEC_BYTES defined. Everything here has internal linkage and uses
// no library templates: a shared inline symbol compiled with wider instructions could otherwise
// be picked by the linker for every caller.
#include <cstring>

// The vectors never cross a real call boundary (everything is internal and inlined), so the
// ABI note for wide vectors without the matching instruction set does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "vec_kernels.hpp"

namespace velmor::VELMOR_KERNEL_NS {
namespace {

typedef float vec __attribute__((vector_size(VELMOR_VEC_BYTES)));
constexpr size_t W = VELMOR_VEC_BYTES / sizeof(float);

inline vec load(const float* p) {
  vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, vec v) { std::memcpy(p, &v, sizeof v); }

// A tree of shuffles and adds: log2(W) steps instead of a chain of W scalar additions.
inline float hsum(vec v) {
#if VELMOR_VEC_BYTES == 64
  v += __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
  v += __builtin_shufflevector(v, v, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11);
  v += __builtin_shufflevector(v, v, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  v += __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
#elif VELMOR_VEC_BYTES == 32
  v += __builtin_shufflevector(v, v, 4, 5, 6, 7, 0, 1, 2, 3);
  v += __builtin_shufflevector(v, v, 2, 3, 0, 1, 6, 7, 4, 5);
  v += __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
#elif VELMOR_VEC_BYTES == 16
  v += __builtin_shufflevector(v, v, 2, 3, 0, 1);
  v += __builtin_shufflevector(v, v, 1, 0, 3, 2);
#else
#error "VELMOR_VEC_BYTES must be 16, 32 or 64"
#endif
  return v[0];
}

// Four independent accumulators: a float sum may not be reordered by the compiler, so one
// accumulator would serialise on the add latency.
float dot(const float* a, const float* b, size_t n) {
  vec s0 = {}, s1 = {}, s2 = {}, s3 = {};
  size_t i = 0;
  for (; i + 4 * W <= n; i += 4 * W) {
    s0 += load(a + i) * load(b + i);
    s1 += load(a + i + W) * load(b + i + W);
    s2 += load(a + i + 2 * W) * load(b + i + 2 * W);
    s3 += load(a + i + 3 * W) * load(b + i + 3 * W);
  }
  for (; i + W <= n; i += W) s0 += load(a + i) * load(b + i);
  float total = hsum((s0 + s1) + (s2 + s3));
  for (; i < n; ++i) total += a[i] * b[i];
  return total;
}

inline bool overlap_partially(const float* a, const float* b, size_t n) {
  return a != b && a < b + n && b < a + n;
}

void axpy(float a, const float* x, float* y, size_t n) {
  if (overlap_partially(x, y, n)) {
    for (size_t i = 0; i < n; ++i) y[i] += a * x[i];
    return;
  }
  const vec av = a - vec{};
  size_t i = 0;
  for (; i + 2 * W <= n; i += 2 * W) {
    store(y + i, load(y + i) + av * load(x + i));
    store(y + i + W, load(y + i + W) + av * load(x + i + W));
  }
  for (; i + W <= n; i += W) store(y + i, load(y + i) + av * load(x + i));
  for (; i < n; ++i) y[i] += a * x[i];
}

// One pass for the two updates of a sample: h is loaded once. `err` is the thread's own buffer
// and never aliases a row; e and h may be the same row (then e reads h's old value, as in the
// two-loop form).
void update(float g, const float* e, float* h, float* err, size_t n) {
  if (overlap_partially(e, h, n)) {
    for (size_t i = 0; i < n; ++i) err[i] += g * h[i];
    for (size_t i = 0; i < n; ++i) h[i] += g * e[i];
    return;
  }
  const vec gv = g - vec{};
  size_t i = 0;
  for (; i + W <= n; i += W) {
    const vec hv = load(h + i);
    const vec ev = load(e + i);
    store(err + i, load(err + i) + gv * hv);
    store(h + i, hv + gv * ev);
  }
  for (; i < n; ++i) {
    const float hi = h[i], ei = e[i];
    err[i] += g * hi;
    h[i] = hi + g * ei;
  }
}

// K dot products (K <= 8) in one pass over the columns: e is loaded once per block, and the K
// accumulator chains are independent, so the loop runs at load throughput.
template <int K>
void dots_k(const float* e, const float* const* h, size_t n, float* out) {
  const float* rows[K];
  vec acc[K];
#pragma GCC unroll 8
  for (int d = 0; d < K; ++d) {
    rows[d] = h[d];
    acc[d] = vec{};
  }
  size_t i = 0;
  for (; i + W <= n; i += W) {
    const vec ev = load(e + i);
#pragma GCC unroll 8
    for (int d = 0; d < K; ++d) acc[d] += ev * load(rows[d] + i);
  }
#pragma GCC unroll 8
  for (int d = 0; d < K; ++d) {
    float total = hsum(acc[d]);
    for (size_t j = i; j < n; ++j) total += e[j] * rows[d][j];
    out[d] = total;
  }
}

void dots(const float* e, const float* const* h, size_t count, size_t n, float* out) {
  for (size_t d = 0; d < count; d += 8) {
    switch (count - d < 8 ? count - d : 8) {
      case 8: dots_k<8>(e, h + d, n, out + d); break;
      case 7: dots_k<7>(e, h + d, n, out + d); break;
      case 6: dots_k<6>(e, h + d, n, out + d); break;
      case 5: dots_k<5>(e, h + d, n, out + d); break;
      case 4: dots_k<4>(e, h + d, n, out + d); break;
      case 3: dots_k<3>(e, h + d, n, out + d); break;
      case 2: dots_k<2>(e, h + d, n, out + d); break;
      default: dots_k<1>(e, h + d, n, out + d); break;
    }
  }
}

// The pair update column by column, for columns [from, n): the scalar tail of the vector forms.
inline void update_columns(const float* g, float* const* h, size_t count, float* e, size_t from,
                           size_t n) {
  for (size_t i = from; i < n; ++i) {
    const float ei = e[i];
    float err = 0.0f;
    for (size_t d = 0; d < count; ++d) {
      const float hi = h[d][i];
      err += g[d] * hi;
      h[d][i] = hi + g[d] * ei;
    }
    e[i] = ei + err;
  }
}

// The pair update for K <= 8 rows: the K rates and row pointers stay in registers for the whole
// pass, and in each column block every load comes before the first store, so a store to one row
// never stalls a later load of another row at the same address modulo 4 KiB (rows of 512 bytes
// make such matches common).
template <int K>
void pair_update_k(const float* g, float* const* h, float* e, size_t n) {
  float* rows[K];
  vec gv[K];
#pragma GCC unroll 8
  for (int d = 0; d < K; ++d) {
    rows[d] = h[d];
    gv[d] = g[d] - vec{};
  }
  size_t i = 0;
  for (; i + W <= n; i += W) {
    const vec ev = load(e + i);
    vec hv[K];
#pragma GCC unroll 8
    for (int d = 0; d < K; ++d) hv[d] = load(rows[d] + i);
    vec err = {};
#pragma GCC unroll 8
    for (int d = 0; d < K; ++d) {
      err += gv[d] * hv[d];
      store(rows[d] + i, hv[d] + gv[d] * ev);
    }
    store(e + i, ev + err);
  }
  update_columns(g, rows, K, e, i, n);
}

// Any number of rows: the error of a block accumulates in the order of the rows.
void pair_update_any(const float* g, float* const* h, size_t count, float* e, size_t n) {
  size_t i = 0;
  for (; i + W <= n; i += W) {
    const vec ev = load(e + i);
    vec err = {};
    for (size_t d = 0; d < count; ++d) {
      const vec gv = g[d] - vec{};
      const vec hv = load(h[d] + i);
      err += gv * hv;
      store(h[d] + i, hv + gv * ev);
    }
    store(e + i, ev + err);
  }
  update_columns(g, h, count, e, i, n);
}

void pair_update(const float* g, float* const* h, size_t count, float* e, size_t n) {
  switch (count) {
    case 0: pair_update_any(g, h, 0, e, n); break;
    case 1: pair_update_k<1>(g, h, e, n); break;
    case 2: pair_update_k<2>(g, h, e, n); break;
    case 3: pair_update_k<3>(g, h, e, n); break;
    case 4: pair_update_k<4>(g, h, e, n); break;
    case 5: pair_update_k<5>(g, h, e, n); break;
    case 6: pair_update_k<6>(g, h, e, n); break;
    case 7: pair_update_k<7>(g, h, e, n); break;
    case 8: pair_update_k<8>(g, h, e, n); break;
    default: pair_update_any(g, h, count, e, n); break;
  }
}

// Lane indices 0..W-1, as a pack.
template <int... I>
struct Lanes {};
#if VELMOR_VEC_BYTES == 64
using AllLanes = Lanes<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>;
#elif VELMOR_VEC_BYTES == 32
using AllLanes = Lanes<0, 1, 2, 3, 4, 5, 6, 7>;
#else
using AllLanes = Lanes<0, 1, 2, 3>;
#endif

// Where lane i of a combination of a and b (b's lanes numbered from W) comes from: a fills the
// lower half and b the upper, each half in groups of `group` lanes, group k taken from a's (or
// b's) lane group 2k + odd of that width.
constexpr int combined_lane(int i, int group, int odd) {
  const int half = static_cast<int>(W) / 2;
  const int from_b = i / half, j = i % half;
  return from_b * static_cast<int>(W) + (2 * (j / group) + odd) * group + j % group;
}

// a and b each hold sums in groups of 2 * Group lanes; the result holds a's then b's, in groups
// of Group lanes, each the sum of the two halves of its source group.
template <int Group, int... I>
inline vec combine(vec a, vec b, Lanes<I...>) {
  return __builtin_shufflevector(a, b, combined_lane(I, Group, 0)...) +
         __builtin_shufflevector(a, b, combined_lane(I, Group, 1)...);
}

// Lane k of the result is the sum of the lanes of v[k], for k < Count <= W: Count horizontal
// sums by log2(W) rounds of shuffles shared among them, instead of log2(W) rounds each.
// Overwrites v.
template <int Group, int Count>
inline vec sum_lanes(vec* v) {
  constexpr int kNext = (Count + 1) / 2;
#pragma GCC unroll 16
  for (int k = 0; k < kNext; ++k)
    v[k] = combine<Group>(v[2 * k], 2 * k + 1 < Count ? v[2 * k + 1] : vec{}, AllLanes{});
  if constexpr (Group == 1) return v[0];
  else return sum_lanes<Group / 2, kNext>(v);
}

// s[b] for First <= b < NT from the accumulators of one context and the columns [from, n).
template <int NT, int First>
inline void finish_dots(vec* acc, const float* c, const float* const* t, size_t from, size_t n,
                        float* s) {
  constexpr int kW = static_cast<int>(W);
  constexpr int kCount = NT - First < kW ? NT - First : kW;
  const vec sums = sum_lanes<kW / 2, kCount>(acc + First);
#pragma GCC unroll 16
  for (int b = 0; b < kCount; ++b) {
    float total = sums[b];
    for (size_t j = from; j < n; ++j) total += c[j] * t[First + b][j];
    s[First + b] = total;
  }
  if constexpr (First + kW < NT) finish_dots<NT, First + kW>(acc, c, t, from, n, s);
}

// The NT dot products of kContexts contexts (1 or 2) at once: a tile of each target row is loaded
// once for both.
template <int NT, int kContexts>
void block_dots_rows(const float* const* c, const float* const* t, size_t n, float* s) {
  vec acc[kContexts][NT];
#pragma GCC unroll 8
  for (int a = 0; a < kContexts; ++a)
#pragma GCC unroll 8
    for (int b = 0; b < NT; ++b) acc[a][b] = vec{};
  size_t i = 0;
  for (; i + W <= n; i += W) {
    vec cv[kContexts];
#pragma GCC unroll 8
    for (int a = 0; a < kContexts; ++a) cv[a] = load(c[a] + i);
#pragma GCC unroll 8
    for (int b = 0; b < NT; ++b) {
      const vec tv = load(t[b] + i);
#pragma GCC unroll 8
      for (int a = 0; a < kContexts; ++a) acc[a][b] += cv[a] * tv;
    }
  }
#pragma GCC unroll 8
  for (int a = 0; a < kContexts; ++a) finish_dots<NT, 0>(acc[a], c[a], t, i, n, s + a * NT);
}

template <int NT>
void block_dots_k(const float* const* c, size_t nc, const float* const* t, size_t n, float* s) {
  size_t a = 0;
  for (; a + 2 <= nc; a += 2) block_dots_rows<NT, 2>(c + a, t, n, s + a * NT);
  if (a < nc) block_dots_rows<NT, 1>(c + a, t, n, s + a * NT);
}

void block_dots(const float* const* c, size_t nc, const float* const* t, size_t nt, size_t n,
                float* s) {
  switch (nt) {
    case 1: return block_dots_k<1>(c, nc, t, n, s);
    case 2: return block_dots_k<2>(c, nc, t, n, s);
    case 3: return block_dots_k<3>(c, nc, t, n, s);
    case 4: return block_dots_k<4>(c, nc, t, n, s);
    case 5: return block_dots_k<5>(c, nc, t, n, s);
    case 6: return block_dots_k<6>(c, nc, t, n, s);
    case 7: return block_dots_k<7>(c, nc, t, n, s);
    case 8: return block_dots_k<8>(c, nc, t, n, s);
    default:
      for (size_t a = 0; a < nc; ++a) dots(c[a], t, nt, n, s + a * nt);
  }
}

// The block update of columns [from, n) one by one: the scalar tail of the tiled forms, in the
// same order.
inline void block_update_columns(const float* g, const float* m, float* const* c, size_t nc,
                                 float* const* t, size_t nt, size_t from, size_t n) {
  for (size_t i = from; i < n; ++i) {
    float old_t[kMaxBlockTargets];
    float step_t[kMaxBlockTargets];
    float old_c[kMaxBlockContexts];
    for (size_t b = 0; b < nt; ++b) {
      old_t[b] = t[b][i];
      step_t[b] = 0.0f;
    }
    for (size_t a = 0; a < nc; ++a) old_c[a] = c[a][i];
    for (size_t a = 0; a < nc; ++a) {
      const float* const ga = g + a * nt;
      float err = 0.0f;
      for (size_t b = 0; b < nt; ++b) {
        err += ga[b] * old_t[b];
        step_t[b] += ga[b] * old_c[a];
      }
      for (size_t e = 0; e < a; ++e) err += m[a * nc + e] * old_c[e];
      c[a][i] = old_c[a] + err;
    }
    for (size_t b = 0; b < nt; ++b) t[b][i] = old_t[b] + step_t[b];
  }
}

// The block update for NC context and NT target rows (fixed, or 0 for any count up to the
// most). A tile of every row stays in registers while the contexts pass over it (for NC = 4 and
// NT = 6, 2 NT + NC + 2 vectors: AVX2's sixteen), and every load of a tile comes before its
// first store, so that a store never stalls the load of a row at the same address modulo 4 KiB
// (rows of 512 bytes make such matches common).
template <int NC, int NT>
void block_update_k(const float* g, const float* m, float* const* c, size_t contexts,
                    float* const* t, size_t targets, size_t n) {
  constexpr size_t kRows = NT > 0 ? NT : kMaxBlockTargets;
  constexpr size_t kContexts = NC > 0 ? NC : kMaxBlockContexts;
  const size_t nt = NT > 0 ? NT : targets;
  const size_t nc = NC > 0 ? NC : contexts;
  float* rows[kRows];
  float* cols[kContexts];
#pragma GCC unroll 8
  for (size_t b = 0; b < nt; ++b) rows[b] = t[b];
#pragma GCC unroll 8
  for (size_t a = 0; a < nc; ++a) cols[a] = c[a];
  size_t i = 0;
  for (; i + W <= n; i += W) {
    vec old_t[kRows];
    vec step_t[kRows];
    vec old_c[kContexts] = {};  // all written; cleared so that GCC sees it
#pragma GCC unroll 8
    for (size_t b = 0; b < nt; ++b) {
      old_t[b] = load(rows[b] + i);
      step_t[b] = vec{};
    }
#pragma GCC unroll 8
    for (size_t a = 0; a < nc; ++a) old_c[a] = load(cols[a] + i);
#pragma GCC unroll 8
    for (size_t a = 0; a < nc; ++a) {
      const float* const ga = g + a * nt;
      vec err = {};
#pragma GCC unroll 8
      for (size_t b = 0; b < nt; ++b) {
        const vec gv = ga[b] - vec{};
        err += gv * old_t[b];
        step_t[b] += gv * old_c[a];
      }
#pragma GCC unroll 8
      for (size_t e = 0; e < a; ++e) err += (m[a * nc + e] - vec{}) * old_c[e];
      store(cols[a] + i, old_c[a] + err);
    }
#pragma GCC unroll 8
    for (size_t b = 0; b < nt; ++b) store(rows[b] + i, old_t[b] + step_t[b]);
  }
  block_update_columns(g, m, cols, nc, rows, nt, i, n);
}

// block_update_k for NC contexts and nt targets.
template <int NC>
void block_update_nc(const float* g, const float* m, float* const* c, size_t nc, float* const* t,
                     size_t nt, size_t n) {
  switch (nt) {
    case 1: return block_update_k<NC, 1>(g, m, c, nc, t, nt, n);
    case 2: return block_update_k<NC, 2>(g, m, c, nc, t, nt, n);
    case 3: return block_update_k<NC, 3>(g, m, c, nc, t, nt, n);
    case 4: return block_update_k<NC, 4>(g, m, c, nc, t, nt, n);
    case 5: return block_update_k<NC, 5>(g, m, c, nc, t, nt, n);
    case 6: return block_update_k<NC, 6>(g, m, c, nc, t, nt, n);
    case 7: return block_update_k<NC, 7>(g, m, c, nc, t, nt, n);
    case 8: return block_update_k<NC, 8>(g, m, c, nc, t, nt, n);
    default: return block_update_k<0, 0>(g, m, c, nc, t, nt, n);
  }
}

// Fixed forms for the blocks training makes (1 to 4 contexts, 1 to 8 targets); any other
// shape by the general one.
void block_update(const float* g, const float* m, float* const* c, size_t nc, float* const* t,
                  size_t nt, size_t n) {
  switch (nc) {
    case 1: return block_update_nc<1>(g, m, c, nc, t, nt, n);
    case 2: return block_update_nc<2>(g, m, c, nc, t, nt, n);
    case 3: return block_update_nc<3>(g, m, c, nc, t, nt, n);
    case 4: return block_update_nc<4>(g, m, c, nc, t, nt, n);
    default: return block_update_k<0, 0>(g, m, c, nc, t, nt, n);
  }
}

}  // namespace

extern const VecKernels table = {&dot,         &axpy,       &update,      &dots,
                                 &pair_update, &block_dots, &block_update};

}  // namespace velmor::VELMOR_KERNEL_NS
