// Threading of the epoch driver and the worker pool, written to run under ThreadSanitizer
// (tools/sanitize.sh tsan). In the ordinary build the same tests are a plain stress run.
//
// Two suites, run by ctest with different ThreadSanitizer settings:
//  * RaceFree: work in which no two chunks ever touch the same matrix row (self-loop graphs
//    without negative samples), and the pool's own life cycle. Nothing is suppressed there, so
//    every report is a real race: on the chunk counter, the failure flag, the per-thread
//    buffers, the pool's start, run, failure hand-over and stop, or the shared pool.
//  * Hogwild: ordinary training, where chunks update the same rows at once without locks, by
//    design. tests/tsan.supp silences exactly those row reads and writes and nothing else.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "failure.hpp"
#include "fastfn.hpp"
#include "graph.hpp"
#include "node2vec.hpp"
#include "thread_pool.hpp"

using namespace velmor;

namespace {

class Environment : public ::testing::Environment {
 public:
  // The module fills the table at import, before any thread exists; so do we.
  void SetUp() override { fill_sigmoid_table(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

CsrRecord build(const std::vector<uint32_t>& flat, bool directed) {
  const EdgeView view{reinterpret_cast<const char*>(flat.data()), flat.size() / 2, 2, 8, 4};
  return csr_from_edges(view, directed);
}

std::vector<uint32_t> self_loops(uint32_t n) {
  std::vector<uint32_t> flat;
  for (uint32_t v = 0; v < n; ++v) flat.insert(flat.end(), {v, v});
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

std::vector<uint32_t> star(uint32_t leaves) {
  std::vector<uint32_t> flat;
  for (uint32_t v = 1; v <= leaves; ++v) flat.insert(flat.end(), {0, v});
  return flat;
}

// Matrix storage with a chosen column stride (1: contiguous rows for the vector kernels; 2: the
// element-by-element path).
struct Matrix {
  std::vector<float> data;
  MatrixView view;

  Matrix(size_t rows, size_t cols, ptrdiff_t col_stride = 1, uint32_t seed = 1)
      : data(rows * cols * static_cast<size_t>(col_stride)) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    for (float& x : data) x = u(gen);
    view = MatrixView{data.data(), rows, cols, static_cast<ptrdiff_t>(cols) * col_stride,
                      col_stride};
  }
  bool finite() const {
    for (float x : data)
      if (!std::isfinite(x)) return false;
    return true;
  }
};

Node2VecParams params(std::optional<uint64_t> workers, uint64_t batch, uint64_t negatives,
                      double p = 1.0, double q = 1.0) {
  Node2VecParams prm;
  prm.p = p;
  prm.q = q;
  prm.start_alpha = 0.05;
  prm.end_alpha = 0.001;
  prm.window = 3;
  prm.batch_size = batch;
  prm.max_walk_length = 12;
  prm.num_negative = negatives;
  prm.workers = workers;
  return prm;
}

const std::optional<uint64_t> kShared = std::nullopt;

// Holds every worker of a pool until all have arrived, so that what follows really overlaps.
// Relaxed on purpose: the barrier must not order the workers for ThreadSanitizer.
class RelaxedBarrier {
 public:
  explicit RelaxedBarrier(size_t n) : n_(n) {}
  void arrive_and_wait() {
    arrived_.fetch_add(1, std::memory_order_relaxed);
    while (arrived_.load(std::memory_order_relaxed) < n_) std::this_thread::yield();
  }

 private:
  const size_t n_;
  std::atomic<size_t> arrived_{0};
};

// Runs one epoch expecting the chunk failure "assertion failed: index < dim".
void expect_index_failure(const CsrRecord& g, const Node2VecParams& prm, const MatrixView& emb,
                          const MatrixView& hid, uint64_t seed) {
  try {
    train_epoch(g, prm, emb, hid, seed);
    FAIL() << "the epoch did not fail";
  } catch (const Panic& e) {
    EXPECT_EQ(e.message, "assertion failed: index < dim");
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// RaceFree: no suppressions.

TEST(RaceFree, EpochsOnDisjointRowsOnEveryKindOfPool) {
  // Each node is a start exactly once per epoch and its walk never leaves it, so every row is
  // trained by one chunk only: the epoch's shared state is all that threads have in common.
  const CsrRecord g = build(self_loops(48), true);
  Matrix emb(48, 16), hid(48, 16, 1, 2), emb_strided(48, 7, 2, 3), hid_strided(48, 7, 3, 4);
  Matrix both(48, 16, 1, 5);
  for (const std::optional<uint64_t> workers : {kShared, std::optional<uint64_t>(0),
                                                std::optional<uint64_t>(4),
                                                std::optional<uint64_t>(9)}) {
    for (uint64_t batch : {1, 3, 48}) {
      for (uint64_t epoch = 0; epoch < 3; ++epoch) {
        const Node2VecParams uniform = params(workers, batch, 0);
        const Node2VecParams biased = params(workers, batch, 0, 0.5, 2.0);
        train_epoch(g, uniform, emb.view, hid.view, epoch);
        train_epoch(g, biased, emb_strided.view, hid_strided.view, epoch);
        train_epoch(g, uniform, both.view, both.view, epoch);  // one array for both matrices
      }
    }
  }
  EXPECT_TRUE(emb.finite() && hid.finite() && emb_strided.finite() && hid_strided.finite() &&
              both.finite());
}

TEST(RaceFree, ChunkFailureIsHandedOverAndThePoolRecovers) {
  // Rows 0..23 exist, nodes 24..47 do not: about half the chunks fail while others run.
  const CsrRecord g = build(self_loops(48), true);
  Matrix emb(24, 8), hid(48, 8, 1, 2), good(48, 8, 1, 3);
  for (int round = 0; round < 10; ++round) {
    for (const std::optional<uint64_t> workers :
         {kShared, std::optional<uint64_t>(3), std::optional<uint64_t>(8)}) {
      expect_index_failure(g, params(workers, 1, 0), emb.view, hid.view, round);
      train_epoch(g, params(workers, 2, 0), good.view, hid.view, round);  // next call works
    }
  }
}

TEST(RaceFree, PoolRunsHandResultsBackWithoutAtomics) {
  ThreadPool pool(6);
  std::vector<uint64_t> slots(pool.size());
  for (uint64_t round = 1; round <= 200; ++round) {
    RelaxedBarrier barrier(pool.size());
    pool.run([&](size_t i) {
      barrier.arrive_and_wait();
      slots[i] += round * (i + 1);  // plain writes, one slot each
    });
    uint64_t total = 0;
    for (uint64_t v : slots) total += v;  // read on the calling thread after run() returns
    ASSERT_EQ(total, 21 * round * (round + 1) / 2);
  }
}

TEST(RaceFree, PoolFailuresFromManyThreadsAtOnce) {
  ThreadPool pool(8);
  std::vector<int> after(pool.size());
  for (int round = 0; round < 100; ++round) {
    RelaxedBarrier barrier(pool.size());
    try {
      pool.run([&](size_t i) {
        barrier.arrive_and_wait();  // four failures and four results at the same moment
        if (i % 2 == 0) throw std::runtime_error("worker " + std::to_string(i));
        after[i] = round;
      });
      FAIL() << "run() did not rethrow";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("worker ", 0), 0u);
    }
    for (size_t i = 1; i < after.size(); i += 2) ASSERT_EQ(after[i], round);
  }
  std::atomic<int> calls{0};
  pool.run([&](size_t) { calls.fetch_add(1, std::memory_order_relaxed); });
  EXPECT_EQ(calls.load(), 8);
}

TEST(RaceFree, PoolsStartAndStopInEveryState) {
  for (int i = 0; i < 100; ++i) {
    { ThreadPool idle(1 + i % 5); }  // stopped before it ever ran
    ThreadPool pool(1 + i % 7);
    std::vector<int> seen(pool.size());
    pool.run([&](size_t k) { seen[k] = i; });
    if (i % 3 == 0) {
      EXPECT_THROW(pool.run([](size_t) { throw Panic("stop"); }), Panic);
    }
    for (int v : seen) ASSERT_EQ(v, i);
  }  // destroyed right after a run, or right after a failure
}

TEST(RaceFree, SharedPoolIsMadeOnceAndReused) {
  ThreadPool& first = shared_pool();
  for (int i = 0; i < 50; ++i) {
    ThreadPool& again = shared_pool();
    ASSERT_EQ(&again, &first);
    std::vector<int> seen(again.size());
    again.run([&](size_t k) { seen[k] = i; });
    for (int v : seen) ASSERT_EQ(v, i);
  }
}

// ---------------------------------------------------------------------------------------------
// Hogwild: concurrent row updates by design (suppressed), everything else checked.

TEST(Hogwild, RandomGraphsManyWorkers) {
  for (uint32_t seed = 0; seed < 4; ++seed) {
    const uint32_t n = 20 + 15 * seed;
    const CsrRecord g = build(random_edges(n, 3 * n, seed), seed % 2 == 0);
    Matrix emb(n, 16, 1, seed), hid(n, 16, 1, seed + 100);
    for (const std::optional<uint64_t> workers :
         {kShared, std::optional<uint64_t>(2), std::optional<uint64_t>(8)}) {
      for (uint64_t epoch = 0; epoch < 3; ++epoch) {
        train_epoch(g, params(workers, 1 + epoch, 5), emb.view, hid.view, epoch);
        train_epoch(g, params(workers, 2, 3, 0.25, 4.0), emb.view, hid.view, epoch + 7);
      }
    }
    EXPECT_TRUE(emb.finite() && hid.finite());
  }
}

TEST(Hogwild, EveryWalkContendsForTheSameRows) {
  const CsrRecord hub = build(star(30), false);
  const CsrRecord pair = build({0, 1}, false);
  for (const CsrRecord* g : {&hub, &pair}) {
    const size_t n = g->num_nodes();
    Matrix emb(n, 16), hid(n, 16, 1, 2), emb_strided(n, 9, 2, 3), hid_strided(n, 9, 1, 4);
    Matrix both(n, 16, 1, 5);
    for (const std::optional<uint64_t> workers : {kShared, std::optional<uint64_t>(8)}) {
      for (uint64_t epoch = 0; epoch < 4; ++epoch) {
        train_epoch(*g, params(workers, 1, 5), emb.view, hid.view, epoch);
        train_epoch(*g, params(workers, 1, 5, 2.0, 0.5), emb_strided.view, hid_strided.view,
                    epoch);
        train_epoch(*g, params(workers, 1, 5), both.view, both.view, epoch);
      }
    }
    EXPECT_TRUE(emb.finite() && hid.finite() && emb_strided.finite() && hid_strided.finite() &&
                both.finite());
  }
}

TEST(Hogwild, FailingChunkInTheMiddleOfAContendedEpoch) {
  const uint32_t n = 40;
  const CsrRecord g = build(random_edges(n, 120, 9), false);
  Matrix short_emb(n - 5, 8), hid(n, 8, 1, 2), emb(n, 8, 1, 3);
  for (int round = 0; round < 8; ++round) {
    expect_index_failure(g, params(std::optional<uint64_t>(8), 1, 5), short_emb.view, hid.view,
                         round);
    train_epoch(g, params(std::optional<uint64_t>(8), 1, 5), emb.view, hid.view, round);
  }
  EXPECT_TRUE(emb.finite() && hid.finite());
}
