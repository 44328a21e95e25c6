// The console texts of pairset, written in UTF-8 and carried also as CP866 bytes; how they reach
// the screen is the printer's choice. Paths are inserted as the command line gave them.
#ifndef PAIRSET_APP_MESSAGES_H_
#define PAIRSET_APP_MESSAGES_H_

#include <string_view>

#include "system/console.h"

namespace pairset {

// Writes the usage text.
void print_usage(Printer& out);

// Writes the message for a file that cannot be opened.
void print_open_failure(Printer& out, std::string_view path);

// Writes the message for a file that opened but could not be read.
void print_read_failure(Printer& out, std::string_view path);

// Writes the message for a target whose writing or closing failed.
void print_write_failure(Printer& out, std::string_view path);

// Writes the message for a source too large to hold in memory.
void print_out_of_memory(Printer& out, std::string_view path);

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
