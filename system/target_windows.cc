// The target on Windows: opened by the wide spelling of its own argument, so that two names the
// ANSI code page spells alike stay two files; of the devices only NUL given alone is written.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "system/endings_windows.h"
#include "system/identity.h"
#include "system/open_file_windows.h"
#include "system/target.h"

namespace pairset::platform {
namespace {

// Gives `text` in capitals, for the ASCII letters of device names.
std::wstring upper(std::wstring_view text) {
  std::wstring capitals(text);
  for (wchar_t& letter : capitals) {
    if (letter >= L'a' && letter <= L'z') letter = static_cast<wchar_t>(letter - L'a' + L'A');
  }
  return capitals;
}

// Gives true for `path` given as NUL alone: the discard that scripts use to check a pair without
// keeping the result, the one device a target may be.
bool is_the_discard(const char* path) {
  return upper(native_path(path).wstring()) == L"NUL";
}

// Gives true for a target whose name Windows takes for a device (NUL.c13, COM1:, \\.\COM1) but
// NUL alone: refused before anything is opened, since it may open nothing yet (a port unplugged).
bool refused_device(const char* path) {
  return names_a_device(native_path(path).wstring()) && !is_the_discard(path);
}

// Gives true for a unit number of COM and LPT: 1 to 9, and the superscripts ¹, ² and ³, which
// Windows takes for 1, 2 and 3.
bool device_digit(wchar_t digit) {
  return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
         digit == L'\u00B3';
}

}  // namespace

bool names_a_device(std::wstring_view path) {
  if (path.size() >= 4 && (path[0] == L'\\' || path[0] == L'/') &&
      (path[1] == L'\\' || path[1] == L'/') && path[2] == L'.' &&
      (path[3] == L'\\' || path[3] == L'/')) {
    return true;
  }
  // The last part, after any drive (C:NUL); it ends at an extension or a colon (COM1:, NUL.c13:).
  if (path.size() >= 2 && path[1] == L':') path.remove_prefix(2);
  const std::size_t last = path.find_last_of(L"\\/");
  std::wstring_view base = last == std::wstring_view::npos ? path : path.substr(last + 1);
  base = base.substr(0, base.find_first_of(L".:"));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  const std::wstring name = upper(base);
  if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
      name == L"CONOUT$") {
    return true;
  }
  return name.size() == 4 && (name.starts_with(L"COM") || name.starts_with(L"LPT")) &&
         device_digit(name[3]);
}

// Windows programs name devices (NUL, CON), not descriptors: a device is written directly. XP
// cannot reopen a handle, so the name is opened again, and where it no longer names the file
// found at the start of the run, nothing is written.
Target open_target(const char* path, Target found) {
  if (refused_device(path)) return {};
  Target target;
  target.place.path = native_path(path);
  target.file = Descriptor(_wopen(target.place.path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT));
  if (!target.file.is_open()) {
    if (errno == ENOENT && found.kind != TargetKind::kRegular) target.kind = TargetKind::kMissing;
    return target;
  }
  if (found.kind == TargetKind::kRegular && found.file.is_open() &&
      identity_of(found.file.get()) != identity_of(target.file.get())) {
    return {};
  }
  // What the name opened tells a device by any spelling: only a disk file or the discard is
  // written.
  if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(target.file.get()))) != FILE_TYPE_DISK &&
      !is_the_discard(path)) {
    return {};
  }
  struct _stat64 info {};
  target.kind = regular(target.file.get(), info) ? TargetKind::kRegular : TargetKind::kStream;
  return target;
}

Target look_up_target(const char* path) {
  Target target;
  if (*path == '\0' || refused_device(path)) return target;
  target.place.path = native_path(path);
  // Opened only to be looked at, sharing everything: no other program is kept from anything.
  const HANDLE handle = CreateFileW(target.place.path.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) target.kind = TargetKind::kMissing;
    return target;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY);
  if (descriptor < 0) {
    CloseHandle(handle);
    return target;
  }
  target.file = Descriptor(descriptor);
  if (GetFileType(handle) == FILE_TYPE_DISK) target.kind = TargetKind::kRegular;
  return target;
}

bool create_target(Target& target) {
  note_file_in_flight();
  target.file = Descriptor(create_new_file(target.place.path).descriptor);
  if (!target.file.is_open()) {
    forget_file_in_flight();
    return false;
  }
  target.kind = TargetKind::kCreated;
  return true;
}

bool settle_created(Target& target, bool written) {
  written = target.file.close() && written;
  if (!written) remove_path(target.place.path);
  let_go_of_new_file();
  forget_file_in_flight();
  return written;
}

std::filesystem::path file_name_of(const Target& target) {
  return target.place.path.filename();
}

}  // namespace pairset::platform
