// Skip-gram with negative sampling over one walk, or over a run of pairs that a schedule has
// sorted: the per-pair updates of the two matrices, on a worker thread, with no Python object in
// reach.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "negatives.hpp"
#include "random.hpp"
#include "vec_kernels.hpp"
#include "views.hpp"

namespace velmor {

// Work that a walk's training interleaves with its own, a piece at a time: the epoch driver
// draws its next walk this way, so that the walk's misses wait while training computes.
class InterleavedWork {
 public:
  // Called by train_walk once the walk's draws are made and before it trains, with the generator
  // as those draws left it; not called when the walk draws while it trains (too long a walk to
  // schedule).
  virtual void begin(const Lcg48& rng) = 0;
  // One piece, called about twice per walk position after begin(): at the position's start and
  // once part of its pairs are trained.
  virtual void advance() = 0;

 protected:
  ~InterleavedWork() = default;
};

// A thread's scratch for training, reused across walks and chunks so that nothing is allocated
// per start node once it has grown: the error buffer (hidden_layer.cols entries, cleared before
// every pair) and the draw schedule of the current walk. The vectors only grow; the schedule's
// live length is kept in pair_begin.back().
struct TrainScratch {
  std::vector<float> error;
  std::vector<uint32_t> inputs;      // context node of each pair: its embeddings row is the input
  std::vector<uint32_t> negatives;   // num_negative per pair (or per position), in draw order
  std::vector<uint32_t> pair_begin;  // pairs of walk position i: [pair_begin[i], pair_begin[i+1])
  std::vector<float> shadow;         // with frozen rows: where their discarded updates go
  InterleavedWork* interleaved = nullptr;  // when set, train_walk runs it (see InterleavedWork)
};

// Which pairs of a walk draw their own negatives.
enum class NegativeDraws {
  // Every (context, centre) pair draws num_negative negatives: word2vec's skip-gram.
  per_pair,
  // The pairs of one walk position (one centre, its window's contexts) share one draw of
  // num_negative negatives, as pWord2Vec shares them. A position touches num_negative random
  // rows instead of num_negative per context: on matrices larger than the caches, where those
  // rows are the misses that bound training, that is several times faster. The position then
  // trains by blocks of up to kBlockContexts contexts: with C their embeddings rows and T the
  // hidden_layer rows of the centre (label 1) and the negatives (label 0), scores S = C T^T and
  // K = C C^T are computed once, and C and T are each loaded and stored once per block instead
  // of once per pair. The result is the pair-by-pair one (per_position_pairwise) up to
  // rounding: each context's scores take in the target rows as the contexts before it moved
  // them (through K), its row the same (see PairTrainer::block). pWord2Vec's plain block
  // (every context scored against the targets as the position found them) overshoots: on
  // BlogCatalog it cost link prediction 0.05 of AUC with a whole window in one block. A
  // negative drawn twice, more than kMaxBlockTargets - 1 negatives, strided matrices or rows
  // of one matrix overlapping the other's train pair by pair, as per_position_pairwise.
  per_position,
  // The draws of per_position, each pair then trained by the per-pair update with the shared
  // negatives (the targets updated by each pair in turn): the shared path before the block
  // update, kept to compare the two.
  per_position_pairwise,
};

// The most contexts of one position block: the Gram matrix of a block grows with its square,
// and the target rows' traffic falls with its size; 4 measured fastest.
inline constexpr size_t kBlockContexts = 4;
static_assert(kBlockContexts <= kMaxBlockContexts);

// Skip-gram with negative sampling over one walk, updating rows of both matrices in place;
// negatives come from `negatives` (UniformNegatives or WeightedNegatives), per pair or per
// position. Precondition: scratch.error.size() == hidden_layer.cols. A row index beyond a matrix or
// differing column counts panic at the first access that needs them; earlier updates stay.
// The generator is advanced by exactly the walk's draws, in order: for each position its window
// draw, then (per_pair) each of its pairs' negatives, or (per_position and
// per_position_pairwise, when the position has a pair) the position's negatives. Beyond 2^22
// negatives per pair, too many to hold, every pair draws its own as it goes, whatever `draws`
// says.
// `vec` is the kernel table of the contiguous rows: the processor's own by default; tests pass
// each table the processor supports.
// `frozen`, empty or one entry per node: a node v with frozen[v] != 0 has its rows of both
// matrices read but never written, so they stay bit-identical while the other rows learn
// against them (an update of a grown graph trains its new nodes this way). Its updates are
// computed as usual and dropped, so the rows it trains against get the gradient they would
// get anyway. A pair whose context and centre are both frozen is skipped, with its negatives'
// draws: it could only train the output rows of its negatives. An empty `frozen` costs the
// plain update nothing (it is a separate instantiation, chosen once per walk).
// `stop`, when not null, is read every kTrainStopInterval walk positions: once it is raised the
// walk's training ends there, part done, so that one very long walk cannot hold off a stop.
template <class Negatives>
void train_walk(const std::vector<uint32_t>& walk, Lcg48& rng, float alpha, int32_t window,
                uint64_t num_negative, const Negatives& negatives, const MatrixView& embeddings,
                const MatrixView& hidden_layer, TrainScratch& scratch,
                NegativeDraws draws = NegativeDraws::per_pair, const VecKernels& vec = kernels(),
                std::span<const uint8_t> frozen = {}, const std::atomic<bool>* stop = nullptr);

// Walk positions trained between two reads of the stop flag: a few milliseconds at most.
inline constexpr int64_t kTrainStopInterval = 1024;

// The positions [first, last) of a walk of `len` nodes that train with position i, i itself
// included (it pairs with the others, not with itself): word2vec's window, shrunk by one draw of
// `rng` from `window` (window > 0). train_walk draws every position's window by this.
struct ContextSpan {
  int64_t first;
  int64_t last;
};
inline ContextSpan draw_context(Lcg48& rng, const Lcg48::FixedBound& window_bound, int32_t window,
                                int64_t i, int64_t len) {
  const int64_t b = rng.next_int(window_bound);
  return {std::max<int64_t>(0, i - window + b), std::min<int64_t>(i + window + 1 - b, len)};
}

// One skip-gram pair: the context's embeddings row is the input, the centre's hidden_layer row
// the output (the one trained with label 1).
struct SkipGramPair {
  uint32_t input;
  uint32_t output;
};

// Trains `pairs` in order, at the learning rate alpha, by the per-pair update of train_walk:
// pair k with the num_negative negatives at negatives + (k / pairs_per_draw) * num_negative, so
// each run of pairs_per_draw (>= 1) consecutive pairs shares one draw. A negative equal to the
// pair's output is skipped. Preconditions and failures as train_walk's, with error in place of
// scratch.error. Draws nothing: the caller has drawn the negatives.
void train_pairs(std::span<const SkipGramPair> pairs, const uint32_t* negatives,
                 uint64_t num_negative, uint64_t pairs_per_draw, float alpha,
                 const MatrixView& embeddings, const MatrixView& hidden_layer, float* error,
                 const VecKernels& vec = kernels());

}  // namespace velmor
