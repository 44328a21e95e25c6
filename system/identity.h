// What tells one file from another: while it is open (its identity), and across remounts and
// restarts (its origin, by which an undo copy names its target). Each system in its own
// identity_*.cc.
#ifndef PAIRSET_SYSTEM_IDENTITY_H_
#define PAIRSET_SYSTEM_IDENTITY_H_

#include <cstdint>
#include <optional>

namespace pairset::platform {

// What tells one file from every other while it exists: its device and inode (on Windows the
// volume's serial number and the file's index).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Gives the identity of the open file `descriptor`, or nothing when it cannot be told.
std::optional<FileIdentity> identity_of(int descriptor);

// Gives the identity of the file at `path` (a command-line argument) as it is now, or nothing
// where nothing opens there.
std::optional<FileIdentity> identity_at(const char* path);

// What names one file across remounts and restarts, but not a file that took its number after
// it was deleted.
struct FileOrigin {
  std::uint64_t file_system = 0;  // Linux: f_fsid; Windows: the volume's serial number
  std::uint64_t inode = 0;        // Windows: the file's index
  std::uint64_t generation = 0;   // the inode's generation; 0 where the file system keeps none
  std::uint64_t birth = 0;        // when the file was made, in ns; 0 where unknown (Windows)
  bool operator==(const FileOrigin&) const = default;
};

// Gives the origin of the open file `descriptor` (its generation only where it is open to read
// or write), or nothing when it cannot be told.
std::optional<FileOrigin> origin_of(int descriptor);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_IDENTITY_H_
