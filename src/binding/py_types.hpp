// The objects both modules read: the layouts of CSRGraph, WeightedCSRGraph and Node2VecParams
// instances. Each module declares its own classes and functions beside its sources.
#pragma once

#include <Python.h>

#include "epoch.hpp"
#include "graph.hpp"

namespace velmor::py {

struct GraphObject {
  PyObject_HEAD CsrRecord record;
};

// The engine module's WeightedCSRGraph (its type lives there; the layout is shared so that the
// epoch arguments can read the record).
struct WeightedGraphObject {
  PyObject_HEAD WeightedCsrRecord record;
};

struct ParamsObject {
  PyObject_HEAD Node2VecParams params;
};

}  // namespace velmor::py
