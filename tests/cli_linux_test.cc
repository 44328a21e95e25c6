// Runs the built pairset as a Linux user's shell or script does, limited and cut short in every
// way the tests can make.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/cp866.h"
#include "system/undo_copy.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::PrintTo;

using testing::name_field;
using testing::Outcome;
using testing::pairset_command;
using testing::quoted;
using testing::read_file;
using testing::run_command;
using testing::TempDir;

// How a run is limited: by the shell before it starts (a file-size limit that stands for a full
// disk, an ignored signal), by running as a user who may write only what the test allows (root,
// as CI runs, may write anything), by a small file system that is nearly full, and by what
// strace makes of a chosen system call of the writing (a signal sent, an error returned).
constexpr const char8_t* kWriteFailure = u8"\nОшибка записи файла '";
constexpr const char8_t* kOpenFailure = u8"\nНе могу открыть файл '";
constexpr const char8_t* kSuccess = u8"\nPAIRSET завешилась успешно.\n\n";

struct LimitedCase {
  const char* label;
  const char* shell_setup = nullptr;  // run by the shell before the program
  bool unprivileged = false;
  bool others_target = false;  // the target must be another user's than the runner's (root only)
  const char* injected = nullptr;     // strace's -e inject=...
  const char* file_system = nullptr;  // "ext4" or "btrfs": the folder is a nearly full image of it
  const char* target = "target.c13";  // a file in the test's folder; "target.c13" has earlier
                                      // contents
  std::size_t previous_bytes = 0;     // of them, beyond the word "previous"
  bool second_name = false;           // the target has another name, so it is written in place
  mode_t target_mode = 0644;
  mode_t folder_mode = 0755;
  // What the run prints (success by default), followed by the target's path and "'\n" unless
  // it is the success; empty where the signal ends the run.
  std::u8string message = kSuccess;
  enum Result { kKept, kReplaced, kWrittenInPlace } result = kKept;  // kKept: as it was before
  // A run killed by the injected signal leaves an undo copy: whole (with the old contents) or
  // cut short; the same command is then run again, and `message` and `result` are of that run.
  // Or made unusable by a run that had written the whole result, killed before it removed it (as
  // a power cut may undo the removal): a run that fails at a missing source then removes it and
  // leaves the result, before the same command is run again.
  enum Cut { kNotCut, kCopyWhole, kCopyCutShort, kCopyMadeUnusable } cut = kNotCut;
  int target_owner = -1;  // a user the target is given to (65534 is the unprivileged runner)
  std::uint64_t room = std::uint64_t{100} << 10;  // left free on the file-system image
  std::size_t source_bytes = 60'000;              // of each source's body
  bool rerun_by_the_owner = false;  // the run again is the unprivileged user's (the owner, where
                                    // target_owner says so), the first root's
  const char* new_name = nullptr;   // given with /N to every run
  std::u8string cut_message = {};   // what the run that leaves the copy prints (a kill: nothing),
                                    // followed by the target's path and "'\n"
};

class LimitedRunTest : public ::testing::TestWithParam<LimitedCase> {};

// Room for the program and its small buffers, not for a buffer of a MiB (the program takes about
// 2.5 MB, a large buffer 4 MB more).
constexpr const char* kMemoryForSmallBuffers = "ulimit -v 4000";

// Gives true when `program` is one of the system's.
bool installed(const char* program) {
  return std::filesystem::exists(std::string("/usr/bin/") + program) ||
         std::filesystem::exists(std::string("/usr/sbin/") + program) ||
         std::filesystem::exists(std::string("/sbin/") + program);
}

// A file system of `type` made in an image file and mounted on `folder` for the life of the
// scope (root only).
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& type, const std::string& image, std::string folder)
      : folder_(std::move(folder)) {
    // btrfs takes no less than about 114 MiB; the image is sparse.
    const std::string make = type == "btrfs" ? "truncate -s 128M \"" + image + "\" && mkfs.btrfs"
                                             : "truncate -s 8M \"" + image + "\" && mkfs.ext4 -m 0";
    const std::string command = make + " -q \"" + image + "\" >/dev/null 2>&1 && mount -o loop \"" +
                                image + "\" \"" + folder_ + "\" 2>/dev/null";
    mounted_ = std::system(command.c_str()) == 0;  // NOLINT(cert-env33-c)
  }
  ~SmallFileSystem() {
    if (mounted_) static_cast<void>(umount2(folder_.c_str(), MNT_DETACH));
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }

  // Fills the file system, with the file `filler`, until `room` bytes are left.
  void fill_leaving(const std::string& filler, std::uint64_t room) const {
    ::sync();
    struct statvfs space {};
    ASSERT_EQ(statvfs(folder_.c_str(), &space), 0);
    const std::uint64_t free = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    ASSERT_GT(free, room);
    const int file = open(filler.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(file, 0);
    EXPECT_EQ(posix_fallocate(file, 0, static_cast<off_t>(free - room)), 0);
    close(file);
    ::sync();
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Until the whole result is on the disk the target keeps what it had, and it stays the same
// file, replaced or written in place as the case says; a source is never lost; no new file is
// left behind.
TEST_P(LimitedRunTest, LeavesTheTargetWholeOrReplacesIt) {
  const LimitedCase& c = GetParam();
  TempDir dir;
  TempDir scratch;
  std::string executable = testing::executable_under_test();
  // Undo copies that cannot stand beside the target go to a state folder of the test's own.
  const std::string state = scratch.path("state");
  std::filesystem::create_directory(state);
  std::string prefix = "cd \"" + dir.path("") + "\" && export XDG_STATE_HOME=\"" + state + "\"; ";
  if (c.shell_setup != nullptr) prefix.append(c.shell_setup).append("; ");
  prefix += "exec ";
  std::string owner_prefix = prefix;
  if ((c.unprivileged || c.rerun_by_the_owner) && geteuid() == 0) {
    if (!installed("setpriv")) GTEST_SKIP() << "no setpriv to drop root";
    owner_prefix += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (c.unprivileged) prefix = owner_prefix;
    // The build may lie where nobody else may look; a copy in an open folder runs for anyone.
    executable = scratch.path("pairset");
    std::filesystem::copy_file(testing::executable_under_test(), executable);
    ASSERT_EQ(chmod(executable.c_str(), 0755), 0);
    ASSERT_EQ(chmod(scratch.path("").c_str(), 0755), 0);
    ASSERT_EQ(chown(state.c_str(), 65534, 65534), 0);
  }
  if (c.rerun_by_the_owner && geteuid() != 0) GTEST_SKIP() << "the first run must be root's";
  if (c.others_target && geteuid() != 0) {
    GTEST_SKIP() << "only root can give the runner another user's target";
  }
  const std::string launcher = c.rerun_by_the_owner ? owner_prefix : prefix;
#ifdef PAIRSET_SANITIZED
  if (c.shell_setup == kMemoryForSmallBuffers) GTEST_SKIP() << "the sanitizers reserve far more";
#endif
  if (c.injected != nullptr) {
    if (!installed("strace")) GTEST_SKIP() << "no strace to send the signal";
#ifdef PAIRSET_DYNAMICALLY_LINKED
    if (std::string_view(c.injected).starts_with("close")) {
      GTEST_SKIP() << "the dynamic loader's own closes would fail first";
    }
#endif
    // An injection limited to the target's calls names it by its whole path (strace -P).
    std::string injected = c.injected;
    if (const std::size_t at = injected.find("@TARGET@"); at != std::string::npos) {
      injected.replace(at, 8, dir.path(c.target));
    }
    prefix += "strace -o /dev/null -e inject=" + injected + " ";
  }
  std::optional<SmallFileSystem> file_system;
  if (c.file_system != nullptr) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a file-system image needs root";
    file_system.emplace(c.file_system, scratch.path("image"), dir.path(""));
    if (!file_system->mounted()) GTEST_SKIP() << "cannot make and mount " << c.file_system;
  }
  // Twice 60 KB of sources: a target of 120 KB, over the 64 KiB that the limit allows.
  const std::string input = testing::cn1_file("IN", std::string(c.source_bytes, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(c.source_bytes, 'o'));
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("target.c13"), "previous" + std::string(c.previous_bytes, 'p'));
  for (const char* source : {"in.cn1", "out.cn1"}) {
    ASSERT_EQ(chmod(dir.path(source).c_str(), 0644), 0);
  }
  const std::string target = dir.path(c.target);
  const std::string previous = read_file(target);
  ASSERT_EQ(chmod(target.c_str(), c.target_mode), 0);
  if (c.target_owner >= 0 && geteuid() == 0) {
    ASSERT_EQ(chown(target.c_str(), static_cast<uid_t>(c.target_owner),
                    static_cast<gid_t>(c.target_owner)),
              0);
  }
  if (c.second_name) std::filesystem::create_hard_link(target, dir.path("second-name"));
  // Room for less than the result: what reserving it finds, and what writing it would need.
  if (file_system) file_system->fill_leaving(dir.path("filler"), c.room);
  ASSERT_EQ(chmod(dir.path("").c_str(), c.folder_mode), 0);
  const std::vector<std::string> names = testing::file_names(dir);
  struct stat before {};
  ASSERT_EQ(stat(target.c_str(), &before), 0);

  std::vector<std::string> arguments = {executable, dir.path("in.cn1"), dir.path("out.cn1"),
                                        target};
  if (c.new_name != nullptr) arguments.insert(arguments.end(), {"/N", c.new_name});
  const std::string command = quoted(arguments);
  Outcome outcome = run_command(prefix + command, scratch);
  if (c.cut != LimitedCase::kNotCut) {
    // Beside the target where the folder takes it, else in the state folder.
    const std::vector<std::filesystem::path> copies =
        testing::undo_copies_in({dir.path(""), state + "/pairset"});
    EXPECT_EQ(outcome.out, c.cut_message.empty()
                               ? std::string()
                               : testing::to_cp866(c.cut_message) + target + "'\n");
    ASSERT_EQ(copies.size(), 1U);
    const std::string copy = read_file(copies[0].string());
    const std::string result = testing::c13_file(
        name_field(c.new_name != nullptr ? c.new_name : "IN"), input.substr(59), output.substr(59));
    if (c.cut == LimitedCase::kCopyWhole) {
      ASSERT_TRUE(copy.ends_with(kUndoTrailer));
      EXPECT_EQ(testing::old_contents_in(copy), previous);
    } else if (c.cut == LimitedCase::kCopyMadeUnusable) {
      EXPECT_FALSE(copy.ends_with(kUndoTrailer));
      EXPECT_EQ(read_file(target), result);
      const std::string missing = dir.path("missing.cn1");
      std::vector<std::string> failing = arguments;
      failing[1] = missing;
      EXPECT_EQ(run_command(launcher + quoted(failing), scratch).out,
                testing::to_cp866(kOpenFailure) + missing + "'\n");
      EXPECT_EQ(read_file(target), result);
      EXPECT_FALSE(std::filesystem::exists(copies[0]));
    } else {
      EXPECT_FALSE(copy.ends_with(kUndoTrailer));
      EXPECT_EQ(read_file(target), previous);
    }
    outcome = run_command(launcher + command, scratch);
  }
  ASSERT_EQ(chmod(dir.path("").c_str(), 0700), 0);

  const bool converted = c.result != LimitedCase::kKept;
  const std::string message = testing::to_cp866(c.message);
  EXPECT_EQ(outcome.out, converted || message.empty() ? message : message + target + "'\n");
  EXPECT_EQ(read_file(target),
            converted ? testing::c13_file(name_field(c.new_name != nullptr ? c.new_name : "IN"),
                                          input.substr(59), output.substr(59))
                      : previous);
  EXPECT_EQ(testing::file_names(dir), names);
  struct stat after {};
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_ino != before.st_ino, c.result == LimitedCase::kReplaced);
  if (c.target != std::string("in.cn1")) {
    EXPECT_EQ(read_file(dir.path("in.cn1")), input);
  }
  if (c.target != std::string("out.cn1")) {
    EXPECT_EQ(read_file(dir.path("out.cn1")), output);
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(state)) {
    EXPECT_TRUE(entry.is_directory()) << entry.path() << " is left";
  }
}

