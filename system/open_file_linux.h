// What the Linux files of the system layer share: reaching an open file without its name
// (/proc/self/fd/N), and the files a run locks while it works on them (its new file, an undo
// copy) by an open-file-description lock, which ends with the file, its process and the power,
// so that another run tells one in use from one a run cut short left.
#ifndef PAIRSET_SYSTEM_OPEN_FILE_LINUX_H_
#define PAIRSET_SYSTEM_OPEN_FILE_LINUX_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "system/files.h"

namespace pairset::platform {

// Gives the path that names the open file `descriptor` itself.
inline std::string descriptor_path(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

// Gives true when both describe one file.
inline bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Gives true when `name` in `folder` names, by itself (a link there is not followed), the file
// `info` describes: the check made before a name is removed or renamed over, so that a file put
// at the name meanwhile is left alone.
inline bool still_names(int folder, const char* name, const struct stat& info) {
  struct stat named {};
  return fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(info, named);
}

// Gives true when `name` in `folder` names, by itself, the open file `descriptor`.
inline bool still_names_open_file(int folder, const char* name, int descriptor) {
  struct stat open {};
  return fstat(descriptor, &open) == 0 && still_names(folder, name, open);
}

// Gives true when /proc is the kernel's own, so that /proc/self/fd/N names the open file N
// itself; a plain folder there, or nothing, would name another file or none. Looked at once.
bool proc_is_the_kernels();

// Gives the path that reaches the open file `descriptor`: through /proc where it is the kernel's,
// else `name`, the name it was opened by, which the caller checks against the file opened.
inline std::string path_of(int descriptor, const std::string& name) {
  return proc_is_the_kernels() ? descriptor_path(descriptor) : name;
}

// What opening a file again came to: its new descriptor, or -1 and the error of the open
// (ESTALE where the name it was reached by gave another file).
struct Reopened {
  int descriptor = -1;
  int error = 0;
};

// Opens the file `descriptor` has open once more, with `flags` (O_CLOEXEC and O_NOCTTY added),
// reaching it by `name`, the name it was opened by, where /proc is not the kernel's: a file that
// name turns out to give that is not the file opened is closed again.
inline Reopened reopen(int descriptor, const std::string& name, int flags) {
  const int opened = open(path_of(descriptor, name).c_str(), flags | O_CLOEXEC | O_NOCTTY);
  if (opened < 0) return {.error = errno};
  if (proc_is_the_kernels()) return {.descriptor = opened};
  struct stat open {};
  struct stat got {};
  if (fstat(descriptor, &open) == 0 && fstat(opened, &got) == 0 && same_file(open, got)) {
    return {.descriptor = opened};
  }
  static_cast<void>(close(opened));
  return {.error = ESTALE};
}

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

#endif  // PAIRSET_SYSTEM_OPEN_FILE_LINUX_H_
