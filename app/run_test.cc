#include "app/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::PrintTo;

using testing::bytes;
using testing::c13_file;
using testing::cn1_file;
using testing::file_names;
using testing::name_field;
using testing::read_file;
using testing::run_in_process;
using testing::TempDir;
using testing::to_cp866;
using testing::usage_text;
using testing::write_file;

const std::string kInput = cn1_file("LATHE-16K20", bytes("%1\r\nG90 G54\r\n\x1A\x00\xFF"));
const std::string kOutput = cn1_file("LATHE-OUT", "%2\r\nM30\r\n");
const std::string kPreviousTarget = "previous target contents";
const std::string kConvertedTarget =
    c13_file(name_field("LATHE-16K20"), kInput.substr(59), kOutput.substr(59));
const std::string kRenamedTarget =
    c13_file(name_field("NEW"), kInput.substr(59), kOutput.substr(59));

// Gives `text` with each {name} replaced by the path of `name` in `dir` and {usage} by the
// usage text.
std::string expand(const std::string& text, const TempDir& dir) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t end = text[i] == '{' ? text.find('}', i) : std::string::npos;
    if (end == std::string::npos) {
      out += text[i];
      continue;
    }
    const std::string name = text.substr(i + 1, end - i - 1);
    out += name == "usage" ? usage_text() : dir.path(name);
    i = end;
  }
  return out;
}

enum class Target { kUntouched, kConverted, kRenamed };

struct RunCase {
  const char* label;
  std::vector<std::string> args;  // {name} stands for a file in the test's folder
  std::u8string expected_output;  // {name} as in args, {usage} for the usage text
  Target target;
};

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, PrintsExactlyItsMessagesAndTouchesTheTargetOnlyOnSuccess) {
  const RunCase& c = GetParam();
  TempDir dir;
  write_file(dir.path("in.cn1"), kInput);
  write_file(dir.path("out.cn1"), kOutput);
  write_file(dir.path("bad.cn1"), "not a settings file\r\n");
  write_file(dir.path("target.c13"), kPreviousTarget);
  std::vector<std::string> args;
  for (const std::string& arg : c.args) args.push_back(expand(arg, dir));

  EXPECT_EQ(run_in_process(args), expand(to_cp866(c.expected_output), dir));

  switch (c.target) {
    case Target::kUntouched:
      EXPECT_EQ(read_file(dir.path("target.c13")), kPreviousTarget);
      break;
    case Target::kConverted:
      EXPECT_EQ(read_file(dir.path("target.c13")), kConvertedTarget);
      break;
    case Target::kRenamed:
      EXPECT_EQ(read_file(dir.path("target.c13")), kRenamedTarget);
      break;
  }
  // Sources are only ever read, and the target's new file never outlives the run.
  EXPECT_EQ(read_file(dir.path("in.cn1")), kInput);
  EXPECT_EQ(read_file(dir.path("out.cn1")), kOutput);
  EXPECT_EQ(file_names(dir),
            (std::vector<std::string>{"bad.cn1", "in.cn1", "out.cn1", "target.c13"}));
}

const char8_t kSuccess[] = u8"\nPAIRSET завешилась успешно.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Forms, RunTest,
    ::testing::Values(
        RunCase{"three_arguments",
                {"{in.cn1}", "{out.cn1}", "{target.c13}"},
                kSuccess,
                Target::kConverted},
        RunCase{"new_name",
                {"{in.cn1}", "{out.cn1}", "{target.c13}", "/N", "NEW"},
                kSuccess,
                Target::kRenamed},
        RunCase{"no_arguments", {}, u8"{usage}", Target::kUntouched},
        RunCase{"one_good_file", {"{in.cn1}"}, u8"{usage}", Target::kUntouched},
        // The form is judged after the input source: the second file is never opened.
        RunCase{"two_arguments", {"{in.cn1}", "{missing.cn1}"}, u8"{usage}", Target::kUntouched},
        RunCase{"four_arguments",
                {"{in.cn1}", "{out.cn1}", "{target.c13}", "/N"},
                u8"{usage}",
                Target::kUntouched},
        RunCase{"lower_case_switch",
                {"{in.cn1}", "{out.cn1}", "{target.c13}", "/n", "NEW"},
                u8"{usage}",
                Target::kUntouched},
        RunCase{"other_switch",
                {"{in.cn1}", "{out.cn1}", "{target.c13}", "-N", "NEW"},
                u8"{usage}",
                Target::kUntouched},
        RunCase{"six_arguments",
                {"{in.cn1}", "{out.cn1}", "{target.c13}", "/N", "NEW", "X"},
                u8"{usage}",
                Target::kUntouched}),
    testing::kRowLabel);

