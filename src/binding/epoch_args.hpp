// The four arguments both epoch entries begin with (graph, params, embeddings, hidden_layer),
// accepted in that order by the rules both modules share. Requires the interpreter lock.
#pragma once

#include <Python.h>

#include "numpy_api.hpp"
#include "py_types.hpp"

namespace velmor::py {

// The graph and the parameters of a walk or an epoch.
struct WalkArguments {
  Ref graph;              // held for the call: its record is read without the interpreter lock
  Node2VecParams params;  // copied
  bool weighted = false;  // graph is a WeightedGraphObject, else a GraphObject

  // The plain graph's record. Precondition: !weighted.
  const CsrRecord& record() const { return reinterpret_cast<GraphObject*>(graph.get())->record; }
  // f(record) with the graph's record, of either kind.
  template <class F>
  decltype(auto) with_graph(F&& f) const {
    if (weighted) return f(reinterpret_cast<WeightedGraphObject*>(graph.get())->record);
    return f(record());
  }
  uint32_t num_nodes() const {
    return with_graph([](const auto& record) { return record.num_nodes(); });
  }
};

// argv[0] and argv[1], by the types the calling module trains on; with a weighted_type, graph
// may be an instance of either graph type.
WalkArguments accept_walk_arguments(PyObject* const* argv, PyTypeObject* graph_type,
                                    PyTypeObject* params_type,
                                    PyTypeObject* weighted_type = nullptr);

struct EpochArguments : WalkArguments {
  ArrayRef embeddings_held;
  ArrayRef hidden_layer_held;

  // The matrices' views, checked again: an entry takes them after its last argument has
  // converted, since Python code run by a conversion may have resized the arrays or cleared
  // their writeable flag.
  MatrixView embeddings() const;
  MatrixView hidden_layer() const;
};

// argv[0..4): the walk arguments, then the matrices; a matrix is refused as soon as it is
// accepted, before later arguments convert.
EpochArguments accept_epoch_arguments(PyObject* const* argv, PyTypeObject* graph_type,
                                      PyTypeObject* params_type,
                                      PyTypeObject* weighted_type = nullptr);

}  // namespace velmor::py
