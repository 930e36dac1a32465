// velmor.engine._engine: velmor's own training module, beside the compatibility module _native.
//
// It trains on _native's CSRGraph and Node2VecParams objects and on its own WeightedCSRGraph,
// and adds what the package needs beyond _native: graphs of a given node count, weighted graphs,
// frequency-weighted negatives, visit counts, the walks themselves, a progress hook,
// interruption, and other Python threads running while an epoch trains. It also holds the
// package's one edge-list reader (integer ids or names, weights, comments, a header), and the
// block schedule's steps one at a time, for the cluster layer.
//
// The module is initialised in phases from the definition below (init.cpp takes it from
// _native): the interpreter adds the functions of the method table, and the exec slot makes the
// class into the module's state. Nothing of the module is process-wide: each module object (a
// re-import, another interpreter) has a class of its own. What it runs on is one per process:
// the core with its worker pool, _native's classes, PanicException.
#include "binding.hpp"
#include "engine_types.hpp"
#include "thread_pool.hpp"

namespace velmor::py {
namespace {

// The variables that size the process's worker pool once the engine is loaded: its own first,
// then the one _native reads alone. The pool is made by the first epoch that needs it, and
// keeps that size.
constexpr const char* kThreadCountVariables[] = {"VELMOR_NUM_THREADS", "RAYON_NUM_THREADS"};

constexpr const char* kDoc =
    "velmor's training engine: node2vec epochs on plain and weighted graphs with "
    "frequency-weighted negative sampling, the walks alone, progress and interruption, run "
    "without the interpreter lock; the edge-list reader; and the deterministic block "
    "schedule's steps one at a time.";

EngineState& state_of(PyObject* module) {
  return *static_cast<EngineState*>(PyModule_GetState(module));
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).weighted_graph_type);
  return 0;
}

int clear_state(PyObject* module) {
  Py_CLEAR(state_of(module).weighted_graph_type);
  return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

// What the method table does not add: the class and __all__ (every function, then the class).
int exec_module(PyObject* module) {
  Ref done = Ref::steal(entry([&] {
    // Once per process, on the first import: no engine epoch, which may be making the shared
    // pool without the interpreter lock, can run before it.
    static const bool variables_set = (set_thread_count_variables(kThreadCountVariables), true);
    (void)variables_set;
    // PyType_FromModuleAndSpec would tie the class to the module, but it is not in Python 3.9's
    // stable ABI; nothing of the class needs the module.
    Ref type = checked(PyType_FromSpec(&weighted_graph_spec));
    state_of(module).weighted_graph_type = reinterpret_cast<PyTypeObject*>(Ref(type).release());
    checked_status(PyObject_SetAttrString(module, "WeightedCSRGraph", type.get()));
    Ref all = checked(PyList_New(0));
    for (const PyMethodDef* def = engine_module_def()->m_methods; def->ml_name; ++def)
      checked_status(PyList_Append(all.get(), new_string(def->ml_name).get()));
    checked_status(PyList_Append(all.get(), new_string("WeightedCSRGraph").get()));
    checked_status(PyObject_SetAttrString(module, "__all__", all.get()));
    return Ref::borrow(Py_None);
  }));
  return done ? 0 : -1;
}

}  // namespace

PyTypeObject* weighted_graph_type(PyObject* module) { return state_of(module).weighted_graph_type; }

PyModuleDef* engine_module_def() {
  // Made on first use, at import, when every entry's definition is initialised.
  static PyMethodDef methods[] = {
      train_epoch_def,
      count_visits_def,
      write_walks_def,
      engine_csr_from_edges_def,
      weighted_csr_from_edges_def,
      read_edge_list_def,
      mark_arc_ends_def,
      block_partition_def,
      block_defaults_def,
      block_order_def,
      block_negatives_def,
      block_draw_def,
      block_train_def,
      graph_arrays_def,
      graph_from_arrays_def,
      {nullptr, nullptr, 0, nullptr},
  };
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
      {0, nullptr},
  };
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_engine",   kDoc,
                            sizeof(EngineState),   methods,     slots,
                            traverse_state,        clear_state, free_state};
  return &def;
}

}  // namespace velmor::py
