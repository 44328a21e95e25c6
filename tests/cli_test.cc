// Runs the built pairset executable as a user's shell or script does.
#include <gtest/gtest.h>

#include <string>

#include "app/cp866.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::console;
using testing::name_field;
using testing::Outcome;
using testing::quoted;
using testing::read_file;
using testing::run_executable;
using testing::TempDir;

TEST(PairsetExecutable, ConvertsTheExamplePair) {
  TempDir dir;
  const std::string input = PAIRSET_EXAMPLES_DIR "/lathe-input.cn1";
  const std::string output = PAIRSET_EXAMPLES_DIR "/lathe-output.cn1";
  const std::string target = dir.path("lathe.c13");

  const Outcome outcome = run_executable(quoted({input, output, target}), dir);

  EXPECT_EQ(outcome.out, console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(read_file(target),
            testing::c13_file(name_field("16K20F3-NC31"), read_file(input).substr(59),
                              read_file(output).substr(59)));
}

TEST(PairsetExecutable, FailureStillExitsWithZero) {
  TempDir dir;
  const Outcome outcome = run_executable(quoted({dir.path("missing.cn1"), "a", "b"}), dir);

  EXPECT_EQ(outcome.out, console(std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) +
                                 dir.path("missing.cn1") + "'\n"));
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 0);
}

// On Windows stdout is a text stream: each line feed reaches the console as CR LF.
TEST(PairsetExecutable, UsageLinesEndAsTheConsoleExpects) {
  TempDir dir;

  const Outcome outcome = run_executable("", dir);

  EXPECT_EQ(outcome.out, console(testing::usage_text()));
#ifdef _WIN32
  EXPECT_NE(outcome.out.find("\r\n"), std::string::npos);
#else
  EXPECT_EQ(outcome.out.find('\r'), std::string::npos);
#endif
}

}  // namespace
}  // namespace pairset
