// Files on Windows: a path opens by its wide-character spelling, a new file is made with an
// exclusive open under a random name and given the target's attributes, MoveFileExW replaces a
// file in one step, and a console event (Ctrl+C, Ctrl+Break, a closed window, logoff, shutdown)
// waits until the file being written is whole or removed.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "system/attributes_windows.h"
#include "system/platform.h"

namespace pairset::platform {
namespace {

// The command-line arguments (the very pointers of argv), each with the wide spelling it was given
// in. An argument is found by its pointer, not its text: two names that the ANSI code page spells
// alike ("????.cn1" for two Cyrillic names on a Western Windows) are two arguments still.
std::vector<std::pair<const char*, std::wstring>> g_wide_arguments;

// Gives `wide` as the C runtime spells it in the ANSI code page for a narrow argv.
std::string ansi_spelling(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  narrow.pop_back();  // the closing zero
  return narrow;
}

// Gives the ANSI text `narrow` in wide characters.
std::wstring wide_spelling(const char* narrow) {
  const int size = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide.data(), size);
  wide.pop_back();
  return wide;
}

// Gives true when the open file behind `descriptor` is a regular file.
bool regular(int descriptor, struct _stat64& info) {
  return _fstat64(descriptor, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}

// The files the run has in flight (a new file that exists, a target being written in place),
// and whether the user or the system asked the run to end. The console handler runs on a thread
// of its own, so both are atomic.
std::atomic<int> g_in_flight{0};
std::atomic<bool> g_ending_requested{false};

// Ends the process as the default console handler would.
[[noreturn]] void end_as_requested() {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Notes one more file in flight; a request to end that came first ends the run before it starts.
void enter_flight() {
  ++g_in_flight;
  if (g_ending_requested) end_as_requested();
}

// Notes one file fewer in flight; the last one ends the run if that was asked for meanwhile.
void leave_flight() {
  if (--g_in_flight == 0 && g_ending_requested) end_as_requested();
}

// Ctrl+C, Ctrl+Break, a closed console window, logoff or shutdown. With no file in flight the
// default handler ends the process at once. Otherwise this thread waits, and the run ends the
// process as soon as its file is whole or removed (Windows ends it anyway some seconds after a
// closed window, logoff or shutdown).
BOOL WINAPI on_console_event(DWORD) {
  g_ending_requested = true;
  if (g_in_flight == 0) return FALSE;
  Sleep(INFINITE);
  return TRUE;
}

// The longest path that the C runtime's file functions take.
constexpr std::size_t kLongestPath = MAX_PATH - 1;

// Renames refused because another program has the target or the new file open (an antivirus,
// an indexer, the terminal software) are tried again for this long, in growing pauses.
constexpr DWORD kRetryMilliseconds = 2000;
constexpr DWORD kLongestPause = 500;

constexpr int kAttempts = 100;

// The most one _write or _read is given: they take an int.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

// Gives the file handle behind a C runtime descriptor.
HANDLE handle_of(int descriptor) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// Sets the length of the file behind `descriptor` through its handle: _chsize_s is missing from
// XP's msvcrt, and MinGW's stand-in stops at 2 GiB.
bool set_length(int descriptor, std::uint64_t size) {
  const HANDLE handle = handle_of(descriptor);
  LARGE_INTEGER position{};
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(handle, {}, &position, FILE_CURRENT) != 0 &&
         SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0 &&
         SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) != 0;
}

// Removes `path`, trying again while another program (an antivirus scanner that opened the new
// file without delete sharing) holds it, for as long as a rename is tried.
void remove_path(const std::filesystem::path& path) {
  DWORD pause = 10;
  for (DWORD waited = 0; DeleteFileW(path.c_str()) == 0; waited += pause) {
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        waited >= kRetryMilliseconds) {
      return;
    }
    Sleep(pause);
    pause = std::min<DWORD>(pause * 2, kLongestPause);
  }
}

}  // namespace

// Windows gives large pages only to processes with a privilege that users do not hold.
char* allocate_buffer(std::size_t capacity) {
  return static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
}

bool Descriptor::close() {
  const int descriptor = std::exchange(descriptor_, -1);
  return descriptor < 0 || _close(descriptor) == 0;
}

void prepare(int argc, char** argv) {
  static_cast<void>(SetConsoleCtrlHandler(on_console_event, TRUE));
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return;
  // An argument is taken in its wide spelling only where the C runtime split the line the same
  // way; anything else opens by its narrow spelling, as it always did.
  if (count == argc) {
    for (int i = 0; i < argc; ++i) {
      const std::wstring spelling = wide[i];
      if (ansi_spelling(spelling) == argv[i]) g_wide_arguments.emplace_back(argv[i], spelling);
    }
  }
  LocalFree(static_cast<HLOCAL>(wide));
}

std::filesystem::path native_path(const char* path) {
  for (const auto& [narrow, wide] : g_wide_arguments) {
    if (narrow == path) return wide;
  }
  return wide_spelling(path);
}

std::FILE* open_stream(const std::filesystem::path& path, const char* mode) {
  const std::wstring wide_mode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wide_mode.c_str());
}

