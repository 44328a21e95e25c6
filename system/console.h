// How the program's messages reach standard output on each system. A message is built once, as
// pieces of fixed text and names from the command line; the system decides the form: characters
// on a console or a UTF-8 terminal, and the same bytes as always where output is redirected.
#ifndef PAIRSET_SYSTEM_CONSOLE_H_
#define PAIRSET_SYSTEM_CONSOLE_H_

#include <ostream>
#include <span>
#include <string_view>

namespace pairset {

// A fixed text of the program in both its forms: UTF-8 for a screen that takes characters, and
// the CP866 bytes that redirected output has always carried.
struct Text {
  std::u8string_view utf8;
  std::string_view cp866;
};

// A name as the command line gave it (the narrow bytes of its argument).
struct Name {
  std::string_view narrow;
};

// One piece of a message: a fixed text, or a name.
struct Piece {
  // Implicit on purpose: a message is written as a list of texts and names.
  Piece(Text fixed) : text(fixed) {}                        // NOLINT(google-explicit-constructor)
  Piece(Name given) : name(given.narrow), is_name(true) {}  // NOLINT(google-explicit-constructor)

  Text text{};
  std::string_view name;
  bool is_name = false;
};

// Where messages are printed.
class Printer {
 public:
  virtual ~Printer() = default;
  // Prints one message, its pieces in order.
  virtual void print(std::span<const Piece> message) = 0;
};

// Prints to a byte stream in one form: CP866 texts (the redirected form) or UTF-8 texts; names
// are their narrow bytes either way.
class StreamPrinter : public Printer {
 public:
  enum class Form { kCp866, kUtf8 };
  StreamPrinter(std::ostream& out, Form form) : out_(out), form_(form) {}
  void print(std::span<const Piece> message) override;

 private:
  std::ostream& out_;
  Form form_;
};

namespace console {

// Gives the printer for this process's standard output: characters where it is a console (or,
// on POSIX, a terminal whose character set is UTF-8); the CP866 bytes where it is redirected.
Printer& standard_output();

// What Windows tells of the console a run ends in.
struct ConsoleFacts {
  bool alone = false;                // no other process shares it (GetConsoleProcessList)
  bool input_is_console = false;     // standard input reads from it, not from a file or NUL
  bool output_is_console = false;    // standard output writes to it
  bool has_window = false;           // it has a window (none under CREATE_NO_WINDOW)
  bool started_hidden = false;       // the process was started with SW_HIDE
  bool interactive_station = false;  // a logged-on user's window station, not a service's
  bool started_by_explorer = false;  // the process that started it is explorer.exe
};

// Gives true when a person can press a key in a console window that Explorer opened for this run
// alone (a double-click, a shortcut, a file dropped on the program): only then does the run ask
// for one before the window closes. Scripts, services, scheduled tasks and hidden windows never
// wait.
bool should_wait_for_key(const ConsoleFacts& facts);

// Ends the output of the run: flushes it and, where should_wait_for_key says so, prints
// `prompt` and waits for a key before the window closes.
void finish(Text prompt);

// Gives true when the program that started this one was itself started by Explorer: the cmd of a
// batch file double-clicked or given dropped files (a task, a front end or a script start it the
// same way, but not from Explorer). False on POSIX.
bool caller_started_by_explorer();

}  // namespace console
}  // namespace pairset

#endif  // PAIRSET_SYSTEM_CONSOLE_H_
