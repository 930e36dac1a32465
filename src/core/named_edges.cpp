#include "named_edges.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "failure.hpp"
#include "float_parse.hpp"
#include "graph.hpp"

namespace velmor {
namespace {

enum ByteClass : uint8_t { kContent, kSpace, kDelimiter, kLineEnd, kComment, kNul };

bool is_whitespace(unsigned byte) { return (byte >= 9 && byte <= 13) || byte == 32; }

// Splits text into lines and the lines into columns by a table of byte classes.
class LineSplitter {
 public:
  LineSplitter(std::string_view text, size_t start, const EdgeTextFormat& format)
      : text_(reinterpret_cast<const unsigned char*>(text.data())),
        size_(text.size()),
        pos_(start),
        delimited_(format.delimiter >= 0),
        // Comments are blanked to spaces, which a space delimiter would read as empty columns.
        comment_is_fault_(format.delimiter == ' ') {
    for (unsigned byte = 0; byte < 256; ++byte) {
      ByteClass& c = class_[byte];
      if (static_cast<int>(byte) == format.comment) c = kComment;
      else if (byte == '\n') c = kLineEnd;
      else if (static_cast<int>(byte) == format.delimiter) c = kDelimiter;
      else if (byte == 0) c = kNul;
      else if (is_whitespace(byte) || (!delimited_ && byte == ',')) c = kSpace;
      else c = kContent;
    }
  }

  bool done() const { return pos_ >= size_; }

  // The columns of the next line, at most `width` of them: their count (0 for a blank line),
  // or -1 for a line with more columns, an empty column or a NUL byte.
  int next(TextSpan* columns, int width) {
    size_t i = pos_;
    const int count =
        delimited_ ? delimited_line(i, columns, width) : plain_line(i, columns, width);
    pos_ = i + 1;  // past the '\n' at i, or past the end
    return count;
  }

 private:
  ByteClass at(size_t i) const { return i < size_ ? class_[text_[i]] : kLineEnd; }

  // Moves i from a comment marker to the end of its line.
  void skip_comment(size_t& i) const {
    const void* end = std::memchr(text_ + i, '\n', size_ - i);
    i = end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - text_) : size_;
  }

  int plain_line(size_t& i, TextSpan* columns, int width) const {
    int count = 0;
    for (;;) {
      while (at(i) == kSpace) ++i;
      const ByteClass c = at(i);
      if (c == kLineEnd) return count;
      if (c == kComment) {
        skip_comment(i);
        return count;
      }
      if (c == kNul || count == width) return -1;
      const size_t begin = i;
      while (at(i) == kContent) ++i;
      columns[count++] = {begin, i - begin};
    }
  }

  int delimited_line(size_t& i, TextSpan* columns, int width) const {
    int count = 0;
    for (;;) {
      while (at(i) == kSpace) ++i;
      const size_t begin = i;
      size_t end = i;  // past the column's last byte that is not whitespace
      ByteClass c;
      while ((c = at(i)) == kContent || c == kSpace) {
        ++i;
        if (c == kContent) end = i;
      }
      if (c == kNul) return -1;
      if (c == kComment) {
        if (comment_is_fault_) return -1;
        skip_comment(i);
      }
      if (c != kDelimiter && count == 0 && end == begin) return 0;  // a blank line
      if (end == begin || count == width) return -1;
      columns[count++] = {begin, end - begin};
      if (c != kDelimiter) return count;
      ++i;
    }
  }

  const unsigned char* text_;
  size_t size_;
  size_t pos_;
  bool delimited_;
  bool comment_is_fault_;
  ByteClass class_[256];
};

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A weight written as [+]digits[.digits] or [+].digits, with an optional exponent, finite and
// greater than 0; false for anything else, which the package's reader judges.
bool read_weight(const char* text, size_t length, double& weight) {
  const char* const end = text + length;
  const char* p = text;
  if (p < end && *p == '+') ++p;
  const char* const number = p;
  size_t digits = 0;
  for (; p < end && is_digit(*p); ++p) ++digits;
  if (p < end && *p == '.')
    for (++p; p < end && is_digit(*p); ++p) ++digits;
  if (digits == 0) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return false;
    while (p < end && is_digit(*p)) ++p;
  }
  if (p != end) return false;
  return parse_double(number, end, weight) && weight > 0 && std::isfinite(weight);
}

bool supported(const EdgeTextFormat& format) {
  const auto byte = [](int b) { return b >= -1 && b < 256; };
  return byte(format.delimiter) && byte(format.comment) && format.delimiter != 0 &&
         format.delimiter != '\n' && format.comment != '\n' &&
         (format.delimiter < 0 || format.delimiter != format.comment);
}

// The reader's loop over the lines, with the table that suits the file's names.
template <class Table>
NamedEdges read_lines(std::string_view text, LineSplitter& lines, const EdgeTextFormat& format,
                      std::span<uint32_t> ids, std::span<double> weights) {
  NamedEdges result;
  const int width = format.weighted ? 3 : 2;
  Table table(text);
  // Names wait here between their prefetch and their lookup, each with the id it fills.
  constexpr size_t kInFlight = 32;
  struct Pending {
    typename Table::Key key;
    uint32_t* id;
  } pending[kInFlight];
  size_t queued = 0, interned = 0;
  TextSpan columns[3];
  size_t edges = 0;
  while (!lines.done()) {
    const int count = lines.next(columns, width);
    if (count == 0) continue;
    if (count != width) return result;
    if (2 * edges + 2 > ids.size() || (format.weighted && edges >= weights.size())) {
      result.status = NamedEdgesStatus::NoRoom;
      return result;
    }
    for (int k = 0; k < 2; ++k) {
      if (columns[k].length > kLongestName) return result;
      if (queued - interned == kInFlight) {
        const auto& next = pending[interned++ % kInFlight];
        if (!table.intern(next.key, *next.id)) return result;
      }
      pending[queued++ % kInFlight] = {table.key(columns[k]), &ids[2 * edges + k]};
    }
    if (format.weighted &&
        !read_weight(text.data() + columns[2].offset, columns[2].length, weights[edges]))
      return result;
    ++edges;
  }
  for (; interned < queued; ++interned) {
    const auto& next = pending[interned % kInFlight];
    if (!table.intern(next.key, *next.id)) return result;
  }
  if (edges == 0) return result;  // the package reports a text without edges
  result.status = NamedEdgesStatus::Read;
  result.edges = edges;
  result.names = table.take_names();
  return result;
}

// Whether the first edge line's names are longer than a short table keeps: the names of a
// file are mostly alike in length.
bool long_names(std::string_view text, size_t start, const EdgeTextFormat& format) {
  LineSplitter lines(text, start, format);
  TextSpan columns[3];
  while (!lines.done()) {
    const int count = lines.next(columns, format.weighted ? 3 : 2);
    if (count >= 2) return columns[0].length > 8 || columns[1].length > 8;
    if (count != 0) return false;
  }
  return false;
}

}  // namespace

NamedEdges read_named_edges(std::string_view text, size_t start, const EdgeTextFormat& format,
                            std::span<uint32_t> ids, std::span<double> weights) {
  if (!supported(format) || start > text.size()) return {};
  LineSplitter lines(text, start, format);
  if (long_names(text, start, format))
    return read_lines<NameTable<3>>(text, lines, format, ids, weights);
  return read_lines<NameTable<1>>(text, lines, format, ids, weights);
}

}  // namespace velmor
