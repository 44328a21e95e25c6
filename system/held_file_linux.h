// Files that a run holds while it works on them (its new file, an undo copy), so that another run
// can tell one in use from one that a run cut short left behind: an open-file-description lock
// belongs to the open file and ends with it, with its process, and with the power.
#ifndef PAIRSET_SYSTEM_HELD_FILE_LINUX_H_
#define PAIRSET_SYSTEM_HELD_FILE_LINUX_H_

#include <fcntl.h>
#include <sys/types.h>

#include "system/files.h"

namespace pairset::platform {

// Gives true when `error`, from making or renaming a file in a folder, means that the folder
// takes no new file or rename there (read-only, sticky, another file system, a bind mount, a
// name too long), rather than that the disk failed.
bool refused_by_the_folder(int error);

// What making a held file came to.
struct HeldFile {
  enum Made {
    kMade,     // `file` is it, held for this run
    kTaken,    // the name is taken, or was by a file that another run took for a left one
    kRefused,  // the folder takes no new file there
    kFailed,   // anything else (the disk, memory)
  } made = kFailed;
  Descriptor file;
};

// Creates `name` in `folder` exclusively, for reading and writing (`flags`: O_RDWR or O_WRONLY),
// with `mode`, and holds it for this run.
HeldFile create_held_file(int folder, const char* name, int flags, mode_t mode);

// Opens the regular file `name` in `folder` (`flags`: O_RDONLY or O_RDWR) and holds it, unless a
// live run holds it: gives its descriptor, or -1.
int open_unheld_file(int folder, const char* name, int flags = O_RDONLY);

// Gives true for a folder that takes new files but lets none of its names be renamed or removed
// (append-only, chattr +a): a file made there would stay for good.
bool keeps_every_name(int folder);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_HELD_FILE_LINUX_H_
