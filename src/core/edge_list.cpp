#include "edge_list.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "failure.hpp"
#include "name_table.hpp"

namespace velmor {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// How a text is to be read, once its first lines are looked at.
struct Layout {
  size_t start = 0;         // where edge lines begin: past the byte order mark and any header
  uint64_t first_line = 1;  // the number of the line at `start`
  size_t width = 2;         // columns per line
  bool named = false;
  std::optional<HeaderLine> header;
};

class Reader {
 public:
  Reader(std::string_view text, const EdgeListFormat& format) : text_(text), format_(format) {}

  Layout layout() const {
    Layout layout;
    layout.start = text_.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    layout.width = width(layout.start);
    layout.named = format_.nodes == NodeKind::Names;
    if (layout.named) return layout;
    // The first two edge lines, up to a line without the right columns (a NUL byte does not end
    // them: it only keeps the first from being a header).
    TextLine first[2];
    size_t next[2];
    size_t found = 0;
    LineSplitter lines = splitter(layout.start, 1);
    while (found < 2 && !lines.done()) {
      lines.next(first[found]);
      if (first[found].blank()) continue;
      if (first[found].empty_column || first[found].count != layout.width) break;
      next[found++] = lines.position();
    }
    size_t decider = 0;  // the line that decides between ids and names
    if (found == 2 && is_header(first[0], first[1], layout.width)) {
      layout.header =
          HeaderLine{first[0].number, {first[0].begin, first[0].content_end - first[0].begin}};
      layout.start = next[0];
      layout.first_line = first[0].number + 1;
      decider = 1;
    }
    if (format_.nodes == NodeKind::Decide)
      layout.named = decider == found || !numeric(first[decider]);
    return layout;
  }

  template <class Id>
  EdgeList read(const Layout& layout, std::span<Id> ids, std::span<double> weights) const {
    EdgeList result;
    result.named = layout.named;
    result.header = layout.header;
    if (layout.named) {
      // The first edge line's names choose the table: slots that hold 8 bytes of a name, or 24.
      if (first_names_are_long(layout))
        read_lines(layout, result, ids, weights, NameSink<Id, 3>(text_));
      else read_lines(layout, result, ids, weights, NameSink<Id, 1>(text_));
    } else {
      read_lines(layout, result, ids, weights, IdSink<Id>{text_.data(), format_.ids_are_indices});
    }
    if (result.status == EdgeListStatus::Read && result.edges == 0) {
      result.status = EdgeListStatus::Fault;
      result.fault.kind = EdgeFaultKind::NoEdges;
    }
    if (result.status == EdgeListStatus::Read) find_name_not_utf8(result);
    return result;
  }

 private:
  // Ids as they stand.
  template <class Id>
  struct IdSink {
    const char* text;
    bool ids_are_indices;

    EdgeFaultKind put(TextSpan span, Id& id, EdgeListStatus& status) {
      uint64_t value;
      if (!read_node_id({text + span.offset, span.length}, value) ||
          (ids_are_indices && value > kLargestNodeId))
        return EdgeFaultKind::NodeId;
      if (value > std::numeric_limits<Id>::max()) status = EdgeListStatus::IdsTooNarrow;
      id = static_cast<Id>(value);
      return EdgeFaultKind::None;
    }
    void finish(EdgeList&) {}
  };

  // Names numbered by a table. The table is slow where it fetches slots at random, so each
  // name's slot is prefetched when its key is made, and the name waits in a queue of kInFlight
  // before it is looked up.
  template <class Id, size_t Words>
  class NameSink {
   public:
    explicit NameSink(std::string_view text) : table_(text) {}

    EdgeFaultKind put(TextSpan span, Id& id, EdgeListStatus&) {
      if (span.length > kLongestName) return EdgeFaultKind::LongName;
      if (queued_ - interned_ == kInFlight) intern(pending_[interned_++ % kInFlight]);
      pending_[queued_++ % kInFlight] = {table_.key(span), &id};
      return EdgeFaultKind::None;
    }

    void finish(EdgeList& result) {
      for (; interned_ < queued_; ++interned_) intern(pending_[interned_ % kInFlight]);
      result.names = table_.take_names();
    }

   private:
    static constexpr size_t kInFlight = 32;
    struct Pending {
      typename NameTable<Words>::Key key;
      Id* id;
    };

    void intern(const Pending& next) {
      uint32_t id;
      if (!table_.intern(next.key, id))
        raise_error(ErrorKind::Value, "more node names than 32-bit ids can number");
      *next.id = id;
    }

    NameTable<Words> table_;
    Pending pending_[kInFlight];
    size_t queued_ = 0, interned_ = 0;
  };

