// The target as the command line names it, opened once: every later decision (replace it, write
// it in place, write to it directly) is made on the file opened then. Each system opens it in its
// own target_*.cc.
#ifndef PAIRSET_SYSTEM_TARGET_H_
#define PAIRSET_SYSTEM_TARGET_H_

#include <filesystem>

#include "system/files.h"
// Each system's own part of the types below.
#ifdef _WIN32
#include "system/place_windows.h"
#else
#include "system/place_linux.h"
#endif

namespace pairset::platform {

// What the target named on the command line turned out to be when it was opened.
enum class TargetKind {
  kCannotOpen,  // it may not be written, its folder does not exist, or it is a stream the
                // process has open for reading only (/dev/stdin from a file)
  kMissing,     // nothing has the name; a new file is to be made where `place` says
  kCreated,     // it was made empty just now (a symbolic link that led nowhere, a name whose new
                // file would not fit) and is written directly; removed again if that fails
  kStream,      // a device, a FIFO or pipe, the process's standard output or error, or a file
                // a descriptor's own name reaches: `file` writes to it directly
  kRegular,     // an existing regular file, open as `file`
};

// The target as opened once, never read by its name again: a link swapped in meanwhile, or
// another spelling of the same name, cannot make the run write another file.
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

// Looks the target at `path` up as open_target does, but makes and opens nothing: kRegular,
// kMissing (with its `place`), or kCannotOpen for anything else.
Target look_up_target(const char* path);

// Makes the missing `target` itself, empty and exclusively, for writing directly where no new
// file can stand beside it (a name that would not fit); sets kind kCreated and `file` and gives
// true, or gives false.
bool create_target(Target& target);

// Ends the run's work on a target it made (kCreated): closes it, and removes it again unless it
// was `written` whole and closed cleanly, since it had nothing before. Gives true when it stands
// written.
bool settle_created(Target& target, bool written);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_TARGET_H_
