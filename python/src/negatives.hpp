// Negative samplers of the skip-gram update: where the targets with label 0 come from.
//
// A sampler is a small value that training holds for a whole epoch and shares, read-only,
// between all worker threads; every draw takes the chunk's own generator. Two of them:
//  * UniformNegatives: next_int(num_nodes) per negative, the draw of the compatibility module;
//  * AliasTable: node i in proportion to max(count_i, 1)^exponent (word2vec's noise
//    distribution, with a node's visits in the walks as its word count), one generator step
//    and one table slot per draw (Walker's alias method, built by Vose's algorithm).
// Both offer next(rng) and fill(rng, out, count); fill gives the same values and leaves the
// generator in the same state as `count` calls of next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "random.hpp"

namespace velmor {

class UniformNegatives {
 public:
  // Precondition: 0 < num_nodes.
  explicit UniformNegatives(int32_t num_nodes) : bound_(num_nodes) {}

  uint32_t next(Lcg48& rng) const { return static_cast<uint32_t>(rng.next_int(bound_)); }
  void fill(Lcg48& rng, uint32_t* out, size_t count) const { rng.fill_ints(bound_, out, count); }

 private:
  Lcg48::FixedBound bound_;
};

class AliasTable {
 public:
  // The table over max(counts[i], 1)^exponent for i in [0, counts.size()): a node that was
  // never counted weighs as one that was counted once, so that every node can be drawn.
  // Weights are taken relative to the largest count, so no exponent overflows them; a weight
  // that underflows to 0 is never drawn. Preconditions: 0 < counts.size() <= INT32_MAX, and
  // exponent finite and >= 0. O(n) time and memory.
  AliasTable(std::span<const uint64_t> counts, double exponent);

  size_t size() const { return slots_.size(); }

  // One draw. The top 32 bits u of one generator step pick the slot, as the high word of
  // u * n, and the low word is the coin against the slot's threshold. That coin has 2^32 / n
  // levels; above 2^24 nodes, too few to split a slot finely, a second step gives the coin.
  uint32_t next(Lcg48& rng) const {
    const uint64_t mixed = static_cast<uint64_t>(rng.next_bits(32)) * slots_.size();
    const Slot& slot = slots_[mixed >> 32];
    const uint32_t coin = two_step_ ? rng.next_bits(32) : static_cast<uint32_t>(mixed);
    return coin < slot.threshold ? static_cast<uint32_t>(mixed >> 32) : slot.alias;
  }

  void fill(Lcg48& rng, uint32_t* out, size_t count) const {
    for (size_t i = 0; i < count; ++i) out[i] = next(rng);
  }

  // Slot s keeps node s with probability threshold / 2^32 and gives `alias` otherwise. A slot
  // that keeps its node always has alias == s (its threshold of 2^32 - 1 lets 1 in 2^32 coins
  // through, to the same node).
  struct Slot {
    uint32_t threshold;
    uint32_t alias;
  };
  std::span<const Slot> slots() const { return slots_; }

 private:
  std::vector<Slot> slots_;  // threshold and alias side by side: one cache line per draw
  bool two_step_;
};

}  // namespace velmor
