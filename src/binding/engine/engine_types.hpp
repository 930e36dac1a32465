// What the engine module's entries share: the module's state and definition, the classes it
// trains on and its functions. Its functions take the module they are bound to as their first
// argument, and find the engine's own class through its state; CSRGraph and Node2VecParams are
// velmor.engine._native's classes (native_types.hpp). Requires the interpreter lock.
#pragma once

#include <Python.h>

#include "py_types.hpp"

namespace velmor::py {

// The definition that PyInit__engine initialises the module from, in phases: its functions,
// its state, and the slot that makes its class.
PyModuleDef* engine_module_def();

// One per engine module object, made by its initialisation and released with it.
struct EngineState {
  PyTypeObject* weighted_graph_type;  // WeightedCSRGraph
};

// The WeightedCSRGraph class of the engine module `module`.
PyTypeObject* weighted_graph_type(PyObject* module);

extern PyType_Spec weighted_graph_spec;

extern PyMethodDef train_epoch_def;
extern PyMethodDef count_visits_def;
extern PyMethodDef write_walks_def;
extern PyMethodDef weighted_csr_from_edges_def;
extern PyMethodDef read_edge_list_def;
extern PyMethodDef engine_csr_from_edges_def;  // csr_from_edges with a node count
extern PyMethodDef mark_arc_ends_def;
extern PyMethodDef block_partition_def;
extern PyMethodDef block_defaults_def;
extern PyMethodDef block_order_def;
extern PyMethodDef block_negatives_def;
extern PyMethodDef block_draw_def;
extern PyMethodDef block_train_def;
extern PyMethodDef graph_arrays_def;
extern PyMethodDef graph_from_arrays_def;  // blocks.cpp

}  // namespace velmor::py
