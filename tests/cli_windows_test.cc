// Runs the built pairset.exe as a Windows user's shell, script or Explorer does.
#include <windows.h>

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
using testing::pairset_command;
using testing::quoted;
using testing::read_file;
using testing::run_command;
using testing::run_executable;
using testing::TempDir;

// Names in an alphabet the machine's ANSI code page lacks open all the same, each by its own
// argument: on a Western Windows "Иван.cn1", "Пётр.cn1" and "Олег.cn1" are all "????.cn1" in
// the narrow command line, yet each half comes from its own file and the target is a new file.
// Messages spell the names as the narrow command line does, with question marks.
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
  const auto read_native = [&native](const std::string& utf8) {
    std::ifstream file(native(utf8), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const std::string input = in_dir(u8"Иван.cn1");
  const std::string output = in_dir(u8"Пётр.cn1");
  const std::string target = in_dir(u8"Олег.cn1");
  std::filesystem::copy_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1", native(input));
  std::filesystem::copy_file(PAIRSET_EXAMPLES_DIR "/lathe-output.cn1", native(output));

  EXPECT_EQ(run_executable(quoted({input, output, target}), dir).out,
            console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(read_native(target), testing::example_result());
  EXPECT_EQ(read_native(input), read_file(PAIRSET_EXAMPLES_DIR "/lathe-input.cn1"));

  EXPECT_EQ(run_executable(quoted({in_dir(u8"Фрезерный-вход.cn1"), output, target}), dir).out,
            console(std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) + dir.path("") +
                    std::string(9, '?') + '-' + std::string(4, '?') + ".cn1'\n"));
}

// A target that Windows takes for a device is no file a person means: NUL.c13 would be thrown
// away and COM1: sent to a serial port, each reported converted. It is refused, with nothing
// written, by its name or, in a spelling no name check knows, by what it opens; NUL alone stays
// the discard that a script checks a pair with.
TEST(PairsetExecutable, RefusesTargetsThatNameDevices) {
  TempDir dir;
  const std::string input = PAIRSET_EXAMPLES_DIR "/lathe-input.cn1";
  const std::string output = PAIRSET_EXAMPLES_DIR "/lathe-output.cn1";
  // The message spells a name as the narrow command line does, in the ANSI code page.
  const auto as_typed = [](const std::string& utf8) {
    const std::wstring wide = std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
    std::string narrow(wide.size() * 2, '\0');
    narrow.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                            static_cast<int>(narrow.size()), nullptr, nullptr)));
    return narrow;
  };
  for (const std::string& target :
       {dir.path("NUL.c13"), dir.path("com1.c13"), std::string("\\\\.\\COM1"), std::string("AUX"),
        std::string("COM1:"), std::string("NUL:"), dir.path("nul.c13:"), dir.path("COM1.txt.c13:"),
        dir.path("") + reinterpret_cast<const char*>(u8"COM¹"),
        dir.path("") + reinterpret_cast<const char*>(u8"lpt³.c13"),
        std::string("\\\\?\\GLOBALROOT\\Device\\Null")}) {
    EXPECT_EQ(run_executable(quoted({input, output, target}), dir).out,
              console(std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) + as_typed(target) +
                      "'\n"))
        << target;
  }
  EXPECT_EQ(run_executable(quoted({input, output, "NUL"}), dir).out,
            console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(testing::file_names(dir), std::vector<std::string>{"stderr.txt"});
}

// convert-units.bat asks the program whether Explorer started the batch file's cmd, and waits for
// a key at its end only then: a scheduled task or a DNC front end starts it the same way, by its
// quoted path, and nobody would press one. The answer is the status; nothing is printed.
TEST(PairsetExecutable, TellsTheBatchFileWhetherExplorerStartedIt) {
  TempDir dir;
  std::filesystem::copy_file(PAIRSET_LAUNCHER, dir.path("explorer.exe"));
  std::filesystem::copy_file(PAIRSET_LAUNCHER, dir.path("front-end.exe"));
  const std::string asked = quoted({testing::executable_under_test(), "/STARTED-BY-EXPLORER"});
  const std::string explorer = quoted({dir.path("explorer.exe")});
  const std::string front_end = quoted({dir.path("front-end.exe")});
  // cmd /c drops the first and the last quote of the line: give it a pair to drop.
  const std::string in_cmd = std::string("cmd /c \"").append(asked).append("\"");
  struct Row {
    const char* label;
    std::vector<std::string> line;
    DWORD status;
  };
  for (const Row& row : {
           Row{"cmd started by Explorer", {explorer, in_cmd}, 0},
           Row{"cmd started by a front end", {front_end, in_cmd}, 1},
           Row{"the program itself started by Explorer", {explorer, asked}, 1},
           Row{"started by a script", {asked}, 1},
       }) {
    std::wstring wide;
    for (const std::string& part : row.line) {
      wide.append(part.begin(), part.end()).append(L" ");
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_NE(CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &process),
              0)
        << row.label;
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0) << row.label;
    DWORD status = 2;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(status, row.status) << row.label;
  }
}

