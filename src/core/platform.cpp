#include "platform.hpp"

#include <cstdint>
#include <thread>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#if __has_include(<pthread.h>)
#include <pthread.h>
#define VELMOR_HAVE_PTHREAD 1
#endif
#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace velmor {

void advise_huge_pages(const void* data, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes < (size_t{4} << 20)) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

size_t processors_online() {
#if defined(_SC_NPROCESSORS_ONLN)
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
#else
  const long n = static_cast<long>(std::thread::hardware_concurrency());
#endif
  return n > 0 ? static_cast<size_t>(n) : 1;
}

bool on_initial_thread() {
#if defined(__linux__)
  // The system call rather than gettid(), which glibc only has from 2.30 on (manylinux_2_28
  // builds against 2.28).
  return syscall(SYS_gettid) == getpid();
#elif defined(__APPLE__)
  return pthread_main_np() != 0;
#else
  return false;
#endif
}

void call_in_child_after_fork(void (*handler)()) {
#if defined(VELMOR_HAVE_PTHREAD)
  pthread_atfork(nullptr, nullptr, handler);
#else
  (void)handler;
#endif
}

}  // namespace velmor