std::uint64_t regular_file_size(std::FILE* file) {
  struct _stat64 info {};
  if (!regular(_fileno(file), info) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::uint64_t> file_size(int descriptor) {
  struct _stat64 info {};
  if (_fstat64(descriptor, &info) != 0 || info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

// Windows programs name devices (NUL, CON), not descriptors: a device is written directly.
Target open_target(const char* path) {
  Target target;
  target.name = native_path(path);
  target.file = Descriptor(_wopen(target.name.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT));
  if (!target.file.is_open()) {
    if (errno == ENOENT) target.kind = TargetKind::kMissing;
    return target;
  }
  struct _stat64 info {};
  target.kind = regular(target.file.get(), info) ? TargetKind::kRegular : TargetKind::kStream;
  return target;
}

bool create_target(Target& target) {
  enter_flight();
  target.file = Descriptor(_wopen(target.name.c_str(),
                                  _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                                  _S_IREAD | _S_IWRITE));
  if (!target.file.is_open()) {
    const int error = errno;
    leave_flight();
    errno = error;
    return false;
  }
  target.kind = TargetKind::kCreated;
  return true;
}

bool settle_created(Target& target, bool written) {
  written = target.file.close() && written;
  if (!written) remove_path(target.name);
  leave_flight();
  return written;
}

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

int open_for_update(Target& target) {
  // The file opened to be looked at is closed first: it was opened for writing alone.
  static_cast<void>(target.file.close());
  const int descriptor = _wopen(target.name.c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT);
  return descriptor >= 0 ? descriptor
                         : _wopen(target.name.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

bool lock_exclusively(int descriptor) {
  // The whole file and any length it may grow to; released when the descriptor is closed. A
  // file system that keeps no locks is written without one.
  constexpr DWORD kPause = 20;
  for (DWORD waited = 0;; waited += kPause) {
    OVERLAPPED from_start{};
    if (LockFileEx(handle_of(descriptor), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   MAXDWORD, MAXDWORD, &from_start) != 0 ||
        GetLastError() != ERROR_LOCK_VIOLATION) {
      return true;
    }
    if (waited >= static_cast<DWORD>(kLongestWaitMilliseconds)) return false;
    Sleep(kPause);
  }
}

bool wait_until_unlocked(const Target& target) {
  // A byte-range lock does not keep a rename from replacing the file, so it is looked for: a
  // shared hold, given up at once, meets any exclusive one.
  const Descriptor file(_wopen(target.name.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
  if (!file.is_open()) return true;  // one that may not be read is written all the same
  constexpr DWORD kPause = 20;
  for (DWORD waited = 0;; waited += kPause) {
    OVERLAPPED from_start{};
    if (LockFileEx(handle_of(file.get()), LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &from_start) != 0) {
      OVERLAPPED unlocked{};
      static_cast<void>(UnlockFileEx(handle_of(file.get()), 0, MAXDWORD, MAXDWORD, &unlocked));
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) return true;
    if (waited >= static_cast<DWORD>(kLongestWaitMilliseconds)) return false;
    Sleep(kPause);
  }
}

bool write_all(int descriptor, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const auto count = static_cast<unsigned>(std::min(bytes.size(), kLargestTransfer));
    const int written = _write(descriptor, bytes.data(), count);
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool write_at(int descriptor, std::uint64_t offset, std::span<const char> bytes) {
  return _lseeki64(descriptor, static_cast<__int64>(offset), SEEK_SET) >= 0 &&
         write_all(descriptor, bytes);
}

bool read_at(int descriptor, std::uint64_t offset, std::span<char> bytes) {
  if (_lseeki64(descriptor, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
  while (!bytes.empty()) {
    const auto count = static_cast<unsigned>(std::min(bytes.size(), kLargestTransfer));
    const int got = _read(descriptor, bytes.data(), count);
    if (got <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return true;
}

// Lengthening the file makes the file system allocate its clusters; the caller cuts it back.
bool reserve(int descriptor, std::uint64_t size) {
  const std::optional<std::uint64_t> current = file_size(descriptor);
  if (!current) return false;
  return size <= *current || set_length(descriptor, size);
}

bool truncate(int descriptor, std::uint64_t size) {
  return set_length(descriptor, size);
}

bool flush_to_disk(int descriptor) {
  // A device such as NUL keeps nothing to commit.
  struct _stat64 info {};
  return !regular(descriptor, info) || _commit(descriptor) == 0;
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
    if (waited >= kRetryMilliseconds || g_ending_requested) return Replacement::kRefused;
    Sleep(pause);
    waited += pause;
    pause = std::min<DWORD>(pause * 2, kLongestPause);
  }
}

void remove_file(const Target&, const std::filesystem::path& temporary) {
  remove_path(temporary);
  leave_flight();
}

// No signal ends a Windows program for a reader that left: the write fails by itself.
BrokenPipesReported::BrokenPipesReported() = default;
BrokenPipesReported::~BrokenPipesReported() = default;

bool ending_requested() {
  return g_ending_requested;
}

EndingsHeld::EndingsHeld() {
  enter_flight();
}

EndingsHeld::~EndingsHeld() {
  leave_flight();
}

}  // namespace pairset::platform
