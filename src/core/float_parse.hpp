// Text to double, for the readers of the core.
#pragma once

#include <cstddef>

namespace velmor {

// Reads the whole of [first, last) as a decimal floating-point number in the C locale, rounded
// correctly: std::from_chars where the standard library has it for floating point, strtod_l in
// the "C" locale elsewhere (libc++ before 20, Apple's included). True, with the number in
// `value`, when every character was read and the number neither overflows nor rounds to zero
// (a subnormal counts); false otherwise, `value` then unspecified.
// Thread-safety: may be called from any thread.
bool parse_double(const char* first, const char* last, double& value);

}  // namespace velmor
