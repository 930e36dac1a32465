// Walker's alias method, built by Vose's algorithm: the table behind the negatives' sampler
// (negatives.hpp) and behind each row of a weighted graph (graph.hpp).
//
// A table of n slots draws entry i with probability mass[i] / n: a uniform slot s, then a 32-bit
// coin that keeps s when it is below the slot's threshold and gives the slot's alias otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velmor {

struct AliasSlot {
  uint32_t threshold;  // P(keep) = threshold / 2^32
  uint32_t alias;
};

// A slot whose threshold is kFullSlot keeps its own entry (up to one coin in 2^32, for a reader
// that draws the coin anyway).
constexpr uint32_t kFullSlot = 0xFFFFFFFFu;

// Fills slots[0, mass.size()) from mass: each entry's share in units of 1/n, the shares adding
// up to n up to rounding. Overwrites mass. A slot topped up from another gets that entry's
// index as its alias (also when its threshold rounds to full); a slot left full has itself.
// `scratch` is kept by the caller across calls, so that building many small tables allocates
// nothing.
void build_alias(std::span<double> mass, AliasSlot* slots, std::vector<uint32_t>& scratch);

}  // namespace velmor
