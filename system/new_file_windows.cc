// The new file on Windows: made with an exclusive open under a random name beside the target,
// given the target's attributes, and put in its place by MoveFileExW in one step, tried again
// while another program has the target open.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/access_windows.h"
#include "system/endings.h"
#include "system/endings_windows.h"
#include "system/file_names.h"
#include "system/new_file.h"
#include "system/open_file_windows.h"
#include "system/retry.h"
#include "system/target.h"

namespace pairset::platform {
namespace {

// The longest path that the C runtime's file functions take.
constexpr std::size_t kLongestPath = MAX_PATH - 1;

constexpr int kAttempts = 100;

// A new file that nothing has written for this long belongs to no live run: a live one is open,
// or between its closing and its rename, which is tried for seconds, not minutes.
constexpr ULONGLONG kAbandonedAfter = 10ULL * 60 * 10'000'000;  // in 100 ns units

// Gives what the names of the target's new files start with (.NAME.pairset-, NAME cut so that the
// whole path stays within what the C runtime takes), or nothing where not even a cut name fits.
std::optional<std::wstring> prefix_beside(const Target& target) {
  const std::wstring name = target.place.path.filename().wstring();
  std::error_code error;
  const std::wstring shortest = std::filesystem::absolute(
      target.place.path.parent_path() / new_file_prefix<wchar_t>({}, 0), error);
  const std::size_t fixed = new_file_name_size<wchar_t>(shortest);
  if (error || fixed >= kLongestPath) return std::nullopt;
  return new_file_prefix<wchar_t>(name, kLongestPath - fixed);
}

// Gives the path of the mark (a named stream, on NTFS) of the file at `path`.
std::filesystem::path mark_of(const std::filesystem::path& path) {
  std::filesystem::path mark = path;
  mark += kNewFileMarkStream;
  return mark;
}

// Gives true when the file at `path` carries the mark.
bool marked(const std::filesystem::path& path) {
  const HANDLE mark =
      CreateFileW(mark_of(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark == INVALID_HANDLE_VALUE) return false;
  CloseHandle(mark);
  return true;
}

// Removes the file at `path` unless a program has it open (a live run's own handle has delete
// access; another program may share no deletion): a delete-on-close open that shares no deletion
// itself is granted only where neither is open.
void remove_unless_open(const std::filesystem::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// The own handle of the file create_new_file made last, until let_go_of_new_file.
HANDLE g_new_file = INVALID_HANDLE_VALUE;

// Gives true when `error`, from making a file beside the target, means that its folder takes no
// new file (read-only, write-protected, closed to this user), rather than that the disk failed.
bool refused_by_the_folder(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION || error == ERROR_WRITE_PROTECT ||
         error == ERROR_NETWORK_ACCESS_DENIED;
}

}  // namespace

void let_go_of_new_file() {
  if (g_new_file != INVALID_HANDLE_VALUE) {
    CloseHandle(std::exchange(g_new_file, INVALID_HANDLE_VALUE));
  }
}

FileMade create_new_file(const std::filesystem::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {.error = GetLastError()};
  const HANDLE process = GetCurrentProcess();
  HANDLE kept = INVALID_HANDLE_VALUE;
  const int descriptor =
      DuplicateHandle(process, file, process, &kept, 0, FALSE, DUPLICATE_SAME_ACCESS) != 0
          ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY)
          : -1;
  if (descriptor < 0) {
    CloseHandle(file);
    if (kept != INVALID_HANDLE_VALUE) CloseHandle(kept);
    static_cast<void>(DeleteFileW(path.c_str()));
    return {.error = ERROR_NOT_ENOUGH_MEMORY};
  }
  let_go_of_new_file();
  g_new_file = kept;
  return {.descriptor = descriptor};
}

// A new file gets the folder's inherited access rights, as one created at the target would, and
// a writable target is never read-only: what is left to keep of the target is its attributes and
// its links.
NewFileMade create_replacement(const Target& target, std::filesystem::path& temporary) {
  constexpr NewFileMade kRefused{.descriptor = -1, .refused = true};
  DWORD attributes = replacement_attributes(0);
  if (target.kind == TargetKind::kRegular) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle_of(target.file.get()), &info) == 0 ||
        info.nNumberOfLinks > 1) {
      return kRefused;
    }
    attributes = replacement_attributes(info.dwFileAttributes);
  }
  // A name with a colon names a stream of a file (x.c13:stream); a new file beside it would be a
  // stream of another, new file. The stream is written in place, or made directly.
  const std::wstring name = target.place.path.filename().wstring();
  if (name.find(L':') != std::wstring::npos) return kRefused;
  const std::filesystem::path& path = target.place.path;
  const std::optional<std::wstring> prefix = prefix_beside(target);
  if (!prefix) return kRefused;
  const bool marks = (volume_flags(path) & FILE_NAMED_STREAMS) != 0;

  note_file_in_flight();
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kAttempts && error == ERROR_FILE_EXISTS; ++attempt) {
    const std::filesystem::path candidate = path.parent_path() / new_file_name(*prefix);
    const FileMade made = create_new_file(candidate);
    const int descriptor = made.descriptor;
    if (descriptor >= 0) {
      temporary = candidate;
      if (SetFileAttributesW(candidate.c_str(), attributes) == 0) {
        static_cast<void>(_close(descriptor));
        remove_file(target, temporary);
        return kRefused;
      }
      // Unmarked, a new file that a run cut short leaves is only left for a person to delete.
      if (marks) {
        const HANDLE mark = CreateFileW(mark_of(candidate).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
      }
      return {.descriptor = descriptor};
    }
    error = made.error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : made.error;
  }
  forget_file_in_flight();
  return {.descriptor = -1, .refused = refused_by_the_folder(error)};
}

