// The engine's entries, train_epoch, count_visits and write_walks: walks and training without
// the interpreter lock, watched by the calling thread.
#include <atomic>
#include <optional>
#include <span>

#include "array_args.hpp"
#include "binding.hpp"
#include "engine_types.hpp"
#include "epoch_args.hpp"
#include "native/native_types.hpp"
#include "numpy_api.hpp"

namespace velmor::py {
namespace {

constexpr const char* kNames[] = {"graph",        "params",      "embeddings",
                                  "hidden_layer", "next_random", "ns_exponent",
                                  "noise_counts", "visits",      "progress"};
constexpr const char* kOptionalNames[] = {"shared_negatives", "start_nodes", "frozen",
                                          "deterministic",    "num_blocks",  "episode_walks",
                                          "block_update"};
const FunctionDescription kTrainEpoch{"train_epoch()", {}, kNames, kOptionalNames};

// An optional uint64 vector argument: None, or an array accepted as it is (no conversion, so
// that counts are never silently copied and then lost).
std::optional<ArrayRef> optional_counts(PyObject* obj, const char* name, bool writable) {
  if (obj == Py_None) return std::nullopt;
  std::optional<ArrayRef> held(
      with_argument(name, [&] { return accept_strict(obj, NpyType::UInt64, 1); }));
  count_vector(name, *held, writable);
  return held;
}

// An optional one-dimensional uint32 or uint8 array: absent or None, or an array accepted as it
// is; its view is taken by view_of after the last conversion.
std::optional<ArrayRef> optional_vector(PyObject* obj, const char* name, NpyType type) {
  if (!obj || obj == Py_None) return std::nullopt;
  return std::optional<ArrayRef>(with_argument(name, [&] { return accept_strict(obj, type, 1); }));
}

std::span<const uint32_t> view_of_starts(const std::optional<ArrayRef>& held) {
  return held ? writable_u32_vector("start_nodes", *held) : std::span<uint32_t>();
}

std::span<uint64_t> view_of(const std::optional<ArrayRef>& held, const char* name, bool writable) {
  return held ? count_vector(name, *held, writable) : std::span<uint64_t>();
}

// A progress hook: a callable, or None.
PyObject* accept_progress(PyObject* progress) {
  if (progress != Py_None && !PyCallable_Check(progress))
    raise_error(ErrorKind::Type, "argument 'progress': expected a callable or None, got '" +
                                     type_name(progress) + "'");
  return progress;
}

// Called with the interpreter lock while the workers run: lets pending signals raise (Ctrl-C)
// and reports progress. A Python exception stays pending, stops the epoch, and is raised when
// the call returns.
struct Watcher {
  PyObject* progress;  // a callable or None, borrowed from the arguments
  EpochControl& control;
  bool failed = false;

  void operator()() {
    if (failed) return;
    if (PyErr_CheckSignals() < 0 || !report_progress()) {
      failed = true;
      control.stop.store(true);
    }
  }

