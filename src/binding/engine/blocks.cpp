// The block schedule's steps one at a time, for a caller that spreads them over machines:
// the partition, an epoch's order, a block's table of negatives, an episode's bucketed pairs,
// and the training of a bucket, each by the very functions the one-machine
// deterministic epoch runs (block_steps.hpp).
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "array_args.hpp"
#include "binding.hpp"
#include "block_epoch.hpp"
#include "block_steps.hpp"
#include "engine_types.hpp"
#include "epoch_args.hpp"
#include "native/native_types.hpp"
#include "numpy_api.hpp"
#include "walk.hpp"

namespace velmor::py {
namespace {

// A C-contiguous, aligned (N, 2) uint32 array as N records of two uint32 (pairs, or the slots
// of a table); read-only arrays are taken.
template <class Record>
std::span<const Record> record_rows(const char* name, const ArrayRef& held) {
  static_assert(sizeof(Record) == 8);
  with_argument(name, [&] { held.recheck(NpyType::UInt32, 2); });
  const Py_ssize_t rows = held.shape(0);
  if (held.shape(1) != 2)
    raise_error(ErrorKind::Value, argument_prefix(name) + "expected shape (N, 2), got (" +
                                      std::to_string(rows) + ", " + std::to_string(held.shape(1)) +
                                      ")");
  const bool contiguous = held.stride(1) == 4 && (rows < 2 || held.stride(0) == 8);
  if (!contiguous || reinterpret_cast<uintptr_t>(held.data()) % 4 != 0)
    raise_error(ErrorKind::Value, argument_prefix(name) + "array must be C-contiguous and aligned");
  return {reinterpret_cast<const Record*>(held.data()), static_cast<size_t>(rows)};
}

ArrayRef take(PyObject* obj, const char* name, NpyType type, int ndim) {
  return with_argument(name, [&] { return accept_strict(obj, type, ndim); });
}

Ref bytes_of(const void* data, size_t size) {
  return checked(
      PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

template <class T>
Buffer<T> copied(std::span<const T> values) {
  Buffer<T> out(values.size());
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(T));
  return out;
}

// The record of the given arrays, refused with Error(Value) unless it keeps the invariants of
// graph.hpp: the arrays may come from anywhere.
CsrRecord checked_record(std::span<const uint64_t> offsets, std::span<const uint32_t> targets) {
  const auto refuse = [] {
    raise_error(ErrorKind::Value,
                "the arrays do not make a graph: offsets must rise from 0 to "
                "the number of targets, each row sorted, every target a node");
  };
  if (offsets.size() < 2 || offsets.size() - 1 > kMaxNodes || offsets[0] != 0 ||
      offsets.back() != targets.size())
    refuse();
  const uint64_t n = offsets.size() - 1;
  for (uint64_t v = 0; v < n; ++v) {
    if (offsets[v] > offsets[v + 1]) refuse();
    for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k)
      if (targets[k] >= n || (k > offsets[v] && targets[k] < targets[k - 1])) refuse();
  }
  return CsrRecord{copied(targets), copied(offsets)};
}

// The argument names of each step, all keyword-only.
constexpr const char* kPartition[] = {"num_nodes", "members", "block_begin"};
constexpr const char* kDefaults[] = {"num_nodes", "max_walk_length"};
constexpr const char* kOrder[] = {"next_random", "order"};
constexpr const char* kTable[] = {"graph", "members", "ns_exponent", "noise_counts", "slots"};
constexpr const char* kDraw[] = {"graph", "params",   "order",      "seed",  "first",
                                 "last",  "block_of", "num_blocks", "visits"};
constexpr const char* kArrays[] = {"graph"};
constexpr const char* kFromArrays[] = {"offsets", "targets"};
constexpr const char* kFromArraysWeighted[] = {"slots", "strength", "lightest"};
constexpr const char* kTrain[] = {"embeddings",  "hidden_layer", "pairs",           "slots",
                                  "seed",        "episode",      "input_block",     "output_block",
                                  "start_alpha", "end_alpha",    "first",           "last",
                                  "epoch_walks", "num_negative", "shared_negatives"};

const FunctionDescription kPartitionFn{"block_partition()", {}, kPartition};
const FunctionDescription kDefaultsFn{"block_defaults()", {}, kDefaults};
const FunctionDescription kOrderFn{"block_order()", {}, kOrder};
const FunctionDescription kTableFn{"block_negatives()", {}, kTable};
const FunctionDescription kDrawFn{"block_draw()", {}, kDraw};
const FunctionDescription kArraysFn{"graph_arrays()", {}, kArrays};
const FunctionDescription kFromArraysFn{
    "graph_from_arrays()", {}, kFromArrays, kFromArraysWeighted};
const FunctionDescription kTrainFn{"block_train()", {}, kTrain};

// Fills members (every node, block by block, ascending in a block) and block_begin (P + 1
// entries: block b is members[block_begin[b], block_begin[b + 1])).
Ref partition(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  bind_arguments(kPartitionFn, args, kwargs, argv);
  const uint32_t n = to_u32(argv[0], "num_nodes");
  const ArrayRef members_held = take(argv[1], "members", NpyType::UInt32, 1);
  const ArrayRef begin_held = take(argv[2], "block_begin", NpyType::UInt64, 1);
  const std::span<uint32_t> members = writable_u32_vector("members", members_held);
  const std::span<uint64_t> begin = count_vector("block_begin", begin_held, true);
  if (n == 0 || n > kMaxNodes || members.size() != n)
    raise_error(ErrorKind::Value,
                "members must have num_nodes entries, 1 to " + std::to_string(kMaxNodes));
  if (begin.size() < 2 || begin.size() > kMaxBlocks + 1)
    raise_error(ErrorKind::Value, "block_begin must have 2 to " + std::to_string(kMaxBlocks + 1) +
                                      " entries (one more than the blocks), got " +
                                      std::to_string(begin.size()));
  const uint32_t num_blocks = static_cast<uint32_t>(begin.size() - 1);
  const BlockPartition blocks(n, num_blocks);
  uint64_t at = 0;
  for (uint32_t b = 0; b < num_blocks; ++b) {
    begin[b] = at;
    for (const uint32_t v : blocks.members(b)) members[at++] = v;
  }
  begin[num_blocks] = at;
  return Ref::borrow(Py_None);
}

Ref defaults(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  bind_arguments(kDefaultsFn, args, kwargs, argv);
  const uint32_t n = to_u32(argv[0], "num_nodes");
  const uint64_t length = to_u64(argv[1], "max_walk_length");
  return checked(Py_BuildValue("(kK)", static_cast<unsigned long>(blocks_for(n)),
                               static_cast<unsigned long long>(episode_walks_for(length, n))));
}

Ref order(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  bind_arguments(kOrderFn, args, kwargs, argv);
  const uint64_t next_random = to_u64(argv[0], "next_random");
  const ArrayRef held = take(argv[1], "order", NpyType::UInt32, 1);
  const uint64_t seed = shuffle_epoch_order(writable_u32_vector("order", held), next_random);
  return checked(PyLong_FromUnsignedLongLong(seed));
}

Ref table(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* argv[5];
  bind_arguments(kTableFn, args, kwargs, argv);
  const bool weighted = PyObject_TypeCheck(argv[0], weighted_graph_type(module));
  if (!weighted) check_instance(argv[0], csr_graph_type(), "CSRGraph", "graph");
  const ArrayRef members_held = take(argv[1], "members", NpyType::UInt32, 1);
  const double exponent = to_f64(argv[2], "ns_exponent");
  std::optional<ArrayRef> counts_held;
  if (argv[3] != Py_None) counts_held.emplace(take(argv[3], "noise_counts", NpyType::UInt64, 1));
  const ArrayRef slots_held = take(argv[4], "slots", NpyType::UInt32, 2);
  const std::span<const uint32_t> members =
      vector_of<uint32_t>("members", members_held, NpyType::UInt32, false);
  const std::span<const uint64_t> counts =
      counts_held ? vector_of<uint64_t>("noise_counts", *counts_held, NpyType::UInt64, false)
                  : std::span<const uint64_t>();
  const std::span<const AliasSlot> slots = record_rows<AliasSlot>("slots", slots_held);
  if (!slots_held.writeable())
    raise_error(ErrorKind::Value, argument_prefix("slots") + "array is read-only");
  if (!(exponent >= 0.0 && exponent <= 1e300))
    raise_error(ErrorKind::Value, "ns_exponent must be a finite number at least 0");
  const auto build = [&](const auto& record) {
    const uint32_t n = record.num_nodes();
    if (members.empty() || slots.size() != members.size())
      raise_error(ErrorKind::Value, "members must not be empty, and slots must have a row each");
    if (!counts.empty() && counts.size() != n)
      raise_error(ErrorKind::Value, "noise_counts must have an entry per node");
    for (const uint32_t v : members)
      if (v >= n) raise_error(ErrorKind::Value, "members must be nodes of the graph");
    const WeightedNegatives built = block_noise_table(record, counts, exponent, members);
    std::memcpy(const_cast<AliasSlot*>(slots.data()), built.slots().data(),
                slots.size() * sizeof(AliasSlot));
  };
  if (weighted) build(reinterpret_cast<WeightedGraphObject*>(argv[0])->record);
  else build(reinterpret_cast<GraphObject*>(argv[0])->record);
  return Ref::borrow(Py_None);
}

Ref draw(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* argv[9];
  bind_arguments(kDrawFn, args, kwargs, argv);
  const WalkArguments walk = accept_walk_arguments(argv, csr_graph_type(), node2vec_params_type(),
                                                   weighted_graph_type(module));
  const ArrayRef order_held = take(argv[2], "order", NpyType::UInt32, 1);
  const uint64_t seed = to_u64(argv[3], "seed");
  const uint64_t first = to_u64(argv[4], "first");
  const uint64_t last = to_u64(argv[5], "last");
  const ArrayRef block_of_held = take(argv[6], "block_of", NpyType::UInt8, 1);
  const uint32_t num_blocks = to_u32(argv[7], "num_blocks");
  std::optional<ArrayRef> visits_held;
  if (argv[8] != Py_None) visits_held.emplace(take(argv[8], "visits", NpyType::UInt64, 1));

  const uint32_t n = walk.num_nodes();
  const std::span<const uint32_t> order =
      vector_of<uint32_t>("order", order_held, NpyType::UInt32, false);
  const std::span<const uint8_t> block_of =
      vector_of<uint8_t>("block_of", block_of_held, NpyType::UInt8, false);
  const std::span<uint64_t> visits =
      visits_held ? count_vector("visits", *visits_held, true) : std::span<uint64_t>();
  if (num_blocks == 0 || num_blocks > kMaxBlocks)
    raise_error(ErrorKind::Value, "num_blocks must be between 1 and " + std::to_string(kMaxBlocks));
  if (block_of.size() != n || (visits_held && visits.size() != n))
    raise_error(ErrorKind::Value, "block_of and visits must have an entry per node");
  for (const uint8_t b : block_of)
    if (b >= num_blocks) raise_error(ErrorKind::Value, "block_of names a block beyond num_blocks");
  if (first > last || last > order.size() || last - first > kMaxEpisodeWalks)
    raise_error(ErrorKind::Value, "first and last must name at most " +
                                      std::to_string(kMaxEpisodeWalks) + " walks of the order");
  for (uint64_t k = first; k < last; ++k)
    if (order[k] >= n) raise_error(ErrorKind::Value, "order must hold nodes of the graph");
  if (walk.params.window <= 0) raise_error(ErrorKind::Value, "window must be at least 1");
  check_walk_parameter("p", walk.params.p);
  check_walk_parameter("q", walk.params.q);

  EpisodePairs pairs(block_of, num_blocks, walk.params.window);
  {
    InterpreterLockReleased unlocked;
    SharedPoolLease lease;
    std::unique_ptr<ThreadPool> own_pool;
    ThreadPool* pool;
    if (!walk.params.workers && (lease = lease_shared_pool()).pool) {
      pool = lease.pool;
    } else {
      const uint64_t w = walk.params.workers.value_or(0);
      own_pool = std::make_unique<ThreadPool>(
          w == 0 ? default_pool_size() : static_cast<size_t>(std::min<uint64_t>(w, kMaxPoolSize)));
      pool = own_pool.get();
    }
    BlockTasks tasks(*pool, nullptr);
    std::vector<std::vector<uint64_t>> counted(visits.empty() ? 0 : pool->size());
    walk.with_graph([&](const auto& record) {
      draw_pairs(record, ScheduledWalks{walk.params, order, seed}, first, last, pairs, tasks,
                 counted);
    });
    for (const std::vector<uint64_t>& c : counted)
      for (size_t i = 0; i < c.size(); ++i) visits[i] += c[i];
  }
  const std::span<const SkipGramPair> all = pairs.all_pairs();
  const std::span<const uint64_t> begins = pairs.bucket_begins();
  Ref pair_bytes = bytes_of(all.data(), all.size() * sizeof(SkipGramPair));
  Ref begin_bytes = bytes_of(begins.data(), begins.size() * sizeof(uint64_t));
  return checked(PyTuple_Pack(2, pair_bytes.get(), begin_bytes.get()));
}

// The graph's record as bytes: (offsets, targets), and for a weighted graph (slots, strength,
// lightest) too.
Ref graph_arrays(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  bind_arguments(kArraysFn, args, kwargs, argv);
  const bool weighted = PyObject_TypeCheck(argv[0], weighted_graph_type(module));
  if (!weighted) check_instance(argv[0], csr_graph_type(), "CSRGraph", "graph");
  const CsrRecord& csr = weighted ? reinterpret_cast<WeightedGraphObject*>(argv[0])->record.csr
                                  : reinterpret_cast<GraphObject*>(argv[0])->record;
  Ref offsets = bytes_of(csr.offsets.data(), csr.offsets.size() * sizeof(uint64_t));
  Ref targets = bytes_of(csr.targets.data(), csr.targets.size() * sizeof(uint32_t));
  if (!weighted) return checked(PyTuple_Pack(2, offsets.get(), targets.get()));
  const WeightedCsrRecord& record = reinterpret_cast<WeightedGraphObject*>(argv[0])->record;
  Ref slots = bytes_of(record.slots.data(), record.slots.size() * sizeof(AliasSlot));
  Ref strength = bytes_of(record.strength.data(), record.strength.size() * sizeof(double));
  Ref lightest = checked(PyFloat_FromDouble(record.lightest));
  return checked(
      PyTuple_Pack(5, offsets.get(), targets.get(), slots.get(), strength.get(), lightest.get()));
}

// A graph of the engine's classes from graph_arrays' arrays (any contiguous arrays of their
// types), checked and copied.
Ref graph_from_arrays(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* argv[5];
  bind_arguments(kFromArraysFn, args, kwargs, argv);
  const ArrayRef offsets_held = take(argv[0], "offsets", NpyType::UInt64, 1);
  const ArrayRef targets_held = take(argv[1], "targets", NpyType::UInt32, 1);
  const bool weighted = argv[2] && argv[2] != Py_None;
  std::optional<ArrayRef> slots_held, strength_held;
  double lightest = 1.0;
  if (weighted) {
    slots_held.emplace(take(argv[2], "slots", NpyType::UInt32, 2));
    strength_held.emplace(take(argv[3] ? argv[3] : Py_None, "strength", NpyType::Float64, 1));
    lightest = to_f64(argv[4] ? argv[4] : Py_None, "lightest");
  }
  CsrRecord csr =
      checked_record(vector_of<uint64_t>("offsets", offsets_held, NpyType::UInt64, false),
                     vector_of<uint32_t>("targets", targets_held, NpyType::UInt32, false));
  if (!weighted) return wrap_record<GraphObject>(csr_graph_type(), std::move(csr));
  const std::span<const AliasSlot> slots = record_rows<AliasSlot>("slots", *slots_held);
  const std::span<const double> strength =
      vector_of<double>("strength", *strength_held, NpyType::Float64, false);
  const uint32_t n = csr.num_nodes();
  bool fine = slots.size() == csr.targets.size() && strength.size() == n &&
              std::isfinite(lightest) && lightest > 0.0;
  for (const AliasSlot& slot : slots) fine = fine && slot.alias < n;
  for (const double w : strength) fine = fine && std::isfinite(w) && w >= 0.0;
  if (!fine)
    raise_error(ErrorKind::Value,
                "the arrays do not make a weighted graph: a slot per target, "
                "aliases that are nodes, a finite strength per node and a "
                "lightest arc above 0");
  WeightedCsrRecord record;
  record.csr = std::move(csr);
  record.slots = copied(slots);
  record.strength = copied(strength);
  record.lightest = lightest;
  return wrap_record<WeightedGraphObject>(weighted_graph_type(module), std::move(record));
}

Ref train(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* argv[15];
  bind_arguments(kTrainFn, args, kwargs, argv);
  const ArrayRef emb_held = take(argv[0], "embeddings", NpyType::Float32, 2);
  const ArrayRef hid_held = take(argv[1], "hidden_layer", NpyType::Float32, 2);
  const ArrayRef pairs_held = take(argv[2], "pairs", NpyType::UInt32, 2);
  const ArrayRef slots_held = take(argv[3], "slots", NpyType::UInt32, 2);
  const uint64_t seed = to_u64(argv[4], "seed");
  const uint64_t episode = to_u64(argv[5], "episode");
  const uint32_t input_block = to_u32(argv[6], "input_block");
  const uint32_t output_block = to_u32(argv[7], "output_block");
  const double start_alpha = to_f64(argv[8], "start_alpha");
  const double end_alpha = to_f64(argv[9], "end_alpha");
  const uint64_t first = to_u64(argv[10], "first");
  const uint64_t last = to_u64(argv[11], "last");
  const uint64_t epoch_walks = to_u64(argv[12], "epoch_walks");
  const uint64_t num_negative = to_u64(argv[13], "num_negative");
  const bool shared = to_bool(argv[14], "shared_negatives");
  if (first > last || last > epoch_walks)
    raise_error(ErrorKind::Value, "first and last must name walks of the epoch");
  const EpisodeAlphas alphas = episode_alphas(start_alpha, end_alpha, first, last, epoch_walks);
  const BucketKey key{seed, episode, input_block, output_block, alphas.first, alphas.last};

  const MatrixView embeddings = writable_matrix("embeddings", emb_held);
  const MatrixView hidden_layer = writable_matrix("hidden_layer", hid_held);
  const std::span<const SkipGramPair> pairs = record_rows<SkipGramPair>("pairs", pairs_held);
  const std::span<const AliasSlot> slots = record_rows<AliasSlot>("slots", slots_held);
  if (embeddings.cols != hidden_layer.cols)
    raise_error(ErrorKind::Value, "embeddings and hidden_layer must have as many columns");
  if (num_negative > kMaxScheduledNegatives)
    raise_error(ErrorKind::Value,
                "num_negative must be at most " + std::to_string(kMaxScheduledNegatives));
  if (slots.size() > hidden_layer.rows)
    raise_error(ErrorKind::Value, "slots has more rows than hidden_layer");
  for (const SkipGramPair& pair : pairs)
    if (pair.input >= embeddings.rows || pair.output >= hidden_layer.rows)
      raise_error(ErrorKind::Value, "pairs must index rows of embeddings and hidden_layer");
  if (pairs.empty()) return Ref::borrow(Py_None);
  const WeightedNegatives table(slots);
  {
    InterpreterLockReleased unlocked;
    BucketScratch scratch;
    train_bucket(pairs, BlockNegatives{table, {}}, key, num_negative,
                 shared ? BlockSchedule{}.pairs_per_shared_draw : 1, embeddings, hidden_layer,
                 scratch);
  }
  return Ref::borrow(Py_None);
}

// The interpreter's entry of a step: one try/catch, by entry().
template <Ref (*Step)(PyObject*, PyObject*, PyObject*)>
PyObject* step_fn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return entry([&] { return Step(module, args, kwargs); });
}

}  // namespace

