// The new file on Linux: made exclusively beside the target, given its owner, permissions and
// extended attributes (a new target: the rights creating it gives), and renamed over its name
// only while that name still names the file opened.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>  // renameat
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/access_linux.h"
#include "system/endings.h"
#include "system/endings_posix.h"
#include "system/file_names.h"
#include "system/new_file.h"
#include "system/open_file_linux.h"
#include "system/target.h"

namespace pairset::platform {
namespace {

// A new file's name keeps at most this much of the target's name, so that it stays within the
// 255 bytes a name may have.
constexpr std::size_t kKeptNameBytes = 200;

constexpr int kAttempts = 100;

// The new file's lock, which outlives the descriptor the file is written through.
Descriptor g_new_file_lock;

// Gives true where the open file `descriptor` carries the new file's mark: a later run removes a
// file of a new file's name only where it proves itself a run's (marked, or still empty), never
// because another file's word points at it.
bool marked(int descriptor) {
  char value[kNewFileMarkValue.size()];
  return fgetxattr(descriptor, kNewFileMarkAttribute, value, sizeof value) == sizeof value &&
         std::string_view(value, sizeof value) == kNewFileMarkValue;
}

// Gives the start of the names of the new files beside `name`: .NAME.pairset-, NAME cut to
// kKeptNameBytes.
std::string prefix_beside(const std::string& name) {
  return new_file_prefix<char>(name, kKeptNameBytes);
}

// Gives the names of the extended attributes of the file at `path` (where empty, the open file
// `descriptor`): none on a file system without them; nothing when they cannot be listed.
std::optional<std::vector<std::string>> attribute_names(int descriptor, const std::string& path) {
  const auto list_into = [&](char* list, std::size_t size) {
    return path.empty() ? flistxattr(descriptor, list, size) : listxattr(path.c_str(), list, size);
  };
  const ssize_t size = list_into(nullptr, 0);
  if (size < 0) {
    if (errno == ENOTSUP) return std::vector<std::string>{};
    return std::nullopt;
  }
  std::string list(static_cast<std::size_t>(size), '\0');
  const ssize_t got = list_into(list.data(), list.size());
  if (got < 0) return std::nullopt;
  list.resize(static_cast<std::size_t>(got));
  std::vector<std::string> names;
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = list.find('\0', start);
    names.push_back(list.substr(start, end - start));
    start = end == std::string::npos ? list.size() : end + 1;
  }
  return names;
}

// Gives the open file `to` exactly the extended attributes of the target (on Linux the ACL
// entries among them), and gives true when it could.
bool copy_attributes(const Target& from, int to) {
  // Opened for neither reading nor writing, the target is reached by a path: through /proc, or by
  // its name where that still gives the file opened.
  const std::string from_path = path_of(from.file.get(), from.place.opened_as);
  struct stat opened {};
  struct stat named {};
  if (!proc_is_the_kernels() &&
      (fstat(from.file.get(), &opened) != 0 || stat(from_path.c_str(), &named) != 0 ||
       !same_file(opened, named))) {
    return false;
  }
  const auto wanted = attribute_names(-1, from_path);
  const auto present = attribute_names(to, {});
  if (!wanted || !present) return false;
  // What the folder's default ACL gave the new file, the target does not have.
  for (const std::string& name : *present) {
    if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  for (const std::string& name : *wanted) {
    const ssize_t size = getxattr(from_path.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) return false;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = getxattr(from_path.c_str(), name.c_str(), value.data(), value.size());
    if (got < 0 ||
        fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Makes the new file `made` the same file as the open target in all but its contents: owner and
// group, extended attributes and ACL entries, permissions. Gives true when it could.
bool take_identity(int made, const Target& existing) {
  struct stat target {};
  if (fstat(existing.file.get(), &target) != 0) return false;
  // Anyone may give a file their own owner and one of their groups; only root any other.
  static_cast<void>(fchown(made, target.st_uid, target.st_gid));
  struct stat taken {};
  if (fstat(made, &taken) != 0 || taken.st_uid != target.st_uid || taken.st_gid != target.st_gid) {
    return false;
  }
  return copy_attributes(existing, made) && fchmod(made, target.st_mode & 07777) == 0;
}

}  // namespace

NewFileMade create_replacement(const Target& target, std::filesystem::path& temporary) {
  constexpr NewFileMade kRefused{.descriptor = -1, .refused = true};
  // A file whose name cannot be reached again (deleted, a memory file) can only be written.
  if (!target.place.folder.is_open()) return kRefused;
  // A file with other links stays the file those links name only if it is written in place.
  const bool existing = target.kind == TargetKind::kRegular;
  struct stat info {};
  if (existing && (fstat(target.file.get(), &info) != 0 || info.st_nlink > 1)) return kRefused;

  // A folder that lets no name be renamed or removed would keep the new file for good.
  if (keeps_every_name(target.place.folder.get())) return kRefused;

  // A new target is made with the rights that creating it would give (0666 less the umask, or
  // the folder's default ACL); a replacing file starts private and takes the target's.
  const mode_t mode = existing ? 0600 : 0666;
  HeldFile made;
  made.made = HeldFile::kTaken;
  for (int attempt = 0; attempt < kAttempts && made.made == HeldFile::kTaken; ++attempt) {
    const std::string name = new_file_name(prefix_beside(target.place.name.string()));
    const EndingsDeferred deferred;
    made = create_held_file(target.place.folder.get(), name.c_str(), O_WRONLY, mode);
    if (made.made == HeldFile::kMade) {
      static_cast<void>(note_file_in_flight(target.place.folder.get(), name.c_str()));
      temporary = name;
      // Locked until renamed or removed, though closed before: a run removes only unlocked ones.
      g_new_file_lock = Descriptor(fcntl(made.file.get(), F_DUPFD_CLOEXEC, 3));
    }
  }
  // A folder that refuses new files is told from a full disk here, where the error is known.
  if (made.made != HeldFile::kMade) {
    return {.descriptor = -1, .refused = made.made == HeldFile::kRefused};
  }
  const int descriptor = made.file.release();
  if (existing && !take_identity(descriptor, target)) {
    static_cast<void>(::close(descriptor));
    remove_file(target, temporary);
    return kRefused;
  }
  // A file system without user attributes leaves it unmarked: a later run then removes it only
  // while it is empty.
  static_cast<void>(fsetxattr(descriptor, kNewFileMarkAttribute, kNewFileMarkValue.data(),
                              kNewFileMarkValue.size(), 0));
  return {.descriptor = descriptor};
}

namespace {

// Gives what a rename that did not happen means, by its error.
Replacement refused_or_failed(int error) {
  return refused_by_the_folder(error) ? Replacement::kRefused : Replacement::kFailed;
}

// Gives true when the file system cannot rename with the flag asked for.
bool no_such_rename(int error) {
  return error == EINVAL || error == ENOSYS;
}

// Renames `temporary` over `name` in `folder` the plain way, for a file system that cannot swap
// or refuse to replace.
Replacement rename_plainly(int folder, const std::filesystem::path& temporary,
                           const std::filesystem::path& name) {
  return renameat(folder, temporary.c_str(), folder, name.c_str()) == 0 ? Replacement::kReplaced
                                                                        : refused_or_failed(errno);
}

// Puts the new file at the existing target's name by swapping the two, and keeps the swap only
// where what it swapped out is the file opened (nothing can come between, since the look is at
// what the swap took away): a link or file put at the name meanwhile goes back.
Replacement exchange(const Target& target, const std::filesystem::path& temporary) {
  const int folder = target.place.folder.get();
  if (renameat2(folder, temporary.c_str(), folder, target.place.name.c_str(), RENAME_EXCHANGE) !=
      0) {
    // Nothing has the name any more: it no longer names the file opened either.
    if (errno == ENOENT) return Replacement::kRefused;
    if (!no_such_rename(errno)) return refused_or_failed(errno);
    // A file system that cannot swap: the name is looked at, then replaced, a moment apart.
    if (!still_names_open_file(folder, target.place.name.c_str(), target.file.get())) {
      return Replacement::kRefused;
    }
    return rename_plainly(folder, temporary, target.place.name);
  }
  if (still_names_open_file(folder, temporary.c_str(), target.file.get())) {
    static_cast<void>(unlinkat(folder, temporary.c_str(), 0));
    return Replacement::kReplaced;
  }
  if (renameat2(folder, temporary.c_str(), folder, target.place.name.c_str(), RENAME_EXCHANGE) !=
      0) {
    // What stood at the name goes back to it, over the new file, which is then gone.
    static_cast<void>(renameat(folder, temporary.c_str(), folder, target.place.name.c_str()));
    return Replacement::kFailed;
  }
  return Replacement::kRefused;
}

// Gives the new file the missing target's name, unless a file has taken it meanwhile.
Replacement name_new(const Target& target, const std::filesystem::path& temporary) {
  const int folder = target.place.folder.get();
  if (renameat2(folder, temporary.c_str(), folder, target.place.name.c_str(), RENAME_NOREPLACE) ==
      0) {
    return Replacement::kReplaced;
  }
  if (errno == EEXIST) return Replacement::kNameTaken;
  if (!no_such_rename(errno)) return refused_or_failed(errno);
  // A file system that cannot tell: renamed as it always was.
  return rename_plainly(folder, temporary, target.place.name);
}

}  // namespace

Replacement replace_file(Target& target, const std::filesystem::path& temporary) {
  {
    const EndingsDeferred deferred;
    const Replacement done = target.kind == TargetKind::kRegular ? exchange(target, temporary)
                                                                 : name_new(target, temporary);
    if (done != Replacement::kReplaced) return done;
    forget_file_in_flight();
    // In the target's place it is no longer a new file.
    static_cast<void>(fremovexattr(g_new_file_lock.get(), kNewFileMarkAttribute));
    static_cast<void>(g_new_file_lock.close());
  }
  // The rename is done and cannot be taken back: a folder that cannot be synced for the power
  // cut changes nothing that can be reported.
  static_cast<void>(fsync(target.place.folder.get()));
  return Replacement::kReplaced;
}

void remove_file(const Target& target, const std::filesystem::path& temporary) {
  const EndingsDeferred deferred;
  static_cast<void>(unlinkat(target.place.folder.get(), temporary.c_str(), 0));
  forget_file_in_flight();
  static_cast<void>(g_new_file_lock.close());
}

void clear_abandoned_files(const Target& target) {
  if (!target.place.folder.is_open()) return;
  // The folder is listed through a descriptor of its own, which closedir closes.
  DIR* const list =
      fdopendir(openat(target.place.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (list == nullptr) return;
  const std::string prefix = prefix_beside(target.place.name.string());
  struct stat existing {};
  const struct stat* const found_target =
      target.kind == TargetKind::kRegular && fstat(target.file.get(), &existing) == 0 ? &existing
                                                                                      : nullptr;
  while (const dirent* entry = readdir(list)) {
    const std::string_view name = entry->d_name;
    if (!is_new_file_name<char>(name, prefix)) continue;
    const Descriptor file(open_unheld_file(target.place.folder.get(), entry->d_name));
    struct stat found {};
    if (!file.is_open() || fstat(file.get(), &found) != 0 ||
        !still_names(target.place.folder.get(), entry->d_name, found)) {
      continue;
    }
    // Only the runner's own with one name, that is marked or still empty.
    if (owned_by_the_runner(found, found_target) && found.st_nlink == 1 &&
        (marked(file.get()) || found.st_size == 0)) {
      static_cast<void>(unlinkat(target.place.folder.get(), entry->d_name, 0));
    }
  }
  static_cast<void>(closedir(list));
}

}  // namespace pairset::platform
