#include "system/target_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "system/file_names.h"
#include "system/platform.h"
#ifdef _WIN32
#include "system/access_windows.h"
#include "system/attributes_windows.h"
#include "system/device_name_windows.h"
#include "system/open_file_windows.h"
#endif
#include "system/undo_copy.h"
#include "tests/test_support.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <thread>
#else
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace pairset {
namespace {

using testing::PrintTo;

using testing::file_names;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// Gives the status of writing `text` as the whole target at `path`.
OutputStatus write_text(const std::string& path, const std::string& text) {
  const OutputPiece pieces[] = {OutputPiece{text}};
  return write_target_output(path.c_str(), platform::look_up_target(path.c_str()), pieces).status;
}

// The target is the file found when the run began: a file put at its name since is not written.
// POSIX writes the file found, under the name it has now; Windows, which opens the name again,
// writes nothing.
TEST(TargetOutput, WritesOnlyTheFileFoundAtTheStart) {
  TempDir dir;
  const std::string path = dir.path("target.c13");
  write_file(path, "previous");
  platform::Target found = platform::look_up_target(path.c_str());
  std::filesystem::rename(path, dir.path("moved.c13"));
  write_file(path, "someone else's");
  const std::string text = "the result";
  const OutputPiece pieces[] = {OutputPiece{text}};

  const OutputStatus status = write_target_output(path.c_str(), std::move(found), pieces).status;

  EXPECT_EQ(read_file(path), "someone else's");
#ifdef _WIN32
  EXPECT_EQ(status, OutputStatus::kCannotOpen);
  EXPECT_EQ(read_file(dir.path("moved.c13")), "previous");
#else
  EXPECT_EQ(status, OutputStatus::kWritten);
  EXPECT_EQ(read_file(dir.path("moved.c13")), text);
#endif
}

TEST(TargetOutput, NewFileStandsBesideTheTargetUntilRemoved) {
  TempDir dir;
  write_file(dir.path("target.c13"), "previous");
  std::filesystem::path made;
  platform::Target target = platform::open_target(dir.path("target.c13").c_str());
  platform::Descriptor file(platform::create_replacement(target, made));
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(made.filename().string().rfind(".target.c13.pairset-", 0), 0U) << made;
  EXPECT_EQ(file_names(dir).size(), 2U);
  ASSERT_TRUE(file.close());
  platform::remove_file(target, made);
  EXPECT_EQ(file_names(dir), std::vector<std::string>{"target.c13"});
}

// Gives the path of a target, in `dir`, a few characters short of the system's limit (4095
// bytes on Linux, 259 characters on Windows): a new file's name must be cut to fit beside it.
std::filesystem::path path_near_the_limit(const TempDir& dir) {
  std::filesystem::path folder = dir.path("");
#ifdef _WIN32
  constexpr std::size_t kLongestPath = 259;
#else
  constexpr std::size_t kLongestPath = 4095;
  // Folders of at most 200 bytes, up to a path of 4050: the target's name is then short, and
  // only cutting it further makes room for the new file's 17 more bytes.
  while (folder.string().size() < 4050) {
    folder /= std::string(std::min<std::size_t>(200, 4050 - folder.string().size() - 1), 'f');
  }
  std::filesystem::create_directories(folder);
#endif
  const std::size_t name_size = kLongestPath - 5 - folder.string().size() - 1;
  return folder / std::string(name_size, 'n');
}

// Such a target has a new file whose name, cut short, still fits beside it.
TEST(TargetOutput, ReplacesTargetsWhoseNewFileNameWouldBeTooLong) {
  TempDir dir;
  const std::filesystem::path target = path_near_the_limit(dir);
  const std::filesystem::path folder = target.parent_path();
  const std::string path = target.string();
  write_file(path, "previous");

  EXPECT_EQ(write_text(path, "new"), OutputStatus::kWritten);
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

#ifdef _WIN32
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
    EXPECT_EQ(write_text(target, contents), OutputStatus::kWritten);
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
  platform::Descriptor file(platform::create_new_file(std::filesystem::path(path)));
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(platform::create_new_file(std::filesystem::path(path)), -1);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_TRUE(file.close());
  EXPECT_FALSE(opens(kReadAndWrite));
  EXPECT_TRUE(opens(kReadAndWrite | FILE_SHARE_DELETE));
  platform::let_go_of_new_file();
  EXPECT_TRUE(opens(kReadAndWrite));
}

// What holds or marks an existing target on Windows while it is written.
enum class Hold {
  kNothing,
  kHiddenAndSystem,
  kReadOnly,
  kHardLink,
  kOpenShared,
  kOpenExclusively,
  kOpenForAMoment,
};

// How a scanner (an antivirus, an indexer) opens every new file beside the target as soon as it
// appears, holding it for 7 seconds, longer than a rename is tried.
enum class Scanner {
  kNone,
  kWithoutDeleteSharing,
  kWithDeleteSharing,
};

struct WindowsCase {
  const char* label;
  Hold hold = Hold::kNothing;
  Scanner scanner = Scanner::kNone;
  OutputStatus status = OutputStatus::kWritten;
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
TEST_P(WindowsTargetTest, KeepsTheTargetAndItsHolders) {
  const WindowsCase& c = GetParam();
  TempDir dir;
  const std::string target = dir.path("target.c13");
  write_file(target, "previous");
  constexpr DWORD kMarks = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  HANDLE holder = INVALID_HANDLE_VALUE;
  std::atomic<bool> scanned = false;
  std::thread release;
  switch (c.hold) {
    case Hold::kHiddenAndSystem:
      ASSERT_NE(SetFileAttributesA(target.c_str(), kMarks), 0);
      break;
    case Hold::kReadOnly:
      ASSERT_NE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY), 0);
      break;
    case Hold::kHardLink:
      ASSERT_NE(CreateHardLinkA(dir.path("other-name.c13").c_str(), target.c_str(), nullptr), 0);
      break;
    case Hold::kOpenShared:
    case Hold::kOpenForAMoment:
    case Hold::kOpenExclusively:
      holder = CreateFileA(
          target.c_str(), GENERIC_READ,
          c.hold == Hold::kOpenExclusively ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE,
          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
      if (c.hold == Hold::kOpenForAMoment) {
        release = std::thread([&holder] {
          Sleep(300);
          CloseHandle(std::exchange(holder, INVALID_HANDLE_VALUE));
        });
      }
      break;
    case Hold::kNothing:
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
  if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
  // Without delete sharing, no scanner gets the new file while the run holds it.
  EXPECT_EQ(scanned, c.scanner == Scanner::kWithDeleteSharing);
  if (c.longest != 0) {
    EXPECT_LT(took.count(), c.longest);
  }
  if (c.replaced) {
    EXPECT_NE(file_index(target), index_before);
  }
  EXPECT_TRUE(read_file(target) == (c.contents == std::string("new") ? text : c.contents));
  if (c.hold == Hold::kHiddenAndSystem) {
    EXPECT_EQ(GetFileAttributesA(target.c_str()) & kMarks, kMarks);
  }
  if (c.hold == Hold::kHardLink) {
    EXPECT_EQ(read_file(dir.path("other-name.c13")), "new");
  }
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  const std::size_t names = c.hold == Hold::kHardLink ? 2 : 1;
  EXPECT_EQ(file_names(dir).size(), names);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowsTargetTest,
    ::testing::Values(
        WindowsCase{.label = "hidden_and_system", .hold = Hold::kHiddenAndSystem},
        WindowsCase{.label = "read_only",
                    .hold = Hold::kReadOnly,
                    .status = OutputStatus::kCannotOpen,
                    .contents = "previous"},
        WindowsCase{.label = "hard_link", .hold = Hold::kHardLink},
        // The rename is refused for 5 seconds; the target is then written in place.
        WindowsCase{.label = "open_shared", .hold = Hold::kOpenShared},
        WindowsCase{.label = "open_for_a_moment", .hold = Hold::kOpenForAMoment},
        WindowsCase{.label = "open_exclusively",
                    .hold = Hold::kOpenExclusively,
                    .status = OutputStatus::kCannotOpen,
                    .contents = "previous"},
        // A scanner that would keep the rename waiting never gets the new file.
        WindowsCase{.label = "new_file_scanned_without_delete_sharing",
                    .scanner = Scanner::kWithoutDeleteSharing,
                    .replaced = true,
                    .longest = 4000},
        // One that lets it be renamed holds it through the rename, which does not wait for it.
        WindowsCase{.label = "new_file_scanned_with_delete_sharing",
                    .scanner = Scanner::kWithDeleteSharing,
                    .replaced = true,
                    .longest = 4000},
        // Written in place after the rename's retries; the new file is removed without waiting
        // for the scanner, and is gone once it lets go.
        WindowsCase{.label = "open_shared_and_new_file_scanned",
                    .hold = Hold::kOpenShared,
                    .scanner = Scanner::kWithDeleteSharing,
                    .longest = 6500}),
    testing::kRowLabel);
#else
// A new target gets what creating it would give: 0666 less the umask, and under a folder's default
// ACL that ACL with its mask, exactly as a file the folder's users create themselves.
TEST(TargetOutput, NewTargetGetsTheRightsACreateGives) {
  // u::rwx, u:65534:rw-, g::r-x, m::rw-, o::r-x, as setfacl -d -m u:65534:rw,m::rw writes it.
  const unsigned char default_acl[] = {
      2, 0,    0,    0,    1,    0,    7,    0, 0xff, 0xff, 0xff, 0xff, 2,    0,    6,
      0, 0xfe, 0xff, 0,    0,    4,    0,    5, 0,    0xff, 0xff, 0xff, 0xff, 0x10, 0,
      6, 0,    0xff, 0xff, 0xff, 0xff, 0x20, 0, 5,    0,    0xff, 0xff, 0xff, 0xff};
  for (const bool with_default_acl : {false, true}) {
    TempDir dir;
    if (with_default_acl && setxattr(dir.path("").c_str(), "system.posix_acl_default", default_acl,
                                     sizeof default_acl, 0) != 0) {
      GTEST_SKIP() << "this file system keeps no ACL entries";
    }
    const mode_t previous_mask = umask(027);
    const OutputStatus status = write_text(dir.path("new.c13"), "new");
    const int created = open(dir.path("created").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    umask(previous_mask);
    ASSERT_GE(created, 0);
    close(created);

    ASSERT_EQ(status, OutputStatus::kWritten);
    const auto rights = [](const std::string& path) {
      struct stat info {};
      EXPECT_EQ(stat(path.c_str(), &info), 0);
      std::string acl(256, '\0');
      const ssize_t size =
          getxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size());
      acl.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
      return std::make_pair(info.st_mode & 07777, acl);
    };
    EXPECT_EQ(rights(dir.path("new.c13")), rights(dir.path("created"))) << with_default_acl;
    if (!with_default_acl) {
      EXPECT_EQ(rights(dir.path("new.c13")).first, 0640U);
    }
  }
}

// What an existing target has beyond its contents, set up before the write.
enum class Identity {
  kSymbolicLink,
  kOwner,
  kHardLink,
  kExtendedAttribute,
  kAclEntry,
  kFolderDefaultAcl,  // the folder gives new files an ACL entry the target has not got
};

struct IdentityCase {
  const char* label;
  Identity identity;
  bool replaced;  // the file is replaced by a new one (a new inode), else written in place
};

class TargetIdentityTest : public ::testing::TestWithParam<IdentityCase> {};

// The target stays the same file: whatever names it, owns it or is attached to it still does.
TEST_P(TargetIdentityTest, TargetStaysTheSameFile) {
  const IdentityCase& c = GetParam();
  TempDir dir;
  const std::string real = dir.path("real.c13");
  write_file(real, "previous");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::string target = real;
  // Root may give the new file any owner; anyone else keeps their own.
  const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
  switch (c.identity) {
    case Identity::kSymbolicLink:
      std::filesystem::create_symlink("real.c13", dir.path("link.c13"));
      target = dir.path("link.c13");
      break;
    case Identity::kOwner:
      ASSERT_EQ(chown(real.c_str(), owner, static_cast<gid_t>(-1)), 0);
      break;
    case Identity::kHardLink:
      std::filesystem::create_hard_link(real, dir.path("other-name.c13"));
      break;
    case Identity::kExtendedAttribute:
      if (setxattr(real.c_str(), "user.unit", "16K20", 5, 0) != 0) {
        GTEST_SKIP() << "this file system keeps no user attributes";
      }
      break;
    case Identity::kAclEntry:
    case Identity::kFolderDefaultAcl:
      // An entry for user 65534, as setfacl -m u:65534:rw (or -d -m) writes it.
      const unsigned char acl[] = {
          2, 0,    0,    0,    1,    0,    6,    0, 0xff, 0xff, 0xff, 0xff, 2,    0,    6,
          0, 0xfe, 0xff, 0,    0,    4,    0,    4, 0,    0xff, 0xff, 0xff, 0xff, 0x10, 0,
          6, 0,    0xff, 0xff, 0xff, 0xff, 0x20, 0, 0,    0,    0xff, 0xff, 0xff, 0xff};
      const bool on_folder = c.identity == Identity::kFolderDefaultAcl;
      if (setxattr(on_folder ? dir.path("").c_str() : real.c_str(),
                   on_folder ? "system.posix_acl_default" : "system.posix_acl_access", acl,
                   sizeof acl, 0) != 0) {
        GTEST_SKIP() << "this file system keeps no ACL entries";
      }
      break;
  }
  struct stat before {};
  ASSERT_EQ(stat(real.c_str(), &before), 0);
  const auto attributes = [&real] {
    std::string names(1024, '\0');
    const ssize_t size = listxattr(real.c_str(), names.data(), names.size());
    names.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return names;
  };
  const std::string attributes_before = attributes();

  ASSERT_EQ(write_text(target, "new"), OutputStatus::kWritten);

  struct stat after {};
  ASSERT_EQ(stat(real.c_str(), &after), 0);
  EXPECT_EQ(read_file(real), "new");
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_nlink, before.st_nlink);
  EXPECT_EQ(attributes(), attributes_before);
  EXPECT_EQ(after.st_ino != before.st_ino, c.replaced);
  if (c.identity == Identity::kSymbolicLink) {
    EXPECT_TRUE(std::filesystem::is_symlink(target));
  }
  if (c.identity == Identity::kHardLink) {
    EXPECT_EQ(read_file(dir.path("other-name.c13")), "new");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Posix, TargetIdentityTest,
    ::testing::Values(IdentityCase{"symbolic_link", Identity::kSymbolicLink, true},
                      IdentityCase{"owner", Identity::kOwner, true},
                      IdentityCase{"hard_link", Identity::kHardLink, false},
                      IdentityCase{"extended_attribute", Identity::kExtendedAttribute, true},
                      IdentityCase{"acl_entry", Identity::kAclEntry, true},
                      IdentityCase{"folder_default_acl", Identity::kFolderDefaultAcl, true}),
    testing::kRowLabel);

// A symbolic link that leads nowhere is followed by the kernel, as creating the target would
// follow it: the file it leads to is made, and the link stays.
TEST(TargetOutput, LinkThatLeadsNowhereMakesTheFileItLeadsTo) {
  TempDir dir;
  std::filesystem::create_symlink("made.c13", dir.path("link.c13"));
  EXPECT_EQ(write_text(dir.path("link.c13"), "new"), OutputStatus::kWritten);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path("link.c13")));
  EXPECT_EQ(read_file(dir.path("made.c13")), "new");
  EXPECT_EQ(file_names(dir), (std::vector<std::string>{"link.c13", "made.c13"}));

  // A write there that fails (a file-size limit below the result) leaves only the link.
  TempDir full;
  std::filesystem::create_symlink("made.c13", full.path("link.c13"));
  struct rlimit before {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  struct rlimit limited = before;
  limited.rlim_cur = 64 << 10;
  const auto previous_action = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const OutputStatus status = write_text(full.path("link.c13"), std::string(120'000, 'x'));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
  static_cast<void>(signal(SIGXFSZ, previous_action));
  EXPECT_EQ(status, OutputStatus::kWriteError);
  EXPECT_EQ(file_names(full), std::vector<std::string>{"link.c13"});
}

// A target whose name has the 255 bytes a name may have is replaced all the same: the new
// file's name keeps only the first 200 of them.
TEST(TargetOutput, TargetWithTheLongestNameIsReplaced) {
  TempDir dir;
  const std::string target = dir.path(std::string(251, 't') + ".c13");
  write_file(target, "previous");
  struct stat before {};
  ASSERT_EQ(stat(target.c_str(), &before), 0);
  ASSERT_EQ(write_text(target, "new"), OutputStatus::kWritten);
  struct stat after {};
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(file_names(dir).size(), 1U);
}

// What is put at the target's name after the target was opened.
enum class Swap { kLinkToAnotherFile, kAnotherFile, kNothing };

// The name is renamed over only while it still names the file opened: a link or a file put there
// in the meantime (by another user of a shared folder) is left alone, and so is what it leads to.
TEST(TargetOutput, NameThatNoLongerNamesTheFileOpenedIsNotReplaced) {
  for (const Swap swap : {Swap::kLinkToAnotherFile, Swap::kAnotherFile, Swap::kNothing}) {
    TempDir dir;
    write_file(dir.path("target.c13"), "previous");
    write_file(dir.path("precious"), "precious");
    platform::Target target = platform::open_target(dir.path("target.c13").c_str());
    ASSERT_EQ(target.kind, platform::TargetKind::kRegular);
    std::filesystem::path made;
    platform::Descriptor file(platform::create_replacement(target, made));
    ASSERT_TRUE(file.is_open());
    ASSERT_TRUE(platform::write_all(file.get(), std::string_view("new")) && file.close());
    std::filesystem::remove(dir.path("target.c13"));
    if (swap == Swap::kLinkToAnotherFile) {
      std::filesystem::create_symlink(dir.path("precious"), dir.path("target.c13"));
    } else if (swap == Swap::kAnotherFile) {
      write_file(dir.path("target.c13"), "another");
    }

    EXPECT_EQ(platform::replace_file(target, made), platform::Replacement::kRefused);

    platform::remove_file(target, made);
    EXPECT_EQ(read_file(dir.path("precious")), "precious");
    const std::vector<std::string> left = {"precious", "target.c13"};
    EXPECT_EQ(file_names(dir),
              swap == Swap::kNothing ? std::vector<std::string>{"precious"} : left);
    if (swap == Swap::kAnotherFile) {
      EXPECT_EQ(read_file(dir.path("target.c13")), "another");
    }
  }
}

// A file that has no name left (deleted, but held open by another process) is written through
// the file itself: no file is made from the text of its link.
TEST(TargetOutput, FileWithNoNameIsWrittenThroughItself) {
  TempDir dir;
  const std::string path = dir.path("held.c13");
  write_file(path, "previous");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_NE(holder, -1);
  if (holder == 0) {
    const int held = open(path.c_str(), O_RDWR);
    static_cast<void>(unlink(path.c_str()));
    static_cast<void>(write(ready[1], &held, sizeof held));
    pause();
    _exit(0);
  }
  int held = -1;
  ASSERT_EQ(read(ready[0], &held, sizeof held), static_cast<ssize_t>(sizeof held));
  const std::string link = "/proc/" + std::to_string(holder) + "/fd/" + std::to_string(held);

  const OutputStatus status = write_text(link, "new");
  const std::string seen = read_file(link);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  EXPECT_EQ(status, OutputStatus::kWritten);
  EXPECT_EQ(seen, "new");
  EXPECT_TRUE(file_names(dir).empty());
}

// A file mounted over the target's name cannot be renamed over (EBUSY): it is written in place,
// and so reaches the file that is mounted there.
TEST(TargetOutput, BindMountedTargetIsWrittenInPlace) {
  TempDir dir;
  write_file(dir.path("mounted.c13"), "previous");
  write_file(dir.path("target.c13"), "hidden by the mount");
  if (mount(dir.path("mounted.c13").c_str(), dir.path("target.c13").c_str(), nullptr, MS_BIND,
            nullptr) != 0) {
    GTEST_SKIP() << "no bind mounts here (they need root)";
  }
  const OutputStatus status = write_text(dir.path("target.c13"), "new");
  const std::string seen = read_file(dir.path("target.c13"));
  ASSERT_EQ(umount(dir.path("target.c13").c_str()), 0);

  EXPECT_EQ(status, OutputStatus::kWritten);
  EXPECT_EQ(seen, "new");
  EXPECT_EQ(read_file(dir.path("mounted.c13")), "new");
  EXPECT_EQ(file_names(dir), (std::vector<std::string>{"mounted.c13", "target.c13"}));
}

// A console closed, a kill, Ctrl+C, Ctrl+\, a timer or a CPU limit while the new file exists:
// the new file goes with the process, and the signal still ends it as it would have.
TEST(TargetOutput, EveryEndingSignalRemovesTheNewFile) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                  SIGPIPE, SIGXCPU, SIGVTALRM, SIGRTMIN}) {
    TempDir dir;
    write_file(dir.path("target.c13"), "previous");
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      const rlimit no_core{0, 0};
      static_cast<void>(setrlimit(RLIMIT_CORE, &no_core));
      std::filesystem::path made;
      const platform::Target target = platform::open_target(dir.path("target.c13").c_str());
      const int file = platform::create_replacement(target, made);
      static_cast<void>(write(file, "partial", 7));
      static_cast<void>(raise(signal_number));
      _exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
    EXPECT_EQ(file_names(dir), std::vector<std::string>{"target.c13"}) << signal_number;
    EXPECT_EQ(read_file(dir.path("target.c13")), "previous");
  }
}
#endif

// A new file whose name was cut to fit, left by a run cut short, is known by that name and
// removed by the next run.
TEST(TargetOutput, ClearsALeftNewFileWhoseNameWasCutToFit) {
  TempDir dir;
#ifdef _WIN32
  const std::string path = path_near_the_limit(dir).string();
#else
  // Names, not paths, are what is long on POSIX: a folder's file name has 255 bytes at most.
  const std::string path = dir.path(std::string(250, 'n'));
#endif
  write_file(path, "previous");
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
#ifdef _WIN32
  platform::Target target = platform::open_target(path.c_str());
  std::filesystem::path made;
  platform::Descriptor file(platform::create_replacement(target, made));
  ASSERT_TRUE(file.is_open());
  // Made by a run that then ends without a word, and so holds it no more.
  ASSERT_TRUE(file.close());
  platform::let_go_of_new_file();
#else
  // Made by a run that then ends without a word, as a kill ends it, and so holds it no more.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::Target target = platform::open_target(path.c_str());
    std::filesystem::path made;
    _exit(platform::create_replacement(target, made) >= 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
  std::filesystem::path left;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename() != std::filesystem::path(path).filename()) left = entry.path();
  }
  ASSERT_FALSE(left.empty());
  ASSERT_LT(left.filename().string().size(),
            std::filesystem::path(path).filename().string().size() +
                std::string_view("..pairset-Ab12Cd").size())
      << "the name was not cut";
  // Written long ago, as far as its time tells: on Windows a new file is taken for left behind
  // only then.
  std::filesystem::last_write_time(
      left, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));

  platform::clear_abandoned_files(platform::look_up_target(path.c_str()));

  EXPECT_FALSE(std::filesystem::exists(left)) << left;
  EXPECT_EQ(read_file(path), "previous");
