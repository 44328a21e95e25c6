// Writing a file in place on Linux: reopened through the file already opened, locked against
// other runs, and given room before the first changed byte, however the file system writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "system/in_place.h"
#include "system/open_file_linux.h"
#include "system/retry.h"
#include "system/target.h"

namespace pairset::platform {
namespace {

// File systems that write a changed block to a new place and free the old one after: btrfs, XFS
// (for shared blocks, which cannot be told cheaply), ZFS, bcachefs and NILFS. There,
// posix_fallocate reserves nothing for the blocks a file already has.
bool writes_changes_anew(const struct statfs& file_system) {
  switch (static_cast<std::uint32_t>(file_system.f_type)) {
    case 0x9123683EU:  // btrfs
    case 0x58465342U:  // XFS
    case 0x2FC12FC1U:  // ZFS
    case 0xCA451A4EU:  // bcachefs
    case 0x00003434U:  // NILFS
      return true;
    default:
      return false;
  }
}

}  // namespace

int open_for_update(Target& target) {
  const Reopened both = reopen(target.file.get(), target.place.opened_as, O_RDWR);
  return both.error != EACCES
             ? both.descriptor
             : reopen(target.file.get(), target.place.opened_as, O_WRONLY).descriptor;
}

namespace {

// Tries `command` (F_OFD_SETLK or F_OFD_GETLK) with `lock` until no other holder is in the way
// or the longest wait has passed; gives false only in the second case.
bool within_the_wait(int descriptor, int command, struct flock& lock) {
  const struct flock wanted = lock;
  return keep_trying(kLongestWaitMilliseconds, kSteadyPauses, [&] {
    int done = 0;
    do {
      lock = wanted;
    } while ((done = fcntl(descriptor, command, &lock)) != 0 && errno == EINTR);
    if (done == 0) return command != F_OFD_GETLK || lock.l_type == F_UNLCK;
    return errno != EAGAIN && errno != EACCES;  // a file system that keeps no locks
  });
}

}  // namespace

bool lock_exclusively(int descriptor) {
  // An open-file-description lock belongs to this descriptor alone and ends with it; it also
  // meets the POSIX locks other programs take.
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return within_the_wait(descriptor, F_OFD_SETLK, whole);
}

bool wait_until_unlocked(const Target& target) {
  const Descriptor file(reopen(target.file.get(), target.place.opened_as, O_RDONLY).descriptor);
  if (!file.is_open()) return true;  // one that may not be read is written all the same
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return within_the_wait(file.get(), F_OFD_GETLK, whole);
}

bool reserve(int descriptor, std::uint64_t size) {
  // Where changed blocks are written anew, overwriting the file may need `size` bytes of new
  // blocks, and putting the old contents back after a failure as many again: both must be free
  // before the first byte changes, or a full disk could leave the file neither old nor new. A
  // sixteenth more, and a mebibyte, is kept for the file system's own records of the new blocks.
  struct statfs file_system {};
  struct statvfs space {};
  struct stat info {};
  if (fstatfs(descriptor, &file_system) == 0 && writes_changes_anew(file_system)) {
    if (fstatvfs(descriptor, &space) != 0 || fstat(descriptor, &info) != 0) return false;
    const std::uint64_t rewritten = size + static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t needed = rewritten + rewritten / 16 + (std::uint64_t{1} << 20);
    if (static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize < needed) return false;
  }
  // Elsewhere, allocating the blocks beyond the present end makes every later write fit.
  return size == 0 || posix_fallocate(descriptor, 0, static_cast<off_t>(size)) == 0;
}

bool truncate(int descriptor, std::uint64_t size) {
  return ftruncate(descriptor, static_cast<off_t>(size)) == 0;
}

}  // namespace pairset::platform
