// Where undo copies are kept: made beside the target or in the runner's state folder, found
// again, set aside and removed. Which copy is the runner's own, and so may be put back, each
// system says in its own undo_*.cc.
#ifndef PAIRSET_SYSTEM_UNDO_STORE_H_
#define PAIRSET_SYSTEM_UNDO_STORE_H_

#include <vector>

#include "system/files.h"
#include "system/identity.h"
#include "system/target.h"  // with each system's place of a file

namespace pairset::platform {

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
// name made of `origin`. Gives true once it is made.
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

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_UNDO_STORE_H_
