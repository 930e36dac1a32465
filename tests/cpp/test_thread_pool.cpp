// The pool itself (running, failures, start and stop) is exercised by the RaceFree suite of
// test_tsan_epoch.cpp; here only the size it takes from the environment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "thread_pool.hpp"

TEST(DefaultPoolSize, ReadsTheEnvironment) {
  const size_t online = static_cast<size_t>(sysconf(_SC_NPROCESSORS_ONLN));
  setenv("RAYON_NUM_THREADS", "+3", 1);
  EXPECT_EQ(velmor::default_pool_size(), 3u);
  setenv("RAYON_NUM_THREADS", "999999", 1);
  EXPECT_EQ(velmor::default_pool_size(), 65535u);
  setenv("RAYON_NUM_THREADS", "x", 1);  // unreadable: as if unset
  setenv("RAYON_RS_NUM_CPUS", "7", 1);
  EXPECT_EQ(velmor::default_pool_size(), 7u);
  setenv("RAYON_NUM_THREADS", "0", 1);  // 0: the processors online, whatever the other says
  EXPECT_EQ(velmor::default_pool_size(), online);
  unsetenv("RAYON_NUM_THREADS");
  setenv("RAYON_RS_NUM_CPUS", "0", 1);
  EXPECT_EQ(velmor::default_pool_size(), online);
  unsetenv("RAYON_RS_NUM_CPUS");
  EXPECT_EQ(velmor::default_pool_size(), online);
}
