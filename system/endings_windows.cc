// Endings on Windows: a console event (Ctrl+C, Ctrl+Break, a closed window, logoff, shutdown)
// waits until the file being written is whole or removed, and a pipe whose reader left is a
// failed write by itself.
#include <windows.h>

#include <atomic>

#include "system/endings.h"
#include "system/endings_windows.h"

namespace pairset::platform {
namespace {

// The files the run has in flight (a new file that exists, a target being written in place),
// and whether the user or the system asked the run to end. The console handler runs on a thread
// of its own, so both are atomic.
std::atomic<int> g_in_flight{0};
std::atomic<bool> g_ending_requested{false};

// Ends the process as the default console handler would.
[[noreturn]] void end_as_requested() {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Ctrl+C, Ctrl+Break, a closed window, logoff or shutdown: with no file in flight the default
// handler ends the process at once; otherwise this thread waits, and the run ends the process once
// its file is whole or removed (Windows ends it anyway seconds after the last three).
BOOL WINAPI on_console_event(DWORD) {
  g_ending_requested = true;
  if (g_in_flight == 0) return FALSE;
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void install_console_handler() {
  static_cast<void>(SetConsoleCtrlHandler(on_console_event, TRUE));
}

void note_file_in_flight() {
  ++g_in_flight;
  if (g_ending_requested) end_as_requested();
}

void forget_file_in_flight() {
  if (--g_in_flight == 0 && g_ending_requested) end_as_requested();
}

bool ending_requested() {
  return g_ending_requested;
}

EndingsDeferred::EndingsDeferred() {
  note_file_in_flight();
}

EndingsDeferred::~EndingsDeferred() {
  forget_file_in_flight();
}

// No signal ends a Windows program for a reader that left: the write fails by itself.
BrokenPipesReported::BrokenPipesReported() = default;
BrokenPipesReported::~BrokenPipesReported() = default;

}  // namespace pairset::platform
