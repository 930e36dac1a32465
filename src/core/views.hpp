// Views of the caller's memory, the only form in which arrays reach the core: the binding makes
// them from NumPy arrays (array_args.cpp, csr_graph.cpp, weighted_graph.cpp), and the builders,
// the epoch driver and skip-gram read and write through them. A view owns nothing; its memory
// must outlive every use.
#pragma once

#include <cstddef>

namespace velmor {

// A 2-D float32 matrix in the caller's memory. Element [r, c] is
// data[r * row_stride + c * col_stride]; strides are in elements and may be negative or zero.
// Rows are written by all worker threads at once without locks (Hogwild).
struct MatrixView {
  float* data = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 1;

  float* row(size_t r) const { return data + static_cast<ptrdiff_t>(r) * row_stride; }
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

// A read-only, strided view of a 1-D float64 array: element i is at data + i * stride.
struct WeightView {
  const char* data;
  size_t size;
  ptrdiff_t stride;
};

}  // namespace velmor
