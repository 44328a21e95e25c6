// The new file beside a target that takes its place whole: made, put in its place in one step
// or removed; and the new files that runs cut short left, cleared. Each system in its own
// new_file_*.cc.
#ifndef PAIRSET_SYSTEM_NEW_FILE_H_
#define PAIRSET_SYSTEM_NEW_FILE_H_

#include <filesystem>

#include "system/target.h"

namespace pairset::platform {

// Removes the new files that runs on `target` left beside it and that no live run holds (on
// Windows: that no program has open and that nothing has written for ten minutes).
void clear_abandoned_files(const Target& target);

// Creates, exclusively, a new empty file .NAME.pairset-XXXXXX (NAME cut to fit) in the target's
// folder that can take the existing target's place as the same file (owner, group, permissions,
// extended attributes and ACL entries; on Windows its attributes), or for a missing target has
// the rights that creating it would give; sets `temporary` to it. Until replace_file or
// remove_file, every ending signal (console event) removes it first.
struct NewFileMade {
  int descriptor = -1;  // the new file, or -1
  // Where there is none: no new file can take the target's place (a folder that takes none, a
  // second link, an owner or attribute that does not copy, a name too long), so the target is
  // written in place or made directly; rather than that the making failed.
  bool refused = false;
};
NewFileMade create_replacement(const Target& target, std::filesystem::path& temporary);

// Gives true when a file may be replaced by a rename while this process still reads it (Linux);
// false where an open file keeps its name (Windows).
bool replaces_open_files();

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

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_NEW_FILE_H_
