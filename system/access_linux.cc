#include "system/access_linux.h"

#include <limits.h>
#include <sys/xattr.h>

#include <cerrno>
#include <string>

#include "system/open_file_linux.h"

namespace pairset::platform {

bool runners_copy(int file, const struct stat& made, const struct stat* target) {
  return owned_by_the_runner(made, target) && S_ISREG(made.st_mode) && made.st_nlink == 1 &&
         (made.st_mode & 07777) == 0600 && fgetxattr(file, kAccessAcl, nullptr, 0) < 0 &&
         (errno == ENODATA || errno == ENOTSUP);
}

bool private_folder(int folder) {
  struct stat info {};
  if (fstat(folder, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return false;
  }
  // The path the system keeps for the open folder has every link followed. Where /proc is not
  // the kernel's, the folder itself must do.
  if (!proc_is_the_kernels()) return true;
  char real[PATH_MAX];
  const ssize_t size = readlink(descriptor_path(folder).c_str(), real, sizeof real - 1);
  if (size <= 0 || real[0] != '/') return false;
  std::string path(real, static_cast<std::size_t>(size));
  for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    const std::string above = path.substr(0, slash);
    struct stat parent {};
    if (lstat(above.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode) ||
        (parent.st_uid != 0 && parent.st_uid != geteuid()) ||
        ((parent.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (parent.st_mode & S_ISVTX) == 0)) {
      return false;
    }
  }
  return true;
}

}  // namespace pairset::platform
