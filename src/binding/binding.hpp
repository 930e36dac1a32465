// Argument binding and conversion for the entry points of both modules, _native and _engine.
//
// bind_arguments() binds a positional tuple and a keyword dictionary to a FunctionDescription
// and reports the first binding failure as TypeError with the interpreter's usual wording.
// The to_* conversions implement the modules' common conversion rules; each takes the parameter
// name and applies the argument prefix rule: a failure that is exactly a TypeError becomes
// TypeError("argument '{name}': {message}") keeping the original cause; anything else passes
// unchanged. Nothing here keeps state. Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "boundary.hpp"

namespace velmor::py {

struct FunctionDescription {
  const char* full_name;                               // "csr_from_edges()", "CSRGraph.has_edge()"
  std::span<const char* const> positional;             // positional-or-keyword, all required
  std::span<const char* const> keyword_only;           // all required
  std::span<const char* const> keyword_optional = {};  // keyword-only, may be left out
};

// Fills out[] with borrowed references: the positional parameters, then the required keyword
// ones, then the optional ones (nullptr for each left out). No argument is converted here.
void bind_arguments(const FunctionDescription& fn, PyObject* args, PyObject* kwargs,
                    PyObject** out);

// "argument 'NAME': ", the start of every message about one argument.
std::string argument_prefix(const char* name);

// Runs `convert` and applies the argument prefix rule to what it throws.
template <class F>
auto with_argument(const char* name, F&& convert) -> decltype(convert());
[[noreturn]] void rethrow_with_prefix(const char* name);

double to_f64(PyObject* obj, const char* name);
int32_t to_i32(PyObject* obj, const char* name);
uint32_t to_u32(PyObject* obj, const char* name);
uint64_t to_u64(PyObject* obj, const char* name);
std::optional<uint64_t> to_optional_u64(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);
// Any integer as an int64_t, for the builders' own range check, which names it; one beyond int64
// is refused here with the builders' message.
int64_t to_node_count(PyObject* obj, const char* name);

// "'{type}' object cannot be converted to '{target}'"
std::string downcast_message(PyObject* obj, const char* target);

// Instance of `type` (or a subclass), else the downcast TypeError naming `class_name`, with the
// argument prefix when `name` is given.
void check_instance(PyObject* obj, PyTypeObject* type, const char* class_name, const char* name);

template <class F>
auto with_argument(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (...) {
    rethrow_with_prefix(name);
  }
}

}  // namespace velmor::py
