// The block schedule: the shape of deterministic training, whose result does not depend on the
// number of threads.
//
// Nodes fall into P blocks. An epoch's walks are cut into episodes of a fixed number of walks;
// an episode's skip-gram pairs are sorted into P x P buckets by (block of the input, block of the
// output) (pair_buckets.hpp), and trained in P sub-rounds: sub-round s trains the buckets
// (i, (i + s) mod P), which share no row of either matrix, so threads take them without locks
// and without races (block_epoch.hpp). Every random draw comes from a generator keyed by what it
// serves (keyed_seed), and every order is fixed, so the embedding is a function of the seed and
// of the kernel table alone.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace velmor {

// The most blocks a schedule takes: P x P buckets are counted for every chunk of an episode.
inline constexpr uint32_t kMaxBlocks = 256;
// The most walks an episode takes: its pairs are held in memory at 8 bytes a pair.
inline constexpr uint64_t kMaxEpisodeWalks = 1u << 20;

// The shape of a block-scheduled epoch; 0 leaves a value to its rule.
struct BlockSchedule {
  uint32_t num_blocks = 0;     // P, at most kMaxBlocks; 0: blocks_for(num_nodes)
  uint64_t episode_walks = 0;  // at most kMaxEpisodeWalks; 0: episode_walks_for(...)
  // Consecutive pairs of a bucket that share one draw of negatives, when the epoch's pairs
  // share negatives (NegativeDraws::per_position); at least 1.
  uint64_t pairs_per_shared_draw = 8;
};

// P by the node count alone, never by the thread count: one block per 256 nodes, between 1 and
// 16. Smaller blocks would make a bucket's negatives (drawn from its output block) too few
// distinct nodes; more would not add parallelism on common machines but shrink the buckets.
uint32_t blocks_for(uint32_t num_nodes);

// Walks per episode: a sixteenth of the epoch's walks, and no more than hold 2^16 walk positions
// (819 walks of 80 nodes; about 6 MiB of pairs at a window of 10), between 1 and 2^14. Within an
// episode a row sees the pairs of one block pair after another; the more of them it sees in one
// run, the further the result drifts from Hogwild's. On polblogs (1,222 nodes), episodes of 819
// walks cost 0.009 of link-prediction AUC over 8 seeds, episodes of 64 walks nothing measurable.
uint64_t episode_walks_for(uint64_t max_walk_length, uint64_t num_walks);

// A fixed assignment of nodes to blocks, the same for every seed and epoch: a permutation of the
// nodes by a fixed generator, cut into P runs whose lengths differ by at most one.
// Thread-safety: immutable after construction.
class BlockPartition {
 public:
  // Preconditions: 1 <= num_blocks <= kMaxBlocks, and num_nodes fits a signed 32-bit integer.
  BlockPartition(uint32_t num_nodes, uint32_t num_blocks);

  uint32_t num_blocks() const { return num_blocks_; }
  uint32_t block_of(uint32_t node) const { return block_of_[node]; }
  std::span<const uint8_t> blocks_of_nodes() const { return block_of_; }
  // The nodes of a block, ascending. A block is empty when there are fewer nodes than blocks.
  std::span<const uint32_t> members(uint32_t block) const {
    return std::span<const uint32_t>(members_).subspan(begin_[block],
                                                       begin_[block + 1] - begin_[block]);
  }

 private:
  uint32_t num_blocks_;
  std::vector<uint8_t> block_of_;  // kMaxBlocks fits a byte
  std::vector<uint32_t> members_;  // block by block
  std::vector<size_t> begin_;      // members of block b: [begin_[b], begin_[b + 1])
};

// A 64-bit seed for the generator of one purpose, from the epoch's seed and the keys that name
// the purpose (a walk's index; an episode and a bucket): splitmix64's finaliser over each key in
// turn, so that nearby keys give unrelated generators.
uint64_t keyed_seed(uint64_t seed, std::initializer_list<uint64_t> keys);

}  // namespace velmor
