// Undo copies on Windows: beside the target as NAME.pairset-undo, or in %LOCALAPPDATA%\pairset
// under the volume's serial number and the file's index, locked by LockFileEx while a run uses
// them.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "system/access_windows.h"
#include "system/file_names.h"
#include "system/identity.h"
#include "system/open_file_windows.h"
#include "system/target.h"
#include "system/undo_store.h"

namespace pairset::platform {
namespace {

// Gives the user's folder for local application data: %LOCALAPPDATA% (set from Vista on), else
// the one the shell names (XP); or nothing where neither is known.
std::optional<std::filesystem::path> local_application_data() {
  const wchar_t* const local = _wgetenv(L"LOCALAPPDATA");
  if (local != nullptr && *local != L'\0') return std::filesystem::path(local);
  wchar_t folder[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) {
    return std::nullopt;
  }
  return std::filesystem::path(folder);
}

// Gives the folder for undo copies that cannot stand beside their target, made where `make` says
// so; nothing where none is known or it is not the runner's private folder.
std::optional<std::filesystem::path> state_folder(bool make) {
  const std::optional<std::filesystem::path> local = local_application_data();
  if (!local) return std::nullopt;
  std::filesystem::path folder = *local / L"pairset";
  if (make && CreateDirectoryW(folder.c_str(), nullptr) == 0 &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return std::nullopt;
  }
  if (!private_folder(folder)) return std::nullopt;
  return folder;
}

// Opens the copy at `path` for reading and writing, or for reading alone where that is all it
// allows (another user's copy is read, never written); gives -1 where it does not open.
int open_copy(const std::filesystem::path& path) {
  const int both = _wopen(path.c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT);
  return both >= 0 ? both : _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

// What making an undo copy came to.
enum class CopyMade {
  kMade,
  kElsewhere,  // the folder takes no new file there, or the name is taken: the state folder may
  kFailed,
};

// Fills `copy` with the file at `path` made for it, held for this run.
CopyMade make_copy(const std::filesystem::path& path, UndoCopy& copy) {
  // Shared with no one while the run has it: no other program can lock it first (and make the run
  // wait with every console event deferred). Locked all the same, and never waited for.
  Descriptor file(_wsopen(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_NOINHERIT,
                          _SH_DENYRW, _S_IREAD | _S_IWRITE));
  if (!file.is_open()) {
    const int error = errno;
    return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG ||
                   error == EEXIST || error == EINVAL || error == ENOENT
               ? CopyMade::kElsewhere
               : CopyMade::kFailed;
  }
  OVERLAPPED from_start{};
  static_cast<void>(LockFileEx(handle_of(file.get()),
                               LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                               MAXDWORD, &from_start));
  copy.file = std::move(file);
  copy.place.path = path;
  return CopyMade::kMade;
}

}  // namespace

bool create_undo_copy(const Target& target, const FileOrigin& origin, UndoCopy& copy) {
  // A named stream (x.c13:stream) has no folder of its own to stand beside.
  const std::wstring name = target.place.path.filename().wstring();
  if (name.find(L':') == std::wstring::npos) {
    const std::filesystem::path beside = undo_copy_name<wchar_t>(target.place.path.wstring());
    const CopyMade made = make_copy(beside, copy);
    if (made != CopyMade::kElsewhere) return made == CopyMade::kMade;
  }
  const std::optional<std::filesystem::path> folder = state_folder(true);
  if (!folder || make_copy(*folder / state_copy_name<wchar_t>(origin), copy) != CopyMade::kMade) {
    return false;
  }
  copy.beside_target = false;
  return true;
}

bool set_aside_undo_copy(UndoCopy& copy) {
  constexpr int kNumbers = 100;
  const std::wstring base = stale_copy_name<wchar_t>(copy.place.path.wstring());
  // Windows renames no file that is open without delete sharing.
  static_cast<void>(copy.file.close());
  for (int number = 0; number < kNumbers; ++number) {
    const std::wstring name = number == 0 ? base : base + L"-" + std::to_wstring(number);
    if (MoveFileExW(copy.place.path.c_str(), name.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
      copy.place.path = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// The copy was committed to the disk by _commit; NTFS records the name in its journal.
bool sync_undo_folder(const UndoCopy&) {
  return true;
}

bool remove_undo_copy(UndoCopy& copy) {
  if (!copy.file.is_open()) return true;
  // Windows removes no open file; the target stays held, so no other run takes the copy up.
  static_cast<void>(copy.file.close());
  if (DeleteFileW(copy.place.path.c_str()) != 0) return true;
  // Open again where it is still there: the old contents may yet have to be put back from it.
  copy.file = Descriptor(open_copy(copy.place.path));
  return false;
}

std::vector<UndoCopy> find_undo_copies(const Target& target, const FileOrigin& origin) {
  std::vector<UndoCopy> copies;
  const auto look = [&](const std::filesystem::path& path, bool beside) {
    UndoCopy copy;
    copy.file = Descriptor(open_copy(path));
    if (!copy.file.is_open()) return;
    // A live run holds its copy exclusively; this hold is shared and given up at once if not.
    OVERLAPPED from_start{};
    if (LockFileEx(handle_of(copy.file.get()), LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &from_start) == 0 &&
        GetLastError() == ERROR_LOCK_VIOLATION) {
      return;
    }
    copy.place.path = path;
    copy.beside_target = beside;
    copy.trusted = runners_copy(path, copy.file.get());
    copies.push_back(std::move(copy));
  };
  look(undo_copy_name<wchar_t>(target.place.path.wstring()), true);
  if (target.kind != TargetKind::kRegular) return copies;
  if (const std::optional<std::filesystem::path> folder = state_folder(false)) {
    look(*folder / state_copy_name<wchar_t>(origin), false);
  }
  return copies;
}

}  // namespace pairset::platform
