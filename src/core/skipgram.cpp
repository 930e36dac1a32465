#include "skipgram.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "failure.hpp"
#include "sigmoid_table.hpp"
#include "vec_kernels.hpp"

namespace velmor {

namespace {

[[noreturn]] void fail_index(SourceLocation where = SourceLocation::current()) {
  panic("assertion failed: index < dim", where);
}
[[noreturn]] void fail_len(SourceLocation where = SourceLocation::current()) {
  panic("assertion failed: self.len() == rhs.len()", where);
}

// Always inlined: GCC's interprocedural analysis treats a function whose only effect is a
// prefetch as free of side effects and deletes the calls to it. Covers every cache line of the
// row, including the last one that a row not aligned to 64 bytes spills into. Locality is
// __builtin_prefetch's: 3 (prefetcht0) asks for the row into L1, 1 (prefetcht2) into L2 only.
template <int Locality = 3>
[[gnu::always_inline]] inline void prefetch_row(const float* row, size_t dim) {
  constexpr uintptr_t kLine = 64;
  const uintptr_t end = reinterpret_cast<uintptr_t>(row + dim);
#pragma GCC unroll 4
  for (uintptr_t a = reinterpret_cast<uintptr_t>(row) & ~(kLine - 1); a < end; a += kLine)
    __builtin_prefetch(reinterpret_cast<const void*>(a), 0, Locality);
}

struct NoWork {
  void operator()() const {}
};

// The per-pair arithmetic, over contiguous rows (kernels) or any strides (element by element).
struct RowOps {
  const VecKernels& k;
  bool contiguous;
  ptrdiff_t es, hs;  // column strides of embeddings and hidden_layer

  float dot(const float* e, const float* h, size_t dim) const {
    if (contiguous) return k.dot(e, h, dim);
    float s = 0.0f;
    for (size_t j = 0; j < dim; ++j) s += e[j * es] * h[j * hs];
    return s;
  }
  // error += g * h; h += g * e
  void update(float g, const float* e, float* h, float* error, size_t dim) const {
    if (contiguous) return k.update(g, e, h, error, dim);
    for (size_t j = 0; j < dim; ++j) error[j] += g * h[j * hs];
    for (size_t j = 0; j < dim; ++j) h[j * hs] += g * e[j * es];
  }
  // error += g * h, h left as it is: the update of a frozen output row, dropped.
  void accumulate(float g, const float* h, float* error, size_t dim) const {
    if (contiguous) return k.axpy(g, h, error, dim);
    for (size_t j = 0; j < dim; ++j) error[j] += g * h[j * hs];
  }
  // e += error
  void apply(const float* error, float* e, size_t dim) const {
    if (contiguous) return k.axpy(1.0f, error, e, dim);
    for (size_t j = 0; j < dim; ++j) e[j * es] += error[j];
  }
};

// Lowest and one-past-highest address of a matrix's elements.
std::pair<const float*, const float*> extent(const MatrixView& m) {
  if (m.rows == 0 || m.cols == 0) return {m.data, m.data};
  ptrdiff_t lo = 0, hi = 0;
  const ptrdiff_t r = static_cast<ptrdiff_t>(m.rows - 1) * m.row_stride;
  const ptrdiff_t c = static_cast<ptrdiff_t>(m.cols - 1) * m.col_stride;
  lo += std::min<ptrdiff_t>(r, 0) + std::min<ptrdiff_t>(c, 0);
  hi += std::max<ptrdiff_t>(r, 0) + std::max<ptrdiff_t>(c, 0);
  return {m.data + lo, m.data + hi + 1};
}

// True when every row of both (unit column stride) matrices is disjoint from every other row.
bool rows_disjoint(const MatrixView& a, const MatrixView& b) {
  const auto separate_rows = [](const MatrixView& m) {
    return m.rows <= 1 ||
           static_cast<size_t>(m.row_stride < 0 ? -m.row_stride : m.row_stride) >= m.cols;
  };
  const auto [a_lo, a_hi] = extent(a);
  const auto [b_lo, b_hi] = extent(b);
  return separate_rows(a) && separate_rows(b) && (a_hi <= b_lo || b_hi <= a_lo);
}

// The updates of one walk's (context, centre) pairs, one by one or a position's as a block.
// Row checks happen at the access that needs them, so a failing pair leaves the updates before
// it in place. kFreeze: rows marked in `frozen` are never written (see train_walk): the fused
// and block paths write their updates to throwaway copies in `shadow`, the per-sample path
// leaves them out.
template <bool kFreeze>
struct PairTrainer {
  // Shadow rows a fused pair (one per target and one for the context) or a position block (one
  // per context and one per target) may need.
  static constexpr size_t kShadowRows = kMaxBlockContexts + kMaxBlockTargets;

