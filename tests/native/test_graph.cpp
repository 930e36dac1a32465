// Row contents and multiplicities, which Python cannot see.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "failure.hpp"
#include "graph.hpp"

using namespace velmor;

namespace {

CsrRecord build(const std::vector<uint32_t>& flat, size_t cols, bool directed) {
  const EdgeView view{reinterpret_cast<const char*>(flat.data()), flat.size() / cols, cols,
                      static_cast<ptrdiff_t>(4 * cols), 4};
  return csr_from_edges(view, directed);
}

std::vector<uint32_t> row(const CsrRecord& g, uint32_t v) {
  auto r = g.neighbors(v);
  return {r.begin(), r.end()};
}

}  // namespace

TEST(Csr, UndirectedRowsAreSortedWithDuplicatesAndLoops) {
  const CsrRecord g = build({2, 0, 2, 1, 0, 2}, 2, false);
  EXPECT_EQ((std::vector<uint64_t>(g.offsets.data(), g.offsets.data() + 4)),
            (std::vector<uint64_t>{0, 2, 3, 6}));
  EXPECT_EQ(row(g, 0), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(row(g, 1), (std::vector<uint32_t>{2}));
  EXPECT_EQ(row(g, 2), (std::vector<uint32_t>{0, 0, 1}));
  const CsrRecord loop = build({0, 0}, 2, false);
  EXPECT_EQ(row(loop, 0), (std::vector<uint32_t>{0, 0}));
}

TEST(Csr, DirectedDuplicatesRemainAndLongRowsSort) {
  EXPECT_EQ(row(build({0, 1, 0, 1}, 2, true), 0), (std::vector<uint32_t>{1, 1}));
  std::vector<uint32_t> flat;
  for (uint32_t i = 0; i < 100; ++i) flat.insert(flat.end(), {0, (i * 37) % 101});
  const std::vector<uint32_t> r = row(build(flat, 2, true), 0);
  ASSERT_EQ(r.size(), 100u);
  for (size_t i = 1; i < r.size(); ++i) EXPECT_LE(r[i - 1], r[i]);
}

TEST(Csr, HasEdgeFindsEveryStoredArc) {
  std::vector<uint32_t> flat;
  for (uint32_t i = 0; i < 50; ++i) flat.insert(flat.end(), {i % 7, (i * 13) % 50});
  const CsrRecord g = build(flat, 2, true);
  for (size_t i = 0; i < flat.size(); i += 2) EXPECT_TRUE(g.has_edge(flat[i], flat[i + 1]));
  EXPECT_FALSE(g.has_edge(0, 1000));
  EXPECT_THROW(g.has_edge(g.num_nodes(), 0), Panic);
}
