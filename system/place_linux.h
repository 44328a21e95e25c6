// Where the target and an undo copy are on Linux, as only the Linux files read them.
#ifndef PAIRSET_SYSTEM_PLACE_LINUX_H_
#define PAIRSET_SYSTEM_PLACE_LINUX_H_

#include <filesystem>
#include <string>

#include "system/files.h"

namespace pairset::platform {

struct TargetPlace {
  // The folder that has the file's one name, or that is to have a missing target; -1 where the
  // file has no name left to reach (deleted, a memory file), so that only writing in place
  // remains.
  Descriptor folder;
  // The name in `folder`.
  std::filesystem::path name;
  // The path it was opened by, to reach it by where /proc is not the kernel's.
  std::string opened_as;
};

struct CopyPlace {
  // The folder it stands in, and its name there.
  Descriptor folder;
  std::filesystem::path name;
};

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_PLACE_LINUX_H_
