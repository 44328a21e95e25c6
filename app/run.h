// The pairset run: one conversion of two .cn1 files into a .c13 file, driven by the command line.
#ifndef PAIRSET_APP_RUN_H_
#define PAIRSET_APP_RUN_H_

#include <span>
#include <string_view>

#include "system/console.h"

namespace pairset {

// Runs the command `input_source output_source target [/N name]` given as `args` (the program
// name left out) and writes every message to `out`. Outcomes are told only by the text, so
// there is no result.
void run_pairset(std::span<const char* const> args, Printer& out);

// The one argument with which convert-units.bat asks whether Explorer started it: the answer is
// the exit status (0: yes, 1: no), and nothing is printed. With any other single argument the
// run prints the usage, as ever.
inline constexpr std::string_view kStartedByExplorerSwitch = "/STARTED-BY-EXPLORER";

}  // namespace pairset

#endif  // PAIRSET_APP_RUN_H_
