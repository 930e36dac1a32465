// Lcg48: the only source of randomness in training.
//
// The 48-bit linear-congruential recurrence of the POSIX drand48 family (multiplier
// 0x5DEECE66D, increment 0xB, modulus 2^48), seeded by XOR-ing the low 48 bits of a 64-bit seed
// with the multiplier. Every draw of training comes from one of these, in program order, so the
// exact sequences below are part of the model's reproducibility.
//
// A plain value type: copy it, never share one between threads. All operations are a handful of
// integer instructions and inline into the walk and training loops.
#pragma once

#include <cstdint>
#include <span>

namespace velmor {

class Lcg48 {
 public:
  static constexpr uint64_t kMultiplier = 0x5DEECE66DULL;
  static constexpr uint64_t kIncrement = 0xBULL;
  static constexpr uint64_t kMask = (1ULL << 48) - 1;

  static constexpr Lcg48 from_seed(uint64_t seed) { return Lcg48((seed & kMask) ^ kMultiplier); }

  constexpr uint64_t state() const { return state_; }

  // One step, then the top `n` (1..32) of the 48 state bits.
  constexpr uint32_t next_bits(unsigned n) {
    state_ = step(state_);
    return static_cast<uint32_t>(state_ >> (48 - n));
  }

  // Uniform in [0, bound) for bound > 0 by rejection of the last incomplete multiple of bound
  // below 2^31. bound == 0 costs one step and returns 0. No power-of-two shortcut: a bound of 8
  // returns the low bits of the draw.
  constexpr int32_t next_int(int32_t bound) {
    if (bound == 0) {
      next_bits(31);
      return 0;
    }
    for (;;) {
      const int32_t u = static_cast<int32_t>(next_bits(31));
      const int32_t r = u % bound;
      const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(u) - static_cast<uint32_t>(r) +
                                             static_cast<uint32_t>(bound) - 1u);
      if (t >= 0) return r;
    }
  }

  // next_int for a bound that stays fixed across many draws: the same values and the same steps,
  // with the remainder computed by multiplication instead of a division (Lemire's exact
  // 32-bit fastmod).
  class FixedBound {
   public:
    explicit constexpr FixedBound(int32_t bound)
        : bound_(bound), magic_(bound > 0 ? ~0ULL / static_cast<uint32_t>(bound) + 1 : 0) {}

   private:
    friend class Lcg48;
    int32_t bound_;
    uint64_t magic_;
  };

  constexpr int32_t next_int(const FixedBound& b) {
    if (b.bound_ <= 0) return next_int(b.bound_);
    return static_cast<int32_t>(draw(state_, b));
  }

  // `count` draws of next_int(b) into out[0..count), with the state held in a register for the
  // whole run: the same values and the same final state as the draws one by one.
  constexpr void fill_ints(const FixedBound& b, uint32_t* out, size_t count) {
    if (b.bound_ <= 0) {
      for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint32_t>(next_int(b.bound_));
      return;
    }
    uint64_t state = state_;
    for (size_t i = 0; i < count; ++i) out[i] = draw(state, b);
    state_ = state;
  }

  // A multiple of 2^-24 in [0, 1).
  constexpr float next_float() { return static_cast<float>(next_bits(24)) * 5.9604645e-8f; }

  constexpr uint64_t next_u64() {
    const uint64_t hi = next_bits(32);
    const uint64_t lo = next_bits(32);
    return (hi << 32) | lo;
  }

  // Fisher-Yates from the front: bounds n, n-1, ..., 2. Draws nothing for fewer than two
  // elements. Precondition: items.size() fits a signed 32-bit integer.
  constexpr void shuffle(std::span<uint32_t> items) {
    const size_t n = items.size();
    if (n < 2) return;
    for (size_t i = 0; i + 1 < n; ++i) {
      const size_t j = i + static_cast<size_t>(next_int(static_cast<int32_t>(n - i)));
      const uint32_t tmp = items[i];
      items[i] = items[j];
      items[j] = tmp;
    }
  }

 private:
  explicit constexpr Lcg48(uint64_t state) : state_(state) {}

  static constexpr uint64_t step(uint64_t state) {
    return (state * kMultiplier + kIncrement) & kMask;
  }

  // One next_int(b) for b.bound_ > 0, stepping `state`: the remainder by Lemire's fastmod, and
  // rejection when u - r > 2^31 - bound, as in next_int(int32_t).
  static constexpr uint32_t draw(uint64_t& state, const FixedBound& b) {
    const uint32_t d = static_cast<uint32_t>(b.bound_);
    const uint32_t limit = 0x80000000u - d;
    for (;;) {
      state = step(state);
      const uint32_t u = static_cast<uint32_t>(state >> (48 - 31));
      const uint64_t low = b.magic_ * u;
      const uint32_t r = static_cast<uint32_t>((static_cast<unsigned __int128>(low) * d) >> 64);
      if (u - r <= limit) return r;
    }
  }

  uint64_t state_;
};

}  // namespace velmor
