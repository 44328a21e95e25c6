// Runs the built pairset executable as a user's shell or script does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/cp866.h"
#include "tests/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pairset {
namespace {

using testing::console;
using testing::name_field;
using testing::Outcome;
using testing::pairset_command;
using testing::quoted;
using testing::read_file;
using testing::run_command;
using testing::run_executable;
using testing::TempDir;

// Gives the conversion of the example pair.
std::string example_target() {
  return testing::c13_file(name_field("16K20F3-NC31"),
                           read_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1").substr(59),
                           read_file(PAIRSET_EXAMPLES_DIR "/lathe-output.cn1").substr(59));
}

TEST(PairsetExecutable, ConvertsTheExamplePair) {
  TempDir dir;
  const std::string input = PAIRSET_EXAMPLES_DIR "/lathe-input.cn1";
  const std::string output = PAIRSET_EXAMPLES_DIR "/lathe-output.cn1";
  const std::string target = dir.path("lathe.c13");

  const Outcome outcome = run_executable(quoted({input, output, target}), dir);

  EXPECT_EQ(outcome.out, console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(read_file(target), example_target());
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

#ifdef _WIN32
// Names in an alphabet the machine's ANSI code page lacks open all the same; messages still
// spell them as the narrow command line does, with question marks.
TEST(PairsetExecutable, OpensNamesTheCodePageCannotSpell) {
  if (GetACP() == 1251)
    GTEST_SKIP() << "the ANSI code page spells Cyrillic; the case needs one that does not";
  TempDir dir;
  // UTF-8 paths: run_command hands the command line to Windows in wide characters.
  const auto in_dir = [&dir](std::u8string_view name) {
    return dir.path("") + std::string(name.begin(), name.end());
  };
  const auto native = [](const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  };
  const std::string input = in_dir(u8"Токарный-вход.cn1");
  const std::string output = in_dir(u8"Токарный-выход.cn1");
  const std::string target = in_dir(u8"Токарный.c13");
  std::filesystem::copy_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1", native(input));
  std::filesystem::copy_file(PAIRSET_EXAMPLES_DIR "/lathe-output.cn1", native(output));

  EXPECT_EQ(run_executable(quoted({input, output, target}), dir).out,
            console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  std::ifstream written(native(target), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), example_target());

  EXPECT_EQ(run_executable(quoted({in_dir(u8"Фрезерный-вход.cn1"), output, target}), dir).out,
            console(std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) + dir.path("") +
                    std::string(9, '?') + '-' + std::string(4, '?') + ".cn1'\n"));
}
#else
// How a run is limited: by a file-size limit that stands for a full disk, by running as a user
// who may write only what the test allows (root, as CI runs, may write anything), and by a
// signal that strace sends at a chosen system call of the writing.
struct LimitedCase {
  const char* label;
  bool file_size_limit;
  bool unprivileged;
  const char* injected_signal;  // strace's -e inject=..., or null
  const char* target;           // a file in the test's folder; "target.c13" holds earlier contents
  mode_t target_mode;
  mode_t folder_mode;
  std::u8string message;  // followed by the target's path and "'\n" unless it is the success;
                          // empty where the signal ends the run
  bool converted;         // else the target holds what it held before
};

// Names the case in test output.
void PrintTo(const LimitedCase& c, std::ostream* os) {
  *os << c.label;
}

class LimitedRunTest : public ::testing::TestWithParam<LimitedCase> {};

// Gives true when `program` is one of the system's.
bool installed(const char* program) {
  return std::filesystem::exists(std::string("/usr/bin/") + program);
}

// Until the whole result is on the disk the target keeps what it held, and it stays the same
// file; a source is never lost; no new file is left behind.
TEST_P(LimitedRunTest, LeavesTheTargetWholeOrReplacesIt) {
  const LimitedCase& c = GetParam();
  TempDir dir;
  TempDir scratch;
  std::string executable = testing::executable_under_test();
  std::string prefix = c.file_size_limit ? "ulimit -f 64; exec " : "exec ";
  if (c.unprivileged && geteuid() == 0) {
    if (!installed("setpriv")) GTEST_SKIP() << "no setpriv to drop root";
    prefix += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    // The build may lie where nobody else may look; a copy in an open folder runs for anyone.
    executable = scratch.path("pairset");
    std::filesystem::copy_file(testing::executable_under_test(), executable);
    ASSERT_EQ(chmod(executable.c_str(), 0755), 0);
    ASSERT_EQ(chmod(scratch.path("").c_str(), 0755), 0);
  }
  if (c.injected_signal != nullptr) {
    if (!installed("strace")) GTEST_SKIP() << "no strace to send the signal";
    prefix += std::string("strace -o /dev/null -e inject=") + c.injected_signal + " ";
  }
  // Twice 60 KB of sources: a target of 120 KB, over the 64 KiB that the limit allows.
  const std::string input = testing::cn1_file("IN", std::string(60'000, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(60'000, 'o'));
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("target.c13"), "previous");
  for (const char* source : {"in.cn1", "out.cn1"}) {
    ASSERT_EQ(chmod(dir.path(source).c_str(), 0644), 0);
  }
  const std::string target = dir.path(c.target);
  const std::string previous = read_file(target);
  ASSERT_EQ(chmod(target.c_str(), c.target_mode), 0);
  ASSERT_EQ(chmod(dir.path("").c_str(), c.folder_mode), 0);
  const std::vector<std::string> names = testing::file_names(dir);
  struct stat before {};
  ASSERT_EQ(stat(target.c_str(), &before), 0);

  const Outcome outcome = run_command(
      prefix + quoted({executable, dir.path("in.cn1"), dir.path("out.cn1"), target}), scratch);
  ASSERT_EQ(chmod(dir.path("").c_str(), 0700), 0);

  const std::string message = testing::to_cp866(c.message);
  EXPECT_EQ(outcome.out, c.converted || message.empty() ? message : message + target + "'\n");
  EXPECT_EQ(read_file(target),
            c.converted ? testing::c13_file(name_field("IN"), input.substr(59), output.substr(59))
                        : previous);
  EXPECT_EQ(testing::file_names(dir), names);
  struct stat after {};
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_mode, before.st_mode);
  if (c.target != std::string("in.cn1")) {
    EXPECT_EQ(read_file(dir.path("in.cn1")), input);
  }
  EXPECT_EQ(read_file(dir.path("out.cn1")), output);
}

