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

// The first line of the row of `node`: the read that starts a step from it.
void prefetch_offsets(const CsrRecord& graph, uint32_t node) {
  if (node < graph.num_nodes()) __builtin_prefetch(graph.offsets.data() + node);
}
void prefetch_offsets(const WeightedCsrRecord& graph, uint32_t node) {
  prefetch_offsets(graph.csr, node);
}

// The line of arc k of `node`'s row (and its alias slot): the step's proposal.
void prefetch_arc(const CsrRecord& graph, std::span<const uint32_t> row, uint32_t k) {
  static_cast<void>(graph);
  __builtin_prefetch(row.data() + k);
}
void prefetch_arc(const WeightedCsrRecord& graph, std::span<const uint32_t> row, uint32_t k) {
  __builtin_prefetch(row.data() + k);
  __builtin_prefetch(graph.slots.data() + (row.data() - graph.csr.targets.data()) + k);
}

const CsrRecord& plain(const CsrRecord& graph) { return graph; }
const CsrRecord& plain(const WeightedCsrRecord& graph) { return graph.csr; }

}  // namespace

template <class Graph>
WalkSteps<Graph>::WalkSteps(const Graph& graph, uint64_t max_walk_length, const WalkBias& bias,
                            const std::atomic<bool>* stop)
    : graph_(graph),
      max_walk_length_(max_walk_length),
      bias_(bias),
      // has_edge is needed only when r falls between the near and far thresholds; deciding the
      // other cases without it changes neither the draws nor the outcome.
      lo_(std::fmin(bias.near_threshold, bias.far_threshold)),
      hi_(std::fmax(bias.near_threshold, bias.far_threshold)),
      stop_(stop) {}

template <class Graph>
void WalkSteps<Graph>::begin(uint32_t start, const Lcg48& rng, std::vector<uint32_t>& walk) {
  rng_ = rng;
  walk_ = &walk;
  countdown_ = kWalkStopInterval;
  walk.clear();
  done_ = max_walk_length_ == 0;
  if (done_) return;
  append(walk, start, max_walk_length_);
  done_ = max_walk_length_ == 1;
  prefetch_offsets(graph_, start);
}

template <class Graph>
bool WalkSteps<Graph>::step() {
  if (done_) return false;
  std::vector<uint32_t>& walk = *walk_;
  const size_t i = walk.size();
  const uint32_t cur = walk[i - 1];
  const auto row = row_of(graph_, cur);
  if (row.empty()) {
    done_ = true;
    return false;
  }
  const int32_t degree = row.degree();
  uint32_t next;
  if (i == 1) {
    // The first step takes its proposal as it is.
    next = row.propose(rng_, degree);
  } else if (bias_.uniform) {
    if (stopped()) return false;
    next = row.propose(rng_, degree);
  } else {
    const uint32_t prev = walk[i - 2];
    for (;;) {
      if (stopped()) return false;
      const uint32_t x = row.propose(rng_, degree);
      const float r = rng_.next_float();
      bool accept;
      if (x == prev) accept = r < bias_.return_threshold;
      else if (r < lo_) accept = true;
      else if (!(r < hi_)) accept = false;
      else accept = r < (graph_.has_edge(prev, x) ? bias_.near_threshold : bias_.far_threshold);
      if (accept) {
        next = x;
        break;
      }
    }
  }
  append(walk, next, max_walk_length_);
  done_ = walk.size() == max_walk_length_;
  if (!done_) prefetch_offsets(graph_, next);
  return true;
}

template <class Graph>
void WalkSteps<Graph>::prefetch() const {
  if (done_) return;
  const std::vector<uint32_t>& walk = *walk_;
  const size_t i = walk.size();
  const uint32_t cur = walk[i - 1];
  if (cur >= graph_.num_nodes()) return;
  const std::span<const uint32_t> row = plain(graph_).neighbors(cur);
  if (row.empty()) return;
  // The proposal's arc, from a copy of the generator: its first draw picks the arc.
  Lcg48 peek = rng_;
  prefetch_arc(graph_, row, static_cast<uint32_t>(peek.next_int(static_cast<int32_t>(row.size()))));
  if (i == 1 || bias_.uniform) return;
  // has_edge's first probes in the previous node's row, and that row's start.
  const uint32_t prev = walk[i - 2];
  if (prev >= graph_.num_nodes()) return;
  const std::span<const uint32_t> back = plain(graph_).neighbors(prev);
  const size_t half = back.size() / 2;
  __builtin_prefetch(back.data());
  __builtin_prefetch(back.data() + half);
  __builtin_prefetch(back.data() + half / 2);
  __builtin_prefetch(back.data() + half + half / 2);
}

template <class Graph>
bool WalkSteps<Graph>::stopped() {
  if (--countdown_ != 0) return false;
  countdown_ = kWalkStopInterval;
  if (!(stop_ && stop_->load(std::memory_order_relaxed))) return false;
  done_ = true;
  return true;
}

template class WalkSteps<CsrRecord>;
template class WalkSteps<WeightedCsrRecord>;

namespace {

// The walk of random_walk on either kind of graph.
template <class Graph>
void walk_from(const Graph& graph, uint32_t start, uint64_t max_walk_length, const WalkBias& bias,
               Lcg48& rng, std::vector<uint32_t>& walk, const std::atomic<bool>* stop) {
  WalkSteps<Graph> steps(graph, max_walk_length, bias, stop);
  steps.begin(start, rng, walk);
  while (steps.step()) {
  }
  rng = steps.rng();
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
