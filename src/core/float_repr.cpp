#include "float_repr.hpp"

#include <charconv>
#include <cmath>

namespace velmor {

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
    if (digits.size() > 1) out.append(1, '.').append(digits, 1);
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
