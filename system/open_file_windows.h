// What the Windows files of the system layer share: making a file no other program can keep, the
// handle behind a descriptor, a file's length, removing a file another program has open for a
// moment, the names of devices, and the attributes a file that replaces a target takes.
#ifndef PAIRSET_SYSTEM_OPEN_FILE_WINDOWS_H_
#define PAIRSET_SYSTEM_OPEN_FILE_WINDOWS_H_

#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "system/retry.h"

namespace pairset::platform {

// How long a file nothing needs is tried to be removed while another program has it open without
// delete sharing; one kept open longer is left to the next run, which clears abandoned files.
inline constexpr int kRemovalMilliseconds = 15000;

// A file made: its descriptor, or -1 and the system's error.
struct FileMade {
  int descriptor = -1;
  DWORD error = ERROR_SUCCESS;
};

// Makes a file at `path`, where none may stand, whose own handle stays open with delete access
// until let_go_of_new_file: meanwhile another program (a scanner, an indexer) opens it only if it
// lets it be renamed and deleted, so it can keep neither a rename waiting nor the file there.
FileMade create_new_file(const std::filesystem::path& path);

// Closes the own handle of the file create_new_file made last.
void let_go_of_new_file();

// Gives `text`, in the code page `code_page` (CP_ACP, CP_UTF8), in wide characters; none where it
// does not convert. No character takes more wide characters than it has bytes.
inline std::wstring widened(UINT code_page, std::string_view text) {
  const int size = static_cast<int>(text.size());
  std::wstring wide(text.size(), L'\0');
  const int made =
      size > 0 ? MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), size) : 0;
  wide.resize(static_cast<std::size_t>(made));
  return wide;
}

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

// Removes `path`, trying again while another program has it open without delete sharing, for
// kRemovalMilliseconds at most.
inline void remove_path(const std::filesystem::path& path) {
  static_cast<void>(keep_trying(kRemovalMilliseconds, kGrowingPauses, [&path] {
    if (DeleteFileW(path.c_str()) != 0) return true;
    const DWORD error = GetLastError();
    return error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION;
  }));
}

// Gives true when `path` names a device rather than a file: a path in the \\.\ space, or one
// whose last part is CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9 (also COM¹ to COM³ and LPT¹
// to LPT³), CONIN$ or CONOUT$, in any letter case, with any extension or colon after it and any
// spaces before that (NUL.c13, "COM1 .c13", COM1: and nul.c13: are devices too).
bool names_a_device(std::wstring_view path);

// Gives the attributes of the new file that replaces a target whose attributes are `target` (0
// for a new target): its hidden, system, archive and not-indexed ones, and Archive in any case,
// as every file Windows writes is marked for backup, so that xcopy /M and robocopy /M take it.
constexpr DWORD replacement_attributes(DWORD target) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  return FILE_ATTRIBUTE_ARCHIVE | (target & kKept);
}

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_OPEN_FILE_WINDOWS_H_
