#include "negatives.hpp"

#include <algorithm>
#include <cmath>

namespace velmor {

namespace {

// P(keep) = p as a 32-bit threshold for a coin uniform in [0, 2^32), truncated; p outside
// [0, 1) by rounding is clamped.
uint32_t threshold_of(double p) {
  const double t = p * 4294967296.0;
  if (!(t > 0.0)) return 0;
  if (t >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(t);
}

}  // namespace

AliasTable::AliasTable(std::span<const uint64_t> counts, double exponent)
    : slots_(counts.size()), two_step_(counts.size() > (size_t{1} << 24)) {
  const size_t n = counts.size();
  const uint64_t largest = std::max<uint64_t>(*std::max_element(counts.begin(), counts.end()), 1);
  std::vector<double> share(n);  // each node's weight, then its mass in units of 1/n
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t c = std::max<uint64_t>(counts[i], 1);
    share[i] = std::pow(static_cast<double>(c) / static_cast<double>(largest), exponent);
    total += share[i];
  }
  const double scale = static_cast<double>(n) / total;  // total >= 1: the largest weighs 1
  std::vector<uint32_t> small, large;
  for (size_t i = 0; i < n; ++i) {
    share[i] *= scale;
    (share[i] < 1.0 ? small : large).push_back(static_cast<uint32_t>(i));
  }
  // Vose: each slot below its share is topped up from one above it, once.
  while (!small.empty() && !large.empty()) {
    const uint32_t lo = small.back(), hi = large.back();
    small.pop_back();
    large.pop_back();
    slots_[lo] = {threshold_of(share[lo]), hi};
    share[hi] = (share[hi] + share[lo]) - 1.0;
    (share[hi] < 1.0 ? small : large).push_back(hi);
  }
  // What is left is full up to rounding.
  for (const std::vector<uint32_t>* rest : {&large, &small})
    for (const uint32_t i : *rest) slots_[i] = {0xFFFFFFFFu, i};
}

}  // namespace velmor
