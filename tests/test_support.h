// Helpers the tests share: a temporary folder, whole-file reads and writes, and source files
// built from a setting name and a body.
#ifndef PAIRSET_TESTS_TEST_SUPPORT_H_
#define PAIRSET_TESTS_TEST_SUPPORT_H_

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "settings/source_file.h"
#include "system/identity.h"
#include "system/target_output.h"

namespace pairset::testing {

// Prints a table's row in test output as its label. A test file's namespace takes it in with
// `using testing::PrintTo;`, where GoogleTest looks for it.
template <class Row>
requires requires(const Row& row) {
  row.label;
}
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.label;
}

// Names the tests of a table by the labels of its rows.
inline constexpr auto kRowLabel = [](const auto& info) { return std::string(info.param.label); };

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Gives the path of `name` inside the folder.
  std::string path(std::string_view name) const;

 private:
  std::filesystem::path root_;
};

// Gives a std::string of `text` with its embedded zero bytes.
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// Writes `contents` as the whole file at `path`; fails the test when it cannot.
void write_file(const std::string& path, std::string_view contents);

// Gives the whole file at `path`; fails the test when it cannot be read.
std::string read_file(const std::string& path);

// Gives the 16-byte setting name field for `name`, zero-padded.
std::string name_field(std::string_view name);

// Gives a .cn1 file: the v1.0 signature, the setting name `name` and `body`.
std::string cn1_file(std::string_view name, std::string_view body);

// Gives `text` in code page 866; a text that does not convert fails the test.
std::string to_cp866(std::u8string_view text);

// Gives the status of writing `text` as the whole target at `path`.
Failure write_text(const std::string& path, const std::string& text);

// Gives the conversion of the example pair that ships with the program.
std::string example_result();

// Makes a sparse file at `path`: `head`, a hole, and `tail` ending at byte `size`.
void write_sparse_file(const std::string& path, const std::string& head, const std::string& tail,
                       std::uint64_t size);

// Gives true when the bytes of `file` from its position on are all zero, `count` of them.
bool reads_zeros(std::ifstream& file, std::uint64_t count);

// Gives the names of the files in `dir`, sorted.
std::vector<std::string> file_names(const TempDir& dir);

// Gives the undo copies in those of `folders` that exist (a target's folder, a state folder).
std::vector<std::filesystem::path> undo_copies_in(const std::vector<std::string>& folders);

// Gives the old contents that the undo copy `copy` has, or nothing where it opens with no whole
// header or is shorter than the header says.
std::optional<std::string> old_contents_in(std::string_view copy);

// Gives a whole undo copy, as a run makes it, of the target `origin` named `name`, that had `old`
// and was to have `result`.
std::string undo_copy_file(const platform::FileOrigin& origin, std::string_view name,
                           std::string_view old, std::string_view result);

// Gives the usage text as pairset prints it, from the UTF-8 copy kept with the tests.
std::string usage_text();

// Gives a .c13 file: the v1.3 signature, `name_field` (16 bytes as they stand), `input_body`,
// `name_field` again and `output_body`.
std::string c13_file(std::string_view name_field, std::string_view input_body,
                     std::string_view output_body);

// Gives a source file kept in memory, as if loaded, with the bytes of `contents`.
SourceFile source_in_memory(std::string_view contents);

// Gives every byte of a loaded source: those kept in memory, then the body left in its file.
std::string contents_of(const SourceFile& source);

// Gives what `run_pairset` prints for `args`.
std::string run_in_process(const std::vector<std::string>& args);

// What a run of a command printed on each stream, and its exit status.
struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
};

// Gives `arguments` each in double quotes, separated by spaces, for the shell.
std::string quoted(const std::vector<std::string>& arguments);

// Gives the pairset executable the tests run: the one built beside them, or the one that
// PAIRSET_UNDER_TEST names (a Unix path under wine too), such as the shipped build.
std::string executable_under_test();

// Gives the shell command that runs the built pairset with `arguments` (quoted for the shell).
std::string pairset_command(const std::string& arguments);

// Runs `command` (UTF-8) through the shell and gives what it printed and its exit status;
// standard error goes through a file in `dir`.
Outcome run_command(const std::string& command, const TempDir& dir);

// Gives the result of running the built pairset with `arguments` (quoted for the shell).
Outcome run_executable(const std::string& arguments, const TempDir& dir);

// Each system's own, in test_support_linux.cc and test_support_windows.cc.

// What loading a folder as a source fails with, and the message ("{}" the folder): Linux opens a
// folder but does not read it; Windows does not open it.
extern const Failure kFolderSourceFailure;
extern const char8_t* const kFolderSourceMessage;

// Gives the path a test's program reaches the host's `path` by (under wine Z: before it).
std::string host_path(const char* path);

// Starts the shell command `line` (UTF-8) with its standard output to be read from the pipe it
// gives, or null; end_command waits for it and gives its exit status.
std::FILE* start_command(const std::string& line);
int end_command(std::FILE* pipe);

// Gives `text` in CP866 as the system's own converter (iconv, WideCharToMultiByte) makes it.
std::string system_cp866(std::u8string_view text);

// Gives `text` as the console receives it from pairset: on Windows stdout is a text stream.
std::string console(std::string_view text);

}  // namespace pairset::testing

#endif  // PAIRSET_TESTS_TEST_SUPPORT_H_
