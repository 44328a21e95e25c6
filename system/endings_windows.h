// The console events on Windows, as the file code needs them: a file in flight (a new file that
// exists, a target being written in place) makes a console event wait until it is whole or
// removed.
#ifndef PAIRSET_SYSTEM_ENDINGS_WINDOWS_H_
#define PAIRSET_SYSTEM_ENDINGS_WINDOWS_H_

namespace pairset::platform {

// Makes Ctrl+C, Ctrl+Break, a closed window, logoff and shutdown wait for the file in flight.
void install_console_handler();

// Notes one more file in flight; a request to end that came first ends the run before it starts.
void note_file_in_flight();

// Notes one file fewer in flight; the last one ends the run if that was asked for meanwhile.
void forget_file_in_flight();

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_ENDINGS_WINDOWS_H_
