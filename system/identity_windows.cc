// Identities and origins of files on Windows: the volume's serial number and the file's index,
// which stay with an NTFS volume under any letter and across restarts.
#include <windows.h>

#include "system/files.h"
#include "system/identity.h"
#include "system/open_file_windows.h"

namespace pairset::platform {
namespace {

// Gives the file's index, which tells it from every other file on its volume.
std::uint64_t index_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

}  // namespace

std::optional<FileIdentity> identity_of(int descriptor) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle_of(descriptor), &info) == 0) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, index_of(info)};
}

std::optional<FileIdentity> identity_at(const char* path) {
  // Opened only to be looked at, sharing everything.
  const HANDLE handle = CreateFileW(native_path(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, index_of(info)};
}

std::optional<FileOrigin> origin_of(int descriptor) {
  // The volume's serial number and the file's index stay with an NTFS volume under any letter
  // and across restarts; NTFS gives a reused index another sequence number in its high bits, so
  // the index alone tells a reused one. The creation time is not taken: a file made under a
  // deleted one's name within seconds inherits it, and wine gives the change time instead.
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle_of(descriptor), &info) == 0) return std::nullopt;
  FileOrigin origin;
  origin.file_system = info.dwVolumeSerialNumber;
  origin.inode = index_of(info);
  return origin;
}

}  // namespace pairset::platform
