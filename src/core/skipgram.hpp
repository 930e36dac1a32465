// Skip-gram with negative sampling over one walk: the per-pair updates of the two matrices, on
// a worker thread, with no Python object in reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "negatives.hpp"
#include "random.hpp"
#include "views.hpp"

namespace velmor {

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

// Skip-gram with negative sampling over one walk, updating rows of both matrices in place;
// each pair's num_negative negatives come from `negatives` (UniformNegatives or AliasTable).
// Precondition: scratch.error.size() == hidden_layer.cols. A row index beyond a matrix or
// differing column counts panic at the first access that needs them; earlier updates stay.
// The generator is advanced by exactly the draws of the walk's pairs, in their order: for each
// position its window draw, then for each of its pairs its negatives.
template <class Negatives>
void train_walk(const std::vector<uint32_t>& walk, Lcg48& rng, float alpha, int32_t window,
                uint64_t num_negative, const Negatives& negatives, const MatrixView& embeddings,
                const MatrixView& hidden_layer, TrainScratch& scratch);

}  // namespace velmor
