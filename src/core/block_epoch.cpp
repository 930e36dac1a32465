#include "block_epoch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "failure.hpp"
#include "pair_buckets.hpp"
#include "skipgram.hpp"
#include "walk.hpp"

namespace velmor {

namespace {

// Keys that keep the generators of walks and of negatives apart.
enum : uint64_t { kWalkKey = 1, kNegativeKey = 2 };

// Pairs of a bucket trained at one learning rate, with their negatives drawn together before
// them. The rate steps 1/run of the episode's share at a time: finer than the driver's chunks.
constexpr uint64_t kRunPairs = 1024;

// Negatives of one block: table entries mapped to the block's nodes.
struct BlockNegatives {
  const AliasTable& table;
  std::span<const uint32_t> members;

  void fill(Lcg48& rng, uint32_t* out, size_t count) const {
    table.fill(rng, out, count);
    for (size_t i = 0; i < count; ++i) out[i] = members[out[i]];
  }
};

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
        bias_(WalkBias::from_params(params_.p, params_.q)),
        per_draw_(epoch.negative_draws != NegativeDraws::per_pair
                      ? epoch.schedule.pairs_per_shared_draw
                      : 1),
        run_pairs_(std::clamp<uint64_t>(
            (uint64_t{1} << 16) / std::max<uint64_t>(params_.num_negative, 1), 1, kRunPairs)) {
    tables_.reserve(num_blocks_);
    for (uint32_t b = 0; b < num_blocks_; ++b) {
      const std::span<const uint32_t> members = partition_.members(b);
      tables_.push_back(members.empty() ? std::nullopt
                                        : std::optional<AliasTable>(epoch.noise_over(members)));
    }
  }

  void run() {
    const uint64_t n = epoch_.order.size();
    const uint64_t per_episode = epoch_.schedule.episode_walks;
    const uint64_t num_episodes = (n + per_episode - 1) / per_episode;
    for (uint64_t e = 0; e < num_episodes && !stopped(); ++e) {
      const uint64_t first = e * per_episode;
      const uint64_t last = std::min(n, first + per_episode);
      draw_episode(first, last);
      if (stopped()) return;
      train_episode(e, first, last);
    }
  }

 private:
  bool stopped() const {
    return failed_.load(std::memory_order_relaxed) ||
           (epoch_.control && epoch_.control->stop.load(std::memory_order_relaxed));
  }

  // job(worker, task) for tasks [0, count) taken one at a time by the pool's workers, until all
  // are taken or the epoch is stopped. control->on_wait is called about every interval across
  // runs, also when each run is shorter than that.
  template <class Job>
  void run_tasks(uint64_t count, Job&& job) {
    std::atomic<uint64_t> next{0};
    EpochControl* const control = epoch_.control;
    const bool watched = control && control->on_wait;
    const auto on_wait = [&] {
      last_wait_ = std::chrono::steady_clock::now();
      control->on_wait();
    };
    epoch_.pool.run(
        [&](size_t worker) {
          try {
            while (!stopped()) {
              const uint64_t task = next.fetch_add(1, std::memory_order_relaxed);
              if (task >= count) break;
              job(worker, task);
            }
          } catch (...) {
            failed_.store(true, std::memory_order_relaxed);
            throw;
          }
        },
        watched ? std::function<void()>(on_wait) : std::function<void()>(),
        watched ? control->interval : std::chrono::milliseconds(0));
    if (watched && std::chrono::steady_clock::now() - last_wait_ >= control->interval) on_wait();
  }