constexpr const char8_t* kWriteFailure = u8"\nОшибка записи файла '";
constexpr const char8_t* kOpenFailure = u8"\nНе могу открыть файл '";
constexpr const char8_t* kSuccess = u8"\nPAIRSET завешилась успешно.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Posix, LimitedRunTest,
    ::testing::Values(
        LimitedCase{"full_disk_under_a_source", true, false, nullptr, "in.cn1", 0644, 0755,
                    kWriteFailure, false},
        LimitedCase{"full_disk_under_an_existing_target", true, false, nullptr, "target.c13", 0644,
                    0755, kWriteFailure, false},
        // A rename would replace it; it is not writable, so it is not written.
        LimitedCase{"read_only_target_in_a_writable_folder", false, true, nullptr, "target.c13",
                    0444, 0777, kOpenFailure, false},
        // No new file may be made beside it, but it may be written: it is, in place.
        LimitedCase{"writable_target_in_a_read_only_folder", false, true, nullptr, "target.c13",
                    0666, 0555, kSuccess, true},
        // In place, the room for the result is reserved before a byte changes.
        LimitedCase{"full_disk_in_place_under_a_source", true, true, nullptr, "in.cn1", 0666, 0555,
                    kWriteFailure, false},
        // Its old contents cannot be read to be put back: only the reservation keeps it whole.
        LimitedCase{"full_disk_in_place_under_a_write_only_target", true, true, nullptr,
                    "target.c13", 0222, 0555, kWriteFailure, false},
        // Neither may the new file take root's ownership, nor may it be renamed over root's file.
        LimitedCase{"another_users_target_in_a_sticky_folder", false, true, nullptr, "target.c13",
                    0666, 01777, kSuccess, true},
        // Held from the first changed byte: the signal ends the run once the file is whole.
        LimitedCase{"signal_while_written_in_place", false, true, "pwrite64:signal=INT:when=2",
                    "target.c13", 0666, 0555, u8"", true},
        LimitedCase{"signal_while_the_new_file_is_written", false, false,
                    "write:signal=TERM:when=1", "target.c13", 0644, 0755, u8"", false}),
    [](const auto& info) { return info.param.label; });

// The process's own standard output named as the target: the result reaches it, then the
// message, and the file behind it is never replaced.
TEST(PairsetExecutable, WritesToItsOwnStandardOutputInOrder) {
  TempDir dir;
  const std::string input = PAIRSET_EXAMPLES_DIR "/lathe-input.cn1";
  const std::string output = PAIRSET_EXAMPLES_DIR "/lathe-output.cn1";
  const std::string log = dir.path("log");
  for (const char* stream : {"/dev/stdout", "/proc/self/fd/1", "/dev/fd/1"}) {
    const Outcome outcome =
        run_command(pairset_command(quoted({input, output, stream})) + " >\"" + log + "\"", dir);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(read_file(log),
              example_target() + std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
        << stream;
  }
}
#endif

}  // namespace
}  // namespace pairset
