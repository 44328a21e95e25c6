// What the Windows files of the system layer share: the handle behind a C runtime descriptor,
// setting a file's length, removing a file another program may hold for a moment, and how long
// that is tried.
#ifndef PAIRSET_SYSTEM_OPEN_FILE_WINDOWS_H_
#define PAIRSET_SYSTEM_OPEN_FILE_WINDOWS_H_

#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

namespace pairset::platform {

// Renames refused because another program has the target or the new file open (an antivirus,
// an indexer, the terminal software) are tried again for this long, in growing pauses.
inline constexpr DWORD kRetryMilliseconds = 2000;
inline constexpr DWORD kLongestPause = 500;

// Gives the file handle behind a C runtime descriptor.
inline HANDLE handle_of(int descriptor) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// Gives true when the open file behind `descriptor` is a regular file.
inline bool regular(int descriptor, struct _stat64& info) {
  return _fstat64(descriptor, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}

// Sets the length of the file behind `descriptor` through its handle: _chsize_s is missing from
// XP's msvcrt, and MinGW's stand-in stops at 2 GiB.
inline bool set_length(int descriptor, std::uint64_t size) {
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
inline void remove_path(const std::filesystem::path& path) {
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

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_OPEN_FILE_WINDOWS_H_
