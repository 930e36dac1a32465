// Edge-list text with named nodes, read in one pass into dense node ids.
//
// The rules are the package's edge-list rules for a file of names (velmor/_edgeparse.py):
// lines end at '\n'; the comment byte, if any, starts a comment running to the end of its line;
// without a delimiter, columns are the runs of bytes other than whitespace (bytes 9 to 13 and
// 32) and commas; with one, they are what lies between delimiters, with the whitespace around
// each trimmed. A line left blank is skipped; every other line holds two names, or two names
// and a weight.
//
// This reader handles only text that follows the rules: at the first line that the package
// would refuse (wrong column count, a NUL byte, a name longer than kLongestName bytes, a weight
// that is not a finite number greater than 0) it stops and declines, and the caller reads the
// text its own way to report the fault. It also declines some valid text that it leaves to
// that reader (weights in forms other than plain decimals with an optional exponent). So on
// every text that it reads, its result is the package's: names numbered in order of first
// appearance, weights rounded as strtod rounds them.
//
// Names are compared as bytes; whether they are valid UTF-8 is for the caller to check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velmor {

inline constexpr size_t kLongestName = 255;  // the package's bound on a name's length in bytes

struct EdgeTextFormat {
  int delimiter = -1;  // the byte between columns, or -1 for runs of whitespace and commas
  int comment = -1;    // the byte that starts a comment, or -1 for none
  bool weighted = false;
};

// Where a name lies in the text.
struct TextSpan {
  size_t offset;
  size_t length;
};

enum class NamedEdgesStatus {
  Read,      // the text is read
  Declined,  // a fault, or text this reader leaves to the package's own
  NoRoom,    // ids (or weights) cannot hold every edge of the text
};

struct NamedEdges {
  NamedEdgesStatus status = NamedEdgesStatus::Declined;
  size_t edges = 0;             // rows written: 2 ids (and a weight) per edge
  std::vector<TextSpan> names;  // the name of each id, where it first appears
};

// Reads text[start:] into `ids` (source and target of each edge in turn) and, when weighted,
// `weights` (one per edge). On any status but Read, what was written to ids and weights means
// nothing. Needs one line's room per edge: ids 2 * lines, weights one per line.
NamedEdges read_named_edges(std::string_view text, size_t start, const EdgeTextFormat& format,
                            std::span<uint32_t> ids, std::span<double> weights);

}  // namespace velmor
