#include "failure.hpp"

#include <cstdio>

#include "platform.hpp"

namespace velmor {
namespace {
// Worker threads have no names: the process's initial thread is "main", any other "<unnamed>".
const char* current_thread_name() { return on_initial_thread() ? "main" : "<unnamed>"; }
}  // namespace

void raise_error(ErrorKind kind, std::string message) { throw Error(kind, std::move(message)); }

void report_internal_failure(const std::string& message, SourceLocation where) {
  // One fprintf so that reports of concurrent threads do not interleave mid-line.
  std::fprintf(stderr,
               "thread '%s' failed at %s:%u:%u:\n%s\n"
               "note: this is an internal failure of velmor's native module; run under gdb "
               "with 'catch throw' to obtain a backtrace\n",
               current_thread_name(), where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), message.c_str());
}

void panic(std::string message, SourceLocation where) {
  report_internal_failure(message, where);
  throw Panic(std::move(message));
}

void panic_index(unsigned long long len, unsigned long long index, SourceLocation where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace velmor
