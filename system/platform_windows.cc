// Files on Windows: a path opens by its wide-character spelling, buffers are plain memory, and a
// descriptor is read and written whole.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "system/endings_windows.h"
#include "system/io.h"
#include "system/new_file.h"
#include "system/open_file_windows.h"
#include "system/retry.h"

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

// The most one _write or _read is given: they take an int.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

}  // namespace

// Windows gives large pages only to processes with a privilege that users do not have.
char* allocate_buffer(std::size_t capacity) {
  return static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
}

bool Descriptor::close() {
  const int descriptor = std::exchange(descriptor_, -1);
  return descriptor < 0 || _close(descriptor) == 0;
}

void prepare(int argc, char** argv) {
  install_console_handler();
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
  return widened(CP_ACP, path);
}

int open_for_reading(const std::filesystem::path& path) {
  return _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

std::uint64_t regular_file_size(int descriptor) {
  struct _stat64 info {};
  if (!regular(descriptor, info) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::size_t> read_up_to(int descriptor, std::span<char> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto count = static_cast<unsigned>(std::min(bytes.size() - done, kLargestTransfer));
    const int got = _read(descriptor, bytes.data() + done, count);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::optional<std::uint64_t> file_size(int descriptor) {
  struct _stat64 info {};
  if (_fstat64(descriptor, &info) != 0 || info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
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
  return _lseeki64(descriptor, static_cast<__int64>(offset), SEEK_SET) >= 0 &&
         read_up_to(descriptor, bytes) == bytes.size();
}

Failure copy_range(int from, std::uint64_t from_offset, int to,
                   std::optional<std::uint64_t> to_offset, std::uint64_t size) {
  return copy_through_buffer(from, from_offset, to, to_offset, size);
}

// A file open here keeps its name: MoveFileExW does not replace it.
bool replaces_open_files() {
  return false;
}

void begin_flush(int) {
  // Windows has no flush that does not wait.
}

bool flush_to_disk(int descriptor) {
  // A device such as NUL keeps nothing to commit.
  struct _stat64 info {};
  return !regular(descriptor, info) || _commit(descriptor) == 0;
}

void pause_for(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace pairset::platform