// The block schedule one step at a time, by the functions train_epoch runs with
// deterministic=True, for callers that spread an epoch over machines.
PyMethodDef block_defaults_def = {
    "block_defaults",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<defaults>)),
    METH_VARARGS | METH_KEYWORDS,
    "block_defaults(*, num_nodes, max_walk_length)\n--\n\n"
    "(num_blocks, episode_walks) as train_epoch(deterministic=True) chooses them for an epoch\n"
    "of one walk from every node."};

PyMethodDef block_partition_def = {
    "block_partition",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<partition>)),
    METH_VARARGS | METH_KEYWORDS,
    "block_partition(*, num_nodes, members, block_begin)\n--\n\n"
    "Fills members (uint32, num_nodes) with the nodes block by block, ascending in a block, and\n"
    "block_begin (uint64, P + 1) with where each block starts; the partition depends on\n"
    "num_nodes and P alone."};

PyMethodDef block_order_def = {
    "block_order", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<order>)),
    METH_VARARGS | METH_KEYWORDS,
    "block_order(*, next_random, order)\n--\n\n"
    "Shuffles order (uint32, the nodes) as an epoch with that next_random does; returns the\n"
    "seed that keys its walks."};

PyMethodDef block_negatives_def = {
    "block_negatives", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<table>)),
    METH_VARARGS | METH_KEYWORDS,
    "block_negatives(*, graph, members, ns_exponent, noise_counts, slots)\n--\n\n"
    "Fills slots (uint32, (len(members), 2)) with the block's table of negatives: entry i is\n"
    "members[i], by noise_counts (uint64, one per node) or, when None, by degree, raised to\n"
    "ns_exponent."};

