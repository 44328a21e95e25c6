// Files on Windows: a path opens by its wide-character spelling, a new file is made with an
// exclusive open under a random name, and MoveFileExW replaces a file in one step.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "system/platform.h"

namespace pairset::platform {
namespace {

// The command-line arguments, each with the wide spelling it was given in.
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

constexpr int kAttempts = 100;

}  // namespace

// Windows gives large pages only to processes with a privilege that users do not hold.
char* allocate_buffer(std::size_t capacity) {
  return static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
}

Descriptor::~Descriptor() {
  if (descriptor_ >= 0) static_cast<void>(_close(descriptor_));
}

void prepare(int argc, char** argv) {
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

int open_existing_for_writing(const std::filesystem::path& path) {
  return _wopen(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

std::FILE* writing_stream(int descriptor) {
  return _fdopen(descriptor, "wb");
}

bool is_regular_file(int descriptor) {
  struct _stat64 info {};
  return regular(descriptor, info);
}

// Windows programs rarely meet symbolic links; a link named as the target is replaced itself.
std::filesystem::path follow_links(const std::filesystem::path& path) {
  return path;
}

// A file created on Windows gets the folder's inherited access rights, as a file created at the
// target would, and an existing target that was writable is never read-only: there is nothing of
// `existing` to copy.
int create_temporary(const std::filesystem::path& target, int, std::filesystem::path& temporary) {
  static constexpr wchar_t kLetters[] =
      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> letter(0, std::size(kLetters) - 2);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::wstring name = L"." + target.filename().wstring() + L".pairset-";
    for (int i = 0; i < 6; ++i) name += kLetters[letter(random)];
    const std::filesystem::path candidate = target.parent_path() / name;
    const int descriptor =
        _wopen(candidate.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
    if (descriptor >= 0) {
      temporary = candidate;
      return descriptor;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool flush_to_disk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  // A device such as NUL keeps nothing to commit.
  struct _stat64 info {};
  return !regular(_fileno(file), info) || _commit(_fileno(file)) == 0;
}

bool replace_file(const std::filesystem::path& temporary, const std::filesystem::path& target) {
  return MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_file(const std::filesystem::path& temporary) {
  static_cast<void>(_wremove(temporary.c_str()));
}

}  // namespace pairset::platform
