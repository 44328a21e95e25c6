// Whether /proc/self/fd reaches open files on this system, and the files a run holds: an
// open-file-description lock on the whole file, taken as the file is made or opened, and let go
// of with the file.
#include "system/open_file_linux.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

namespace pairset::platform {

bool proc_is_the_kernels() {
  static const bool kernels = [] {
    struct statfs file_system {};
    return statfs("/proc/self/fd", &file_system) == 0 && file_system.f_type == PROC_SUPER_MAGIC;
  }();
  return kernels;
}

bool refused_by_the_folder(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case EXDEV:
    case ENAMETOOLONG:
    case ENOTSUP:
      return true;
    default:
      return false;
  }
}

HeldFile create_held_file(int folder, const char* name, int flags, mode_t mode) {
  HeldFile made;
  made.file =
      Descriptor(openat(folder, name, flags | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
  if (!made.file.is_open()) {
    made.made = errno == EEXIST                ? HeldFile::kTaken
                : refused_by_the_folder(errno) ? HeldFile::kRefused
                                               : HeldFile::kFailed;
    return made;
  }
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  // Made just now: only someone who opened it in the moment since can hold it already, and no
  // run waits for them. A file system that keeps no locks leaves the file unheld, as before there
  // were any.
  int locked = 0;
  while ((locked = fcntl(made.file.get(), F_OFD_SETLK, &whole)) != 0 && errno == EINTR) {
  }
  const bool held_by_another = locked != 0 && (errno == EAGAIN || errno == EACCES);
  struct stat info {};
  if (fstat(made.file.get(), &info) != 0) {
    made.file = Descriptor();
    return made;
  }
  if (held_by_another && still_names(folder, name, info)) {
    static_cast<void>(unlinkat(folder, name, 0));
  }
  if (held_by_another || info.st_nlink == 0) {
    made.file = Descriptor();
    made.made = HeldFile::kTaken;
    return made;
  }
  made.made = HeldFile::kMade;
  return made;
}

bool keeps_every_name(int folder) {
  int flags = 0;
  if (ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0) return (flags & FS_APPEND_FL) != 0;
  // A folder opened only to reach its files: asked once more through one that reads it.
  const Descriptor readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return readable.is_open() && ioctl(readable.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & FS_APPEND_FL) != 0;
}

int open_unheld_file(int folder, const char* name, int flags) {
  Descriptor file(openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!file.is_open() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  struct flock whole {};
  whole.l_type = F_RDLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(file.get(), F_OFD_SETLK, &whole) != 0 && errno != EINVAL && errno != ENOLCK) {
    return -1;
  }
  return file.release();
}

}  // namespace pairset::platform