constexpr const char* kFileSizeLimit = "ulimit -f 64";
// Another program holds a POSIX lock on the target (as the terminal software might) for 8
// seconds, longer than a run waits, or for 1 second; the run starts once it has the lock.
#define PAIRSET_LOCKED_FOR(seconds)                                                         \
  "m=$(mktemp -u); python3 -c 'import fcntl, sys, time; f = open(\"target.c13\", \"r+\"); " \
  "fcntl.lockf(f, fcntl.LOCK_EX); open(sys.argv[1], \"w\").close(); time.sleep(" seconds    \
  ")' "                                                                                     \
  "\"$m\" >/dev/null 2>&1 & while [ ! -e \"$m\" ]; do sleep 0.01; done; rm -f \"$m\""
constexpr const char* kLockedLong = PAIRSET_LOCKED_FOR("8");
// A program that takes a read lock on the undo copy as soon as it appears (within 10 seconds), as
// the user it names, and keeps it 8 seconds, started apart from the run (a child of the program
// would keep strace waiting); the state folder takes no copy.
#define PAIRSET_WATCHED_BY(user)                                                       \
  "export XDG_STATE_HOME=/dev/null; (" user                                            \
  " /usr/bin/python3 -c 'import fcntl, os, time\nfor i in range(2000):\n  if "         \
  "os.path.exists(\"target.c13.pairset-undo\"): break\n  time.sleep(0.005)\nf = "      \
  "open(\"target.c13.pairset-undo\")\nfcntl.lockf(f, fcntl.LOCK_SH | fcntl.LOCK_NB)\n" \
  "time.sleep(8)' >/dev/null 2>&1 &)"
constexpr const char* kWatchedByNobody =
    PAIRSET_WATCHED_BY("setpriv --reuid=65534 --regid=65534 --clear-groups");
constexpr const char* kWatchedByRoot = PAIRSET_WATCHED_BY("");
#undef PAIRSET_WATCHED_BY
constexpr const char* kDelayedAtTheCopy = "openat:delay_exit=1000000 -P target.c13.pairset-undo";
constexpr const char* kLockedBriefly = PAIRSET_LOCKED_FOR("1");
#undef PAIRSET_LOCKED_FOR
// Over the 64 KiB a source is read whole up to, with room on a file-system image to spare; 16
// short of a whole number of pages, so that the output's body lands in the result at its offset
// within a page in its source, and the kernel copies both bodies.
constexpr std::size_t kLargeBody = 200'688;
constexpr std::uint64_t kLargeRoom = std::uint64_t{1} << 20;
// A result the in-place write gives in two calls: its first MiB, then the rest.
constexpr std::size_t kTwoWrites = 700'000;
constexpr auto kReplaced = LimitedCase::kReplaced;
constexpr auto kInPlace = LimitedCase::kWrittenInPlace;

