// Who owns a file or a folder on Windows and who may change it, as its security descriptor
// tells: an undo copy or a new file that a run finds is trusted only where it is the runner's
// own, and the state folder only where it is the runner's own and no one else may change it.
#ifndef PAIRSET_SYSTEM_ACCESS_WINDOWS_H_
#define PAIRSET_SYSTEM_ACCESS_WINDOWS_H_

#include <windows.h>

#include <filesystem>
#include <utility>
#include <vector>

namespace pairset::platform {

// The owner and the access list of a file or folder, as read from it; empty where it could not
// be read.
class Security {
 public:
  Security() = default;
  ~Security() { LocalFree(descriptor_); }
  Security(const Security&) = delete;
  Security& operator=(const Security&) = delete;
  Security(Security&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, nullptr)),
        owner_(std::exchange(other.owner_, nullptr)),
        dacl_(std::exchange(other.dacl_, nullptr)) {}
  Security& operator=(Security&&) = delete;

  // Reads them from the open file `handle` (opened with read access), or from the file at `path`.
  static Security of(HANDLE handle);
  static Security at(const std::filesystem::path& path);

  bool known() const { return descriptor_ != nullptr; }
  // Null where the file system keeps no owners (FAT), and for a descriptor not read.
  PSID owner() const { return owner_; }
  // Null where anyone may do anything with the file (no access list at all).
  const ACL* dacl() const { return dacl_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  PSID owner_ = nullptr;
  PACL dacl_ = nullptr;
};

// Gives the flags of the volume that has `path` (FILE_PERSISTENT_ACLS where it keeps owners
// and access lists, FILE_NAMED_STREAMS where it keeps named streams), or 0 where it cannot be
// told.
DWORD volume_flags(const std::filesystem::path& path);

// Gives the security identifier of the user this process runs as, or an empty one.
std::vector<unsigned char> runner_sid();

// Gives true for the accounts that may change every file anyway: the system and the
// Administrators group (which owns what an elevated administrator makes).
bool administrative(PSID sid);

// Gives true when `sid` is the runner or one of the accounts that may change every file anyway
// (which own what an elevated administrator makes): whose files a run takes for its own.
bool runners_own(PSID sid, PSID runner);

// Gives true for a file or folder whose `security` is read from it, on the volume of `path`, that
// is the runner's own: owned by the runner or the administrators (who own what an elevated
// administrator makes). On a volume that keeps no owners (FAT) everything is as much the runner's.
bool owned_by_the_runner(const Security& security, const std::filesystem::path& path);

// Gives true for the undo copy at `path`, open at `file`, that is the runner's own, the only kind
// a run puts back or removes. Only the system knows who else could have written a file, and it
// tells only the caller.
bool runners_copy(const std::filesystem::path& path, int file);

// Gives true for a folder that is the runner's own, that no other user may change: not a link
// to somewhere else, owned by the runner (or the administrators), and open to no one else.
bool private_folder(const std::filesystem::path& folder);

// Gives true for a folder owned by `owner` with the access list `dacl` that no one but the
// runner, the system and the administrators may change; and where the file system keeps no
// owners (`owner` null), where no folder is anyone's.
bool private_to(PSID runner, PSID owner, const ACL* dacl);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_ACCESS_WINDOWS_H_
