// The alias table of the negatives: its distribution, exactly from its slots. Its draws, one at a
// time and in runs, are those of the reference model's table (test_engine.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "negatives.hpp"

using velmor::AliasTable;

namespace {

// Each node's chance under the table, summed over the slots.
std::vector<double> table_chances(const AliasTable& table) {
  const size_t n = table.size();
  std::vector<double> p(n, 0.0);
  for (size_t s = 0; s < n; ++s) {
    const double keep = table.slots()[s].threshold / 4294967296.0;
    p[s] += keep / n;
    p[table.slots()[s].alias] += (1.0 - keep) / n;
  }
  return p;
}

std::vector<double> wanted_chances(const std::vector<uint64_t>& counts, double exponent) {
  std::vector<double> w;
  double total = 0.0;
  for (uint64_t c : counts) total += w.emplace_back(std::pow(c ? double(c) : 1.0, exponent));
  for (double& x : w) x /= total;
  return w;
}

}  // namespace

TEST(AliasTable, SlotsGiveTheWeightsOfTheCounts) {
  const std::vector<std::pair<std::vector<uint64_t>, double>> cases = {
      {{7}, 0.75},
      {{3, 3, 3, 3}, 0.75},
      {{0, 0, 1, 5, 2, 0, 1000000}, 0.75},  // never counted weighs as counted once
      {{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048}, 1.0},
      {{10, 20, 30}, 0.0},              // uniform
      {{1, 2, 3, 1ULL << 60, 5}, 3.0},  // weights far beyond a double's range before scaling
  };
  for (const auto& [counts, exponent] : cases) {
    const AliasTable table(counts, exponent);
    const std::vector<double> got = table_chances(table), want = wanted_chances(counts, exponent);
    for (size_t i = 0; i < counts.size(); ++i)
      EXPECT_NEAR(got[i], want[i], 1e-9) << "node " << i << " of " << counts.size();
    for (size_t s = 0; s < table.size(); ++s)
      if (table.slots()[s].threshold == 0xFFFFFFFFu) {
        EXPECT_EQ(table.slots()[s].alias, s);
      }
  }
}
