#include "block_epoch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "block_steps.hpp"
#include "failure.hpp"
#include "pair_buckets.hpp"
#include "skipgram.hpp"

namespace velmor {

namespace {

template <class Graph>
class BlockTrainer {
 public:
  BlockTrainer(const Graph& graph, const BlockEpoch& epoch)
      : graph_(graph),
        epoch_(epoch),
        params_(epoch.params),
        num_blocks_(epoch.schedule.num_blocks),
        partition_(graph.num_nodes(), num_blocks_),
        pairs_(partition_, params_.window),
        tasks_(epoch.pool, epoch.control),
        per_draw_(epoch.negative_draws != NegativeDraws::per_pair
                      ? epoch.schedule.pairs_per_shared_draw
                      : 1) {
    tables_.reserve(num_blocks_);
    for (uint32_t b = 0; b < num_blocks_; ++b) {
      const std::span<const uint32_t> members = partition_.members(b);
      tables_.push_back(members.empty()
                            ? std::nullopt
                            : std::optional<WeightedNegatives>(epoch.noise_over(members)));
    }
  }

  void run() {
    const uint64_t n = epoch_.order.size();
    const uint64_t per_episode = epoch_.schedule.episode_walks;
    const uint64_t num_episodes = (n + per_episode - 1) / per_episode;
    const ScheduledWalks walks{params_, epoch_.order, epoch_.seed};
    for (uint64_t e = 0; e < num_episodes && !tasks_.stopped(); ++e) {
      const uint64_t first = e * per_episode;
      const uint64_t last = std::min(n, first + per_episode);
      draw_pairs(graph_, walks, first, last, pairs_, tasks_, epoch_.visits);
      if (tasks_.stopped()) return;
      train_episode(e, first, last);
    }
  }

 private:
  // P sub-rounds; in sub-round s, the buckets (i, (i + s) mod P) share no row, so the workers
  // take them in any order.
  void train_episode(uint64_t episode, uint64_t first, uint64_t last) {
    const EpisodeAlphas alphas =
        episode_alphas(params_.start_alpha, params_.end_alpha, first, last, epoch_.order.size());
    std::vector<BucketScratch> scratch(epoch_.pool.size());
    for (uint32_t s = 0; s < num_blocks_ && !tasks_.stopped(); ++s) {
      tasks_.run(num_blocks_, [&](size_t worker, uint64_t i) {
        const uint32_t input_block = static_cast<uint32_t>(i);
        const uint32_t output_block = (input_block + s) % num_blocks_;
        const std::span<const SkipGramPair> pairs = pairs_.bucket(input_block, output_block);
        if (pairs.empty()) return;  // an empty output block has no table, and no pairs either
        train_bucket(
            pairs, BlockNegatives{*tables_[output_block], partition_.members(output_block)},
            BucketKey{epoch_.seed, episode, input_block, output_block, alphas.first, alphas.last},
            params_.num_negative, per_draw_, epoch_.embeddings, epoch_.hidden_layer,
            scratch[worker]);
      });
      if (EpochControl* const control = epoch_.control; control && !tasks_.stopped())
        control->walks_done.store(first + (last - first) * (s + 1) / num_blocks_,
                                  std::memory_order_relaxed);
    }
  }

  const Graph& graph_;
  const BlockEpoch& epoch_;
  const Node2VecParams& params_;
  const uint32_t num_blocks_;
  const BlockPartition partition_;
  EpisodePairs pairs_;
  BlockTasks tasks_;
  const uint64_t per_draw_;
  std::vector<std::optional<WeightedNegatives>> tables_;
};

// The lowest and one past the highest address of a matrix's elements.
std::pair<uintptr_t, uintptr_t> address_range(const MatrixView& m) {
  if (m.rows == 0 || m.cols == 0) return {0, 0};
  const auto span = [](size_t count, ptrdiff_t stride) {
    return static_cast<uintptr_t>(count - 1) *
           static_cast<uintptr_t>(stride < 0 ? -stride : stride) * sizeof(float);
  };
  const uintptr_t r = span(m.rows, m.row_stride), c = span(m.cols, m.col_stride);
  const uintptr_t origin = reinterpret_cast<uintptr_t>(m.data);
  const uintptr_t low = origin - (m.row_stride < 0 ? r : 0) - (m.col_stride < 0 ? c : 0);
  return {low, low + r + c + sizeof(float)};
}

// Whether no element belongs to two rows: rows laid one after the other or interleaved column
// by column (the layouts of C and Fortran order). Stricter than needed for odder strides.
bool rows_apart(const MatrixView& m) {
  const auto size = [](ptrdiff_t stride) {
    return static_cast<size_t>(stride < 0 ? -stride : stride);
  };
  return m.rows <= 1 || m.cols == 0 || size(m.row_stride) >= m.cols * size(m.col_stride) ||
         size(m.col_stride) >= m.rows * size(m.row_stride);
}

// The schedule's promise that threads share no row holds only if rows share no memory.
void check_rows_apart(const MatrixView& embeddings, const MatrixView& hidden_layer) {
  const auto [e_low, e_high] = address_range(embeddings);
  const auto [h_low, h_high] = address_range(hidden_layer);
  const bool apart = e_high <= h_low || h_high <= e_low || e_low == e_high || h_low == h_high;
  if (!apart || !rows_apart(embeddings) || !rows_apart(hidden_layer))
    raise_error(ErrorKind::Value,
                "deterministic training needs embeddings and hidden_layer in memory of their own, "
                "with no element shared by two rows");
}

}  // namespace

void train_blocks(const CsrRecord& graph, const BlockEpoch& epoch) {
  check_rows_apart(epoch.embeddings, epoch.hidden_layer);
  BlockTrainer<CsrRecord>(graph, epoch).run();
}

void train_blocks(const WeightedCsrRecord& graph, const BlockEpoch& epoch) {
  check_rows_apart(epoch.embeddings, epoch.hidden_layer);
  BlockTrainer<WeightedCsrRecord>(graph, epoch).run();
}

}  // namespace velmor
