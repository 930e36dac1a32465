#include "epoch.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "block_epoch.hpp"
#include "failure.hpp"
#include "float_repr.hpp"
#include "negatives.hpp"
#include "skipgram.hpp"
#include "thread_pool.hpp"
#include "walk.hpp"

namespace velmor {

namespace {

void check_schedule(const BlockSchedule& schedule, uint64_t num_negative) {
  const auto check = [](const char* name, uint64_t value, uint64_t low, uint64_t high) {
    if (value < low || value > high)
      raise_error(ErrorKind::Value, std::string(name) + " must be between " + std::to_string(low) +
                                        " and " + std::to_string(high) + ", got " +
                                        std::to_string(value));
  };
  check("num_blocks", schedule.num_blocks, 0, kMaxBlocks);
  check("episode_walks", schedule.episode_walks, 0, kMaxEpisodeWalks);
  check("pairs_per_shared_draw", schedule.pairs_per_shared_draw, 1, UINT64_MAX);
  if (num_negative > kMaxScheduledNegatives)
    raise_error(ErrorKind::Value, "the block schedule takes at most " +
                                      std::to_string(kMaxScheduledNegatives) +
                                      " negatives per pair, got " + std::to_string(num_negative));
}

void check_options(const EpochOptions& options, uint32_t n, uint64_t max_walk_length,
                   uint64_t num_negative) {
  if (!(std::isfinite(options.ns_exponent) && options.ns_exponent >= 0.0))
    raise_error(ErrorKind::Value, "ns_exponent must be a finite number at least 0, got " +
                                      float_repr(options.ns_exponent));
  const auto check_length = [n](const char* name, size_t size) {
    if (size != 0 && size != n)
      raise_error(ErrorKind::Value, std::string(name) + " has " + std::to_string(size) +
                                        " entries but the graph has " + std::to_string(n) +
                                        " nodes");
  };
  check_length("noise_counts", options.noise_counts.size());
  check_length("visits", options.visits.size());
  check_length("frozen", options.frozen.size());
  for (const uint32_t start : options.start_nodes)
    if (start >= n)
      raise_error(ErrorKind::Value, "start node " + std::to_string(start) +
                                        " is not below the graph's " + std::to_string(n) +
                                        " nodes");
  if (options.blocks && options.train) {
    check_schedule(*options.blocks, num_negative);
    if (!options.frozen.empty())
      raise_error(ErrorKind::Value, "the block schedule does not take frozen rows");
  }
  const size_t cells = options.walks.size();
  if (!options.start_nodes.empty()) {
    const size_t starts = options.start_nodes.size();
    if (cells != 0 && (cells % starts != 0 || cells / starts != max_walk_length))
      raise_error(ErrorKind::Value, "walks has " + std::to_string(cells) +
                                        " entries but there are " + std::to_string(starts) +
                                        " start nodes and walks of up to " +
                                        std::to_string(max_walk_length));
    return;
  }
  if (cells != 0 && (n == 0 || cells % n != 0 || cells / n != max_walk_length))
    raise_error(ErrorKind::Value, "walks has " + std::to_string(cells) +
                                      " entries but the graph has " + std::to_string(n) +
                                      " nodes and walks of up to " +
                                      std::to_string(max_walk_length));
}

// The walk into its row of the caller's matrix, -1 after its end. Node ids fit: graphs have at
// most kMaxNodes nodes.
void copy_walk(const std::vector<uint32_t>& walk, std::span<int32_t> row) {
  const auto end = std::transform(walk.begin(), walk.end(), row.begin(),
                                  [](uint32_t v) { return static_cast<int32_t>(v); });
  std::fill(end, row.end(), -1);
}

// values[members[i]] for each i.
template <class T>
std::vector<T> gathered(std::span<const T> values, std::span<const uint32_t> members) {
  std::vector<T> out(members.size());
  for (size_t i = 0; i < members.size(); ++i) out[i] = values[members[i]];
  return out;
}

// The negatives' table when noise_counts is empty: by out-degree, or by strength on a weighted
// graph (a node without out-arcs weighs as one arc, the lightest of the graph). Over the given
// members only (entry i is members[i]), or over every node when there are none.
WeightedNegatives fallback_table(const CsrRecord& graph, double exponent,
                                 std::span<const uint32_t> members = {}) {
  std::vector<uint64_t> degrees(members.empty() ? graph.num_nodes() : members.size());
  for (uint32_t i = 0; i < degrees.size(); ++i)
    degrees[i] = graph.neighbors(members.empty() ? i : members[i]).size();
  return WeightedNegatives(degrees, exponent);
}

WeightedNegatives fallback_table(const WeightedCsrRecord& graph, double exponent,
                                 std::span<const uint32_t> members = {}) {
  if (members.empty())
    return WeightedNegatives({graph.strength.data(), graph.strength.size()}, graph.lightest,
                             exponent);
  const std::vector<double> strength =
      gathered<double>({graph.strength.data(), graph.strength.size()}, members);
  return WeightedNegatives(strength, graph.lightest, exponent);
}

// The negatives' table, or none for the uniform draw.
template <class Graph>
std::optional<WeightedNegatives> noise_table(const Graph& graph, const EpochOptions& options) {
  if (options.ns_exponent == 0.0) return std::nullopt;
  if (!options.noise_counts.empty())
    return WeightedNegatives(options.noise_counts, options.ns_exponent);
  return fallback_table(graph, options.ns_exponent);
}

// The table of one block of the schedule, over its members; exponent 0 draws them uniformly.
template <class Graph>
WeightedNegatives block_noise_table(const Graph& graph, const EpochOptions& options,
                                    std::span<const uint32_t> members) {
  if (options.noise_counts.empty()) return fallback_table(graph, options.ns_exponent, members);
  return WeightedNegatives(gathered(options.noise_counts, members), options.ns_exponent);
}

// The longest walks drawn ahead (NextWalk): the walk buffer's first reservation.
constexpr uint64_t kMaxWalkAhead = 1u << 16;

// The walk from the chunk's next start node, drawn while the current walk trains: train_walk
// hands it the generator as the current walk's draws left it, which is where random_walk would
// start the next walk, so every walk and every draw stays as it was. A step needs two advances
// (see WalkSteps), about one position of training.
template <class Graph>
class NextWalk final : public InterleavedWork {
 public:
  NextWalk(const Graph& graph, uint64_t max_walk_length, const WalkBias& bias,
           const std::atomic<bool>* stop, uint32_t start, std::vector<uint32_t>& walk)
      : steps_(graph, max_walk_length, bias, stop), start_(start), walk_(walk) {}

