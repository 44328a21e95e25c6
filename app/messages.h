// The console texts of pairset. They are CP866 bytes; paths are inserted byte for byte.
#ifndef PAIRSET_APP_MESSAGES_H_
#define PAIRSET_APP_MESSAGES_H_

#include <ostream>
#include <string_view>

namespace pairset {

// Writes the usage text.
void print_usage(std::ostream& out);

// Writes the message for a file that cannot be opened.
void print_open_failure(std::ostream& out, std::string_view path);

// Writes the message for a file that opened but could not be read.
void print_read_failure(std::ostream& out, std::string_view path);

// Writes the message for a target whose writing or closing failed.
void print_write_failure(std::ostream& out, std::string_view path);

// Writes the message for a source too large to hold in memory.
void print_out_of_memory(std::ostream& out, std::string_view path);

// Writes the message for an `input_source` that is not a .cn1 file.
void print_not_cn1(std::ostream& out, std::string_view input_source);

// Writes the message for an `output_source` that is not a .cn1 file, the input being one.
void print_second_not_cn1(std::ostream& out, std::string_view input_source,
                          std::string_view output_source);

// Writes the message for a finished conversion.
void print_success(std::ostream& out);

}  // namespace pairset

#endif  // PAIRSET_APP_MESSAGES_H_
