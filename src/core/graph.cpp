#include "graph.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "float_repr.hpp"

namespace velmor {

void refuse_num_nodes(const std::string& got) {
  raise_error(ErrorKind::Value,
              "num_nodes must be between 1 and " + std::to_string(kMaxNodes) + ", got " + got);
}

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
template class Buffer<double>;
template class Buffer<AliasSlot>;

std::span<const uint32_t> CsrRecord::neighbors(uint64_t node) const {
  const size_t n_off = offsets.size();
  if (node >= n_off) panic_index(n_off, node);
  if (node + 1 >= n_off) panic_index(n_off, node + 1);
  const uint64_t begin = offsets[node];
  const uint64_t end = offsets[node + 1];
  if (begin > end)
    panic("slice index starts at " + std::to_string(begin) + " but ends at " + std::to_string(end));
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

// Turns the counts off[0 .. n - 1] (off[v] = arcs leaving v) into a prefix sum shifted by one:
// afterwards off[v + 1] is the start of v's row, so that incrementing it while scattering leaves
// it at the row's end, which is the start of row v + 1. Precondition: off has n + 1 entries.
void shift_to_row_starts(uint64_t* off, size_t n) {
  uint64_t c = off[0], run = 0;
  off[0] = 0;
  for (size_t k = 1; k <= n; ++k) {
    const uint64_t t = off[k];
    off[k] = run;
    run += c;
    c = t;
  }
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

[[noreturn]] void refuse_edge(size_t i, uint32_t node, uint32_t num_nodes) {
  raise_error(ErrorKind::Value, "edges[" + std::to_string(i) + "] refers to node " +
                                    std::to_string(node) + " but num_nodes is " +
                                    std::to_string(num_nodes));
}

// The record of num_nodes nodes: two zero-filled allocations at final size, degrees counted and
// rows scattered in `offsets` itself, each row sorted. Its own checks panic; the checked builder
// makes sure that none can fail.
CsrRecord build_csr(const EdgeView& edges, bool directed, uint32_t num_nodes) {
  const size_t E = edges.rows, K = edges.cols;
  CsrRecord g;
  g.targets = Buffer<uint32_t>(directed ? E : 2 * E);
  g.offsets = Buffer<uint64_t>(static_cast<size_t>(num_nodes) + 1);
  // A walk step reads both at random: on graphs past the caches, every page-table walk avoided
  // is a miss the step does not wait for.
  advise_huge_pages(g.targets.data(), g.targets.size() * sizeof(uint32_t));
  advise_huge_pages(g.offsets.data(), g.offsets.size() * sizeof(uint64_t));
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

  // Afterwards offsets[v + 1] is the start of v's row, the fill cursor of the scatter below.
  shift_to_row_starts(off, num_nodes);

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

}  // namespace

CsrRecord csr_from_edges(const EdgeView& edges, bool directed) {
  // num_nodes = max + 1 in 32-bit arithmetic: an id of 4294967295 wraps to 0 and fails in the
  // build.
  const uint32_t num_nodes =
      (edges.rows == 0 || edges.cols == 0) ? 0 : static_cast<uint32_t>(max_element(edges) + 1u);
  return build_csr(edges, directed, num_nodes);
}

void mark_arc_ends(const CsrRecord& graph, std::span<const uint8_t> sources,
                   std::span<uint8_t> marks) {
  const uint32_t n = graph.num_nodes();
  if (sources.size() != n || marks.size() != n)
    raise_error(ErrorKind::Value,
                "sources and marks need one entry per node (" + std::to_string(n) + "), got " +
                    std::to_string(sources.size()) + " and " + std::to_string(marks.size()));
  for (uint32_t u = 0; u < n; ++u) {
    if (!sources[u]) continue;
    const std::span<const uint32_t> row = graph.neighbors(u);
    if (!row.empty()) marks[u] = 1;
    for (const uint32_t v : row) marks[v] = 1;
  }
}

CsrRecord csr_from_edges(const EdgeView& edges, bool directed, int64_t num_nodes) {
  if (num_nodes < 1 || num_nodes > kMaxNodes) refuse_num_nodes(std::to_string(num_nodes));
  if (edges.cols != 2) panic_index(edges.cols, 1);
  const uint32_t n = static_cast<uint32_t>(num_nodes);
  for (size_t i = 0; i < edges.rows; ++i) {
    const uint32_t s = at(edges, i, 0), d = at(edges, i, 1);
    if (s >= n || d >= n) refuse_edge(i, s >= n ? s : d, n);
  }
  return build_csr(edges, directed, n);
}

namespace {

inline double load_f64(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// An arc of a row and its weight, as the builder sorts them.
struct WeightedArc {
  uint32_t target;
  double weight;
  bool operator<(const WeightedArc& o) const {
    return target < o.target || (target == o.target && weight < o.weight);
  }
};

// A row sorted by target, then weight; short rows (the vast majority) by insertion.
void sort_weighted_row(WeightedArc* first, WeightedArc* last) {
  if (last - first > 24) return std::sort(first, last);
  for (WeightedArc* i = first + 1; i < last; ++i) {
    const WeightedArc v = *i;
    WeightedArc* k = i;
    for (; k > first && v < *(k - 1); --k) *k = *(k - 1);
    *k = v;
  }
}

}  // namespace

WeightedCsrRecord weighted_csr_from_edges(const EdgeView& edges, const WeightView& weights,
                                          bool directed, int64_t num_nodes) {
  if (num_nodes < 1 || num_nodes > kMaxNodes) refuse_num_nodes(std::to_string(num_nodes));
  const size_t E = edges.rows;
  if (edges.cols != 2) panic_index(edges.cols, 1);
  if (weights.size != E) panic_index(weights.size, E);
  const uint32_t n = static_cast<uint32_t>(num_nodes);

  WeightedCsrRecord g;
  g.csr.offsets = Buffer<uint64_t>(static_cast<size_t>(n) + 1);
  advise_huge_pages(g.csr.offsets.data(), g.csr.offsets.size() * sizeof(uint64_t));
  uint64_t* off = g.csr.offsets.data();
  const bool packed = edges.col_stride == 4 && edges.row_stride == 8;
  const auto edge = [&](size_t i) -> std::pair<uint32_t, uint32_t> {
    if (packed) return {load_u32(edges.data + 8 * i), load_u32(edges.data + 8 * i + 4)};
    return {at(edges, i, 0), at(edges, i, 1)};
  };

  // Degrees, indexed by node (not node + 1), with every id checked.
  for (size_t i = 0; i < E; ++i) {
    const auto [s, d] = edge(i);
    if (s >= n || d >= n) refuse_edge(i, s >= n ? s : d, n);
    ++off[s];
    if (!directed) ++off[d];
  }
  const auto weight = [&](size_t i) {
    return load_f64(weights.data + static_cast<ptrdiff_t>(i) * weights.stride);
  };
  double heaviest = 0.0, lightest = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < E; ++i) {
    const double w = weight(i);
    if (!(w > 0.0 && w <= std::numeric_limits<double>::max()))
      raise_error(ErrorKind::Value, "weights[" + std::to_string(i) + "] is " + float_repr(w) +
                                        "; edge weights must be finite and greater than 0");
    heaviest = std::max(heaviest, w);
    lightest = std::min(lightest, w);
  }

  const size_t arcs = directed ? E : 2 * E;
  g.csr.targets = Buffer<uint32_t>(arcs);
  g.slots = Buffer<AliasSlot>(arcs);
  g.strength = Buffer<double>(n);
  uint32_t* const tg = g.csr.targets.data();
  AliasSlot* const slots = g.slots.data();
  static_assert(sizeof(AliasSlot) == sizeof(double));
  advise_huge_pages(tg, arcs * sizeof *tg);
  advise_huge_pages(slots, arcs * sizeof *slots);

  // Scatter, as in csr_from_edges. Until its row's table is built, an arc's slot holds its
  // weight: the record needs no more memory than it finally has.
  shift_to_row_starts(off, n);
  const auto place = [&](uint32_t from, uint32_t to, double w) {
    const uint64_t k = off[static_cast<size_t>(from) + 1]++;
    tg[k] = to;
    std::memcpy(slots + k, &w, sizeof w);
  };
  for (size_t i = 0; i < E; ++i) {
    const auto [s, d] = edge(i);
    const double w = weight(i);
    place(s, d, w);
    if (!directed) place(d, s, w);
  }

  // Row by row: sorted by target, then weight; then the row's alias table, with target ids as
  // aliases, in place of the weights.
  std::vector<WeightedArc> row;
  std::vector<double> mass;
  std::vector<uint32_t> stacks;
  for (size_t v = 0; v < n; ++v) {
    const uint64_t begin = off[v];
    const size_t d = static_cast<size_t>(off[v + 1] - begin);
    if (d == 0) continue;
    uint32_t* const t = tg + begin;
    AliasSlot* const slot = slots + begin;
    row.resize(d);
    for (size_t k = 0; k < d; ++k) {
      row[k].target = t[k];
      std::memcpy(&row[k].weight, slot + k, sizeof(double));
    }
    sort_weighted_row(row.data(), row.data() + d);
    double strength = 0.0, row_max = row[0].weight;
    bool equal = true;
    for (size_t k = 0; k < d; ++k) {
      t[k] = row[k].target;
      strength += row[k].weight / heaviest;
      equal &= row[k].weight == row[0].weight;
      row_max = std::max(row_max, row[k].weight);
    }
    g.strength[v] = strength;
    if (equal) {  // a plain row: every slot keeps its arc, and no draw needs a coin
      for (size_t k = 0; k < d; ++k) slot[k] = {kFullSlot, t[k]};
      continue;
    }
    // The table from the weights relative to the row's heaviest: no sum overflows, and rows
    // far lighter than the graph's heaviest keep their precision.
    mass.resize(d);
    double total = 0.0;
    for (size_t k = 0; k < d; ++k) total += (mass[k] = row[k].weight / row_max);
    const double scale = static_cast<double>(d) / total;
    for (double& m : mass) m *= scale;
    build_alias(mass, slot, stacks);
    for (size_t k = 0; k < d; ++k)
      slot[k].alias = slot[k].threshold == kFullSlot ? t[k] : t[slot[k].alias];
  }
  g.lightest = E == 0 ? 1.0 : lightest / heaviest;
  return g;
}

}  // namespace velmor
