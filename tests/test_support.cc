#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "app/cp866.h"
#include "app/run.h"
#include "system/fingerprint.h"
#include "system/identity.h"
#include "system/undo_copy.h"

namespace pairset::testing {

TempDir::TempDir() {
  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    root_ = base / ("pairset-test-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(root_, error)) return;
  }
  ADD_FAILURE() << "cannot create a temporary folder under " << base;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::path(std::string_view name) const {
  return (root_ / name).string();
}

void write_file(const std::string& path, std::string_view contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  file.close();
  ASSERT_FALSE(file.fail()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file.is_open()) << "cannot open " << path;
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_sparse_file(const std::string& path, const std::string& head, const std::string& tail,
                       std::uint64_t size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(head.data(), static_cast<std::streamsize>(head.size()));
  file.seekp(static_cast<std::streamoff>(size - tail.size()));
  file.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  file.close();
  ASSERT_FALSE(file.fail()) << "cannot write " << path;
}

bool reads_zeros(std::ifstream& file, std::uint64_t count) {
  std::string chunk(std::size_t{1} << 20, '\0');
  while (count > 0) {
    const auto wanted = static_cast<std::streamsize>(std::min<std::uint64_t>(count, chunk.size()));
    if (!file.read(chunk.data(), wanted)) return false;
    if (chunk.find_first_not_of('\0', 0) < static_cast<std::size_t>(wanted)) return false;
    count -= static_cast<std::uint64_t>(wanted);
  }
  return true;
}

std::vector<std::string> file_names(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path(""))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Failure write_text(const std::string& path, const std::string& text) {
  const OutputPiece pieces[] = {OutputPiece{text}};
  return FoundTarget(path.c_str()).write(pieces).failure;
}

std::string example_result() {
  return c13_file(name_field("16K20F3-NC31"),
                  read_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1").substr(59),
                  read_file(PAIRSET_EXAMPLES_DIR "/lathe-output.cn1").substr(59));
}

std::vector<std::filesystem::path> undo_copies_in(const std::vector<std::string>& folders) {
  std::vector<std::filesystem::path> copies;
  for (const std::string& folder : folders) {
    if (!std::filesystem::exists(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().string().ends_with(".pairset-undo")) copies.push_back(entry.path());
    }
  }
  return copies;
}

std::optional<std::string> old_contents_in(std::string_view copy) {
  const std::optional<ParsedUndoHeader> parsed = parse_undo_header(copy);
  if (!parsed || copy.size() - parsed->length < parsed->header.size) return std::nullopt;
  return std::string(copy.substr(parsed->length, static_cast<std::size_t>(parsed->header.size)));
}

std::string undo_copy_file(const platform::FileOrigin& origin, std::string_view name,
                           std::string_view old, std::string_view result) {
  SectorFingerprints prints;
  prints.add(result);
  return encode_undo_header({origin, old.size(), result.size(), std::string(name)}) +
         std::string(old) + encode_fingerprints(prints.finish()) + std::string(kUndoTrailer);
}

std::string name_field(std::string_view name) {
  std::string field(name.substr(0, 16));
  field.resize(16, '\0');
  return field;
}

std::string cn1_file(std::string_view name, std::string_view body) {
  std::string file = bytes("DNC-terminal ucpu settings file (one) v1.0\0");
  file += name_field(name);
  file += body;
  return file;
}

std::string c13_file(std::string_view name_field, std::string_view input_body,
                     std::string_view output_body) {
  std::string file = bytes("DNC-terminal ucpu settings file (one) v1.3\0");
  file += name_field;
  file += input_body;
  file += name_field;
  file += output_body;
  return file;
}

SourceFile source_in_memory(std::string_view contents) {
  SourceFile file;
  file.data = platform::Buffer(platform::allocate_buffer(contents.size()));
  file.size = contents.size();
  std::copy(contents.begin(), contents.end(), file.data.get());
  return file;
}

std::string contents_of(const SourceFile& source) {
  const std::span<const char> start = source.start();
  const OutputPiece body = source.body();
  std::string contents(start.begin(), start.end());
  if (!body.in_file()) return contents.append(body.bytes.begin(), body.bytes.end());
  std::string read(static_cast<std::size_t>(body.size), '\0');
  EXPECT_TRUE(platform::read_at(body.file, body.offset, {read.data(), read.size()}))
      << "cannot read the body left in the file";
  return contents + read;
}

std::string to_cp866(std::u8string_view text) {
  const auto size = cp866::encode(text);
  EXPECT_TRUE(size.has_value()) << "not convertible to CP866";
  std::string out(size.value_or(0), '\0');
  cp866::encode(text, out.data());
  return out;
}

std::string usage_text() {
  const std::string utf8 = read_file(PAIRSET_GOLDEN_DIR "/usage.txt");
  return to_cp866({reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()});
}

std::string run_in_process(const std::vector<std::string>& args) {
  std::vector<const char*> pointers;
  pointers.reserve(args.size());
  for (const std::string& arg : args) pointers.push_back(arg.c_str());
  std::ostringstream out;
  StreamPrinter printer(out, StreamPrinter::Form::kCp866);
  run_pairset(pointers, printer);
  return out.str();
}

std::string quoted(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (!line.empty()) line += ' ';
    line += '"';
    line += argument;
    line += '"';
  }
  return line;
}

std::string executable_under_test() {
  const char* const other = std::getenv("PAIRSET_UNDER_TEST");
  if (other == nullptr || *other == '\0') return PAIRSET_EXECUTABLE;
  return host_path(other);
}

std::string pairset_command(const std::string& arguments) {
  std::string command = "\"";
  command.append(executable_under_test()).append("\" ").append(arguments);
  return command;
}

Outcome run_command(const std::string& command, const TempDir& dir) {
  const std::string err_path = dir.path("stderr.txt");
  const std::string redirected = command + " 2>\"" + err_path + "\"";
  std::FILE* pipe = start_command(redirected);
  Outcome outcome;
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << redirected;
    return outcome;
  }
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) outcome.out.append(chunk, got);
  outcome.status = end_command(pipe);
  outcome.err = read_file(err_path);
  return outcome;
}

Outcome run_executable(const std::string& arguments, const TempDir& dir) {
  return run_command(pairset_command(arguments), dir);
}

}  // namespace pairset::testing