INSTANTIATE_TEST_SUITE_P(
    Linux, LimitedRunTest,
    ::testing::Values(
        LimitedCase{.label = "full_disk_under_a_source",
                    .shell_setup = kFileSizeLimit,
                    .target = "in.cn1",
                    .message = kWriteFailure},
        LimitedCase{.label = "full_disk_under_an_existing_target",
                    .shell_setup = kFileSizeLimit,
                    .message = kWriteFailure},
        // The undo copy of a large target cannot have its buffer: nothing is written.
        LimitedCase{.label = "out_of_memory_for_the_undo_copy",
                    .shell_setup = kMemoryForSmallBuffers,
                    .previous_bytes = 3 << 20,
                    .second_name = true,
                    .message = u8"\nНе хватает памяти для файла '"},
        // A rename would replace it; it is not writable, so it is not written.
        LimitedCase{.label = "read_only_target_in_a_writable_folder",
                    .unprivileged = true,
                    .target_mode = 0444,
                    .folder_mode = 0777,
                    .message = kOpenFailure},
        // No new file may be made beside it, but it may be written: it is, in place.
        LimitedCase{.label = "writable_target_in_a_read_only_folder",
                    .unprivileged = true,
                    .target_mode = 0666,
                    .folder_mode = 0555,
                    .result = kInPlace},
        // In place, the room for the result is reserved before a byte changes.
        LimitedCase{.label = "full_disk_in_place_under_a_source",
                    .shell_setup = kFileSizeLimit,
                    .unprivileged = true,
                    .target = "in.cn1",
                    .target_mode = 0666,
                    .folder_mode = 0555,
                    .message = kWriteFailure},
        // Its old contents cannot be read to be put back: only the reservation keeps it whole.
        LimitedCase{.label = "full_disk_in_place_under_a_write_only_target",
                    .shell_setup = kFileSizeLimit,
                    .unprivileged = true,
                    .others_target = true,
                    .target_mode = 0222,
                    .folder_mode = 0555,
                    .message = kWriteFailure},
        // Neither may the new file take root's ownership, nor may it be renamed over root's file.
        LimitedCase{.label = "another_users_target_in_a_sticky_folder",
                    .unprivileged = true,
                    .others_target = true,
                    .target_mode = 0666,
                    .folder_mode = 01777,
                    .result = kInPlace},
        // Deferred from the first changed byte: the signal ends the run once the file is whole.
        LimitedCase{.label = "signal_while_written_in_place",
                    .unprivileged = true,
                    .injected = "pwrite64:signal=INT:when=2",
                    .target_mode = 0666,
                    .folder_mode = 0555,
                    .message = u8"",
                    .result = kInPlace,
                    .source_bytes = kTwoWrites},
        LimitedCase{.label = "signal_while_the_new_file_is_written",
                    .injected = "write:signal=TERM:when=1",
                    .message = u8""},
        // A signal the caller ignores (nohup) stays ignored while the new file is written.
        LimitedCase{.label = "ignored_hangup_while_the_new_file_is_written",
                    .shell_setup = "trap '' HUP",
                    .injected = "write:signal=HUP:when=1",
                    .result = kReplaced},
        // Errors once writing began. In place, the old contents go back: after the third piece
        // failed, after the cut to the new length, and after the flush to the disk.
        LimitedCase{.label = "io_error_at_a_write_in_place",
                    .injected = "pwrite64:error=EIO:when=1",
                    .second_name = true,
                    .message = kWriteFailure},
        LimitedCase{.label = "io_error_at_the_cut_in_place",
                    .injected = "ftruncate:error=EIO:when=1",
                    .second_name = true,
                    .message = kWriteFailure},
        LimitedCase{.label = "io_error_at_the_flush_in_place",
                    .injected = "fsync:error=EIO:when=1",
                    .target = "in.cn1",
                    .second_name = true,
                    .message = kWriteFailure},
        // The whole result is on the disk before the close: a close that fails after it cannot
        // make the target less new, and the run says what is true.
        LimitedCase{.label = "io_error_at_the_close_in_place",
                    .injected = "close:error=EIO",
                    .second_name = true,
                    .result = kInPlace},
        // Through a new file: the third write, the flush, and the close (every close of the run
        // fails: only those of the written files are looked at).
        LimitedCase{.label = "full_disk_at_a_write_of_the_new_file",
                    .injected = "write:error=ENOSPC:when=3",
                    .message = kWriteFailure},
        LimitedCase{.label = "io_error_at_the_flush_of_the_new_file",
                    .injected = "fsync:error=EIO:when=1",
                    .message = kWriteFailure},
        LimitedCase{.label = "io_error_at_the_close_of_the_new_file",
                    .injected = "close:error=EIO",
                    .message = kWriteFailure},
        // A rename the folder refuses falls back to writing in place; one that fails otherwise
        // is a write error.
        LimitedCase{
            .label = "rename_refused", .injected = "renameat2:error=EXDEV", .result = kInPlace},
        LimitedCase{
            .label = "rename_failed", .injected = "renameat2:error=EIO", .message = kWriteFailure},
        // A real full disk: reserving room lengthens the file before it fails, and the file is
        // cut back.
        LimitedCase{.label = "full_ext4_in_place",
                    .file_system = "ext4",
                    .second_name = true,
                    .message = kWriteFailure},
        // Where every changed block is written anew, even a source as its own target, written in
        // place over blocks it already has, is either the whole result or untouched.
        LimitedCase{.label = "full_btrfs_in_place_under_a_source",
                    .file_system = "btrfs",
                    .target = "in.cn1",
                    .second_name = true,
                    .message = kWriteFailure},
        // Killed (as by a power cut) while written in place: the old contents are whole in the
        // undo copy, and the same command again puts them back, then writes the result whole.
        // At the first write the target is only lengthened; at the fourth, part new, part old.
        LimitedCase{.label = "killed_at_the_first_write_in_place",
                    .injected = "pwrite64:signal=KILL:when=1",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole},
        // Between the first MiB of the result and the rest.
        LimitedCase{.label = "killed_at_the_second_write_in_place",
                    .injected = "pwrite64:signal=KILL:when=2",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .source_bytes = kTwoWrites},
        // Where putting the old contents back fails too (the target refuses every write), or
        // the copy's removal does, the copy stays whole for the next run.
        LimitedCase{.label = "io_error_at_every_write_in_place",
                    .injected = "pwrite64:error=EIO:when=1+ -P @TARGET@",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .cut_message = kWriteFailure},
        LimitedCase{.label = "io_error_at_every_removal_of_the_undo_copy",
                    .injected = "unlinkat:error=EIO",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .cut_message = kWriteFailure},
        // A folder whose default ACL lets another user in: the copy is the runner's alone all
        // the same, so the runner's next run puts it back.
        LimitedCase{.label = "killed_in_place_under_a_folder_default_acl",
                    .shell_setup = "setfacl -d -m u:65534:rw,m::rw .",
                    .injected = "pwrite64:signal=KILL:when=2",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .source_bytes = kTwoWrites},
        // A source as its own target: put back before it is read, or it would be read torn.
        LimitedCase{.label = "killed_in_place_under_a_source",
                    .injected = "pwrite64:signal=KILL:when=2",
                    .target = "in.cn1",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .source_bytes = kTwoWrites},
        // The copy cut short: the target was not touched yet, and the copy is removed.
        LimitedCase{.label = "killed_while_the_undo_copy_is_written",
                    .injected = "write:signal=KILL:when=2",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyCutShort},
        // A folder that takes no new file: the copy goes to the state folder and back from it.
        LimitedCase{.label = "killed_in_place_with_the_copy_in_the_state_folder",
                    .unprivileged = true,
                    .injected = "pwrite64:signal=KILL:when=2",
                    .target_mode = 0666,
                    .folder_mode = 0555,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .source_bytes = kTwoWrites},
        // The runner's own read-only file: it could give itself the right to write it, and a
        // rename in its folder would replace it, but it is refused as opening it would be.
        LimitedCase{.label = "own_read_only_target_in_a_writable_folder",
                    .unprivileged = true,
                    .target_mode = 0444,
                    .folder_mode = 0777,
                    .message = kOpenFailure,
                    .target_owner = 65534},
        // Put in a sticky folder anyone may write by a third user, for this one to write: the
        // kernel's protections would refuse `cat >`, and so does the run.
        LimitedCase{.label = "file_planted_in_a_sticky_folder",
                    .unprivileged = true,
                    .others_target = true,
                    .target_mode = 0666,
                    .folder_mode = 01777,
                    .message = kOpenFailure,
                    .target_owner = 4321},
        // A source of 4 MB as its own hard-linked target on btrfs, with room for its undo copy
        // and then for the result and the old contents, but not for the sixteenth more and the
        // file system's records: refused before a byte changes.
        LimitedCase{.label = "btrfs_without_the_margin_for_rewriting_in_place",
                    .file_system = "btrfs",
                    .target = "in.cn1",
                    .second_name = true,
                    .message = kWriteFailure,
                    .room = std::uint64_t{12'900} << 10,
                    .source_bytes = 4'000'000},
        // Another program's lock: waited for 5 seconds at most, the same way on both paths.
        LimitedCase{.label = "locked_longer_than_a_run_waits_in_place",
                    .shell_setup = kLockedLong,
                    .second_name = true,
                    .message = kOpenFailure},
        LimitedCase{.label = "locked_longer_than_a_run_waits_replaced",
                    .shell_setup = kLockedLong,
                    .message = kOpenFailure},
        LimitedCase{.label = "locked_briefly_in_place",
                    .shell_setup = kLockedBriefly,
                    .second_name = true,
                    .result = kInPlace},
        LimitedCase{
            .label = "locked_briefly_replaced", .shell_setup = kLockedBriefly, .result = kReplaced},
        // Nowhere to keep the old contents: the target is not touched.
        LimitedCase{.label = "no_room_for_an_undo_copy",
                    .shell_setup = "export XDG_STATE_HOME=/nonexistent",
                    .unprivileged = true,
                    .target_mode = 0666,
                    .folder_mode = 0555,
                    .message = kWriteFailure},
        // Bodies of 200 KB stay in their files and are copied by the kernel. A source as its own
        // target is read through its open descriptor after the rename, and from the undo copy
        // when written in place (the output's body moves, so it would be read over).
        LimitedCase{.label = "large_source_as_its_target_replaced",
                    .target = "in.cn1",
                    .result = kReplaced,
                    .room = kLargeRoom,
                    .source_bytes = kLargeBody},
        LimitedCase{.label = "large_source_as_its_target_in_place",
                    .target = "out.cn1",
                    .second_name = true,
                    .result = kInPlace,
                    .room = kLargeRoom,
                    .source_bytes = kLargeBody},
        // Where the kernel copies nothing (before Linux 5.3, across file systems, or without the
        // call), the buffer gives the same bytes.
        LimitedCase{.label = "kernel_copy_across_file_systems_refused",
                    .injected = "copy_file_range:error=EXDEV",
                    .result = kReplaced,
                    .room = kLargeRoom,
                    .source_bytes = kLargeBody},
        LimitedCase{.label = "kernel_copy_missing_in_place_under_a_source",
                    .injected = "copy_file_range:error=ENOSYS",
                    .target = "out.cn1",
                    .second_name = true,
                    .result = kInPlace,
                    .room = kLargeRoom,
                    .source_bytes = kLargeBody},
        // A real full disk under the kernel's copy: the buffer meets it too, and says so.
        LimitedCase{.label = "full_ext4_at_the_kernel_copy",
                    .file_system = "ext4",
                    .message = kWriteFailure,
                    .room = std::uint64_t{300} << 10,
                    .source_bytes = kLargeBody},
        // Root's copy of a user's file is that user's: their run again puts it back.
        LimitedCase{.label = "killed_in_place_as_root_rerun_by_the_owner",
                    .injected = "pwrite64:signal=KILL:when=2",
                    .second_name = true,
                    .target_mode = 0600,
                    .folder_mode = 0777,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .target_owner = 65534,
                    .source_bytes = kTwoWrites,
                    .rerun_by_the_owner = true},
        // The new copy, watched and opened for reading by another program the moment it is
        // made (strace keeps the run there for a second): another user cannot open it,
        // and no one can make the run wait; with nowhere else to keep the old contents, root's
        // watcher leaves the target untouched.
        LimitedCase{.label = "undo_copy_watched_by_another_user",
                    .shell_setup = kWatchedByNobody,
                    .injected = kDelayedAtTheCopy,
                    .second_name = true,
                    .result = kInPlace},
        LimitedCase{.label = "undo_copy_watched_by_root",
                    .shell_setup = kWatchedByRoot,
                    .injected = kDelayedAtTheCopy,
                    .second_name = true,
                    .message = kWriteFailure},
        // The same under a new setting name: /N names the target as much as the plain form.
        LimitedCase{.label = "killed_in_place_under_a_source_with_a_new_name",
                    .injected = "pwrite64:signal=KILL:when=2",
                    .target = "in.cn1",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyWhole,
                    .source_bytes = kTwoWrites,
                    .new_name = "NEW"},
        // A file system that renames without flags only (EINVAL) gets a plain rename.
        LimitedCase{.label = "rename_without_flags",
                    .injected = "renameat2:error=EINVAL",
                    .result = kReplaced},
        // The runner's own file in a sticky folder anyone may write is no plant.
        LimitedCase{.label = "own_target_in_a_sticky_folder",
                    .unprivileged = true,
                    .folder_mode = 01777,
                    .result = kReplaced,
                    .target_owner = 65534},
        // The kernel's copy refused in any way is done through the buffer.
        LimitedCase{.label = "kernel_copy_not_supported",
                    .injected = "copy_file_range:error=EOPNOTSUPP",
                    .result = kReplaced,
                    .room = kLargeRoom,
                    .source_bytes = kLargeBody},
        // Bodies over the buffer's 1 MiB, in place: the output's body lands at another offset
        // within a page and goes through the buffer, chunk after chunk, each at its own place.
        LimitedCase{.label = "bodies_over_the_buffer_in_place",
                    .second_name = true,
                    .result = kInPlace,
                    .room = kLargeRoom,
                    .source_bytes = 1'500'000},
        // The result's own flush fails (the target's first fsync): the copy is still there to put
        // the old contents back. The copy's removal fails: the run does not say it succeeded,
        // and puts the old contents back, since a copy left would do so later.
        LimitedCase{.label = "io_error_at_the_flush_of_the_result_in_place",
                    .injected = "fsync:error=EIO:when=1 -P @TARGET@",
                    .second_name = true,
                    .message = kWriteFailure},
        LimitedCase{.label = "io_error_at_the_removal_of_the_undo_copy",
                    .injected = "unlinkat:error=EIO:when=1 -P target.c13.pairset-undo",
                    .second_name = true,
                    .message = kWriteFailure},
        // Killed after the whole result and the unusable copy are on the disk, before the copy
        // is removed: what a power cut that undoes the removal leaves.
        LimitedCase{.label = "killed_at_the_removal_of_the_undo_copy",
                    .injected = "unlinkat:signal=KILL:when=1 -P target.c13.pairset-undo",
                    .second_name = true,
                    .result = kInPlace,
                    .cut = LimitedCase::kCopyMadeUnusable}),
    testing::kRowLabel);

// A stream as the target, in the spellings a shell or a script gives it.
struct StreamCase {
  const char* label;
  const char* shell_setup = nullptr;  // run by the shell before the program
  const char* target;
  // Of the program's standard streams, to or from the file "log", and what follows the run.
  const char* redirection = ">>log";
  // "log" has "earlier\n" before the run; kResult: it is an ordinary target, replaced whole.
  enum Log { kUnchanged, kResultThenMessage, kResult } log = kResultThenMessage;
  std::u8string message = kSuccess;  // on standard output: the success, or this and "<target>'\n"
};

class StreamTargetTest : public ::testing::TestWithParam<StreamCase> {};

// The process's own streams are known by the file they are, whatever the spelling: the result
// reaches the file behind standard output, then the message, and `>>` appends; a stream open
// only for reading is not written. A reader that leaves early is a failed write, not a silent
// end.
TEST_P(StreamTargetTest, WritesThroughTheStreamItself) {
  const StreamCase& c = GetParam();
  TempDir dir;
  // 200 KB, more than a pipe takes.
  const std::string input = testing::cn1_file("IN", std::string(100'000, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(100'000, 'o'));
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  const std::string log = dir.path("log");
  testing::write_file(log, "earlier\n");
  std::string command = "cd \"" + dir.path("") + "\" && ";
  if (c.shell_setup != nullptr) command.append(c.shell_setup).append("\n");
  command += pairset_command(quoted({dir.path("in.cn1"), dir.path("out.cn1"), c.target})) + " " +
             c.redirection;

  const Outcome outcome = run_command(command, dir);

  const std::string success(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">());
  const std::string message = testing::to_cp866(c.message);
  const std::string printed = message == success ? message : message + c.target + "'\n";
  const std::string result =
      testing::c13_file(name_field("IN"), input.substr(59), output.substr(59));
  if (c.log == StreamCase::kResultThenMessage) {
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(read_file(log), "earlier\n" + result + printed);
  } else if (c.log == StreamCase::kResult) {
    EXPECT_EQ(outcome.out, printed);
    EXPECT_EQ(read_file(log), result);
  } else {
    EXPECT_EQ(outcome.out, printed);
    EXPECT_EQ(read_file(log), "earlier\n");
  }
  EXPECT_EQ(testing::file_names(dir),
            (std::vector<std::string>{"in.cn1", "log", "out.cn1", "stderr.txt"}));
}

INSTANTIATE_TEST_SUITE_P(
    Linux, StreamTargetTest,
    ::testing::Values(StreamCase{.label = "dev_stdout", .target = "/dev/stdout"},
                      StreamCase{.label = "proc_self", .target = "/proc/self/fd/1"},
                      StreamCase{.label = "dev_fd", .target = "/dev/fd/1"},
                      StreamCase{.label = "proc_thread_self", .target = "/proc/thread-self/fd/1"},
                      StreamCase{.label = "relative_to_dev",
                                 .shell_setup = "cd /dev",
                                 .target = "fd/1",
                                 .redirection = ">>\"$OLDPWD/log\""},
                      StreamCase{.label = "its_own_name", .target = "log"},
                      StreamCase{.label = "standard_input_from_a_file",
                                 .target = "/dev/stdin",
                                 .redirection = "<log",
                                 .log = StreamCase::kUnchanged,
                                 .message = kOpenFailure},
                      // Standard input reads the file too: the name still asks for the output.
                      StreamCase{.label = "dev_stdout_while_standard_input_reads_it",
                                 .target = "/dev/stdout",
                                 .redirection = ">>log <log"},
                      // A descriptor a caller passes down (to hold a lock by, or to read) is
                      // not the target's name asking for it: the file is replaced whole.
                      StreamCase{.label = "open_for_appending_by_the_caller",
                                 .target = "log",
                                 .redirection = "9>>log",
                                 .log = StreamCase::kResult},
                      // Longer than the result, so that a tail of it would show.
                      StreamCase{.label = "open_for_reading_and_writing_by_the_caller",
                                 .shell_setup = "head -c 300000 /dev/zero >log",
                                 .target = "log",
                                 .redirection = "9<>log",
                                 .log = StreamCase::kResult},
                      StreamCase{.label = "open_for_reading_by_the_caller",
                                 .target = "log",
                                 .redirection = "3<log",
                                 .log = StreamCase::kResult},
                      StreamCase{.label = "device_that_standard_input_reads",
                                 .target = "/dev/null",
                                 .redirection = "</dev/null",
                                 .log = StreamCase::kUnchanged},
                      // No reader comes: the run ends after its wait, having written nothing.
                      StreamCase{.label = "fifo_with_no_reader",
                                 .shell_setup = "mkfifo fifo",
                                 .target = "fifo",
                                 .redirection = "; rm fifo",
                                 .log = StreamCase::kUnchanged,
                                 .message = kOpenFailure},
                      // The FIFO is removed once the run has ended, so the folder is as before.
                      StreamCase{.label = "fifo_whose_reader_leaves",
                                 .shell_setup = "mkfifo fifo; head -c 10 fifo >/dev/null &",
                                 .target = "fifo",
                                 .redirection = "; rm fifo",
                                 .log = StreamCase::kUnchanged,
                                 .message = kWriteFailure},
                      // A reader that takes its time: once it is there, a full FIFO makes the
                      // writing wait, never fail. What it read ends up in "log".
                      StreamCase{
                          .label = "fifo_whose_reader_is_slow",
                          .shell_setup = "mkfifo fifo; (exec 3<fifo; sleep 1; cat <&3 >fed) &",
                          .target = "fifo",
                          .redirection = "; wait; rm fifo; mv fed log",
                          .log = StreamCase::kResult}),
    testing::kRowLabel);

// A source cut short by another program after its signature was checked and before its body is
// copied (the copy delayed by a second): the read-error message naming it, and the target as
// it was, with nothing left beside it: the new file removed, or the old contents put back.
struct ShrinkingCase {
  const char* label;
  const char* source;   // the one cut short
  const char* delayed;  // the call delayed, on the source: the copy of its body to a new file,
                        // or in place its second read, for the fingerprints (after its signature)
  int when;             // the how-manieth such call
  bool second_name;     // hard-linked: written in place, else replaced
};

class ShrinkingSourceTest : public ::testing::TestWithParam<ShrinkingCase> {};

TEST_P(ShrinkingSourceTest, IsAReadErrorAndTheTargetIsKept) {
  const ShrinkingCase& c = GetParam();
  if (!installed("strace")) GTEST_SKIP() << "no strace to delay the copy";
  TempDir dir;
  TempDir scratch;
  testing::write_file(dir.path("in.cn1"), testing::cn1_file("IN", std::string(kLargeBody, 'i')));
  testing::write_file(dir.path("out.cn1"), testing::cn1_file("OUT", std::string(kLargeBody, 'o')));
  testing::write_file(dir.path("target.c13"), "previous");
  if (c.second_name) {
    std::filesystem::create_hard_link(dir.path("target.c13"), dir.path("second-name"));
  }
  const std::vector<std::string> names = testing::file_names(dir);
  const std::string when = std::to_string(c.when);
  const std::string delayed = c.delayed;
  const std::string trace = scratch.path("trace");

  const Outcome outcome = run_command(
      "cd \"" + dir.path("") + "\" || exit\nstrace -o \"" + trace + "\" -P " + c.source +
          " -e trace=" + delayed + " -e inject=" + delayed + ":delay_enter=1000000:when=" + when +
          " " + pairset_command(quoted({"in.cn1", "out.cn1", "target.c13"})) + " & s=$!\n" +
          "for i in $(seq 1000); do [ \"$(grep -c " + delayed + " \"" + trace + "\")\" -ge " +
          when + " ] && break; sleep 0.01; done\ntruncate -s 100 " + c.source + "\nwait $s",
      scratch);

  EXPECT_EQ(outcome.out, testing::to_cp866(u8"\nОшибка чтения файла '") + c.source + "'\n");
  EXPECT_EQ(read_file(dir.path("target.c13")), "previous");
  EXPECT_EQ(testing::file_names(dir), names);
}

INSTANTIATE_TEST_SUITE_P(
    Linux, ShrinkingSourceTest,
    ::testing::Values(ShrinkingCase{"input_replaced", "in.cn1", "copy_file_range", 1, false},
                      ShrinkingCase{"output_in_place", "out.cn1", "pread64", 2, true}),
    testing::kRowLabel);

// Sources that are streams give the same bytes: a pipe (kept whole, since it tells no size),
// standard input from a large file (copied from it), and the output source as the stream the
// result is written to from its start (kept whole first, or the result would be read over).
// A limit on the program's memory, where the sanitizers' reservations leave room for one; a
// build that read an endless stream to its end would meet it at once.
#ifdef PAIRSET_SANITIZED
#define PAIRSET_MEMORY_LIMIT ""
#else
#define PAIRSET_MEMORY_LIMIT "ulimit -v 2000000; "
#endif

TEST(PairsetExecutable, SourcesAsStreamsGiveTheSameBytes) {
  struct Row {
    const char* label;
    const char* command;  // PAIRSET stands for the program
    const char* written;  // the file that has the result, then what the run printed, if any
    bool message_in_file;
    // What a run that converts nothing prints instead (the path of the first source follows it,
    // and "'\n"; the not-cn1 message is followed by the usage text), or null where it converts.
    const char8_t* failure = nullptr;
  };
  constexpr const char8_t* kNotCn1 = u8"\nФайл '";
  for (const Row row : {
           Row{"pipe", "cat in.cn1 | PAIRSET /dev/stdin out.cn1 target.c13", "target.c13", false},
           Row{"standard_input_from_a_file", "PAIRSET /dev/stdin out.cn1 target.c13 <in.cn1",
               "target.c13", false},
           Row{"output_source_as_standard_output", "PAIRSET in.cn1 out.cn1 /dev/stdout 1<>out.cn1",
               "out.cn1", true},
           Row{"fifo_with_a_writer",
               "mkfifo f && { cat in.cn1 >f & } && PAIRSET f out.cn1 target.c13", "target.c13",
               false},
           // A FIFO nobody writes is waited for as long as a FIFO target's reader, then refused.
           Row{"fifo_without_a_writer", "mkfifo f && timeout 30 PAIRSET f out.cn1 target.c13",
               nullptr, false, u8"\nНе могу открыть файл '"},
           // A stream is judged by its first bytes, never read to an end it does not have.
           Row{"endless_stream",
               PAIRSET_MEMORY_LIMIT "timeout 30 PAIRSET /dev/zero out.cn1 target.c13", nullptr,
               false, kNotCn1},
#ifndef PAIRSET_SANITIZED
           // A stream that is a settings file at first and then never ends: kept whole, it runs the
           // run out of memory, which is told as such.
           Row{"stream_beyond_the_memory",
               PAIRSET_MEMORY_LIMIT
               "{ cat in.cn1; cat /dev/zero; } | timeout 60 PAIRSET /dev/stdin out.cn1 target.c13",
               nullptr, false, u8"\nНе хватает памяти для файла '"},
#endif
       }) {
    TempDir dir;
    TempDir scratch;
    const std::string input = testing::cn1_file("IN", std::string(kLargeBody, 'i'));
    const std::string output = testing::cn1_file("OUT", std::string(kLargeBody, 'o'));
    testing::write_file(dir.path("in.cn1"), input);
    testing::write_file(dir.path("out.cn1"), output);
    std::string command = row.command;
    command.replace(command.find("PAIRSET"), 7, pairset_command(""));

    const Outcome outcome = run_command("cd \"" + dir.path("") + "\" || exit\n" + command, scratch);

    if (row.failure != nullptr) {
      // The source named is the first one, a word of its own in the command.
      const std::string_view after =
          std::string_view(row.command).substr(std::string_view(row.command).find("PAIRSET ") + 8);
      std::string expected =
          testing::to_cp866(row.failure).append(after.substr(0, after.find(' ')));
      expected += row.failure == kNotCn1
                      ? testing::to_cp866(u8"' не является файлом формата .cn1.\n\n") +
                            testing::usage_text()
                      : "'\n";
      EXPECT_EQ(outcome.out, expected) << row.label;
      EXPECT_FALSE(std::filesystem::exists(dir.path("target.c13"))) << row.label;
      continue;
    }
    const std::string success(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">());
    const std::string result =
        testing::c13_file(name_field("IN"), input.substr(59), output.substr(59));
    EXPECT_EQ(outcome.out, row.message_in_file ? "" : success) << row.label;
    const std::string written = read_file(dir.path(row.written));
    EXPECT_TRUE(written == (row.message_in_file ? result + success : result)) << row.label;
  }
}

// A run killed at any one of its system calls, as a power cut could end it (short of what the
// disk itself keeps: the order of the syncs is what makes that true too), leaves the target's old
// contents whole in the target or in its undo copy; the same command again then leaves exactly
// the result, every source as it was and nothing beside the target.
struct EveryCutCase {
  const char* label;
  const char* target;         // "target.c13", or "in.cn1": a source as its own target
  bool second_name;           // hard-linked: written in place, else replaced
  std::size_t old_bytes = 0;  // of "target.c13" before the run
};

class EveryCutTest : public ::testing::TestWithParam<EveryCutCase> {};

TEST_P(EveryCutTest, SameCommandAgainLeavesTheResult) {
  const EveryCutCase& c = GetParam();
  if (!installed("strace")) GTEST_SKIP() << "no strace to end the run at a chosen call";
  TempDir dir;
  TempDir scratch;
  const std::string state = scratch.path("state");
  const std::string input = testing::cn1_file("IN", std::string(3000, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(2000, 'o'));
  const bool source_is_target = c.target == std::string("in.cn1");
  const std::string previous = source_is_target ? input : std::string(c.old_bytes, 'p');
  const std::string result =
      testing::c13_file(name_field("IN"), input.substr(59), output.substr(59));
  const std::string target = dir.path(c.target);
  const auto set_up = [&] {
    std::filesystem::remove_all(state);
    std::filesystem::create_directory(state);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path(""))) {
      std::filesystem::remove(entry.path());
    }
    testing::write_file(dir.path("in.cn1"), input);
    testing::write_file(dir.path("out.cn1"), output);
    if (!source_is_target && c.old_bytes > 0) testing::write_file(target, previous);
    if (c.second_name) std::filesystem::create_hard_link(target, dir.path("second-name"));
  };
  const std::string command = "export XDG_STATE_HOME=\"" + state + "\"; exec ";
  const std::string run =
      quoted({testing::executable_under_test(), dir.path("in.cn1"), dir.path("out.cn1"), target});
  // What the folder has after a run: what it had before, and the target.
  const std::vector<std::string> names = [&] {
    set_up();
    std::vector<std::string> names = testing::file_names(dir);
    names.emplace_back(c.target);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
  }();

  // The system calls of a whole run, in order.
  const std::string trace = scratch.path("trace");
  run_command(command + "strace -o \"" + trace + "\" " + run, scratch);
  std::vector<std::string> calls;
  std::istringstream lines(read_file(trace));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t open = line.find('(');
    if (open != std::string::npos && std::isalpha(static_cast<unsigned char>(line[0])) != 0) {
      calls.push_back(line.substr(0, open));
    }
  }
  ASSERT_GT(calls.size(), 50U);

  std::map<std::string, int> seen;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::string& call = calls[i];
    set_up();
    std::string killed = command;
    killed.append("strace -o /dev/null -e inject=").append(call).append(":signal=KILL:when=");
    killed.append(std::to_string(++seen[call])).append(" ").append(run);
    run_command(killed, scratch);
    std::string kept;
    for (const auto& copy : testing::undo_copies_in({dir.path(""), state + "/pairset"})) {
      kept = read_file(copy.string());
    }
    const std::string now = std::filesystem::exists(target) ? read_file(target) : "";
    const bool whole_copy =
        kept.ends_with(kUndoTrailer) && testing::old_contents_in(kept) == previous;
    EXPECT_TRUE(now == previous || now == result || whole_copy)
        << "killed at call " << i << ", " << call << ": the old contents are lost";
    // A source that already is the result is converted: the same command again rightly finds no
    // .cn1 file in it, and leaves no copy behind.
    if (source_is_target && now == result) {
      run_command(command + run, scratch);
      EXPECT_EQ(read_file(target), result) << "after call " << i << ", " << call;
      EXPECT_EQ(testing::file_names(dir), names) << "after call " << i << ", " << call;
      continue;
    }

    const Outcome again = run_command(command + run, scratch);
    EXPECT_EQ(again.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
        << "after call " << i << ", " << call;
    EXPECT_EQ(read_file(target), result) << "after call " << i << ", " << call;
    if (!source_is_target) {
      EXPECT_EQ(read_file(dir.path("in.cn1")), input);
    }
    EXPECT_EQ(read_file(dir.path("out.cn1")), output);
    // The old target that a kill between the exchange and its check left at the new file's name
    // proves nothing of itself, and is kept for a person to delete.
    std::vector<std::string> left = testing::file_names(dir);
    std::erase_if(left, [&](const std::string& name) {
      return name.starts_with(".target.c13.pairset-") && read_file(dir.path(name)) == previous;
    });
    EXPECT_EQ(left, names) << "after call " << i << ", " << call;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(state)) {
      EXPECT_TRUE(entry.is_directory()) << entry.path() << " is left after call " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Linux, EveryCutTest,
    ::testing::Values(EveryCutCase{"in_place_longer_result", "target.c13", true, 100},
                      EveryCutCase{"in_place_shorter_result", "target.c13", true, 9000},
                      EveryCutCase{"in_place_under_a_source", "in.cn1", true},
                      EveryCutCase{"replaced", "target.c13", false, 100},
                      EveryCutCase{"new_target", "target.c13", false}),
    testing::kRowLabel);

// A file is known by its device and its inode together: the first files of two new ext4 file
// systems have the same inode number, and standard output on one is not the target on the other.
TEST(PairsetExecutable, SameInodeOnAnotherFileSystemIsAnotherFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file-system image needs root";
  TempDir dir;
  TempDir scratch;
  std::filesystem::create_directory(dir.path("a"));
  std::filesystem::create_directory(dir.path("b"));
  const SmallFileSystem first("ext4", scratch.path("a.img"), dir.path("a"));
  const SmallFileSystem second("ext4", scratch.path("b.img"), dir.path("b"));
  if (!first.mounted() || !second.mounted()) GTEST_SKIP() << "cannot make and mount ext4";
  const std::string input = testing::cn1_file("IN", "input body");
  const std::string output = testing::cn1_file("OUT", "output body");
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("a/log"), "earlier\n");
  testing::write_file(dir.path("b/t.c13"), "previous");
  struct stat log {};
  struct stat target {};
  ASSERT_EQ(stat(dir.path("a/log").c_str(), &log), 0);
  ASSERT_EQ(stat(dir.path("b/t.c13").c_str(), &target), 0);
  if (log.st_ino != target.st_ino) GTEST_SKIP() << "the two first files differ in inode number";

  run_command(
      pairset_command(quoted({dir.path("in.cn1"), dir.path("out.cn1"), dir.path("b/t.c13")})) +
          " >>\"" + dir.path("a/log") + "\"",
      scratch);

  EXPECT_EQ(read_file(dir.path("a/log")),
            "earlier\n" + std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(read_file(dir.path("b/t.c13")),
            testing::c13_file(name_field("IN"), "input body", "output body"));
}

// A file system that comes back under another device number (btrfs gives each mount one of its
// own, and a tmpfs mounted in between takes the one it had) is still the same file system: a run
// cut in place on it is put right by the same command after the remount, from beside the target
// and from the state folder (where the target's folder, made immutable, takes no copy). This
// cuts a run on a btrfs image, mounts the image again and runs the same command again.
void cut_remount_and_run_again(const std::string& type, bool in_the_state_folder,
                               bool source_as_target) {
  TempDir dir;
  TempDir scratch;
  const std::string image = scratch.path("image");
  const std::string mounted = dir.path("mounted");
  const std::string between = dir.path("between");
  std::filesystem::create_directory(mounted);
  std::filesystem::create_directory(between);
  std::filesystem::create_directory(scratch.path("state"));
  const auto shell = [](const std::string& command) {
    return std::system(command.c_str()) == 0;  // NOLINT(cert-env33-c)
  };
  const std::string mount = "mount -o loop \"" + image + "\" \"" + mounted + "\"";
  // XFS takes no less than 300 MiB; the image is sparse.
  if (!shell("truncate -s 320M \"" + image + "\" && mkfs." + type + " -q \"" + image +
             "\" >/dev/null 2>&1 && " + mount)) {
    GTEST_SKIP() << "cannot make and mount " << type;
  }
  // Unmounted, the folder made mutable again and the loop device taken meanwhile let go, on every
  // way out, a failed assertion's too.
  const std::string taker = scratch.path("taker");
  struct Unmount {
    std::string unit, mounted, between, taker;
    ~Unmount() {
      static_cast<void>(umount2(mounted.c_str(), MNT_DETACH));
      static_cast<void>(umount2(between.c_str(), MNT_DETACH));
      static_cast<void>(std::system(  // NOLINT(cert-env33-c)
          ("chattr -i \"" + unit + "\" 2>/dev/null; for d in $(losetup -n -O NAME -j \"" + taker +
           "\"); do losetup -d $d; done")
              .c_str()));
    }
  } const unmount{mounted + "/unit", mounted, between, taker};
  // Of a result the in-place write gives in two calls, cut between them: torn.
  const std::string input = testing::cn1_file("IN", std::string(kTwoWrites, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(kTwoWrites, 'o'));
  const std::string unit = mounted + "/unit";
  std::filesystem::create_directory(unit);
  const std::string source = source_as_target ? unit + "/in.cn1" : dir.path("in.cn1");
  testing::write_file(source, input);
  testing::write_file(dir.path("out.cn1"), output);
  const std::string target = source_as_target ? source : unit + "/target.c13";
  if (!source_as_target) testing::write_file(target, "previous");
  std::filesystem::create_hard_link(target, unit + "/second-name");
  if (in_the_state_folder) {
    ASSERT_TRUE(shell("chattr +i \"" + unit + "\""));
  }
  const std::string state = "export XDG_STATE_HOME=\"" + scratch.path("state") + "\"; ";
  const std::string command = pairset_command(quoted({source, dir.path("out.cn1"), target}));
  struct stat before {};
  ASSERT_EQ(stat(target.c_str(), &before), 0);

  run_command(state + "strace -o /dev/null -e inject=pwrite64:signal=KILL:when=2 " + command,
              scratch);
  const std::string copies = in_the_state_folder ? scratch.path("state/pairset") : unit;
  const auto copy_count = [&copies] { return testing::undo_copies_in({copies}).size(); };
  EXPECT_EQ(copy_count(), 1U) << in_the_state_folder;
  ASSERT_EQ(umount2(mounted.c_str(), 0), 0);
  // Another device number: btrfs takes the next anonymous one, which a tmpfs mount takes first;
  // XFS takes its loop device's, and another file takes the loop device it had.
  ASSERT_TRUE(shell("mount -t tmpfs none \"" + between + "\" && truncate -s 1M \"" + taker +
                    "\" && losetup -f \"" + taker + "\" && " + mount));
  struct stat after {};
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_NE(after.st_dev, before.st_dev) << "the device number came back the same";
  const Outcome outcome = run_command(state + command, scratch);

  EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
      << in_the_state_folder;
  EXPECT_EQ(read_file(target),
            testing::c13_file(name_field("IN"), input.substr(59), output.substr(59)))
      << in_the_state_folder;
  EXPECT_EQ(copy_count(), 0U) << in_the_state_folder;
}

// On btrfs the file system's identity is its UUID; on XFS it follows the device number, so a copy
// in the state folder is known by the inode, its generation and birth alone.
TEST(PairsetExecutable, CutInPlaceIsPutRightAfterARemountUnderAnotherDevice) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file-system image needs root";
  if (!installed("strace") || !installed("chattr")) GTEST_SKIP() << "needs strace and chattr";
  for (const char* type : {"btrfs", "xfs"}) {
    SCOPED_TRACE(type);
    cut_remount_and_run_again(type, false, false);
    cut_remount_and_run_again(type, true, false);
    cut_remount_and_run_again(type, true, true);
  }
}

// The target is looked up once, before any source is read, and the file found then is the one
// written: a symbolic link put at its name meanwhile (in a sticky folder, by another user, where
// fs.protected_symlinks is off) is not followed to the file it leads to.
TEST(PairsetExecutable, LinkPutAtTheNameAfterTheStartIsNotFollowed) {
  if (!installed("strace")) GTEST_SKIP() << "no strace to delay the run";
  TempDir dir;
  const std::string input = testing::cn1_file("IN", "input body");
  const std::string output = testing::cn1_file("OUT", "output body");
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("target.c13"), "previous");
  testing::write_file(dir.path("victim"), "someone else's");
  // Delayed as it opens the output source, after the target was looked up and restored.
  const Outcome outcome = run_command(
      "cd \"" + dir.path("") + "\" || exit\n" +
          "strace -o trace -P out.cn1 -e trace=openat -e inject=openat:delay_enter=1000000 " +
          pairset_command(quoted({"in.cn1", "out.cn1", "target.c13"})) + " & s=$!\n" +
          "for i in $(seq 1000); do grep -q out.cn1 trace && break; sleep 0.01; done\n" +
          "mv target.c13 moved.c13 && ln -s victim target.c13\nwait $s; rm trace",
      dir);

  EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(read_file(dir.path("victim")), "someone else's");
  EXPECT_EQ(read_file(dir.path("moved.c13")),
            testing::c13_file(name_field("IN"), "input body", "output body"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path("target.c13")));
}

// A run's new file stays locked from its making until it has the target's name: a second run that
// starts while the first is delayed at its rename (and only sweeps, its input being missing)
// leaves it, and the first puts it in place.
TEST(PairsetExecutable, SecondRunLeavesTheNewFileOfARunAboutToRename) {
  if (!installed("strace")) GTEST_SKIP() << "no strace to delay the rename";
  for (const bool existing : {true, false}) {
    TempDir dir;
    testing::write_file(dir.path("in.cn1"), testing::cn1_file("IN", "input body"));
    testing::write_file(dir.path("out.cn1"), testing::cn1_file("OUT", "output body"));
    if (existing) testing::write_file(dir.path("target.c13"), "previous");
    struct stat before {};
    if (existing) {
      ASSERT_EQ(stat(dir.path("target.c13").c_str(), &before), 0);
    }
    const Outcome outcome = run_command(
        "cd \"" + dir.path("") + "\" || exit\n" +
            "strace -o trace -e trace=renameat,renameat2 "
            "-e inject=renameat,renameat2:delay_enter=1000000:when=1 " +
            pairset_command(quoted({"in.cn1", "out.cn1", "target.c13"})) + " >first & s=$!\n" +
            "for i in $(seq 1000); do grep -q rename trace && break; sleep 0.01; done\n" +
            pairset_command(quoted({"missing.cn1", "out.cn1", "target.c13"})) +
            " >/dev/null\nwait $s; cat first; rm trace first",
        dir);

    EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
        << existing;
    EXPECT_EQ(read_file(dir.path("target.c13")),
              testing::c13_file(name_field("IN"), "input body", "output body"))
        << existing;
    struct stat after {};
    ASSERT_EQ(stat(dir.path("target.c13").c_str(), &after), 0);
    // Replaced, not written in place for want of its new file.
    if (existing) {
      EXPECT_NE(after.st_ino, before.st_ino);
    }
  }
}

// What a power cut in the middle of an in-place write can find on the disk depends on the order
// in which things reach it, which no kill shows: read off a trace of the run, by the files the
// calls are made on. The undo copy and its name are on the disk before the target changes, the
// whole result before the copy's removal, and that removal before success is told.
TEST(PairsetExecutable, InPlaceWriteReachesTheDiskInOrder) {
  if (!installed("strace")) GTEST_SKIP() << "no strace to trace the run";
  TempDir dir;
  testing::write_file(dir.path("in.cn1"), testing::cn1_file("IN", std::string(60'000, 'i')));
  testing::write_file(dir.path("out.cn1"), testing::cn1_file("OUT", std::string(60'000, 'o')));
  testing::write_file(dir.path("target.c13"), "previous");
  std::filesystem::create_hard_link(dir.path("target.c13"), dir.path("second-name"));
  const std::string folder = dir.path("");
  const std::string target = dir.path("target.c13");
  const Outcome outcome = run_command(
      "strace -y -o \"" + dir.path("trace") +
          "\" -e "
          "trace=write,pwrite64,copy_file_range,fallocate,ftruncate,fsync,fdatasync,unlinkat " +
          pairset_command(quoted({dir.path("in.cn1"), dir.path("out.cn1"), target})),
      dir);
  ASSERT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  std::vector<std::string> calls;
  std::istringstream trace(read_file(dir.path("trace")));
  for (std::string line; std::getline(trace, line);) calls.push_back(line);

  // Gives the index of the first (or last) call that starts with `call` and names `file`
  // (strace -y shows each descriptor's file as <path>), or -1.
  const auto find = [&calls](std::string_view call, const std::string& file, bool last) {
    long found = -1;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].starts_with(call) && calls[i].find(file) != std::string::npos) {
        found = static_cast<long>(i);
        if (!last) break;
      }
    }
    return found;
  };
  const std::string copy = "<" + target + ".pairset-undo>";
  const std::string the_folder = "<" + folder.substr(0, folder.size() - 1) + ">";
  const std::string the_target = "<" + target + ">";
  const long copy_flushed = find("fsync(", copy, false);
  const long copy_named = find("fsync(", the_folder, false);
  long target_changed = static_cast<long>(calls.size());
  for (const char* change : {"fallocate(", "pwrite64(", "ftruncate(", "copy_file_range("}) {
    const long at = find(change, the_target, false);
    if (at >= 0) target_changed = std::min(target_changed, at);
  }
  const long result_flushed = find("fsync(", the_target, true);
  const long copy_removed = find("unlinkat(", ".pairset-undo\"", false);
  const long removal_flushed = find("fsync(", the_folder, true);
  const long success_told = find("write(1", "", true);
  struct Step {
    const char* what;
    long earlier;
    long later;
  };
  for (const Step& step :
       {Step{"the copy flushed before its name", copy_flushed, copy_named},
        Step{"the copy's name before the target changes", copy_named, target_changed},
        Step{"the target changes", target_changed, result_flushed},
        Step{"the result flushed before the copy's removal", result_flushed, copy_removed},
        Step{"the removal flushed after it", copy_removed, removal_flushed},
        Step{"the removal flushed before success is told", removal_flushed, success_told}}) {
    EXPECT_GE(step.earlier, 0) << step.what;
    EXPECT_LT(step.earlier, step.later) << step.what;
  }
}

// A file put at the target's name while the new file is being renamed into place (the rename
// delayed by a second): for an existing target it is left as it is, and the file opened is
// written in place instead; for a new target it is taken for the existing target it now is, and
// replaced as such, keeping its rights, never overwritten blindly.
TEST(PairsetExecutable, FilePutAtTheNameDuringTheRenameIsNotOverwritten) {
  if (!installed("strace")) GTEST_SKIP() << "no strace to delay the rename";
  for (const bool existing : {true, false}) {
    TempDir dir;
    const std::string input = testing::cn1_file("IN", "input body");
    const std::string output = testing::cn1_file("OUT", "output body");
    testing::write_file(dir.path("in.cn1"), input);
    testing::write_file(dir.path("out.cn1"), output);
    if (existing) testing::write_file(dir.path("target.c13"), "previous");
    const std::string trace = dir.path("trace");
    const Outcome outcome = run_command(
        "cd \"" + dir.path("") + "\" || exit\n" +
            "strace -o trace -e trace=renameat,renameat2 "
            "-e inject=renameat,renameat2:delay_enter=1000000:when=1 " +
            pairset_command(quoted({"in.cn1", "out.cn1", "target.c13"})) + " & s=$!\n" +
            "for i in $(seq 1000); do grep -q rename trace && break; sleep 0.01; done\n" +
            "rm -f target.c13; (umask 077; echo another >intruder); mv intruder target.c13\n" +
            "wait $s; rm trace",
        dir);

    const std::string result = testing::c13_file(name_field("IN"), "input body", "output body");
    EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
        << existing;
    struct stat info {};
    ASSERT_EQ(stat(dir.path("target.c13").c_str(), &info), 0);
    EXPECT_EQ(read_file(dir.path("target.c13")), existing ? "another\n" : result) << existing;
    EXPECT_EQ(info.st_mode & 0777, 0600U) << existing;
    EXPECT_EQ(testing::file_names(dir),
              (std::vector<std::string>{"in.cn1", "out.cn1", "stderr.txt", "target.c13"}))
        << existing;
  }
}

// A folder that takes new files but lets none be renamed or removed (chattr +a): an existing
// target is written in place and a new one made directly, so that no file is left beside them,
// and the undo copy goes to the state folder.
TEST(PairsetExecutable, AppendOnlyFolderGetsNoFileBesideTheTarget) {
  if (geteuid() != 0 || !installed("chattr")) GTEST_SKIP() << "setting chattr +a needs root";
  TempDir dir;
  TempDir scratch;
  const std::string input = testing::cn1_file("IN", "input body");
  const std::string output = testing::cn1_file("OUT", "output body");
  testing::write_file(scratch.path("in.cn1"), input);
  testing::write_file(scratch.path("out.cn1"), output);
  testing::write_file(dir.path("existing.c13"), "previous");
  struct stat before {};
  ASSERT_EQ(stat(dir.path("existing.c13").c_str(), &before), 0);
  const std::string folder = dir.path("");
  if (run_command("chattr +a \"" + folder + "\"", scratch).status != 0) {
    GTEST_SKIP() << "this file system keeps no append-only flag";
  }
  // Taken off again on every way out, or the folder could not be removed.
  struct AppendOnlyUntilScopeEnds {
    const std::string& folder;
    const TempDir& scratch;
    ~AppendOnlyUntilScopeEnds() { run_command("chattr -a \"" + folder + "\"", scratch); }
  } append_only{folder, scratch};

  const std::string state = "XDG_STATE_HOME=\"" + scratch.path("state") + "\" ";
  for (const char* target : {"existing.c13", "new.c13"}) {
    const Outcome outcome = run_command(
        state + pairset_command(
                    quoted({scratch.path("in.cn1"), scratch.path("out.cn1"), dir.path(target)})),
        scratch);
    EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
        << target;
    EXPECT_EQ(read_file(dir.path(target)),
              testing::c13_file(name_field("IN"), "input body", "output body"));
  }
  struct stat after {};
  ASSERT_EQ(stat(dir.path("existing.c13").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(testing::file_names(dir), (std::vector<std::string>{"existing.c13", "new.c13"}));
}

// Where /proc is not the kernel's, the target is reached by the name it was given, and only where
// that still gives the file opened: with none mounted, and in a root whose /proc is a plain folder
// with self/fd/N leading to another file, the named file gets the result, replaced or written in
// place, and the other file is untouched.
TEST(PairsetExecutable, WithoutTheKernelsProcTheNamedFileIsWritten) {
#ifdef PAIRSET_DYNAMICALLY_LINKED
  GTEST_SKIP() << "a chroot of the program alone needs it linked statically";
#else
  if (geteuid() != 0 || !installed("unshare")) GTEST_SKIP() << "needs root to hide /proc";
  for (const bool fake : {false, true}) {
    for (const bool in_place : {false, true}) {
      TempDir root;
      std::filesystem::copy_file(testing::executable_under_test(), root.path("pairset"));
      testing::write_file(root.path("in.cn1"), testing::cn1_file("IN", "input body"));
      testing::write_file(root.path("out.cn1"), testing::cn1_file("OUT", "output body"));
      testing::write_file(root.path("t.c13"), "previous");
      testing::write_file(root.path("victim"), "victim");
      if (in_place) std::filesystem::create_hard_link(root.path("t.c13"), root.path("t-link"));
      std::string command;
      if (fake) {
        std::filesystem::create_directories(root.path("proc/self/fd"));
        for (int number = 0; number < 10; ++number) {
          std::filesystem::create_symlink("/victim",
                                          root.path("proc/self/fd/" + std::to_string(number)));
        }
        command = "exec chroot \"" + root.path("") + "\" /pairset /in.cn1 /out.cn1 /t.c13";
      } else {
        command = "exec unshare -m sh -c 'umount -l /proc && exec \"$0\" \"$@\"' " +
                  quoted({root.path("pairset"), root.path("in.cn1"), root.path("out.cn1"),
                          root.path("t.c13")});
      }

      const Outcome outcome = run_command(command, root);

      EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()))
          << fake << in_place << outcome.err;
      EXPECT_EQ(read_file(root.path("t.c13")),
                testing::c13_file(name_field("IN"), "input body", "output body"))
          << fake << in_place;
      EXPECT_EQ(read_file(root.path("victim")), "victim") << fake << in_place;
      std::vector<std::string> names = {"in.cn1",     "out.cn1", "pairset",
                                        "stderr.txt", "t.c13",   "victim"};
      if (fake) names.insert(names.begin() + 3, "proc");
      if (in_place) names.insert(names.end() - 2, "t-link");
      EXPECT_EQ(testing::file_names(root), names) << fake << in_place;
    }
  }
#endif
}

// A FIFO put in a sticky folder anyone may write by a third user, for this one to write: refused
// at once, as the kernel's fs.protected_fifos refuses `cat >`, rather than fed the result.
TEST(PairsetExecutable, FifoPlantedInAStickyFolderIsRefused) {
  if (geteuid() != 0 || !installed("setpriv")) GTEST_SKIP() << "needs root to plant the FIFO";
  TempDir dir;
  TempDir scratch;
  testing::write_file(scratch.path("in.cn1"), testing::cn1_file("IN", "i"));
  testing::write_file(scratch.path("out.cn1"), testing::cn1_file("OUT", "o"));
  const std::string executable = scratch.path("pairset");
  std::filesystem::copy_file(testing::executable_under_test(), executable);
  ASSERT_EQ(chmod(scratch.path("").c_str(), 0755), 0);
  for (const char* name : {"in.cn1", "out.cn1", "pairset"}) {
    ASSERT_EQ(chmod(scratch.path(name).c_str(), 0755), 0);
  }
  const std::string fifo = dir.path("t.c13");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  ASSERT_EQ(chown(fifo.c_str(), 4321, 4321), 0);
  ASSERT_EQ(chmod(fifo.c_str(), 0666), 0);  // writable by all, whatever the umask left
  ASSERT_EQ(chmod(dir.path("").c_str(), 01777), 0);

  // A reader waits on the FIFO for a second: whatever is written reaches the file "fed".
  const Outcome outcome = run_command(
      "timeout 1 cat \"" + fifo + "\" >\"" + scratch.path("fed") + "\" & " +
          "setpriv --reuid=65534 --regid=65534 --clear-groups " +
          quoted({executable, scratch.path("in.cn1"), scratch.path("out.cn1"), fifo}) + "; wait",
      scratch);

  EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) + fifo + "'\n");
  EXPECT_EQ(read_file(scratch.path("fed")), "");
}

// A run stopped in the middle of an in-place write is alive and has its undo copy locked: a run on
// the same target meanwhile leaves the copy as it is, and the first, continued, ends with the whole
// result and no copy.
TEST(PairsetExecutable, StoppedRunKeepsItsUndoCopy) {
  if (!installed("strace")) GTEST_SKIP() << "no strace to stop the first run";
  TempDir dir;
  // A result the in-place write gives in two calls.
  const std::string input = testing::cn1_file("IN", std::string(kTwoWrites, 'i'));
  const std::string output = testing::cn1_file("OUT", std::string(kTwoWrites, 'o'));
  testing::write_file(dir.path("in.cn1"), input);
  testing::write_file(dir.path("out.cn1"), output);
  testing::write_file(dir.path("target.c13"), "previous");
  std::filesystem::create_hard_link(dir.path("target.c13"), dir.path("second-name"));
  const std::string copy = dir.path("target.c13.pairset-undo");
  const std::string result_size = std::to_string(2 * kTwoWrites + 75);
  const auto run = [&dir](const char* source) {
    return pairset_command(quoted({dir.path(source), dir.path("out.cn1"), dir.path("target.c13")}));
  };

  // The first run stops itself at its second write; the second runs once it is stopped.
  const Outcome outcome = run_command(
      "cd \"" + dir.path("") +
          "\" || exit\nstrace -o /dev/null -e inject=pwrite64:signal=STOP:when=2 " + run("in.cn1") +
          " >first.out & s=$!\n" +
          // Stopped once its copy exists and the target has the result's length: room for
          // the result is made just before the first write, and it stops at the second.
          "for i in $(seq 1000); do [ -e target.c13.pairset-undo ] && "
          "[ $(stat -c %s second-name) -eq " +
          result_size +
          " ] && break; sleep 0.01; done\n"
          "c=$(cat /proc/$s/task/$s/children)\n"
          "cksum <target.c13.pairset-undo >before.sum\ntimeout 10 " +
          run("missing.cn1") + "\ncksum <target.c13.pairset-undo >after.sum\n" +
          "kill -CONT ${c% }; wait $s",
      dir);

  EXPECT_EQ(outcome.out, std::string(cp866::bytes<u8"\nНе могу открыть файл '">()) +
                             dir.path("missing.cn1") + "'\n");
  EXPECT_NE(read_file(dir.path("before.sum")), "");
  EXPECT_EQ(read_file(dir.path("after.sum")), read_file(dir.path("before.sum")));
  EXPECT_EQ(read_file(dir.path("first.out")),
            std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">()));
  EXPECT_EQ(read_file(dir.path("second-name")),
            testing::c13_file(name_field("IN"), input.substr(59), output.substr(59)));
  EXPECT_FALSE(std::filesystem::exists(copy));
}

// Two runs that write one file in place at once follow each other: the first, slowed down in the
// middle of its writing, locks the file until it is whole, and the second, started once the
// first has the lock, then writes its own result whole.
TEST(PairsetExecutable, TwoRunsInPlaceFollowEachOther) {
  if (!installed("strace")) GTEST_SKIP() << "no strace to slow the first run down";
  TempDir dir;
  const std::string first = testing::cn1_file("FIRST", std::string(1'000'000, 'f'));
  const std::string second = testing::cn1_file("SECOND", "s");
  testing::write_file(dir.path("first.cn1"), first);
  testing::write_file(dir.path("second.cn1"), second);
  testing::write_file(dir.path("target.c13"), "previous");
  std::filesystem::create_hard_link(dir.path("target.c13"), dir.path("second-name"));
  const auto run = [&dir](const char* source) {
    return pairset_command(quoted({dir.path(source), dir.path(source), dir.path("target.c13")}));
  };

  // The second run starts once strace has seen the first change its first byte (at most 10 s
  // later), while the first is delayed for a second before its next write.
  const std::string trace = dir.path("trace");
  const Outcome outcome =
      run_command("strace -o \"" + trace +
                      "\" -e trace=pwrite64 -e inject=pwrite64:delay_enter=1000000:when=2 " +
                      run("first.cn1") + " & for i in $(seq 1000); do grep -q pwrite64 \"" + trace +
                      "\" 2>/dev/null && break; sleep 0.01; done; " + run("second.cn1") + "; wait",
                  dir);

  const std::string success(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">());
  EXPECT_EQ(outcome.out, success + success);
  EXPECT_EQ(read_file(dir.path("target.c13")),
            testing::c13_file(name_field("SECOND"), second.substr(59), second.substr(59)));
}

}  // namespace
}  // namespace pairset
