// Threading of the epoch driver and the pool: a stress run in every build, and the subject of
// ThreadSanitizer (tools/sanitize.sh tsan). RaceFree: work where no two chunks touch the same row,
// and the pool's life cycle, with nothing suppressed. Hogwild: ordinary training, whose lock-free
// row updates alone tests/tsan.supp silences.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "epoch.hpp"
#include "failure.hpp"
#include "graph.hpp"
#include "sigmoid_table.hpp"
#include "thread_pool.hpp"

using namespace velmor;

namespace {

// The module fills the table at import, before any thread exists; so do we.
const bool kTableFilled = (fill_sigmoid_table(), true);

CsrRecord build(const std::vector<uint32_t>& flat, bool directed) {
  const EdgeView view{reinterpret_cast<const char*>(flat.data()), flat.size() / 2, 2, 8, 4};
  return csr_from_edges(view, directed);
}

// The edges (v, v) for v < n with `loops`, else a star: (0, v) for 0 < v < n.
std::vector<uint32_t> loops_or_star(uint32_t n, bool loops) {
  std::vector<uint32_t> flat;
  for (uint32_t v = loops ? 0 : 1; v < n; ++v) flat.insert(flat.end(), {loops ? v : 0, v});
  return flat;
}

std::vector<uint32_t> random_edges(uint32_t n, size_t m, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<uint32_t> node(0, n - 1);
  std::vector<uint32_t> flat;
  for (size_t i = 0; i < m; ++i) flat.insert(flat.end(), {node(gen), node(gen)});
  flat.insert(flat.end(), {n - 1, 0});  // every id up to n - 1 exists
  return flat;
}

// The undirected graph of random_edges(n, m, seed), edge i weighing 1 + (i % 7) * spread.
WeightedCsrRecord random_weighted(uint32_t n, size_t m, uint32_t seed, double spread) {
  const std::vector<uint32_t> flat = random_edges(n, m, seed);
  std::vector<double> weights(flat.size() / 2);
  for (size_t i = 0; i < weights.size(); ++i)
    weights[i] = 1.0 + static_cast<double>(i % 7) * spread;
  return weighted_csr_from_edges(
      {reinterpret_cast<const char*>(flat.data()), weights.size(), 2, 8, 4},
      {reinterpret_cast<const char*>(weights.data()), weights.size(), 8}, false, n);
}

// A matrix with a column stride (1: the vector kernels; more: element by element) and padding:
// training may write the view's elements, never the padding or the gaps between columns.
struct Matrix {
  static constexpr ptrdiff_t kPad = 16;
  std::vector<float> data, before;
  MatrixView view;

  Matrix(size_t rows, size_t cols, ptrdiff_t col_stride = 1, uint32_t seed = 1)
      : data(rows * cols * static_cast<size_t>(col_stride) + 2 * kPad) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    for (float& x : data) x = u(gen);
    before = data;
    view = MatrixView{data.data() + kPad, rows, cols, static_cast<ptrdiff_t>(cols) * col_stride,
                      col_stride};
  }
  // Every element of the view finite, every other element as it was.
  bool intact() const {
    const ptrdiff_t end = static_cast<ptrdiff_t>(view.rows) * view.row_stride;
    for (ptrdiff_t i = 0; i < static_cast<ptrdiff_t>(data.size()); ++i) {
      const ptrdiff_t k = i - kPad;
      const bool inside = k >= 0 && k < end && k % view.col_stride == 0;
      if (inside ? !std::isfinite(data[i]) : data[i] != before[i]) return false;
    }
    return true;
  }
};

using Workers = std::optional<uint64_t>;
const Workers kShared = std::nullopt;

// Alpha from 0.05 to 0.001, window 3.
Node2VecParams params(Workers workers, uint64_t batch, uint64_t negatives, double p = 1.0,
                      double q = 1.0, uint64_t walk_length = 12) {
  return {p, q, 0.05, 0.001, 3, batch, walk_length, negatives, workers};
}

}  // namespace

