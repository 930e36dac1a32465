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

inline float hsum(vec v) {
  float lanes[W];
  std::memcpy(lanes, &v, sizeof v);
  float total = 0.0f;
#pragma GCC unroll 16
  for (size_t k = 0; k < W; ++k) total += lanes[k];
  return total;
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

// Two dot products sharing the loads of e, two accumulators each to halve the add chains. Plain
// named accumulators keep everything in registers.
inline void dot2(const float* e, const float* h0, const float* h1, size_t n, float* out) {
  vec a0 = {}, b0 = {}, a1 = {}, b1 = {};
  size_t i = 0;
  for (; i + 2 * W <= n; i += 2 * W) {
    const vec e0 = load(e + i), e1 = load(e + i + W);
    a0 += e0 * load(h0 + i);
    b0 += e1 * load(h0 + i + W);
    a1 += e0 * load(h1 + i);
    b1 += e1 * load(h1 + i + W);
  }
  for (; i + W <= n; i += W) {
    const vec e0 = load(e + i);
    a0 += e0 * load(h0 + i);
    a1 += e0 * load(h1 + i);
  }
  float t0 = hsum(a0 + b0), t1 = hsum(a1 + b1);
  for (; i < n; ++i) {
    t0 += e[i] * h0[i];
    t1 += e[i] * h1[i];
  }
  out[0] = t0;
  out[1] = t1;
}

void dots(const float* e, const float* const* h, size_t count, size_t n, float* out) {
  size_t d = 0;
  for (; d + 2 <= count; d += 2) dot2(e, h[d], h[d + 1], n, out + d);
  if (d < count) out[d] = dot(e, h[d], n);
}

// Up to eight rows of one column block: every load is issued before the first store, so a
// store to one row never stalls a later load of another row whose address matches it modulo
// 4 KiB (rows of 512 bytes make such matches common).
template <int K>
inline void update_block(const float* g, float* const* h, size_t i, vec ev, vec& err) {
  vec hv[K];
#pragma GCC unroll 8
  for (int d = 0; d < K; ++d) hv[d] = load(h[d] + i);
#pragma GCC unroll 8
  for (int d = 0; d < K; ++d) {
    const vec gv = g[d] - vec{};
    err += gv * hv[d];
    store(h[d] + i, hv[d] + gv * ev);
  }
}

void pair_update(const float* g, float* const* h, size_t count, float* e, size_t n) {
  size_t i = 0;
  for (; i + W <= n; i += W) {
    const vec ev = load(e + i);
    vec err = {};
    for (size_t d = 0; d < count; d += 8) {
      switch (count - d < 8 ? count - d : 8) {
        case 8: update_block<8>(g + d, h + d, i, ev, err); break;
        case 7: update_block<7>(g + d, h + d, i, ev, err); break;
        case 6: update_block<6>(g + d, h + d, i, ev, err); break;
        case 5: update_block<5>(g + d, h + d, i, ev, err); break;
        case 4: update_block<4>(g + d, h + d, i, ev, err); break;
        case 3: update_block<3>(g + d, h + d, i, ev, err); break;
        case 2: update_block<2>(g + d, h + d, i, ev, err); break;
        default: update_block<1>(g + d, h + d, i, ev, err); break;
      }
    }
    store(e + i, ev + err);
  }
  for (; i < n; ++i) {
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

}  // namespace

extern const VecKernels table = {&dot, &axpy, &update, &dots, &pair_update, VELMOR_KERNEL_NAME};

}  // namespace velmor::VELMOR_KERNEL_NS
