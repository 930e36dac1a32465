#include "edge_tokens.hpp"

#include <cmath>
#include <cstring>

#include "float_parse.hpp"

namespace velmor {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `token` is nan, inf or infinity, in any case, with an optional sign.
bool is_not_finite_word(std::string_view token) {
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) token.remove_prefix(1);
  if (token.size() != 3 && token.size() != 8) return false;
  char lower[8];
  for (size_t k = 0; k < token.size(); ++k)
    lower[k] = static_cast<char>(token[k] | 0x20);  // ASCII letters to lower case
  const std::string_view word(lower, token.size());
  return word == "nan" || word == "inf" || word == "infinity";
}

}  // namespace

bool is_decimal_number(std::string_view token) {
  const char* p = token.data();
  const char* const end = p + token.size();
  if (p < end && (*p == '+' || *p == '-')) ++p;
  size_t digits = 0;
  for (; p < end && is_digit(*p); ++p) ++digits;
  if (p < end && *p == '.') {
    ++p;
    size_t decimals = 0;
    for (; p < end && is_digit(*p); ++p) ++decimals;
    if (digits == 0 && decimals == 0) return false;
  } else if (digits == 0) {
    return false;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return false;
    while (p < end && is_digit(*p)) ++p;
  }
  return p == end;
}

WeightRead read_weight(std::string_view token, double& value) {
  if (!is_decimal_number(token))
    return is_not_finite_word(token) ? WeightRead::OutOfRange : WeightRead::NotANumber;
  // A number with a minus sign is 0 or less. parse_double takes no plus sign, and fails where
  // the number overflows or rounds to zero.
  if (token[0] == '-') return WeightRead::OutOfRange;
  if (token[0] == '+') token.remove_prefix(1);
  if (!parse_double(token.data(), token.data() + token.size(), value))
    return WeightRead::OutOfRange;
  return value > 0 && std::isfinite(value) ? WeightRead::Ok : WeightRead::OutOfRange;
}

size_t first_invalid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  const auto continuation = [&](size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
    return i < size && bytes[i] >= low && bytes[i] <= high;
  };
  // Names are mostly ASCII: that is told by their high bits alone, without decoding.
  uint64_t high = 0;
  size_t i = 0;
  for (uint64_t word; i + 8 <= size; i += 8) {
    std::memcpy(&word, bytes + i, 8);
    high |= word;
  }
  for (; i < size; ++i) high |= bytes[i];
  if ((high & 0x8080808080808080ull) == 0) return size;
  i = 0;
  while (i < size) {
    const unsigned lead = bytes[i];
    size_t length;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = continuation(i + 1) ? 2 : 0;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
      const unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
      length = continuation(i + 1, low, high) && continuation(i + 2) ? 3 : 0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      // No overlong forms (F0 80..8F) and nothing above U+10FFFF (F4 90..BF).
      const unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
      length = continuation(i + 1, low, high) && continuation(i + 2) && continuation(i + 3) ? 4 : 0;
    } else {
      length = 0;
    }
    if (length == 0) return i;
    i += length;
  }
  return size;
}

}  // namespace velmor