  const MatrixView& embeddings;
  const MatrixView& hidden_layer;
  const RowOps ops;
  const float alpha;
  float* const error;  // hidden_layer.cols entries
  const bool fusable;  // contiguous rows, and no row of one matrix overlaps a row of the other
  const std::span<const uint8_t> frozen = {};  // read only when kFreeze
  float* const shadow = nullptr;  // kFreeze: kShadowRows rows of dim() floats, this thread's

  size_t dim() const { return hidden_layer.cols; }
  bool is_frozen(uint32_t node) const { return node < frozen.size() && frozen[node] != 0; }
  // Where the fused kernel writes the update of `row`, node `node`'s: the row itself, or for a
  // frozen node a copy in shadow row `slot`, so that the arithmetic is the same and the row is
  // left alone.
  float* writable(float* row, uint32_t node, size_t slot) const {
    if constexpr (kFreeze) {
      if (is_frozen(node)) {
        float* const copy = shadow + slot * dim();
        std::memcpy(copy, row, dim() * sizeof(float));
        return copy;
      }
    }
    return row;
  }
  // Whether the pair is left out, with its draws: both of its rows frozen.
  bool skips(uint32_t in, uint32_t centre) const {
    if constexpr (kFreeze) return is_frozen(in) && is_frozen(centre);
    return false;
  }

  void sample(uint32_t in, uint32_t target, float label) const {
    if (in >= embeddings.rows) fail_index();
    if (target >= hidden_layer.rows) fail_index();
    if (embeddings.cols != hidden_layer.cols) fail_len();
    const float* e = embeddings.row(in);
    float* h = hidden_layer.row(target);
    const std::optional<float> s = sigmoid_lookup(ops.dot(e, h, dim()));
    if (!s) return;
    if constexpr (kFreeze) {
      if (is_frozen(target)) return ops.accumulate((label - *s) * alpha, h, error, dim());
    }
    ops.update((label - *s) * alpha, e, h, error, dim());
  }

  // The definition: one sample at a time, a negative equal to the centre skipped, the context's
  // embeddings row updated last. `negative()` gives the next of the `count` negatives, in order.
  template <class NextNegative>
  void per_sample(uint32_t in, uint32_t centre, uint64_t count, NextNegative negative) const {
    std::fill(error, error + dim(), 0.0f);
    sample(in, centre, 1.0f);
    for (uint64_t d = 0; d < count; ++d)
      if (const uint32_t t = negative(); t != centre) sample(in, t, 0.0f);
    if (in >= embeddings.rows) fail_index();
    if (embeddings.cols != dim()) fail_len();
    if constexpr (kFreeze) {
      if (is_frozen(in)) return;
    }
    ops.apply(error, embeddings.row(in), dim());
  }

  // The same pair in two passes over the columns (all dot products, then all updates). `targets`
  // holds the k targets the per-sample path would train, centre first, all in range and
  // pairwise distinct: then no dot product reads a row that an earlier sample of the pair
  // updates, and the result is the per-sample one. K is k fixed at compile time (1..8), or 0.
  template <int K>
  void fused(uint32_t in, const uint32_t* targets, size_t k) const {
    constexpr size_t kMax = K > 0 ? K : 32;
    float* rows[kMax];
    float f[kMax];
    float g[kMax];
    float* updated[kMax];
    rows[0] = hidden_layer.row(targets[0]);  // k >= 1: the centre
#pragma GCC unroll 8
    for (size_t a = 1; a < k; ++a) rows[a] = hidden_layer.row(targets[a]);
    float* e = embeddings.row(in);
    ops.k.dots(e, rows, k, dim(), f);
    size_t m = 0;
#pragma GCC unroll 8
    for (size_t a = 0; a < k; ++a) {
      const float x = f[a];
      // sigmoid_lookup's empty case, tested here so that the value stays in a register.
      if (x <= -kSigmoidLimit || x >= kSigmoidLimit) [[unlikely]]
        continue;
      g[m] = ((a == 0 ? 1.0f : 0.0f) - *sigmoid_lookup(x)) * alpha;
      updated[m] = writable(rows[a], targets[a], m);
      ++m;
    }
    ops.k.pair_update(g, updated, m, writable(e, in, kMax), dim());
  }

