#include "float_parse.hpp"

#include <charconv>

#if !defined(__cpp_lib_to_chars)
#include <locale.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h>  // strtod_l on Apple's and the BSDs' libc
#endif

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#endif

namespace velmor {

bool parse_double(const char* first, const char* last, double& value) {
#if defined(__cpp_lib_to_chars)
  const std::from_chars_result read = std::from_chars(first, last, value);
  return read.ec == std::errc() && read.ptr == last;
#else
  // strtod reads up to a NUL; the text is copied so that it ends there. Numbers of up to 63
  // characters (all but contrived ones) need no allocation.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  const size_t length = static_cast<size_t>(last - first);
  char small[64];
  std::string large;
  const char* text = small;
  if (length < sizeof small) {
    std::memcpy(small, first, length);
    small[length] = '\0';
  } else {
    large.assign(first, length);
    text = large.c_str();
  }
  char* end = nullptr;
  errno = 0;
  value = strtod_l(text, &end, c_locale);
  const bool out_of_range = errno == ERANGE && (value == 0 || std::isinf(value));
  return end == text + length && !out_of_range;
#endif
}

}  // namespace velmor
