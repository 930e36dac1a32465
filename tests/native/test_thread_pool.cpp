#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "thread_pool.hpp"

using velmor::ThreadPool;

TEST(ThreadPool, RunsTheJobOncePerThreadAndWaits) {
  ThreadPool pool(4);
  std::atomic<int> calls{0}, mask{0};
  pool.run([&](size_t i) {
    calls.fetch_add(1);
    mask.fetch_or(1 << i);
  });
  EXPECT_EQ(calls.load(), 4);
  EXPECT_EQ(mask.load(), 0b1111);
}

TEST(ThreadPool, CarriesTheFirstFailureAfterAllThreadsFinish) {
  ThreadPool pool(3);
  std::atomic<int> finished{0};
  EXPECT_THROW(pool.run([&](size_t i) {
    if (i == 0) throw std::runtime_error("boom");
    finished.fetch_add(1);
  }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), 2);
  int again = 0;
  std::atomic<int> count{0};
  pool.run([&](size_t) { count.fetch_add(1); });
  again = count.load();
  EXPECT_EQ(again, 3);  // the pool stays usable after a failure
}

TEST(ThreadPool, ManyPoolsStartAndStop) {
  for (int i = 0; i < 200; ++i) {
    ThreadPool pool(2);
    std::atomic<int> n{0};
    pool.run([&](size_t) { n.fetch_add(1); });
    ASSERT_EQ(n.load(), 2);
  }
}

TEST(DefaultPoolSize, ReadsTheEnvironment) {
  setenv("RAYON_NUM_THREADS", "+3", 1);
  EXPECT_EQ(velmor::default_pool_size(), 3u);
  setenv("RAYON_NUM_THREADS", "999999", 1);
  EXPECT_EQ(velmor::default_pool_size(), 65535u);
  setenv("RAYON_NUM_THREADS", "x", 1);
  setenv("RAYON_RS_NUM_CPUS", "5", 1);
  EXPECT_EQ(velmor::default_pool_size(), 5u);
  setenv("RAYON_NUM_THREADS", "0", 1);
  EXPECT_NE(velmor::default_pool_size(), 5u);  // 0 means the processors online
  unsetenv("RAYON_NUM_THREADS");
  unsetenv("RAYON_RS_NUM_CPUS");
  EXPECT_GE(velmor::default_pool_size(), 1u);
}
