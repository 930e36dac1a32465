#include "negatives.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "failure.hpp"
#include "graph.hpp"

namespace velmor {

namespace {

// The most slots whose draws take one generator step (see WeightedNegatives::next).
constexpr size_t kOneStepSlots = size_t{1} << 24;

// Whether a table of this many slots draws in two passes (fill_unresolved): one step a draw, and
// larger than a core's L2 cache (past 2^17 slots, 1 MiB), where its slots miss; a table in the
// cache draws as fast in one.
bool two_passes(size_t slots) { return slots > (size_t{1} << 17) && slots <= kOneStepSlots; }

}  // namespace

template <class T>
void WeightedNegatives::build(std::span<const T> values, T floor, double exponent) {
  const size_t n = values.size();
  const T largest = std::max(*std::max_element(values.begin(), values.end()), floor);
  std::vector<double> share(n);  // each node's weight, then its mass in units of 1/n
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const T v = std::max(values[i], floor);
    share[i] = std::pow(static_cast<double>(v) / static_cast<double>(largest), exponent);
    total += share[i];
  }
  const double scale = static_cast<double>(n) / total;  // total >= 1: the largest weighs 1
  for (double& s : share) s *= scale;
  std::vector<uint32_t> scratch;
  build_alias(share, slots_.data(), scratch);
}

WeightedNegatives::WeightedNegatives(std::span<const uint64_t> counts, double exponent)
    : slots_(counts.size()),
      two_step_(counts.size() > kOneStepSlots),
      two_pass_(two_passes(counts.size())) {
  build<uint64_t>(counts, 1, exponent);
}

WeightedNegatives::WeightedNegatives(std::span<const double> weights, double floor, double exponent)
    : slots_(weights.size()),
      two_step_(weights.size() > kOneStepSlots),
      two_pass_(two_passes(weights.size())) {
  build<double>(weights, floor, exponent);
}

WeightedNegatives::WeightedNegatives(std::span<const AliasSlot> slots)
    : slots_(slots.begin(), slots.end()),
      two_step_(slots.size() > kOneStepSlots),
      two_pass_(two_passes(slots.size())) {
  if (slots.empty() || slots.size() > kMaxNodes)
    raise_error(ErrorKind::Value, "a table of negatives has 1 to " + std::to_string(kMaxNodes) +
                                      " slots, got " + std::to_string(slots.size()));
  for (const AliasSlot& slot : slots)
    if (slot.alias >= slots.size())
      raise_error(ErrorKind::Value, "a slot of a table of negatives has alias " +
                                        std::to_string(slot.alias) + " but the table has " +
                                        std::to_string(slots.size()) + " slots");
}

}  // namespace velmor
