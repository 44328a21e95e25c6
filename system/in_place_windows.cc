// Writing a file in place on Windows: reopened by its name for reading and writing, held against
// other runs and programs by LockFileEx, and lengthened before the first changed byte so that
// its clusters are there.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "system/in_place.h"
#include "system/io.h"
#include "system/open_file_windows.h"
#include "system/retry.h"
#include "system/target.h"

namespace pairset::platform {

int open_for_update(Target& target) {
  // The file opened to be looked at is closed first: it was opened for writing alone.
  static_cast<void>(target.file.close());
  const int descriptor = _wopen(target.place.path.c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT);
  return descriptor >= 0 ? descriptor
                         : _wopen(target.place.path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

bool lock_exclusively(int descriptor) {
  // The whole file and any length it may grow to; released when the descriptor is closed. A
  // file system that keeps no locks is written without one.
  return keep_trying(kLongestWaitMilliseconds, kSteadyPauses, [descriptor] {
    OVERLAPPED from_start{};
    return LockFileEx(handle_of(descriptor), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                      MAXDWORD, MAXDWORD, &from_start) != 0 ||
           GetLastError() != ERROR_LOCK_VIOLATION;
  });
}

bool wait_until_unlocked(const Target& target) {
  // A byte-range lock does not keep a rename from replacing the file, so it is looked for: a
  // shared hold, given up at once, meets any exclusive one.
  const Descriptor file(_wopen(target.place.path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
  if (!file.is_open()) return true;  // one that may not be read is written all the same
  return keep_trying(kLongestWaitMilliseconds, kSteadyPauses, [&file] {
    OVERLAPPED from_start{};
    if (LockFileEx(handle_of(file.get()), LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &from_start) != 0) {
      OVERLAPPED unlocked{};
      static_cast<void>(UnlockFileEx(handle_of(file.get()), 0, MAXDWORD, MAXDWORD, &unlocked));
      return true;
    }
    return GetLastError() != ERROR_LOCK_VIOLATION;
  });
}

// Lengthening the file makes the file system allocate its clusters; the caller cuts it back.
bool reserve(int descriptor, std::uint64_t size) {
  const std::optional<std::uint64_t> current = file_size(descriptor);
  if (!current) return false;
  return size <= *current || set_length(descriptor, size);
}

bool truncate(int descriptor, std::uint64_t size) {
  return set_length(descriptor, size);
}

}  // namespace pairset::platform
