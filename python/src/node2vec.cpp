#include "node2vec.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <memory>
#include <numeric>
#include <string>

#include "failure.hpp"
#include "negatives.hpp"
#include "thread_pool.hpp"

namespace velmor {

WalkBias WalkBias::from_params(double p, double q) {
  const float pf = static_cast<float>(p), qf = static_cast<float>(q);
  const float inv_p = 1.0f / pf, inv_q = 1.0f / qf;
  const auto larger = [](float a, float b) { return a > b ? a : b; };
  const float m = larger(inv_p, larger(inv_q, 1.0f));
  return {inv_p / m, 1.0f / m, inv_q / m, pf == qf && qf == 1.0f};
}

void random_walk(const CsrRecord& graph, uint32_t start, uint64_t max_walk_length,
                 const WalkBias& bias, Lcg48& rng, std::vector<uint32_t>& walk) {
  walk.clear();
  if (max_walk_length == 0) return;
  walk.push_back(start);
  if (max_walk_length == 1) return;
  std::span<const uint32_t> row = graph.neighbors(start);
  if (row.empty()) return;
  walk.push_back(row[static_cast<uint32_t>(rng.next_int(static_cast<int32_t>(row.size())))]);

  // has_edge is needed only when r falls between the near and far thresholds; deciding the other
  // cases without it changes neither the draws nor the outcome.
  const float lo = std::fmin(bias.near_threshold, bias.far_threshold);
  const float hi = std::fmax(bias.near_threshold, bias.far_threshold);
  for (uint64_t i = 2; i < max_walk_length; ++i) {
    const uint32_t cur = walk[i - 1], prev = walk[i - 2];
    row = graph.neighbors(cur);
    if (row.empty()) return;
    const int32_t degree = static_cast<int32_t>(row.size());
    uint32_t next;
    if (bias.uniform) {
      next = row[static_cast<uint32_t>(rng.next_int(degree))];
    } else {
      for (;;) {
        const uint32_t x = row[static_cast<uint32_t>(rng.next_int(degree))];
        const float r = rng.next_float();
        bool accept;
        if (x == prev) accept = r < bias.return_threshold;
        else if (r < lo) accept = true;
        else if (!(r < hi)) accept = false;
        else accept = r < (graph.has_edge(prev, x) ? bias.near_threshold : bias.far_threshold);
        if (accept) {
          next = x;
          break;
        }
      }
    }
    walk.push_back(next);
  }
}

namespace {

// A double as Python's repr() writes it: the shortest digits that round-trip, in fixed
// notation for decimal exponents -4 .. 15 and in scientific notation ("1e+39") otherwise.
std::string float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string sci(buf, r.ptr);  // "-d.ddde+XX"
  const size_t e_pos = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  const bool negative = sci[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e_pos; ++i)
    if (sci[i] != '.') digits += sci[i];
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int mag = exponent < 0 ? -exponent : exponent;
    out += std::string(exponent < 0 ? "e-" : "e+") + (mag < 10 ? "0" : "") + std::to_string(mag);
  } else if (exponent < 0) {
    out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  } else {
    const size_t int_len = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_len) out += digits + std::string(int_len - digits.size(), '0') + ".0";
    else out += digits.substr(0, int_len) + "." + digits.substr(int_len);
  }
  return out;
}

// The walk uses p and q rounded to single precision and their reciprocals. A value that is not
// a finite number above 0, or whose single-precision value or reciprocal is not, leaves a class
// of proposals that is never accepted, and a walk step that could spin for ever.
void check_walk_parameter(const char* name, double v) {
  if (!(std::isfinite(v) && v > 0.0))
    raise_error(ErrorKind::Value,
                std::string(name) + " must be a finite number greater than 0, got " + float_repr(v));
  const float f = static_cast<float>(v);
  if (!(std::isfinite(f) && f > 0.0f && std::isfinite(1.0f / f)))
    raise_error(ErrorKind::Value, std::string(name) +
                                      " is out of the range that training supports in single "
                                      "precision (about 3e-39 to 3e+38), got " +
                                      float_repr(v));
}

void check_options(const EpochOptions& options, uint32_t n, uint64_t max_walk_length) {
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
  const size_t cells = options.walks.size();
  if (cells != 0 && (n == 0 || cells % n != 0 || cells / n != max_walk_length))
    raise_error(ErrorKind::Value, "walks has " + std::to_string(cells) +
                                      " entries but the graph has " + std::to_string(n) +
                                      " nodes and walks of up to " +
                                      std::to_string(max_walk_length));
}

// The walk into its row of the caller's matrix, -1 after its end. Node ids fit: graphs have at
// most INT32_MAX nodes.
void copy_walk(const std::vector<uint32_t>& walk, std::span<int32_t> row) {
  const auto end = std::transform(walk.begin(), walk.end(), row.begin(),
                                  [](uint32_t v) { return static_cast<int32_t>(v); });
  std::fill(end, row.end(), -1);
}

