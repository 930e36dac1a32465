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

void build_alias(std::span<double> mass, AliasSlot* slots, std::vector<uint32_t>& scratch) {
  const size_t n = mass.size();
  // Two stacks in one array: the entries below their share grow from the front, the others
  // from the back. Each index is on one stack at most, so they never meet; a push writes both
  // free ends and keeps one, which spares a branch on the comparison.
  scratch.resize(n);
  uint32_t* const stack = scratch.data();
  size_t small = 0, large = 0;  // their sizes
  const auto push = [&](uint32_t i) {
    stack[small] = i;
    stack[n - 1 - large] = i;
    const bool below = mass[i] < 1.0;
    small += below;
    large += !below;
  };
  for (size_t i = 0; i < n; ++i) push(static_cast<uint32_t>(i));
  // Vose: each slot below its share is topped up from one above it, once.
  while (small > 0 && large > 0) {
    const uint32_t lo = stack[--small], hi = stack[n - large--];
    slots[lo] = {threshold_of(mass[lo]), hi};
    mass[hi] = (mass[hi] + mass[lo]) - 1.0;
    push(hi);
  }
  // What is left is full up to rounding.
  for (size_t k = n - large; k < n; ++k) slots[stack[k]] = {kFullSlot, stack[k]};
  for (size_t k = 0; k < small; ++k) slots[stack[k]] = {kFullSlot, stack[k]};
}

}  // namespace velmor
