// Where the target and an undo copy are on Windows, as only the Windows files read them.
#ifndef PAIRSET_SYSTEM_PLACE_WINDOWS_H_
#define PAIRSET_SYSTEM_PLACE_WINDOWS_H_

#include <filesystem>

namespace pairset::platform {

struct TargetPlace {
  // The whole path, in the wide spelling of the argument: Windows reaches a file by its path
  // alone, and opens it again by it where it must.
  std::filesystem::path path;
};

struct CopyPlace {
  // The whole path.
  std::filesystem::path path;
};

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_PLACE_WINDOWS_H_
