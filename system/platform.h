// What files are on each system: how a path from the command line opens, how a new file is made
// beside a target and put in its place, how a file is written in place, how both reach the disk,
// and how the endings the user or the system asks for (signals, console events) wait for a file
// to be whole or removed. The layers above system/ see none of it: only files.h, outcome.h, and
// the target as target_output.h's FoundTarget, which holds the Target of this header.
//
// What each file of system/ holds. Each system's half stands in files of its own, one concern
// each, named alike on both (NAME_linux.cc, NAME_windows.cc); CMakeLists.txt picks them.
//   target_*         the target as the command line names it, opened once
//   place_*.h        where a target and an undo copy are, as only their own system reads it
//   new_file_*       the new file beside a target, put in its place or removed; a new file that a
//                    run cut short left behind, cleared
//   in_place_*       writing a file in place: reopened, locked against other runs, given room
//   undo_*           where an undo copy is made, found, trusted, set aside and removed
//   endings_*        signals and console events, which wait while a file is in flight
//   platform_*       buffers, plain reads and writes, the kernel's copy, the preparations of a
//                    run, and on Windows the wide spelling of each argument
//   console_*        how the texts reach the screen (console.h)
//   held_file_linux  the open-file-description lock that tells a live run's file from a left one
//   open_file_*      what a system's files share: a file reached through its descriptor (Linux),
//                    a file no other program can keep, a handle and a file's length (Windows)
//   access_windows   the owner and access list of a file, by whom a file found is trusted
//   device_name_windows.h, attributes_windows.h  the names Windows takes for devices; the
//                    attributes a replaced target keeps
// And, the same on every system:
//   target_output    how a target reaches the disk: replaced, written in place or made
//   undo_copy        the undo copy's header and trailer, and putting old contents back
//   buffer_copy      copying between files through one buffer
//   file_names.h     the names of the files a run makes beside a target
//   retry.h          the bounded wait for another program or run to let go of a file
//   files.h          what the layers above read files with: the part of this header they see
//   outcome.h        what an operation came to, one vocabulary from a system call to the message
#ifndef PAIRSET_SYSTEM_PLATFORM_H_
#define PAIRSET_SYSTEM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "system/files.h"
#include "system/outcome.h"
// Each system's own part of the types below.
#ifdef _WIN32
#include "system/place_windows.h"
#else
#include "system/place_linux.h"
#endif