PyMethodDef block_draw_def = {
    "block_draw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<draw>)),
    METH_VARARGS | METH_KEYWORDS,
    "block_draw(*, graph, params, order, seed, first, last, block_of, num_blocks, visits)\n"
    "--\n\n"
    "Walks order[first:last] of the epoch and their pairs; returns (pairs, bucket_begin) as\n"
    "bytes: (input, output) uint32 node pairs, bucket (i, j) = i * P + j at\n"
    "[bucket_begin[b], bucket_begin[b + 1]) (uint64), in walk order. visits (uint64, one per\n"
    "node, or None) counts the walks' nodes. Releases the interpreter lock while drawing."};

PyMethodDef block_train_def = {
    "block_train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<train>)),
    METH_VARARGS | METH_KEYWORDS,
    "block_train(*, embeddings, hidden_layer, pairs, slots, seed, episode, input_block,\n"
    "output_block, start_alpha, end_alpha, first, last, epoch_walks, num_negative,\n"
    "shared_negatives)\n--\n\n"
    "Trains a bucket's pairs ((m, 2) uint32 row indices of the two matrices), all that walks\n"
    "first..last of the epoch gave it, with negatives from the output block's table (slots),\n"
    "whose entries are rows of hidden_layer. Releases the interpreter lock while training."};

PyMethodDef graph_arrays_def = {
    "graph_arrays",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<graph_arrays>)),
    METH_VARARGS | METH_KEYWORDS,
    "graph_arrays(*, graph)\n--\n\n"
    "The graph's record as bytes, (offsets, targets) (uint64, uint32), and for a\n"
    "WeightedCSRGraph also (slots, strength, lightest) (uint32 pairs, float64)."};

PyMethodDef graph_from_arrays_def = {
    "graph_from_arrays",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fn<graph_from_arrays>)),
    METH_VARARGS | METH_KEYWORDS,
    "graph_from_arrays(*, offsets, targets, slots=None, strength=None, lightest=None)\n--\n\n"
    "The graph of those arrays, checked and copied: a CSRGraph, or with slots a\n"
    "WeightedCSRGraph."};

}  // namespace velmor::py
