// The objects of both modules: the layouts of CSRGraph, WeightedCSRGraph and Node2VecParams
// instances, which either module reads, and _native's two classes (type objects made by
// PyType_FromSpec on first need and kept for the life of the process) and two functions.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include "epoch.hpp"
#include "graph.hpp"

namespace velmor::py {

struct GraphObject {
  PyObject_HEAD CsrRecord record;
};

// The engine module's WeightedCSRGraph (its type lives there; the layout is shared so that the
// epoch arguments can read the record).
struct WeightedGraphObject {
  PyObject_HEAD WeightedCsrRecord record;
};

struct ParamsObject {
  PyObject_HEAD Node2VecParams params;
};

PyTypeObject* csr_graph_type();
PyTypeObject* node2vec_params_type();

extern PyMethodDef csr_from_edges_def;
extern PyMethodDef train_node2vec_epoch_def;

}  // namespace velmor::py
