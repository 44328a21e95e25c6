#include "system/target_output.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace pairset {
namespace {

using testing::file_names;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(TargetOutput, WritesANewFileBesideTheTargetUntilCommitted) {
  TempDir dir;
  write_file(dir.path("target.c13"), "previous");
  {
    TargetOutput target(dir.path("target.c13").c_str());
    ASSERT_EQ(target.status(), TargetStatus::kOpened);
    const std::vector<std::string> names = file_names(dir);
    ASSERT_EQ(names.size(), 2U);
    EXPECT_EQ(names[0].rfind(".target.c13.pairset-", 0), 0U) << names[0];
    EXPECT_EQ(read_file(dir.path("target.c13")), "previous");
  }
  // Dropped uncommitted: the new file is gone and the target is as it was.
  EXPECT_EQ(file_names(dir), std::vector<std::string>{"target.c13"});
  EXPECT_EQ(read_file(dir.path("target.c13")), "previous");
}

#ifndef _WIN32
// Gives true when `text` was written to the target at `path` and put in its place.
bool replace_with(const std::string& path, const std::string& text) {
  TargetOutput target(path.c_str());
  return target.status() == TargetStatus::kOpened &&
         std::fwrite(text.data(), 1, text.size(), target.stream()) == text.size() &&
         target.commit();
}

TEST(TargetOutput, ReplacesTheFileBehindALinkAndKeepsItsPermissionsAndOwner) {
  TempDir dir;
  write_file(dir.path("real.c13"), "previous");
  ASSERT_EQ(chmod(dir.path("real.c13").c_str(), 0640), 0);
  // Root may give the new file any owner; anyone else keeps their own.
  const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
  ASSERT_EQ(chown(dir.path("real.c13").c_str(), owner, static_cast<gid_t>(-1)), 0);
  std::filesystem::create_symlink("real.c13", dir.path("link.c13"));

  ASSERT_TRUE(replace_with(dir.path("link.c13"), "new"));

  EXPECT_TRUE(std::filesystem::is_symlink(dir.path("link.c13")));
  EXPECT_EQ(read_file(dir.path("real.c13")), "new");
  struct stat info {};
  ASSERT_EQ(stat(dir.path("real.c13").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640U);
  EXPECT_EQ(info.st_uid, owner);
}

TEST(TargetOutput, NewTargetGetsTheUsualPermissions) {
  TempDir dir;
  const mode_t previous_mask = umask(027);
  const bool replaced = replace_with(dir.path("new.c13"), "new");
  umask(previous_mask);

  ASSERT_TRUE(replaced);
  struct stat info {};
  ASSERT_EQ(stat(dir.path("new.c13").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640U);
}

// A console closed, a kill or Ctrl+C in the middle of the write: the new file goes with the
// process, and the signal still ends it.
TEST(TargetOutput, EndingSignalRemovesTheNewFile) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    write_file(dir.path("target.c13"), "previous");
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      TargetOutput target(dir.path("target.c13").c_str());
      static_cast<void>(std::fputs("partial", target.stream()));
      static_cast<void>(std::fflush(target.stream()));
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

}  // namespace
}  // namespace pairset
