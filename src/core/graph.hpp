// The CSR graph record and its construction from an edge array.
//
// Invariants (established by csr_from_edges, relied on by every reader):
//  1. offsets[0] == 0, offsets is non-decreasing, offsets[num_nodes] == number of targets;
//  2. every target is below num_nodes;
//  3. every neighbour row is sorted ascending;
//  4. duplicate arcs and self-loops remain.
// The record is immutable after construction, so any number of threads may read it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "alias.hpp"
#include "platform.hpp"  // advise_huge_pages, for the builders
#include "views.hpp"

namespace velmor {

// The most nodes a graph may have: training indexes nodes with signed 32-bit integers.
inline constexpr uint32_t kMaxNodes = 2147483647;

// Throws Error(Value) "num_nodes must be between 1 and 2147483647, got {got}": the refusal of a
// node count outside 1 .. kMaxNodes, `got` being the count as the caller wrote it.
[[noreturn]] void refuse_num_nodes(const std::string& got);

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

// A zero-filled heap array of fixed length. Allocation failure raises ErrorKind::Memory.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(size_t n);
  T* data() const { return ptr_.get(); }
  size_t size() const { return size_; }
  T& operator[](size_t i) const { return ptr_.get()[i]; }

 private:
  std::unique_ptr<T, FreeDeleter> ptr_;
  size_t size_ = 0;
};

struct CsrRecord {
  Buffer<uint32_t> targets;
  Buffer<uint64_t> offsets;

  uint32_t num_nodes() const {
    return offsets.size() == 0 ? 0 : static_cast<uint32_t>(offsets.size() - 1);
  }
  // The row of `node`, checked against the record (an index failure panics). Never fails on a
  // record that keeps the invariants and a node below num_nodes().
  std::span<const uint32_t> neighbors(uint64_t node) const;
  // Binary search of dst in the row of src. O(log degree), allocates nothing.
  bool has_edge(uint64_t src, uint32_t dst) const;
};

// A CSR record whose arcs carry weights, kept only as what the walk draws from: row by row, an
// alias table over the row's arcs (slots[k] belongs to the arc csr.targets[k]), whose aliases
// are target ids, so that a draw reads the slot and the target side by side and nothing after.
// 12 bytes per arc in all, and no more while it is built. Parallel arcs stay apart and are
// drawn as one arc of their summed weight. Rows are sorted by target, and equal targets by
// weight, so that the record, and every walk on it, does not depend on the order of the edges.
// Each row's table is built in double precision from the weights relative to the row's
// heaviest arc, so that only weights more than about 1e308 apart within a row lose their
// lighter arcs.
struct WeightedCsrRecord {
  CsrRecord csr;
  Buffer<AliasSlot> slots;
  // Per node, the summed weight of its out-arcs, and the lightest arc's weight (1 without
  // arcs), relative to the graph's heaviest arc: finite whatever the weights.
  Buffer<double> strength;
  double lightest = 1.0;

  uint32_t num_nodes() const { return csr.num_nodes(); }
  uint64_t num_arcs() const { return csr.targets.size(); }
  bool has_edge(uint64_t src, uint32_t dst) const { return csr.has_edge(src, dst); }
};

// Builds the weighted record of `num_nodes` nodes (ids above the largest in `edges` are
// isolated), with weights[i] on edge i, in both directions when undirected. Refuses with
// Error(Value), before any arc is placed: num_nodes outside 1 .. kMaxNodes, an id not below
// num_nodes, a weight that is not finite or not above 0 (each naming the first offender).
// Preconditions: edges has 2 columns and as many rows as weights has entries. Error(Memory) when
// the arrays cannot be allocated; nothing is leaked on any failure.
WeightedCsrRecord weighted_csr_from_edges(const EdgeView& edges, const WeightView& weights,
                                          bool directed, int64_t num_nodes);

// Builds the record of the edges' nodes, 0 to the largest id in any column; only the first two
// columns are read as edges. Undirected edges are stored in both directions. Failures: Panic for
// a missing column or an id of 4294967295; Error(Memory) when the arrays cannot be allocated.
// Nothing is leaked on any failure. The compatibility module's builder.
CsrRecord csr_from_edges(const EdgeView& edges, bool directed);

// Builds the record of `num_nodes` nodes (ids above the largest in `edges` are isolated).
// Refuses with Error(Value), before anything is allocated: num_nodes outside 1 .. kMaxNodes, an
// id not below num_nodes (naming the first). Precondition: edges has 2 columns. Error(Memory)
// when the arrays cannot be allocated; nothing is leaked on any failure. The engine's builder.
CsrRecord csr_from_edges(const EdgeView& edges, bool directed, int64_t num_nodes);

// Sets marks[v] to 1 for every node v that an arc leaves from a node u with sources[u] != 0, and
// for every such u that has an arc out; leaves the other marks as they are. With every node a
// source: the nodes that have an arc either way (the nodes that training reaches). Refuses, with
// Error(Value), spans that are not one entry per node. O(arcs of the sources).
void mark_arc_ends(const CsrRecord& graph, std::span<const uint8_t> sources,
                   std::span<uint8_t> marks);

}  // namespace velmor
