// How a run's files reach and leave the disk on Linux: sources that are FIFOs, the rights a new
// file gets, links, programs that have it open, signals, full devices and the kernel's limits.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "settings/source_file.h"
#include "settings/target_file.h"
#include "system/file_names.h"
#include "system/io.h"
#include "system/new_file.h"
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
    const Failure status = write_text(dir.path("new.c13"), "new");
    const int created = open(dir.path("created").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    umask(previous_mask);
    ASSERT_GE(created, 0);
    close(created);

    ASSERT_EQ(status, Failure::kNone);
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

  ASSERT_EQ(write_text(target, "new"), Failure::kNone);

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
    Linux, TargetIdentityTest,
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
  EXPECT_EQ(write_text(dir.path("link.c13"), "new"), Failure::kNone);
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
  const Failure status = write_text(full.path("link.c13"), std::string(120'000, 'x'));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
  static_cast<void>(signal(SIGXFSZ, previous_action));
  EXPECT_EQ(status, Failure::kWriteError);
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
  ASSERT_EQ(write_text(target, "new"), Failure::kNone);
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
    platform::Descriptor file(platform::create_replacement(target, made).descriptor);
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

// A file that has no name left (deleted, but kept open by another process) is written through
// the file itself: no file is made from the text of its link.
TEST(TargetOutput, FileWithNoNameIsWrittenThroughItself) {
  TempDir dir;
  const std::string path = dir.path("kept.c13");
  write_file(path, "previous");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t keeper = fork();
  ASSERT_NE(keeper, -1);
  if (keeper == 0) {
    const int kept = open(path.c_str(), O_RDWR);
    static_cast<void>(unlink(path.c_str()));
    static_cast<void>(write(ready[1], &kept, sizeof kept));
    pause();
    _exit(0);
  }
  int kept = -1;
  ASSERT_EQ(read(ready[0], &kept, sizeof kept), static_cast<ssize_t>(sizeof kept));
  const std::string link = "/proc/" + std::to_string(keeper) + "/fd/" + std::to_string(kept);

  const Failure status = write_text(link, "new");
  const std::string seen = read_file(link);
  kill(keeper, SIGKILL);
  waitpid(keeper, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  EXPECT_EQ(status, Failure::kNone);
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
  const Failure status = write_text(dir.path("target.c13"), "new");
  const std::string seen = read_file(dir.path("target.c13"));
  ASSERT_EQ(umount(dir.path("target.c13").c_str()), 0);

  EXPECT_EQ(status, Failure::kNone);
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
      const int file = platform::create_replacement(target, made).descriptor;
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

// A pipe tells no size: everything written to it is kept, however long.
TEST(LoadSourceFile, PipeIsReadToItsEnd) {
  TempDir dir;
  const std::string path = dir.path("pipe");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const std::string contents = testing::cn1_file("PIPE", std::string(1'000'003, 'p'));
  std::thread writer([&] { write_file(path, contents); });

  const LoadResult result = load_source_file(path.c_str());
  writer.join();

  ASSERT_EQ(result.outcome.failure, Failure::kNone);
  EXPECT_EQ(testing::contents_of(result.file), contents);
}

// Filling fresh memory is most of the cost of loading a large stream; it goes where the system
// can back it with 2 MiB pages.
TEST(LoadSourceFile, LargeSourceIsAlignedForLargePages) {
  TempDir dir;
  const std::string path = dir.path("pipe");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] {
    write_file(path, testing::cn1_file("LARGE", std::string(std::size_t{1} << 20, 'b')));
  });

  const LoadResult result = load_source_file(path.c_str());
  writer.join();

  ASSERT_EQ(result.outcome.failure, Failure::kNone);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(result.file.data.get()) % (std::size_t{2} << 20), 0U);
}

// A full disk must not pass for success, whether a write or the final flush finds it.
TEST(WriteTargetFile, FullDeviceIsAWriteError) {
  for (const std::size_t body_size : {std::size_t{1}, std::size_t{4} << 20}) {
    const SourceFile file =
        testing::source_in_memory(testing::cn1_file("A", std::string(body_size, 'b')));
    EXPECT_EQ(write_target_file(FoundTarget("/dev/full"), file, file, std::nullopt).failure,
              Failure::kWriteError)
        << "body of " << body_size << " bytes";
  }
}

TEST(RunPairset, FullDiskIsNotReportedAsSuccess) {
  TempDir dir;
  write_file(dir.path("in.cn1"), testing::cn1_file("IN", "i"));
  write_file(dir.path("out.cn1"), testing::cn1_file("OUT", "o"));
  EXPECT_EQ(testing::run_in_process({dir.path("in.cn1"), dir.path("out.cn1"), "/dev/full"}),
            testing::to_cp866(u8"\nОшибка записи файла '/dev/full'\n"));
}

}  // namespace
}  // namespace pairset

