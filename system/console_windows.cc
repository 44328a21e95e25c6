// The console on Windows: where standard output is a console, characters go to it with
// WriteConsoleW, so that the Russian texts and any name read right whatever the console's code
// page; redirected output gets the CP866 bytes (and CR LF line ends) that scripts match on.
#include <windows.h>

#include <iostream>
#include <string>

#include "system/console.h"
#include "system/platform.h"

namespace pairset::console {
namespace {

// Gives the console behind standard output, or null when output is redirected.
HANDLE output_console() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode) != 0 ? output : nullptr;
}

// Gives UTF-8 `text` in wide characters.
std::wstring from_utf8(std::u8string_view text) {
  if (text.empty()) return {};
  const auto* bytes = reinterpret_cast<const char*>(text.data());
  const int size = static_cast<int>(text.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes, size, nullptr, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes, size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

// Writes characters to the console: texts from their UTF-8, names in the wide spelling the
// command line gave them.
class ConsolePrinter : public Printer {
 public:
  explicit ConsolePrinter(HANDLE console) : console_(console) {}

  void print(std::span<const Piece> message) override {
    std::wstring line;
    for (const Piece& piece : message) {
      // A name is a command-line argument; its own pointer finds its wide spelling.
      line += piece.is_name ? platform::native_path(piece.name.data()).wstring()
                            : from_utf8(piece.text.utf8);
    }
    const wchar_t* next = line.c_str();
    DWORD left = static_cast<DWORD>(line.size());
    while (left > 0) {
      DWORD written = 0;
      if (WriteConsoleW(console_, next, left, &written, nullptr) == 0 || written == 0) return;
      next += written;
      left -= written;
    }
  }

 private:
  HANDLE console_;
};

// Waits until a key is pressed at the console.
void wait_for_key() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE) return;
  static_cast<void>(FlushConsoleInputBuffer(input));
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (ReadConsoleInputW(input, &record, 1, &read) == 0 || read == 0) return;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
  }
}

}  // namespace

Printer& standard_output() {
  if (const HANDLE console = output_console()) {
    static ConsolePrinter printer(console);
    return printer;
  }
  static StreamPrinter printer(std::cout, StreamPrinter::Form::kCp866);
  return printer;
}

void finish(Text prompt) {
  std::cout.flush();
  const HANDLE console = output_console();
  // A console that lists this process alone was opened for it: a double-click, not cmd.
  DWORD processes[2] = {};
  if (console == nullptr || GetConsoleProcessList(processes, 2) != 1) return;
  const Piece line[] = {prompt};
  standard_output().print(line);
  wait_for_key();
}

}  // namespace pairset::console
