// The engine's read_edge_list: the package's edge-list reader hands it the text of a file, and
// takes back node ids, node names, the skipped header and the first fault, without a Python
// object per line. The package words the fault; this entry only says where and what it is.
#include "edge_list.hpp"

#include <optional>
#include <string>

#include "array_args.hpp"
#include "binding.hpp"
#include "engine_types.hpp"
#include "numpy_api.hpp"

namespace velmor::py {
namespace {

std::string_view accept_text(PyObject* obj) {
  if (!PyBytes_Check(obj))
    raise_error(ErrorKind::Type,
                argument_prefix("text") + "expected bytes, got '" + type_name(obj) + "'");
  char* data = nullptr;
  Py_ssize_t size = 0;
  checked_status(PyBytes_AsStringAndSize(obj, &data, &size));
  return {data, static_cast<size_t>(size)};
}

// A byte value 0..255 other than '\n', or -1 for None.
int accept_byte(PyObject* obj, const char* name) {
  const std::optional<uint64_t> value = to_optional_u64(obj, name);
  if (value && (*value > 255 || *value == '\n'))
    raise_error(ErrorKind::Value, argument_prefix(name) +
                                      "expected a byte value 0..255 other than 10, or "
                                      "None, got " +
                                      std::to_string(*value));
  return value ? static_cast<int>(*value) : -1;
}

NodeKind accept_node_kind(PyObject* obj) {
  if (obj == Py_None) return NodeKind::Decide;
  return to_bool(obj, "names") ? NodeKind::Names : NodeKind::Ids;
}

Ref bytes_of(std::string_view text, TextSpan span) {
  return checked(
      PyBytes_FromStringAndSize(text.data() + span.offset, static_cast<Py_ssize_t>(span.length)));
}

Ref tuple_of(std::initializer_list<Ref> items) {
  Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (Ref item : items)
    checked_status(PyTuple_SetItem(tuple.get(), i++, item.release()));  // steals
  return tuple;
}

Ref size_of(size_t value) { return checked(PyLong_FromSize_t(value)); }

// The names as a list of str; the reader has checked that they are UTF-8.
Ref name_list(std::string_view text, const std::vector<TextSpan>& names) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* name =
        checked(PyUnicode_DecodeUTF8(text.data() + names[i].offset,
                                     static_cast<Py_ssize_t>(names[i].length), "strict"))
            .release();
    checked_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name));  // steals
  }
  return list;
}

const char* fault_name(EdgeFaultKind kind) {
  switch (kind) {
    case EdgeFaultKind::Binary: return "binary";
    case EdgeFaultKind::EmptyColumn: return "empty column";
    case EdgeFaultKind::Columns: return "columns";
    case EdgeFaultKind::NodeId: return "node id";
    case EdgeFaultKind::LongName: return "long name";
    case EdgeFaultKind::WeightNotANumber: return "weight not a number";
    case EdgeFaultKind::WeightOutOfRange: return "weight out of range";
    case EdgeFaultKind::NotUtf8: return "not utf-8";
    case EdgeFaultKind::NoEdges: return "no edges";
    case EdgeFaultKind::None: break;
  }
  panic("edge-list fault without a kind");
}

// (line or None, kind, token or None, found, expected, first_edge_line)
Ref fault_tuple(std::string_view text, const EdgeFault& fault) {
  const bool has_token =
      fault.kind == EdgeFaultKind::NodeId || fault.kind == EdgeFaultKind::WeightNotANumber ||
      fault.kind == EdgeFaultKind::WeightOutOfRange || fault.kind == EdgeFaultKind::NotUtf8;
  return tuple_of(
      {fault.line ? checked(PyLong_FromUnsignedLongLong(fault.line)) : Ref::borrow(Py_None),
       checked(PyUnicode_FromString(fault_name(fault.kind))),
       has_token ? bytes_of(text, fault.token) : Ref::borrow(Py_None), size_of(fault.found),
       size_of(fault.expected), Ref::borrow(fault.first_edge_line ? Py_True : Py_False)});
}

template <class Id>
EdgeList read_unlocked(std::string_view text, const EdgeListFormat& format, std::span<Id> ids,
                       std::span<double> weights) {
  // The text is immutable and the arrays are the caller's own, fresh for this call.
  InterpreterLockReleased unlocked;
  return read_edge_list(text, format, ids, weights);
}

constexpr const char* kParams[] = {"text",    "delimiter",         "comment", "names",
                                   "relabel", "skip_third_column", "ids",     "weights"};