  bool report_progress() {
    if (progress == Py_None) return true;
    Ref done = Ref::steal(PyLong_FromUnsignedLongLong(control.walks_done.load()));
    if (!done) return false;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(progress, done.get(), nullptr));
    return static_cast<bool>(result);
  }
};

// train_epoch without the interpreter lock, watched; raises the exception that stopped it, if
// any. The matrices' views are taken by the caller after its last argument has converted.
void train_watched(const WalkArguments& walk, const MatrixView& embeddings,
                   const MatrixView& hidden_layer, uint64_t next_random, EpochOptions options,
                   PyObject* progress) {
  EpochControl control;
  options.control = &control;
  Watcher watcher{progress, control};
  {
    InterpreterLockReleased unlocked;
    control.on_wait = [&] { unlocked.with_lock(watcher); };
    walk.with_graph([&](const auto& record) {
      train_epoch(record, walk.params, embeddings, hidden_layer, next_random, options);
    });
  }
  if (watcher.failed) throw_pending();
}

// An epoch of walks alone: nothing is trained.
void walk_watched(const WalkArguments& walk, uint64_t next_random, EpochOptions options,
                  PyObject* progress) {
  options.train = false;
  train_watched(walk, MatrixView(), MatrixView(), next_random, options, progress);
}

PyObject* train_epoch_fn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[16];
    bind_arguments(kTrainEpoch, args, kwargs, argv);
    const EpochArguments epoch = accept_epoch_arguments(
        argv, csr_graph_type(), node2vec_params_type(), weighted_graph_type(module));
    const uint64_t next_random = to_u64(argv[4], "next_random");
    EpochOptions options;
    options.ns_exponent = to_f64(argv[5], "ns_exponent");
    const std::optional<ArrayRef> noise_held = optional_counts(argv[6], "noise_counts", false);
    const std::optional<ArrayRef> visits_held = optional_counts(argv[7], "visits", true);
    PyObject* const progress = accept_progress(argv[8]);
    if (argv[9] && to_bool(argv[9], "shared_negatives"))
      options.negative_draws = NegativeDraws::per_position;
    if (argv[15] && !to_bool(argv[15], "block_update") &&
        options.negative_draws == NegativeDraws::per_position)
      options.negative_draws = NegativeDraws::per_position_pairwise;
    const std::optional<ArrayRef> starts_held =
        optional_vector(argv[10], "start_nodes", NpyType::UInt32);
    const std::optional<ArrayRef> frozen_held = optional_vector(argv[11], "frozen", NpyType::UInt8);
    if (argv[12] && to_bool(argv[12], "deterministic")) {
      options.blocks.emplace();
      if (argv[13]) options.blocks->num_blocks = to_u32(argv[13], "num_blocks");
      if (argv[14]) options.blocks->episode_walks = to_u64(argv[14], "episode_walks");
    }

    // The views are taken after the last conversion; nothing but the watcher runs Python code
    // before training ends.
    const MatrixView embeddings = epoch.embeddings();
    const MatrixView hidden_layer = epoch.hidden_layer();
    options.noise_counts = view_of(noise_held, "noise_counts", false);
    options.visits = view_of(visits_held, "visits", true);
    options.start_nodes = view_of_starts(starts_held);
    if (frozen_held) options.frozen = writable_u8_vector("frozen", *frozen_held);
    train_watched(epoch, embeddings, hidden_layer, next_random, options, progress);
    return Ref::borrow(Py_None);
  });
}

constexpr const char* kCountNames[] = {"graph", "params", "next_random", "visits"};
constexpr const char* kCountOptional[] = {"start_nodes"};
const FunctionDescription kCountVisits{"count_visits()", {}, kCountNames, kCountOptional};

PyObject* count_visits_fn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[5];
    bind_arguments(kCountVisits, args, kwargs, argv);
    const WalkArguments walk = accept_walk_arguments(argv, csr_graph_type(), node2vec_params_type(),
                                                     weighted_graph_type(module));
    const uint64_t next_random = to_u64(argv[2], "next_random");
    const ArrayRef visits_held =
        with_argument("visits", [&] { return accept_strict(argv[3], NpyType::UInt64, 1); });
    const std::optional<ArrayRef> starts_held =
        optional_vector(argv[4], "start_nodes", NpyType::UInt32);
    EpochOptions options;
    options.visits = count_vector("visits", visits_held, true);
    options.start_nodes = view_of_starts(starts_held);
    walk_watched(walk, next_random, options, Py_None);
    return Ref::borrow(Py_None);
  });
}

constexpr const char* kWalkNames[] = {"graph", "params", "next_random", "walks"};
constexpr const char* kWalkOptional[] = {"progress"};
const FunctionDescription kWriteWalks{"write_walks()", {}, kWalkNames, kWalkOptional};

PyObject* write_walks_fn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    PyObject* argv[5];
    bind_arguments(kWriteWalks, args, kwargs, argv);
    const WalkArguments walk = accept_walk_arguments(argv, csr_graph_type(), node2vec_params_type(),
                                                     weighted_graph_type(module));
    const uint64_t next_random = to_u64(argv[2], "next_random");
    const ArrayRef walks_held = accept_int32_matrix("walks", argv[3]);
    PyObject* const progress = accept_progress(argv[4] ? argv[4] : Py_None);
    EpochOptions options;
    options.walks =
        writable_rows("walks", walks_held, walk.num_nodes(), walk.params.max_walk_length);
    walk_watched(walk, next_random, options, progress);
    return Ref::borrow(Py_None);
  });
}

}  // namespace

