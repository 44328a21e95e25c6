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
#include "system/identity.h"
#include "system/new_file.h"
#include "system/target.h"
#ifdef _WIN32
#include "system/access_windows.h"
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
using testing::write_text;

// The target is the file found when the run began: a file put at its name since is not written.
// POSIX writes the file found, under the name it has now; Windows, which opens the name again,
// writes nothing.
TEST(TargetOutput, WritesOnlyTheFileFoundAtTheStart) {
  TempDir dir;
  const std::string path = dir.path("target.c13");
  write_file(path, "previous");
  FoundTarget found(path.c_str());
  std::filesystem::rename(path, dir.path("moved.c13"));
  write_file(path, "someone else's");
  const std::string text = "the result";
  const OutputPiece pieces[] = {OutputPiece{text}};

  const Failure status = found.write(pieces).failure;

  EXPECT_EQ(read_file(path), "someone else's");
#ifdef _WIN32
  EXPECT_EQ(status, Failure::kCannotOpen);
  EXPECT_EQ(read_file(dir.path("moved.c13")), "previous");
#else
  EXPECT_EQ(status, Failure::kNone);
  EXPECT_EQ(read_file(dir.path("moved.c13")), text);
#endif
}

TEST(TargetOutput, NewFileStandsBesideTheTargetUntilRemoved) {
  TempDir dir;
  write_file(dir.path("target.c13"), "previous");
  std::filesystem::path made;
  platform::Target target = platform::open_target(dir.path("target.c13").c_str());
  platform::Descriptor file(platform::create_replacement(target, made).descriptor);
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

  EXPECT_EQ(write_text(path, "new"), Failure::kNone);
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

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
  // Then the run ends without a word, and so its lock ends.
  platform::let_go_of_new_file();
#else
  // Made by a run that then ends without a word, as a kill ends it, and so its lock ends.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::Target target = platform::open_target(path.c_str());
    std::filesystem::path made;
    _exit(platform::create_replacement(target, made).descriptor >= 0 ? 0 : 1);
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
    kMoreThanTheDiskHasRoomFor,  // whole, announcing more old contents than the disk has room for
    kTrailerZeroed,              // of the announced length, but with zeros where the trailer goes
    kOverTheFileSizeLimit,       // whole, with old contents that a file-size limit stops halfway
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
  bool put_back = false;   // the target has its old contents again
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
    kTargetsOwner,  // user 4321, who owns the target too (a run as root gives it its new files)
  } maker = kRunner;
  enum StateFolder {
    kPrivate,
    kAnotherUsers,               // the state folder is user 4321's
    kThroughAnotherUsersFolder,  // reached through a link into a folder of user 4321's
    // POSIX: the runner's own, but one that others may write, or named by a relative
    // XDG_STATE_HOME (relative to the working folder), or, with XDG_STATE_HOME unset, the one
    // under HOME that most users have
    kOpenToOthers,
    kRelativeVariable,
    kUnderHome,
  } state_folder = kPrivate;
  bool target_is_a_source = false;  // the run's output source is the target
  bool reported = false;   // the run says it cannot write (or, locked, open) the target, and stops
                           // there
  bool set_aside = false;  // the copy is kept as NAME.pairset-stale instead
  bool by_marks = false;   // only POSIX, and Windows on volumes with named streams, tells a run's
                           // new files by their marks
  bool target_locked = false;  // by another program, for longer than a run waits
  // What the target contains against a copy of it, as the next run finds it.
  enum Now {
    kTorn,            // the result's first sector, then the old contents: cut within a page
    kWhollyOld,       // the run had not yet written
    kWhollyResult,    // the run had written all of it; only the copy's removal was lost
    kRestoredByHand,  // another file's bytes copied over it since, as cp from a backup does
    kEditedSince,     // one sector that is neither the old contents nor the result
  } now = kTorn;
  // How the runner's copy stands (POSIX): as a run makes it, or open to others in some way.
  enum Form { kAsMade, kReadableByOthers, kWithAnAclEntry, kWithASecondName } form = kAsMade;
  bool stale_there = false;  // a copy set aside before is there: this one is numbered
  bool fresh = false;        // written just now, as far as its time tells
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
  const bool posix_state_folder = c.state_folder >= LeftBehindCase::kOpenToOthers;
  const bool as_another_user = c.maker != LeftBehindCase::kRunner ||
                               (c.state_folder != LeftBehindCase::kPrivate && !posix_state_folder);
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
  if (c.form != LeftBehindCase::kAsMade || posix_state_folder) {
    GTEST_SKIP() << "such rights and variables are POSIX's";
  }
#else
  if (as_another_user && geteuid() != 0) GTEST_SKIP() << "giving files to other users needs root";
