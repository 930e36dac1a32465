#include "graph.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "failure.hpp"

namespace velmor {

template <class T>
Buffer<T>::Buffer(size_t n) : size_(n) {
  if (n == 0) return;
  if (n > std::numeric_limits<size_t>::max() / sizeof(T)) raise_error(ErrorKind::Memory, "");
  // calloc hands out zero pages lazily, which is what makes a zero-filled array at final size
  // cheap.
  ptr_.reset(static_cast<T*>(std::calloc(n, sizeof(T))));
  if (!ptr_) raise_error(ErrorKind::Memory, "");
}
template class Buffer<uint32_t>;
template class Buffer<uint64_t>;

std::span<const uint32_t> CsrRecord::neighbors(uint64_t node) const {
  const size_t n_off = offsets.size();
  if (node >= n_off) panic_index(n_off, node);
  if (node + 1 >= n_off) panic_index(n_off, node + 1);
  const uint64_t begin = offsets[node];
  const uint64_t end = offsets[node + 1];
  if (begin > end) panic("slice index starts at " + std::to_string(begin) + " but ends at " +
                         std::to_string(end));
  if (end > targets.size())
    panic("range end index " + std::to_string(end) + " out of range for slice of length " +
          std::to_string(targets.size()));
  return {targets.data() + begin, static_cast<size_t>(end - begin)};
}

bool CsrRecord::has_edge(uint64_t src, uint32_t dst) const {
  const std::span<const uint32_t> row = neighbors(src);
  if (row.empty()) return false;
  // Branch-free: the answer lies in [base, base + n) and each step halves n with a conditional
  // move, so no step can be mispredicted. Both possible next midpoints are prefetched, which
  // helps on long rows that are not in cache (the neighbour lists of hubs).
  const uint32_t* base = row.data();
  size_t n = row.size();
  while (n > 1) {
    const size_t half = n / 2;
    __builtin_prefetch(base + half / 2);
    __builtin_prefetch(base + half + half / 2);
    base = base[half] <= dst ? base + half : base;
    n -= half;
  }
  return *base == dst;  // *base is the last entry <= dst, if any entry is
}

namespace {

// NumPy arrays need not be aligned, so elements are read with memcpy (a plain load on x86).
inline uint32_t load_u32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t at(const EdgeView& e, size_t i, size_t j) {
  return load_u32(e.data + static_cast<ptrdiff_t>(i) * e.row_stride +
                  static_cast<ptrdiff_t>(j) * e.col_stride);
}

// Calls f(i, j, value) for every element, in row order. The common C-ordered (E, 2) layout gets
// a loop the compiler can see through.
template <class F>
void for_each_in_column(const EdgeView& e, size_t j, F&& f) {
  if (e.col_stride == 4 && e.row_stride == static_cast<ptrdiff_t>(4 * e.cols)) {
    const char* p = e.data + 4 * j;
    for (size_t i = 0; i < e.rows; ++i) f(load_u32(p + 4 * i * e.cols));
  } else {
    for (size_t i = 0; i < e.rows; ++i) f(at(e, i, j));
  }
}

uint32_t max_element(const EdgeView& e) {
  uint32_t m = 0;
  for (size_t j = 0; j < e.cols; ++j)
    for_each_in_column(e, j, [&](uint32_t v) { m = v > m ? v : m; });
  return m;
}

// Rows are sorted one by one. Equal uint32 values are indistinguishable, so an unstable sort
// gives the same row as a stable one; short rows (the vast majority) take insertion sort.
void sort_row(uint32_t* first, uint32_t* last) {
  if (last - first <= 24) {
    for (uint32_t* i = first + 1; i < last; ++i) {
      const uint32_t v = *i;
      uint32_t* k = i;
      while (k > first && *(k - 1) > v) {
        *k = *(k - 1);
        --k;
      }
      *k = v;
    }
  } else {
    std::sort(first, last);
  }
}

}  // namespace

CsrRecord csr_from_edges(const EdgeView& edges, bool directed) {
  const size_t E = edges.rows, K = edges.cols;
  // num_nodes = max + 1 in 32-bit arithmetic: an id of 4294967295 wraps to 0 and fails below.
  const uint32_t num_nodes = (E == 0 || K == 0) ? 0 : static_cast<uint32_t>(max_element(edges) + 1u);

  CsrRecord g;
  g.targets = Buffer<uint32_t>(directed ? E : 2 * E);
  g.offsets = Buffer<uint64_t>(static_cast<size_t>(num_nodes) + 1);
  uint64_t* off = g.offsets.data();
  const size_t n_off = g.offsets.size();

  // Degree count, indexed by node (not node + 1).
  auto count = [&](uint32_t v) {
    if (v >= n_off) panic_index(n_off, v);
    ++off[v];
  };
  if (K < 1) panic("assertion failed: index < dim");
  for_each_in_column(edges, 0, count);
  if (!directed) {
    if (K < 2) panic("assertion failed: index < dim");
    for_each_in_column(edges, 1, count);
  }

  // Shifted prefix sum: afterwards offsets[v + 1] is the start of v's row, the fill cursor of
  // the scatter below.
  uint64_t c = off[0], run = 0;
  off[0] = 0;
  for (size_t k = 1; k <= num_nodes; ++k) {
    const uint64_t t = off[k];
    off[k] = run;
    run += c;
    c = t;
  }

  if (E > 0 && K < 2) panic_index(K, 1);
  uint32_t* tg = g.targets.data();
  auto place = [&](uint32_t a, uint32_t b) {
    if (a >= num_nodes) panic_index(n_off, static_cast<uint64_t>(a) + 1);
    tg[off[static_cast<size_t>(a) + 1]++] = b;
  };
  if (edges.col_stride == 4 && edges.row_stride == static_cast<ptrdiff_t>(4 * K)) {
    const char* p = edges.data;
    for (size_t i = 0; i < E; ++i, p += 4 * K) {
      const uint32_t s = load_u32(p), d = load_u32(p + 4);
      place(s, d);
      if (!directed) place(d, s);
    }
  } else {
    for (size_t i = 0; i < E; ++i) {
      const uint32_t s = at(edges, i, 0), d = at(edges, i, 1);
      place(s, d);
      if (!directed) place(d, s);
    }
  }

  for (size_t v = 0; v < num_nodes; ++v) sort_row(tg + off[v], tg + off[v + 1]);
  return g;
}

}  // namespace velmor