// How a caller starts the program: flags of CreateProcess, and whether it asks for no window.
struct LaunchCase {
  const char* label;
  DWORD creation_flags;
  bool hidden;  // STARTF_USESHOWWINDOW with SW_HIDE, as WshShell.Run ..., 0 does
};

class LaunchTest : public ::testing::TestWithParam<LaunchCase> {};

// Started by a program that shows no window (.NET CreateNoWindow, Python CREATE_NO_WINDOW,
// WshShell.Run hidden, a service), nobody can press a key: the run ends at once.
TEST_P(LaunchTest, EndsAtOnceWhereNobodyCanPressAKey) {
  const LaunchCase& c = GetParam();
  TempDir dir;
  std::string line = pairset_command(quoted({dir.path("missing.cn1"), "b", "c"}));
  std::wstring wide(line.begin(), line.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (c.hidden) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  }
  PROCESS_INFORMATION process{};
  ASSERT_NE(CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, c.creation_flags, nullptr,
                           nullptr, &startup, &process),
            0);
  const DWORD waited = WaitForSingleObject(process.hProcess, 15000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "still waiting after 15 s";
}

INSTANTIATE_TEST_SUITE_P(Windows, LaunchTest,
                         ::testing::Values(LaunchCase{"create_no_window", CREATE_NO_WINDOW, false},
                                           LaunchCase{"new_console_hidden", CREATE_NEW_CONSOLE,
                                                      true},
                                           LaunchCase{"detached", DETACHED_PROCESS, false}),
                         testing::kRowLabel);

// Ended by TerminateProcess (Task Manager, taskkill /F) in the middle of an in-place write, a run
// leaves the target part new and its undo copy whole: the same command again puts the old
// contents back, then writes the whole result, and leaves no copy.
TEST(PairsetExecutable, TerminatedInPlaceRunIsPutRightByTheNextOne) {
  TempDir dir;
  // Large enough that writing it takes a while, so that it is caught in the middle.
  const std::string input = testing::cn1_file("IN", std::string(std::size_t{96} << 20, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(std::size_t{96} << 20, 'o'));
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("target.c13"), "previous");
  const std::string target = dir.path("target.c13");
  const std::string link = dir.path("second-name");
  ASSERT_NE(CreateHardLinkA(link.c_str(), target.c_str(), nullptr), 0);
  const std::string arguments =
      quoted({dir.path("in.cn1"), dir.path("out.cn1"), dir.path("target.c13")});
  const std::uint64_t result_size = input.size() + output.size() - 59 - 59 + 75;

  std::string line = pairset_command(arguments);
  std::wstring wide(line.begin(), line.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_NE(CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &process),
            0);
  // Room for the result is made just before the first byte changes; the copy is whole by then.
  const std::string copy = dir.path("target.c13.pairset-undo");
  bool caught = false;
  for (int waited = 0; waited < 60'000 && !caught; ++waited) {
    std::error_code ignored;
    caught = std::filesystem::exists(copy, ignored) &&
             std::filesystem::file_size(dir.path("second-name"), ignored) == result_size;
    if (!caught) Sleep(1);
  }
  TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ASSERT_TRUE(caught) << "the run was not seen writing in place";
  const std::string kept = read_file(copy);
  EXPECT_TRUE(kept.ends_with(kUndoTrailer));
  EXPECT_EQ(testing::old_contents_in(kept), "previous");

  EXPECT_EQ(run_executable(arguments, dir).out,
            console(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_TRUE(read_file(dir.path("second-name")) ==
              testing::c13_file(name_field("IN"), input.substr(59), output.substr(59)));
  EXPECT_FALSE(std::filesystem::exists(copy));
}

}  // namespace
}  // namespace pairset