#endif
  // Two sectors of old contents (or more, for the file-size limit), three of the result.
  const std::string old_contents = c.contents == LeftBehindCase::kOverTheFileSizeLimit
                                       ? std::string(std::size_t{100} << 10, 'p')
                                       : "previous" + std::string(1016, 'p');
  const std::string result(1536, 'r');
  const std::string torn = result.substr(0, 512) + old_contents.substr(512);
  const std::string target_now =
      c.now == LeftBehindCase::kWhollyOld        ? old_contents
      : c.now == LeftBehindCase::kWhollyResult   ? result
      : c.now == LeftBehindCase::kRestoredByHand ? std::string(old_contents.size(), 'b')
      : c.now == LeftBehindCase::kEditedSince    ? result.substr(0, 512) + std::string(512, 'e')
                                                 : torn;
  TempDir dir;
  TempDir state;
  write_file(dir.path("out.cn1"), testing::cn1_file("OUT", "o"));
#ifdef _WIN32
  if (c.maker == LeftBehindCase::kUserWhereAnyoneMayWrite &&
      !take_foreign_file("target", dir.path("target.c13"))) {
    GTEST_SKIP() << "no target anyone may write (made where the tests run as root)";
  }
#endif
  write_file(dir.path("target.c13"), target_now);
  platform::Descriptor readable(platform::open_for_reading(dir.path("target.c13")));
  const std::optional<platform::FileOrigin> found = platform::origin_of(readable.get());
  ASSERT_TRUE(found);
  static_cast<void>(readable.close());  // Windows removes no open file
  platform::FileOrigin origin = *found;
  const std::string copy_name = platform::state_copy_name<char>(origin);
  std::string name = "target.c13";
  std::uint64_t size = old_contents.size();
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
      break;
    case LeftBehindCase::kMoreThanTheDiskHasRoomFor:
#ifdef _WIN32
      GTEST_SKIP() << "wine makes no sparse file larger than its free space";
#endif
      size = std::filesystem::space(dir.path("")).available + (std::uint64_t{1} << 30);
      break;
    default:
      break;
  }
  const std::string whole = testing::undo_copy_file(origin, name, old_contents, result);
  const std::string header = encode_undo_header({origin, size, result.size(), name});
  const std::string after_old =
      whole.substr(encode_undo_header({origin, old_contents.size(), result.size(), name}).size() +
                   old_contents.size());
  const bool plain =
      c.contents == LeftBehindCase::kOtherText || c.contents >= LeftBehindCase::kMarkedNewFile;
  const std::string contents = plain ? "my own notes"
                               : c.contents == LeftBehindCase::kCopyCutShort
                                   ? whole.substr(0, whole.size() - 12)
                               : c.contents == LeftBehindCase::kTrailerZeroed
                                   ? whole.substr(0, whole.size() - kUndoTrailer.size()) +
                                         std::string(kUndoTrailer.size(), '\0')
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
    } else if (c.state_folder == LeftBehindCase::kUnderHome) {
      folder = state.path(".local/state/pairset");
      std::filesystem::create_directories(state.path(".local/state"));
    } else if (c.state_folder == LeftBehindCase::kRelativeVariable) {
      folder = state.path("relative/pairset");
      std::filesystem::create_directory(state.path("relative"));
    }
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, c.state_folder == LeftBehindCase::kOpenToOthers
                                             ? std::filesystem::perms::all
                                             : std::filesystem::perms::owner_all);
    left = folder + "/" + copy_name;
  }
#ifdef _WIN32
  if (foreign_copy && !take_foreign_file("copy", left)) {
    GTEST_SKIP() << "no file of another user (made where the tests run as root)";
  }
