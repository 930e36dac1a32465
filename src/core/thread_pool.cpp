#include "thread_pool.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "failure.hpp"
#include "platform.hpp"

namespace velmor {

ThreadPool::ThreadPool(size_t size) {
  threads_.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    try {
      threads_.emplace_back([this, i] { worker_loop(i); });
    } catch (const std::system_error& e) {
      stop_and_join();
      const int code = e.code().value();
      raise_error(ErrorKind::Value,
                  std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
    }
  }
}

ThreadPool::~ThreadPool() { stop_and_join(); }

void ThreadPool::stop_and_join() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

void ThreadPool::run(const std::function<void(size_t)>& job, const std::function<void()>& on_wait,
                     std::chrono::milliseconds interval) {
  std::unique_lock<std::mutex> lock(mutex_);
  job_ = &job;
  running_ = threads_.size();
  first_failure_ = nullptr;
  ++generation_;
  wake_.notify_all();
  const auto finished = [this] { return running_ == 0; };
  if (on_wait) {
    while (!done_.wait_for(lock, interval, finished)) {
      lock.unlock();
      on_wait();
      lock.lock();
    }
  } else {
    done_.wait(lock, finished);
  }
  job_ = nullptr;
  if (std::exception_ptr failure = std::exchange(first_failure_, nullptr))
    std::rethrow_exception(failure);
}

void ThreadPool::worker_loop(size_t index) {
  unsigned long long seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    const std::function<void(size_t)>* job = job_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*job)(index);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure && !first_failure_) first_failure_ = failure;
    if (--running_ == 0) done_.notify_one();
  }
}

namespace {

// Decimal unsigned integer with an optional leading '+', nothing else.
std::optional<unsigned long long> parse_count(const char* text) {
  if (!text) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  unsigned long long value = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    const unsigned digit = static_cast<unsigned>(*text - '0');
    if (value > (~0ULL - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

constexpr const char* kRayonThreadCount[] = {"RAYON_NUM_THREADS"};
std::span<const char* const> g_thread_count_variables = kRayonThreadCount;

// Never destroyed: the pool lives until the process ends, with no teardown at exit.
ThreadPool* g_shared_pool = nullptr;
std::mutex g_shared_pool_create;  // guards the three variables above and below
std::mutex g_shared_pool_busy;    // held by the lease of the call running on the pool
std::optional<std::string> g_shared_pool_failure;
bool g_forked = false;

// A thread of the parent may have held either mutex at the fork; it does not exist here, so
// the child starts them afresh.
void after_fork_in_child() {
  g_forked = true;
  new (&g_shared_pool_create) std::mutex();
  new (&g_shared_pool_busy) std::mutex();
}

}  // namespace

void set_thread_count_variables(std::span<const char* const> names) {
  g_thread_count_variables = names;
}

size_t default_pool_size() {
  size_t size;
  std::optional<unsigned long long> threads;
  for (const char* name : g_thread_count_variables)
    if ((threads = parse_count(std::getenv(name)))) break;
  const std::optional<unsigned long long> cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
  if (threads && *threads > 0)
    size = static_cast<size_t>(*threads < kMaxPoolSize ? *threads : kMaxPoolSize);
  else if (threads) size = processors_online();
  else if (cpus && *cpus > 0)
    size = static_cast<size_t>(*cpus < kMaxPoolSize ? *cpus : kMaxPoolSize);
  else size = processors_online();
  return size < kMaxPoolSize ? size : kMaxPoolSize;
}

ThreadPool& shared_pool() {
  static const bool registered = (call_in_child_after_fork(after_fork_in_child), true);
  (void)registered;
  std::lock_guard<std::mutex> guard(g_shared_pool_create);
  if (g_forked) {
    // The child inherited the pool's memory but none of its threads; the copy can be neither
    // used nor safely destroyed (its mutex may be held), so it is abandoned.
    g_shared_pool = nullptr;
    g_forked = false;
  }
  if (g_shared_pool_failure)
    panic("The global thread pool has not been initialized.: " + *g_shared_pool_failure);
  if (!g_shared_pool) {
    try {
      g_shared_pool = new ThreadPool(default_pool_size());
    } catch (const Error& e) {
      g_shared_pool_failure = e.message;
      panic("The global thread pool has not been initialized.: " + e.message);
    }
  }
  return *g_shared_pool;
}

SharedPoolLease lease_shared_pool() {
  SharedPoolLease lease;
  ThreadPool& pool = shared_pool();
  lease.hold = std::unique_lock<std::mutex>(g_shared_pool_busy, std::try_to_lock);
  if (lease.hold) lease.pool = &pool;
  return lease;
}

}  // namespace velmor