namespace pairset::platform {

// Gives the size of the file behind `descriptor`, or nothing when it cannot be told.
std::optional<std::uint64_t> file_size(int descriptor);

// What the target named on the command line turned out to be when it was opened.
enum class TargetKind {
  kCannotOpen,  // it may not be written, its folder does not exist, or it is a stream the
                // process holds for reading only (/dev/stdin from a file)
  kMissing,     // nothing has the name; a new file is to be made where `place` says
  kCreated,     // it was made empty just now (a symbolic link that led nowhere, a name whose new
                // file would not fit) and is written directly; removed again if that fails
  kStream,      // a device, a FIFO or pipe, the process's standard output or error, or a file
                // a descriptor's own name reaches: `file` writes to it directly
  kRegular,     // an existing regular file, held by `file`
};

// The target as opened once. Every later decision (replace it, write it in place, write to it
// directly) is made on this file, never on a second reading of its name: a link swapped in
// meanwhile, or another spelling of the same name, cannot make the run write another file.
struct Target {
  TargetKind kind = TargetKind::kCannotOpen;
  // The file opened. Linux: for a regular file a handle that neither reads nor writes (so a
  // watcher sees no write where none happens); for a stream its writing descriptor. Windows:
  // the file opened for writing.
  Descriptor file;
  // The process's own standard output: a reader that leaves ends the run, as it always has.
  bool is_standard_output = false;
  // Where it is, as its own system reaches it (place_linux.h, place_windows.h).
  TargetPlace place;
};

// Gives the target's own name, without its folder.
std::filesystem::path file_name_of(const Target& target);

// Opens the target at `path` (a command-line argument) once and tells what it is. Where `found`
// is the regular file look_up_target found there earlier in the run, it is that file, whatever
// has the name now (on Linux; Windows opens the name again).
Target open_target(const char* path, Target found = {});

// Looks the target at `path` (a command-line argument) up as open_target does, but makes nothing
// and opens no stream: kind kRegular for a regular file, kMissing (with its `place`) where
// nothing has the name, kCannotOpen otherwise.
Target look_up_target(const char* path);

// What tells one file from every other while it exists: its device and inode (on Windows the
// volume's serial number and the file's index).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Gives the identity of the open file `descriptor`, or nothing when it cannot be told.
std::optional<FileIdentity> identity_of(int descriptor);

// Gives the identity of the file at `path` (a command-line argument) as it is now, or nothing
// where nothing opens there.
std::optional<FileIdentity> identity_at(const char* path);

// What names one file across remounts and restarts, but not a file that took its number after
// it was deleted: the file system's own identity and the file's number in it, and what tells
// one holder of that number from the next.
struct FileOrigin {
  std::uint64_t file_system = 0;  // Linux: f_fsid; Windows: the volume's serial number
  std::uint64_t inode = 0;        // Windows: the file's index
  std::uint64_t generation = 0;   // the inode's generation; 0 where the file system keeps none
  std::uint64_t birth = 0;        // when the file was made, in ns; 0 where unknown (Windows)
  bool operator==(const FileOrigin&) const = default;
};

// Gives the origin of the open file `descriptor` (its generation only where it is open to read
// or write), or nothing when it cannot be told.
std::optional<FileOrigin> origin_of(int descriptor);

// An undo copy of a target written in place, open and held for this run.
struct UndoCopy {
  Descriptor file;            // open for reading and writing, held against other runs until closed
  CopyPlace place;            // where it is (place_linux.h, place_windows.h)
  bool beside_target = true;  // else in the state folder
  // The runner's own (undo_linux.cc, undo_windows.cc say what that is), in a folder that is the
  // target's own or the runner's private state folder: only such a copy is ever put back or
  // removed.
  bool trusted = true;
};

// Makes a new, empty undo copy for the existing `target` (kRegular) whose origin is `origin`,
// exclusively, held for this run, that only its owner may read or write (the runner, or for a
// run as root on Linux the target's owner): NAME.pairset-undo beside it where its folder takes a
// new file, else in the user's state folder ($XDG_STATE_HOME/pairset or ~/.local/state/pairset; on
// Windows %LOCALAPPDATA%\pairset), where it is the runner's own and no one else may write, under a
// name made of `origin`. Gives true, or false with errno set.
bool create_undo_copy(const Target& target, const FileOrigin& origin, UndoCopy& copy);

// Moves a copy that is not to go into the file that has its name now (that file is gone, another
// or changed since) out of the way, under a name that says so (NAME.pairset-stale, numbered where
// that is taken), for a person to look at; gives true once it is.
bool set_aside_undo_copy(UndoCopy& copy);

// Makes the copy's name survive a power cut as well as the system allows: gives true once it
// does.
bool sync_undo_folder(const UndoCopy& copy);

// Removes the copy and makes its removal survive a power cut as well as the system allows; gives
// true once both are done. A copy that could not be removed stays open (on Windows, is opened
// again), so that the old contents can be put back.
bool remove_undo_copy(UndoCopy& copy);

// Gives the undo copies that runs cut short may have left for `target` (kRegular, origin
// `origin`): beside it, and in the state folder; for a missing target (kMissing) only those
// beside its name, trusted where they are the runner's or root's. Each is open for reading (and
// writing, where the runner may) and held for this run, and says whether it may be trusted; one
// that a live run holds is left out, and so is the state folder where it is not the runner's
// private one.
std::vector<UndoCopy> find_undo_copies(const Target& target, const FileOrigin& origin);

// Removes the new files that runs on `target` left beside it and that no live run holds (on
// Windows: that no program has open and that nothing has written for ten minutes).
void clear_abandoned_files(const Target& target);

// Makes the missing `target` itself, empty and exclusively, for writing directly where no new
// file can stand beside it (a name that would not fit); sets kind kCreated and `file`, or gives
// false with errno set.
bool create_target(Target& target);

// Ends the run's hold on a target it made (kCreated): closes it, and removes it again unless it
// was `written` whole and closed cleanly, since it held nothing before. Gives true when it stands
// written.
bool settle_created(Target& target, bool written);

// Creates a new, empty file with a unique name (.NAME.pairset-XXXXXX, NAME cut where the whole
// would be too long) in the target's folder, exclusively, that can take the place of the
// existing target (kRegular) as the same file: its owner and group, permissions, extended
// attributes and ACL entries (on Windows its attributes); or, for a missing target, with the
// rights that creating the target would give it. Sets `temporary` where it made one. Until
// replace_file or remove_file, every ending signal (console event) removes the file first.
struct NewFileMade {
  int descriptor = -1;  // the new file, or -1
  // Where there is none: no new file can take the target's place (a folder that takes no new
  // file, a target with more than one link, an owner or attribute that does not copy, a name too
  // long), so that the target is to be written in place, or made directly; rather than that the
  // making failed.
  bool refused = false;
};
NewFileMade create_replacement(const Target& target, std::filesystem::path& temporary);

// Opens the existing target (kRegular) for reading and writing (for writing alone where it may
// not be read) without emptying it: gives its descriptor, or -1.
int open_for_update(Target& target);

// How long a run waits for another program: a run or a program that holds the target locked, a
// reader for a FIFO. Past it the target is not written, and the run says it cannot open it.
inline constexpr int kLongestWaitMilliseconds = 5000;

// Holds the file at `descriptor` exclusively until the descriptor is closed, once no other run or
// program holds it (two runs writing one file in place then follow each other); gives false
// where it is still held after kLongestWaitMilliseconds. A file system that keeps no locks is
// written without one.
bool lock_exclusively(int descriptor);

// Gives true once the existing target (kRegular) is held by no lock of another program, or
// false where it still is after kLongestWaitMilliseconds: a target is replaced only when it
// could be written in place, so that both ways treat a locked target alike.
bool wait_until_unlocked(const Target& target);

// Writes all of `bytes` at the descriptor's position and gives true when every byte was taken.
bool write_all(int descriptor, std::span<const char> bytes);

// Writes all of `bytes` at `offset` and gives true when every byte was taken.
bool write_at(int descriptor, std::uint64_t offset, std::span<const char> bytes);

// Copies `size` bytes of the file `from`, from `from_offset`, to `to`: at `to_offset` where it is
// given, else at the descriptor's position. On Linux the kernel copies them (copy_file_range)
// where it can and where they keep their offset within a page; otherwise they pass through one
// buffer of up to 1 MiB, however many there are. Gives kReadError where `from` could not be read
// or ended before `size` bytes, kWriteError where `to` did not take them, kOutOfMemory where the
// buffer could not be had.
Failure copy_range(int from, std::uint64_t from_offset, int to,
                   std::optional<std::uint64_t> to_offset, std::uint64_t size);

// Gives true when a file may be replaced by a rename while this process still reads it (Linux);
// false where an open file keeps its name (Windows).
bool replaces_open_files();

// Makes sure that writing the file at `descriptor` in place to `size` bytes, and putting its
// present contents back after a failure, cannot run out of space; gives false when there is no
// room (a full disk, a file-size limit). May lengthen the file; the caller cuts it back.
bool reserve(int descriptor, std::uint64_t size);

// Sets the file's length to `size` and gives true.
bool truncate(int descriptor, std::uint64_t size);

// Gives true once everything written to the descriptor is on the disk (a device or a FIFO keeps
// nothing to sync).
bool flush_to_disk(int descriptor);

enum class Replacement {
  kReplaced,   // `temporary` now stands in place of the target
  kRefused,    // the folder or another program would not let it, or the name no longer names the
               // file opened; both are as they were
  kFailed,     // any other failure; both are as they were
  kNameTaken,  // a file took the missing target's name meanwhile, and stays: an existing target
};

// Puts `temporary` in place of the target in one step, provided its name still names the file
// opened (for a missing target: provided nothing has taken its name). The new name is then made
// to survive a power cut as well as the system allows.
Replacement replace_file(Target& target, const std::filesystem::path& temporary);

// Removes the new file `temporary`, which nothing needs any more.
void remove_file(const Target& target, const std::filesystem::path& temporary);

// For the life of the scope, a pipe or FIFO whose reader has left makes a write fail (and so the
// write-error message) instead of ending the process silently.
class BrokenPipesReported {
 public:
  BrokenPipesReported();
  ~BrokenPipesReported();
  BrokenPipesReported(const BrokenPipesReported&) = delete;
  BrokenPipesReported& operator=(const BrokenPipesReported&) = delete;
};

// Gives true when the user or the system asked the run to end (on Windows a console event, seen
// between pieces of writing); the run then removes its new file and ends as asked. Linux ends
// through its signal handlers instead and gives false.
bool ending_requested();

// Defers every ending signal (on Windows every console event) for the life of the scope; one
// that arrives meanwhile takes effect when the last such scope ends.
class EndingsDeferred {
 public:
  EndingsDeferred();
  ~EndingsDeferred();
  EndingsDeferred(const EndingsDeferred&) = delete;
  EndingsDeferred& operator=(const EndingsDeferred&) = delete;
};

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_PLATFORM_H_
