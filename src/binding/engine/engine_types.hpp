// What the engine module's entries share: the graph and parameter classes it trains on (those
// of velmor.engine._native, taken at import, and its own weighted graph) and its functions.
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include "py_types.hpp"

namespace velmor::py {

PyTypeObject* engine_graph_type();    // velmor.engine._native.CSRGraph
PyTypeObject* engine_params_type();   // velmor.engine._native.Node2VecParams
PyTypeObject* weighted_graph_type();  // this module's WeightedCSRGraph, made on first need

extern PyMethodDef train_epoch_def;
extern PyMethodDef count_visits_def;
extern PyMethodDef write_walks_def;
extern PyMethodDef weighted_csr_from_edges_def;
extern PyMethodDef read_named_edges_def;
extern PyMethodDef engine_csr_from_edges_def;  // csr_from_edges with a node count
extern PyMethodDef mark_arc_ends_def;
extern PyMethodDef block_schedule_steps_def;  // blocks.cpp

}  // namespace velmor::py
