// The attributes a file that replaces a target takes on Windows.
#ifndef PAIRSET_SYSTEM_ATTRIBUTES_WINDOWS_H_
#define PAIRSET_SYSTEM_ATTRIBUTES_WINDOWS_H_

#include <windows.h>

namespace pairset::platform {

// Gives the attributes of the new file that replaces a target whose attributes are `target` (0
// for a new target): its hidden, system, archive and not-indexed ones, and Archive in any case,
// as every file Windows writes is marked for backup, so that xcopy /M and robocopy /M take it.
constexpr DWORD replacement_attributes(DWORD target) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  return FILE_ATTRIBUTE_ARCHIVE | (target & kKept);
}

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_ATTRIBUTES_WINDOWS_H_
