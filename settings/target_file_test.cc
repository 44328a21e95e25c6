#include "settings/target_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::PrintTo;

using testing::bytes;
using testing::c13_file;
using testing::cn1_file;
using testing::name_field;
using testing::read_file;
using testing::source_in_memory;
using testing::TempDir;
using testing::write_file;

// A source that ends right after its signature.
const std::string kV10 = bytes("DNC-terminal ucpu settings file (one) v1.0\0");

struct LayoutCase {
  const char* label;
  std::string input;
  std::string output;
  std::optional<std::string> new_name;
  std::string expected;
};

class TargetLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(TargetLayoutTest, WritesSignatureNameBodyNameBody) {
  const LayoutCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.path("target.c13");

  ASSERT_EQ(write_target_file(FoundTarget(path.c_str()), source_in_memory(c.input),
                              source_in_memory(c.output), c.new_name)
                .failure,
            Failure::kNone);
  EXPECT_EQ(read_file(path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    KeptName, TargetLayoutTest,
    ::testing::Values(
        LayoutCase{
            "both_bodies", cn1_file("LATHE-16K20", "G90\r\nM30\r\n"),
            cn1_file("OTHER-NAME", bytes("\x1A\r\n\x00\xFF")), std::nullopt,
            c13_file(name_field("LATHE-16K20"), "G90\r\nM30\r\n", bytes("\x1A\r\n\x00\xFF"))},
        LayoutCase{"full_sixteen_byte_name", cn1_file("ABCDEFGHIJKLMNOP", "1"), cn1_file("X", "2"),
                   std::nullopt, c13_file("ABCDEFGHIJKLMNOP", "1", "2")},
        LayoutCase{"input_of_59_bytes", cn1_file("MILL", ""), cn1_file("X", "out"), std::nullopt,
                   c13_file(name_field("MILL"), "", "out")},
        LayoutCase{"output_of_59_bytes", cn1_file("MILL", "in"), cn1_file("X", ""), std::nullopt,
                   c13_file(name_field("MILL"), "in", "")},
        LayoutCase{"output_of_43_bytes", cn1_file("MILL", "in"), kV10, std::nullopt,
                   c13_file(name_field("MILL"), "in", "")},
        // A name cut short by the end of the file is padded, never filled from memory.
        LayoutCase{"input_ends_inside_name", kV10 + "SHORT", cn1_file("X", "out"), std::nullopt,
                   c13_file(name_field("SHORT"), "", "out")},
        LayoutCase{"input_of_43_bytes", kV10, cn1_file("X", "out"), std::nullopt,
                   c13_file(name_field(""), "", "out")}),
    testing::kRowLabel);

INSTANTIATE_TEST_SUITE_P(
    NewName, TargetLayoutTest,
    ::testing::Values(LayoutCase{"three_letters", cn1_file("OLD", "in"), cn1_file("X", "out"),
                                 "ABC",
                                 c13_file(bytes("ABC\0\0\0\0\0\0\0\0\0\0\0\0\0"), "in", "out")},
                      LayoutCase{"twenty_bytes_cut_to_sixteen", cn1_file("OLD", "in"),
                                 cn1_file("X", "out"), "ABCDEFGHIJKLMNOPQRST",
                                 c13_file("ABCDEFGHIJKLMNOP", "in", "out")},
                      LayoutCase{"empty", cn1_file("OLD", "in"), cn1_file("X", "out"), "",
                                 c13_file(std::string(16, '\0'), "in", "out")},
                      LayoutCase{"cp866_bytes_as_given", cn1_file("OLD", ""), cn1_file("X", ""),
                                 "\x91\x92\x80\x8D\x8E\x8A",
                                 c13_file(name_field("\x91\x92\x80\x8D\x8E\x8A"), "", "")},
                      LayoutCase{"input_ends_inside_name", kV10 + "SHO", cn1_file("X", "out"),
                                 "NEW", c13_file(name_field("NEW"), "", "out")}),
    testing::kRowLabel);

TEST(WriteTargetFile, ReplacesALongerExistingFile) {
  TempDir dir;
  const std::string path = dir.path("target.c13");
  write_file(path, std::string(10'000, 'x'));

  ASSERT_EQ(write_target_file(FoundTarget(path.c_str()), source_in_memory(cn1_file("A", "1")),
                              source_in_memory(cn1_file("B", "2")), std::nullopt)
                .failure,
            Failure::kNone);
  EXPECT_EQ(read_file(path), c13_file(name_field("A"), "1", "2"));
}

TEST(WriteTargetFile, TargetThatDoesNotOpenIsReportedAndNothingIsCreated) {
  TempDir dir;
  const std::string in_missing_folder = dir.path("missing/target.c13");
  const SourceFile file = source_in_memory(cn1_file("A", "1"));

  EXPECT_EQ(
      write_target_file(FoundTarget(in_missing_folder.c_str()), file, file, std::nullopt).failure,
      Failure::kCannotOpen);
  EXPECT_FALSE(std::filesystem::exists(dir.path("missing")));
  EXPECT_EQ(write_target_file(FoundTarget(dir.path("").c_str()), file, file, std::nullopt).failure,
            Failure::kCannotOpen);
}

}  // namespace
}  // namespace pairset
