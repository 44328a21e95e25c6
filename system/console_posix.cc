// The console on POSIX systems: a terminal whose locale speaks UTF-8 is given the texts in UTF-8;
// any other output the CP866 bytes that scripts match on.
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <iostream>

#include "system/console.h"

namespace pairset::console {
namespace {

// Gives true when standard output is a terminal whose locale's character set is UTF-8.
bool is_utf8_terminal() {
  if (isatty(STDOUT_FILENO) == 0) return false;
  if (std::setlocale(LC_CTYPE, "") == nullptr) return false;
  const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  // Nothing else of the program depends on the locale; it goes back to "C".
  static_cast<void>(std::setlocale(LC_CTYPE, "C"));
  return utf8;
}

}  // namespace

Printer& standard_output() {
  static StreamPrinter printer(
      std::cout, is_utf8_terminal() ? StreamPrinter::Form::kUtf8 : StreamPrinter::Form::kCp866);
  return printer;
}

// A POSIX terminal outlives the program: there is no window to keep open.
void finish(Text) {
  std::cout.flush();
}

bool caller_started_by_explorer() {
  return false;
}

}  // namespace pairset::console
