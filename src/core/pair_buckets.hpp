// One episode of the block schedule (block_schedule.hpp): its walks, and their skip-gram pairs
// sorted into P x P buckets by (block of the input, block of the output) with an order that no
// thread can change.
//
// The sort is a counting sort over fixed chunks of kChunkWalks walks. First every walk is added
// (add_walk): the walk is kept with the generator that will draw its windows, and its pairs are
// counted into its chunk's buckets. plan() then gives every (chunk, bucket) its place, and
// place(c) writes chunk c's pairs there, drawing the same windows again. A bucket thus holds its
// pairs in walk order, then position order, then context order, whichever thread handled which
// chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "block_schedule.hpp"
#include "random.hpp"
#include "skipgram.hpp"

namespace velmor {

class EpisodePairs {
 public:
  static constexpr uint64_t kChunkWalks = 256;

  // Preconditions: window > 0; `blocks` outlives this object.
  EpisodePairs(const BlockPartition& blocks, int32_t window);
  // The same by each node's block (block_of[v] < num_blocks <= kMaxBlocks), for a caller that
  // keeps the partition's map but not the partition; block_of outlives this object.
  EpisodePairs(std::span<const uint8_t> block_of, uint32_t num_blocks, int32_t window);

  // Starts an episode of `num_walks` walks, forgetting the last one (buffers are kept).
  void begin(uint64_t num_walks);
  uint64_t num_walks() const { return num_walks_; }
  uint64_t num_chunks() const { return chunks_.size(); }

  // Keeps walk k of the episode, whose windows `rng` draws, and counts its pairs. Walks of one
  // chunk (k / kChunkWalks) are added by one thread at a time, in increasing k; different chunks
  // may be added at once. Each walk is added once.
  void add_walk(uint64_t k, std::span<const uint32_t> walk, const Lcg48& rng);

  // After every walk is added, before any place(): the buckets' places and room for the pairs.
  // Allocates; the pair storage only grows across episodes.
  void plan();

  // Writes chunk c's pairs into their buckets. Different chunks may be placed at once.
  void place(uint64_t c);

  // The pairs of a bucket, after every chunk is placed.
  std::span<const SkipGramPair> bucket(uint32_t input_block, uint32_t output_block) const;
  // Every pair, bucket after bucket; bucket b = i * P + j holds [bucket_begins()[b], [b + 1]).
  std::span<const SkipGramPair> all_pairs() const {
    return {pairs_.get(), static_cast<size_t>(num_pairs())};
  }
  std::span<const uint64_t> bucket_begins() const { return bucket_begin_; }
  uint64_t num_pairs() const { return bucket_begin_.back(); }

  // Bytes held by the buffers now (walks, counts and pairs).
  size_t bytes() const;

 private:
  struct Chunk {
    std::vector<uint32_t> nodes;       // its walks, one after the other
    std::vector<uint64_t> walk_begin;  // walk w of the chunk: nodes [walk_begin[w], [w + 1])
    std::vector<Lcg48> window_rngs;    // the generator of each walk's windows
    std::vector<uint64_t> counts;      // pairs per bucket; after plan(), each bucket's place
  };

  // f(bucket, pair) for every pair of a walk, in order, its windows drawn by rng.
  template <class F>
  void for_each_pair(std::span<const uint32_t> walk, Lcg48 rng, F&& f) const;

  const std::span<const uint8_t> block_of_;
  const uint32_t num_blocks_;
  const int32_t window_;
  const Lcg48::FixedBound window_bound_;
  const uint32_t num_buckets_;
  uint64_t num_walks_ = 0;
  std::vector<Chunk> chunks_;
  std::vector<uint64_t> bucket_begin_;  // bucket i * P + j: [bucket_begin_[b], [b + 1])
  std::unique_ptr<SkipGramPair[]> pairs_;
  uint64_t pairs_capacity_ = 0;
};

}  // namespace velmor