Replacement replace_file(Target& target, const std::filesystem::path& temporary) {
  // Windows replaces no file that is open, not even by this process.
  static_cast<void>(target.file.close());
  // MOVEFILE_WRITE_THROUGH: done on the disk as far as Windows documents it (NTFS journals a
  // rename on one volume); the contents were committed before. A rename refused because another
  // program has the target open (an antivirus, an indexer) is tried again as long as a lock is
  // waited for; only then is the target written in place.
  Replacement result = Replacement::kRefused;
  const bool answered = keep_trying(kLongestWaitMilliseconds, kGrowingPauses, [&] {
    if (MoveFileExW(temporary.c_str(), target.place.path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      result = Replacement::kReplaced;
      return true;
    }
    const DWORD error = GetLastError();
    const bool in_use = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                        error == ERROR_LOCK_VIOLATION;
    if (in_use) return ending_requested();  // refused, without waiting out a request to end
    result = error == ERROR_NOT_SAME_DEVICE || error == ERROR_FILENAME_EXCED_RANGE ||
                     error == ERROR_WRITE_PROTECT
                 ? Replacement::kRefused
                 : Replacement::kFailed;
    return true;
  });
  if (!answered || result != Replacement::kReplaced) return result;
  let_go_of_new_file();
  forget_file_in_flight();
  // The target is no new file: its mark goes (where it stays, it is only an empty stream).
  if ((volume_flags(target.place.path) & FILE_NAMED_STREAMS) != 0) {
    static_cast<void>(DeleteFileW(mark_of(target.place.path).c_str()));
  }
  return Replacement::kReplaced;
}

// With the new file's own handle open, the removal is not refused for another program's: the
// file goes when the last program lets go of it.
void remove_file(const Target&, const std::filesystem::path& temporary) {
  remove_path(temporary);
  let_go_of_new_file();
  forget_file_in_flight();
}

void clear_abandoned_files(const Target& target) {
  const std::optional<std::wstring> prefix = prefix_beside(target);
  if (!prefix) return;
  const std::filesystem::path folder = target.place.path.parent_path();
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((folder / (*prefix + L"*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  FILETIME now_time{};
  GetSystemTimeAsFileTime(&now_time);
  const auto ticks = [](const FILETIME& time) {
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  };
  // Where the volume keeps no named streams (FAT), a new file carries no mark.
  const bool marks = (volume_flags(target.place.path) & FILE_NAMED_STREAMS) != 0;
  do {
    const std::wstring_view entry = found.cFileName;
    // The search matched the prefix as Windows compares names, whatever their case.
    if (entry.size() != new_file_name_size<wchar_t>(*prefix) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        ticks(found.ftLastWriteTime) + kAbandonedAfter > ticks(now_time)) {
      continue;
    }
    const std::filesystem::path path = folder / entry;
    // Unmarked: another program's, unless it is empty (a run cut before it marked its new file).
    const bool empty = found.nFileSizeHigh == 0 && found.nFileSizeLow == 0;
    if (marks && !empty && !marked(path)) continue;
    // Only the runner's own: another user's file is theirs to delete.
    if (owned_by_the_runner(Security::at(path), path)) remove_unless_open(path);
  } while (FindNextFileW(search, &found) != 0);
  FindClose(search);
}

}  // namespace pairset::platform
