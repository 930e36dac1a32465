// What the compatibility module's entries share: its two classes (type objects made by
// PyType_FromSpec on first need and kept for the life of the process) and its two functions.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include "py_types.hpp"

namespace velmor::py {

PyTypeObject* csr_graph_type();
PyTypeObject* node2vec_params_type();

extern PyMethodDef csr_from_edges_def;
extern PyMethodDef train_node2vec_epoch_def;

}  // namespace velmor::py
