// The new file on Windows: made with an exclusive open under a random name beside the target,
// given the target's attributes, and put in its place by MoveFileExW in one step, tried again
// while another program holds either file.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>

#include "system/attributes_windows.h"
#include "system/endings_windows.h"
#include "system/open_file_windows.h"
#include "system/platform.h"

namespace pairset::platform {
namespace {

// The longest path that the C runtime's file functions take.
constexpr std::size_t kLongestPath = MAX_PATH - 1;

constexpr int kAttempts = 100;

}  // namespace

// A file created on Windows gets the folder's inherited access rights, as a file created at the
// target would, and an existing target that was writable is never read-only: of the target's
// identity, its attributes and its links are what is left to keep.
int create_replacement(const Target& target, std::filesystem::path& temporary) {
  DWORD attributes = replacement_attributes(0);
  if (target.kind == TargetKind::kRegular) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle_of(target.file.get()), &info) == 0 ||
        info.nNumberOfLinks > 1) {
      errno = EMLINK;
      return -1;
    }
    attributes = replacement_attributes(info.dwFileAttributes);
  }
  // A name with a colon names a stream of a file (x.c13:stream); a new file beside it would be a
  // stream of another, new file. The stream is written in place, or made directly.
  const std::wstring name = target.name.filename().wstring();
  if (name.find(L':') != std::wstring::npos) {
    errno = ENOTSUP;
    return -1;
  }
  // The name is cut so that the whole path stays within what the C runtime takes.
  const std::filesystem::path& path = target.name;
  std::error_code error;
  const std::size_t fixed =
      std::filesystem::absolute(path.parent_path() / L"..pairset-XXXXXX", error).wstring().size();
  if (error || fixed >= kLongestPath) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const std::wstring kept = name.substr(0, std::min(name.size(), kLongestPath - fixed));

  static constexpr wchar_t kLetters[] =
      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> letter(0, std::size(kLetters) - 2);
  enter_flight();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::wstring new_name = L"." + kept + L".pairset-";
    for (int i = 0; i < 6; ++i) new_name += kLetters[letter(random)];
    const std::filesystem::path candidate = path.parent_path() / new_name;
    const int descriptor =
        _wopen(candidate.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
    if (descriptor >= 0) {
      temporary = candidate;
      if (SetFileAttributesW(candidate.c_str(), attributes) == 0) {
        static_cast<void>(_close(descriptor));
        remove_file(target, temporary);
        errno = EPERM;
        return -1;
      }
      return descriptor;
    }
    if (errno != EEXIST) break;
  }
  const int failure = errno;
  leave_flight();
  errno = failure;
  return -1;
}

bool refuses_replacement(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == EBUSY || error == EXDEV ||
         error == EMLINK || error == ENAMETOOLONG || error == ENOTSUP;
}

Replacement replace_file(Target& target, const std::filesystem::path& temporary) {
  // Windows replaces no file that is open, not even by this process.
  static_cast<void>(target.file.close());
  // MOVEFILE_WRITE_THROUGH: MoveFileExW returns only once the move is done on the disk as far
  // as Windows documents it (it guarantees the flush for a move carried out as a copy and a
  // delete; on one volume the rename is a metadata change that NTFS records in its journal).
  // The contents were committed to the disk before.
  DWORD pause = 10;
  for (DWORD waited = 0;;) {
    if (MoveFileExW(temporary.c_str(), target.name.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      leave_flight();
      return Replacement::kReplaced;
    }
    const DWORD error = GetLastError();
    const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                      error == ERROR_LOCK_VIOLATION;
    if (!held) {
      return error == ERROR_NOT_SAME_DEVICE || error == ERROR_FILENAME_EXCED_RANGE ||
                     error == ERROR_WRITE_PROTECT
                 ? Replacement::kRefused
                 : Replacement::kFailed;
    }
    if (waited >= kRetryMilliseconds || ending_requested()) return Replacement::kRefused;
    Sleep(pause);
    waited += pause;
    pause = std::min<DWORD>(pause * 2, kLongestPause);
  }
}

void remove_file(const Target&, const std::filesystem::path& temporary) {
  remove_path(temporary);
  leave_flight();
}

}  // namespace pairset::platform
