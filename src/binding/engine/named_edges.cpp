// The engine's read_named_edges: the package's edge-list reader hands it the text of a file of
// named nodes, and takes back node ids and names without a Python object per line.
#include "named_edges.hpp"

#include <optional>
#include <string>

#include "array_args.hpp"
#include "binding.hpp"
#include "engine_types.hpp"
#include "numpy_api.hpp"

namespace velmor::py {
namespace {

std::string prefix(const char* name) { return std::string("argument '") + name + "': "; }

std::string_view accept_text(PyObject* obj) {
  if (!PyBytes_Check(obj))
    raise_error(ErrorKind::Type, prefix("text") + "expected bytes, got '" + type_name(obj) + "'");
  char* data = nullptr;
  Py_ssize_t size = 0;
  checked_status(PyBytes_AsStringAndSize(obj, &data, &size));
  return {data, static_cast<size_t>(size)};
}

// A byte value 0..255, or -1 for None.
int accept_byte(PyObject* obj, const char* name) {
  const std::optional<uint64_t> value = to_optional_u64(obj, name);
  if (value && *value > 255)
    raise_error(ErrorKind::Value, prefix(name) + "expected a byte value 0..255 or None, got " +
                                      std::to_string(*value));
  return value ? static_cast<int>(*value) : -1;
}

// The names as a list of str; None when one is not UTF-8, which the caller reports its way.
Ref name_list(std::string_view text, const std::vector<TextSpan>& names) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(text.data() + names[i].offset,
                                          static_cast<Py_ssize_t>(names[i].length), "strict");
    if (!name) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_pending();
      PyErr_Clear();
      return Ref::borrow(Py_None);
    }
    checked_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name));  // steals
  }
  return list;
}

constexpr const char* kParams[] = {"text", "start", "delimiter", "comment", "ids", "weights"};
const FunctionDescription kReadNamedEdges{"read_named_edges()", kParams, {}};

PyObject* read_named_edges_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> Ref {
    PyObject* argv[6];
    bind_arguments(kReadNamedEdges, args, kwargs, argv);
    const std::string_view text = accept_text(argv[0]);
    const uint64_t start = to_u64(argv[1], "start");
    if (start > text.size())
      raise_error(ErrorKind::Value, prefix("start") + "beyond the end of the text");
    EdgeTextFormat format;
    format.delimiter = accept_byte(argv[2], "delimiter");
    format.comment = accept_byte(argv[3], "comment");
    const ArrayRef ids_held =
        with_argument("ids", [&] { return accept_strict(argv[4], NpyType::UInt32, 1); });
    std::optional<ArrayRef> weights_held;
    if (argv[5] != Py_None)
      weights_held.emplace(
          with_argument("weights", [&] { return accept_strict(argv[5], NpyType::Float64, 1); }));
    format.weighted = weights_held.has_value();
    const std::span<uint32_t> ids = writable_u32_vector("ids", ids_held);
    const std::span<double> weights =
        weights_held ? writable_f64_vector("weights", *weights_held) : std::span<double>();
    NamedEdges found;
    {
      // The text is immutable and the arrays are the caller's own, fresh for this call.
      InterpreterLockReleased unlocked;
      found = read_named_edges(text, start, format, ids, weights);
    }
    if (found.status == NamedEdgesStatus::NoRoom)
      raise_error(ErrorKind::Value,
                  prefix(weights_held ? "ids' or 'weights" : "ids") +
                      "too short for the edges of the text: give ids 2 entries and weights 1 "
                      "per line");
    if (found.status == NamedEdgesStatus::Declined) return Ref::borrow(Py_None);
    Ref names = name_list(text, found.names);
    if (names.get() == Py_None) return names;
    Ref edges = checked(PyLong_FromSize_t(found.edges));
    Ref result = checked(PyTuple_New(2));
    checked_status(PyTuple_SetItem(result.get(), 0, edges.release()));  // steals
    checked_status(PyTuple_SetItem(result.get(), 1, names.release()));
    return result;
  });
}

}  // namespace

PyMethodDef read_named_edges_def = {
    "read_named_edges",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_named_edges_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "read_named_edges(text, start, delimiter, comment, ids, weights)\n--\n\n"
    "Reads the edge-list text (bytes) of named nodes from offset start, by the package's rules\n"
    "with delimiter and comment given as byte values or None. Writes the source and target id\n"
    "of each edge in turn into ids (a writable uint32 array of at least 2 entries per line),\n"
    "and, when weights is a writable float64 array (at least 1 entry per line) rather than\n"
    "None, the third column's weight. Node ids number the names in order of first appearance.\n"
    "Returns (edges, names): the number of edges written and the list of names (str) by id; or\n"
    "None when the text holds a fault or something else it leaves to the package's own\n"
    "reader, which then reports the fault. Releases the interpreter lock while it reads."};

}  // namespace velmor::py
