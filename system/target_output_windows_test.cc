// How a target reaches the disk on Windows: attributes, links, programs that have it open and
// scanners, long paths, devices, and the state folder.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system/access_windows.h"
#include "system/endings_windows.h"
#include "system/file_names.h"
#include "system/files.h"
#include "system/identity.h"
#include "system/new_file.h"
#include "system/open_file_windows.h"
#include "system/target.h"
#include "system/target_output.h"
#include "system/undo_copy.h"
#include "tests/left_behind.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::PrintTo;

using testing::file_names;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using testing::write_text;

// In a folder whose path is so long that no new file's name fits beside the target (243 of the
// 259 characters the C runtime takes), a new target is made directly and an existing one is
// written in place.
TEST(TargetOutput, TargetInAFolderTooDeepForANewFileBesideIt) {
  TempDir dir;
  const std::string base = dir.path("");
  const std::string folder = base + std::string(243 - base.size(), 'f');
  std::filesystem::create_directory(folder);
  const std::string target = folder + "\\t.c13";
  for (const char* contents : {"new", "newer"}) {  // made, then written in place
    EXPECT_EQ(write_text(target, contents), Failure::kNone);
    EXPECT_EQ(read_file(target), contents);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
  }
}

// From its making until the run lets go of it, a new file is opened by another program only with
// delete sharing: closed and written, it may still be renamed or removed while that program
// reads it.
TEST(TargetOutput, NewFileIsOpenedByOthersOnlyWithDeleteSharing) {
  TempDir dir;
  const std::string path = dir.path("new.c13");
  const auto opens = [&path](DWORD sharing) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
  };
  constexpr DWORD kReadAndWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
  platform::Descriptor file(platform::create_new_file(std::filesystem::path(path)).descriptor);
  ASSERT_TRUE(file.is_open());
  const platform::FileMade again = platform::create_new_file(std::filesystem::path(path));
  EXPECT_EQ(again.descriptor, -1);
  EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_FILE_EXISTS));
  ASSERT_TRUE(file.close());
  EXPECT_FALSE(opens(kReadAndWrite));
  EXPECT_TRUE(opens(kReadAndWrite | FILE_SHARE_DELETE));
  platform::let_go_of_new_file();
  EXPECT_TRUE(opens(kReadAndWrite));
}

// What stands by an existing target on Windows while it is written: its attributes, a link, a
// program that has it open.
enum class Around {
  kNothing,
  kHiddenAndSystem,
  kReadOnly,
  kHardLink,
  kOpenShared,
  kOpenExclusively,
  kOpenForAMoment,
};

// How a scanner (an antivirus, an indexer) opens every new file beside the target as soon as it
// appears, keeping it open for 7 seconds, longer than a rename is tried.
enum class Scanner {
  kNone,
  kWithoutDeleteSharing,
  kWithDeleteSharing,
};

struct WindowsCase {
  const char* label;
  Around around = Around::kNothing;
  Scanner scanner = Scanner::kNone;
  Failure status = Failure::kNone;
  const char* contents = "new";  // of the target afterwards
  bool replaced = false;         // the target is another file afterwards
  long long longest = 0;         // milliseconds the write may take, where it matters
};

class WindowsTargetTest : public ::testing::TestWithParam<WindowsCase> {};

