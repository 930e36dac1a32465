#include "epoch_args.hpp"

#include "array_args.hpp"
#include "binding.hpp"

namespace velmor::py {

namespace {

ArrayRef accept_matrix(PyObject* obj, const char* name) {
  ArrayRef held = with_argument(name, [&] { return accept_array_like(obj, NpyType::Float32, 2); });
  writable_matrix(name, held);
  return held;
}

}  // namespace

WalkArguments accept_walk_arguments(PyObject* const* argv, PyTypeObject* graph_type,
                                    PyTypeObject* params_type, PyTypeObject* weighted_type) {
  const bool weighted = weighted_type && PyObject_TypeCheck(argv[0], weighted_type);
  if (weighted_type && !weighted && !PyObject_TypeCheck(argv[0], graph_type))
    raise_error(ErrorKind::Type,
                "argument 'graph': expected a CSRGraph or a WeightedCSRGraph, got '" +
                    type_name(argv[0]) + "'");
  if (!weighted) check_instance(argv[0], graph_type, "CSRGraph", "graph");
  Ref graph = Ref::borrow(argv[0]);
  check_instance(argv[1], params_type, "Node2VecParams", "params");
  return {std::move(graph), reinterpret_cast<ParamsObject*>(argv[1])->params, weighted};
}

EpochArguments accept_epoch_arguments(PyObject* const* argv, PyTypeObject* graph_type,
                                      PyTypeObject* params_type, PyTypeObject* weighted_type) {
  WalkArguments walk = accept_walk_arguments(argv, graph_type, params_type, weighted_type);
  ArrayRef embeddings = accept_matrix(argv[2], "embeddings");
  return {std::move(walk), std::move(embeddings), accept_matrix(argv[3], "hidden_layer")};
}

MatrixView EpochArguments::embeddings() const {
  return writable_matrix("embeddings", embeddings_held);
}

MatrixView EpochArguments::hidden_layer() const {
  return writable_matrix("hidden_layer", hidden_layer_held);
}

}  // namespace velmor::py
