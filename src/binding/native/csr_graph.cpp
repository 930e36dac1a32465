// The CSRGraph class and csr_from_edges.
#include "binding.hpp"
#include "native_types.hpp"
#include "numpy_api.hpp"

namespace velmor::py {
namespace {

constexpr const char* kGraphClass = "CSRGraph";

GraphObject* graph_self(PyObject* self) {
  check_instance(self, csr_graph_type(), kGraphClass, nullptr);
  return reinterpret_cast<GraphObject*>(self);
}

PyObject* graph_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void graph_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  entry_dealloc(self, [&] { reinterpret_cast<GraphObject*>(self)->record.~CsrRecord(); });
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* graph_num_nodes(PyObject* self, PyObject*) {
  return entry([&] {
    Ref held = Ref::borrow(self);
    return checked(PyLong_FromUnsignedLong(graph_self(self)->record.num_nodes()));
  });
}

constexpr const char* kHasEdgeParams[] = {"src", "dst"};
const FunctionDescription kHasEdge{"CSRGraph.has_edge()", kHasEdgeParams, {}};

PyObject* graph_has_edge(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[2];
    bind_arguments(kHasEdge, args, kwargs, argv);
    Ref held = Ref::borrow(self);
    const CsrRecord& record = graph_self(self)->record;
    const uint32_t src = to_u32(argv[0], "src");
    const uint32_t dst = to_u32(argv[1], "dst");
    return Ref::borrow(record.has_edge(src, dst) ? Py_True : Py_False);
  });
}

PyMethodDef graph_methods[] = {
    {"num_nodes", graph_num_nodes, METH_NOARGS, "num_nodes($self)\n--\n\n"},
    {"has_edge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_has_edge)),
     METH_VARARGS | METH_KEYWORDS, "has_edge($self, src, dst)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

PyType_Spec graph_spec = {"builtins.CSRGraph", sizeof(GraphObject), 0, Py_TPFLAGS_DEFAULT,
                          graph_slots};

PyTypeObject* g_graph_type = nullptr;

constexpr const char* kCsrParams[] = {"edges", "directed"};
const FunctionDescription kCsrFromEdges{"csr_from_edges()", kCsrParams, {}};

PyObject* csr_from_edges_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[2];
    bind_arguments(kCsrFromEdges, args, kwargs, argv);
    CsrRecord record;
    {
      const ArrayRef edges =
          with_argument("edges", [&] { return accept_strict(argv[0], NpyType::UInt32, 2); });
      const bool directed = to_bool(argv[1], "directed");
      const EdgeView view{edges.data(), static_cast<size_t>(edges.shape(0)),
                          static_cast<size_t>(edges.shape(1)), edges.stride(0), edges.stride(1)};
      record = csr_from_edges(view, directed);
    }  // read access to `edges` ends before the graph object is made
    return wrap_record<GraphObject>(csr_graph_type(), std::move(record));
  });
}

}  // namespace

PyTypeObject* csr_graph_type() {
  if (!g_graph_type)
    g_graph_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&graph_spec)).release());
  return g_graph_type;
}

PyMethodDef csr_from_edges_def = {
    "csr_from_edges",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(csr_from_edges_fn)),
    METH_VARARGS | METH_KEYWORDS, "csr_from_edges(*, edges, directed)\n--\n\n"};

}  // namespace velmor::py
