#include "system/access_windows.h"

#include <aclapi.h>

#include <string>

#include "system/open_file_windows.h"

namespace pairset::platform {
namespace {

// What lets a user change what a folder contains, or who may.
constexpr ACCESS_MASK kChangesFolder = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                       DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                       GENERIC_ALL;

bool is(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

// Calls `visit(type, mask, sid)` for each allow or deny entry of `dacl` that applies to the file
// or folder itself, in order, until it gives true; gives true where one did.
template <typename Visit>
bool any_entry(const ACL* dacl, Visit visit) {
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (GetAce(const_cast<ACL*>(dacl), index, &entry) == 0) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    // An allow and a deny entry are laid out alike.
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (visit(header->AceType, allowed->Mask, static_cast<PSID>(&allowed->SidStart))) return true;
  }
  return false;
}

}  // namespace

Security Security::of(HANDLE handle) {
  Security security;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &security.owner_,
                      nullptr, &security.dacl_, nullptr, &security.descriptor_) != ERROR_SUCCESS) {
    security.descriptor_ = nullptr;
    security.owner_ = nullptr;
    security.dacl_ = nullptr;
  }
  return security;
}

Security Security::at(const std::filesystem::path& path) {
  Security security;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &security.owner_, nullptr, &security.dacl_, nullptr,
                            &security.descriptor_) != ERROR_SUCCESS) {
    security.descriptor_ = nullptr;
    security.owner_ = nullptr;
    security.dacl_ = nullptr;
  }
  return security;
}

DWORD volume_flags(const std::filesystem::path& path) {
  std::wstring root(MAX_PATH + 1, L'\0');
  DWORD flags = 0;
  if (GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size())) == 0 ||
      GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) == 0) {
    return 0;
  }
  return flags;
}

std::vector<unsigned char> runner_sid() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return {};
  DWORD size = 0;
  static_cast<void>(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
  std::vector<unsigned char> user(size);
  std::vector<unsigned char> sid;
  if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) != 0) {
    const PSID found = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    const auto* bytes = static_cast<const unsigned char*>(found);
    sid.assign(bytes, bytes + GetLengthSid(found));
  }
  CloseHandle(token);
  return sid;
}

bool administrative(PSID sid) {
  return is(sid, WinLocalSystemSid) || is(sid, WinBuiltinAdministratorsSid);
}

bool runners_own(PSID sid, PSID runner) {
  return EqualSid(sid, runner) != 0 || administrative(sid);
}

bool private_to(PSID runner, PSID owner, const ACL* dacl) {
  // A file system that keeps no owners (FAT) keeps nothing from anyone who may log on: a folder
  // there is as much the runner's as any.
  if (owner == nullptr) return true;
  if (dacl == nullptr || (EqualSid(owner, runner) == 0 && !administrative(owner))) return false;
  return !any_entry(dacl, [&](BYTE type, ACCESS_MASK mask, PSID entry) {
    return type == ACCESS_ALLOWED_ACE_TYPE && (mask & kChangesFolder) != 0 &&
           EqualSid(entry, runner) == 0 && !administrative(entry) &&
           !is(entry, WinCreatorOwnerSid) && !is(entry, WinCreatorOwnerRightsSid);
  });
}

bool owned_by_the_runner(const Security& security, const std::filesystem::path& path) {
  if ((volume_flags(path) & FILE_PERSISTENT_ACLS) == 0) return true;
  std::vector<unsigned char> runner = runner_sid();
  return security.owner() != nullptr && !runner.empty() &&
         runners_own(security.owner(), runner.data());
}

bool runners_copy(const std::filesystem::path& path, int file) {
  return owned_by_the_runner(Security::of(handle_of(file)), path);
}

bool private_folder(const std::filesystem::path& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  // Where the volume keeps no owners (FAT), no folder is anyone's own: this one is as private
  // as any.
  if ((volume_flags(folder) & FILE_PERSISTENT_ACLS) == 0) return true;
  const Security security = Security::at(folder);
  std::vector<unsigned char> runner = runner_sid();
  return security.known() && !runner.empty() &&
         private_to(runner.data(), security.owner(), security.dacl());
}

}  // namespace pairset::platform