INSTANTIATE_TEST_SUITE_P(
    Failures, RunTest,
    ::testing::Values(
        RunCase{"input_missing_with_two_arguments",
                {"{missing.cn1}", "{out.cn1}"},
                u8"\nНе могу открыть файл '{missing.cn1}'\n",
                Target::kUntouched},
        RunCase{"input_missing",
                {"{missing.cn1}", "{out.cn1}", "{target.c13}"},
                u8"\nНе могу открыть файл '{missing.cn1}'\n",
                Target::kUntouched},
        RunCase{"input_not_cn1",
                {"{bad.cn1}", "{out.cn1}", "{target.c13}"},
                u8"\nФайл '{bad.cn1}' не является файлом формата .cn1.\n\n{usage}",
                Target::kUntouched},
        RunCase{"input_not_cn1_with_two_arguments",
                {"{bad.cn1}", "{out.cn1}"},
                u8"\nФайл '{bad.cn1}' не является файлом формата .cn1.\n\n{usage}",
                Target::kUntouched},
        RunCase{"output_missing",
                {"{in.cn1}", "{missing.cn1}", "{target.c13}"},
                u8"\nНе могу открыть файл '{missing.cn1}'\n",
                Target::kUntouched},
        RunCase{"output_not_cn1",
                {"{in.cn1}", "{bad.cn1}", "{target.c13}", "/N", "NEW"},
                u8"\nФайл '{in.cn1}' формата .cn1. Но файл '{bad.cn1}' не является файлом "
                u8"формата .cn1.\n\n{usage}",
                Target::kUntouched},
        // An empty name opens nothing; it is no write error.
        RunCase{"empty_target_name",
                {"{in.cn1}", "{out.cn1}", ""},
                u8"\nНе могу открыть файл ''\n",
                Target::kUntouched},
        RunCase{"target_in_missing_folder",
                {"{in.cn1}", "{out.cn1}", "{missing/target.c13}"},
                u8"\nНе могу открыть файл '{missing/target.c13}'\n",
                Target::kUntouched},
        RunCase{"format_directives_in_path",
                {"{%s%n%x.cn1}", "{out.cn1}", "{target.c13}"},
                u8"\nНе могу открыть файл '{%s%n%x.cn1}'\n",
                Target::kUntouched}),
    testing::kRowLabel);

INSTANTIATE_TEST_SUITE_P(Folders, RunTest,
                         ::testing::Values(RunCase{"input_is_a_folder",
                                                   {"{}", "{out.cn1}", "{target.c13}"},
                                                   testing::kFolderSourceMessage,
                                                   Target::kUntouched},
                                           RunCase{"output_is_a_folder",
                                                   {"{in.cn1}", "{}", "{target.c13}"},
                                                   testing::kFolderSourceMessage,
                                                   Target::kUntouched}),
                         testing::kRowLabel);

// Either source may be the target: its body is read as it was before the target changed.
TEST(RunPairset, TargetMayBeEitherSource) {
  for (const char* overwritten : {"in.cn1", "out.cn1"}) {
    TempDir dir;
    write_file(dir.path("in.cn1"), kInput);
    write_file(dir.path("out.cn1"), kOutput);

    EXPECT_EQ(run_in_process({dir.path("in.cn1"), dir.path("out.cn1"), dir.path(overwritten)}),
              to_cp866(kSuccess));
    EXPECT_EQ(read_file(dir.path(overwritten)), kConvertedTarget);
    EXPECT_EQ(file_names(dir), (std::vector<std::string>{"in.cn1", "out.cn1"}));
  }
}

}  // namespace
}  // namespace pairset
