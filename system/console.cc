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

namespace console {

bool should_wait_for_key(const ConsoleFacts& facts) {
  // A window that exists may still be a hidden pseudo-window (Windows Terminal as the console
  // host shows one even after a double-click), so its visibility is not asked.
  // A console opened for the run alone is also what `start /wait`, `start /min`, a scheduled
  // task and a program that waits for the run (ShellExecute) give; only Explorer's is a person's.
  return facts.alone && facts.input_is_console && facts.output_is_console && facts.has_window &&
         !facts.started_hidden && facts.interactive_station && facts.started_by_explorer;
}

}  // namespace console
}  // namespace pairset
