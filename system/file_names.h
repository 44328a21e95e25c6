// The names of the files a run makes for a target, alike on every system, made and recognised in
// one place so that a later run finds what an earlier one left: the new file .NAME.pairset-XXXXXX,
// the undo copy NAME.pairset-undo (VOLUME-FILE.pairset-undo in the state folder), set aside as
// NAME.pairset-stale; in the system's own characters (bytes on Linux, wide on Windows).
#ifndef PAIRSET_SYSTEM_FILE_NAMES_H_
#define PAIRSET_SYSTEM_FILE_NAMES_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "system/identity.h"

namespace pairset::platform {

// How many random letters make a new file's name unique.
inline constexpr std::size_t kNewFileLetters = 6;

// The mark a new file carries until it has taken the target's place, by which a later run tells
// a run's file from another program's of the same form: on Linux an extended attribute with a
// value, on Windows a named stream.
inline constexpr const char* kNewFileMarkAttribute = "user.pairset-new";
inline constexpr std::string_view kNewFileMarkValue = "new";
inline constexpr std::wstring_view kNewFileMarkStream = L":pairset-new";

// Gives the ASCII text `ascii` in characters of type Char.
template <class Char>
std::basic_string<Char> spelled(std::string_view ascii) {
  return std::basic_string<Char>(ascii.begin(), ascii.end());
}

// Gives what the names of the new files beside a target named `name` start with: .NAME.pairset-,
// with no more of NAME than its first `kept` characters, so that the whole name fits where the
// system limits names or paths.
template <class Char>
std::basic_string<Char> new_file_prefix(std::basic_string_view<Char> name, std::size_t kept) {
  // Appended piece by piece: GCC 12 warns of a false overlap in a + b + c of strings.
  std::basic_string<Char> prefix = spelled<Char>(".");
  prefix.append(name.substr(0, std::min(name.size(), kept)));
  prefix.append(spelled<Char>(".pairset-"));
  return prefix;
}

// Gives a name for a new file: `prefix` and kNewFileLetters random letters and digits.
template <class Char>
std::basic_string<Char> new_file_name(std::basic_string<Char> prefix) {
  static constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::random_device random;
  std::uniform_int_distribution<std::size_t> letter(0, kLetters.size() - 1);
  for (std::size_t i = 0; i < kNewFileLetters; ++i) {
    prefix += static_cast<Char>(kLetters[letter(random)]);
  }
  return prefix;
}

// Gives how long the names of new files that start with `prefix` are.
template <class Char>
std::size_t new_file_name_size(std::basic_string_view<Char> prefix) {
  return prefix.size() + kNewFileLetters;
}

// Gives true when `entry` has the form of a new file's name that starts with `prefix`.
template <class Char>
bool is_new_file_name(std::basic_string_view<Char> entry, std::basic_string_view<Char> prefix) {
  return entry.size() == new_file_name_size(prefix) && entry.starts_with(prefix);
}

// Gives the name of the undo copy beside a target named `name`.
template <class Char>
std::basic_string<Char> undo_copy_name(std::basic_string_view<Char> name) {
  std::basic_string<Char> copy(name);
  copy.append(spelled<Char>(".pairset-undo"));
  return copy;
}

// Gives the name of the undo copy, in the state folder, of the file `origin`: its file system's
// (volume's) own identity and its number, which stay the file's own whatever path reaches it.
template <class Char>
std::basic_string<Char> state_copy_name(const FileOrigin& origin) {
  return spelled<Char>(std::to_string(origin.file_system) + "-" + std::to_string(origin.inode) +
                       ".pairset-undo");
}

// Gives the name an undo copy named `copy` is set aside under, before any number that keeps it
// apart from one set aside before: NAME.pairset-stale.
template <class Char>
std::basic_string<Char> stale_copy_name(std::basic_string_view<Char> copy) {
  const std::basic_string<Char> suffix = spelled<Char>(".pairset-undo");
  if (copy.ends_with(suffix)) copy.remove_suffix(suffix.size());
  std::basic_string<Char> stale(copy);
  stale.append(spelled<Char>(".pairset-stale"));
  return stale;
}

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_FILE_NAMES_H_
