#include "array_args.hpp"

#include <string>

#include "binding.hpp"

namespace velmor::py {

template <class T>
std::span<T> vector_of(const char* name, const ArrayRef& held, NpyType type, bool writable) {
  with_argument(name, [&] { held.recheck(type, 1); });
  if (writable && !held.writeable())
    raise_error(ErrorKind::Value, argument_prefix(name) + "array is read-only");
  const size_t size = static_cast<size_t>(held.shape(0));
  if ((size > 1 && held.stride(0) != sizeof(T)) ||
      reinterpret_cast<uintptr_t>(held.data()) % alignof(T) != 0)
    raise_error(ErrorKind::Value, argument_prefix(name) + "array must be contiguous and aligned");
  return {reinterpret_cast<T*>(held.data()), size};
}

template std::span<uint8_t> vector_of(const char*, const ArrayRef&, NpyType, bool);
template std::span<uint32_t> vector_of(const char*, const ArrayRef&, NpyType, bool);
template std::span<uint64_t> vector_of(const char*, const ArrayRef&, NpyType, bool);
template std::span<double> vector_of(const char*, const ArrayRef&, NpyType, bool);

MatrixView writable_matrix(const char* name, const ArrayRef& held) {
  with_argument(name, [&] { held.recheck(NpyType::Float32, 2); });
  if (!held.writeable())
    raise_error(ErrorKind::Value, argument_prefix(name) + "array is read-only");
  const Py_ssize_t rs = held.stride(0), cs = held.stride(1);
  if (rs % 4 != 0 || cs % 4 != 0)
    raise_error(ErrorKind::Value, argument_prefix(name) +
                                      "array strides must be whole multiples of 4 bytes, got (" +
                                      std::to_string(rs) + ", " + std::to_string(cs) + ")");
  if (reinterpret_cast<uintptr_t>(held.data()) % 4 != 0)
    raise_error(ErrorKind::Value, argument_prefix(name) + "array data must be aligned to 4 bytes");
  MatrixView view;
  view.data = reinterpret_cast<float*>(held.data());
  view.rows = static_cast<size_t>(held.shape(0));
  view.cols = static_cast<size_t>(held.shape(1));
  view.row_stride = rs / 4;
  view.col_stride = cs / 4;
  return view;
}

std::span<uint64_t> count_vector(const char* name, const ArrayRef& held, bool writable) {
  return vector_of<uint64_t>(name, held, NpyType::UInt64, writable);
}

std::span<uint32_t> writable_u32_vector(const char* name, const ArrayRef& held) {
  return vector_of<uint32_t>(name, held, NpyType::UInt32, true);
}

std::span<double> writable_f64_vector(const char* name, const ArrayRef& held) {
  return vector_of<double>(name, held, NpyType::Float64, true);
}

std::span<uint8_t> writable_u8_vector(const char* name, const ArrayRef& held) {
  return vector_of<uint8_t>(name, held, NpyType::UInt8, true);
}

ArrayRef accept_edge_array(const char* name, PyObject* obj) {
  if (!is_array_of(obj, NpyType::UInt32, 2))
    raise_error(ErrorKind::Type, argument_prefix(name) + "expected an (E, 2) uint32 array, got " +
                                     array_description(obj));
  ArrayRef held = accept_strict(obj, NpyType::UInt32, 2);
  if (held.shape(1) != 2)
    raise_error(ErrorKind::Value, argument_prefix(name) + "expected shape (E, 2), got (" +
                                      std::to_string(held.shape(0)) + ", " +
                                      std::to_string(held.shape(1)) + ")");
  return held;
}

EdgeView edge_view(const ArrayRef& held) {
  return {held.data(), static_cast<size_t>(held.shape(0)), 2, held.stride(0), held.stride(1)};
}

ArrayRef accept_int32_matrix(const char* name, PyObject* obj) {
  if (!is_array_of(obj, NpyType::Int32, 2))
    raise_error(ErrorKind::Type, argument_prefix(name) +
                                     "expected a 2-dimensional int32 array, got " +
                                     array_description(obj));
  return accept_strict(obj, NpyType::Int32, 2);
}

std::span<int32_t> writable_rows(const char* name, const ArrayRef& held, uint64_t rows,
                                 uint64_t cols) {
  with_argument(name, [&] { held.recheck(NpyType::Int32, 2); });
  const auto shape = [](uint64_t r, uint64_t c) {
    return std::to_string(r).insert(0, 1, '(') + ", " + std::to_string(c) + ")";
  };
  const uint64_t r = static_cast<uint64_t>(held.shape(0));
  const uint64_t c = static_cast<uint64_t>(held.shape(1));
  if (r != rows || c != cols)
    raise_error(ErrorKind::Value, argument_prefix(name) + "expected shape " + shape(rows, cols) +
                                      " (one row per node, max_walk_length columns), got " +
                                      shape(r, c));
  if (!held.writeable())
    raise_error(ErrorKind::Value, argument_prefix(name) + "array is read-only");
  const bool contiguous =
      (c < 2 || held.stride(1) == 4) && (r < 2 || held.stride(0) == static_cast<Py_ssize_t>(4 * c));
  if (!contiguous || reinterpret_cast<uintptr_t>(held.data()) % 4 != 0)
    raise_error(ErrorKind::Value, argument_prefix(name) + "array must be C-contiguous and aligned");
  return {reinterpret_cast<int32_t*>(held.data()), static_cast<size_t>(r * c)};
}

}  // namespace velmor::py
