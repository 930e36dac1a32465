// The node2vec walk: a second-order random walk on the plain or the weighted graph, biased by
// the return parameter p and the in-out parameter q.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "graph.hpp"
#include "random.hpp"

namespace velmor {

// Acceptance thresholds of the second-order walk, fixed for a call.
struct WalkBias {
  float return_threshold;  // proposal equal to the previous node
  float near_threshold;    // proposal adjacent to the previous node
  float far_threshold;     // any other proposal
  bool uniform;            // p and q both 1: plain uniform walk, no acceptance draws

  static WalkBias from_params(double p, double q);
};

// Replaces `walk` with a walk of at most max_walk_length nodes from `start`, drawn by rejection
// sampling from `rng`: a step from cur, having come from prev, proposes x in proportion to the
// weight of the arc cur -> x (on the plain graph, uniformly over cur's arcs) and accepts it with
// the bias's threshold for x (return, adjacent to prev, or neither). The first step takes the
// proposal as it is. Precondition: start < graph.num_nodes(). Allocates only when `walk` has
// less capacity than the walk needs, and then never more than max_walk_length entries.
// `stop`, when not null, is read after every kWalkStopInterval proposals: once it is raised the
// walk ends where it is, shorter than drawn, and the caller must not take it for a whole walk.
// Without it, a walk of billions of steps could not be interrupted.
void random_walk(const CsrRecord& graph, uint32_t start, uint64_t max_walk_length,
                 const WalkBias& bias, Lcg48& rng, std::vector<uint32_t>& walk,
                 const std::atomic<bool>* stop = nullptr);
void random_walk(const WeightedCsrRecord& graph, uint32_t start, uint64_t max_walk_length,
                 const WalkBias& bias, Lcg48& rng, std::vector<uint32_t>& walk,
                 const std::atomic<bool>* stop = nullptr);

// Proposals between two reads of a walk's stop flag: well under a millisecond of walking.
inline constexpr uint32_t kWalkStopInterval = 1u << 16;

// Refuses, with Error(Value) naming the parameter, a p or q for which a walk step could never
// finish. The walk uses p and q rounded to single precision and their reciprocals: a value that
// is not a finite number above 0, or whose single-precision value or reciprocal is not, leaves a
// class of proposals that is never accepted, and a step that could spin for ever.
void check_walk_parameter(const char* name, double v);

}  // namespace velmor