// Gives the index that tells the file at `path` from every other on its volume, or 0.
std::uint64_t file_index(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return known ? (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow : 0;
}

// An antivirus, an indexer or the terminal software may have the target open; a hidden or system
// file stays one; a file with another name stays that file too.
TEST_P(WindowsTargetTest, KeepsTheTargetAndWhatStandsByIt) {
  const WindowsCase& c = GetParam();
  TempDir dir;
  const std::string target = dir.path("target.c13");
  write_file(target, "previous");
  constexpr DWORD kMarks = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  HANDLE opener = INVALID_HANDLE_VALUE;
  std::atomic<bool> scanned = false;
  std::thread release;
  switch (c.around) {
    case Around::kHiddenAndSystem:
      ASSERT_NE(SetFileAttributesA(target.c_str(), kMarks), 0);
      break;
    case Around::kReadOnly:
      ASSERT_NE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY), 0);
      break;
    case Around::kHardLink:
      ASSERT_NE(CreateHardLinkA(dir.path("other-name.c13").c_str(), target.c_str(), nullptr), 0);
      break;
    case Around::kOpenShared:
    case Around::kOpenForAMoment:
    case Around::kOpenExclusively:
      opener =
          CreateFileA(target.c_str(), GENERIC_READ,
                      c.around == Around::kOpenExclusively ? FILE_SHARE_READ
                                                           : FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(opener, INVALID_HANDLE_VALUE);
      if (c.around == Around::kOpenForAMoment) {
        release = std::thread([&opener] {
          Sleep(300);
          CloseHandle(std::exchange(opener, INVALID_HANDLE_VALUE));
        });
      }
      break;
    case Around::kNothing:
      break;
  }
  if (c.scanner != Scanner::kNone) {
    const DWORD sharing = c.scanner == Scanner::kWithDeleteSharing
                              ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                              : FILE_SHARE_READ | FILE_SHARE_WRITE;
    release = std::thread([&dir, &scanned, sharing] {
      for (int look = 0; look < 2000; ++look) {
        for (const std::string& name : file_names(dir)) {
          if (name.find(".pairset-") == std::string::npos) continue;
          const HANDLE scan = CreateFileA(dir.path(name).c_str(), GENERIC_READ, sharing, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          if (scan == INVALID_HANDLE_VALUE) continue;
          scanned = true;
          Sleep(7000);
          CloseHandle(scan);
          return;
        }
        Sleep(1);
      }
    });
  }

  const std::uint64_t index_before = file_index(target);
  // Large enough that a scanner finds the new file while it is written.
  const std::string text =
      c.scanner != Scanner::kNone ? std::string(std::size_t{64} << 20, 'n') : std::string("new");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(write_text(target, text), c.status);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);

  if (release.joinable()) release.join();
  if (opener != INVALID_HANDLE_VALUE) CloseHandle(opener);
  // Without delete sharing, no scanner gets the new file while the run has it open.
  EXPECT_EQ(scanned, c.scanner == Scanner::kWithDeleteSharing);
  if (c.longest != 0) {
    EXPECT_LT(took.count(), c.longest);
  }
  if (c.replaced) {
    EXPECT_NE(file_index(target), index_before);
  }
  EXPECT_TRUE(read_file(target) == (c.contents == std::string("new") ? text : c.contents));
  if (c.around == Around::kHiddenAndSystem) {
    EXPECT_EQ(GetFileAttributesA(target.c_str()) & kMarks, kMarks);
  }
  if (c.around == Around::kHardLink) {
    EXPECT_EQ(read_file(dir.path("other-name.c13")), "new");
  }
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  const std::size_t names = c.around == Around::kHardLink ? 2 : 1;
  EXPECT_EQ(file_names(dir).size(), names);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowsTargetTest,
    ::testing::Values(
        WindowsCase{.label = "hidden_and_system", .around = Around::kHiddenAndSystem},
        WindowsCase{.label = "read_only",
                    .around = Around::kReadOnly,
                    .status = Failure::kCannotOpen,
                    .contents = "previous"},
        WindowsCase{.label = "hard_link", .around = Around::kHardLink},
        // The rename is refused for 5 seconds; the target is then written in place.
        WindowsCase{.label = "open_shared", .around = Around::kOpenShared},
        WindowsCase{.label = "open_for_a_moment", .around = Around::kOpenForAMoment},
        WindowsCase{.label = "open_exclusively",
                    .around = Around::kOpenExclusively,
                    .status = Failure::kCannotOpen,
                    .contents = "previous"},
        // A scanner that would keep the rename waiting never gets the new file.
        WindowsCase{.label = "new_file_scanned_without_delete_sharing",
                    .scanner = Scanner::kWithoutDeleteSharing,
                    .replaced = true,
                    .longest = 4000},
        // One that lets it be renamed keeps it open through the rename, which does not wait for it.
        WindowsCase{.label = "new_file_scanned_with_delete_sharing",
                    .scanner = Scanner::kWithDeleteSharing,
                    .replaced = true,
                    .longest = 4000},
        // Written in place after the rename's retries; the new file is removed without waiting
        // for the scanner, and is gone once it lets go.
        WindowsCase{.label = "open_shared_and_new_file_scanned",
                    .around = Around::kOpenShared,
                    .scanner = Scanner::kWithDeleteSharing,
                    .longest = 9000}),
    testing::kRowLabel);

