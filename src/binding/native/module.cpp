// PyInit__native: the module cell, the order of registration and __all__; and the capsule that
// hands the engine's module definition to PyInit__engine (engine/init.cpp).
#include "binding.hpp"
#include "engine/engine_types.hpp"
#include "native_types.hpp"
#include "sigmoid_table.hpp"

namespace velmor::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "velmor's native engine: CSR graphs and multi-threaded node2vec training.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The engine's module definition, as PyInit__engine takes it: its name is its dotted path.
constexpr const char* kEngineCapsule = "velmor.engine._native._engine_def";

// Filled once, after a successful initialisation, and never emptied: the module is process-wide.
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__ (created when missing), then sets the attribute.
void add_name(PyObject* module, const char* name, const Ref& object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = checked(PyList_New(0));
    checked_status(PyObject_SetAttrString(module, "__all__", all.get()));
  } else if (!PyList_Check(all.get())) {
    raise_error(ErrorKind::Type, downcast_message(all.get(), "PyList"));
  }
  Ref text = checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  checked_status(PyObject_SetAttrString(module, name, object.get()));
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = checked(PyModule_GetNameObject(module));
  Ref function = checked(PyCFunction_NewEx(def, module, module_name.get()));
  Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
  add_name(module, str_of(name.get()).c_str(), function);
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  add_name(module, name, Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

}  // namespace
}  // namespace velmor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  using namespace velmor::py;
  return entry([]() -> Ref {
    if (g_module)
      velmor::raise_error(velmor::ErrorKind::Import,
                          "velmor.engine._native may be initialised only once per interpreter "
                          "process");
    Ref module = checked(PyModule_Create(&module_def));
    velmor::fill_sigmoid_table();
    add_function(module.get(), &train_node2vec_epoch_def);
    add_function(module.get(), &csr_from_edges_def);
    add_type(module.get(), "CSRGraph", csr_graph_type());
    add_type(module.get(), "Node2VecParams", node2vec_params_type());
    Ref engine = checked(PyCapsule_New(engine_module_def(), kEngineCapsule, nullptr));
    checked_status(PyObject_SetAttrString(module.get(), "_engine_def", engine.get()));
    g_module = Ref(module).release();  // the cell's own reference
    return module;
  });
}
