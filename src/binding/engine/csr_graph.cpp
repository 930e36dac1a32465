// The engine's builder of plain graphs: csr_from_edges with an explicit node count, so that nodes
// beyond the largest id are kept, making objects of _native's CSRGraph class.
#include "array_args.hpp"
#include "binding.hpp"
#include "engine_types.hpp"
#include "native/native_types.hpp"

namespace velmor::py {
namespace {

constexpr const char* kParams[] = {"edges", "directed", "num_nodes"};
const FunctionDescription kFromEdges{"csr_from_edges()", kParams, {}};

PyObject* csr_from_edges_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[3];
    bind_arguments(kFromEdges, args, kwargs, argv);
    CsrRecord record;
    {
      const ArrayRef edges = accept_edge_array("edges", argv[0]);
      const bool directed = to_bool(argv[1], "directed");
      const int64_t num_nodes = to_node_count(argv[2], "num_nodes");
      record = csr_from_edges(edge_view(edges), directed, num_nodes);
    }  // read access to the array ends before the graph object is made
    return wrap_record<GraphObject>(csr_graph_type(), std::move(record));
  });
}

constexpr const char* kMarkParams[] = {"graph", "sources", "marks"};
const FunctionDescription kMarkArcEnds{"mark_arc_ends()", kMarkParams, {}};

PyObject* mark_arc_ends_fn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[3];
    bind_arguments(kMarkArcEnds, args, kwargs, argv);
    const bool weighted = PyObject_TypeCheck(argv[0], weighted_graph_type(module));
    if (!weighted && !PyObject_TypeCheck(argv[0], csr_graph_type()))
      raise_error(ErrorKind::Type,
                  "argument 'graph': expected a CSRGraph or a WeightedCSRGraph, got '" +
                      type_name(argv[0]) + "'");
    const CsrRecord& record = weighted ? reinterpret_cast<WeightedGraphObject*>(argv[0])->record.csr
                                       : reinterpret_cast<GraphObject*>(argv[0])->record;
    const ArrayRef sources =
        with_argument("sources", [&] { return accept_strict(argv[1], NpyType::UInt8, 1); });
    const ArrayRef marks =
        with_argument("marks", [&] { return accept_strict(argv[2], NpyType::UInt8, 1); });
    const std::span<uint8_t> source_view = writable_u8_vector("sources", sources);
    const std::span<uint8_t> mark_view = writable_u8_vector("marks", marks);
    mark_arc_ends(record, source_view, mark_view);
    return Ref::borrow(Py_None);
  });
}

}  // namespace

PyMethodDef mark_arc_ends_def = {
    "mark_arc_ends", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mark_arc_ends_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "mark_arc_ends(graph, sources, marks)\n--\n\n"
    "Sets marks[v] = 1 for every node v that an arc leaves from a node u with sources[u] != 0,\n"
    "and for every such u that has an arc out; other marks are left as they are. graph is a\n"
    "CSRGraph or a WeightedCSRGraph; sources and marks are writable uint8 arrays with one entry\n"
    "per node. With every node a source, the marks are the nodes that have an arc either way."};

PyMethodDef engine_csr_from_edges_def = {
    "csr_from_edges",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(csr_from_edges_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "csr_from_edges(edges, directed, num_nodes)\n--\n\n"
    "A CSRGraph (velmor.engine._native's class) of num_nodes nodes from edges, a (E, 2) uint32\n"
    "array of node ids below num_nodes; nodes without edges may lie beyond the largest id.\n"
    "directed (a bool) False stores each edge in both directions. Refuses num_nodes outside\n"
    "1 .. 2147483647 and an id not below it with ValueError, before anything is built."};

}  // namespace velmor::py
