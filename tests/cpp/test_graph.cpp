// Row contents and multiplicities, and the weighted rows' alias tables, which Python cannot see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "graph.hpp"
#include "walk.hpp"

using namespace velmor;

namespace {

WeightedCsrRecord build_weighted(const std::vector<uint32_t>& flat, const std::vector<double>& w,
                                 bool directed, int64_t n) {
  const EdgeView edges{reinterpret_cast<const char*>(flat.data()), flat.size() / 2, 2, 8, 4};
  return weighted_csr_from_edges(edges, {reinterpret_cast<const char*>(w.data()), w.size(), 8},
                                 directed, n);
}

// Each target's chance in the row of v under its table, summed over the slots.
std::map<uint32_t, double> row_chances(const WeightedCsrRecord& g, uint32_t v) {
  const uint64_t begin = g.csr.offsets[v], d = g.csr.offsets[v + 1] - begin;
  std::map<uint32_t, double> p;
  for (uint64_t k = begin; k < begin + d; ++k) {
    const AliasSlot s = g.slots[k];
    const double keep = s.threshold == kFullSlot ? 1.0 : s.threshold / 4294967296.0;
    p[g.csr.targets[k]] += keep / d;
    p[s.alias] += (1.0 - keep) / d;
  }
  return p;
}

}  // namespace

TEST(Csr, RowsOfEveryLengthSortKeepDuplicatesAndHaveExactlyTheirIds) {
  // Rows longer than 24 take another sort than short ones. Odd ids in no order, most of them
  // twice: a directed row keeps its duplicates, and has_edge never finds an even id.
  for (uint32_t size = 0; size < 110; ++size) {
    std::vector<uint32_t> flat, expected;
    for (uint32_t i = 0; i < size; ++i) {
      const uint32_t d = 2 * ((i * 37) % size / 2) + 1;
      flat.insert(flat.end(), {0, d});
      expected.push_back(d);
    }
    flat.insert(flat.end(), {1, 0});  // node 0 exists even when its row is empty
    std::sort(expected.begin(), expected.end());
    const CsrRecord g = csr_from_edges(
        {reinterpret_cast<const char*>(flat.data()), flat.size() / 2, 2, 8, 4}, true);
    const auto row = g.neighbors(0);
    EXPECT_EQ(std::vector<uint32_t>(row.begin(), row.end()), expected) << "size " << size;
    for (uint32_t d = 0; d < 2 * size + 3; ++d)
      EXPECT_EQ(g.has_edge(0, d), std::binary_search(expected.begin(), expected.end(), d))
          << "size " << size << ", id " << d;
  }
}

