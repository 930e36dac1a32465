// The tokens of an edge list: node ids, numbers, weights, and names as UTF-8 text.
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmor {

inline constexpr size_t kLongestIdDigits = 18;  // any 18-digit number fits in 63 bits
inline constexpr size_t kLongestName = 255;     // bytes
// The largest id that can be a node index as it stands (the node count is id + 1, a uint32).
inline constexpr uint64_t kLargestNodeId = 4294967294;

// Whether `token` is a decimal number: [-+]?(digits[.digits] | .digits)([eE][-+]?digits)?, such
// as 7, -3, 0.5, .5, 5. or 1e-3.
bool is_decimal_number(std::string_view token);

// A node id: 1 to kLongestIdDigits ASCII digits, leading zeros included. False otherwise, the
// value then unspecified.
inline bool read_node_id(std::string_view token, uint64_t& value) {
  if (token.empty() || token.size() > kLongestIdDigits) return false;
  uint64_t v = 0;
  for (const char c : token) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return false;
    v = 10 * v + digit;
  }
  value = v;
  return true;
}

enum class WeightRead {
  Ok,          // a finite number greater than 0, in `value`
  NotANumber,  // not a decimal number, nor nan or inf
  OutOfRange,  // a number, nan or inf, but not finite and greater than 0
};

// Reads an edge weight: a decimal number (see is_decimal_number) rounded as strtod rounds it;
// nan, inf and infinity in any case and with a sign are numbers out of range.
WeightRead read_weight(std::string_view token, double& value);

// The offset of the first byte of the first sequence in `text` that is not UTF-8 (overlong
// forms, surrogates and code points above U+10FFFF included), or text.size() if it all is.
size_t first_invalid_utf8(std::string_view text);

}  // namespace velmor
