// The console on Windows: where standard output is a console, characters go to it with
// WriteConsoleW, so that the Russian texts and any name read right whatever the console's code
// page; redirected output gets the CP866 bytes (and CR LF line ends) that scripts match on.
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>

#include <iostream>
#include <string>

#include "system/console.h"
#include "system/files.h"
#include "system/open_file_windows.h"

namespace pairset::console {
namespace {

// Gives true when `handle` is a console.
bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

// Gives the console behind standard output, or null when output is redirected.
HANDLE output_console() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  return is_console(output) ? output : nullptr;
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
                            : platform::widened(
                                  CP_UTF8, {reinterpret_cast<const char*>(piece.text.utf8.data()),
                                            piece.text.utf8.size()});
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

// Gives true when Explorer started this process (`generations` 1: a double-click, a shortcut, or
// a file dropped on the program) or the one that started it (2). The snapshot of the processes is
// present from Windows 2000 on.
bool started_by_explorer(int generations = 1) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  // Gives the entry of process `id` in the snapshot, or null.
  const auto find = [snapshot](DWORD id, PROCESSENTRY32W& entry) {
    entry = PROCESSENTRY32W{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != 0;
         more = Process32NextW(snapshot, &entry)) {
      if (entry.th32ProcessID == id) return true;
    }
    return false;
  };
  PROCESSENTRY32W entry{};
  bool found = find(GetCurrentProcessId(), entry);
  for (int generation = 0; found && generation < generations; ++generation) {
    found = find(entry.th32ParentProcessID, entry);
  }
  CloseHandle(snapshot);
  return found && lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0;
}

// Gives what Windows tells of the console this run ends in.
ConsoleFacts console_facts() {
  ConsoleFacts facts;
  DWORD processes[2] = {};
  facts.alone = GetConsoleProcessList(processes, 2) == 1;
  facts.input_is_console = is_console(GetStdHandle(STD_INPUT_HANDLE));
  facts.output_is_console = is_console(GetStdHandle(STD_OUTPUT_HANDLE));
  facts.has_window = GetConsoleWindow() != nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  facts.started_hidden =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
  USEROBJECTFLAGS station{};
  DWORD needed = 0;
  facts.interactive_station = GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS,
                                                        &station, sizeof station, &needed) != 0 &&
                              (station.dwFlags & WSF_VISIBLE) != 0;
  facts.started_by_explorer = started_by_explorer();
  return facts;
}

// Gives true for a key that is only pressed with another (Shift, Ctrl, Alt of Alt+Tab, Windows) or
// that only switches a mode: pressing it alone is not the key asked for.
bool is_modifier(WORD key) {
  switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return true;
    default:
      return false;
  }
}

// Waits until a key is pressed at the console.
void wait_for_key() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  static_cast<void>(FlushConsoleInputBuffer(input));
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (ReadConsoleInputW(input, &record, 1, &read) == 0 || read == 0) return;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        !is_modifier(record.Event.KeyEvent.wVirtualKeyCode)) {
      return;
    }
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

bool caller_started_by_explorer() {
  return started_by_explorer(2);
}

void finish(Text prompt) {
  std::cout.flush();
  if (!should_wait_for_key(console_facts())) return;
  const Piece line[] = {prompt};
  standard_output().print(line);
  wait_for_key();
}

}  // namespace pairset::console