#ifdef _WIN32
  platform::remove_file(target, made);  // the run's own record of it ends
#endif
}

#ifdef _WIN32
// Windows takes these names for devices, whatever folder, extension or letter case they have.
TEST(TargetOutput, KnowsTheNamesOfDevices) {
  for (const wchar_t* device :
       {L"NUL", L"nul.c13", L"C:\\DNC\\COM1.c13", L"D:/units/lpt9.txt", L"Aux", L"PRN.tar.gz",
        L"CON", L"COM1 .c13", L"C:NUL", L"\\\\.\\COM1", L"//./PhysicalDrive0", L"CONOUT$"}) {
    EXPECT_TRUE(platform::names_a_device(device)) << device;
  }
  for (const wchar_t* file :
       {L"unit.c13", L"COM10.c13", L"COM0.c13", L"NULL.c13", L"CONSOLE.c13", L"LPT.c13",
        L"C:\\NUL\\unit.c13", L"my NUL.c13", L"\\\\?\\C:\\DNC\\unit.c13", L".NUL"}) {
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
#endif

// Holds the file at `path` as a live run holds its new file or undo copy: with a lock of its own
// open file (another open of it in this process is another), and on Windows open without delete
// sharing.
platform::Descriptor hold(const std::string& path) {
#ifdef _WIN32
  platform::Descriptor file(_open(path.c_str(), _O_RDWR | _O_BINARY));
  OVERLAPPED from_start{};
  if (file.is_open() && LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(file.get())),
                                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                                   MAXDWORD, &from_start) == 0) {
    return {};
  }
#else
  platform::Descriptor file(open(path.c_str(), O_RDWR | O_CLOEXEC));
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  if (file.is_open() && fcntl(file.get(), F_OFD_SETLK, &whole_file) != 0) return {};
#endif
  return file;
}

