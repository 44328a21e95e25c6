// Whose a file or a folder is on Linux, as the kernel tells: an undo copy or a new file that a run
// finds is trusted only where it is the runner's own, and the state folder only where no one else
// may change it. The Windows twin is access_windows.h.
#ifndef PAIRSET_SYSTEM_ACCESS_LINUX_H_
#define PAIRSET_SYSTEM_ACCESS_LINUX_H_

#include <sys/stat.h>
#include <unistd.h>

namespace pairset::platform {

// The access ACL's attribute, which a folder's default ACL gives every new file.
inline constexpr const char* kAccessAcl = "system.posix_acl_access";

// Gives true for a file, described by `info`, that a run may take for its own: the runner's, or
// for a run as root also that of the owner of `target` (where there is one), to whom root gives
// the files it makes.
inline bool owned_by_the_runner(const struct stat& info, const struct stat* target) {
  return info.st_uid == geteuid() ||
         (geteuid() == 0 && target != nullptr && info.st_uid == target->st_uid);
}

// Gives true for the copy open at `file`, described by `made`, that is the runner's own, the only
// kind a run puts back or removes: a regular file with one name, owned by the runner (as root,
// also by the owner of `target`), that only its owner may read or write (0600, no access ACL).
// Only the kernel knows who else could have written a file, and it tells only the caller.
bool runners_copy(int file, const struct stat& made, const struct stat* target);

// Gives true for a folder no one but the runner may change: the runner's own, writable by no one
// else, and every folder above it root's or the runner's and writable by no one else or sticky
// (as /tmp), so that no other user can put another folder in its place.
bool private_folder(int folder);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_ACCESS_LINUX_H_
