// The steps of an episode of the block schedule (block_schedule.hpp), each callable on its own:
// draw a range of the episode's walks into buckets (draw_pairs), and train one bucket
// (train_bucket). The one-machine epoch (block_epoch.hpp) runs them on its thread pool; a
// cluster runs the very same steps on machines that each hold only some blocks of the matrices,
// and gets the same bits, because every draw is keyed by what it serves and every order is fixed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "epoch.hpp"
#include "negatives.hpp"
#include "pair_buckets.hpp"
#include "thread_pool.hpp"

namespace velmor {

// Keys that keep the generators of walks and of negatives apart.
enum : uint64_t { kWalkKey = 1, kNegativeKey = 2 };

// Tasks [0, count) taken one at a time by a pool's workers, until all are taken or the work is
// stopped: by control->stop, or by a task that threw (the first failure is rethrown by run()
// after the other workers have stopped, and stops every later run()).
// Thread-safety: run() is called by one thread at a time; stopped() by any.
class BlockTasks {
 public:
  BlockTasks(ThreadPool& pool, EpochControl* control) : pool_(pool), control_(control) {}

  ThreadPool& pool() const { return pool_; }
  EpochControl* control() const { return control_; }

  bool stopped() const {
    return failed_.load(std::memory_order_relaxed) ||
           (control_ && control_->stop.load(std::memory_order_relaxed));
  }

  // job(worker, task) for each task. control->on_wait is called about every interval across
  // runs, also when each run is shorter than that.
  template <class Job>
  void run(uint64_t count, Job&& job) {
    std::atomic<uint64_t> next{0};
    const bool watched = control_ && control_->on_wait;
    const auto on_wait = [&] {
      last_wait_ = std::chrono::steady_clock::now();
      control_->on_wait();
    };
    pool_.run(
        [&](size_t worker) {
          try {
            while (!stopped()) {
              const uint64_t task = next.fetch_add(1, std::memory_order_relaxed);
              if (task >= count) break;
              job(worker, task);
            }
          } catch (...) {
            failed_.store(true, std::memory_order_relaxed);
            throw;
          }
        },
        watched ? std::function<void()>(on_wait) : std::function<void()>(),
        watched ? control_->interval : std::chrono::milliseconds(0));
    if (watched && std::chrono::steady_clock::now() - last_wait_ >= control_->interval) on_wait();
  }

 private:
  ThreadPool& pool_;
  EpochControl* const control_;
  std::atomic<bool> failed_{false};
  std::chrono::steady_clock::time_point last_wait_ = std::chrono::steady_clock::now();
};

// The walks of a scheduled epoch: walk k starts at order[k], drawn (and its windows) by the
// generator keyed by (seed, kWalkKey, k).
struct ScheduledWalks {
  const Node2VecParams& params;  // p, q and max_walk_length
  std::span<const uint32_t> order;
  uint64_t seed;
};

// Draws the walks [first, last) of the epoch into `pairs`, begun here for last - first walks,
// chunk by chunk on the tasks' pool, then sorts their pairs into buckets: bucket (i, j) holds
// its pairs in walk order. Ranges that follow each other thus give, bucket by bucket, the
// pairs of their union when concatenated in order. When `visits` has one vector per worker,
// each walk's nodes are counted into its worker's vector (sized to the graph at its first walk).
// A stop may cut a walk short; the pairs are then left unsorted and must not be trained.
// Preconditions: first <= last <= order.size(); the windows of `pairs` are params.window.
template <class Graph>
void draw_pairs(const Graph& graph, const ScheduledWalks& walks, uint64_t first, uint64_t last,
                EpisodePairs& pairs, BlockTasks& tasks, std::vector<std::vector<uint64_t>>& visits);

// The negatives of one output block: its table, whose entry e stands for row rows[e] of
// hidden_layer, or for row e when `rows` is empty (a matrix of the block's rows alone).
struct BlockNegatives {
  const WeightedNegatives& table;
  std::span<const uint32_t> rows;

  void fill(Lcg48& rng, uint32_t* out, size_t count) const {
    table.fill(rng, out, count);
    if (!rows.empty())
      for (size_t i = 0; i < count; ++i) out[i] = rows[out[i]];
  }
};

// Which bucket of which episode, and the episode's share of the learning rate.
struct BucketKey {
  uint64_t seed;  // the epoch's, as in ScheduledWalks
  uint64_t episode;
  uint32_t input_block;
  uint32_t output_block;
  double alpha_first;  // the rate at the bucket's first pair
  double alpha_last;   // ... and past its last
};

// The rates of walks [first, last) of an epoch of `epoch_walks` walks whose rate falls linearly
// from start_alpha to end_alpha: {at walk first, at walk last}, the alpha range of their buckets.
struct EpisodeAlphas {
  double first;
  double last;
};
EpisodeAlphas episode_alphas(double start_alpha, double end_alpha, uint64_t first, uint64_t last,
                             uint64_t epoch_walks);

// A worker's buffers for train_bucket, reused across buckets.
struct BucketScratch {
  std::vector<float> error;
  std::vector<uint32_t> negatives;
};

// Pairs of a bucket trained at one learning rate, with their negatives drawn together before
// them: runs of 2^16 / num_negative pairs, between 1 and 1024.
uint64_t bucket_run_pairs(uint64_t num_negative);

// Trains a bucket's pairs (all of them, in walk order) by train_pairs, num_negative negatives a
// draw and pairs_per_draw pairs sharing a draw, the negatives drawn from `negatives` by the
// generator keyed by (seed, kNegativeKey, episode, input_block, output_block), run by run
// (bucket_run_pairs); a run trains at the rate that falls linearly from alpha_first to
// alpha_last with the place of its first pair among the bucket's pairs. Pair indices are rows
// of the given matrices: global node ids on one machine, a node's rank in its block on a
// machine that holds the blocks alone. Failures as train_pairs's.
void train_bucket(std::span<const SkipGramPair> pairs, const BlockNegatives& negatives,
                  const BucketKey& key, uint64_t num_negative, uint64_t pairs_per_draw,
                  const MatrixView& embeddings, const MatrixView& hidden_layer,
                  BucketScratch& scratch);

}  // namespace velmor
