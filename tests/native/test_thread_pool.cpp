// The pool itself (running, failures, start and stop) is exercised by the RaceFree suite of
// test_tsan_epoch.cpp; here only the size it takes from the environment.
#include <gtest/gtest.h>

#include <cstdlib>

#include "thread_pool.hpp"

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
