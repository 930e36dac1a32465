#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sigmoid_table.hpp"

using velmor::sigmoid_lookup;
using velmor::SIGMOID_TABLE;

TEST(Sigmoid, EntriesAndLookupBoundaries) {
  velmor::fill_sigmoid_table();
  EXPECT_EQ(SIGMOID_TABLE[0], 0.0024726232f);
  EXPECT_EQ(SIGMOID_TABLE[1], 0.0025023986f);
  EXPECT_EQ(SIGMOID_TABLE[500], 0.5f);
  EXPECT_EQ(SIGMOID_TABLE[999], 0.99749762f);
  for (int i = 1; i < velmor::kSigmoidTableSize; ++i)
    EXPECT_LT(SIGMOID_TABLE[i - 1], SIGMOID_TABLE[i]);
  EXPECT_EQ(sigmoid_lookup(0.0f), 0.5f);
  EXPECT_FALSE(sigmoid_lookup(-6.0f));
  EXPECT_FALSE(sigmoid_lookup(6.0f));
  EXPECT_FALSE(sigmoid_lookup(std::numeric_limits<float>::infinity()));
  EXPECT_EQ(sigmoid_lookup(std::nextafter(-6.0f, 0.0f)), SIGMOID_TABLE[0]);
  EXPECT_EQ(sigmoid_lookup(6.0f - 0x1p-20f), SIGMOID_TABLE[999]);
  // The one input whose index computes to 1000 reads the last entry.
  EXPECT_EQ(sigmoid_lookup(6.0f - 0x1p-21f), SIGMOID_TABLE[999]);
  EXPECT_EQ(sigmoid_lookup(std::numeric_limits<float>::quiet_NaN()), SIGMOID_TABLE[0]);
}
