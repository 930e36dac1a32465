// The operating system's services the core uses, each in one place with its fallback where a
// platform lacks it. Linux has all of them; on other POSIX systems (macOS, the BSDs) a missing
// service degrades to what its contract allows, never to a build error.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>

namespace velmor {

// Asks the kernel for huge pages under a large, still untouched array that is about to be
// accessed at random: far fewer page faults and TLB misses. Only whole pages inside the array
// are advised; a refusal changes nothing but speed. Does nothing where the advice does not exist.
void advise_huge_pages(const void* data, size_t bytes);

// The processors online, at least 1 (1 where the system does not say).
size_t processors_online();

// Whether the calling thread is the process's initial thread; false where that cannot be known.
bool on_initial_thread();

// Registers `handler` to run in the child after every fork() of the process, where only the
// forking thread exists. Does nothing on systems without pthread_atfork.
void call_in_child_after_fork(void (*handler)());

}  // namespace velmor
