// Row contents and multiplicities, which Python cannot see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "graph.hpp"

using namespace velmor;

namespace {

CsrRecord build(const std::vector<uint32_t>& flat, bool directed) {
  const EdgeView view{reinterpret_cast<const char*>(flat.data()), flat.size() / 2, 2, 8, 4};
  return csr_from_edges(view, directed);
}

std::vector<uint32_t> row(const CsrRecord& g, uint32_t v) {
  auto r = g.neighbors(v);
  return {r.begin(), r.end()};
}

}  // namespace

TEST(Csr, UndirectedRowsAreSortedWithDuplicatesAndLoops) {
  const CsrRecord g = build({2, 0, 2, 1, 0, 2}, false);
  EXPECT_EQ((std::vector<uint64_t>(g.offsets.data(), g.offsets.data() + 4)),
            (std::vector<uint64_t>{0, 2, 3, 6}));
  EXPECT_EQ(row(g, 0), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(row(g, 1), (std::vector<uint32_t>{2}));
  EXPECT_EQ(row(g, 2), (std::vector<uint32_t>{0, 0, 1}));
  EXPECT_EQ(row(build({0, 0}, false), 0), (std::vector<uint32_t>{0, 0}));
}

TEST(Csr, HasEdgeFindsExactlyTheStoredIdsInRowsOfEveryLength) {
  for (uint32_t size = 0; size < 70; ++size) {
    std::vector<uint32_t> flat, expected;
    for (uint32_t i = 0; i < size; ++i) {
      const uint32_t d = 2 * (i / 2) + 1;  // odd ids, each twice: duplicates stay in a row
      flat.insert(flat.end(), {0, d});
      expected.push_back(d);
    }
    flat.insert(flat.end(), {1, 0});  // node 0 exists even when its row is empty
    const CsrRecord g = build(flat, true);
    for (uint32_t d = 0; d < size + 3; ++d)
      EXPECT_EQ(g.has_edge(0, d), std::binary_search(expected.begin(), expected.end(), d))
          << "size " << size << ", id " << d;
  }
}

TEST(Csr, DirectedDuplicatesRemainAndLongRowsSort) {
  EXPECT_EQ(row(build({0, 1, 0, 1}, true), 0), (std::vector<uint32_t>{1, 1}));
  // Rows longer than 24 take another sort than short ones; has_edge searches them (odd ids are
  // never stored).
  std::vector<uint32_t> flat, expected;
  for (uint32_t i = 0; i < 100; ++i) {
    flat.insert(flat.end(), {0, (i * 37) % 101 * 2});
    expected.push_back((i * 37) % 101 * 2);
  }
  std::sort(expected.begin(), expected.end());
  const CsrRecord g = build(flat, true);
  EXPECT_EQ(row(g, 0), expected);
  for (uint32_t d = 0; d < 203; ++d)
    EXPECT_EQ(g.has_edge(0, d), std::binary_search(expected.begin(), expected.end(), d)) << d;
}
