// Node names to dense ids, numbered in order of first appearance, for the edge-list reader.
// Not thread-safe: one table per reading thread.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "edge_lines.hpp"  // TextSpan
#include "failure.hpp"
#include "graph.hpp"  // FreeDeleter, advise_huge_pages

namespace velmor {

// Names to dense ids, numbered in order of first appearance: an open-addressing table whose
// slots keep a name's first 8 * Words bytes and its length, so that names that short are
// compared without touching the text. A longer name is compared beyond those bytes with its
// first appearance in the text, a read at random that costs about as much as the slot itself.
// Words is 1 (16-byte slots) where names are short, 3 (32-byte slots, half a cache line each)
// where they are longer, as gene and protein ids (ENSG00000123456) are.
//
// Most of the time goes to fetching slots of a table far larger than the caches, so a name's
// slot is prefetched when its key is made, a few dozen names before it is interned.
template <size_t Words>
class NameTable {
 public:
  static constexpr size_t kInlineBytes = 8 * Words;

  struct Key {
    TextSpan span;
    uint64_t words[Words];  // the first kInlineBytes bytes, zero-padded
    uint64_t hash;
  };

  explicit NameTable(std::string_view text)
      : text_(reinterpret_cast<const unsigned char*>(text.data())),
        size_(text.size()),
        slots_(empty_slots(size_t{1} << 12)),
        mask_((size_t{1} << 12) - 1) {}

  Key key(TextSpan span) const {
    const unsigned char* name = text_ + span.offset;
    Key key{span, {}, 0};
    for (size_t k = 0; k < Words && 8 * k < span.length; ++k)
      key.words[k] = word(name + 8 * k, span.length - 8 * k);
    key.hash = hash_of(name, span.length, key.words);
    __builtin_prefetch(&slot(key.hash & mask_));
    return key;
  }

  // The id of the key's name, a new one if the name is new; false when ids run out.
  bool intern(const Key& key, uint32_t& id) {
    const TextSpan span = key.span;
    const uint32_t check = check_of(key.hash, span.length);
    for (size_t i = key.hash & mask_;; i = (i + 1) & mask_) {
      Slot& found = slot(i);
      if (found.id_plus_one == 0) {
        if (names_.size() >= std::numeric_limits<uint32_t>::max() - 1) return false;
        id = static_cast<uint32_t>(names_.size());
        found = make_slot(key, check, id + 1);
        names_.push_back(span);
        if (2 * names_.size() > mask_) grow();
        return true;
      }
      if (found.check == check && same_words(found, key) &&
          (span.length <= kInlineBytes ||
           std::memcmp(text_ + names_[found.id_plus_one - 1].offset + kInlineBytes,
                       text_ + span.offset + kInlineBytes, span.length - kInlineBytes) == 0)) {
        id = found.id_plus_one - 1;
        return true;
      }
    }
  }

  std::vector<TextSpan> take_names() { return std::move(names_); }

 private:
  struct Slot {
    uint64_t words[Words];  // the name's first kInlineBytes bytes, zero-padded
    uint32_t check;         // hash bits above those of the slot index, the length in the low byte
    uint32_t id_plus_one;   // 0: empty
  };
  static_assert(64 % sizeof(Slot) == 0, "a slot must not straddle two cache lines");

  // Zero-filled slots, so all empty, starting on a cache line; in huge pages where the kernel
  // gives them.
  class Slots {
   public:
    explicit Slots(size_t count)
        : memory_(static_cast<unsigned char*>(std::calloc(count * sizeof(Slot) + 64, 1))) {
      if (!memory_) raise_error(ErrorKind::Memory, "");
      unsigned char* const raw = memory_.get();
      slots_ = reinterpret_cast<Slot*>(raw + (-reinterpret_cast<uintptr_t>(raw) & 63));
      advise_huge_pages(slots_, count * sizeof(Slot));
    }
    Slot& operator[](size_t i) const { return slots_[i]; }

   private:
    std::unique_ptr<unsigned char, FreeDeleter> memory_;
    Slot* slots_;
  };

  static Slots empty_slots(size_t count) { return Slots(count); }
  Slot& slot(size_t i) const { return slots_[i]; }

  static Slot make_slot(const Key& key, uint32_t check, uint32_t id_plus_one) {
    Slot slot;
    std::copy(key.words, key.words + Words, slot.words);
    slot.check = check;
    slot.id_plus_one = id_plus_one;
    return slot;
  }

  static bool same_words(const Slot& slot, const Key& key) {
    bool same = true;
    for (size_t k = 0; k < Words; ++k) same &= slot.words[k] == key.words[k];
    return same;
  }

  // Up to 8 bytes from p (as many as lie before p + length), zero-padded.
  uint64_t word(const unsigned char* p, size_t length) const {
    uint64_t w = 0;
    if (length >= 8) {
      std::memcpy(&w, p, 8);
    } else if (std::endian::native == std::endian::little && p + 8 <= text_ + size_) {
      std::memcpy(&w, p, 8);
      w &= (uint64_t{1} << (8 * length)) - 1;
    } else {
      std::memcpy(&w, p, length);
    }
    return w;
  }

  uint64_t hash_of(const unsigned char* name, size_t length, const uint64_t* words) const {
    uint64_t h = (words[0] ^ length) * 0x9E3779B97F4A7C15ull;
    for (size_t i = 8; i < length; i += 8) {
      const uint64_t w = i < kInlineBytes ? words[i / 8] : word(name + i, length - i);
      h = (h ^ (h >> 29) ^ w) * 0xBF58476D1CE4E5B9ull;
    }
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
  }

  static uint32_t check_of(uint64_t hash, size_t length) {
    return (static_cast<uint32_t>(hash >> 32) & ~uint32_t{0xFF}) | static_cast<uint32_t>(length);
  }

  // Names are re-entered in order of id, which is their order in the text, each slot
  // prefetched a few names ahead: only the new table is accessed at random.
  void grow() {
    slots_ = empty_slots(2 * (mask_ + 1));
    mask_ = 2 * mask_ + 1;
    constexpr size_t kAhead = 16;
    Key keys[kAhead];
    const size_t count = names_.size();
    for (size_t id = 0; id < count + kAhead; ++id) {
      if (id >= kAhead) {
        const Key& next = keys[id % kAhead];
        size_t i = next.hash & mask_;
        while (slot(i).id_plus_one != 0) i = (i + 1) & mask_;
        slot(i) = make_slot(next, check_of(next.hash, next.span.length),
                            static_cast<uint32_t>(id - kAhead + 1));
      }
      if (id < count) keys[id % kAhead] = key(names_[id]);
    }
  }

  const unsigned char* text_;
  size_t size_;
  Slots slots_;
  size_t mask_;  // the slot count less 1, the count a power of 2
  std::vector<TextSpan> names_;
};

}  // namespace velmor