TEST(RaceFree, EpochsOnDisjointRowsAndFailingChunksOnEveryKindOfPool) {
  // Each node is a start exactly once per epoch and its walk never leaves it, so every row is
  // trained by one chunk only: the epoch's shared state is all that threads have in common.
  // `short_emb` has rows 0..23 of 48: about half the chunks fail while others run.
  const CsrRecord g = build(loops_or_star(48, true), true);
  Matrix emb(48, 16), hid(48, 16, 1, 2), emb_strided(48, 7, 2, 3), hid_strided(48, 7, 3, 4);
  Matrix both(48, 16, 1, 5), short_emb(24, 16, 1, 6);
  for (const Workers workers : {kShared, Workers(0), Workers(4), Workers(9)}) {
    for (uint64_t batch : {1, 3, 48}) {
      for (uint64_t epoch = 0; epoch < 3; ++epoch) {
        const Node2VecParams uniform = params(workers, batch, 0);
        const Node2VecParams biased = params(workers, batch, 0, 0.5, 2.0);
        try {
          train_epoch(g, uniform, short_emb.view, hid.view, epoch);
          FAIL() << "the epoch did not fail";
        } catch (const Panic& e) {
          EXPECT_EQ(e.message, "assertion failed: index < dim");
        }
        train_epoch(g, uniform, emb.view, hid.view, epoch);  // the pool recovered
        train_epoch(g, biased, emb_strided.view, hid_strided.view, epoch);
        train_epoch(g, uniform, both.view, both.view, epoch);  // one array for both matrices
      }
    }
  }
  EXPECT_TRUE(emb.intact() && hid.intact() && emb_strided.intact() && hid_strided.intact() &&
              both.intact() && short_emb.intact());
}

TEST(RaceFree, ConcurrentCallersCountVisitsAndShareThePoolInTurn) {
  // Two callers at once with the shared pool: one leases it, the other runs on a pool of its
  // own. The visits each counts are merged from its workers after every epoch; each walk is
  // copied by the worker that draws it into a row of its own.
  const CsrRecord g = build(loops_or_star(48, true), true);
  std::vector<uint64_t> visits[2] = {std::vector<uint64_t>(48), std::vector<uint64_t>(48)};
  const auto caller = [&](int c) {
    Matrix emb(48, 16, 1, 10 + c), hid(48, 16, 1, 20 + c);
    std::vector<int32_t> walks(48 * 12);
    EpochControl control;
    EpochOptions options;
    options.ns_exponent = 0.75;
    options.visits = visits[c];
    options.walks = walks;
    options.control = &control;
    for (uint64_t epoch = 0; epoch < 30; ++epoch) {
      train_epoch(g, params(kShared, 1, 0), emb.view, hid.view, epoch, options);
      std::vector<bool> started(48);
      for (size_t row = 0; row < 48; ++row) {
        const int32_t start = walks[row * 12];
        started.at(static_cast<size_t>(start)) = true;
        for (size_t i = 1; i < 12; ++i) ASSERT_EQ(walks[row * 12 + i], start);  // a self-loop
      }
      EXPECT_EQ(std::count(started.begin(), started.end(), true), 48);
    }
    EXPECT_EQ(control.walks_done.load(), 30u * 48);
    EXPECT_TRUE(emb.intact() && hid.intact());
  };
  std::thread first(caller, 0), second(caller, 1);
  first.join();
  second.join();
  for (const auto& counted : visits)
    for (uint64_t v : counted)
      EXPECT_EQ(v, 30u * 12);  // a self-loop walk is 12 visits of its start
}

TEST(RaceFree, TheCallerStopsAnEpochWhileItWaits) {
  const uint32_t n = 20000;
  const CsrRecord g = build(loops_or_star(n, true), true);
  Matrix emb(n, 16), hid(n, 16, 1, 2);
  std::vector<uint64_t> visits(n);
  EpochControl control;
  int ticks = 0;
  control.interval = std::chrono::milliseconds(1);
  control.on_wait = [&] {
    if (++ticks == 3) control.stop.store(true);
  };
  EpochOptions options;
  options.visits = visits;
  options.control = &control;
  train_epoch(g, params(Workers(2), 4, 0, 1.0, 1.0, 200), emb.view, hid.view, 5, options);
  uint64_t total = 0;
  for (uint64_t v : visits) total += v;
  EXPECT_GE(ticks, 3);
  EXPECT_LT(control.walks_done.load(), n);
  EXPECT_EQ(total, control.walks_done.load() * 200);  // whole walks only
  EXPECT_TRUE(emb.intact() && hid.intact());
}

TEST(RaceFree, PoolsRunFailAndStopInEveryState) {
  // Plain writes handed back by run() and failures from many threads at the same moment with
  // results beside them, on the shared pool (made once, then reused) and on pools destroyed
  // idle, right after a run or right after a failure.
  EXPECT_EQ(&shared_pool(), &shared_pool());
  for (int i = 0; i < 200; ++i) {
    (void)ThreadPool(1 + i % 5);  // started and stopped idle
    std::optional<ThreadPool> own;
    ThreadPool& pool = i % 4 == 1 ? shared_pool() : own.emplace(1 + i % 8);
    std::vector<int> after(pool.size(), -1);
    std::atomic<size_t> arrived{0};
    const bool fail = i % 3 == 0;
    const auto job = [&](size_t k) {
      // Every worker waits for all the others, so that what follows really overlaps. Relaxed on
      // purpose: the wait must not order the workers for ThreadSanitizer.
      arrived.fetch_add(1, std::memory_order_relaxed);
      while (arrived.load(std::memory_order_relaxed) < pool.size()) std::this_thread::yield();
      if (fail && k % 2 == 0) throw std::runtime_error("worker " + std::to_string(k));
      after[k] = i;  // a plain write, read on the calling thread after run() returns
    };
    try {
      pool.run(job);
      EXPECT_FALSE(fail) << "run() did not rethrow";
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(fail);
      EXPECT_EQ(std::string(e.what()).rfind("worker ", 0), 0u);
    }
    for (size_t k = 0; k < after.size(); ++k) ASSERT_EQ(after[k], fail && k % 2 == 0 ? -1 : i);
  }
}

