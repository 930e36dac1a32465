#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace velmor::py {
namespace {

// Created on first need, never released: one class for the process, whichever module's entry
// fails. Not an attribute of either module.
PyObject* g_panic_type = nullptr;

PyObject* panic_type() {
  if (!g_panic_type) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "velmor.engine._native.PanicException",
        "The exception raised when velmor's native code fails internally.", PyExc_BaseException,
        nullptr);
    if (!g_panic_type) throw_pending();
  }
  return g_panic_type;
}

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::Value: return PyExc_ValueError;
    case ErrorKind::Overflow: return PyExc_OverflowError;
    case ErrorKind::Memory: return PyExc_MemoryError;
    case ErrorKind::Import: return PyExc_ImportError;
    case ErrorKind::System: return PyExc_SystemError;
  }
  return PyExc_SystemError;
}

void raise_panic_exception(const std::string& message) {
  PyObject* type = panic_type();
  Ref msg = new_string(message.empty() ? std::string("native code failed internally") : message);
  Ref exc = checked(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
  PyErr_SetObject(type, exc.get());
}

void set_error(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (PyErrorFetched& e) {
    PyErr_Restore(e.type.release(), e.value.release(), e.traceback.release());
  } catch (const Error& e) {
    if (e.kind == ErrorKind::Memory && e.message.empty()) PyErr_NoMemory();
    else PyErr_SetString(exception_type(e.kind), e.message.c_str());
  } catch (const Panic& e) {
    raise_panic_exception(e.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // A library exception we did not anticipate is an internal failure like any other.
    report_internal_failure(e.what(), SourceLocation::current());
    raise_panic_exception(e.what());
  } catch (...) {
    report_internal_failure("unknown C++ exception", SourceLocation::current());
    raise_panic_exception("");
  }
}

}  // namespace

void set_python_error_from_current() noexcept {
  try {
    try {
      set_error(std::current_exception());
    } catch (PyErrorFetched& e) {
      // Raising the exception itself failed (e.g. no memory for a PanicException instance):
      // pass on what the interpreter reported instead.
      PyErr_Restore(e.type.release(), e.value.release(), e.traceback.release());
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void throw_pending() {
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  if (!t) raise_error(ErrorKind::System, "attempted to fetch exception but none was set");
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  PyErrorFetched e;
  e.type = Ref::steal(t);
  e.value = Ref::steal(v);
  e.traceback = Ref::steal(tb);
  if (g_panic_type && PyErr_GivenExceptionMatches(e.type.get(), g_panic_type)) {
    std::fputs(
        "--- velmor is resuming an internal failure after fetching a PanicException from "
        "Python. ---\n"
        "Python stack trace below:\n",
        stderr);
    std::string message;
    {
      PyObject* s = PyObject_Str(e.value.get());
      if (s) {
        Ref text = Ref::steal(s);
        Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text.get()));
        if (utf8) message = PyBytes_AsString(utf8.get());
      }
      PyErr_Clear();
    }
    PyErr_Restore(e.type.release(), e.value.release(), e.traceback.release());
    PyErr_PrintEx(0);
    throw Panic(message);
  }
  throw e;
}

std::string str_of(PyObject* obj) {
  Ref text = checked(PyObject_Str(obj));
  Ref utf8 = checked(PyUnicode_AsUTF8String(text.get()));
  char* data = nullptr;
  Py_ssize_t size = 0;
  checked_status(PyBytes_AsStringAndSize(utf8.get(), &data, &size));
  return std::string(data, static_cast<size_t>(size));
}

std::string type_name(PyObject* obj) {
  PyObject* name =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (name) {
    Ref owned = Ref::steal(name);
    if (PyUnicode_Check(name)) {
      Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(name));
      if (utf8) return PyBytes_AsString(utf8.get());
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

Ref new_string(const std::string& s) {
  return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

}  // namespace velmor::py