const FunctionDescription kReadEdgeList{"read_edge_list()", kParams, {}};

PyObject* read_edge_list_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> Ref {
    PyObject* argv[8];
    bind_arguments(kReadEdgeList, args, kwargs, argv);
    const std::string_view text = accept_text(argv[0]);
    EdgeListFormat format;
    format.delimiter = accept_byte(argv[1], "delimiter");
    format.comment = accept_byte(argv[2], "comment");
    if (format.delimiter >= 0 && format.delimiter == format.comment)
      raise_error(ErrorKind::Value, "delimiter and comment must differ");
    format.nodes = accept_node_kind(argv[3]);
    format.ids_are_indices = !to_bool(argv[4], "relabel");
    const bool skip_third = to_bool(argv[5], "skip_third_column");
    const bool wide = !is_array_of(argv[6], NpyType::UInt32, 1);
    const ArrayRef ids_held = with_argument(
        "ids", [&] { return accept_strict(argv[6], wide ? NpyType::UInt64 : NpyType::UInt32, 1); });
    std::optional<ArrayRef> weights_held;
    if (argv[7] != Py_None)
      weights_held.emplace(
          with_argument("weights", [&] { return accept_strict(argv[7], NpyType::Float64, 1); }));
    if (weights_held && skip_third)
      raise_error(ErrorKind::Value, "weights are read or the third column skipped, not both");
    format.third = weights_held ? ThirdColumn::Weight
                   : skip_third ? ThirdColumn::Skipped
                                : ThirdColumn::None;
    const std::span<double> weights =
        weights_held ? writable_f64_vector("weights", *weights_held) : std::span<double>();
    const EdgeList found =
        wide ? read_unlocked(text, format, count_vector("ids", ids_held, true), weights)
             : read_unlocked(text, format, writable_u32_vector("ids", ids_held), weights);
    switch (found.status) {
      case EdgeListStatus::NoRoom:
        raise_error(ErrorKind::Value,
                    argument_prefix(weights_held ? "ids' or 'weights" : "ids") +
                        "too short for the edges of the text: give ids 2 entries and weights 1 "
                        "per line");
      case EdgeListStatus::IdsTooNarrow:
        raise_error(ErrorKind::Overflow,
                    argument_prefix("ids") +
                        "a node id of the text does not fit in uint32: pass uint64 ids");
      case EdgeListStatus::Fault:
        return tuple_of({size_of(0), Ref::borrow(Py_None), Ref::borrow(Py_None),
                         fault_tuple(text, found.fault)});
      case EdgeListStatus::Read: break;
    }
    Ref header = found.header ? tuple_of({checked(PyLong_FromUnsignedLongLong(found.header->line)),
                                          bytes_of(text, found.header->text)})
                              : Ref::borrow(Py_None);
    return tuple_of({size_of(found.edges),
                     found.named ? name_list(text, found.names) : Ref::borrow(Py_None),
                     std::move(header), Ref::borrow(Py_None)});
  });
}

}  // namespace

PyMethodDef read_edge_list_def = {
    "read_edge_list",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_edge_list_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "read_edge_list(text, delimiter, comment, names, relabel, skip_third_column, ids, weights)\n"
    "--\n\n"
    "Reads edge-list text (bytes), one edge per line, by the package's rules, with delimiter\n"
    "and comment given as byte values or None. names is True (every node a name), False (every\n"
    "node an integer id) or None (the first edge lines decide, a header line being skipped).\n"
    "With relabel False, an id above 4294967294 is a fault. skip_third_column: a third column,\n"
    "if the first edge line has one, is on every line and not read.\n"
    "Writes the source and target of each edge in turn into ids (a writable uint32 or uint64\n"
    "array of at least 2 entries per line): integer ids as they stand, names numbered in order\n"
    "of first appearance; and, when weights is a writable float64 array (at least 1 entry per\n"
    "line) rather than None, each edge's weight from the third column. OverflowError when an\n"
    "id does not fit uint32 ids.\n"
    "Returns (edges, names, header, fault): the number of edges written; the list of names (str)\n"
    "by id, or None for integer ids; the skipped header line as (line, bytes up to its comment),\n"
    "or None; and None, or the first fault of the text as (line or None, kind, token or None,\n"
    "columns found, columns expected, whether it is the first edge line). Releases the\n"
    "interpreter lock while it reads."};

}  // namespace velmor::py
