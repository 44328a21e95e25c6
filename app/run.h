// The pairset run: one conversion of two .cn1 files into a .c13 file, driven by the command line.
#ifndef PAIRSET_APP_RUN_H_
#define PAIRSET_APP_RUN_H_

#include <span>

#include "system/console.h"

namespace pairset {

// Runs the command `input_source output_source target [/N name]` given as `args` (the program
// name left out) and writes every message to `out`. Outcomes are told only by the text, so
// there is no result.
void run_pairset(std::span<const char* const> args, Printer& out);

}  // namespace pairset

#endif  // PAIRSET_APP_RUN_H_
