// Accepted NumPy arrays as the plain views that training takes, for both modules' entries.
//
// Each check names the argument in its message ("argument 'NAME': ..."). The views point into
// the array's memory: they stay valid while the ArrayRef lives and no Python code runs, so
// an entry takes them again after its last argument has converted. Requires the interpreter
// lock.
#pragma once

#include <cstdint>
#include <span>

#include "numpy_api.hpp"
#include "views.hpp"

namespace velmor::py {

// A float32 matrix for writing in place: refused when NumPy marks it read-only, and when its
// elements are not 4-byte aligned (data pointer or strides not whole multiples of 4 bytes),
// which would make every element access misaligned.
MatrixView writable_matrix(const char* name, const ArrayRef& held);

// A one-dimensional, contiguous, aligned array of T, NumPy's `type` (uint8, uint32, uint64 or
// float64); refused when `writable` and NumPy marks it read-only. The forms below are this one.
template <class T>
std::span<T> vector_of(const char* name, const ArrayRef& held, NpyType type, bool writable);

// A one-dimensional, contiguous, aligned uint64 array; refused when `writable` and NumPy marks
// it read-only.
std::span<uint64_t> count_vector(const char* name, const ArrayRef& held, bool writable);

// One-dimensional, contiguous, aligned and writable uint32 or float64 arrays, for filling in
// place.
std::span<uint32_t> writable_u32_vector(const char* name, const ArrayRef& held);
std::span<double> writable_f64_vector(const char* name, const ArrayRef& held);
std::span<uint8_t> writable_u8_vector(const char* name, const ArrayRef& held);
// An (E, 2) uint32 array of edges: else TypeError for another kind of array or object, ValueError
// for another shape, in one line naming the argument.
ArrayRef accept_edge_array(const char* name, PyObject* obj);
// The view of an accepted edge array.
EdgeView edge_view(const ArrayRef& held);

// A 2-dimensional int32 array, else a one-line TypeError naming the argument.
ArrayRef accept_int32_matrix(const char* name, PyObject* obj);

// The cells of an accepted int32 matrix, row after row, for filling in place: refused unless it
// has exactly `rows` x `cols` elements in that shape, is writable, C-contiguous and aligned.
std::span<int32_t> writable_rows(const char* name, const ArrayRef& held, uint64_t rows,
                                 uint64_t cols);

}  // namespace velmor::py
