// Failure kinds of the native core, independent of Python.
//
// Two kinds leave the core:
//  * `Error`: an ordinary, expected error with a Python exception kind and a message
//    (bad argument, memory exhausted). Thrown with `raise_error`.
//  * `Panic`: an internal failure, a violated precondition. `panic` writes the report
//    (thread name, source location, message, hint) to standard error at the point of failure
//    and then throws; the call boundary turns it into `PanicException`.
// Both are plain C++ exceptions, safe to throw on worker threads; the thread pool carries them
// back to the calling thread.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace velmor {

enum class ErrorKind { Type, Value, Overflow, Memory, Import, System };

struct Error : std::exception {
  ErrorKind kind;
  std::string message;
  Error(ErrorKind k, std::string m) : kind(k), message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

struct Panic : std::exception {
  std::string message;
  explicit Panic(std::string m) : message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

[[noreturn]] void raise_error(ErrorKind kind, std::string message);

// Writes the internal-failure report for `message` at `where` and throws `Panic`.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Writes only the report; used where a failure is resumed rather than detected.
void report_internal_failure(const std::string& message, std::source_location where);

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index(unsigned long long len, unsigned long long index,
                              std::source_location where = std::source_location::current());

}  // namespace velmor
