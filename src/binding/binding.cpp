#include "binding.hpp"

#include <cstring>
#include <vector>

#include "graph.hpp"

namespace velmor::py {
namespace {

[[noreturn]] void type_error(std::string message) {
  raise_error(ErrorKind::Type, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

[[noreturn]] void missing(const FunctionDescription& fn, const char* kind,
                          const std::vector<const char*>& names) {
  type_error(std::string(fn.full_name) + " missing " + std::to_string(names.size()) + " required " +
             kind + (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
}

std::string utf8_of(PyObject* key) {
  if (!PyUnicode_Check(key)) type_error("keywords must be strings");
  Ref utf8 = checked(PyUnicode_AsUTF8String(key));
  char* data = nullptr;
  Py_ssize_t size = 0;
  checked_status(PyBytes_AsStringAndSize(utf8.get(), &data, &size));
  return std::string(data, static_cast<size_t>(size));
}

long index_as_long(PyObject* obj) {
  Ref index = checked(PyNumber_Index(obj));
  const long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw_pending();
  return value;
}

[[noreturn]] void out_of_range() {
  raise_error(ErrorKind::Overflow, "out of range integral type conversion attempted");
}

}  // namespace

void bind_arguments(const FunctionDescription& fn, PyObject* args, PyObject* kwargs,
                    PyObject** out) {
  const size_t n_pos = fn.positional.size();
  const size_t n_kw = fn.keyword_only.size();
  const size_t n_opt = fn.keyword_optional.size();
  for (size_t i = 0; i < n_pos + n_kw + n_opt; ++i) out[i] = nullptr;

  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) throw_pending();
  for (Py_ssize_t i = 0; i < given && static_cast<size_t>(i) < n_pos; ++i)
    out[i] = PyTuple_GetItem(args, i);
  if (static_cast<size_t>(given) > n_pos)
    type_error(std::string(fn.full_name) + " takes " + std::to_string(n_pos) +
               " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given"));

  if (kwargs) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const std::string name = utf8_of(key);
      bool bound = false;
      for (size_t j = 0; j < n_kw && !bound; ++j)
        if (name == fn.keyword_only[j]) {
          out[n_pos + j] = value;
          bound = true;
        }
      for (size_t j = 0; j < n_opt && !bound; ++j)
        if (name == fn.keyword_optional[j]) {
          out[n_pos + n_kw + j] = value;
          bound = true;
        }
      for (size_t j = 0; j < n_pos && !bound; ++j)
        if (name == fn.positional[j]) {
          if (out[j])
            type_error(std::string(fn.full_name) + " got multiple values for argument '" + name +
                       "'");
          out[j] = value;
          bound = true;
        }
      if (!bound)
        type_error(std::string(fn.full_name) + " got an unexpected keyword argument '" + name +
                   "'");
    }
  }

  if (static_cast<size_t>(given) < n_pos) {
    std::vector<const char*> unbound;
    for (size_t j = 0; j < n_pos; ++j)
      if (!out[j]) unbound.push_back(fn.positional[j]);
    if (!unbound.empty()) missing(fn, "positional", unbound);
  }
  std::vector<const char*> unbound;
  for (size_t j = 0; j < n_kw; ++j)
    if (!out[n_pos + j]) unbound.push_back(fn.keyword_only[j]);
  if (!unbound.empty()) missing(fn, "keyword", unbound);
}

std::string argument_prefix(const char* name) { return std::string("argument '") + name + "': "; }

void rethrow_with_prefix(const char* name) {
  const std::string prefix = argument_prefix(name);
  try {
    throw;
  } catch (const Error& e) {
    if (e.kind != ErrorKind::Type) throw;
    raise_error(ErrorKind::Type, prefix + e.message);
  } catch (PyErrorFetched& e) {
    if (e.type.get() != PyExc_TypeError) throw;
    const std::string text = prefix + str_of(e.value.get());
    Ref message = new_string(text);
    Ref replacement =
        checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(e.value.get()))  // new reference
      PyException_SetCause(replacement.get(), cause);           // steals it
    PyErrorFetched replaced;
    replaced.type = Ref::borrow(PyExc_TypeError);
    replaced.value = std::move(replacement);
    throw replaced;
  }
}

double to_f64(PyObject* obj, const char* name) {
  return with_argument(name, [&] {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return value;
  });
}

int32_t to_i32(PyObject* obj, const char* name) {
  return with_argument(name, [&] {
    const long value = index_as_long(obj);
    if (value < INT32_MIN || value > INT32_MAX) out_of_range();
    return static_cast<int32_t>(value);
  });
}

uint32_t to_u32(PyObject* obj, const char* name) {
  return with_argument(name, [&] {
    const long value = index_as_long(obj);
    if (value < 0 || value > static_cast<long>(UINT32_MAX)) out_of_range();
    return static_cast<uint32_t>(value);
  });
}

uint64_t to_u64(PyObject* obj, const char* name) {
  return with_argument(name, [&] {
    Ref index = checked(PyNumber_Index(obj));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return static_cast<uint64_t>(value);
  });
}

std::optional<uint64_t> to_optional_u64(PyObject* obj, const char* name) {
  if (obj == Py_None) return std::nullopt;
  return to_u64(obj, name);
}

int64_t to_node_count(PyObject* obj, const char* name) {
  Ref index = with_argument(name, [&] { return checked(PyNumber_Index(obj)); });
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  if (overflow) refuse_num_nodes(str_of(index.get()));
  return value;
}

std::string downcast_message(PyObject* obj, const char* target) {
  return type_name(obj).insert(0, 1, '\'') + "' object cannot be converted to '" + target + "'";
}

bool to_bool(PyObject* obj, const char* name) {
  return with_argument(name, [&] {
    if (obj != Py_True && obj != Py_False) type_error(downcast_message(obj, "PyBool"));
    return obj == Py_True;
  });
}

void check_instance(PyObject* obj, PyTypeObject* type, const char* class_name, const char* name) {
  if (PyObject_TypeCheck(obj, type)) return;
  if (name) with_argument(name, [&] { type_error(downcast_message(obj, class_name)); });
  else type_error(downcast_message(obj, class_name));
}

}  // namespace velmor::py