TEST(WeightedCsr, RowTablesGiveEachTargetItsShareOfTheWeight) {
  struct Case {
    std::vector<uint32_t> flat;
    std::vector<double> weights;
    bool directed;
  };
  std::vector<Case> cases = {
      {{0, 1, 0, 2, 0, 3, 1, 2, 2, 3}, {1e6, 1.0, 3e5, 2.5, 1e-3}, false},  // 1e6 apart in a row
      {{0, 1, 0, 1, 1, 0, 0, 2, 2, 2}, {1.0, 2.0, 4.0, 0.5, 3.0}, true},    // parallel arcs, loop
      {{0, 1, 0, 2, 0, 3}, {1.5e308, 1e308, 1.2e308}, false},               // sums beyond a double
      {{0, 1, 0, 2, 1, 2}, {1e-300, 3e-300, 1e300}, true},                  // rows 1e600 apart
  };
  Case big{{}, {}, true};  // a row longer than insertion sort takes, in no order
  for (uint32_t i = 0; i < 300; ++i) {
    big.flat.insert(big.flat.end(), {0, (i * 37) % 101});
    big.weights.push_back(1.0 + (i * 7919) % 1000 * 1e3);
  }
  cases.push_back(big);
  for (const Case& c : cases) {
    const uint32_t n = 1 + *std::max_element(c.flat.begin(), c.flat.end());
    const double heaviest = *std::max_element(c.weights.begin(), c.weights.end());
    std::map<uint32_t, std::map<uint32_t, long double>> want;  // parallel arcs summed
    for (size_t i = 0; i < c.weights.size(); ++i) {
      want[c.flat[2 * i]][c.flat[2 * i + 1]] += c.weights[i];
      if (!c.directed) want[c.flat[2 * i + 1]][c.flat[2 * i]] += c.weights[i];
    }
    const WeightedCsrRecord g = build_weighted(c.flat, c.weights, c.directed, n + 2);
    ASSERT_EQ(g.num_nodes(), n + 2);  // ids beyond the largest are isolated nodes
    for (uint32_t v = 0; v < n + 2; ++v) {
      const auto row = g.csr.neighbors(v);
      EXPECT_TRUE(std::is_sorted(row.begin(), row.end()));
      long double total = 0.0;
      for (const auto& [x, w] : want[v]) total += w;
      EXPECT_NEAR(g.strength[v], static_cast<double>(total / heaviest), 1e-12 * row.size());
      const std::map<uint32_t, double> got = row_chances(g, v);
      EXPECT_EQ(got.size(), want[v].size()) << "node " << v;
      for (const auto& [x, w] : want[v])
        EXPECT_NEAR(got.at(x), static_cast<double>(w / total), 1e-9) << v << "->" << x;
    }
    // The record does not depend on the order of the edges.
    std::vector<uint32_t> flat;
    for (size_t i = c.weights.size(); i-- > 0;)
      flat.insert(flat.end(), {c.flat[2 * i], c.flat[2 * i + 1]});
    const WeightedCsrRecord r =
        build_weighted(flat, {c.weights.rbegin(), c.weights.rend()}, c.directed, n + 2);
    EXPECT_EQ(0, std::memcmp(r.csr.targets.data(), g.csr.targets.data(), 4 * r.num_arcs()));
    EXPECT_EQ(0, std::memcmp(r.slots.data(), g.slots.data(), sizeof(AliasSlot) * r.num_arcs()));
  }
}

TEST(WeightedCsr, TheCoinSplitsASlotAtItsThresholdToTheLastOf32Bits) {
  // Node 0's arcs weigh 1 and 1e6: slot 0 keeps the light arc with a chance of about 2e-6, the
  // alias gives the heavy one. The walk's first step draws the slot, then the coin; the states
  // below make the coin any chosen value (the generator's step is inverted).
  const WeightedCsrRecord g = build_weighted({0, 1, 0, 2}, {1.0, 1e6}, true, 3);
  const AliasSlot slot = g.slots[0];
  ASSERT_TRUE(slot.threshold > 0 && slot.threshold < (1u << 14) && slot.alias == 2);
  constexpr uint64_t kInverse = 0xDFE05BCB1365ULL;  // of the multiplier, mod 2^48
  static_assert(((kInverse * Lcg48::kMultiplier) & Lcg48::kMask) == 1);
  const auto before = [&](uint64_t state) {  // the state whose step leaves `state`
    return ((state - Lcg48::kIncrement) * kInverse) & Lcg48::kMask;
  };
  for (const uint32_t coin : {0u, slot.threshold - 1, slot.threshold, 0xFFFFFFFFu}) {
    uint64_t low = 0, first;
    do first = before((uint64_t{coin} << 16) | low++);
    while ((first >> 17) % 2 != 0);  // next_int(2) of `first` must give slot 0
    Lcg48 rng = Lcg48::from_seed(before(first) ^ Lcg48::kMultiplier);
    std::vector<uint32_t> walk;
    random_walk(g, 0, 2, WalkBias::from_params(1.0, 1.0), rng, walk);
    EXPECT_EQ(walk.at(1), coin < slot.threshold ? 1u : 2u) << "coin " << coin;
  }
}