  void begin(const Lcg48& rng) override {
    steps_.begin(start_, rng, walk_);
    began_ = true;
  }
  void advance() override {
    if (prefetch_next_) steps_.prefetch();
    else steps_.step();
    prefetch_next_ = !prefetch_next_;
  }
  // Draws what is left of the walk and sets rng to the generator after it; false, leaving rng
  // alone, when begin() was never called.
  bool finish(Lcg48& rng) {
    if (!began_) return false;
    while (steps_.step()) {
    }
    rng = steps_.rng();
    return true;
  }

 private:
  WalkSteps<Graph> steps_;
  uint32_t start_;
  std::vector<uint32_t>& walk_;
  bool began_ = false;
  bool prefetch_next_ = true;
};

template <class Graph>
void run_epoch(const Graph& graph, const Node2VecParams& params, const MatrixView& embeddings,
               const MatrixView& hidden_layer, uint64_t next_random, const EpochOptions& options) {
  const uint32_t n = graph.num_nodes();
  check_options(options, n, params.max_walk_length, params.num_negative);
  if (n == 0) return;
  if (n > kMaxNodes) raise_error(ErrorKind::Overflow, "graphs larger than i32 not yet supported");
  check_walk_parameter("p", params.p);
  check_walk_parameter("q", params.q);

  std::vector<uint32_t> order(options.start_nodes.begin(), options.start_nodes.end());
  if (order.empty()) {
    order.resize(n);
    std::iota(order.begin(), order.end(), 0u);
  }
  const uint64_t starts = order.size();
  const uint64_t base_seed = shuffle_epoch_order(order, next_random);
  const size_t dim = hidden_layer.cols;
  const uint64_t batch = params.batch_size;
  if (batch == 0) panic("attempt to divide by zero");
  const uint64_t num_chunks = starts / batch + (starts % batch != 0);
  const bool by_blocks = options.train && options.blocks;
  const std::optional<WeightedNegatives> table =
      options.train && !by_blocks ? noise_table(graph, options) : std::nullopt;

  SharedPoolLease lease;
  std::unique_ptr<ThreadPool> own_pool;
  ThreadPool* pool;
  if (!params.workers && (lease = lease_shared_pool()).pool) {
    pool = lease.pool;
  } else {
    const uint64_t w = params.workers.value_or(0);
    own_pool = std::make_unique<ThreadPool>(
        w == 0 ? default_pool_size() : static_cast<size_t>(std::min<uint64_t>(w, kMaxPoolSize)));
    pool = own_pool.get();
  }

  const WalkBias bias = WalkBias::from_params(params.p, params.q);
  EpochControl* const control = options.control;
  const std::atomic<bool>* const stop = control ? &control->stop : nullptr;
  const auto stop_raised = [stop] { return stop && stop->load(std::memory_order_relaxed); };
  std::atomic<uint64_t> chunk_counter{0};
  std::atomic<bool> failed{false};
  const auto stopped = [&] { return failed.load(std::memory_order_relaxed) || stop_raised(); };
  // Each worker's visit counts, filled at its first walk and added up after the epoch.
  std::vector<std::vector<uint64_t>> visits(options.visits.empty() ? 0 : pool->size());

  const auto run = [&](const auto& negatives) {
    pool->run(
        [&](size_t worker) {
          TrainScratch scratch;  // this thread's buffers for this call, made at its first chunk
          std::vector<uint32_t> walk;
          std::vector<uint32_t> next_walk;  // drawn while `walk` trains
          std::vector<uint64_t>* const counted = visits.empty() ? nullptr : &visits[worker];
          while (!stopped()) {
            const uint64_t k = chunk_counter.fetch_add(1, std::memory_order_relaxed);
            if (k >= num_chunks) break;
            try {
              if (scratch.error.size() != dim) scratch.error.assign(dim, 0.0f);
              const float alpha = static_cast<float>(
                  params.start_alpha - (static_cast<double>(k) / static_cast<double>(num_chunks)) *
                                           (params.start_alpha - params.end_alpha));
              const size_t reserve =
                  static_cast<size_t>(std::min<uint64_t>(params.max_walk_length, kMaxWalkAhead));
              walk.reserve(reserve);
              Lcg48 rng = Lcg48::from_seed(base_seed + k);
              const uint64_t first = k * batch;
              const uint64_t last = std::min<uint64_t>(first + batch, starts);
              bool drawn = false;  // walk s was drawn while walk s - 1 trained
              for (uint64_t s = first; s < last; ++s) {
                if (stop_raised()) break;
                if (!drawn)
                  random_walk(graph, order[s], params.max_walk_length, bias, rng, walk, stop);
                drawn = false;
                if (options.train && !stop_raised()) {
                  // Walks longer than kMaxWalkAhead are drawn as they come, so that a worker
                  // never holds two of them.
                  const bool ahead = s + 1 < last && params.max_walk_length <= kMaxWalkAhead;
                  if (ahead) next_walk.reserve(reserve);
                  NextWalk<Graph> next(graph, params.max_walk_length, bias, stop,
                                       ahead ? order[s + 1] : 0, next_walk);
                  scratch.interleaved = ahead ? &next : nullptr;
                  train_walk(walk, rng, alpha, params.window, params.num_negative, negatives,
                             embeddings, hidden_layer, scratch, options.negative_draws, kernels(),
                             options.frozen, stop);
                  scratch.interleaved = nullptr;
                  drawn = next.finish(rng);
                }
                // The walk may have been cut short, or its training.
                if (stop_raised()) break;
                if (!options.walks.empty())
                  copy_walk(walk, options.walks.subspan(s * params.max_walk_length,
                                                        params.max_walk_length));
                if (counted) {
                  if (counted->empty()) counted->assign(n, 0);
                  for (const uint32_t v : walk) ++(*counted)[v];
                }
                if (control) control->walks_done.fetch_add(1, std::memory_order_relaxed);
                if (drawn) walk.swap(next_walk);
              }
            } catch (...) {
              failed.store(true, std::memory_order_relaxed);
              throw;
            }
          }
        },
        control ? control->on_wait : std::function<void()>(),
        control ? control->interval : std::chrono::milliseconds(0));
  };
  if (by_blocks) {
    BlockSchedule schedule = *options.blocks;
    if (schedule.num_blocks == 0) schedule.num_blocks = blocks_for(n);
    if (schedule.episode_walks == 0)
      schedule.episode_walks = episode_walks_for(params.max_walk_length, order.size());
    train_blocks(graph, BlockEpoch{params, embeddings, hidden_layer, order, base_seed, schedule,
                                   options.negative_draws,
                                   [&](std::span<const uint32_t> members) {
                                     return block_noise_table(graph, options, members);
                                   },
                                   *pool, control, visits});
  } else if (table) {
    run(*table);
  } else {
    run(UniformNegatives(static_cast<int32_t>(n)));
  }

  for (const std::vector<uint64_t>& counted : visits)
    for (size_t i = 0; i < counted.size(); ++i) options.visits[i] += counted[i];
}

}  // namespace

uint64_t shuffle_epoch_order(std::span<uint32_t> order, uint64_t next_random) {
  Lcg48 epoch_rng = Lcg48::from_seed(next_random);
  epoch_rng.shuffle(order);
  return epoch_rng.next_u64();
}

WeightedNegatives block_noise_table(const CsrRecord& graph, std::span<const uint64_t> noise_counts,
                                    double exponent, std::span<const uint32_t> members) {
  EpochOptions options;
  options.ns_exponent = exponent;
  options.noise_counts = noise_counts;
  return block_noise_table(graph, options, members);
}

WeightedNegatives block_noise_table(const WeightedCsrRecord& graph,
                                    std::span<const uint64_t> noise_counts, double exponent,
                                    std::span<const uint32_t> members) {
  EpochOptions options;
  options.ns_exponent = exponent;
  options.noise_counts = noise_counts;
  return block_noise_table(graph, options, members);
}

void train_epoch(const CsrRecord& graph, const Node2VecParams& params, const MatrixView& embeddings,
                 const MatrixView& hidden_layer, uint64_t next_random,
                 const EpochOptions& options) {
  run_epoch(graph, params, embeddings, hidden_layer, next_random, options);
}

void train_epoch(const WeightedCsrRecord& graph, const Node2VecParams& params,
                 const MatrixView& embeddings, const MatrixView& hidden_layer, uint64_t next_random,
                 const EpochOptions& options) {
  run_epoch(graph, params, embeddings, hidden_layer, next_random, options);
}

}  // namespace velmor
