#include "block_steps.hpp"

#include <algorithm>

#include "block_schedule.hpp"
#include "skipgram.hpp"
#include "walk.hpp"

namespace velmor {

template <class Graph>
void draw_pairs(const Graph& graph, const ScheduledWalks& walks, uint64_t first, uint64_t last,
                EpisodePairs& pairs, BlockTasks& tasks,
                std::vector<std::vector<uint64_t>>& visits) {
  pairs.begin(last - first);
  const uint32_t n = graph.num_nodes();
  const Node2VecParams& params = walks.params;
  const WalkBias bias = WalkBias::from_params(params.p, params.q);
  EpochControl* const control = tasks.control();
  std::vector<std::vector<uint32_t>> walk_of(tasks.pool().size());
  tasks.run(pairs.num_chunks(), [&](size_t worker, uint64_t c) {
    std::vector<uint32_t>& walk = walk_of[worker];
    std::vector<uint64_t>* const counted = visits.empty() ? nullptr : &visits[worker];
    const uint64_t begin = c * EpisodePairs::kChunkWalks;
    const uint64_t end = std::min(pairs.num_walks(), begin + EpisodePairs::kChunkWalks);
    for (uint64_t k = begin; k < end; ++k) {
      Lcg48 rng = Lcg48::from_seed(keyed_seed(walks.seed, {kWalkKey, first + k}));
      random_walk(graph, walks.order[first + k], params.max_walk_length, bias, rng, walk,
                  control ? &control->stop : nullptr);
      pairs.add_walk(k, walk, rng);
      if (counted) {
        if (counted->empty()) counted->assign(n, 0);
        for (const uint32_t v : walk) ++(*counted)[v];
      }
    }
  });
  if (tasks.stopped()) return;
  pairs.plan();
  tasks.run(pairs.num_chunks(), [&](size_t, uint64_t c) { pairs.place(c); });
}

template void draw_pairs(const CsrRecord&, const ScheduledWalks&, uint64_t, uint64_t, EpisodePairs&,
                         BlockTasks&, std::vector<std::vector<uint64_t>>&);
template void draw_pairs(const WeightedCsrRecord&, const ScheduledWalks&, uint64_t, uint64_t,
                         EpisodePairs&, BlockTasks&, std::vector<std::vector<uint64_t>>&);

EpisodeAlphas episode_alphas(double start_alpha, double end_alpha, uint64_t first, uint64_t last,
                             uint64_t epoch_walks) {
  const double fall = start_alpha - end_alpha;
  const double n = static_cast<double>(epoch_walks);
  return {start_alpha - fall * static_cast<double>(first) / n,
          start_alpha - fall * static_cast<double>(last) / n};
}

uint64_t bucket_run_pairs(uint64_t num_negative) {
  // The rate steps 1/run of the episode's share at a time: finer than the driver's chunks.
  return std::clamp<uint64_t>((uint64_t{1} << 16) / std::max<uint64_t>(num_negative, 1), 1, 1024);
}

void train_bucket(std::span<const SkipGramPair> pairs, const BlockNegatives& negatives,
                  const BucketKey& key, uint64_t num_negative, uint64_t pairs_per_draw,
                  const MatrixView& embeddings, const MatrixView& hidden_layer,
                  BucketScratch& scratch) {
  if (pairs.empty()) return;
  if (scratch.error.size() != hidden_layer.cols) scratch.error.assign(hidden_layer.cols, 0.0f);
  Lcg48 rng = Lcg48::from_seed(
      keyed_seed(key.seed, {kNegativeKey, key.episode, key.input_block, key.output_block}));
  const uint64_t run_pairs = bucket_run_pairs(num_negative);
  const uint64_t m = pairs.size();
  const double fall = key.alpha_first - key.alpha_last;
  for (uint64_t done = 0; done < m; done += run_pairs) {
    const uint64_t count = std::min(run_pairs, m - done);
    const uint64_t draws = (count + pairs_per_draw - 1) / pairs_per_draw;
    if (scratch.negatives.size() < draws * num_negative)
      scratch.negatives.resize(static_cast<size_t>(draws * num_negative));
    negatives.fill(rng, scratch.negatives.data(), static_cast<size_t>(draws * num_negative));
    const double alpha =
        key.alpha_first - fall * static_cast<double>(done) / static_cast<double>(m);
    train_pairs(pairs.subspan(static_cast<size_t>(done), static_cast<size_t>(count)),
                scratch.negatives.data(), num_negative, pairs_per_draw, static_cast<float>(alpha),
                embeddings, hidden_layer, scratch.error.data());
  }
}

}  // namespace velmor
