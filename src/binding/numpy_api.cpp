#include "numpy_api.hpp"

#include <string>
#include <utility>

namespace velmor::py {
namespace {

// The leading fields of NumPy's array object, identical in NumPy 1.x and 2.x.
struct ArrayFields {
  PyObject_HEAD char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};
constexpr int kWriteable = 0x0400;

constexpr unsigned kAbiNumpy1 = 0x01000009;
constexpr unsigned kAbiNumpy2 = 0x02000000;

struct NumpyApi {
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int);
  unsigned char (*equiv_types)(PyObject*, PyObject*);
  PyObject* asarray;  // kept for the life of the process
};

NumpyApi* g_api = nullptr;

int numpy_major() {
  Ref numpy = checked(PyImport_ImportModule("numpy"));
  Ref version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
  const std::string text = str_of(version.get());
  return std::atoi(text.c_str());
}

NumpyApi* load_api() {
  // NumPy 2 keeps numpy.core only as a deprecated alias that warns on attribute access; the
  // same objects live in numpy._core there.
  const char* module_name = numpy_major() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  Ref multiarray = checked(PyImport_ImportModule(module_name));
  Ref capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table) throw_pending();
  const unsigned abi = reinterpret_cast<unsigned (*)()>(table[0])();
  if (abi != kAbiNumpy1 && abi != kAbiNumpy2)
    raise_error(ErrorKind::Import, "unsupported NumPy C ABI version " + std::to_string(abi));
  Ref asarray = checked(PyObject_GetAttrString(multiarray.get(), "asarray"));
  auto* api = new NumpyApi{
      static_cast<PyTypeObject*>(table[2]),
      reinterpret_cast<PyObject* (*)(int)>(table[45]),
      reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[182]),
      asarray.release(),
  };
  // The capsule's table belongs to NumPy's module, which is never unloaded.
  return api;
}

const NumpyApi& api() {
  if (!g_api) {
    try {
      g_api = load_api();
    } catch (...) {
      std::string reason = "unknown error";
      try {
        throw;
      } catch (PyErrorFetched& e) {
        try {
          reason = type_name(e.value.get()) + ": " + str_of(e.value.get());
        } catch (...) {
          PyErr_Clear();
        }
      } catch (const Error& e) {
        reason = e.message;
      } catch (...) {
      }
      panic("Failed to access NumPy array API capsule: " + reason);
    }
  }
  return *g_api;
}

ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

}  // namespace

ArrayRef::ArrayRef(Ref array) : array_(std::move(array)) {}

char* ArrayRef::data() const { return fields(array_.get())->data; }
Py_ssize_t ArrayRef::shape(int axis) const { return fields(array_.get())->dimensions[axis]; }
Py_ssize_t ArrayRef::stride(int axis) const { return fields(array_.get())->strides[axis]; }
bool ArrayRef::writeable() const { return (fields(array_.get())->flags & kWriteable) != 0; }

namespace {

bool is_array(const NumpyApi& np, PyObject* obj) { return PyObject_TypeCheck(obj, np.array_type); }

bool matches(const NumpyApi& np, PyObject* obj, NpyType type, int ndim) {
  if (!is_array(np, obj) || fields(obj)->nd != ndim) return false;
  Ref wanted = checked(np.descr_from_type(static_cast<int>(type)));
  return np.equiv_types(fields(obj)->descr, wanted.get()) != 0;
}

}  // namespace

namespace {

void check_shape_and_type(const NumpyApi& np, PyObject* array, NpyType type, int ndim) {
  const int actual = fields(array)->nd;
  if (actual != ndim)
    raise_error(ErrorKind::Type, "dimensionality mismatch:\n from=" + std::to_string(actual) +
                                     ", to=" + std::to_string(ndim));
  Ref wanted = checked(np.descr_from_type(static_cast<int>(type)));
  if (!np.equiv_types(fields(array)->descr, wanted.get()))
    raise_error(ErrorKind::Type, "type mismatch:\n from=" + str_of(fields(array)->descr) +
                                     ", to=" + str_of(wanted.get()));
}

}  // namespace

void ArrayRef::recheck(NpyType type, int ndim) const {
  check_shape_and_type(api(), array_.get(), type, ndim);
}

ArrayRef accept_strict(PyObject* obj, NpyType type, int ndim) {
  const NumpyApi& np = api();
  if (!is_array(np, obj))
    raise_error(ErrorKind::Type, type_name(obj).insert(0, 1, '\'') +
                                     "' object cannot be converted to 'PyArray<T, D>'");
  check_shape_and_type(np, obj, type, ndim);
  return ArrayRef(Ref::borrow(obj));
}

bool is_array_of(PyObject* obj, NpyType type, int ndim) { return matches(api(), obj, type, ndim); }

std::string array_description(PyObject* obj) {
  if (!is_array(api(), obj)) return type_name(obj).insert(0, 1, '\'') + "'";
  return std::to_string(fields(obj)->nd).insert(0, "a ") + "-dimensional " +
         str_of(fields(obj)->descr) + " array";
}

ArrayRef accept_array_like(PyObject* obj, NpyType type, int ndim) {
  const NumpyApi& np = api();
  if (matches(np, obj, type, ndim)) return accept_strict(obj, type, ndim);
  Ref converted = checked(PyObject_CallFunctionObjArgs(np.asarray, obj, nullptr));
  return accept_strict(converted.get(), type, ndim);
}

}  // namespace velmor::py
