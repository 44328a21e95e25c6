// Undo copies on Linux: beside the target as NAME.pairset-undo, or in the user's private state
// folder under the target's file system and inode, locked while a run uses them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "system/access_linux.h"
#include "system/file_names.h"
#include "system/identity.h"
#include "system/open_file_linux.h"
#include "system/target.h"
#include "system/undo_store.h"

namespace pairset::platform {
namespace {

// Gives the folder where undo copies go that cannot stand beside their target, or nothing where
// the environment names none.
std::optional<std::string> state_folder() {
  const char* const state = std::getenv("XDG_STATE_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (state != nullptr && state[0] == '/') return std::string(state) + "/pairset";
  const char* const home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/pairset";
  return std::nullopt;
}

// Opens the state folder, making it (private to the user) where `make` says so; gives -1 where
// there is none, or where it is not the runner's private folder.
int open_state_folder(bool make) {
  const std::optional<std::string> folder = state_folder();
  if (!folder) return -1;
  if (make) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(*folder).parent_path(), ignored);
    if (mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) return -1;
  }
  Descriptor opened(open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.is_open()) return -1;
  return private_folder(opened.get()) ? opened.release() : -1;
}

// Gives the descriptor of `folder` once more, for a copy to keep.
int duplicate(int folder) {
  return fcntl(folder, F_DUPFD_CLOEXEC, 3);
}

// Fills `copy` with the file `name` in `folder` made for it, only its owner's to read and write
// (the runner's; for a run as root the owner's of the target `info`). One the folder refuses,
// whose name is taken, or that cannot be made private there (kRefused) may go elsewhere.
HeldFile::Made make_copy(int folder, const std::string& name, const struct stat& info,
                         UndoCopy& copy) {
  Descriptor kept_folder(duplicate(folder));
  if (!kept_folder.is_open()) return HeldFile::kFailed;
  // Private until it is locked: no one can lock it first and make the run wait.
  HeldFile made = create_held_file(folder, name.c_str(), O_RDWR, 0600);
  if (made.made != HeldFile::kMade) return made.made;
  Descriptor& file = made.file;
  // Root gives it to the target's owner, whose later run puts it back. An ACL the folder gave it
  // goes and the mode is set anew: no one else may read the old contents or write the copy.
  const bool private_copy =
      (geteuid() != 0 || fchown(file.get(), info.st_uid, info.st_gid) == 0) &&
      (fremovexattr(file.get(), kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP) &&
      fchmod(file.get(), 0600) == 0;
  if (!private_copy) {
    static_cast<void>(unlinkat(folder, name.c_str(), 0));
    return HeldFile::kRefused;
  }
  copy.file = std::move(file);
  copy.place.folder = std::move(kept_folder);
  copy.place.name = name;
  return HeldFile::kMade;
}

}  // namespace

bool create_undo_copy(const Target& target, const FileOrigin& origin, UndoCopy& copy) {
  struct stat info {};
  if (fstat(target.file.get(), &info) != 0) return false;
  // Beside the target, unless its folder would keep the copy for good.
  if (target.place.folder.is_open() && !keeps_every_name(target.place.folder.get())) {
    const HeldFile::Made made = make_copy(
        target.place.folder.get(), undo_copy_name<char>(target.place.name.string()), info, copy);
    if (made == HeldFile::kMade) return true;
    if (made == HeldFile::kFailed) return false;
  }
  Descriptor folder(open_state_folder(true));
  if (!folder.is_open() ||
      make_copy(folder.get(), state_copy_name<char>(origin), info, copy) != HeldFile::kMade) {
    return false;
  }
  copy.beside_target = false;
  return true;
}

bool set_aside_undo_copy(UndoCopy& copy) {
  constexpr int kNumbers = 100;
  const std::string base = stale_copy_name<char>(copy.place.name.string());
  for (int number = 0; number < kNumbers; ++number) {
    const std::string name = number == 0 ? base : base + "-" + std::to_string(number);
    if (renameat2(copy.place.folder.get(), copy.place.name.c_str(), copy.place.folder.get(),
                  name.c_str(), RENAME_NOREPLACE) == 0) {
      copy.place.name = name;
      return sync_undo_folder(copy);
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool sync_undo_folder(const UndoCopy& copy) {
  // A file system that syncs no folder (EINVAL) keeps its names in order by itself.
  return fsync(copy.place.folder.get()) == 0 || errno == EINVAL;
}

bool remove_undo_copy(UndoCopy& copy) {
  if (!copy.file.is_open()) return true;
  // Only the copy held is removed, should its name have been taken over meanwhile.
  bool removed =
      still_names_open_file(copy.place.folder.get(), copy.place.name.c_str(), copy.file.get()) &&
      unlinkat(copy.place.folder.get(), copy.place.name.c_str(), 0) == 0;
  removed = removed && sync_undo_folder(copy);
  // Kept open where it is still there: the old contents may yet have to be put back from it.
  if (removed) static_cast<void>(copy.file.close());
  return removed;
}

std::vector<UndoCopy> find_undo_copies(const Target& target, const FileOrigin& origin) {
  std::vector<UndoCopy> copies;
  struct stat info {};
  const bool exists = target.kind == TargetKind::kRegular;
  if (exists && fstat(target.file.get(), &info) != 0) return copies;
  const auto look = [&](int folder, const std::string& name, bool beside) {
    if (folder < 0) return;
    UndoCopy copy;
    // Another user's copy may open for reading only: it is read, never written.
    const int both = open_unheld_file(folder, name.c_str(), O_RDWR);
    copy.file = Descriptor(both >= 0 ? both : open_unheld_file(folder, name.c_str()));
    if (!copy.file.is_open()) return;
    copy.place.folder = Descriptor(duplicate(folder));
    copy.place.name = name;
    copy.beside_target = beside;
    struct stat made {};
    copy.trusted = fstat(copy.file.get(), &made) == 0 &&
                   runners_copy(copy.file.get(), made, exists ? &info : nullptr);
    if (copy.place.folder.is_open()) copies.push_back(std::move(copy));
  };
  look(target.place.folder.get(), undo_copy_name<char>(target.place.name.string()), true);
  if (!exists) return copies;
  const Descriptor state(open_state_folder(false));
  look(state.get(), state_copy_name<char>(origin), false);
  return copies;
}

}  // namespace pairset::platform