// Windows takes these names for devices, whatever folder, extension or letter case they have.
TEST(TargetOutput, KnowsTheNamesOfDevices) {
  for (const wchar_t* device :
       {L"NUL", L"nul.c13", L"C:\\DNC\\COM1.c13", L"D:/units/lpt9.txt", L"Aux", L"PRN.tar.gz",
        L"CON", L"COM1 .c13", L"C:NUL", L"\\\\.\\COM1", L"//./PhysicalDrive0", L"CONOUT$", L"COM1:",
        L"nul.c13:", L"C:\\w\\NUL:", L"C:\\w\\nul.c13:", L"COM\u00B9", L"lpt\u00B2.c13",
        L"C:\\w\\COM\u00B3:"}) {
    EXPECT_TRUE(platform::names_a_device(device)) << device;
  }
  for (const wchar_t* file :
       {L"unit.c13", L"COM10.c13", L"COM0.c13", L"NULL.c13", L"CONSOLE.c13", L"LPT.c13",
        L"C:\\NUL\\unit.c13", L"my NUL.c13", L"\\\\?\\C:\\DNC\\unit.c13", L".NUL", L"unit.c13:NUL",
        L"C:\\NUL:\\unit.c13", L"COM\u2074.c13", L"LPT\u00B9\u00B9"}) {
    EXPECT_FALSE(platform::names_a_device(file)) << file;
  }
}

// The replacing file keeps the target's hidden, system, archive and not-indexed attributes, no
// other, and is marked Archive in any case (wine shows every file as Archive, so only the
// computation itself can be seen).
TEST(TargetOutput, ReplacingFileTakesTheAttributesBackupNeeds) {
  const struct {
    DWORD target;
    DWORD taken;
  } cases[] = {
      {0, FILE_ATTRIBUTE_ARCHIVE},
      {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_ARCHIVE},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
      {FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY,
       FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
      {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ARCHIVE,
       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ARCHIVE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::replacement_attributes(c.target), c.taken) << c.target;
  }
}

// Windows XP sets no %LOCALAPPDATA%: without it the state folder is in the one the shell names,
// and a copy left there is put back.
TEST(TargetOutput, StateFolderWithoutTheVariableIsTheShells) {
  wchar_t shell[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                             SHGFP_TYPE_CURRENT, shell),
            S_OK);
  const std::filesystem::path folder = std::filesystem::path(shell) / L"pairset";
  std::filesystem::create_directories(folder);
  TempDir dir;
  const std::string target = dir.path("target.c13");
  write_file(dir.path("out.cn1"), testing::cn1_file("OUT", "o"));
  const std::string previous(1024, 'p');
  const std::string result(1024, 'r');
  write_file(target, result.substr(0, 512) + previous.substr(512));
  platform::Descriptor readable(platform::open_for_reading(target));
  const std::optional<platform::FileOrigin> origin = platform::origin_of(readable.get());
  ASSERT_TRUE(origin);
  static_cast<void>(readable.close());  // Windows removes no open file
  const std::filesystem::path copy = folder / platform::state_copy_name<char>(*origin);
  write_file(copy.string(), testing::undo_copy_file(*origin, "target.c13", previous, result));
  testing::set_state_folder("");

  const std::string printed =
      testing::run_in_process({dir.path("missing.cn1"), dir.path("out.cn1"), target});

  EXPECT_TRUE(printed.ends_with("missing.cn1'\n")) << printed;
  EXPECT_EQ(read_file(target), previous);
  EXPECT_FALSE(std::filesystem::exists(copy));
}

}  // namespace
}  // namespace pairset

namespace pairset::testing {
namespace {

// Moves a file of another user, made for the tests as root before they ran (wine runs them as
// nobody), to `path`: a copy planted by user 4321 ("copy"), or a target of the runner's that
// anyone may write ("target"), each empty and writable by anyone. Gives false where there is
// none, or where it cannot be moved here.
bool take_foreign_file(const std::string& kind, const std::string& path) {
  const char* const folder = std::getenv("PAIRSET_FOREIGN_FILES");
  if (folder == nullptr || !std::filesystem::is_directory(folder)) return false;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.path().filename().string().starts_with(kind + "-")) continue;
    std::error_code error;
    std::filesystem::rename(entry.path(), path, error);
    return !error;
  }
  return false;
}

// Gives the folder of user 4321, open to anyone, that the state folder is made to be, or an
// empty string where there is none.
std::string foreign_state_home() {
  const char* const folder = std::getenv("PAIRSET_FOREIGN_FILES");
  if (folder == nullptr) return {};
  const std::string home = std::string(folder) + "/state";
  return std::filesystem::is_directory(home + "/pairset") ? home : std::string();
}

// Gives true for a row whose copy is another user's file made before the tests ran.
bool copy_made_before(const LeftBehindCase& c) {
  return c.maker == LeftBehindCase::kUserWhoMayNotWrite ||
         c.maker == LeftBehindCase::kUserWhereAnyoneMayWrite;
}

}  // namespace

const bool kToldByItsLockAlone = false;
const bool kWritesTheFileFoundUnderItsNewName = false;

