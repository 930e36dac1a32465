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

// random_walk's walk one step at a time, for a caller that interleaves the steps with other
// work: the same generator gives the same draws in the same order, so the same walk. On graphs
// larger than the caches a step waits on two dependent misses, the offsets of the node just
// reached and then the proposed arc; step() ends by asking for the first of the next step's, and
// prefetch() for the rest (it reads the offsets, peeks at the next proposal and draws nothing),
// so that work put between step(), prefetch() and the next step() hides both.
// Graph is CsrRecord or WeightedCsrRecord. Preconditions: the graph, and `walk` from begin() to
// the walk's end, stay in place. Thread-safety: one per thread; the graph is only read.
template <class Graph>
class WalkSteps {
 public:
  WalkSteps(const Graph& graph, uint64_t max_walk_length, const WalkBias& bias,
            const std::atomic<bool>* stop = nullptr);

  // Starts a walk from `start` (below the graph's num_nodes) into `walk`, which it clears,
  // drawing from a copy of `rng`.
  void begin(uint32_t start, const Lcg48& rng, std::vector<uint32_t>& walk);
  // Draws the walk's next node. False once the walk has ended (max_walk_length nodes, a node
  // without arcs, or a raised stop, as random_walk ends it), and for every call after that.
  bool step();
  // Asks for the memory the next step() reads; draws nothing.
  void prefetch() const;
  // The generator as the walk's draws so far have left it.
  const Lcg48& rng() const { return rng_; }

 private:
  // Counts proposals down to the next read of the stop flag; a raised flag ends the walk.
  bool stopped();

  const Graph& graph_;
  uint64_t max_walk_length_;
  WalkBias bias_;
  float lo_, hi_;  // has_edge is needed only for a coin in [lo_, hi_)
  const std::atomic<bool>* stop_;
  uint32_t countdown_ = kWalkStopInterval;
  Lcg48 rng_ = Lcg48::from_seed(0);
  std::vector<uint32_t>* walk_ = nullptr;
  bool done_ = true;
};

// Refuses, with Error(Value) naming the parameter, a p or q for which a walk step could never
// finish. The walk uses p and q rounded to single precision and their reciprocals: a value that
// is not a finite number above 0, or whose single-precision value or reciprocal is not, leaves a
// class of proposals that is never accepted, and a step that could spin for ever.
void check_walk_parameter(const char* name, double v);

}  // namespace velmor