// Makes `folder` the user's state folder for undo copies; an empty one, the system's again.
void set_state_folder(const std::string& folder) {
#ifdef _WIN32
  ASSERT_EQ(_putenv_s("LOCALAPPDATA", folder.c_str()), 0);
#else
  ASSERT_EQ(
      folder.empty() ? unsetenv("XDG_STATE_HOME") : setenv("XDG_STATE_HOME", folder.c_str(), 1), 0);
#endif
}

// What runs cut short leave beside a target, or in the state folder, as the next run on that
// target finds it: a run whose input source is missing, so that all it does is that.
struct LeftBehindCase {
  const char* label;
  enum Place { kBeside, kStateFolder } place = kBeside;
  const char* name;  // beside the target; in the state folder the copy's own name is taken
  enum Contents {
    kWholeCopy,
    kCopyCutShort,
    kAnotherFilesCopy,  // of a file of another name
    kReusedNumber,      // of a file that had the target's name and number, but another generation
    kMoreThanTheDiskHolds,  // whole, announcing more old contents than the disk has room for
    kTrailerZeroed,         // of the announced length, but with zeros where the trailer goes
    kOverTheFileSizeLimit,  // whole, with old contents that a file-size limit stops halfway
    kOtherText,
    // A new file's name: one a run marked (on Windows, plain text), one cut before its mark
    // (empty), and what a run cut short swapped out of the target's place: the file the target's
    // mark names, and another program's save, which it does not.
    kMarkedNewFile,
    kEmptyNewFile,
    kSwappedOutTarget,
    kSwappedOutSave,
  } contents;
  bool held = false;       // by a live run
  bool removed = false;    // by the run
  bool put_back = false;   // the target holds its old contents again
  bool no_target = false;  // the run cut short was making a new target
  // Who made the copy (POSIX, as root: the copy and the target are given to other users).
  enum Maker {
    kRunner,
    kUserWhoMayNotWrite,       // user 4321, where the target is root's, 0644
    kGroupMemberWhoMayWrite,   // user 4321 of group 4321, the target's group, which may write it
    kUserTheAclLetsWrite,      // user 4321, whom an ACL entry of the target lets write it
    kUserInAStickyFolder,      // user 4321, in a folder anyone may write (as /tmp)
    kUserWhereAnyoneMayWrite,  // user 4321, where anyone may write the target
    // user 4322, of another group, in a folder anyone may write whose new files take its group,
    // the target's, which may write it
    kAnyoneInAnOpenGroupFolder,
  } maker = kRunner;
  enum StateFolder {
    kPrivate,
    kAnotherUsers,               // the state folder is user 4321's
    kThroughAnotherUsersFolder,  // reached through a link into a folder of user 4321's
  } state_folder = kPrivate;
  bool target_is_a_source = false;  // the run's output source is the target
  bool reported = false;   // the run says it cannot write (or, held, open) the target, and stops
                           // there
  bool set_aside = false;  // the copy is kept as NAME.pairset-stale instead
  bool by_marks = false;   // only POSIX, and Windows on volumes with named streams, tells a run's
                           // new files by their marks
  bool target_locked = false;  // by another program, for longer than a run waits
};