#endif
  if (c.contents == LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    // Sparse: it takes no room, but tells of more than there is.
    write_file(left, header);
    std::filesystem::resize_file(left, header.size() + size);
    std::ofstream(left, std::ios::binary | std::ios::app) << after_old;
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
      put_mark(left, "new");
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
  // A run makes its copy so that only its owner may read or write it.
  if (c.contents <= LeftBehindCase::kOverTheFileSizeLimit) {
    ASSERT_EQ(chmod(left.c_str(), 0600), 0);
  }
  switch (c.form) {
    case LeftBehindCase::kAsMade:
      break;
    case LeftBehindCase::kReadableByOthers:
      ASSERT_EQ(chmod(left.c_str(), 0644), 0);
      break;
    case LeftBehindCase::kWithAnAclEntry: {
      const std::string acl = acl_letting_write(65534);
      if (setxattr(left.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "this file system keeps no ACL";
      }
      ASSERT_EQ(chmod(left.c_str(), 0600), 0);
      break;
    }
    case LeftBehindCase::kWithASecondName:
      // As a colleague who may write the runner's notes links them in as the copy.
      std::filesystem::create_hard_link(left, dir.path("notes.c13"));
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
    case LeftBehindCase::kTargetsOwner:
      ASSERT_EQ(chown(dir.path("target.c13").c_str(), kOther, kOther), 0);
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
  if (c.maker == LeftBehindCase::kRunner && !c.fresh) {
    std::filesystem::last_write_time(
        left, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  }
  if (c.stale_there) write_file(platform::stale_copy_name<char>(left), "set aside before");
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
  // HOME, where the state folder is without XDG_STATE_HOME, is one of the row's own (empty but
  // where the row puts the copy under it), and the working folder is where a relative
  // XDG_STATE_HOME would lead; both as they were again at the end.
  struct Surroundings {
    std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    std::filesystem::path folder = std::filesystem::current_path();
    ~Surroundings() {
      static_cast<void>(setenv("HOME", home.c_str(), 1));
      std::error_code ignored;
      std::filesystem::current_path(folder, ignored);
    }
  } const surroundings;
  ASSERT_EQ(setenv("HOME", state.path(".").c_str(), 1), 0);
  if (c.state_folder == LeftBehindCase::kUnderHome) set_state_folder("");
  if (c.state_folder != LeftBehindCase::kUnderHome) {
    std::filesystem::create_directory(state.path("home"));
    ASSERT_EQ(setenv("HOME", state.path("home").c_str(), 1), 0);
  }
  if (c.state_folder == LeftBehindCase::kRelativeVariable) {
    std::filesystem::current_path(state.path(""));
    set_state_folder("relative");
  }
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
    // Locked by another program, the target is one the run cannot open; otherwise writing failed.
    EXPECT_EQ(printed, testing::to_cp866(c.target_locked ? u8"\nНе могу открыть файл '"
                                                         : u8"\nОшибка записи файла '") +
                           dir.path("target.c13") + "'\n");
  } else {
    EXPECT_TRUE(printed.ends_with("missing.cn1'\n")) << printed;
  }
  // A copy that could not be put back whole leaves the target torn, and stays for the next run.
  if (!c.no_target && c.contents != LeftBehindCase::kOverTheFileSizeLimit) {
    EXPECT_EQ(read_file(dir.path("target.c13")), c.put_back ? old_contents : target_now);
  }
  EXPECT_EQ(std::filesystem::exists(left), !c.removed);

  if (!c.removed && c.contents != LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    EXPECT_EQ(read_file(left), c.contents == LeftBehindCase::kEmptyNewFile ? "" : contents);
  }
  const std::string stale =
      platform::stale_copy_name<char>(left) + (c.stale_there ? std::string("-1") : "");
  EXPECT_EQ(std::filesystem::exists(stale), c.set_aside);
  if (c.set_aside && std::filesystem::exists(stale) &&
      c.contents != LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    EXPECT_EQ(read_file(stale), contents);
  }
  if (c.stale_there) {
    EXPECT_EQ(read_file(platform::stale_copy_name<char>(left)), "set aside before");
  }
#ifndef _WIN32
  if (c.form == LeftBehindCase::kWithASecondName) {
    EXPECT_EQ(read_file(dir.path("notes.c13")), contents);
  }
#endif
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
  const std::string previous(1024, 'p');
  const std::string result(1024, 'r');
  write_file(target, result.substr(0, 512) + previous.substr(512));
  platform::Descriptor readable(platform::open_for_reading(target));
  const std::optional<platform::FileOrigin> origin = platform::origin_of(readable.get());
  ASSERT_TRUE(origin);
  static_cast<void>(readable.close());  // Windows removes no open file
  const std::filesystem::path copy = folder / platform::state_copy_name<char>(*origin);
  write_file(copy.string(), testing::undo_copy_file(*origin, "target.c13", previous, result));
  set_state_folder("");

  const std::string printed =
      testing::run_in_process({dir.path("missing.cn1"), dir.path("out.cn1"), target});

  EXPECT_TRUE(printed.ends_with("missing.cn1'\n")) << printed;
  EXPECT_EQ(read_file(target), previous);
  EXPECT_FALSE(std::filesystem::exists(copy));
}
#endif

constexpr auto kInTheStateFolder = LeftBehindCase::kStateFolder;
constexpr const char* kCopyName = "target.c13.pairset-undo";
constexpr const char* kNewFileName = ".target.c13.pairset-Ab12Cd";
// Whether a run tells a live run's new file by its lock alone (Linux), or also by its age.
#ifdef _WIN32
constexpr bool kToldByItsLockAlone = false;
#else
constexpr bool kToldByItsLockAlone = true;
#endif

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
        // A copy set aside before is kept: this one takes the next number.
        LeftBehindCase{.label = "copy_of_a_target_restored_by_hand_set_aside_again",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kRestoredByHand,
                       .stale_there = true},
        // Another user's file at the copy's name of a deleted target is theirs: untouched.
        LeftBehindCase{.label = "another_users_copy_of_a_deleted_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .no_target = true,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite},
        // Of a target deleted by hand since: kept aside, and the run says so.
        LeftBehindCase{.label = "copy_of_a_deleted_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .no_target = true,
                       .reported = true,
                       .set_aside = true},
        // Announcing old contents of a length the target could not have after a cut: kept
        // aside, and the run says so.
        LeftBehindCase{.label = "copy_announcing_more_than_the_disk_has_room_for",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kMoreThanTheDiskHasRoomFor,
                       .removed = true,
                       .reported = true,
                       .set_aside = true},
        // Put back only onto the file as the cut left it: not yet written, or wholly written,
        // only the copy goes; restored by hand or edited since, the file is someone's now, and
        // the copy is kept aside.
        LeftBehindCase{.label = "copy_of_a_target_not_yet_written",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .now = LeftBehindCase::kWhollyOld},
        LeftBehindCase{.label = "copy_of_a_target_wholly_written",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .now = LeftBehindCase::kWhollyResult},
        LeftBehindCase{.label = "copy_of_a_target_restored_by_hand",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kRestoredByHand},
        LeftBehindCase{.label = "copy_of_a_target_edited_since",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kEditedSince},
        LeftBehindCase{.label = "copy_in_the_state_folder_of_a_target_restored_by_hand",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kRestoredByHand},
        // The runner's own only where no one else may read or write it: never put back, never
        // removed (and the file linked in as the copy keeps its bytes).
        LeftBehindCase{.label = "copy_readable_by_others",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .form = LeftBehindCase::kReadableByOthers},
        LeftBehindCase{.label = "copy_with_an_acl_entry",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .form = LeftBehindCase::kWithAnAclEntry},
        LeftBehindCase{.label = "copy_with_a_second_name",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .form = LeftBehindCase::kWithASecondName},
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
        // ... unless the target is a source that it says a cut tore: then it is not read. One
        // that says the source is whole stops nothing.
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_a_source",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite,
                       .target_is_a_source = true,
                       .reported = true},
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_a_source_it_says_is_whole",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite,
                       .target_is_a_source = true,
                       .now = LeftBehindCase::kWhollyOld},
        // ... nor by someone whom the target's rights let write it: only the runner's own is.
        LeftBehindCase{.label = "copy_by_a_user_where_anyone_may_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kUserWhereAnyoneMayWrite},
        LeftBehindCase{.label = "copy_by_a_group_member_who_may_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
                       .maker = LeftBehindCase::kGroupMemberWhoMayWrite},
        LeftBehindCase{.label = "copy_by_a_user_an_acl_lets_write_the_target",
                       .name = kCopyName,
                       .contents = LeftBehindCase::kWholeCopy,
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
        // The runner's own, but open to others, or named relative to the working folder: not
        // looked in. Under HOME, where most users have it: put back.
        LeftBehindCase{.label = "copy_in_a_state_folder_others_may_write",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .state_folder = LeftBehindCase::kOpenToOthers},
        LeftBehindCase{.label = "copy_in_a_state_folder_named_relative",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .state_folder = LeftBehindCase::kRelativeVariable},
        LeftBehindCase{.label = "copy_in_the_state_folder_under_home",
                       .place = kInTheStateFolder,
                       .name = "",
                       .contents = LeftBehindCase::kWholeCopy,
                       .removed = true,
                       .put_back = true,
                       .state_folder = LeftBehindCase::kUnderHome},
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
        // Written just now and held by no one: on Windows, where a share may not enforce its
        // share modes, a new file that young is a live run's; on Linux the lock alone tells.
        LeftBehindCase{.label = "new_file_written_just_now",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = kToldByItsLockAlone,
                       .fresh = true},
        LeftBehindCase{.label = "new_file_a_live_run_holds",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .held = true},
        // A new file's name is not enough: a user's or another program's file of that form is
        // kept, and so is another user's in a sticky folder; one cut before its mark has
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
        // Only the file itself proves it a run's: one that another file's mark names (the old
        // target a run cut between its exchange and its check swapped out, or a colleague's
        // forged mark) is kept, and so is a marked one with a second name.
        LeftBehindCase{.label = "old_target_swapped_out_by_a_run_cut_short",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kSwappedOutTarget,
                       .by_marks = true},
        LeftBehindCase{.label = "marked_new_file_with_a_second_name",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .by_marks = true,
                       .form = LeftBehindCase::kWithASecondName},
        // A run as root gives its new file to the target's owner: that one's is root's own.
        LeftBehindCase{.label = "abandoned_new_file_of_another_users_target",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = true,
                       .maker = LeftBehindCase::kTargetsOwner},
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
