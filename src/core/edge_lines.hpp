// Edge-list text cut into lines, and lines into columns.
//
// Lines end at '\n'. The comment byte, if any, starts a comment running to the end of its line.
// Without a delimiter, the columns of a line are its runs of bytes other than whitespace (bytes 9
// to 13 and 32, C's isspace) and commas. With one, they are what lies between delimiters, with
// the whitespace around each trimmed, so that a column may hold inner spaces. A NUL byte is
// content, and flagged: it marks binary data, which the reader refuses.
//
// The splitter reads lines in order, one call per line, and keeps the line count; it holds a
// view of the text, which must outlive it. Not thread-safe; splitters on the same text are
// independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmor {

// Where a token lies in the text.
struct TextSpan {
  size_t offset = 0;
  size_t length = 0;
};

struct TextLine {
  uint64_t number = 0;     // 1-based
  size_t begin = 0;        // offset of the line's first byte
  size_t content_end = 0;  // offset of its comment marker, or of its '\n' or the text's end
  // Without a delimiter, the columns; with one, the delimiters plus one. 0 for a blank line.
  size_t count = 0;
  bool empty_column = false;  // with a delimiter: a column of whitespace only, in a line not blank
  bool has_nul = false;       // a NUL byte outside the comment
  TextSpan columns[3];        // the first three columns (trimmed)

  bool blank() const { return count == 0; }
};

class LineSplitter {
 public:
  // Lines from `start` on, the first of which is numbered `first_number`. `delimiter` and
  // `comment` are byte values, or -1 for none; they differ, and neither is '\n'.
  LineSplitter(std::string_view text, size_t start, int delimiter, int comment,
               uint64_t first_number = 1);

  bool done() const { return pos_ >= size_; }
  size_t position() const { return pos_; }

  // Reads the line at the current position into `line` and moves past it.
  // Precondition: !done().
  void next(TextLine& line) {
    line.number = number_++;
    line.begin = pos_;
    line.empty_column = false;
    size_t i = pos_;
    if (delimited_) delimited_line(i, line);
    else plain_line(i, line);
    pos_ = i + 1;  // past the '\n' at i, or past the end
  }

 private:
  // Ordered so that the bytes of a column test as `<= kNul` and of a trimmed column `<= kSpace`.
  enum ByteClass : uint8_t { kContent, kNul, kSpace, kDelimiter, kLineEnd, kComment };

  ByteClass at(size_t i) const { return i < size_ ? class_[text_[i]] : kLineEnd; }

  // From the comment marker at i to the end of its line.
  void skip_comment(size_t& i) const {
    const void* end = std::memchr(text_ + i, '\n', size_ - i);
    i = end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - text_) : size_;
  }

  // Both fill `line` from locals at the end: the text is read through a byte pointer, which may
  // alias the line, so stores to the line inside the loops would not stay in registers.
  void plain_line(size_t& i, TextLine& line) const {
    size_t count = 0;
    unsigned nul = 0;
    for (;;) {
      while (at(i) == kSpace) ++i;
      ByteClass c = at(i);
      if (c == kLineEnd || c == kComment) {
        line.content_end = i;
        if (c == kComment) skip_comment(i);
        break;
      }
      const size_t begin = i;
      while ((c = at(i)) <= kNul) {
        nul |= c;
        ++i;
      }
      if (count < 3) line.columns[count] = {begin, i - begin};
      ++count;
    }
    line.count = count;
    line.has_nul = nul != 0;
  }

  void delimited_line(size_t& i, TextLine& line) const {
    size_t count = 0;
    bool empty = false;
    unsigned nul = 0;
    for (;;) {
      while (at(i) == kSpace) ++i;
      const size_t begin = i;
      size_t end = i;  // past the column's last byte that is not whitespace
      ByteClass c;
      while ((c = at(i)) <= kSpace) {
        ++i;
        if (c != kSpace) end = i;
        nul |= c == kNul;
      }
      if (c != kDelimiter) line.content_end = i;
      if (c == kComment) skip_comment(i);
      if (c != kDelimiter && count == 0 && end == begin) break;  // a blank line
      empty |= end == begin;
      if (count < 3) line.columns[count] = {begin, end - begin};
      ++count;
      if (c != kDelimiter) break;
      ++i;
    }
    line.count = count;
    line.empty_column = empty;
    line.has_nul = nul != 0;
  }

  const unsigned char* text_;
  size_t size_;
  size_t pos_;
  uint64_t number_;
  bool delimited_;
  ByteClass class_[256];
};

}  // namespace velmor
