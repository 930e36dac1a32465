// The generator's sequences pin down every draw of training; they are checked exactly.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "negatives.hpp"
#include "random.hpp"

using velmor::Lcg48;
using velmor::WeightedNegatives;

TEST(Lcg48, KnownSequences) {
  EXPECT_EQ(Lcg48::from_seed(0).state(), 0x5DEECE66DULL);  // the low 48 bits xor the multiplier
  EXPECT_EQ(Lcg48::from_seed(0xFFFF000000000000ULL | 42).state(), Lcg48::from_seed(42).state());
  Lcg48 g = Lcg48::from_seed(0);
  for (uint32_t want : {0xBB20B460u, 0xD4D95138u, 0x3D93CB7Au}) EXPECT_EQ(g.next_bits(32), want);
  EXPECT_EQ(Lcg48::from_seed(0).next_u64(), 0xBB20B460D4D95138ULL);
  for (auto [seed, expected] :
       {std::pair<uint64_t, std::array<int, 8>>{0, {0, 8, 9, 7, 5, 3, 1, 1}},
        {42, {0, 3, 8, 4, 0, 5, 5, 8}}}) {
    Lcg48 h = Lcg48::from_seed(seed);
    for (int want : expected) EXPECT_EQ(h.next_int(10), want) << "seed " << seed;
  }
  // Bound 2^30 + 1 rejects every draw at or above it: seven rejections among these six draws.
  g = Lcg48::from_seed(0);
  for (int want : {516548029, 663681053, 251269761, 715581077, 542832677, 827187473})
    EXPECT_EQ(g.next_int((1 << 30) + 1), want);
  EXPECT_EQ(g.next_u64(), 0x9CEFE94DFC1E932FULL);
  g = Lcg48::from_seed(42);
  for (float want : {0.7275637f, 0.054665208f, 0.68322343f}) EXPECT_EQ(g.next_float(), want);
  std::vector<uint32_t> v(10);
  std::iota(v.begin(), v.end(), 0u);
  g = Lcg48::from_seed(7);
  g.shuffle(v);
  EXPECT_EQ(v, (std::vector<uint32_t>{6, 3, 7, 5, 8, 9, 0, 1, 4, 2}));
  EXPECT_EQ(g.next_u64(), 0x91B3CA5D5A171600ULL);
}

TEST(Lcg48, FixedBoundDrawsExactlyLikeNextInt) {
  for (int32_t bound : {1, 2, 3, 7, 10, 1000, 10312, 65536, (1 << 30) + 1, 2147483647, 0, -5}) {
    Lcg48 a = Lcg48::from_seed(static_cast<uint64_t>(bound) * 977), b = a;
    const Lcg48::FixedBound fixed(bound);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(a.next_int(fixed), b.next_int(bound)) << bound;
    EXPECT_EQ(a.state(), b.state());
    // The same draws in runs of every length from 0 to 6.
    std::vector<uint32_t> run(6);
    for (size_t count = 0; count <= 6; ++count) {
      a.fill_ints(fixed, run.data(), count);
      for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(run[i], static_cast<uint32_t>(b.next_int(bound))) << bound << " " << count;
      EXPECT_EQ(a.state(), b.state());
    }
  }
}

// fill, and fill_unresolved then resolve, are next() run after run: the same nodes and the same
// generator state, on tables that fit the caches, that do not (drawn in two passes), and past
// 2^24 slots (two steps a draw).
TEST(WeightedNegatives, FillsDrawExactlyLikeNext) {
  const auto check = [](const WeightedNegatives& table) {
    Lcg48 a = Lcg48::from_seed(11), b = a, d = a;
    std::vector<uint32_t> run(40), two_pass(40);
    for (size_t count : {0, 1, 5, 40, 7}) {
      table.fill(a, run.data(), count);
      table.fill_unresolved(d, two_pass.data(), count);
      table.resolve(two_pass.data(), count);
      for (size_t i = 0; i < count; ++i) {
        const uint32_t want = table.next(b);
        ASSERT_EQ(run[i], want) << table.size() << " " << count;
        ASSERT_EQ(two_pass[i], want) << table.size() << " " << count;
      }
      EXPECT_EQ(a.state(), b.state());
      EXPECT_EQ(d.state(), b.state());
    }
  };
  std::vector<uint64_t> counts(1000);
  Lcg48 c = Lcg48::from_seed(3);
  for (uint64_t& v : counts) v = c.next_int(50) == 0 ? 100000 : c.next_int(9);
  check(WeightedNegatives(counts, 0.75));
  for (const size_t n : {size_t{1} << 18, (size_t{1} << 24) + 1}) {
    std::vector<velmor::AliasSlot> slots(n);
    for (size_t s = 0; s < n; ++s)
      slots[s] = {static_cast<uint32_t>(s * 2654435761u), static_cast<uint32_t>(s * 7 % n)};
    check(WeightedNegatives(slots));
  }
}
