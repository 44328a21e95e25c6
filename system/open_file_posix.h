// Reaching a file the process has open on Linux, without its name: /proc/self/fd/N names the
// open file itself, whatever has become of the name it was opened by.
#ifndef PAIRSET_SYSTEM_OPEN_FILE_POSIX_H_
#define PAIRSET_SYSTEM_OPEN_FILE_POSIX_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace pairset::platform {

// Gives the path that names the open file `descriptor` itself.
inline std::string descriptor_path(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

// Gives true when both describe one file.
inline bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Opens the file `descriptor` holds once more, with `flags` (O_CLOEXEC and O_NOCTTY added):
// gives the new descriptor, or -1 with errno set.
inline int reopen(int descriptor, int flags) {
  return open(descriptor_path(descriptor).c_str(), flags | O_CLOEXEC | O_NOCTTY);
}

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_OPEN_FILE_POSIX_H_
