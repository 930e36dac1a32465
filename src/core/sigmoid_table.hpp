// The logistic function by table: SIGMOID_TABLE holds 1000 single-precision values of
// e^x / (e^x + 1) for x = -6 + 0.012 i, i = 0..999.
//
// fill_sigmoid_table() runs once, during module initialisation, before any other thread can
// read the table; afterwards the table is immutable and read by all threads without locking.
#pragma once

#include <cstdint>
#include <optional>

namespace velmor {

inline constexpr int kSigmoidTableSize = 1000;
inline constexpr float kSigmoidLimit = 6.0f;
inline constexpr float kSigmoidScale = 83.333336f;  // 1000 entries over a width of 12

extern float SIGMOID_TABLE[kSigmoidTableSize];

void fill_sigmoid_table() noexcept;

// Empty for f <= -6 or f >= 6 (a NaN passes both tests and reads entry 0). The one input whose
// index computes to 1000, 5.9999995f, reads entry 999.
inline std::optional<float> sigmoid_lookup(float f) {
  if (f <= -kSigmoidLimit || f >= kSigmoidLimit) return std::nullopt;
  const float scaled = (f + kSigmoidLimit) * kSigmoidScale;
  // NaN must index 0; the comparison is false for NaN, so it takes the 0 branch.
  uint32_t index = scaled > 0.0f ? static_cast<uint32_t>(scaled) : 0u;
  if (index > kSigmoidTableSize - 1) index = kSigmoidTableSize - 1;
  return SIGMOID_TABLE[index];
}

}  // namespace velmor
