// What files are on each system: how a path from the command line opens, how a new file is made
// beside a target and put in its place, how a file is written in place, how both reach the disk,
// and how the endings the user or the system asks for (signals, console events) wait for a file
// to be whole or removed. The POSIX and Windows ways stand in platform_posix.cc and
// platform_windows.cc; nothing else knows them.
#ifndef PAIRSET_SYSTEM_PLATFORM_H_
#define PAIRSET_SYSTEM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <utility>

namespace pairset::platform {

// Makes the process ready for one run on the command line `argv`: a file-size limit is a failed
// write rather than the end of the process, the endings a user may ask for clean up after the
// run, and on Windows every argument keeps its wide-character spelling, so that a name the ANSI
// code page cannot spell still opens.
void prepare(int argc, char** argv);

// Gives `capacity` bytes of uninitialised memory for a whole source file, to be released with
// std::free, or null when memory is short. Large buffers are placed where the system can back
// them with large pages: filling fresh memory costs mostly one fault per page.
char* allocate_buffer(std::size_t capacity);

// Gives the path that opens the file `path` names: on Windows the wide spelling of a command-line
// argument, or the ANSI reading of any other text; on POSIX the bytes as they are.
std::filesystem::path native_path(const char* path);

// Gives the stream at `path` opened in binary `mode` ("rb"), or null with errno set.
std::FILE* open_stream(const std::filesystem::path& path, const char* mode);

// Gives the size of the regular file behind `file`, or 0 when it is not a regular file.
std::uint64_t regular_file_size(std::FILE* file);

// An open file descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
  ~Descriptor() { static_cast<void>(close()); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }
  bool is_open() const { return descriptor_ >= 0; }
  // Closes the descriptor and gives true when everything written through it was taken.
  bool close();

 private:
  int descriptor_;
};

// Gives a new descriptor for the stream the process already holds that `path` names (on Linux
// /dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link to one), or -1 when it names none.
int open_held_stream(const std::filesystem::path& path);

// Opens an existing file for writing without emptying it: gives its descriptor, or -1 with errno
// set (ENOENT when there is no such file).
int open_existing_for_writing(const std::filesystem::path& path);

// Opens an existing regular file for reading and writing (for writing alone where it may not be
// read) without emptying it: gives its descriptor, or -1.
int open_for_update(const std::filesystem::path& path);

// Gives true when the descriptor is a regular file, as opposed to a device or a FIFO.
bool is_regular_file(int descriptor);

// Gives the size of the file behind `descriptor`, or nothing when it cannot be told.
std::optional<std::uint64_t> file_size(int descriptor);

// Gives the file that the symbolic links at `path` lead to, or `path` when it is no link.
std::filesystem::path follow_links(const std::filesystem::path& path);

// Creates a new, empty file with a unique name (.NAME.pairset-XXXXXX, NAME cut where the whole
// would be too long) in the folder of `target`, exclusively, that can take the place of the open
// `existing` target as the same file: its owner and group, permissions, extended attributes and
// ACL entries (on Windows its attributes); or, when `existing` is -1, a file as one newly created
// at `target` would be. Gives its descriptor and sets `temporary`, or gives -1 with errno set.
// Until replace_file or remove_file, every ending signal (console event) removes the file first.
int create_replacement(const std::filesystem::path& target, int existing,
                       std::filesystem::path& temporary);

// Gives true when `error` from create_replacement means that the new file cannot take the
// target's place (a folder that takes no new file, a target with more than one link, an owner or
// attribute that does not copy, a name too long), so that the target is to be written in place.
bool refuses_replacement(int error);

// Writes all of `bytes` at the descriptor's position and gives true when every byte was taken.
bool write_all(int descriptor, std::span<const char> bytes);

// Writes all of `bytes` at `offset` and gives true when every byte was taken.
bool write_at(int descriptor, std::uint64_t offset, std::span<const char> bytes);

// Fills `bytes` from `offset` and gives true when all of them were read.
bool read_at(int descriptor, std::uint64_t offset, std::span<char> bytes);

// Makes room on the disk for a file of `size` bytes, so that writing up to it cannot run out of
// space; gives false when there is no room (a full disk, a file-size limit).
bool reserve(int descriptor, std::uint64_t size);

// Sets the file's length to `size` and gives true.
bool truncate(int descriptor, std::uint64_t size);

// Gives true once everything written to the descriptor is on the disk (a device or a FIFO keeps
// nothing to sync).
bool flush_to_disk(int descriptor);

enum class Replacement {
  kReplaced,  // `temporary` now stands in place of the target
  kRefused,   // the folder or another program would not let it; both are as they were
  kFailed,    // any other failure; both are as they were
};

// Puts `temporary` in place of `target` in one step. The new name is then made to survive a
// power cut as well as the system allows.
Replacement replace_file(const std::filesystem::path& temporary,
                         const std::filesystem::path& target);

// Removes the file `temporary`, which nothing needs any more.
void remove_file(const std::filesystem::path& temporary);

// Gives true when the user or the system asked the run to end (on Windows a console event, seen
// between pieces of writing); the run then removes its new file and ends as asked. POSIX ends
// through its signal handlers instead and gives false.
bool ending_requested();

// Holds every ending signal (on Windows every console event) back for the life of the scope; one
// that arrives meanwhile takes effect when the last hold ends.
class EndingsHeld {
 public:
  EndingsHeld();
  ~EndingsHeld();
  EndingsHeld(const EndingsHeld&) = delete;
  EndingsHeld& operator=(const EndingsHeld&) = delete;
};

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_PLATFORM_H_
