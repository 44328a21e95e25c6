// Identities and origins of files on Linux: the device and inode while a file is open; across
// remounts the file system's own id where it has one, and the inode's generation and birth.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstring>

#include "system/identity.h"

namespace pairset::platform {
namespace {

// Gives the identity of the file `info` describes.
FileIdentity identity_from(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

std::optional<FileIdentity> identity_of(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0) return std::nullopt;
  return identity_from(info);
}

std::optional<FileIdentity> identity_at(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return std::nullopt;
  return identity_from(info);
}

std::optional<FileOrigin> origin_of(int descriptor) {
  struct statx info {};
  if (statx(descriptor, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0) {
    return std::nullopt;
  }
  FileOrigin origin;
  origin.inode = info.stx_ino;
  if ((info.stx_mask & STATX_BTIME) != 0) {
    origin.birth =
        static_cast<std::uint64_t>(info.stx_btime.tv_sec) * 1'000'000'000U + info.stx_btime.tv_nsec;
  }
  // ext4 and btrfs make f_fsid of the file system's UUID, which stays with it under any device
  // number; XFS and FAT of the device number itself, which a remount may change: such an id is
  // none (0), and the inode, its generation and birth must tell the file alone.
  struct statfs file_system {};
  if (fstatfs(descriptor, &file_system) == 0) {
    std::uint32_t halves[2] = {};
    static_cast<void>(std::memcpy(halves, &file_system.f_fsid, sizeof halves));
    // The kernel's own encoding of the device number (huge_encode_dev), as those file systems
    // give it.
    const std::uint64_t major = info.stx_dev_major;
    const std::uint64_t minor = info.stx_dev_minor;
    const std::uint64_t device = (minor & 0xff) | (major << 8) | ((minor & ~0xffULL) << 12);
    if (halves[0] != static_cast<std::uint32_t>(device) ||
        halves[1] != static_cast<std::uint32_t>(device >> 32)) {
      origin.file_system = (std::uint64_t{halves[0]} << 32) | halves[1];
    }
  }
  // Where the file system keeps generations (ext4, XFS, btrfs): a number taken up again by a new
  // file comes with another one. A descriptor that only names the file gets none.
  long generation = 0;  // NOLINT(google-runtime-int): the call's own type
  if (ioctl(descriptor, FS_IOC_GETVERSION, &generation) == 0) {
    origin.generation = static_cast<std::uint32_t>(generation);
  }
  return origin;
}

}  // namespace pairset::platform
