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
#include <string>
#if __has_include(<source_location>)
#include <source_location>
#endif

namespace velmor {

// Where a failure was detected, taken at the call site by a defaulted argument. The standard
// library's type where it has one; older libraries (Debian 12's libc++ 14 among them) get the
// same from the compiler builtins that GCC and clang share.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE(),
                                          unsigned column = __builtin_COLUMN()) {
    return SourceLocation(file, line, column);
  }
  constexpr SourceLocation() = default;
  constexpr const char* file_name() const { return file_; }
  constexpr unsigned line() const { return line_; }
  constexpr unsigned column() const { return column_; }

 private:
  constexpr SourceLocation(const char* file, unsigned line, unsigned column)
      : file_(file), line_(line), column_(column) {}
  const char* file_ = "";
  unsigned line_ = 0;
  unsigned column_ = 0;
};
#endif

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
[[noreturn]] void panic(std::string message, SourceLocation where = SourceLocation::current());

// Writes only the report; used where a failure is resumed rather than detected.
void report_internal_failure(const std::string& message, SourceLocation where);

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index(unsigned long long len, unsigned long long index,
                              SourceLocation where = SourceLocation::current());

}  // namespace velmor