  template <class Id, class Sink>
  void read_lines(const Layout& layout, EdgeList& result, std::span<Id> ids,
                  std::span<double> weights, Sink sink) const {
    const bool weighted = format_.third == ThirdColumn::Weight;
    LineSplitter lines = splitter(layout.start, layout.first_line);
    TextLine line;
    size_t edges = 0;
    result.status = EdgeListStatus::Read;
    while (!lines.done()) {
      lines.next(line);
      if (line.blank()) continue;
      if (const EdgeFaultKind kind = columns_fault(line, layout.width);
          kind != EdgeFaultKind::None) {
        fail(result, kind, line, {});
        result.fault.found = line.count;
        result.fault.expected = layout.width;
        result.fault.first_edge_line = edges == 0;
        return;
      }
      if (2 * edges + 2 > ids.size() || (weighted && edges >= weights.size())) {
        result.status = EdgeListStatus::NoRoom;
        return;
      }
      for (size_t k = 0; k < 2; ++k) {
        const TextSpan span = line.columns[k];
        const EdgeFaultKind kind = sink.put(span, ids[2 * edges + k], result.status);
        if (kind != EdgeFaultKind::None) return fail(result, kind, line, span);
      }
      if (result.status != EdgeListStatus::Read) return;
      if (weighted) {
        const TextSpan span = line.columns[2];
        switch (read_weight(token(span), weights[edges])) {
          case WeightRead::Ok: break;
          case WeightRead::NotANumber:
            return fail(result, EdgeFaultKind::WeightNotANumber, line, span);
          case WeightRead::OutOfRange:
            return fail(result, EdgeFaultKind::WeightOutOfRange, line, span);
        }
      }
      ++edges;
    }
    sink.finish(result);
    result.edges = edges;
  }

  static void fail(EdgeList& result, EdgeFaultKind kind, const TextLine& line, TextSpan token) {
    result.status = EdgeListStatus::Fault;
    result.fault.kind = kind;
    result.fault.line = line.number;
    result.fault.token = token;
  }

  // The fault of a line that is not blank, as far as its columns tell: binary data first, then
  // an empty column, then the count.
  EdgeFaultKind columns_fault(const TextLine& line, size_t width) const {
    if (line.has_nul) return EdgeFaultKind::Binary;
    if (line.empty_column) return EdgeFaultKind::EmptyColumn;
    return line.count == width ? EdgeFaultKind::None : EdgeFaultKind::Columns;
  }

  // Three columns if the third is read; if skipped, the first edge line's count, when three.
  size_t width(size_t start) const {
    if (format_.third == ThirdColumn::Weight) return 3;
    if (format_.third == ThirdColumn::None) return 2;
    LineSplitter lines = splitter(start, 1);
    TextLine line;
    while (!lines.done()) {
      lines.next(line);
      if (!line.blank()) return line.count == 3 ? 3 : 2;
    }
    return 2;
  }

  bool numeric(const TextLine& line) const {
    return is_decimal_number(token(line.columns[0])) && is_decimal_number(token(line.columns[1]));
  }

  bool is_header(const TextLine& first, const TextLine& second, size_t width) const {
    if (first.has_nul) return false;  // binary data, never a header
    if (!numeric(first) && numeric(second)) return true;
    if (width != 3) return false;
    for (const TextSpan& column : first.columns)
      if (is_decimal_number(token(column))) return false;
    return is_decimal_number(token(second.columns[2]));
  }

  bool first_names_are_long(const Layout& layout) const {
    LineSplitter lines = splitter(layout.start, layout.first_line);
    TextLine line;
    while (!lines.done()) {
      lines.next(line);
      if (line.blank()) continue;
      return line.count >= 2 && (line.columns[0].length > 8 || line.columns[1].length > 8);
    }
    return false;
  }

  // The first name, in order of appearance, that is not UTF-8 text.
  void find_name_not_utf8(EdgeList& result) const {
    for (const TextSpan& name : result.names) {
      if (first_invalid_utf8(token(name)) == name.length) continue;
      result.status = EdgeListStatus::Fault;
      result.fault.kind = EdgeFaultKind::NotUtf8;
      result.fault.token = name;
      result.fault.line =
          1 + static_cast<uint64_t>(std::count(text_.begin(), text_.begin() + name.offset, '\n'));
      return;
    }
  }

  LineSplitter splitter(size_t start, uint64_t first_line) const {
    return LineSplitter(text_, start, format_.delimiter, format_.comment, first_line);
  }

  std::string_view token(TextSpan span) const { return text_.substr(span.offset, span.length); }

  std::string_view text_;
  const EdgeListFormat& format_;
};

void check_format(const EdgeListFormat& format) {
  const auto byte = [](int b) { return b >= -1 && b < 256 && b != '\n'; };
  if (!byte(format.delimiter) || !byte(format.comment) ||
      (format.delimiter >= 0 && format.delimiter == format.comment))
    panic("edge-list format: the delimiter " + std::to_string(format.delimiter) + " and comment " +
          std::to_string(format.comment) + " must be distinct bytes other than '\\n', or -1");
}

}  // namespace

template <class Id>
EdgeList read_edge_list(std::string_view text, const EdgeListFormat& format, std::span<Id> ids,
                        std::span<double> weights) {
  check_format(format);
  const Reader reader(text, format);
  return reader.read(reader.layout(), ids, weights);
}

template EdgeList read_edge_list<uint32_t>(std::string_view, const EdgeListFormat&,
                                           std::span<uint32_t>, std::span<double>);
template EdgeList read_edge_list<uint64_t>(std::string_view, const EdgeListFormat&,
                                           std::span<uint64_t>, std::span<double>);

}  // namespace velmor
