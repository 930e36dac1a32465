// The Node2VecParams class and train_node2vec_epoch.
#include <cstddef>
#include <type_traits>

#include "binding.hpp"
#include "epoch_args.hpp"
#include "native_types.hpp"
#include "numpy_api.hpp"

namespace velmor::py {
namespace {

constexpr const char* kParamsClass = "Node2VecParams";

constexpr const char* kParamNames[] = {"p",      "q",          "start_alpha",     "end_alpha",
                                       "window", "batch_size", "max_walk_length", "num_negative",
                                       "workers"};
const FunctionDescription kParamsNew{"Node2VecParams.__new__()", {}, kParamNames};

PyObject* params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[9];
    bind_arguments(kParamsNew, args, kwargs, argv);
    Node2VecParams params;
    params.p = to_f64(argv[0], "p");
    params.q = to_f64(argv[1], "q");
    params.start_alpha = to_f64(argv[2], "start_alpha");
    params.end_alpha = to_f64(argv[3], "end_alpha");
    params.window = to_i32(argv[4], "window");
    params.batch_size = to_u64(argv[5], "batch_size");
    params.max_walk_length = to_u64(argv[6], "max_walk_length");
    params.num_negative = to_u64(argv[7], "num_negative");
    params.workers = to_optional_u64(argv[8], "workers");
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = checked(alloc(type, 0));
    reinterpret_cast<ParamsObject*>(obj.get())->params = params;
    return obj;
  });
}

void params_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

const Node2VecParams& params_of(PyObject* self) {
  check_instance(self, node2vec_params_type(), kParamsClass, nullptr);
  return reinterpret_cast<ParamsObject*>(self)->params;
}

// One getter per field, chosen by member pointer.
template <auto Field>
PyObject* get_field(PyObject* self, void*) {
  return entry([&]() -> Ref {
    const auto& value = params_of(self).*Field;
    using T = std::decay_t<decltype(value)>;
    if constexpr (std::is_same_v<T, double>) return checked(PyFloat_FromDouble(value));
    else if constexpr (std::is_same_v<T, int32_t>) return checked(PyLong_FromLong(value));
    else if constexpr (std::is_same_v<T, uint64_t>)
      return checked(PyLong_FromUnsignedLongLong(value));
    else {
      if (!value) return Ref::borrow(Py_None);
      return checked(PyLong_FromUnsignedLongLong(*value));
    }
  });
}

#define VELMOR_GETTER(name) {#name, get_field<&Node2VecParams::name>, nullptr, "", nullptr}
PyGetSetDef params_getset[] = {
    VELMOR_GETTER(p),
    VELMOR_GETTER(q),
    VELMOR_GETTER(start_alpha),
    VELMOR_GETTER(end_alpha),
    VELMOR_GETTER(window),
    VELMOR_GETTER(batch_size),
    VELMOR_GETTER(max_walk_length),
    VELMOR_GETTER(num_negative),
    VELMOR_GETTER(workers),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VELMOR_GETTER

PyType_Slot params_slots[] = {
    {Py_tp_doc, const_cast<char*>("Node2VecParams(*, p, q, start_alpha, end_alpha, window, "
                                  "batch_size, max_walk_length, num_negative, workers)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(params_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(params_dealloc)},
    {Py_tp_getset, params_getset},
    {0, nullptr},
};

PyType_Spec params_spec = {"builtins.Node2VecParams", sizeof(ParamsObject), 0, Py_TPFLAGS_DEFAULT,
                           params_slots};

PyTypeObject* g_params_type = nullptr;

constexpr const char* kTrainNames[] = {"graph", "params", "embeddings", "hidden_layer",
                                       "next_random"};
const FunctionDescription kTrain{"train_node2vec_epoch()", {}, kTrainNames};

PyObject* train_node2vec_epoch_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[5];
    bind_arguments(kTrain, args, kwargs, argv);
    const EpochArguments epoch =
        accept_epoch_arguments(argv, csr_graph_type(), node2vec_params_type());
    const uint64_t next_random = to_u64(argv[4], "next_random");
    train_epoch(epoch.record(), epoch.params, epoch.embeddings(), epoch.hidden_layer(),
                next_random);
    return Ref::borrow(Py_None);
  });
}

}  // namespace

PyTypeObject* node2vec_params_type() {
  if (!g_params_type)
    g_params_type =
        reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&params_spec)).release());
  return g_params_type;
}

PyMethodDef train_node2vec_epoch_def = {
    "train_node2vec_epoch",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_node2vec_epoch_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "train_node2vec_epoch(*, graph, params, embeddings, hidden_layer, next_random)\n--\n\n"};

}  // namespace velmor::py
