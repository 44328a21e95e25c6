#include "system/access_windows.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace pairset::platform {
namespace {

constexpr const wchar_t* kRunner = L"S-1-5-21-1-2-3-1001";
constexpr const wchar_t* kColleague = L"S-1-5-21-1-2-3-1002";
constexpr const wchar_t* kEveryone = L"S-1-1-0";
constexpr const wchar_t* kAdministrators = L"S-1-5-32-544";
constexpr const wchar_t* kSystem = L"S-1-5-18";
constexpr const wchar_t* kCreatorOwner = L"S-1-3-0";

// A security identifier made from its text, freed with the scope.
struct Sid {
  explicit Sid(const wchar_t* text) {
    PSID made = nullptr;
    EXPECT_NE(ConvertStringSidToSidW(text, &made), 0) << text;
    sid.reset(made);
  }
  PSID get() const { return sid.get(); }
  struct Free {
    void operator()(void* made) const { LocalFree(made); }
  };
  std::unique_ptr<void, Free> sid;
};

// One entry of an access list: allowed or denied, to whom, what, and whether it only passes to
// what the folder will contain.
struct Entry {
  bool allowed;
  const wchar_t* sid;
  ACCESS_MASK mask;
  bool inherit_only = false;
};

constexpr ACCESS_MASK kRead = FILE_GENERIC_READ;
constexpr ACCESS_MASK kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
constexpr ACCESS_MASK kAll = FILE_ALL_ACCESS;

// Gives an access list of `entries`, in order.
std::vector<unsigned char> acl_of(const std::vector<Entry>& entries) {
  std::vector<unsigned char> acl(1024);
  auto* list = reinterpret_cast<ACL*>(acl.data());
  EXPECT_NE(InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION), 0);
  for (const Entry& entry : entries) {
    const Sid sid(entry.sid);
    const DWORD flags = entry.inherit_only ? INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE : 0;
    EXPECT_NE(entry.allowed
                  ? AddAccessAllowedAceEx(list, ACL_REVISION, flags, entry.mask, sid.get())
                  : AddAccessDeniedAceEx(list, ACL_REVISION, flags, entry.mask, sid.get()),
              0);
  }
  return acl;
}

// A run takes for its own only the files of the runner and of the accounts that may change every
// file anyway.
TEST(Access, RunnersOwnAreTheRunnersAndTheAdministrators) {
  const Sid runner(kRunner);
  for (const auto& [label, sid, taken] : std::vector<std::tuple<const char*, const wchar_t*, bool>>{
           {"the runner", kRunner, true},
           {"the administrators", kAdministrators, true},
           {"the system", kSystem, true},
           {"the target's owner", L"S-1-5-21-1-2-3-1003", false},
           {"a colleague", kColleague, false},
       }) {
    EXPECT_EQ(runners_own(Sid(sid).get(), runner.get()), taken) << label;
  }
}

// The state folder is used only where no one but the runner, the system and the administrators
// may change it.
TEST(Access, StateFolderIsPrivateOnlyToTheRunner) {
  struct Row {
    const char* label;
    const wchar_t* owner;  // null: the file system keeps no owners
    std::vector<Entry> entries;
    bool is_private;
  };
  const std::vector<Entry> profile = {
      {true, kSystem, kAll}, {true, kAdministrators, kAll}, {true, kRunner, kAll}};
  const Sid runner(kRunner);
  for (const Row& row : std::vector<Row>{
           {"in the runner's profile", kRunner, profile, true},
           {"made by an elevated administrator", kAdministrators, profile, true},
           {"readable by everyone",
            kRunner,
            {{true, kRunner, kAll}, {true, kEveryone, kRead}},
            true},
           {"passing rights to the files' makers",
            kRunner,
            {{true, kRunner, kAll}, {true, kCreatorOwner, kAll, true}},
            true},
           {"writable by everyone",
            kRunner,
            {{true, kRunner, kAll}, {true, kEveryone, kModify}},
            false},
           {"a colleague may add files",
            kRunner,
            {{true, kRunner, kAll}, {true, kColleague, FILE_ADD_FILE}},
            false},
           {"another user's", kColleague, profile, false},
           {"no owners kept", nullptr, {}, true},
       }) {
    const std::vector<unsigned char> acl = acl_of(row.entries);
    const std::unique_ptr<Sid> owner = row.owner ? std::make_unique<Sid>(row.owner) : nullptr;
    EXPECT_EQ(private_to(runner.get(), owner ? owner->get() : nullptr,
                         reinterpret_cast<const ACL*>(acl.data())),
              row.is_private)
        << row.label;
  }
  EXPECT_FALSE(private_to(runner.get(), runner.get(), nullptr)) << "no list: anyone may";
}

}  // namespace
}  // namespace pairset::platform
