// The graph and parameter objects: the layouts of CSRGraph (velmor.engine._native's class),
// WeightedCSRGraph (the engine's) and Node2VecParams instances, and the one way a finished graph
// record becomes a Python object. The classes themselves are declared beside each module's
// sources. Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "boundary.hpp"
#include "epoch.hpp"
#include "graph.hpp"

namespace velmor::py {

struct GraphObject {
  PyObject_HEAD CsrRecord record;
};

struct WeightedGraphObject {
  PyObject_HEAD WeightedCsrRecord record;
};

struct ParamsObject {
  PyObject_HEAD Node2VecParams params;
};

// A new, uninitialised instance of `type`. When the interpreter cannot allocate it, its error
// becomes an internal failure: a builder's caller gets a PanicException carrying it.
PyObject* allocate_instance(PyTypeObject* type);

// A new instance of `type` (a class whose instances are `Object`s) that takes over `record`;
// on failure the record is freed, as allocate_instance fails.
template <class Object, class Record>
Ref wrap_record(PyTypeObject* type, Record&& record) {
  PyObject* obj = allocate_instance(type);
  new (&reinterpret_cast<Object*>(obj)->record) Record(std::move(record));
  return Ref::steal(obj);
}

}  // namespace velmor::py
