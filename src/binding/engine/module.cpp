// PyInit__engine: velmor's own training module, beside the compatibility module _native.
//
// It trains on _native's CSRGraph and Node2VecParams objects (their type objects are taken from
// that module at import, so both modules agree on what a graph is) and on its own
// WeightedCSRGraph, and adds what the package needs beyond _native: graphs of a given node
// count, weighted graphs, frequency-weighted negatives, visit counts, the walks themselves, a
// progress hook, interruption, and other Python threads running while an epoch trains. It also
// reads edge lists of named nodes for the package's reader.
#include "binding.hpp"
#include "engine_types.hpp"
#include "sigmoid_table.hpp"
#include "thread_pool.hpp"

namespace velmor::py {

const char* const kPanicExceptionName = "velmor.engine._engine.PanicException";

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "velmor's training engine: node2vec epochs on plain and weighted graphs with "
    "frequency-weighted negative sampling, the walks alone, progress and interruption, run "
    "without the interpreter lock; and a reader of edge lists with named nodes.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The pool size this module reads from the environment: its own variable first, then the
// variable the compatibility module reads.
constexpr const char* kThreadCountVariables[] = {"VELMOR_NUM_THREADS", "RAYON_NUM_THREADS"};

PyObject* g_module = nullptr;
PyTypeObject* g_graph_type = nullptr;
PyTypeObject* g_params_type = nullptr;

PyTypeObject* native_type(PyObject* native, const char* name) {
  Ref type = checked(PyObject_GetAttrString(native, name));
  if (!PyType_Check(type.get()))
    raise_error(ErrorKind::Import,
                std::string("velmor.engine._native.") + name + " is not a class");
  return reinterpret_cast<PyTypeObject*>(type.release());  // kept for the life of the process
}

}  // namespace

PyTypeObject* engine_graph_type() { return g_graph_type; }
PyTypeObject* engine_params_type() { return g_params_type; }

}  // namespace velmor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  using namespace velmor::py;
  return entry([]() -> Ref {
    if (g_module)
      velmor::raise_error(velmor::ErrorKind::Import,
                          "velmor.engine._engine may be initialised only once per interpreter "
                          "process");
    Ref native = checked(PyImport_ImportModule("velmor.engine._native"));
    if (!g_graph_type) g_graph_type = native_type(native.get(), "CSRGraph");
    if (!g_params_type) g_params_type = native_type(native.get(), "Node2VecParams");
    Ref module = checked(PyModule_Create(&module_def));
    velmor::fill_sigmoid_table();
    velmor::set_thread_count_variables(kThreadCountVariables);
    Ref module_name = checked(PyModule_GetNameObject(module.get()));
    for (PyMethodDef* def :
         {&train_epoch_def, &count_visits_def, &write_walks_def, &engine_csr_from_edges_def,
          &weighted_csr_from_edges_def, &read_named_edges_def, &mark_arc_ends_def,
          &block_schedule_steps_def}) {
      Ref function = checked(PyCFunction_NewEx(def, module.get(), module_name.get()));
      checked_status(PyObject_SetAttrString(module.get(), def->ml_name, function.get()));
    }
    checked_status(PyObject_SetAttrString(module.get(), "WeightedCSRGraph",
                                          reinterpret_cast<PyObject*>(weighted_graph_type())));
    Ref all = checked(Py_BuildValue("[sssssss]", "train_epoch", "count_visits", "write_walks",
                                    "csr_from_edges", "weighted_csr_from_edges", "read_named_edges",
                                    "WeightedCSRGraph"));
    checked_status(PyObject_SetAttrString(module.get(), "__all__", all.get()));
    g_module = Ref(module).release();  // the cell's own reference
    return module;
  });
}
