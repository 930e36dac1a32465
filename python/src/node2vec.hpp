// Node2vec training: the biased walk and the epoch driver (the skip-gram update of a walk is in
// skipgram.hpp). Plain C++: the Python boundary converts its arguments into the values below,
// and no worker thread ever sees a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "graph.hpp"
#include "random.hpp"
#include "skipgram.hpp"

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

// Acceptance thresholds of the second-order walk, fixed for a call.
struct WalkBias {
  float return_threshold;  // proposal equal to the previous node
  float near_threshold;    // proposal adjacent to the previous node
  float far_threshold;     // any other proposal
  bool uniform;            // p and q both 1: plain uniform walk, no acceptance draws

  static WalkBias from_params(double p, double q);
};

// Replaces `walk` with a walk of at most max_walk_length nodes from `start`, drawn by rejection
// sampling from `rng`. Precondition: start < graph.num_nodes(). Allocates only when `walk` has
// less capacity than the walk needs.
void random_walk(const CsrRecord& graph, uint32_t start, uint64_t max_walk_length,
                 const WalkBias& bias, Lcg48& rng, std::vector<uint32_t>& walk);

// One epoch. First refuses p or q for which a walk step could never finish (not a finite number
// above 0, or 0 or infinite in single precision, or with an infinite reciprocal there) with
// Error(Value). Then shuffles the nodes with from_seed(next_random), cuts them into chunks of
// batch_size and runs the chunks on the shared pool (workers empty) or on a pool started and
// joined for this call. Returns when every chunk has ended; rethrows the first chunk failure
// after the chunks in flight have finished. Preconditions: the matrices stay valid and are not
// resized during the call (graphs above INT32_MAX nodes are refused with Error(Overflow)).
void train_epoch(const CsrRecord& graph, const Node2VecParams& params,
                 const MatrixView& embeddings, const MatrixView& hidden_layer,
                 uint64_t next_random);

}  // namespace velmor