class LeftBehindTest : public ::testing::TestWithParam<LeftBehindCase> {};

#ifdef _WIN32
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
#else
// Gives an access ACL, as Linux keeps it, that lets user `uid` read and write and everyone else
// read.
std::string acl_letting_write(std::uint32_t uid) {
  std::string acl;
  const auto put = [&acl](auto value) {
    acl.append(reinterpret_cast<const char*>(&value), sizeof value);
  };
  put(std::uint32_t{2});
  for (const auto& [tag, perm, id] :
       {std::tuple{0x01, 6, ~0U}, {0x02, 6, uid}, {0x04, 4, ~0U}, {0x10, 6, ~0U}, {0x20, 4, ~0U}}) {
    put(static_cast<std::uint16_t>(tag));
    put(static_cast<std::uint16_t>(perm));
    put(static_cast<std::uint32_t>(id));
  }
  return acl;
}
#endif

TEST_P(LeftBehindTest, NextRunPutsBackOrRemovesOnlyWhatNoLiveRunHolds) {
  const LeftBehindCase& c = GetParam();
  const bool as_another_user =
      c.maker != LeftBehindCase::kRunner || c.state_folder != LeftBehindCase::kPrivate;
#ifdef _WIN32
  // Another user's file is one made before the tests ran; a file's owner cannot be given here.
  const bool foreign_copy = c.maker == LeftBehindCase::kUserWhoMayNotWrite ||
                            c.maker == LeftBehindCase::kUserWhereAnyoneMayWrite;
  const bool foreign_state = c.state_folder == LeftBehindCase::kAnotherUsers;
  if (as_another_user && ((!foreign_copy && c.maker != LeftBehindCase::kRunner) ||
                          (!foreign_state && c.state_folder != LeftBehindCase::kPrivate))) {
    GTEST_SKIP() << "such owners and folders are made on POSIX";
  }
  if (foreign_state && foreign_state_home().empty()) {
    GTEST_SKIP() << "no folder of another user (made where the tests run as root)";
  }
  if (c.by_marks &&
      (platform::volume_flags(std::filesystem::temp_directory_path()) & FILE_NAMED_STREAMS) == 0) {
    GTEST_SKIP() << "a volume without named streams tells a new file left behind by its age";
  }
  if (c.contents == LeftBehindCase::kSwappedOutTarget ||
      c.contents == LeftBehindCase::kSwappedOutSave) {
    GTEST_SKIP() << "a run on Windows swaps nothing out of the target's place";
  }
#else
  if (as_another_user && geteuid() != 0) GTEST_SKIP() << "giving files to other users needs root";
#endif
  TempDir dir;
  TempDir state;
  write_file(dir.path("out.cn1"), testing::cn1_file("OUT", "o"));
#ifdef _WIN32
  if (c.maker == LeftBehindCase::kUserWhereAnyoneMayWrite &&
      !take_foreign_file("target", dir.path("target.c13"))) {
    GTEST_SKIP() << "no target anyone may write (made where the tests run as root)";
  }
#endif
  write_file(dir.path("target.c13"), "new bytes, then the old tail");
  platform::Descriptor readable(platform::open_for_reading(dir.path("target.c13")));
  const std::optional<platform::FileOrigin> found = platform::origin_of(readable.get());
  ASSERT_TRUE(found);
  static_cast<void>(readable.close());  // Windows removes no open file
  platform::FileOrigin origin = *found;
  const std::string copy_name = platform::state_copy_name<char>(origin.file_system, origin.inode);
  std::string name = "target.c13";
  std::uint64_t size = 8;
  switch (c.contents) {
    case LeftBehindCase::kAnotherFilesCopy:
      name = "other.c13";
      break;
    case LeftBehindCase::kReusedNumber:
      // Windows (NTFS) tells a reused index by the index itself, which carries a sequence number.
      ++(origin.generation != 0 ? origin.generation
         : origin.birth != 0    ? origin.birth
                                : origin.inode);
      break;
    case LeftBehindCase::kOverTheFileSizeLimit:
#ifdef _WIN32
      GTEST_SKIP() << "Windows has no file-size limit";
#endif
      size = std::uint64_t{100} << 10;
      break;
    case LeftBehindCase::kMoreThanTheDiskHolds:
#ifdef _WIN32
      GTEST_SKIP() << "wine makes no sparse file larger than its free space";
#endif
      size = std::filesystem::space(dir.path("")).available + (std::uint64_t{1} << 30);
      break;
    default:
      break;
  }
  const std::string header = encode_undo_header({origin, size, name});
  const std::string old_contents =
      c.contents == LeftBehindCase::kOverTheFileSizeLimit ? std::string(size, 'p') : "previous";
  const std::string whole = header + old_contents + std::string(kUndoTrailer);
  const bool plain =
      c.contents == LeftBehindCase::kOtherText || c.contents >= LeftBehindCase::kMarkedNewFile;
  const std::string contents = plain ? "my own notes"
                               : c.contents == LeftBehindCase::kCopyCutShort
                                   ? whole.substr(0, whole.size() - 12)
                               : c.contents == LeftBehindCase::kTrailerZeroed
                                   ? header + old_contents + std::string(kUndoTrailer.size(), '\0')
                                   : whole;
  std::string left = dir.path(c.name);
  std::string state_home = state.path("");
#ifdef _WIN32
  if (foreign_state) state_home = foreign_state_home();
#endif
  if (c.place == LeftBehindCase::kStateFolder && state_home != state.path("")) {
    left = state_home + "/pairset/" + copy_name;
  } else if (c.place == LeftBehindCase::kStateFolder) {
    std::string folder = state.path("pairset");
    if (c.state_folder == LeftBehindCase::kThroughAnotherUsersFolder) {
      std::filesystem::create_directory(state.path("other"));
      std::filesystem::create_directory_symlink(state.path("other"), state.path("link"));
      folder = state.path("other/pairset");
      state_home = state.path("link");
    }
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    left = folder + "/" + copy_name;
  }
#ifdef _WIN32
  if (foreign_copy && !take_foreign_file("copy", left)) {
    GTEST_SKIP() << "no file of another user (made where the tests run as root)";
  }
#endif
  if (c.contents == LeftBehindCase::kMoreThanTheDiskHolds) {
    // Sparse: it takes no room, but tells of more than there is.
    write_file(left, header);
    std::filesystem::resize_file(left, header.size() + size);
    std::ofstream(left, std::ios::binary | std::ios::app) << kUndoTrailer;
  } else if (c.contents == LeftBehindCase::kEmptyNewFile) {
#ifdef _WIN32
    // Another user's was made empty, and long ago, before the tests ran.
    if (!foreign_copy) write_file(left, "");
#else
    write_file(left, "");
#endif
  } else {
    write_file(left, contents);
  }
#ifdef _WIN32
  // A run's mark, where the volume keeps named streams (NTFS; not under wine).
  if (c.contents == LeftBehindCase::kMarkedNewFile &&
      (platform::volume_flags(left) & FILE_NAMED_STREAMS) != 0) {
    write_file(left + ":pairset-new", "");
  }
#else
  // A run's mark: the inode and birth of the file a new file is to replace.
  const auto mark_naming = [](const std::string& path) {
    struct statx info {};
    EXPECT_EQ(statx(AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_BTIME, &info), 0);
    return std::to_string(info.stx_ino) + " " + std::to_string(info.stx_btime.tv_sec) + "." +
           std::to_string(info.stx_btime.tv_nsec);
  };
  const auto put_mark = [](const std::string& path, const std::string& mark) {
    ASSERT_EQ(setxattr(path.c_str(), "user.pairset-new", mark.data(), mark.size(), 0), 0);
  };
  switch (c.contents) {
    case LeftBehindCase::kMarkedNewFile:
      put_mark(left, mark_naming(dir.path("target.c13")));
      break;
    case LeftBehindCase::kSwappedOutTarget:
      put_mark(dir.path("target.c13"), mark_naming(left));
      break;
    case LeftBehindCase::kSwappedOutSave:
      put_mark(dir.path("target.c13"), mark_naming(dir.path("out.cn1")));
      break;
    default:
      break;
  }
#endif
#ifndef _WIN32
  constexpr uid_t kOther = 4321;
  switch (c.maker) {
    case LeftBehindCase::kRunner:
      break;
    case LeftBehindCase::kUserWhoMayNotWrite:
      ASSERT_EQ(chmod(dir.path("target.c13").c_str(), 0644), 0);
      ASSERT_EQ(chown(left.c_str(), kOther, kOther), 0);
      break;
    case LeftBehindCase::kGroupMemberWhoMayWrite:
      ASSERT_EQ(chown(dir.path("target.c13").c_str(), 0, kOther), 0);
      ASSERT_EQ(chmod(dir.path("target.c13").c_str(), 0664), 0);
      ASSERT_EQ(chown(left.c_str(), kOther, kOther), 0);
      break;
    case LeftBehindCase::kUserTheAclLetsWrite: {
      const std::string acl = acl_letting_write(kOther);
      if (setxattr(dir.path("target.c13").c_str(), "system.posix_acl_access", acl.data(),
                   acl.size(), 0) != 0) {
        GTEST_SKIP() << "this file system keeps no ACL";
      }
      ASSERT_EQ(chown(left.c_str(), kOther, kOther), 0);
      break;
    }
    case LeftBehindCase::kAnyoneInAnOpenGroupFolder:
      ASSERT_EQ(chown(dir.path("").c_str(), 0, kOther), 0);
      ASSERT_EQ(chmod(dir.path("").c_str(), 02777), 0);
      ASSERT_EQ(chown(dir.path("target.c13").c_str(), 0, kOther), 0);
      ASSERT_EQ(chmod(dir.path("target.c13").c_str(), 0664), 0);
      ASSERT_EQ(chown(left.c_str(), kOther + 1, kOther), 0);
      break;
    case LeftBehindCase::kUserInAStickyFolder:
      ASSERT_EQ(chmod(dir.path("").c_str(), 01777), 0);
      ASSERT_EQ(chmod(dir.path("target.c13").c_str(), 0644), 0);
      ASSERT_EQ(chown(left.c_str(), kOther, kOther), 0);
      break;
    case LeftBehindCase::kUserWhereAnyoneMayWrite:
      ASSERT_EQ(chmod(dir.path("target.c13").c_str(), 0666), 0);
      ASSERT_EQ(chown(left.c_str(), kOther, kOther), 0);
      break;
  }
  if (c.state_folder == LeftBehindCase::kAnotherUsers) {
    ASSERT_EQ(chown(state.path("pairset").c_str(), kOther, kOther), 0);
  } else if (c.state_folder == LeftBehindCase::kThroughAnotherUsersFolder) {
    ASSERT_EQ(chown(state.path("other").c_str(), kOther, kOther), 0);
  }
#endif
  if (c.no_target) std::filesystem::remove(dir.path("target.c13"));
  // Written long ago, as far as its time tells: on Windows a new file is taken for left behind
  // only then. (Only its owner may set the time of another user's copy.)
  if (c.maker == LeftBehindCase::kRunner) {
    std::filesystem::last_write_time(
        left, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  }
  platform::Descriptor live;
  if (c.held) {
    live = hold(left);
    ASSERT_TRUE(live.is_open());
  }
  platform::Descriptor locked;
  if (c.target_locked) {
    locked = hold(dir.path("target.c13"));
    ASSERT_TRUE(locked.is_open());
  }
  set_state_folder(state_home);
#ifndef _WIN32
  // A build that put such a copy back would stop at a file-size limit, not at a full disk.
  struct rlimit limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const struct rlimit unlimited = limit;
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = c.contents == LeftBehindCase::kOverTheFileSizeLimit ? std::uint64_t{64} << 10
                                                                       : std::uint64_t{64} << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
#endif

  const std::string printed = testing::run_in_process(
      {dir.path("missing.cn1"), dir.path(c.target_is_a_source ? "target.c13" : "out.cn1"),
       dir.path("target.c13")});
  set_state_folder("");
#ifndef _WIN32
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
  static_cast<void>(std::signal(SIGXFSZ, previous_handler));
#endif

  if (c.reported) {
    // Held by another program, the target is one the run cannot open; otherwise writing failed.
    EXPECT_EQ(printed, testing::to_cp866(c.target_locked ? u8"\nНе могу открыть файл '"
                                                         : u8"\nОшибка записи файла '") +
                           dir.path("target.c13") + "'\n");
  } else {
    EXPECT_TRUE(printed.ends_with("missing.cn1'\n")) << printed;
  }
  // A copy that could not be put back whole leaves the target torn, and stays for the next run.
  if (!c.no_target && c.contents != LeftBehindCase::kOverTheFileSizeLimit) {
    EXPECT_EQ(read_file(dir.path("target.c13")),
              c.put_back ? "previous" : "new bytes, then the old tail");
  }
  EXPECT_EQ(std::filesystem::exists(left), !c.removed);

  if (!c.removed && c.contents != LeftBehindCase::kMoreThanTheDiskHolds) {
    EXPECT_EQ(read_file(left), c.contents == LeftBehindCase::kEmptyNewFile ? "" : contents);
  }
  const std::string stale = platform::stale_copy_name<char>(left);
  EXPECT_EQ(std::filesystem::exists(stale), c.set_aside);
  if (c.set_aside && std::filesystem::exists(stale)) {
    EXPECT_EQ(read_file(stale), contents);
  }
#ifdef _WIN32
  // The folder of another user stays for the next rows: what was left in it goes.
  std::error_code ignored;
  if (foreign_state) std::filesystem::remove(left, ignored);
#endif
}

#ifdef _WIN32
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
  write_file(target, "new bytes, then the old tail");
  platform::Descriptor readable(platform::open_for_reading(target));
  const std::optional<platform::FileOrigin> origin = platform::origin_of(readable.get());
  ASSERT_TRUE(origin);
  static_cast<void>(readable.close());  // Windows removes no open file
  const std::filesystem::path copy =
      folder / platform::state_copy_name<char>(origin->file_system, origin->inode);
  write_file(copy.string(), encode_undo_header({*origin, 8, "target.c13"}) + "previous" +
                                std::string(kUndoTrailer));
  set_state_folder("");

  const std::string printed =
      testing::run_in_process({dir.path("missing.cn1"), dir.path("out.cn1"), target});

  EXPECT_TRUE(printed.ends_with("missing.cn1'\n")) << printed;
  EXPECT_EQ(read_file(target), "previous");
  EXPECT_FALSE(std::filesystem::exists(copy));
}
#endif

