// Accepted NumPy arrays as the plain views that training takes, for both modules' entries.
//
// Each check names the argument in its message ("argument 'NAME': ..."). The views point into
// the array's memory: they stay valid while the ArrayBorrow lives and no Python code runs, so
// an entry takes them again after its last argument has converted. Requires the interpreter
// lock.
#pragma once

#include <cstdint>
#include <span>

#include "numpy_api.hpp"
#include "skipgram.hpp"

namespace velmor::py {

// A float32 matrix for writing in place: refused when NumPy marks it read-only, and when its
// elements are not 4-byte aligned (data pointer or strides not whole multiples of 4 bytes),
// which would make every element access misaligned.
MatrixView writable_matrix(const char* name, const ArrayBorrow& held);

// A one-dimensional, contiguous, aligned uint64 array; refused when `writable` and NumPy marks
// it read-only.
std::span<uint64_t> count_vector(const char* name, const ArrayBorrow& held, bool writable);

}  // namespace velmor::py
