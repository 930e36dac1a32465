#include "edge_lines.hpp"

namespace velmor {

LineSplitter::LineSplitter(std::string_view text, size_t start, int delimiter, int comment,
                           uint64_t first_number)
    : text_(reinterpret_cast<const unsigned char*>(text.data())),
      size_(text.size()),
      pos_(start),
      number_(first_number),
      delimited_(delimiter >= 0) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    const int b = static_cast<int>(byte);
    ByteClass& c = class_[byte];
    if (b == comment) c = kComment;
    else if (byte == '\n') c = kLineEnd;
    else if (b == delimiter) c = kDelimiter;
    else if (byte == 0) c = kNul;
    else if ((byte >= 9 && byte <= 13) || byte == 32 || (!delimited_ && byte == ',')) c = kSpace;
    else c = kContent;
  }
}

}  // namespace velmor
