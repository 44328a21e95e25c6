// Runs the built pairset executable as a user's shell or script does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/cp866.h"
#include "system/undo_copy.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::PrintTo;

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
  EXPECT_EQ(read_file(target), testing::example_result());
}

TEST(PairsetExecutable, FailureStillExitsWithZero) {
  TempDir dir;
  const Outcome outcome = run_executable(quoted({dir.path("missing.cn1"), "a", "b"}), dir);

  EXPECT_EQ(outcome.out, console(std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) +
                                 dir.path("missing.cn1") + "'\n"));
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 0);
}

// A source over 64 KiB as its own target: its body is read as it was, whichever source it is and
// whether the system replaces it (POSIX) or writes it in place from the undo copy (Windows, where
// a file open for reading cannot be replaced, so that the run goes in place at once rather than
// after the 2 s that a refused rename is retried for), and nothing is left beside it.
TEST(PairsetExecutable, LargeSourceAsItsOwnTargetGivesTheResult) {
  for (const char* target : {"in.cn1", "out.cn1"}) {
    TempDir dir;
    const std::string input = testing::cn1_file("IN", std::string(200'000, 'i'));
    const std::string output = testing::cn1_file("OUT", std::string(300'000, 'o'));
    testing::write_file(dir.path("in.cn1"), input);
    testing::write_file(dir.path("out.cn1"), output);

    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome =
        run_executable(quoted({dir.path("in.cn1"), dir.path("out.cn1"), dir.path(target)}), dir);
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(outcome.out, console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
        << target;
    EXPECT_LT(took, std::chrono::seconds(2)) << target;
    EXPECT_TRUE(read_file(dir.path(target)) ==
                testing::c13_file(name_field("IN"), input.substr(59), output.substr(59)))
        << target;
    EXPECT_EQ(testing::file_names(dir),
              (std::vector<std::string>{"in.cn1", "out.cn1", "stderr.txt"}))
        << target;
  }
}

// Two sources of 1 GiB each convert, even by the 32-bit program, whose address space could not
// keep them both: each body goes from its file to the target.
TEST(PairsetExecutable, GibibyteSourcesConvert) {
  TempDir dir;
  const std::uint64_t size = std::uint64_t{1} << 30;
  for (const char* name : {"in.cn1", "out.cn1"}) {
    // Sparse: a header, a hole and a tail.
    testing::write_file(dir.path(name), testing::cn1_file(name, "head"));
    std::filesystem::resize_file(dir.path(name), size - 4);
    std::ofstream(dir.path(name), std::ios::binary | std::ios::app) << "tail";
  }

  const Outcome outcome = run_executable(
      quoted({dir.path("in.cn1"), dir.path("out.cn1"), dir.path("target.c13")}), dir);

  EXPECT_EQ(outcome.out, console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  const std::uint64_t target_size = 75 + 2 * (size - 59);
  ASSERT_EQ(std::filesystem::file_size(dir.path("target.c13")), target_size);
  std::ifstream target(dir.path("target.c13"), std::ios::binary);
  std::string head(63, '\0');
  target.read(head.data(), 63);
  EXPECT_EQ(head.substr(59), "head");
  std::string middle(24, '\0');
  target.seekg(static_cast<std::streamoff>(59 + (size - 59) - 4));
  target.read(middle.data(), 24);
  EXPECT_EQ(middle, "tail" + name_field("in.cn1") + "head");
  std::string end(4, '\0');
  target.seekg(static_cast<std::streamoff>(target_size - 4));
  target.read(end.data(), 4);
  EXPECT_EQ(end, "tail");
  target.close();
  std::filesystem::remove(dir.path("target.c13"));
}

// On Windows stdout is a text stream: each line feed reaches the console as CR LF.
TEST(PairsetExecutable, UsageLinesEndAsTheConsoleExpects) {
  TempDir dir;

  const Outcome outcome = run_executable("", dir);

  EXPECT_EQ(outcome.out, console(testing::usage_text()));
  EXPECT_EQ(outcome.status, 0);
}

}  // namespace
}  // namespace pairset
