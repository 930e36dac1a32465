#include "pair_buckets.hpp"

#include <algorithm>

namespace velmor {

EpisodePairs::EpisodePairs(const BlockPartition& blocks, int32_t window)
    : EpisodePairs(blocks.blocks_of_nodes(), blocks.num_blocks(), window) {}

EpisodePairs::EpisodePairs(std::span<const uint8_t> block_of, uint32_t num_blocks, int32_t window)
    : block_of_(block_of),
      num_blocks_(num_blocks),
      window_(window),
      window_bound_(window),
      num_buckets_(num_blocks * num_blocks),
      bucket_begin_(num_buckets_ + 1, 0) {}

void EpisodePairs::begin(uint64_t num_walks) {
  num_walks_ = num_walks;
  chunks_.resize(static_cast<size_t>((num_walks + kChunkWalks - 1) / kChunkWalks));
  for (Chunk& chunk : chunks_) {
    chunk.nodes.clear();
    chunk.walk_begin.assign(1, 0);
    chunk.window_rngs.clear();
    chunk.counts.assign(num_buckets_, 0);
  }
  std::fill(bucket_begin_.begin(), bucket_begin_.end(), 0);
}

template <class F>
void EpisodePairs::for_each_pair(std::span<const uint32_t> walk, Lcg48 rng, F&& f) const {
  const uint32_t p = num_blocks_;
  const int64_t len = static_cast<int64_t>(walk.size());
  for (int64_t i = 0; i < len; ++i) {
    const ContextSpan span = draw_context(rng, window_bound_, window_, i, len);
    const uint32_t centre = walk[static_cast<size_t>(i)];
    const uint32_t output_block = block_of_[centre];
    for (int64_t c = span.first; c < span.last; ++c) {
      if (c == i) continue;
      const uint32_t input = walk[static_cast<size_t>(c)];
      f(block_of_[input] * p + output_block, SkipGramPair{input, centre});
    }
  }
}

void EpisodePairs::add_walk(uint64_t k, std::span<const uint32_t> walk, const Lcg48& rng) {
  Chunk& chunk = chunks_[static_cast<size_t>(k / kChunkWalks)];
  chunk.nodes.insert(chunk.nodes.end(), walk.begin(), walk.end());
  chunk.walk_begin.push_back(chunk.nodes.size());
  chunk.window_rngs.push_back(rng);
  for_each_pair(walk, rng, [&](uint32_t bucket, const SkipGramPair&) { ++chunk.counts[bucket]; });
}

void EpisodePairs::plan() {
  // Each chunk's count becomes its place: bucket by bucket, and in a bucket chunk by chunk.
  uint64_t total = 0;
  for (uint32_t b = 0; b < num_buckets_; ++b) {
    bucket_begin_[b] = total;
    for (Chunk& chunk : chunks_) {
      const uint64_t count = chunk.counts[b];
      chunk.counts[b] = total;
      total += count;
    }
  }
  bucket_begin_[num_buckets_] = total;
  if (total > pairs_capacity_) {
    pairs_.reset();  // the old pairs are not needed: free them before the larger allocation
    // Left uninitialised (every pair is written by place() before it is read), as
    // make_unique_for_overwrite would, which libc++ 14 lacks.
    pairs_.reset(new SkipGramPair[static_cast<size_t>(total)]);
    pairs_capacity_ = total;
  }
}

void EpisodePairs::place(uint64_t c) {
  Chunk& chunk = chunks_[static_cast<size_t>(c)];
  SkipGramPair* const pairs = pairs_.get();
  const std::span<const uint32_t> nodes(chunk.nodes);
  for (size_t w = 0; w < chunk.window_rngs.size(); ++w) {
    const size_t first = static_cast<size_t>(chunk.walk_begin[w]);
    const size_t last = static_cast<size_t>(chunk.walk_begin[w + 1]);
    for_each_pair(
        nodes.subspan(first, last - first), chunk.window_rngs[w],
        [&](uint32_t bucket, const SkipGramPair& pair) { pairs[chunk.counts[bucket]++] = pair; });
  }
}

std::span<const SkipGramPair> EpisodePairs::bucket(uint32_t input_block,
                                                   uint32_t output_block) const {
  const uint32_t b = input_block * num_blocks_ + output_block;
  return {pairs_.get() + bucket_begin_[b],
          static_cast<size_t>(bucket_begin_[b + 1] - bucket_begin_[b])};
}

size_t EpisodePairs::bytes() const {
  size_t total = pairs_capacity_ * sizeof(SkipGramPair) + bucket_begin_.size() * sizeof(uint64_t);
  for (const Chunk& chunk : chunks_)
    total +=
        chunk.nodes.capacity() * sizeof(uint32_t) + chunk.walk_begin.capacity() * sizeof(uint64_t) +
        chunk.window_rngs.capacity() * sizeof(Lcg48) + chunk.counts.capacity() * sizeof(uint64_t);
  return total;
}

}  // namespace velmor
