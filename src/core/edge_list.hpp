// The edge-list reader: text of one edge per line to node ids, node names and weights, in one
// pass, with the first fault of the text reported by line.
//
// Lines and columns are cut as edge_lines.hpp describes; a UTF-8 byte order mark at the start is
// skipped. Every line that is not blank holds two node columns, source and target, and with a
// third column, the weight (read, or skipped unread). Nodes are either integer ids (1 to 18
// digits) or names (up to kLongestName bytes of UTF-8, compared as bytes), the first two edge
// lines deciding unless the caller does:
//  - a first line of two numbers makes a file of ids;
//  - a first line with a word above a line of two numbers is a header, skipped; so is, in a
//    file of three columns, a first line of words only above a line whose third column is a
//    number (`source target weight`);
//  - anything else makes a file of names.
// Ids are written as they stand (numbering them is the caller's); names are numbered in order
// of first appearance.
//
// A fault is a line that is not blank and does not hold the columns, ids, names or weight it
// should, or a NUL byte outside a comment (binary data, named before any other fault of its
// line), or a text without edges. The reader stops at the first in the text; a name that is not
// UTF-8 counts only where the text has no other fault.
//
// Thread-safety: reentrant; the text and output spans must not change during the call. The
// function releases nothing it did not allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "edge_lines.hpp"
#include "edge_tokens.hpp"

namespace velmor {

enum class NodeKind { Decide, Ids, Names };

enum class ThirdColumn {
  None,     // two columns per line
  Weight,   // three per line, the third the edge's weight
  Skipped,  // as many as the first edge line holds, two or three; a third is not read
};

struct EdgeListFormat {
  int delimiter = -1;  // the byte between columns, or -1 for runs of whitespace and commas
  int comment = -1;    // the byte that starts a comment, or -1 for none
  NodeKind nodes = NodeKind::Decide;
  ThirdColumn third = ThirdColumn::None;
  bool ids_are_indices = false;  // ids above kLargestNodeId are faults
};

enum class EdgeFaultKind {
  None,
  Binary,            // a NUL byte
  EmptyColumn,       // with a delimiter, a column of whitespace only
  Columns,           // not the columns expected: `found`, against `expected`
  NodeId,            // in a file of ids, `token` is not an id (or, as indices, too large)
  LongName,          // a name longer than kLongestName bytes
  WeightNotANumber,  // `token`
  WeightOutOfRange,  // `token`: nan, inf, or not greater than 0
  NotUtf8,           // `token`, a name, holds bytes that are not UTF-8
  NoEdges,           // the text holds no edge line; `line` is 0
};

struct EdgeFault {
  EdgeFaultKind kind = EdgeFaultKind::None;
  uint64_t line = 0;  // 1-based
  TextSpan token;
  size_t found = 0;
  size_t expected = 0;
  bool first_edge_line = false;  // Columns: no edge line comes before it
};

struct HeaderLine {
  uint64_t line = 0;  // 1-based
  TextSpan text;      // up to its comment, untrimmed
};

enum class EdgeListStatus {
  Read,          // the edges are written
  Fault,         // `fault` says where and what
  NoRoom,        // the ids or weights cannot hold the text's edges
  IdsTooNarrow,  // an id does not fit the id type: read again into wider ids
};

struct EdgeList {
  EdgeListStatus status = EdgeListStatus::Fault;
  size_t edges = 0;             // ids written: 2 per edge, source then target
  bool named = false;           // whether the nodes are names
  std::vector<TextSpan> names;  // a file of names: each id's name, where it first appears
  std::optional<HeaderLine> header;
  EdgeFault fault;
};

// Reads `text` into `ids` (two per edge) and, with ThirdColumn::Weight, `weights` (one per edge).
// Needs 2 ids and 1 weight per line at most. Id is uint32_t or uint64_t; uint32_t ids of a file
// of ids may come back IdsTooNarrow. On any status but Read, what was written means nothing.
template <class Id>
EdgeList read_edge_list(std::string_view text, const EdgeListFormat& format, std::span<Id> ids,
                        std::span<double> weights);

}  // namespace velmor
