#include "alias.hpp"

namespace velmor {

namespace {

// P(keep) = p as a 32-bit threshold for a coin uniform in [0, 2^32), truncated; p outside
// [0, 1) by rounding is clamped.
uint32_t threshold_of(double p) {
  const double t = p * 4294967296.0;
  if (!(t > 0.0)) return 0;
  if (t >= 4294967295.0) return kFullSlot;
  return static_cast<uint32_t>(t);
}

}  // namespace

void build_alias(std::span<double> mass, AliasSlot* slots, std::vector<uint32_t>& small,
                 std::vector<uint32_t>& large) {
  const size_t n = mass.size();
  small.clear();
  large.clear();
  for (size_t i = 0; i < n; ++i)
    (mass[i] < 1.0 ? small : large).push_back(static_cast<uint32_t>(i));
  // Vose: each slot below its share is topped up from one above it, once.
  while (!small.empty() && !large.empty()) {
    const uint32_t lo = small.back(), hi = large.back();
    small.pop_back();
    large.pop_back();
    slots[lo] = {threshold_of(mass[lo]), hi};
    mass[hi] = (mass[hi] + mass[lo]) - 1.0;
    (mass[hi] < 1.0 ? small : large).push_back(hi);
  }
  // What is left is full up to rounding.
  for (const std::vector<uint32_t>* rest : {&large, &small})
    for (const uint32_t i : *rest) slots[i] = {kFullSlot, i};
}

}  // namespace velmor
