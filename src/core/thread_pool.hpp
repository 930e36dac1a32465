// A fixed set of worker threads that run one job at a time.
//
// run(job) calls job(worker_index) once on every worker thread and returns when all of them
// have returned. The calling thread runs no part of the job; it may be given on_wait to call
// about every `interval` while it waits. If any call of job throws, run rethrows the first
// exception after every worker has finished its call: work in flight always ends before the
// failure reaches the caller.
//
// Thread-safety: run() must not be called concurrently on one pool (callers serialise: the
// shared pool is taken through lease_shared_pool). The destructor stops and joins every thread,
// so no worker outlives its pool.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace velmor {

// The most threads a pool is started with, whatever the caller or the environment asks for.
inline constexpr size_t kMaxPoolSize = 65535;

class ThreadPool {
 public:
  // Starts `size` (>= 1) threads. If a thread cannot be started, the threads already started are
  // stopped and joined, and Error(Value, "{description} (os error {code})") is thrown.
  explicit ThreadPool(size_t size);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t size() const { return threads_.size(); }
  // on_wait, when given, must not throw.
  void run(const std::function<void(size_t)>& job, const std::function<void()>& on_wait = {},
           std::chrono::milliseconds interval = std::chrono::milliseconds(100));

 private:
  void worker_loop(size_t index);
  void stop_and_join() noexcept;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(size_t)>* job_ = nullptr;
  unsigned long long generation_ = 0;
  size_t running_ = 0;
  bool stopping_ = false;
  std::exception_ptr first_failure_;
  std::vector<std::thread> threads_;
};

// Default pool size: the first thread-count variable (below) that reads as a decimal integer (a
// leading '+' allowed), or the processors online when that integer is 0; else
// RAYON_RS_NUM_CPUS when positive; else the processors online, or 1 when unknown. Capped at
// kMaxPoolSize.
size_t default_pool_size();

// The environment variables that default_pool_size reads a thread count from, in order:
// RAYON_NUM_THREADS alone until this is called. The engine module sets its list at its
// initialisation, on the importing thread; a shared pool made before keeps its size. The names
// are not copied.
void set_thread_count_variables(std::span<const char* const> names);

// The process-wide pool, created on first use with the default size and kept for the life of
// the process (recreated in a child after fork, whose copy has no threads). If it cannot be
// created, every use panics with "The global thread pool has not been initialized.: ...".
// Thread-safe; running a job on it takes a lease.
ThreadPool& shared_pool();

// The shared pool for one caller at a time: `pool` is the shared pool and `hold` keeps other
// callers off it until the lease is destroyed, or `pool` is null (and nothing is held) while
// another lease is alive; the caller then starts a pool of its own. Never waits.
struct SharedPoolLease {
  ThreadPool* pool = nullptr;
  std::unique_lock<std::mutex> hold;
};
SharedPoolLease lease_shared_pool();

}  // namespace velmor
