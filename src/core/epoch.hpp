// The epoch driver: one round of walks, one from every node in a shuffled order, each walk
// (walk.hpp) trained by skip-gram (skipgram.hpp) on a pool of worker threads. Plain C++: the
// Python boundary converts its arguments into the values below, and no worker thread ever sees
// a Python object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "block_schedule.hpp"
#include "graph.hpp"
#include "skipgram.hpp"
#include "views.hpp"

namespace velmor {

struct Node2VecParams {
  double p = 1.0;
  double q = 1.0;
  double start_alpha = 0.025;
  double end_alpha = 0.0001;
  int32_t window = 10;
  uint64_t batch_size = 1;
  uint64_t max_walk_length = 80;
  uint64_t num_negative = 5;
  std::optional<uint64_t> workers;
};

// Lets the thread that runs an epoch watch it and stop it while the workers train.
struct EpochControl {
  // Raised by any thread: each worker ends the walk in hand within a fraction of a millisecond
  // of walking or training (a walk cut short is neither copied, counted nor trained further)
  // and starts no other.
  std::atomic<bool> stop{false};
  // Walks trained so far in this epoch; any thread may read it while the epoch runs.
  std::atomic<uint64_t> walks_done{0};
  // Called on the thread that called train_epoch, about every `interval` while the workers
  // run, never on a worker; may raise `stop`. Must not throw.
  std::function<void()> on_wait;
  std::chrono::milliseconds interval{100};
};

// What an epoch may do beyond the plain one; the defaults give the plain epoch, draw for draw.
struct EpochOptions {
  // Negatives in proportion to max(count, 1)^ns_exponent over `noise_counts` (one entry per
  // node; empty: each node's out-degree, or on a weighted graph its strength, floored at the
  // lightest arc), drawn from a WeightedNegatives built before the workers start. 0 keeps the
  // uniform draw itself (the same draws as the plain epoch).
  double ns_exponent = 0.0;
  std::span<const uint64_t> noise_counts;
  // One entry per node, or empty: after the epoch, each node's visits in its walks (start
  // node included) are added here. Counted per thread during the epoch, added once at its end,
  // so `visits` may be the very memory of `noise_counts`.
  std::span<uint64_t> visits;
  // num_nodes rows of max_walk_length entries, row-major, or empty: the walk from the s-th
  // node of the epoch's shuffled order is copied into row s, by the worker that draws it, with
  // -1 in the entries past its end. Rows of walks that a stop leaves undrawn, or cuts short, are
  // not touched.
  std::span<int32_t> walks;
  // Whether each pair draws its own negatives or a walk position's pairs share theirs.
  NegativeDraws negative_draws = NegativeDraws::per_pair;
  // Set: the epoch trains by the block schedule (block_epoch.hpp), whose embedding does not
  // depend on the number of workers, with each block's negatives drawn as above from that
  // block's nodes; per_position draws then mean runs of a bucket's pairs sharing negatives.
  // batch_size is not used. Ignored when nothing is trained.
  std::optional<BlockSchedule> blocks;
  EpochControl* control = nullptr;
  // False: the walks are drawn, counted and copied, nothing is trained and the matrices are not
  // touched (they may be empty). word2vec counts its corpus before training; this is that.
  bool train = true;
  // The nodes the epoch's walks start from, one walk per entry, in a shuffled order; empty: one
  // walk from every node (the plain epoch, draw for draw). With start nodes, `walks` has a row
  // per entry. An update of a grown graph walks from its new nodes alone this way.
  std::span<const uint32_t> start_nodes;
  // One entry per node, or empty: the rows of nodes with a non-zero entry stay bit-identical in
  // both matrices (train_walk's `frozen`).
  std::span<const uint8_t> frozen;
};

// One epoch. First refuses, with Error(Value), an ns_exponent that is not a finite number
// >= 0, counts or walks of the wrong length, and p or q for which a step could never finish (not a
// finite number above 0, or 0 or infinite in single precision, or with an infinite reciprocal
// there). Then shuffles the nodes with from_seed(next_random), cuts them into chunks of
// batch_size and runs the chunks on the shared pool (workers empty; a pool of the default size
// for this call when another call is using it) or on a pool started and joined for this call.
// Returns when every chunk has ended or, once options.control->stop is raised, when the walks
// in hand have; rethrows the first chunk failure after the chunks in flight have finished.
// Preconditions: the matrices stay valid and are not resized during the call (graphs above
// kMaxNodes nodes are refused with Error(Overflow)). Thread-safety: calls on different
// matrices may run at once from different threads.
// Frozen marks of the wrong length and a start node not below num_nodes are refused as well,
// with Error(Value); with start nodes, those are what is shuffled and cut into chunks.
// With options.blocks set, the epoch also refuses a schedule out of its bounds and frozen rows
// (the schedule does not take them), before anything is trained, and runs the schedule's
// episodes on the pool instead of chunks.
void train_epoch(const CsrRecord& graph, const Node2VecParams& params, const MatrixView& embeddings,
                 const MatrixView& hidden_layer, uint64_t next_random,
                 const EpochOptions& options = {});
// The same epoch on a weighted graph: walks by random_walk's weighted proposal.
void train_epoch(const WeightedCsrRecord& graph, const Node2VecParams& params,
                 const MatrixView& embeddings, const MatrixView& hidden_layer, uint64_t next_random,
                 const EpochOptions& options = {});

// The order of an epoch's walks: `order` (the nodes, or the start nodes) shuffled in place by the
// generator from_seed(next_random). Returns that generator's next draw, the seed that keys the
// epoch's walks (each chunk's, or under the block schedule each walk's).
uint64_t shuffle_epoch_order(std::span<uint32_t> order, uint64_t next_random);

// The negatives' table of one block of the schedule, as train_epoch builds it: entry i draws
// members[i] in proportion to max(noise_counts[members[i]], 1)^exponent, or without counts to
// its out-degree (on a weighted graph its strength, floored at the lightest arc) raised to it.
// Preconditions: members is not empty and below the graph's node count; noise_counts is empty
// or has an entry per node; exponent is finite and >= 0.
WeightedNegatives block_noise_table(const CsrRecord& graph, std::span<const uint64_t> noise_counts,
                                    double exponent, std::span<const uint32_t> members);
WeightedNegatives block_noise_table(const WeightedCsrRecord& graph,
                                    std::span<const uint64_t> noise_counts, double exponent,
                                    std::span<const uint32_t> members);

}  // namespace velmor