  // A walk position as blocks (NegativeDraws::per_position): its `pairs` contexts `in`, in
  // order, with the centre and the `count` shared negatives at `neg`, in runs of up to
  // kBlockContexts distinct contexts (a context met again starts the next run). Returns false,
  // having trained nothing, when blocks cannot take the position (rows out of range, strided
  // or overlapping matrices, too many negatives, a negative drawn twice): the caller then
  // trains it pair by pair, which panics at the first pair that needs a missing row, as it
  // always has.
  // `after_first()` runs once the first run is trained.
  template <class AfterFirst = NoWork>
  bool position(const uint32_t* in, size_t pairs, uint32_t centre, const uint32_t* neg,
                uint64_t count, AfterFirst after_first = {}) const {
    if (!fusable || embeddings.cols != hidden_layer.cols || count >= kMaxBlockTargets ||
        centre >= hidden_layer.rows)
      return false;
    for (size_t a = 0; a < pairs; ++a)
      if (in[a] >= embeddings.rows) return false;
    uint32_t targets[kMaxBlockTargets];
    size_t nt = 0;
    targets[nt++] = centre;
    for (uint64_t d = 0; d < count; ++d) {
      const uint32_t v = neg[d];
      if (v == centre) continue;
      if (v >= hidden_layer.rows) return false;
      for (size_t b = 1; b < nt; ++b)
        if (targets[b] == v) return false;
      targets[nt++] = v;
    }
    for (size_t first = 0, last; first < pairs; first = last) {
      for (last = first + 1; last < pairs && last - first < kBlockContexts; ++last)
        if (std::find(in + first, in + last, in[last]) != in + last) break;
      block(in + first, last - first, targets, nt);
      if (first == 0) after_first();
    }
    return true;
  }

  // One block of distinct, in-range contexts (1..kBlockContexts) and targets (centre first),
  // trained as its pairs would be one after the other. With S = C T^T and the Gram matrix
  // K = C C^T of the rows as the block finds them, context a's pairs see every target row
  // moved by the contexts before it, so its scores are S[a][b] + sum over e < a of
  // G[e][b] K[a][e], which gives its rates G[a][b] in turn; its own row then takes
  // G[a] T + sum over e < a of (G[a] . G[e]) C[e], and the targets G^T C. A frozen target
  // never moves, so it adds nothing to those sums.
  void block(const uint32_t* contexts, size_t nc, const uint32_t* targets, size_t nt) const {
    float* c[kMaxBlockContexts];
    float* t[kMaxBlockTargets];
    bool moves[kMaxBlockTargets];
    c[0] = writable(embeddings.row(contexts[0]), contexts[0], 0);
    for (size_t a = 1; a < nc; ++a) c[a] = writable(embeddings.row(contexts[a]), contexts[a], a);
    t[0] = writable(hidden_layer.row(targets[0]), targets[0], kMaxBlockContexts);
    for (size_t b = 1; b < nt; ++b)
      t[b] = writable(hidden_layer.row(targets[b]), targets[b], kMaxBlockContexts + b);
    if constexpr (kFreeze)
      for (size_t b = 0; b < nt; ++b) moves[b] = !is_frozen(targets[b]);
    float g[kMaxBlockContexts * kMaxBlockTargets];  // the scores S, made rates row by row
    float gram[kMaxBlockContexts * kMaxBlockContexts];
    float m[kMaxBlockContexts * kMaxBlockContexts];
    ops.k.block_dots(c, nc, t, nt, dim(), g);
    for (size_t a = 1; a < nc; ++a) ops.k.dots(c[a], c, a, dim(), gram + a * nc);
    for (size_t a = 0; a < nc; ++a) {
      float* const ga = g + a * nt;
      for (size_t e = 0; e < a; ++e) {
        const float k = gram[a * nc + e];
        const float* const ge = g + e * nt;
        for (size_t b = 0; b < nt; ++b)
          if (!kFreeze || moves[b]) ga[b] += ge[b] * k;
      }
      for (size_t b = 0; b < nt; ++b) {
        const float x = ga[b];
        // sigmoid_lookup's empty case: no update, as for a pair.
        ga[b] = x <= -kSigmoidLimit || x >= kSigmoidLimit
                    ? 0.0f
                    : ((b == 0 ? 1.0f : 0.0f) - *sigmoid_lookup(x)) * alpha;
      }
      for (size_t e = 0; e < a; ++e) {
        const float* const ge = g + e * nt;
        float sum = 0.0f;
        for (size_t b = 0; b < nt; ++b)
          if (!kFreeze || moves[b]) sum += ga[b] * ge[b];
        m[a * nc + e] = sum;
      }
    }
    ops.k.block_update(g, m, c, nc, t, nt, dim());
  }

