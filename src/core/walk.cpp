#include "walk.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>

#include "failure.hpp"
#include "float_repr.hpp"

namespace velmor {

WalkBias WalkBias::from_params(double p, double q) {
  const float pf = static_cast<float>(p), qf = static_cast<float>(q);
  const float inv_p = 1.0f / pf, inv_q = 1.0f / qf;
  const auto larger = [](float a, float b) { return a > b ? a : b; };
  const float m = larger(inv_p, larger(inv_q, 1.0f));
  return {inv_p / m, 1.0f / m, inv_q / m, pf == qf && qf == 1.0f};
}

namespace {

// A row as the walk draws from it: propose() gives one of its arcs' targets in proportion to the
// arc's weight. The plain graph's arcs all weigh the same, and a proposal is one next_int.
class PlainRow {
 public:
  PlainRow(const CsrRecord& graph, uint32_t node) : targets_(graph.neighbors(node)) {}
  bool empty() const { return targets_.empty(); }
  uint32_t propose(Lcg48& rng, int32_t degree) const {
    return targets_[static_cast<uint32_t>(rng.next_int(degree))];
  }
  int32_t degree() const { return static_cast<int32_t>(targets_.size()); }

 private:
  std::span<const uint32_t> targets_;
};

// A weighted row: a uniform slot of its alias table, then, unless the slot is full, a coin of 32
// bits against the slot's threshold. A row whose arcs all weigh the same has only full slots and
// draws exactly as the plain row does.
class WeightedRow {
 public:
  WeightedRow(const WeightedCsrRecord& graph, uint32_t node)
      : targets_(graph.csr.neighbors(node)),
        slots_(graph.slots.data() + (targets_.data() - graph.csr.targets.data())) {}
  bool empty() const { return targets_.empty(); }
  uint32_t propose(Lcg48& rng, int32_t degree) const {
    const uint32_t k = static_cast<uint32_t>(rng.next_int(degree));
    const AliasSlot slot = slots_[k];
    if (slot.threshold == kFullSlot || rng.next_bits(32) < slot.threshold) return targets_[k];
    return slot.alias;
  }
  int32_t degree() const { return static_cast<int32_t>(targets_.size()); }

 private:
  std::span<const uint32_t> targets_;
  const AliasSlot* slots_;
};

PlainRow row_of(const CsrRecord& graph, uint32_t node) { return {graph, node}; }
WeightedRow row_of(const WeightedCsrRecord& graph, uint32_t node) { return {graph, node}; }

// Appends v to a walk of at most max_walk_length nodes. The buffer doubles as it grows but stops
// at the walk's length, where std::vector could reach twice that.
inline void append(std::vector<uint32_t>& walk, uint32_t v, uint64_t max_walk_length) {
  if (walk.size() == walk.capacity())
    walk.reserve(static_cast<size_t>(
        std::min<uint64_t>(max_walk_length, std::max<uint64_t>(2 * walk.capacity(), 16))));
  walk.push_back(v);
}

// Counts proposals down to the next read of the stop flag; without a flag, never reads one.
class StopCheck {
 public:
  explicit StopCheck(const std::atomic<bool>* stop) : stop_(stop) {}
  bool stopped() {
    if (--countdown_ != 0) return false;
    countdown_ = kWalkStopInterval;
    return stop_ && stop_->load(std::memory_order_relaxed);
  }

 private:
  const std::atomic<bool>* stop_;
  uint32_t countdown_ = kWalkStopInterval;
};

// The walk of random_walk on either kind of graph.
template <class Graph>
void walk_from(const Graph& graph, uint32_t start, uint64_t max_walk_length, const WalkBias& bias,
               Lcg48& rng, std::vector<uint32_t>& walk, const std::atomic<bool>* stop) {
  walk.clear();
  if (max_walk_length == 0) return;
  append(walk, start, max_walk_length);
  if (max_walk_length == 1) return;
  auto row = row_of(graph, start);
  if (row.empty()) return;
  append(walk, row.propose(rng, row.degree()), max_walk_length);
  StopCheck check(stop);

  // has_edge is needed only when r falls between the near and far thresholds; deciding the other
  // cases without it changes neither the draws nor the outcome.
  const float lo = std::fmin(bias.near_threshold, bias.far_threshold);
  const float hi = std::fmax(bias.near_threshold, bias.far_threshold);
  for (uint64_t i = 2; i < max_walk_length; ++i) {
    const uint32_t cur = walk[i - 1], prev = walk[i - 2];
    row = row_of(graph, cur);
    if (row.empty()) return;
    const int32_t degree = row.degree();
    uint32_t next;
    if (bias.uniform) {
      if (check.stopped()) return;
      next = row.propose(rng, degree);
    } else {
      for (;;) {
        if (check.stopped()) return;
        const uint32_t x = row.propose(rng, degree);
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
    append(walk, next, max_walk_length);
  }
}

}  // namespace

void random_walk(const CsrRecord& graph, uint32_t start, uint64_t max_walk_length,
                 const WalkBias& bias, Lcg48& rng, std::vector<uint32_t>& walk,
                 const std::atomic<bool>* stop) {
  walk_from(graph, start, max_walk_length, bias, rng, walk, stop);
}

void random_walk(const WeightedCsrRecord& graph, uint32_t start, uint64_t max_walk_length,
                 const WalkBias& bias, Lcg48& rng, std::vector<uint32_t>& walk,
                 const std::atomic<bool>* stop) {
  walk_from(graph, start, max_walk_length, bias, rng, walk, stop);
}

void check_walk_parameter(const char* name, double v) {
  if (!(std::isfinite(v) && v > 0.0))
    raise_error(
        ErrorKind::Value,
        std::string(name) + " must be a finite number greater than 0, got " + float_repr(v));
  const float f = static_cast<float>(v);
  if (!(std::isfinite(f) && f > 0.0f && std::isfinite(1.0f / f)))
    raise_error(ErrorKind::Value, std::string(name) +
                                      " is out of the range that training supports in single "
                                      "precision (about 3e-39 to 3e+38), got " +
                                      float_repr(v));
}

}  // namespace velmor