platform::Descriptor lock_as_a_live_run(const std::string& path) {
  platform::Descriptor file(_open(path.c_str(), _O_RDWR | _O_BINARY));
  OVERLAPPED from_start{};
  if (file.is_open() && LockFileEx(platform::handle_of(file.get()),
                                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                                   MAXDWORD, &from_start) == 0) {
    return {};
  }
  return file;
}

void set_state_folder(const std::string& folder) {
  EXPECT_EQ(_putenv_s("LOCALAPPDATA", folder.c_str()), 0);
}

std::filesystem::path path_near_the_limit(const TempDir& dir) {
  const std::filesystem::path folder = dir.path("");
  return folder / std::string(259 - 5 - folder.string().size() - 1, 'n');
}

std::string path_whose_new_file_is_cut(const TempDir& dir) {
  return path_near_the_limit(dir).string();
}

void leave_new_file_of_an_ended_run(const std::string& path) {
  platform::Target target = platform::open_target(path.c_str());
  std::filesystem::path made;
  platform::Descriptor file(platform::create_replacement(target, made).descriptor);
  ASSERT_TRUE(file.close());
  // While the run that made it lives, it is that run's however old it looks. Its time is set
  // through a handle that shares deletion, as the run's own handle asks.
  const HANDLE aged = CreateFileW(made.c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(aged, INVALID_HANDLE_VALUE);
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER hour_ago{};
  hour_ago.LowPart = now.dwLowDateTime;
  hour_ago.HighPart = now.dwHighDateTime;
  hour_ago.QuadPart -= 60ULL * 60 * 10'000'000;  // in 100 ns units
  const FILETIME written{hour_ago.LowPart, hour_ago.HighPart};
  EXPECT_NE(SetFileTime(aged, nullptr, nullptr, &written), 0);
  CloseHandle(aged);
  platform::clear_abandoned_files(platform::look_up_target(path.c_str()));
  EXPECT_TRUE(std::filesystem::exists(made)) << "a live run's new file was removed";
  // Then the run ends without a word, and so its own handle and its record of the file end.
  platform::let_go_of_new_file();
  platform::forget_file_in_flight();
}

std::string cannot_make(const LeftBehindCase& c) {
  // Another user's file is one made before the tests ran; a file's owner cannot be given here.
  if (made_by_another_user(c) && ((!copy_made_before(c) && c.maker != LeftBehindCase::kRunner) ||
                                  c.state_folder == LeftBehindCase::kThroughAnotherUsersFolder)) {
    return "such owners and folders are made on Linux";
  }
  if (c.state_folder == LeftBehindCase::kAnotherUsers && foreign_state_home().empty()) {
    return "no folder of another user (made where the tests run as root)";
  }
  if (c.by_marks &&
      (platform::volume_flags(std::filesystem::temp_directory_path()) & FILE_NAMED_STREAMS) == 0) {
    return "a volume without named streams tells a new file left behind by its age";
  }
  if (c.contents == LeftBehindCase::kSwappedOutTarget ||
      c.contents == LeftBehindCase::kSwappedOutSave) {
    return "a run on Windows swaps nothing out of the target's place";
  }
  if (c.form != LeftBehindCase::kAsMade || c.state_folder >= LeftBehindCase::kOpenToOthers) {
    return "such rights and variables are Linux's";
  }
  if (c.contents == LeftBehindCase::kOverTheFileSizeLimit) return "Windows has no file-size limit";
  if (c.contents == LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    return "wine makes no sparse file larger than its free space";
  }
  return "";
}

std::string state_home_for(const LeftBehindCase& c, const std::string& own) {
  return c.state_folder == LeftBehindCase::kAnotherUsers ? foreign_state_home() : own;
}

std::optional<bool> take_another_users(const LeftBehindCase& c, const std::string& kind,
                                       const std::string& path) {
  const bool planted =
      kind == "copy" ? copy_made_before(c) : c.maker == LeftBehindCase::kUserWhereAnyoneMayWrite;
  if (!planted) return false;
  if (!take_foreign_file(kind, path)) return std::nullopt;
  return true;
}

std::string give_the_row_its_form(const LeftBehindCase& c, const TempDir&, const TempDir&,
                                  const std::string& left) {
  // A run's mark, where the volume keeps named streams (NTFS; not under wine).
  if (c.contents == LeftBehindCase::kMarkedNewFile &&
      (platform::volume_flags(left) & FILE_NAMED_STREAMS) != 0) {
    write_file(left + ":pairset-new", "");
  }
  return "";
}

std::shared_ptr<void> surround_the_run(const LeftBehindCase&, const TempDir&) {
  return nullptr;
}

}  // namespace pairset::testing
