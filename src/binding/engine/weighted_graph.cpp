// The engine's WeightedCSRGraph class and weighted_csr_from_edges.
#include <string>

#include "array_args.hpp"
#include "binding.hpp"
#include "engine_types.hpp"
#include "numpy_api.hpp"

namespace velmor::py {
namespace {

// The methods are called through the class's descriptors, which refuse any other `self`.
const WeightedCsrRecord& record_of(PyObject* self) {
  return reinterpret_cast<WeightedGraphObject*>(self)->record;
}

PyObject* graph_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "WeightedCSRGraph has no constructor; build one with weighted_csr_from_edges()");
  return nullptr;
}

void graph_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  entry_dealloc(self,
                [&] { reinterpret_cast<WeightedGraphObject*>(self)->record.~WeightedCsrRecord(); });
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* graph_num_nodes(PyObject* self, PyObject*) {
  return entry([&] { return checked(PyLong_FromUnsignedLong(record_of(self).num_nodes())); });
}

PyObject* graph_num_arcs(PyObject* self, PyObject*) {
  return entry([&] { return checked(PyLong_FromUnsignedLongLong(record_of(self).num_arcs())); });
}

constexpr const char* kHasEdgeParams[] = {"src", "dst"};
const FunctionDescription kHasEdge{"WeightedCSRGraph.has_edge()", kHasEdgeParams, {}};

PyObject* graph_has_edge(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[2];
    bind_arguments(kHasEdge, args, kwargs, argv);
    Ref held = Ref::borrow(self);
    const WeightedCsrRecord& record = record_of(self);
    const uint32_t src = to_u32(argv[0], "src");
    const uint32_t dst = to_u32(argv[1], "dst");
    if (src >= record.num_nodes())
      raise_error(ErrorKind::Value, "src is " + std::to_string(src) + " but the graph has " +
                                        std::to_string(record.num_nodes()) + " nodes");
    return Ref::borrow(record.has_edge(src, dst) ? Py_True : Py_False);
  });
}

PyMethodDef graph_methods[] = {
    {"num_nodes", graph_num_nodes, METH_NOARGS, "num_nodes($self)\n--\n\nThe number of nodes."},
    {"num_arcs", graph_num_arcs, METH_NOARGS,
     "num_arcs($self)\n--\n\nThe number of stored arcs: each undirected edge is two."},
    {"has_edge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_has_edge)),
     METH_VARARGS | METH_KEYWORDS,
     "has_edge($self, src, dst)\n--\n\nWhether an arc src -> dst is stored."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A graph whose arcs carry weights, for the engine's weighted walks; made by "
                       "weighted_csr_from_edges().")},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

ArrayRef accept_weights(PyObject* obj, Py_ssize_t edges) {
  if (!is_array_of(obj, NpyType::Float64, 1))
    raise_error(ErrorKind::Type,
                std::string("argument 'weights': expected a 1-dimensional float64 array, got ") +
                    array_description(obj) +
                    "; convert other dtypes first, e.g. weights.astype(numpy.float64)");
  ArrayRef held = accept_strict(obj, NpyType::Float64, 1);
  if (held.shape(0) != edges)
    raise_error(ErrorKind::Value, std::string("argument 'weights': expected ") +
                                      std::to_string(edges) + " entries, one per edge, got " +
                                      std::to_string(held.shape(0)));
  return held;
}

constexpr const char* kParams[] = {"edges", "weights", "directed", "num_nodes"};
const FunctionDescription kFromEdges{"weighted_csr_from_edges()", kParams, {}};

PyObject* weighted_csr_from_edges_fn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[4];
    bind_arguments(kFromEdges, args, kwargs, argv);
    WeightedCsrRecord record;
    {
      const ArrayRef edges = accept_edge_array("edges", argv[0]);
      const ArrayRef weights = accept_weights(argv[1], edges.shape(0));
      const bool directed = to_bool(argv[2], "directed");
      const int64_t num_nodes = to_node_count(argv[3], "num_nodes");
      const WeightView weight_view{weights.data(), static_cast<size_t>(weights.shape(0)),
                                   weights.stride(0)};
      record = weighted_csr_from_edges(edge_view(edges), weight_view, directed, num_nodes);
    }  // read access to the arrays ends before the graph object is made
    return wrap_record<WeightedGraphObject>(weighted_graph_type(module), std::move(record));
  });
}

}  // namespace

PyType_Spec weighted_graph_spec = {"velmor.engine._engine.WeightedCSRGraph",
                                   sizeof(WeightedGraphObject), 0, Py_TPFLAGS_DEFAULT, graph_slots};

PyMethodDef weighted_csr_from_edges_def = {
    "weighted_csr_from_edges",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(weighted_csr_from_edges_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "weighted_csr_from_edges(edges, weights, directed, num_nodes)\n--\n\n"
    "A WeightedCSRGraph of num_nodes nodes from edges, a (E, 2) uint32 array of node ids below\n"
    "num_nodes (nodes without edges may lie beyond the largest id), and weights, a float64\n"
    "array of E finite weights greater than 0. directed (a bool) False stores each edge in both\n"
    "directions with its weight. Repeated edges stay apart; a walk treats them as one edge of\n"
    "their summed weight. train_epoch, count_visits and write_walks walk it in proportion to\n"
    "the weights: from cur, having come from prev, the next node x is drawn in proportion to\n"
    "w(cur, x) / p when x is prev, w(cur, x) when an arc prev -> x exists, w(cur, x) / q\n"
    "otherwise; the first step by weight alone. Without noise_counts, an epoch's negatives\n"
    "follow each node's summed out-weight instead of its out-degree."};

}  // namespace velmor::py
