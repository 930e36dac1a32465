#include "sigmoid_table.hpp"

#include <cmath>

namespace velmor {

float SIGMOID_TABLE[kSigmoidTableSize] = {};

void fill_sigmoid_table() noexcept {
  for (int i = 0; i < kSigmoidTableSize; ++i) {
    const double x = ((static_cast<double>(i) / 1000.0) * 2.0 - 1.0) * 6.0;
    const double e = std::exp(x);
    SIGMOID_TABLE[i] = static_cast<float>(e / (e + 1.0));
  }
}

}  // namespace velmor
