// PyInit__engine, the whole of _engine's shared object.
//
// The engine's code lives in _native's shared object, beside the core that both modules run on,
// so that a process has one core: one worker pool, one PanicException class, one CSRGraph
// class. _native hands the engine's module definition over in a capsule; this entry imports
// _native (which refuses nothing when it is already imported) and initialises the engine from
// that definition, in phases, as the interpreter does for any module with a PyModuleDef.
#include <Python.h>

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  PyObject* native = PyImport_ImportModule("velmor.engine._native");
  if (!native) return nullptr;
  PyObject* capsule = PyObject_GetAttrString(native, "_engine_def");
  Py_DECREF(native);
  if (!capsule) return nullptr;
  void* def = PyCapsule_GetPointer(capsule, "velmor.engine._native._engine_def");
  Py_DECREF(capsule);  // the definition lives in _native's shared object, which stays loaded
  if (!def) return nullptr;
  return PyModuleDef_Init(static_cast<PyModuleDef*>(def));
}
