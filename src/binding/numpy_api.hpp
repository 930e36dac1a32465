// NumPy access at run time, through the `_ARRAY_API` capsule: nothing of NumPy is needed to
// compile. The capsule is read once per process, on the first array check, and its ABI version
// checked; NumPy 1.x and 2.x share every piece used here (the array type, DescrFromType,
// EquivTypes and the leading fields of the array object).
//
// Accepted arrays are held as `ArrayRef`: a strong reference to the array, released when the
// ArrayRef is destroyed, on every path.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "boundary.hpp"

namespace velmor::py {

// NumPy type numbers
enum class NpyType : int {
  UInt8 = 2,
  Int32 = 5,
  UInt32 = 6,
  UInt64 = 8,
  Float32 = 11,
  Float64 = 12
};

class ArrayRef {
 public:
  ArrayRef() = default;
  ArrayRef(ArrayRef&& other) noexcept = default;
  ArrayRef& operator=(ArrayRef&&) = delete;

  char* data() const;
  Py_ssize_t shape(int axis) const;
  Py_ssize_t stride(int axis) const;  // bytes
  bool writeable() const;
  // Checks again that the array still has `ndim` dimensions and an element type equivalent to
  // `type` (Python code may have reshaped it or changed its dtype in place since it was
  // accepted); the same TypeErrors as accept_strict.
  void recheck(NpyType type, int ndim) const;

 private:
  friend ArrayRef accept_strict(PyObject*, NpyType, int);
  explicit ArrayRef(Ref array);
  Ref array_;
};

// The array itself when it is a NumPy array (or subclass) of `ndim` dimensions and a dtype
// equivalent to `type`; else TypeError with the downcast, dimensionality or type-mismatch
// message (no argument prefix: callers apply it).
ArrayRef accept_strict(PyObject* obj, NpyType type, int ndim);

// Whether accept_strict would take `obj` as it is.
bool is_array_of(PyObject* obj, NpyType type, int ndim);

// What `obj` is, for a message: "a 2-dimensional int64 array", or "'list'" for anything that is
// not a NumPy array.
std::string array_description(PyObject* obj);

// As accept_strict, after passing anything that is not already such an array through
// numpy's asarray.
ArrayRef accept_array_like(PyObject* obj, NpyType type, int ndim);

}  // namespace velmor::py
