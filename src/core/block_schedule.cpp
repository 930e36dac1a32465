#include "block_schedule.hpp"

#include <algorithm>
#include <numeric>

#include "random.hpp"

namespace velmor {

namespace {

// The generator of the partition: any fixed seed will do, but it must never change, or a
// saved schedule (and every embedding trained by it) would change with it.
constexpr uint64_t kPartitionSeed = 0x626c6f636b73;  // "blocks"

constexpr uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

uint32_t blocks_for(uint32_t num_nodes) { return std::clamp<uint32_t>(num_nodes / 256, 1, 16); }

uint64_t episode_walks_for(uint64_t max_walk_length, uint64_t num_walks) {
  return std::clamp<uint64_t>(
      std::min((uint64_t{1} << 16) / std::max<uint64_t>(max_walk_length, 1), num_walks / 16), 1,
      uint64_t{1} << 14);
}

BlockPartition::BlockPartition(uint32_t num_nodes, uint32_t num_blocks)
    : num_blocks_(num_blocks), block_of_(num_nodes), members_(num_nodes), begin_(num_blocks + 1) {
  std::iota(members_.begin(), members_.end(), 0u);
  Lcg48 rng = Lcg48::from_seed(kPartitionSeed);
  rng.shuffle(members_);
  for (uint32_t b = 0; b <= num_blocks; ++b)
    begin_[b] = static_cast<size_t>(uint64_t{num_nodes} * b / num_blocks);
  for (uint32_t b = 0; b < num_blocks; ++b) {
    const auto first = members_.begin() + static_cast<ptrdiff_t>(begin_[b]);
    const auto last = members_.begin() + static_cast<ptrdiff_t>(begin_[b + 1]);
    std::sort(first, last);
    for (auto it = first; it != last; ++it) block_of_[*it] = static_cast<uint8_t>(b);
  }
}

uint64_t keyed_seed(uint64_t seed, std::initializer_list<uint64_t> keys) {
  uint64_t h = mix(seed);
  for (const uint64_t key : keys) h = mix(h ^ key);
  return h;
}

}  // namespace velmor
