#include "py_types.hpp"

#include <string>

namespace velmor::py {

PyObject* allocate_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj) return obj;
  std::string reason = "could not allocate an instance";
  try {
    throw_pending();
  } catch (PyErrorFetched& e) {
    reason = type_name(e.value.get()) + ": " + str_of(e.value.get());
  } catch (const Error& e) {
    reason = e.message;
  }
  panic(reason);
}

}  // namespace velmor::py
