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

namespace velmor {

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
  std::span<T> span() const { return {ptr_.get(), size_}; }

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

// A read-only, strided view of a 2-D uint32 array: element [i, j] is at
// data + i * row_stride + j * col_stride (strides in bytes, may be negative).
struct EdgeView {
  const char* data;
  size_t rows;
  size_t cols;
  ptrdiff_t row_stride;
  ptrdiff_t col_stride;
};

// Builds the record: two zero-filled allocations at final size, degrees counted and rows
// scattered in `offsets` itself, each row sorted. Undirected edges are stored in both directions.
// Failures: Panic for a missing column or an id of 4294967295; Error(Memory) when the arrays
// cannot be allocated. Nothing is leaked on any failure.
CsrRecord csr_from_edges(const EdgeView& edges, bool directed);

}  // namespace velmor
