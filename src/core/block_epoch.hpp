// An epoch trained by the block schedule (block_schedule.hpp): the policy of the epoch driver
// (epoch.hpp) that gives the same embedding for any number of threads. The driver checks the
// arguments, orders the start nodes, picks the pool and counts the visits; this runs the walks
// and the training on that pool.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "alias.hpp"
#include "block_schedule.hpp"
#include "epoch.hpp"
#include "negatives.hpp"
#include "thread_pool.hpp"

namespace velmor {

struct BlockEpoch {
  const Node2VecParams& params;
  const MatrixView& embeddings;
  const MatrixView& hidden_layer;
  // Walk k starts at order[k]; its generator is keyed by (seed, k).
  std::span<const uint32_t> order;
  uint64_t seed;
  BlockSchedule schedule;  // with num_blocks and episode_walks resolved (non-zero)
  NegativeDraws negative_draws;
  // The negatives' table over the given nodes: entry i draws members[i] in proportion to that
  // node's weight as a negative (count or degree, raised to the exponent).
  std::function<WeightedNegatives(std::span<const uint32_t> members)> noise_over;
  ThreadPool& pool;
  EpochControl* control;
  // One vector per worker, or none: visits are added to the worker's own vector (sized to the
  // graph at its first walk).
  std::vector<std::vector<uint64_t>>& visits;
};

// Trains the epoch's walks, episode by episode. Within an episode, after its walks are drawn
// and sorted, bucket (i, j) trains its pairs in order with negatives drawn from block j by a
// generator keyed by (seed, episode, i, j), at a learning rate that falls linearly with the
// pair's place in the bucket across the episode's share of [start_alpha, end_alpha]. A raised
// control->stop ends the epoch after the bucket or walk chunk in hand; control->walks_done
// rises with every sub-round. Rethrows the first failure of a worker after the others have
// stopped. First refuses, with Error(Value), matrices whose rows share memory (the two matrices
// one array, or rows of one overlapping): threads would then race. Preconditions: the driver's
// checks have passed, and params.num_negative <= kMaxScheduledNegatives.
void train_blocks(const CsrRecord& graph, const BlockEpoch& epoch);
void train_blocks(const WeightedCsrRecord& graph, const BlockEpoch& epoch);

// The most negatives per pair the schedule draws ahead of training.
inline constexpr uint64_t kMaxScheduledNegatives = uint64_t{1} << 22;

}  // namespace velmor
