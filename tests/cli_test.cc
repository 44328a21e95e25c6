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
using testing::quoted;
using testing::read_file;
using testing::run_command;
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

#ifdef _WIN32
// Gives what `command` printed, run with a wide command line as Explorer or a Russian batch file
// would give it.
std::string run_wide(const std::wstring& command) {
  // cmd /c drops the first and the last quote of the line: give it a pair to drop.
  std::FILE* pipe = _wpopen((L"\"" + command + L"\"").c_str(), L"rb");
  std::string out;
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run the command";
    return out;
  }
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
  static_cast<void>(_pclose(pipe));
  return out;
}

// Gives `path` as the C runtime spells it in the ANSI code page for a narrow argv.
std::string ansi_spelling(const std::filesystem::path& path) {
  std::string narrow(MAX_PATH * 4, '\0');
  const int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow.data(),
                                       static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(size > 0 ? static_cast<std::size_t>(size) - 1 : 0);
  return narrow;
}

// Names in an alphabet the machine's ANSI code page lacks open all the same; messages still
// spell them as the narrow command line does.
TEST(PairsetExecutable, OpensNamesTheCodePageCannotSpell) {
  if (GetACP() == 1251)
    GTEST_SKIP() << "the ANSI code page spells Cyrillic; the case needs one that does not";
  TempDir dir;
  const std::filesystem::path folder = dir.path("");
  const std::filesystem::path input = folder / u8"Токарный-вход.cn1";
  const std::filesystem::path output = folder / u8"Токарный-выход.cn1";
  const std::filesystem::path target = folder / u8"Токарный.c13";
  const std::filesystem::path missing = folder / u8"Фрезерный-вход.cn1";
  std::filesystem::copy_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1", input);
  std::filesystem::copy_file(PAIRSET_EXAMPLES_DIR "/lathe-output.cn1", output);
  const std::wstring pairset = L"\"" PAIRSET_EXECUTABLE_W L"\" ";
  auto quote = [](const std::filesystem::path& path) { return L" \"" + path.wstring() + L"\""; };

  EXPECT_EQ(run_wide(pairset + quote(input) + quote(output) + quote(target)),
            console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  ASSERT_TRUE(std::filesystem::exists(target));
  const std::string expected = testing::c13_file(
      name_field("16K20F3-NC31"), read_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1").substr(59),
      read_file(PAIRSET_EXAMPLES_DIR "/lathe-output.cn1").substr(59));
  std::ifstream written(target, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), expected);

  const std::string narrow_missing = ansi_spelling(missing);
  EXPECT_NE(narrow_missing.find("????????"), std::string::npos) << narrow_missing;
  EXPECT_EQ(
      run_wide(pairset + quote(missing) + quote(output) + quote(target)),
      console(std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) + narrow_missing + "'\n"));
}
#else
// How a run is limited: by a file-size limit that stands for a full disk, or by running as a
// user who may write only what the test allows (root, as CI runs, may write anything).
enum class Limit { kFileSize, kUnprivileged };

struct LimitedCase {
  const char* label;
  Limit limit;
  const char* target;  // a file in the test's folder; "target.c13" holds earlier contents
  mode_t target_mode;
  mode_t folder_mode;
  std::u8string message;  // followed by the target's path and "'\n" unless it is the success
  bool converted;         // else the target holds what it held before
};

// Names the case in test output.
void PrintTo(const LimitedCase& c, std::ostream* os) {
  *os << c.label;
}

class LimitedRunTest : public ::testing::TestWithParam<LimitedCase> {};

// The target is replaced whole or not at all: a failure leaves it, the sources and the folder
// exactly as they were.
TEST_P(LimitedRunTest, LeavesTheTargetWholeOrReplacesIt) {
  const LimitedCase& c = GetParam();
  std::string prefix = "ulimit -f 64; exec ";
  if (c.limit == Limit::kUnprivileged) {
    prefix = "exec ";
    if (geteuid() == 0) {
      if (!std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv to drop root";
      prefix += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
  }
  TempDir dir;
  TempDir scratch;
  // Twice 60 KB of sources: a target of 120 KB, over the 32 or 64 KiB that the limit allows.
  const std::string input = testing::cn1_file("IN", std::string(60'000, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(60'000, 'o'));
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("target.c13"), "previous");
  const std::string target = dir.path(c.target);
  const std::string previous = read_file(target);
  ASSERT_EQ(chmod(target.c_str(), c.target_mode), 0);
  ASSERT_EQ(chmod(dir.path("").c_str(), c.folder_mode), 0);
  const std::vector<std::string> names = testing::file_names(dir);

  const Outcome outcome = run_command(
      prefix + testing::pairset_command(quoted({dir.path("in.cn1"), dir.path("out.cn1"), target})),
      scratch);
  ASSERT_EQ(chmod(dir.path("").c_str(), 0700), 0);

  const std::string message = testing::to_cp866(c.message);
  EXPECT_EQ(outcome.out, c.converted ? message : message + target + "'\n");
  EXPECT_EQ(read_file(target),
            c.converted ? testing::c13_file(name_field("IN"), input.substr(59), output.substr(59))
                        : previous);
  EXPECT_EQ(testing::file_names(dir), names);
  if (c.target != std::string("in.cn1")) {
    EXPECT_EQ(read_file(dir.path("in.cn1")), input);
  }
  EXPECT_EQ(read_file(dir.path("out.cn1")), output);
}

INSTANTIATE_TEST_SUITE_P(
    Posix, LimitedRunTest,
    ::testing::Values(LimitedCase{"full_disk_under_a_source", Limit::kFileSize, "in.cn1", 0644,
                                  0755, u8"\nОшибка записи файла '", false},
                      LimitedCase{"full_disk_under_an_existing_target", Limit::kFileSize,
                                  "target.c13", 0644, 0755, u8"\nОшибка записи файла '", false},
                      // A rename would replace it; it is not writable, so it is not written.
                      LimitedCase{"read_only_target_in_a_writable_folder", Limit::kUnprivileged,
                                  "target.c13", 0444, 0777, u8"\nНе могу открыть файл '", false},
                      // No new file may be made beside it, but it may be written: it is, in place.
                      LimitedCase{"writable_target_in_a_read_only_folder", Limit::kUnprivileged,
                                  "target.c13", 0666, 0555, u8"\nPAIRSET завешилась успешно.\n\n",
                                  true}),
    [](const auto& info) { return info.param.label; });
#endif

}  // namespace
}  // namespace pairset
