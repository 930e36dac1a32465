// Node2vec training: the biased walk, the skip-gram negative-sampling update and the epoch
// driver. Plain C++: the Python boundary converts its arguments into the values below, and no
// worker thread ever sees a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "graph.hpp"
#include "random.hpp"

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

// A 2-D float32 matrix in the caller's memory. Element [r, c] is
// data[r * row_stride + c * col_stride]; strides are in elements and may be negative or zero.
// Rows are written by all worker threads at once without locks (Hogwild).
struct MatrixView {
  float* data = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 1;

  float* row(size_t r) const { return data + static_cast<ptrdiff_t>(r) * row_stride; }
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

// A thread's scratch for training, reused across walks and chunks so that nothing is allocated
// per start node once it has grown: the error buffer (hidden_layer.cols entries, cleared before
// every pair) and the draw schedule of the current walk. The vectors only grow; the schedule's
// live length is kept in pair_begin.back().
struct TrainScratch {
  std::vector<float> error;
  std::vector<uint32_t> inputs;      // context node of each pair: its embeddings row is the input
  std::vector<uint32_t> negatives;   // num_negative per pair, in draw order
  std::vector<uint32_t> pair_begin;  // pairs of walk position i: [pair_begin[i], pair_begin[i+1])
};

// Skip-gram with negative sampling over one walk, updating rows of both matrices in place.
// Precondition: scratch.error.size() == hidden_layer.cols. A row index beyond a matrix or
// differing column counts panic at the first access that needs them; earlier updates stay.
// The generator is advanced by exactly the draws of the walk's pairs, in their order.
void train_walk(const std::vector<uint32_t>& walk, Lcg48& rng, float alpha, int32_t window,
                uint64_t num_negative, int32_t num_nodes, const MatrixView& embeddings,
                const MatrixView& hidden_layer, TrainScratch& scratch);

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
