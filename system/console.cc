#include "system/console.h"

namespace pairset {

void StreamPrinter::print(std::span<const Piece> message) {
  for (const Piece& piece : message) {
    if (piece.is_name) {
      out_ << piece.name;
    } else if (form_ == Form::kCp866) {
      out_ << piece.text.cp866;
    } else {
      out_.write(reinterpret_cast<const char*>(piece.text.utf8.data()),
                 static_cast<std::streamsize>(piece.text.utf8.size()));
    }
  }
}
}  // namespace pairset
