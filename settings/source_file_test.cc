#include "settings/source_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::PrintTo;

using testing::bytes;
using testing::cn1_file;
using testing::TempDir;
using testing::write_file;

// Gives every byte value once, in order.
std::string all_byte_values() {
  std::string all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  return all;
}

struct LoadCase {
  const char* label;
  std::string contents;
};

class LoadSourceFileTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadSourceFileTest, ReadsTheFileByteForByte) {
  TempDir dir;
  const std::string path = dir.path("source.cn1");
  write_file(path, GetParam().contents);

  const LoadResult result = load_source_file(path.c_str());

  ASSERT_EQ(result.outcome.failure, Failure::kNone);
  EXPECT_EQ(testing::contents_of(result.file), GetParam().contents);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, LoadSourceFileTest,
    ::testing::Values(LoadCase{"empty", ""}, LoadCase{"one_byte", "x"},
                      LoadCase{"line_ends_and_eof_byte", "\r\n\n\r\x1A\r\n\x1A"},
                      LoadCase{"every_byte_value", all_byte_values()},
                      LoadCase{"settings_file",
                               cn1_file("CNC-1", bytes("G90\r\nM30\r\n\xFF\x00\x1A"))},
                      LoadCase{"larger_than_a_read_buffer", std::string(300'001, '\xFF')}),
    testing::kRowLabel);

TEST(LoadSourceFile, MissingFileDoesNotOpen) {
  TempDir dir;
  EXPECT_EQ(load_source_file(dir.path("missing.cn1").c_str()).outcome.failure,
            Failure::kCannotOpen);
}

// A folder is never taken for an empty file.
TEST(LoadSourceFile, FolderIsNeverAnEmptyFile) {
  TempDir dir;
  EXPECT_EQ(load_source_file(dir.path("").c_str()).outcome.failure, testing::kFolderSourceFailure);
}

// A settings file of up to 64 KiB is read whole at once; a larger one keeps its body in the
// file, so that memory stays the same however large it is.
TEST(LoadSourceFile, KeepsOnlyALargeFilesBodyInTheFile) {
  struct Row {
    std::size_t file_size;
    bool body_in_file;
  };
  for (const Row row : {Row{std::size_t{64} << 10, false}, Row{(std::size_t{64} << 10) + 1, true},
                        Row{std::size_t{5} << 20, true}}) {
    TempDir dir;
    const std::string path = dir.path("source.cn1");
    const std::string contents = cn1_file("SIZE", std::string(row.file_size - 59, 'b'));
    write_file(path, contents);

    const LoadResult result = load_source_file(path.c_str());

    ASSERT_EQ(result.outcome.failure, Failure::kNone) << row.file_size;
    EXPECT_EQ(result.file.file.is_open(), row.body_in_file) << row.file_size;
    EXPECT_EQ(result.file.size, row.body_in_file ? 59 : row.file_size) << row.file_size;
    EXPECT_EQ(testing::contents_of(result.file), contents) << row.file_size;
  }
}

struct SignatureCase {
  const char* label;
  std::string contents;
  bool accepted;
};

class SignatureTest : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureTest, AcceptsOnlyTheWholeV10Signature) {
  EXPECT_EQ(has_source_signature(testing::source_in_memory(GetParam().contents)),
            GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SignatureTest,
    ::testing::Values(
        SignatureCase{"signature_alone", bytes("DNC-terminal ucpu settings file (one) v1.0\0"),
                      true},
        SignatureCase{"whole_settings_file", cn1_file("CNC", "body"), true},
        SignatureCase{"empty", "", false},
        SignatureCase{"no_closing_zero", "DNC-terminal ucpu settings file (one) v1.0", false},
        SignatureCase{"line_break_for_zero", "DNC-terminal ucpu settings file (one) v1.0\n", false},
        SignatureCase{"space_for_zero", "DNC-terminal ucpu settings file (one) v1.0 ", false},
        SignatureCase{"version_1_1", bytes("DNC-terminal ucpu settings file (one) v1.1\0"), false},
        SignatureCase{"version_1_2", bytes("DNC-terminal ucpu settings file (one) v1.2\0"), false},
        SignatureCase{"target_file", bytes("DNC-terminal ucpu settings file (one) v1.3\0"), false},
        SignatureCase{"lower_case", bytes("dnc-terminal ucpu settings file (one) v1.0\0"), false}),
    testing::kRowLabel);

}  // namespace
}  // namespace pairset