// The negatives' table, or none for the uniform draw.
std::optional<AliasTable> noise_table(const CsrRecord& graph, const EpochOptions& options) {
  if (options.ns_exponent == 0.0) return std::nullopt;
  if (!options.noise_counts.empty()) return AliasTable(options.noise_counts, options.ns_exponent);
  std::vector<uint64_t> degrees(graph.num_nodes());
  for (uint32_t i = 0; i < degrees.size(); ++i) degrees[i] = graph.neighbors(i).size();
  return AliasTable(degrees, options.ns_exponent);
}

}  // namespace

void train_epoch(const CsrRecord& graph, const Node2VecParams& params,
                 const MatrixView& embeddings, const MatrixView& hidden_layer,
                 uint64_t next_random, const EpochOptions& options) {
  const uint32_t n = graph.num_nodes();
  check_options(options, n, params.max_walk_length);
  if (n == 0) return;
  if (n > static_cast<uint32_t>(INT32_MAX))
    raise_error(ErrorKind::Overflow, "graphs larger than i32 not yet supported");
  check_walk_parameter("p", params.p);
  check_walk_parameter("q", params.q);

  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  Lcg48 epoch_rng = Lcg48::from_seed(next_random);
  epoch_rng.shuffle(order);
  const uint64_t base_seed = epoch_rng.next_u64();
  const size_t dim = hidden_layer.cols;
  const uint64_t batch = params.batch_size;
  if (batch == 0) panic("attempt to divide by zero");
  const uint64_t num_chunks = n / batch + (n % batch != 0);
  const std::optional<AliasTable> table =
      options.train ? noise_table(graph, options) : std::nullopt;

  SharedPoolLease lease;
  std::unique_ptr<ThreadPool> own_pool;
  ThreadPool* pool;
  if (!params.workers && (lease = lease_shared_pool()).pool) {
    pool = lease.pool;
  } else {
    const uint64_t w = params.workers.value_or(0);
    own_pool = std::make_unique<ThreadPool>(w == 0 ? default_pool_size()
                                                   : static_cast<size_t>(std::min<uint64_t>(w, 65535)));
    pool = own_pool.get();
  }

  const WalkBias bias = WalkBias::from_params(params.p, params.q);
  EpochControl* const control = options.control;
  std::atomic<uint64_t> chunk_counter{0};
  std::atomic<bool> failed{false};
  const auto stopped = [&] {
    return failed.load(std::memory_order_relaxed) ||
           (control && control->stop.load(std::memory_order_relaxed));
  };
  // Each worker's visit counts, filled at its first walk and added up after the epoch.
  std::vector<std::vector<uint64_t>> visits(options.visits.empty() ? 0 : pool->size());

  const auto run = [&](const auto& negatives) {
    pool->run(
        [&](size_t worker) {
          TrainScratch scratch;  // this thread's buffers for this call, made at its first chunk
          std::vector<uint32_t> walk;
          std::vector<uint64_t>* const counted = visits.empty() ? nullptr : &visits[worker];
          while (!stopped()) {
            const uint64_t k = chunk_counter.fetch_add(1, std::memory_order_relaxed);
            if (k >= num_chunks) break;
            try {
              if (scratch.error.size() != dim) scratch.error.assign(dim, 0.0f);
              const float alpha = static_cast<float>(
                  params.start_alpha -
                  (static_cast<double>(k) / static_cast<double>(num_chunks)) *
                      (params.start_alpha - params.end_alpha));
              walk.reserve(
                  static_cast<size_t>(std::min<uint64_t>(params.max_walk_length, 1u << 16)));
              Lcg48 rng = Lcg48::from_seed(base_seed + k);
              const uint64_t first = k * batch;
              const uint64_t last = std::min<uint64_t>(first + batch, n);
              for (uint64_t s = first; s < last; ++s) {
                if (control && control->stop.load(std::memory_order_relaxed)) break;
                random_walk(graph, order[s], params.max_walk_length, bias, rng, walk);
                if (options.train)
                  train_walk(walk, rng, alpha, params.window, params.num_negative, negatives,
                             embeddings, hidden_layer, scratch);
                if (!options.walks.empty())
                  copy_walk(walk, options.walks.subspan(s * params.max_walk_length,
                                                        params.max_walk_length));
                if (counted) {
                  if (counted->empty()) counted->assign(n, 0);
                  for (const uint32_t v : walk) ++(*counted)[v];
                }
                if (control) control->walks_done.fetch_add(1, std::memory_order_relaxed);
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
  if (table) run(*table);
  else run(UniformNegatives(static_cast<int32_t>(n)));

  for (const std::vector<uint64_t>& counted : visits)
    for (size_t i = 0; i < counted.size(); ++i) options.visits[i] += counted[i];
}

}  // namespace velmor