namespace pairset::testing {
namespace {

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

// Gives the mark that names the file at `path` by its inode and birth, as a run marks the target
// its new file is to replace.
std::string mark_naming(const std::string& path) {
  struct statx info {};
  EXPECT_EQ(statx(AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_BTIME, &info), 0);
  return std::to_string(info.stx_ino) + " " + std::to_string(info.stx_btime.tv_sec) + "." +
         std::to_string(info.stx_btime.tv_nsec);
}

// HOME, the working folder and the file-size limit as they were before a row's run.
struct Surroundings {
  std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  std::filesystem::path folder = std::filesystem::current_path();
  rlimit limit{};
  void (*handler)(int) = nullptr;
  ~Surroundings() {
    static_cast<void>(setenv("HOME", home.c_str(), 1));
    std::error_code ignored;
    std::filesystem::current_path(folder, ignored);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    static_cast<void>(std::signal(SIGXFSZ, handler));
  }
};

}  // namespace

const bool kToldByItsLockAlone = true;
const bool kWritesTheFileFoundUnderItsNewName = true;

platform::Descriptor lock_as_a_live_run(const std::string& path) {
  platform::Descriptor file(open(path.c_str(), O_RDWR | O_CLOEXEC));
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  if (file.is_open() && fcntl(file.get(), F_OFD_SETLK, &whole_file) != 0) return {};
  return file;
}

void set_state_folder(const std::string& folder) {
  EXPECT_EQ(
      folder.empty() ? unsetenv("XDG_STATE_HOME") : setenv("XDG_STATE_HOME", folder.c_str(), 1), 0);
}

std::filesystem::path path_near_the_limit(const TempDir& dir) {
  // Folders of at most 200 bytes, up to a path of 4050 of the 4095 bytes: the target's name is
  // then short, and only cutting it further makes room for the new file's 17 more bytes.
  std::filesystem::path folder = dir.path("");
  while (folder.string().size() < 4050) {
    folder /= std::string(std::min<std::size_t>(200, 4050 - folder.string().size() - 1), 'f');
  }
  std::filesystem::create_directories(folder);
  return folder / std::string(4095 - 5 - folder.string().size() - 1, 'n');
}

std::string path_whose_new_file_is_cut(const TempDir& dir) {
  // Names, not paths, are what is long here: a folder's file name has 255 bytes at most.
  return dir.path(std::string(250, 'n'));
}

void leave_new_file_of_an_ended_run(const std::string& path) {
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
}

std::string cannot_make(const LeftBehindCase& c) {
  return made_by_another_user(c) && geteuid() != 0 ? "giving files to other users needs root" : "";
}

std::string state_home_for(const LeftBehindCase&, const std::string& own) {
  return own;
}

std::optional<bool> take_another_users(const LeftBehindCase&, const std::string&,
                                       const std::string&) {
  return false;  // made here, as root
}

std::string give_the_row_its_form(const LeftBehindCase& c, const TempDir& dir, const TempDir& state,
                                  const std::string& left) {
  const std::string target = dir.path("target.c13");
  const auto put_mark = [](const std::string& path, const std::string& mark) {
    return setxattr(path.c_str(), "user.pairset-new", mark.data(), mark.size(), 0) == 0;
  };
  const auto put_acl = [](const std::string& path, std::uint32_t uid) {
    const std::string acl = acl_letting_write(uid);
    return setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  };
  bool made = true;
  switch (c.contents) {
    case LeftBehindCase::kMarkedNewFile:
      made = put_mark(left, "new");
      break;
    case LeftBehindCase::kSwappedOutTarget:
      made = put_mark(target, mark_naming(left));
      break;
    case LeftBehindCase::kSwappedOutSave:
      made = put_mark(target, mark_naming(dir.path("out.cn1")));
      break;
    default:
      break;
  }
  // A run makes its copy so that only its owner may read or write it.
  if (c.contents <= LeftBehindCase::kOverTheFileSizeLimit)
    made = made && chmod(left.c_str(), 0600) == 0;
  switch (c.form) {
    case LeftBehindCase::kAsMade:
      break;
    case LeftBehindCase::kReadableByOthers:
      made = made && chmod(left.c_str(), 0644) == 0;
      break;
    case LeftBehindCase::kWithAnAclEntry:
      if (!put_acl(left, 65534)) return "this file system keeps no ACL";
      made = made && chmod(left.c_str(), 0600) == 0;
      break;
    case LeftBehindCase::kWithASecondName:
      // As a colleague who may write the runner's notes links them in as the copy.
      std::filesystem::create_hard_link(left, dir.path("notes.c13"));
      break;
  }
  constexpr uid_t kOther = 4321;
  switch (c.maker) {
    case LeftBehindCase::kRunner:
      break;
    case LeftBehindCase::kTargetsOwner:
      made = made && chown(target.c_str(), kOther, kOther) == 0;
      break;
    case LeftBehindCase::kUserInAStickyFolder:
      made = made && chmod(dir.path("").c_str(), 01777) == 0;
      [[fallthrough]];
    case LeftBehindCase::kUserWhoMayNotWrite:
      made = made && chmod(target.c_str(), 0644) == 0;
      break;
    case LeftBehindCase::kUserWhereAnyoneMayWrite:
      made = made && chmod(target.c_str(), 0666) == 0;
      break;
  }
  if (c.maker != LeftBehindCase::kRunner) made = made && chown(left.c_str(), kOther, kOther) == 0;
  if (c.state_folder == LeftBehindCase::kAnotherUsers) {
    made = made && chown(state.path("pairset").c_str(), kOther, kOther) == 0;
  } else if (c.state_folder == LeftBehindCase::kThroughAnotherUsersFolder) {
    made = made && chown(state.path("other").c_str(), kOther, kOther) == 0;
  }
  EXPECT_TRUE(made) << "the row's files were not made as it says";
  return "";
}

std::shared_ptr<void> surround_the_run(const LeftBehindCase& c, const TempDir& state) {
  auto before = std::make_shared<Surroundings>();
  EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &before->limit), 0);
  // HOME, where the state folder is without XDG_STATE_HOME, is one of the row's own (empty but
  // where the row puts the copy under it), and the working folder is where a relative
  // XDG_STATE_HOME would lead.
  if (c.state_folder == LeftBehindCase::kUnderHome) {
    EXPECT_EQ(setenv("HOME", state.path(".").c_str(), 1), 0);
    set_state_folder("");
  } else {
    std::filesystem::create_directory(state.path("home"));
    EXPECT_EQ(setenv("HOME", state.path("home").c_str(), 1), 0);
  }
  if (c.state_folder == LeftBehindCase::kRelativeVariable) {
    std::filesystem::current_path(state.path(""));
    set_state_folder("relative");
  }
  // A build that put such a copy back would stop at a file-size limit, not at a full disk.
  before->handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = before->limit;
  limit.rlim_cur = c.contents == LeftBehindCase::kOverTheFileSizeLimit ? std::uint64_t{64} << 10
                                                                       : std::uint64_t{64} << 20;
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  return before;
}

}  // namespace pairset::testing