  // One pair by the fastest path that gives the per-sample result.
  template <int K>
  void pair(uint32_t in, uint32_t centre, const uint32_t* neg, uint64_t count) const {
    if (fusable && in < embeddings.rows && embeddings.cols == hidden_layer.cols) {
      if constexpr (K > 0) {
        // Every target in range and distinct (a negative equal to the centre included: the
        // per-sample path skips it). Tested without branches: a repeat is rare.
        uint32_t t[K];
        t[0] = centre;
#pragma GCC unroll 8
        for (int d = 1; d < K; ++d) t[d] = neg[d - 1];
        bool refused = false;
#pragma GCC unroll 8
        for (int a = 0; a < K; ++a) {
          refused |= t[a] >= hidden_layer.rows;
#pragma GCC unroll 8
          for (int b = 0; b < a; ++b) refused |= t[a] == t[b];
        }
        if (!refused) return fused<K>(in, t, K);
      } else if (count < 32) {
        uint32_t t[32];
        size_t k = 0;
        t[k++] = centre;
        for (uint64_t d = 0; d < count; ++d)
          if (neg[d] != centre) t[k++] = neg[d];
        bool refused = false;
        for (size_t a = 0; a < k && !refused; ++a) {
          refused = t[a] >= hidden_layer.rows;
          for (size_t b = 0; b < a && !refused; ++b) refused = t[a] == t[b];
        }
        if (!refused) return fused<0>(in, t, k);
      }
    }
    per_sample(in, centre, count, [neg]() mutable { return *neg++; });
  }
};

// Whether training should end before walk position i.
inline bool stopped(const std::atomic<bool>* stop, int64_t i) {
  return stop && i % kTrainStopInterval == kTrainStopInterval - 1 &&
         stop->load(std::memory_order_relaxed);
}

// Trains a walk's scheduled pairs in order. K = num_negative + 1 when that is 1..8, else 0.
// `shared`: the negatives are scheduled per position, not per pair; `block`: each position
// trains as a block (shared negatives only). The rows a walk position
// brings in (its centre's hidden_layer row, the embeddings row of its farthest context and any
// shared negatives) are prefetched one position ahead. Per-pair negatives are not: the loads of
// a pair's rows are independent, and prefetching them measured slower.
template <int K, class Trainer>
void train_schedule(const Trainer& t, const std::vector<uint32_t>& walk, int32_t window,
                    uint64_t num_negative, bool shared, bool block, const TrainScratch& scratch,
                    const std::atomic<bool>* stop) {
  const int64_t len = static_cast<int64_t>(walk.size());
  const uint32_t* const begin = scratch.pair_begin.data();
  const uint32_t* const inputs = scratch.inputs.data();
  const uint32_t* const negatives = scratch.negatives.data();
  const uint64_t count = K > 0 ? K - 1 : num_negative;
  const bool prefetch = t.ops.contiguous;
  // Always inlined, like prefetch_row. By blocks, the rows are asked into L2 only: a position
  // brings up to 7 rows (56 lines) that miss on large graphs, and asked into L1 they fill its
  // few miss buffers, so that the prefetches wait and hold up the arithmetic behind them; L2
  // keeps more misses in flight, and a block reads each row from there once. On the 10^6-node
  // graph that made an epoch by blocks about 1.2 times faster (pair by pair gains as much;
  // those paths are left as they were measured).
  const auto prefetch_rows = [block](const float* row, size_t dim) __attribute__((always_inline)) {
    if (block) prefetch_row<1>(row, dim);
    else prefetch_row(row, dim);
  };
  const auto prefetch_from = [&](const MatrixView& m, int64_t c) __attribute__((always_inline)) {
    const uint32_t node = walk[static_cast<size_t>(c)];
    if (node < m.rows) prefetch_rows(m.row(node), m.cols);
  };
  // A position without pairs has no negatives drawn: its entries hold stale (in-range) ids,
  // harmless to prefetch.
  const auto prefetch_negatives = [&](int64_t i) __attribute__((always_inline)) {
    const uint32_t* const ahead = negatives + static_cast<size_t>(i) * count;
    for (uint64_t d = 0; d < count; ++d)
      if (ahead[d] < t.hidden_layer.rows)
        prefetch_rows(t.hidden_layer.row(ahead[d]), t.hidden_layer.cols);
  };
  if (prefetch) {
    for (int64_t c = 0; c < len && c <= window; ++c) prefetch_from(t.embeddings, c);
    if (len > 0) prefetch_from(t.hidden_layer, 0);
    if (len > 0 && shared) prefetch_negatives(0);
  }
  // Twice per position, the interleaved work (InterleavedWork): at its start and after its
  // first block, or half of its pairs.
  InterleavedWork* const work = scratch.interleaved;
  const auto advance = [work] {
    if (work) work->advance();
  };
  for (int64_t i = 0; i < len; ++i) {
    if (stopped(stop, i)) return;
    if (prefetch && i + 1 < len) {
      prefetch_from(t.hidden_layer, i + 1);
      if (window > 0 && i + 1 + window < len) prefetch_from(t.embeddings, i + 1 + window);
      if (shared) prefetch_negatives(i + 1);
    }
    advance();
    const uint32_t centre = walk[static_cast<size_t>(i)];
    if (block && begin[i + 1] > begin[i] &&
        t.position(inputs + begin[i], begin[i + 1] - begin[i], centre,
                   negatives + static_cast<size_t>(i) * count, count, advance))
      continue;
    const uint32_t half = begin[i] + (begin[i + 1] - begin[i]) / 2;
    if (begin[i + 1] == begin[i]) advance();
    for (uint32_t j = begin[i]; j < begin[i + 1]; ++j) {
      t.template pair<K>(
          inputs[j], centre,
          negatives + static_cast<size_t>(shared ? static_cast<uint32_t>(i) : j) * count, count);
      if (j == half) advance();
    }
  }
}

// f(std::integral_constant<int, K>()) with K = num_negative + 1 when that is 1..8, else 0: the
// fused pair update for a fixed negative count, or for any.
template <class F>
void with_fixed_count(uint64_t num_negative, F&& f) {
  switch (num_negative) {
    case 0: return f(std::integral_constant<int, 1>());
    case 1: return f(std::integral_constant<int, 2>());
    case 2: return f(std::integral_constant<int, 3>());
    case 3: return f(std::integral_constant<int, 4>());
    case 4: return f(std::integral_constant<int, 5>());
    case 5: return f(std::integral_constant<int, 6>());
    case 6: return f(std::integral_constant<int, 7>());
    case 7: return f(std::integral_constant<int, 8>());
    default: return f(std::integral_constant<int, 0>());
  }
}

// The trainer of two matrices with no frozen row.
PairTrainer<false> make_trainer(const MatrixView& embeddings, const MatrixView& hidden_layer,
                                float alpha, float* error, const VecKernels& vec) {
  const bool contiguous = embeddings.col_stride == 1 && hidden_layer.col_stride == 1;
  return PairTrainer<false>{embeddings,
                            hidden_layer,
                            RowOps{vec, contiguous, embeddings.col_stride, hidden_layer.col_stride},
                            alpha,
                            error,
                            contiguous && rows_disjoint(embeddings, hidden_layer)};
}

// The draws and updates of one walk, with the trainer of the plain or the frozen-row policy.
template <class Negatives, class Trainer>
void train_walk_by(const Trainer& trainer, const std::vector<uint32_t>& walk, Lcg48& rng,
                   int32_t window, uint64_t num_negative, const Negatives& negatives,
                   TrainScratch& scratch, bool shared, bool block, const std::atomic<bool>* stop) {
  const int64_t len = static_cast<int64_t>(walk.size());
  const Lcg48::FixedBound window_bound(window);
  auto context_range = [&](int64_t i) {
    const ContextSpan span = draw_context(rng, window_bound, window, i, len);
    return std::pair<int64_t, int64_t>{span.first, span.last};
  };

  // The draws of a walk depend only on the walk and the parameters, never on the matrices, so
  // they are all made first; training then knows every row it will touch ahead of time.
  const uint64_t contexts =
      window > 0 ? std::min<uint64_t>(2 * static_cast<uint64_t>(window), len > 0 ? len - 1 : 0) : 0;
  const uint64_t max_pairs = static_cast<uint64_t>(len) * contexts;
  constexpr uint64_t kMaxScheduled = 1u << 20;
  const auto grow = [](std::vector<uint32_t>& v, uint64_t size) {
    if (v.size() < size) v.resize(static_cast<size_t>(size));
  };
  if (max_pairs <= kMaxScheduled &&
      num_negative <= 4 * kMaxScheduled / std::max<uint64_t>(max_pairs, 1)) {
    grow(scratch.pair_begin, static_cast<uint64_t>(len) + 1);
    grow(scratch.inputs, max_pairs);
    grow(scratch.negatives, (shared ? static_cast<uint64_t>(len) : max_pairs) * num_negative);
    uint32_t* const begin = scratch.pair_begin.data();
    uint32_t* const inputs = scratch.inputs.data();
    uint32_t* const scheduled = scratch.negatives.data();
    uint32_t n_pairs = 0;
    for (int64_t i = 0; i < len; ++i) {
      begin[i] = n_pairs;
      const auto [start, end] = context_range(i);
      // [start, end) holds i, so the position has pairs when it holds more.
      if (shared && end - start > 1)
        negatives.fill_unresolved(rng, scheduled + static_cast<size_t>(i) * num_negative,
                                  static_cast<size_t>(num_negative));
      for (int64_t c = start; c < end; ++c) {
        if (c == i || trainer.skips(walk[static_cast<size_t>(c)], walk[static_cast<size_t>(i)]))
          continue;
        inputs[n_pairs] = walk[static_cast<size_t>(c)];
        if (!shared)
          negatives.fill_unresolved(rng, scheduled + static_cast<size_t>(n_pairs) * num_negative,
                                    static_cast<size_t>(num_negative));
        ++n_pairs;
      }
    }
    begin[len] = n_pairs;
    // Shared, the entries of a position without pairs were not drawn: resolving them again
    // keeps them in range, and nothing trains with them.
    negatives.resolve(
        scheduled,
        static_cast<size_t>((shared ? static_cast<uint64_t>(len) : n_pairs) * num_negative));
    if (scratch.interleaved) scratch.interleaved->begin(rng);
    return with_fixed_count(num_negative, [&](auto k) {
      train_schedule<decltype(k)::value>(trainer, walk, window, num_negative, shared, block,
                                         scratch, stop);
    });
  }

  // Walks too long (or windows and negative counts too large) to schedule: draw as we go.
  std::vector<uint32_t>& neg = scratch.negatives;
  if (neg.size() < num_negative && num_negative <= (1u << 22)) neg.resize(num_negative);
  for (int64_t i = 0; i < len; ++i) {
    if (stopped(stop, i)) return;
    const auto [start, end] = context_range(i);
    const uint32_t centre = walk[static_cast<size_t>(i)];
    const bool share_here = shared && num_negative <= neg.size() && end - start > 1;
    if (share_here) negatives.fill(rng, neg.data(), static_cast<size_t>(num_negative));
    if (share_here && block) {
      grow(scratch.inputs, contexts);
      uint32_t* const in = scratch.inputs.data();
      size_t pairs = 0;
      for (int64_t c = start; c < end; ++c)
        if (c != i && !trainer.skips(walk[static_cast<size_t>(c)], centre))
          in[pairs++] = walk[static_cast<size_t>(c)];
      if (pairs == 0 || trainer.position(in, pairs, centre, neg.data(), num_negative)) continue;
    }
    for (int64_t c = start; c < end; ++c) {
      if (c == i || trainer.skips(walk[static_cast<size_t>(c)], centre)) continue;
      const uint32_t in = walk[static_cast<size_t>(c)];
      if (num_negative <= neg.size()) {
        if (!share_here) negatives.fill(rng, neg.data(), static_cast<size_t>(num_negative));
        trainer.template pair<0>(in, centre, neg.data(), num_negative);
        continue;
      }
      // A negative count too large to hold: draw each one as its sample needs it.
      trainer.per_sample(in, centre, num_negative, [&] { return negatives.next(rng); });
    }
  }
}

}  // namespace

template <class Negatives>
void train_walk(const std::vector<uint32_t>& walk, Lcg48& rng, float alpha, int32_t window,
                uint64_t num_negative, const Negatives& negatives, const MatrixView& embeddings,
                const MatrixView& hidden_layer, TrainScratch& scratch, NegativeDraws draws,
                const VecKernels& vec, std::span<const uint8_t> frozen,
                const std::atomic<bool>* stop) {
  const bool shared = draws != NegativeDraws::per_pair;
  const bool block = draws == NegativeDraws::per_position;
  const PairTrainer<false> plain =
      make_trainer(embeddings, hidden_layer, alpha, scratch.error.data(), vec);
  if (frozen.empty())
    return train_walk_by(plain, walk, rng, window, num_negative, negatives, scratch, shared, block,
                         stop);
  const size_t shadow = PairTrainer<true>::kShadowRows * hidden_layer.cols;
  if (scratch.shadow.size() < shadow) scratch.shadow.resize(shadow);
  train_walk_by(PairTrainer<true>{embeddings, hidden_layer, plain.ops, alpha, plain.error,
                                  plain.fusable, frozen, scratch.shadow.data()},
                walk, rng, window, num_negative, negatives, scratch, shared, block, stop);
}

void train_pairs(std::span<const SkipGramPair> pairs, const uint32_t* negatives,
                 uint64_t num_negative, uint64_t pairs_per_draw, float alpha,
                 const MatrixView& embeddings, const MatrixView& hidden_layer, float* error,
                 const VecKernels& vec) {
  const PairTrainer<false> trainer = make_trainer(embeddings, hidden_layer, alpha, error, vec);
  with_fixed_count(num_negative, [&](auto k) {
    constexpr int K = decltype(k)::value;
    const uint64_t count = K > 0 ? K - 1 : num_negative;
    const size_t n = pairs.size();
    // A bucket's pairs reach rows all over two blocks, which on large graphs are misses: the
    // rows of the pair kAhead on (and the negatives of its draw) are prefetched. That made an
    // epoch on a 3*10^5-node graph 1.1 to 1.4 times faster.
    const bool prefetch = trainer.ops.contiguous;
    constexpr size_t kAhead = 4;
    const auto prefetch_pair = [&](size_t a) __attribute__((always_inline)) {
      const SkipGramPair& p = pairs[a];
      if (p.input < embeddings.rows) prefetch_row(embeddings.row(p.input), embeddings.cols);
      if (p.output < hidden_layer.rows) prefetch_row(hidden_layer.row(p.output), hidden_layer.cols);
      if (a % pairs_per_draw == 0) {
        const uint32_t* const ahead = negatives + a / pairs_per_draw * count;
        for (uint64_t d = 0; d < count; ++d)
          if (ahead[d] < hidden_layer.rows)
            prefetch_row(hidden_layer.row(ahead[d]), hidden_layer.cols);
      }
    };
    if (prefetch)
      for (size_t a = 0; a < kAhead && a < n; ++a) prefetch_pair(a);
    const uint32_t* neg = negatives;
    for (size_t first = 0, last; first < n; first = last, neg += count) {
      last = first + static_cast<size_t>(std::min<uint64_t>(n - first, pairs_per_draw));
      for (size_t j = first; j < last; ++j) {
        if (prefetch && j + kAhead < n) prefetch_pair(j + kAhead);
        trainer.pair<K>(pairs[j].input, pairs[j].output, neg, count);
      }
    }
  });
}

template void train_walk(const std::vector<uint32_t>&, Lcg48&, float, int32_t, uint64_t,
                         const UniformNegatives&, const MatrixView&, const MatrixView&,
                         TrainScratch&, NegativeDraws, const VecKernels&, std::span<const uint8_t>,
                         const std::atomic<bool>*);
template void train_walk(const std::vector<uint32_t>&, Lcg48&, float, int32_t, uint64_t,
                         const WeightedNegatives&, const MatrixView&, const MatrixView&,
                         TrainScratch&, NegativeDraws, const VecKernels&, std::span<const uint8_t>,
                         const std::atomic<bool>*);

}  // namespace velmor