constexpr auto kBeside = LeftBehindCase::kBeside;
constexpr auto kInTheStateFolder = LeftBehindCase::kStateFolder;
constexpr const char* kCopyName = "target.c13.pairset-undo";
constexpr const char* kNewFileName = ".target.c13.pairset-Ab12Cd";

INSTANTIATE_TEST_SUITE_P(
    AnySystem, LeftBehindTest,
    ::testing::Values(
        LeftBehindCase{.label = "whole_copy",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .put_back = true},
        LeftBehindCase{.label = "whole_copy_in_the_state_folder",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .put_back = true},
        // Its run was cut short before it touched the target.
        LeftBehindCase{.label = "copy_cut_short",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kCopyCutShort,
                       .removed = true},
        LeftBehindCase{.label = "copy_a_live_run_holds",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .held = true},
        // Only a copy that ends with its trailer is whole; one with zeros there was cut short.
        LeftBehindCase{.label = "copy_whose_trailer_is_zeros",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kTrailerZeroed,
                       .removed = true},
        // Another program holds the target longer than a run waits: nothing is put back into it.
        LeftBehindCase{.label = "copy_of_a_target_another_program_holds",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .reported = true,
                       .target_locked = true},
        // Putting it back fails halfway: the copy stays, the only whole one of the old contents.
        LeftBehindCase{.label = "copy_that_cannot_be_put_back_whole",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kOverTheFileSizeLimit,
                       .reported = true},
        // Of a file of another name: nothing of this target's.
        LeftBehindCase{.label = "copy_of_another_file",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kAnotherFilesCopy},
        // Of the file that had the target's name and number before them (deleted, and the number
        // given to a file copied in): never put into it, kept aside, and the run says so.
        LeftBehindCase{.label = "copy_of_a_file_whose_number_was_reused",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kReusedNumber,
                       .removed = true,
                       .reported = true,
                       .set_aside = true},
        LeftBehindCase{.label = "copy_of_a_reused_number_in_the_state_folder",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kReusedNumber,
                       .removed = true,
                       .reported = true,
                       .set_aside = true},
        // Of a target deleted by hand since: kept aside, and the run says so.
        LeftBehindCase{.label = "copy_of_a_deleted_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .no_target = true,
                       .reported = true,
                       .set_aside = true},
        // A copy that would fill the disk is not put back, and the run says so.
        LeftBehindCase{.label = "copy_announcing_more_than_the_disk_holds",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kMoreThanTheDiskHolds,
                       .reported = true},
        // Made by someone who may not write the target: never put back, left where it is.
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite},
        LeftBehindCase{.label = "copy_by_a_user_in_a_sticky_folder",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kUserInAStickyFolder},
        // Its group says nothing of its maker where anyone may make files that take it.
        LeftBehindCase{.label = "copy_of_the_targets_group_in_a_folder_anyone_may_write",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kAnyoneInAnOpenGroupFolder},
        // ... unless the target is a source, which may be torn: then it is not read.
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_a_source",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite,
                       .target_is_a_source = true,
                       .reported = true},
        // Made by someone who may write the target: put back.
        LeftBehindCase{.label = "copy_by_a_user_where_anyone_may_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .put_back = true,
                       .maker = LeftBehindCase::kUserWhereAnyoneMayWrite},
        LeftBehindCase{.label = "copy_by_a_group_member_who_may_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .put_back = true,
                       .maker = LeftBehindCase::kGroupMemberWhoMayWrite},
        LeftBehindCase{.label = "copy_by_a_user_an_acl_lets_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .put_back = true,
                       .maker = LeftBehindCase::kUserTheAclLetsWrite},
        // A state folder that is not the runner's own and private is not looked in.
        LeftBehindCase{.label = "copy_in_another_users_state_folder",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .state_folder = LeftBehindCase::kAnotherUsers},
        LeftBehindCase{.label = "copy_in_a_state_folder_reached_through_another_users",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .state_folder = LeftBehindCase::kThroughAnotherUsersFolder},
        LeftBehindCase{.label = "a_users_file_under_the_copys_name",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kOtherText},
        LeftBehindCase{.label = "abandoned_new_file",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = true},
        LeftBehindCase{.label = "abandoned_new_file_of_a_new_target",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = true,
                       .no_target = true},
        LeftBehindCase{.label = "new_file_a_live_run_holds",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .held = true},
        // A new file's name is not enough: a user's or another program's file of that form is
        // kept, and so is another user's in a sticky folder; one cut before its mark holds
        // nothing. Swapped out of the target's place by a run cut short: the file the target's
        // mark names is the old target, removed; another program's save is kept.
        LeftBehindCase{.label = "a_users_file_of_a_new_files_name",
                       .name = ".target.c13.pairset-backup",
                       .contents = LeftBehindCase::kOtherText,
                       .by_marks = true},
        LeftBehindCase{.label = "another_users_marked_file_in_a_sticky_folder",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .maker = LeftBehindCase::kUserInAStickyFolder,
                       .by_marks = true},
        LeftBehindCase{.label = "another_users_new_file",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kEmptyNewFile,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite},
        LeftBehindCase{.label = "new_file_cut_before_its_mark",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kEmptyNewFile,
                       .removed = true,
                       .by_marks = true},
        LeftBehindCase{.label = "old_target_swapped_out_by_a_run_cut_short",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kSwappedOutTarget,
                       .removed = true,
                       .by_marks = true},
        LeftBehindCase{.label = "another_programs_save_swapped_out_by_a_run_cut_short",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kSwappedOutSave,
                       .by_marks = true},
        LeftBehindCase{.label = "a_name_only_like_a_new_files",
                       .name = ".target.c13.pairset-Ab12",
                       .contents = LeftBehindCase::kOtherText},
        // One letter more than a new file's name has, though marked: no run made it.
        LeftBehindCase{.label = "a_name_longer_than_a_new_files",
                       .name = ".target.c13.pairset-Ab12Cd7",
                       .contents = LeftBehindCase::kMarkedNewFile}),
    testing::kRowLabel);

}  // namespace
}  // namespace pairset
