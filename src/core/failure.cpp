#include "failure.hpp"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace velmor {
namespace {
thread_local const char* t_thread_name = nullptr;

const char* current_thread_name() {
  if (t_thread_name) return t_thread_name;
  return gettid() == getpid() ? "main" : "<unnamed>";
}
}  // namespace

void set_thread_name(const char* name) { t_thread_name = name; }

void raise_error(ErrorKind kind, std::string message) { throw Error(kind, std::move(message)); }

void report_internal_failure(const std::string& message, std::source_location where) {
  // One fprintf so that reports of concurrent threads do not interleave mid-line.
  std::fprintf(stderr,
               "thread '%s' failed at %s:%u:%u:\n%s\n"
               "note: this is an internal failure of velmor's native module; run under gdb "
               "with 'catch throw' to obtain a backtrace\n",
               current_thread_name(), where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), message.c_str());
}

void panic(std::string message, std::source_location where) {
  report_internal_failure(message, where);
  throw Panic(std::move(message));
}

void panic_index(unsigned long long len, unsigned long long index, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

std::string float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string sci(buf, r.ptr);  // "-d.ddde+XX"
  const size_t e_pos = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  const bool negative = sci[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e_pos; ++i)
    if (sci[i] != '.') digits += sci[i];
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int mag = exponent < 0 ? -exponent : exponent;
    out += std::string(exponent < 0 ? "e-" : "e+") + (mag < 10 ? "0" : "") + std::to_string(mag);
  } else if (exponent < 0) {
    out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  } else {
    const size_t int_len = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_len) out += digits + std::string(int_len - digits.size(), '0') + ".0";
    else out += digits.substr(0, int_len) + "." + digits.substr(int_len);
  }
  return out;
}

}  // namespace velmor