  // The walks [first, last) of the epoch, each from its own generator, then their pairs in
  // their buckets.
  void draw_episode(uint64_t first, uint64_t last) {
    pairs_.begin(last - first);
    const uint32_t n = graph_.num_nodes();
    std::vector<std::vector<uint32_t>> walks(epoch_.pool.size());
    run_tasks(pairs_.num_chunks(), [&](size_t worker, uint64_t c) {
      std::vector<uint32_t>& walk = walks[worker];
      std::vector<uint64_t>* const counted =
          epoch_.visits.empty() ? nullptr : &epoch_.visits[worker];
      const uint64_t begin = c * EpisodePairs::kChunkWalks;
      const uint64_t end = std::min(pairs_.num_walks(), begin + EpisodePairs::kChunkWalks);
      for (uint64_t k = begin; k < end; ++k) {
        Lcg48 rng = Lcg48::from_seed(keyed_seed(epoch_.seed, {kWalkKey, first + k}));
        // A stop may cut the walk short; the episode is then abandoned before training.
        random_walk(graph_, epoch_.order[first + k], params_.max_walk_length, bias_, rng, walk,
                    epoch_.control ? &epoch_.control->stop : nullptr);
        pairs_.add_walk(k, walk, rng);
        if (counted) {
          if (counted->empty()) counted->assign(n, 0);
          for (const uint32_t v : walk) ++(*counted)[v];
        }
      }
    });
    if (stopped()) return;
    pairs_.plan();
    run_tasks(pairs_.num_chunks(), [&](size_t, uint64_t c) { pairs_.place(c); });
  }

  // P sub-rounds; in sub-round s, the buckets (i, (i + s) mod P) share no row, so the workers
  // take them in any order.
  void train_episode(uint64_t episode, uint64_t first, uint64_t last) {
    const double start = params_.start_alpha;
    const double fall = params_.start_alpha - params_.end_alpha;
    const double n = static_cast<double>(epoch_.order.size());
    const double alpha_first = start - fall * static_cast<double>(first) / n;
    const double alpha_last = start - fall * static_cast<double>(last) / n;
    const size_t dim = epoch_.hidden_layer.cols;
    std::vector<Scratch> scratch(epoch_.pool.size());
    for (uint32_t s = 0; s < num_blocks_ && !stopped(); ++s) {
      run_tasks(num_blocks_, [&](size_t worker, uint64_t i) {
        const uint32_t input_block = static_cast<uint32_t>(i);
        const uint32_t output_block = (input_block + s) % num_blocks_;
        Scratch& mine = scratch[worker];
        if (mine.error.size() != dim) mine.error.assign(dim, 0.0f);
        train_bucket(episode, input_block, output_block, alpha_first, alpha_last, mine);
      });
      if (EpochControl* const control = epoch_.control; control && !stopped())
        control->walks_done.store(first + (last - first) * (s + 1) / num_blocks_,
                                  std::memory_order_relaxed);
    }
  }

  struct Scratch {
    std::vector<float> error;
    std::vector<uint32_t> negatives;
  };

  void train_bucket(uint64_t episode, uint32_t i, uint32_t j, double alpha_first, double alpha_last,
                    Scratch& scratch) {
    const std::span<const SkipGramPair> pairs = pairs_.bucket(i, j);
    if (pairs.empty()) return;  // an empty output block has no table, and no pairs either
    const BlockNegatives negatives{*tables_[j], partition_.members(j)};
    Lcg48 rng = Lcg48::from_seed(keyed_seed(epoch_.seed, {kNegativeKey, episode, i, j}));
    const uint64_t num_negative = params_.num_negative;
    const uint64_t m = pairs.size();
    const double fall = alpha_first - alpha_last;
    for (uint64_t done = 0; done < m; done += run_pairs_) {
      const uint64_t count = std::min(run_pairs_, m - done);
      const uint64_t draws = (count + per_draw_ - 1) / per_draw_;
      if (scratch.negatives.size() < draws * num_negative)
        scratch.negatives.resize(static_cast<size_t>(draws * num_negative));
      negatives.fill(rng, scratch.negatives.data(), static_cast<size_t>(draws * num_negative));
      const double alpha = alpha_first - fall * static_cast<double>(done) / static_cast<double>(m);
      train_pairs(pairs.subspan(static_cast<size_t>(done), static_cast<size_t>(count)),
                  scratch.negatives.data(), num_negative, per_draw_, static_cast<float>(alpha),
                  epoch_.embeddings, epoch_.hidden_layer, scratch.error.data());
    }
  }

  const Graph& graph_;
  const BlockEpoch& epoch_;
  const Node2VecParams& params_;
  const uint32_t num_blocks_;
  const BlockPartition partition_;
  EpisodePairs pairs_;
  const WalkBias bias_;
  const uint64_t per_draw_;
  const uint64_t run_pairs_;
  std::vector<std::optional<AliasTable>> tables_;
  std::atomic<bool> failed_{false};
  std::chrono::steady_clock::time_point last_wait_ = std::chrono::steady_clock::now();
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
