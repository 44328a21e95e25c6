// Undo copies on POSIX: beside the target as NAME.pairset-undo, or in the user's state folder
// under the target's device and inode, held by an open-file-description lock while a run uses
// them, synced with their folder.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "system/held_file_posix.h"
#include "system/open_file_posix.h"
#include "system/platform.h"

namespace pairset::platform {
namespace {

constexpr std::string_view kUndoSuffix = ".pairset-undo";

// Gives the folder where undo copies go that cannot stand beside their target, or nothing where
// the environment names none.
std::optional<std::string> state_folder() {
  const char* const state = std::getenv("XDG_STATE_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (state != nullptr && state[0] == '/') return std::string(state) + "/pairset";
  const char* const home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/pairset";
  return std::nullopt;
}

// Gives the name of the copy of the file `identity` in the state folder.
std::string state_name(const FileIdentity& identity) {
  return std::to_string(identity.device) + "-" + std::to_string(identity.inode) +
         std::string(kUndoSuffix);
}

// Opens the state folder, making it (private to the user) where `make` says so; gives -1 where
// there is none.
int open_state_folder(bool make) {
  const std::optional<std::string> folder = state_folder();
  if (!folder) {
    errno = ENOENT;
    return -1;
  }
  if (make) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(*folder).parent_path(), ignored);
    if (mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) return -1;
  }
  return open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Gives the descriptor of `folder` once more, for a copy to keep.
int duplicate(int folder) {
  return fcntl(folder, F_DUPFD_CLOEXEC, 3);
}

// Gives true when `error` from making the copy beside the target means that it must go to the
// state folder instead: the folder takes no new file there, or the name is taken by a file that
// is not this target's copy.
bool elsewhere(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG ||
         error == EEXIST || error == ENOTSUP || error == EBADF;
}

// Fills `copy` with the file `name` in `folder` made for it; gives false with errno set.
bool make_copy(int folder, const std::string& name, mode_t mode, UndoCopy& copy) {
  Descriptor kept_folder(duplicate(folder));
  if (!kept_folder.is_open()) return false;
  Descriptor file(create_held_file(folder, name.c_str(), O_RDWR, mode));
  if (!file.is_open()) return false;
  // Whoever may read the target may read its copy: a later run by another user puts it back.
  if (fchmod(file.get(), mode) != 0) {
    const int error = errno;
    static_cast<void>(unlinkat(folder, name.c_str(), 0));
    errno = error;
    return false;
  }
  copy.file = std::move(file);
  copy.folder = std::move(kept_folder);
  copy.name = name;
  return true;
}

}  // namespace

std::optional<FileIdentity> identity_of(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino)};
}

bool create_undo_copy(const Target& target, const FileIdentity& identity, UndoCopy& copy) {
  struct stat info {};
  if (fstat(target.file.get(), &info) != 0) return false;
  const mode_t mode = (info.st_mode & 0666) | 0600;
  // Beside the target, unless its folder would keep the copy for good.
  if (target.folder.is_open() && !keeps_every_name(target.folder.get())) {
    if (make_copy(target.folder.get(), target.name.string() + std::string(kUndoSuffix), mode,
                  copy)) {
      return true;
    }
    if (!elsewhere(errno)) return false;
  }
  Descriptor folder(open_state_folder(true));
  return folder.is_open() && make_copy(folder.get(), state_name(identity), mode, copy);
}

bool sync_undo_folder(const UndoCopy& copy) {
  // A file system that syncs no folder (EINVAL) keeps its names in order by itself.
  return fsync(copy.folder.get()) == 0 || errno == EINVAL;
}

bool remove_undo_copy(UndoCopy& copy) {
  if (!copy.file.is_open()) return true;
  // Only the copy held is removed, should its name have been taken over meanwhile.
  struct stat held {};
  struct stat named {};
  bool removed = fstat(copy.file.get(), &held) == 0 &&
                 fstatat(copy.folder.get(), copy.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                 same_file(held, named) && unlinkat(copy.folder.get(), copy.name.c_str(), 0) == 0;
  removed = removed && sync_undo_folder(copy);
  static_cast<void>(copy.file.close());
  return removed;
}

std::vector<UndoCopy> find_undo_copies(const Target& target, const FileIdentity& identity) {
  std::vector<UndoCopy> copies;
  const auto look = [&copies](int folder, const std::string& name) {
    if (folder < 0) return;
    UndoCopy copy;
    copy.file = Descriptor(open_unheld_file(folder, name.c_str()));
    if (!copy.file.is_open()) return;
    copy.folder = Descriptor(duplicate(folder));
    copy.name = name;
    if (copy.folder.is_open()) copies.push_back(std::move(copy));
  };
  look(target.folder.get(), target.name.string() + std::string(kUndoSuffix));
  const Descriptor state(open_state_folder(false));
  look(state.get(), state_name(identity));
  return copies;
}

int create_held_file(int folder, const char* name, int flags, mode_t mode) {
  Descriptor file(openat(folder, name, flags | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
  if (!file.is_open()) return -1;
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  // A file system that keeps no locks leaves the file unheld, as before there were any.
  while (fcntl(file.get(), F_OFD_SETLKW, &whole) != 0 && errno == EINTR) {
  }
  struct stat info {};
  if (fstat(file.get(), &info) != 0) return -1;
  if (info.st_nlink == 0) {
    errno = EEXIST;
    return -1;
  }
  return file.release();
}

bool keeps_every_name(int folder) {
  int flags = 0;
  if (ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0) return (flags & FS_APPEND_FL) != 0;
  // A folder opened only to reach its files: asked once more through one that reads it.
  const Descriptor readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return readable.is_open() && ioctl(readable.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & FS_APPEND_FL) != 0;
}

int open_unheld_file(int folder, const char* name) {
  Descriptor file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
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
