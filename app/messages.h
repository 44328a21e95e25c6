// The console texts of pairset, written in UTF-8 and carried also as CP866 bytes; how they reach
// the screen is the printer's choice. Paths are inserted as the command line gave them.
#ifndef PAIRSET_APP_MESSAGES_H_
#define PAIRSET_APP_MESSAGES_H_

#include <string_view>

#include "system/console.h"
#include "system/outcome.h"

namespace pairset {

// Writes the usage text.
void print_usage(Printer& out);

// Writes the message for `failure` (not kNone) of the file at `path`.
void print_failure(Printer& out, Failure failure, std::string_view path);

// Writes the message for an `input_source` that is not a .cn1 file.
void print_not_cn1(Printer& out, std::string_view input_source);

// Writes the message for an `output_source` that is not a .cn1 file, the input being one.
void print_second_not_cn1(Printer& out, std::string_view input_source,
                          std::string_view output_source);

// Writes the message for a finished conversion.
void print_success(Printer& out);

// Gives the line that asks for a key before a console window opened for the run closes.
Text press_any_key();

}  // namespace pairset

#endif  // PAIRSET_APP_MESSAGES_H_
