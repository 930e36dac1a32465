// The call boundary between the interpreter and velmor's modules, _native and _engine.
//
// Every entry point from Python is one `noexcept` function whose body runs inside `entry()`:
// C++ failures never cross into the interpreter. Three kinds of failure reach Python:
//  * velmor::Error     -> the Python exception of its kind, with its message;
//  * PyErrorFetched    -> an exception raised by the interpreter, passed on unchanged;
//  * velmor::Panic (and any other C++ exception) -> PanicException, a BaseException subclass
//    that is an attribute of neither module (one class in the process, whichever module's entry
//    failed); the report was written where it happened.
//
// Reference ownership is explicit: `Ref` owns one reference and releases it in its destructor,
// so no error path releases anything by hand.
//
// Thread-safety: everything here requires the interpreter lock.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <utility>

#include "failure.hpp"

namespace velmor::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// An exception fetched from the interpreter (normalised), carried through C++ code.
struct PyErrorFetched : std::exception {
  Ref type, value, traceback;
  const char* what() const noexcept override { return "Python exception"; }
};

// Takes the interpreter's pending exception and throws it as PyErrorFetched. A PanicException
// coming back from Python is resumed as an internal failure instead (banner and traceback on
// standard error); nothing pending is SystemError "attempted to fetch exception but none was set".
[[noreturn]] void throw_pending();

// A new reference from the C API, or throw_pending() when it is null.
inline Ref checked(PyObject* new_ref) {
  if (!new_ref) throw_pending();
  return Ref::steal(new_ref);
}
inline void checked_status(int status) {
  if (status < 0) throw_pending();
}

// "{__qualname__ of the object's type}", or "<failed to extract type name>".
std::string type_name(PyObject* obj);
// str(obj) as UTF-8; failures propagate.
std::string str_of(PyObject* obj);
Ref new_string(const std::string& s);

// Turns the exception being handled (call only inside a catch block) into the interpreter's
// current exception.
void set_python_error_from_current() noexcept;

template <class F>
PyObject* entry(F&& body) noexcept {
  try {
    Ref result = body();
    return result.release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

// Releases the interpreter lock for its lifetime, so that other Python threads run. Meanwhile
// nothing may touch a Python object, except inside with_lock(). Created and destroyed on the
// thread that holds the lock.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

  // Runs `f` with the lock held again. `f` must not throw.
  template <class F>
  void with_lock(F&& f) {
    PyEval_RestoreThread(state_);
    f();
    state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_;
};

// Deallocation has no caller to report to: a failure goes to the unraisable hook with `self`.
template <class F>
void entry_dealloc(PyObject* self, F&& body) noexcept {
  try {
    body();
  } catch (...) {
    set_python_error_from_current();
    PyErr_WriteUnraisable(self);
  }
}

}  // namespace velmor::py
