// The engine's builder of plain graphs: csr_from_edges with an explicit node count, so that nodes
// beyond the largest id are kept, making objects of _native's CSRGraph class.
#include <new>

#include "array_args.hpp"
#include "binding.hpp"
#include "engine_types.hpp"

namespace velmor::py {
namespace {

// A CSRGraph of _native's type (the layout is shared, and _native's deallocator frees the
// record): the engine trains on that class.
Ref wrap_record(CsrRecord&& record) {
  PyTypeObject* type = engine_graph_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = checked(alloc(type, 0));
  new (&reinterpret_cast<GraphObject*>(obj.get())->record) CsrRecord(std::move(record));
  return obj;
}

constexpr const char* kParams[] = {"edges", "directed", "num_nodes"};
const FunctionDescription kFromEdges{"csr_from_edges()", kParams, {}};

PyObject* csr_from_edges_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[3];
    bind_arguments(kFromEdges, args, kwargs, argv);
    CsrRecord record;
    {
      const ArrayBorrow edges = accept_edge_array("edges", argv[0]);
      const bool directed = to_bool(argv[1], "directed");
      const int64_t num_nodes = to_node_count(argv[2], "num_nodes");
      record = csr_from_edges(edge_view(edges), directed, num_nodes);
    }  // read access to the array ends before the graph object is made
    return wrap_record(std::move(record));
  });
}

}  // namespace

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