PyMethodDef train_epoch_def = {
    "train_epoch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_epoch_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "train_epoch(*, graph, params, embeddings, hidden_layer, next_random, ns_exponent, "
    "noise_counts, visits, progress, shared_negatives=False, start_nodes=None, frozen=None, "
    "deterministic=False, num_blocks=0, episode_walks=0, block_update=True)\n--\n\n"
    "One node2vec epoch, as _native.train_node2vec_epoch trains it, with these additions.\n\n"
    "graph may also be a WeightedCSRGraph, walked in proportion to its weights.\n"
    "Negatives are drawn in proportion to max(count, 1)**ns_exponent, over noise_counts (a\n"
    "uint64 array with one entry per node) or, when that is None, over each node's out-degree\n"
    "(on a WeightedCSRGraph, its summed out-weight, a node without out-arcs weighing as the\n"
    "lightest arc); ns_exponent 0 draws them uniformly, exactly as _native does. visits (a\n"
    "writable uint64 array, or None) receives each node's visits in this epoch's walks, added\n"
    "after the epoch.\n"
    "shared_negatives: False, each (context, centre) pair draws its own negatives; True, the\n"
    "pairs of one walk position share one draw (the generator then makes one draw of negatives\n"
    "per position, after the position's window draw), and each position trains by blocks of\n"
    "up to 4 contexts, each row loaded and stored once a block, with the result of training\n"
    "its pairs one after the other (up to rounding). block_update=False trains them pair by\n"
    "pair instead (the same result, the update before the blocks).\n"
    "start_nodes (a writable uint32 array, or None for every node): one walk from each entry,\n"
    "in a shuffled order. frozen (a writable uint8 array with one entry per node, or None):\n"
    "the rows of nodes with a non-zero entry are left bit-identical in both matrices while the\n"
    "others train against them; a pair of two frozen nodes is skipped.\n"
    "deterministic: True trains by the block schedule, whose result is the same for any number\n"
    "of workers: nodes fall into num_blocks blocks (0: one per 256 nodes, 1 to 16; at most\n"
    "256), the walks into episodes of episode_walks walks (0: a sixteenth of the walks, at\n"
    "most 2**16 // max_walk_length, 1 to 2**14), and each episode's pairs train bucket by\n"
    "bucket with negatives from the centre's block; shared_negatives then shares a draw among\n"
    "8 consecutive pairs of a bucket. It does not take frozen rows.\n"
    "batch_size is not used.\n"
    "progress (a callable, or None) is called with the number of walks trained so far, about\n"
    "every 100 ms, on the calling thread. The interpreter lock is released while the workers\n"
    "run; an exception from progress or from a signal handler (KeyboardInterrupt) stops the\n"
    "epoch after the walks in hand and is raised here."};

PyMethodDef count_visits_def = {
    "count_visits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_visits_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "count_visits(*, graph, params, next_random, visits, start_nodes=None)\n--\n\n"
    "Adds to visits (a writable uint64 array, one entry per node) each node's visits in one\n"
    "round of walks, one from every node (or from each of start_nodes, a writable uint32\n"
    "array), drawn as train_epoch draws them; nothing is trained.\n"
    "graph is a CSRGraph or a WeightedCSRGraph.\n"
    "word2vec counts its corpus before training: this counts the walks' nodes, for the\n"
    "negatives of the first epoch. Releases the interpreter lock; Ctrl-C stops it."};

PyMethodDef write_walks_def = {
    "write_walks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_walks_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "write_walks(*, graph, params, next_random, walks, progress=None)\n--\n\n"
    "Draws one round of walks, one from every node, as train_epoch draws them (graph is a\n"
    "CSRGraph or a WeightedCSRGraph), and writes them into walks: a writable C-contiguous int32\n"
    "array of shape (graph.num_nodes(), params.max_walk_length). Row k holds the k-th walk of\n"
    "the round's shuffled order, -1 after the end of a walk that stopped early at a node\n"
    "without out-edges; nothing is trained. progress (a callable, or None) is called with the\n"
    "number of walks drawn so far, about every 100 ms, on the calling thread. Releases the\n"
    "interpreter lock; Ctrl-C or an exception from progress stops it after the walks in hand,\n"
    "leaving the rows of undrawn walks as they were, and is raised here."};

}  // namespace velmor::py
