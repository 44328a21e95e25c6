// The target on Windows: opened by the wide spelling of its own argument, so that two names the
// ANSI code page spells alike stay two files; a device (NUL, CON) is written directly.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "system/endings_windows.h"
#include "system/open_file_windows.h"
#include "system/platform.h"

namespace pairset::platform {

// Windows programs name devices (NUL, CON), not descriptors: a device is written directly. XP
// cannot open a handle anew (ReOpenFile), so the name is opened again, and where it no longer
// names the file found at the start of the run, nothing is written.
Target open_target(const char* path, Target found) {
  Target target;
  target.name = native_path(path);
  target.file = Descriptor(_wopen(target.name.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT));
  if (!target.file.is_open()) {
    if (errno == ENOENT && found.kind != TargetKind::kRegular) target.kind = TargetKind::kMissing;
    return target;
  }
  if (found.kind == TargetKind::kRegular && found.file.is_open() &&
      identity_of(found.file.get()) != identity_of(target.file.get())) {
    return {};
  }
  struct _stat64 info {};
  target.kind = regular(target.file.get(), info) ? TargetKind::kRegular : TargetKind::kStream;
  return target;
}

bool create_target(Target& target) {
  enter_flight();
  target.file = Descriptor(_wopen(target.name.c_str(),
                                  _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                                  _S_IREAD | _S_IWRITE));
  if (!target.file.is_open()) {
    const int error = errno;
    leave_flight();
    errno = error;
    return false;
  }
  target.kind = TargetKind::kCreated;
  return true;
}

bool settle_created(Target& target, bool written) {
  written = target.file.close() && written;
  if (!written) remove_path(target.name);
  leave_flight();
  return written;
}

}  // namespace pairset::platform
