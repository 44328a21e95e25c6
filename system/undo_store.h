// Where undo copies are kept: made beside the target or in the runner's state folder, found
// again, set aside and removed; each system in its own undo_*.cc.
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
  // The runner's own (access_linux.h, access_windows.h say what that is), in the target's folder
  // or the runner's private state folder: only such a copy is ever put back or removed.
  bool trusted = true;
};

// Makes a new, empty undo copy for the existing `target` (kRegular, origin `origin`),
// exclusively, locked for this run, that only its owner (the runner; for a run as root on Linux
// the target's owner) may read or write: NAME.pairset-undo beside it where its folder takes a new
// file, else under a name made of `origin` in the runner's private state folder
// ($XDG_STATE_HOME/pairset or ~/.local/state/pairset; %LOCALAPPDATA%\pairset). True once made.
bool create_undo_copy(const Target& target, const FileOrigin& origin, UndoCopy& copy);

// Moves a copy that is not to go into the file that has its name now (gone, another, or changed
// since) aside for a person, as NAME.pairset-stale (numbered where taken); true once it is.
bool set_aside_undo_copy(UndoCopy& copy);

// Makes the copy's name survive a power cut as well as the system allows; true once it does.
bool sync_undo_folder(const UndoCopy& copy);

// Removes the copy, made to last through a power cut as far as the system allows; true once so.
// A copy that could not be removed stays open, so that the old contents can still be put back.
bool remove_undo_copy(UndoCopy& copy);

// Gives the undo copies that runs cut short may have left for `target` (kRegular, origin
// `origin`): beside it and in the state folder (where that is the runner's private one); for a
// missing target only those beside its name. Each is open for reading (and writing, where it may
// be) and locked for this run, and says whether it is trusted; one a live run locks is left out.
std::vector<UndoCopy> find_undo_copies(const Target& target, const FileOrigin& origin);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_UNDO_STORE_H_