TEST(RaceFree, TheBlockScheduleSharesNoRowAcrossThreads) {
  // Walks over the whole graph, so every row is trained by many buckets: only the schedule keeps
  // threads apart. With nothing suppressed, any two buckets of a sub-round that shared a row
  // would be a reported race; and the result is the same bits for every pool.
  const auto train_all = [](const auto& g) {
    const size_t n = g.num_nodes();
    std::vector<float> first;
    for (const Workers workers : {Workers(1), kShared, Workers(2), Workers(9)}) {
      Matrix emb(n, 16), hid(n, 16, 1, 2), emb_strided(n, 9, 2, 3), hid_strided(n, 9, 1, 4);
      EpochOptions options;
      options.ns_exponent = 0.75;
      options.blocks = BlockSchedule{4, 7};
      for (uint64_t epoch = 0; epoch < 3; ++epoch) {
        options.negative_draws = epoch == 1 ? NegativeDraws::per_position : NegativeDraws::per_pair;
        train_epoch(g, params(workers, 1, 5, 0.5, 2.0), emb.view, hid.view, epoch, options);
        train_epoch(g, params(workers, 1, 2), emb_strided.view, hid_strided.view, epoch, options);
      }
      EXPECT_TRUE(emb.intact() && hid.intact() && emb_strided.intact() && hid_strided.intact());
      std::vector<float> all = emb.data;
      all.insert(all.end(), hid.data.begin(), hid.data.end());
      all.insert(all.end(), emb_strided.data.begin(), emb_strided.data.end());
      all.insert(all.end(), hid_strided.data.begin(), hid_strided.data.end());
      if (first.empty()) first = all;
      EXPECT_TRUE(all == first) << "workers: " << workers.value_or(0);
    }
  };
  train_all(build(random_edges(40, 160, 3), false));
  train_all(random_weighted(45, 135, 4, 10.0));

  // One array for both matrices would let two buckets of a sub-round share rows: refused.
  const CsrRecord g = build(random_edges(40, 160, 3), false);
  Matrix both(40, 16);
  EpochOptions options;
  options.blocks = BlockSchedule{};
  EXPECT_THROW(train_epoch(g, params(Workers(2), 1, 5), both.view, both.view, 1, options), Error);
  EXPECT_TRUE(both.data == both.before);
}

TEST(Hogwild, ManyWorkersOnSharedRows) {
  // Contiguous rows (by pairs, and by blocks of shared negatives), strided rows and one array
  // for both matrices, on the graphs below.
  const auto train_all = [](const auto& g) {
    const size_t n = g.num_nodes();
    Matrix emb(n, 16), hid(n, 16, 1, 2), emb_strided(n, 9, 2, 3), hid_strided(n, 9, 1, 4);
    Matrix both(n, 16, 1, 5);
    EpochOptions blocks;
    blocks.negative_draws = NegativeDraws::per_position;
    for (const Workers workers : {kShared, Workers(2), Workers(8)}) {
      for (uint64_t epoch = 0; epoch < 3; ++epoch) {
        train_epoch(g, params(workers, 1 + epoch, 5), emb.view, hid.view, epoch,
                    epoch == 1 ? blocks : EpochOptions());
        train_epoch(g, params(workers, 1, 5, 2.0, 0.5), emb_strided.view, hid_strided.view, epoch);
        train_epoch(g, params(workers, 2, 3, 0.25, 4.0), both.view, both.view, epoch + 7);
      }
    }
    EXPECT_TRUE(emb.intact() && hid.intact() && emb_strided.intact() && hid_strided.intact() &&
                both.intact());
  };
  // Random graphs, a hub that every walk passes and a single edge that every walk runs along.
  train_all(build(random_edges(20, 60, 0), true));
  train_all(build(random_edges(35, 105, 1), false));
  train_all(build(loops_or_star(31, false), false));
  train_all(build({0, 1}, false));
  // And a weighted graph, whose walks draw from its rows' alias tables.
  train_all(random_weighted(35, 105, 2, 1e3));
}
