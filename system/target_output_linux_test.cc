// How a target reaches the disk on Linux: the rights a new file gets, links, programs that have it
// open, signals and the kernel's limits.
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
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "system/file_names.h"
#include "system/io.h"
#include "system/new_file.h"
#include "system/target.h"
#include "system/target_output.h"
#include "system/undo_copy.h"
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

}  // namespace
}  // namespace pairset
