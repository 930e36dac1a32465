// Negative samplers of the skip-gram update: where the targets with label 0 come from.
//
// A sampler is a small value that training holds for a whole epoch and shares, read-only,
// between all worker threads; every draw takes the chunk's own generator. Two of them:
//  * UniformNegatives: next_int(num_nodes) per negative, the draw of the compatibility module;
//  * WeightedNegatives: node i in proportion to max(count_i, 1)^exponent (word2vec's noise
//    distribution, with a node's visits in the walks as its word count), one generator step
//    and one table slot per draw (alias.hpp).
// Both offer next(rng) and fill(rng, out, count); fill gives the same values and leaves the
// generator in the same state as `count` calls of next. fill_unresolved and resolve split fill
// in two, for a caller that draws a whole walk's negatives before it trains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alias.hpp"
#include "random.hpp"

namespace velmor {

class UniformNegatives {
 public:
  // Precondition: 0 < num_nodes.
  explicit UniformNegatives(int32_t num_nodes) : bound_(num_nodes) {}

  uint32_t next(Lcg48& rng) const { return static_cast<uint32_t>(rng.next_int(bound_)); }
  void fill(Lcg48& rng, uint32_t* out, size_t count) const { rng.fill_ints(bound_, out, count); }
  // fill itself: a uniform draw reads no table, so there is nothing to resolve.
  void fill_unresolved(Lcg48& rng, uint32_t* out, size_t count) const { fill(rng, out, count); }
  void resolve(uint32_t*, size_t) const {}

 private:
  Lcg48::FixedBound bound_;
};

class WeightedNegatives {
 public:
  // The table over max(counts[i], 1)^exponent for i in [0, counts.size()): a node that was
  // never counted weighs as one that was counted once, so that every node can be drawn.
  // Weights are taken relative to the largest count, so no exponent overflows them; a weight
  // that underflows to 0 is never drawn. Preconditions: 0 < counts.size() <= kMaxNodes, and
  // exponent finite and >= 0. O(n) time and memory.
  WeightedNegatives(std::span<const uint64_t> counts, double exponent);
  // The same over max(weights[i], floor)^exponent, for real-valued weights (a weighted graph's
  // strengths). Preconditions as above, with every weight and the floor finite and >= 0, and
  // one of them above 0.
  WeightedNegatives(std::span<const double> weights, double floor, double exponent);
  // A table of the given slots, as slots() gave them: a table built elsewhere, sent here.
  // Refuses, with Error(Value), no slots, more than kMaxNodes, and an alias beyond them.
  explicit WeightedNegatives(std::span<const AliasSlot> slots);

  size_t size() const { return slots_.size(); }

  // One draw. The top 32 bits u of one generator step pick the slot, as the high word of
  // u * n, and the low word is the coin against the slot's threshold. That coin has 2^32 / n
  // levels; above 2^24 nodes, too few to split a slot finely, a second step gives the coin.
  uint32_t next(Lcg48& rng) const { return draw(rng, slots_.data(), slots_.size(), two_step_); }

  // With the generator's state, the table and its size held in registers for the whole run.
  void fill(Lcg48& rng, uint32_t* out, size_t count) const {
    Lcg48 local = rng;
    const Slot* const slots = slots_.data();
    const uint64_t n = slots_.size();
    for (size_t i = 0; i < count; ++i) out[i] = draw(local, slots, n, two_step_);
    rng = local;
  }

  // fill in two passes, for a caller that makes many draws before it needs any:
  // fill_unresolved steps the generator as fill does and leaves in out what resolve() turns
  // into fill's nodes, asking for each draw's table slot meanwhile. On tables larger than the
  // caches the slots' misses then overlap, where fill waits for each run's in turn. resolve()
  // may be given entries it resolved before: they become other nodes, all below size(). A
  // table that fits the caches, or that takes two steps a draw (see next), draws the nodes at
  // once, and resolve() leaves them as they are.
  void fill_unresolved(Lcg48& rng, uint32_t* out, size_t count) const {
    if (!two_pass_) return fill(rng, out, count);
    Lcg48 local = rng;
    const Slot* const slots = slots_.data();
    const uint64_t n = slots_.size();
    for (size_t i = 0; i < count; ++i) {
      out[i] = local.next_bits(32);
      __builtin_prefetch(slots + ((static_cast<uint64_t>(out[i]) * n) >> 32));
    }
    rng = local;
  }
  void resolve(uint32_t* drawn, size_t count) const {
    if (!two_pass_) return;
    const Slot* const slots = slots_.data();
    const uint64_t n = slots_.size();
    for (size_t i = 0; i < count; ++i) drawn[i] = pick(static_cast<uint64_t>(drawn[i]) * n, slots);
  }

  // Slot s keeps node s with probability threshold / 2^32 and gives `alias` otherwise. A slot
  // that keeps its node always has alias == s (its threshold of 2^32 - 1 lets 1 in 2^32 coins
  // through, to the same node).
  using Slot = AliasSlot;
  std::span<const Slot> slots() const { return slots_; }

 private:
  template <class T>
  void build(std::span<const T> values, T floor, double exponent);

  // Without a branch on the coin: its outcome is as good as random, so a branch would miss
  // about as often as the slot's split is even.
  static uint32_t draw(Lcg48& rng, const Slot* slots, uint64_t n, bool two_step) {
    const uint64_t mixed = static_cast<uint64_t>(rng.next_bits(32)) * n;
    if (!two_step) return pick(mixed, slots);
    const uint32_t index = static_cast<uint32_t>(mixed >> 32);
    return keep_or_alias(index, slots[index], rng.next_bits(32));
  }
  // The node of one-step draw u, given mixed = u * n.
  static uint32_t pick(uint64_t mixed, const Slot* slots) {
    const uint32_t index = static_cast<uint32_t>(mixed >> 32);
    return keep_or_alias(index, slots[index], static_cast<uint32_t>(mixed));
  }
  static uint32_t keep_or_alias(uint32_t index, Slot slot, uint32_t coin) {
    const uint32_t keep = 0u - static_cast<uint32_t>(coin < slot.threshold);
    return (index & keep) | (slot.alias & ~keep);
  }

  std::vector<Slot> slots_;  // threshold and alias side by side: one cache line per draw
  bool two_step_;
  bool two_pass_;  // fill_unresolved leaves the draws to resolve()
};

}  // namespace velmor
