// What files are on each system: how a path from the command line opens, how a new file is
// made beside a target and put in its place, and how both reach the disk. The POSIX and
// Windows ways stand in platform_posix.cc and platform_windows.cc; nothing else knows them.
#ifndef PAIRSET_SYSTEM_PLATFORM_H_
#define PAIRSET_SYSTEM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace pairset::platform {

// Makes the process ready for one run on the command line `argv`: a file-size limit is a failed
// write rather than the end of the process, and on Windows every argument keeps its
// wide-character spelling, so that a name the ANSI code page cannot spell still opens.
void prepare(int argc, char** argv);

// Gives `capacity` bytes of uninitialised memory for a whole source file, to be released with
// std::free, or null when memory is short. Large buffers are placed where the system can back
// them with large pages: filling fresh memory costs mostly one fault per page.
char* allocate_buffer(std::size_t capacity);

// Gives the path that opens the file `path` names: on Windows the wide spelling of a command-line
// argument, or the ANSI reading of any other text; on POSIX the bytes as they are.
std::filesystem::path native_path(const char* path);

// Gives the stream at `path` opened in binary `mode` ("rb" or "wb"), or null with errno set.
std::FILE* open_stream(const std::filesystem::path& path, const char* mode);

// Gives the size of the regular file behind `file`, or 0 when it is not a regular file.
std::uint64_t regular_file_size(std::FILE* file);

// An open file descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }
  bool is_open() const { return descriptor_ >= 0; }
  // Gives the descriptor up to the caller, who closes it.
  int release() { return std::exchange(descriptor_, -1); }

 private:
  int descriptor_;
};

// Opens an existing file for writing without emptying it: gives its descriptor, or -1 with errno
// set (ENOENT when there is no such file).
int open_existing_for_writing(const std::filesystem::path& path);

// Gives a binary stream that writes to `descriptor` and owns it, or null (the descriptor is then
// still the caller's).
std::FILE* writing_stream(int descriptor);

// Gives true when the descriptor is a regular file, as opposed to a device or a FIFO.
bool is_regular_file(int descriptor);

// Gives the file that the symbolic links at `path` lead to, or `path` when it is no link.
std::filesystem::path follow_links(const std::filesystem::path& path);

// Creates a new, empty file with a unique name in the folder of `target`, exclusively (never an
// existing file or link), with the permissions of the open `existing` target, or of a file
// newly created at `target` when `existing` is -1. Gives its descriptor and sets `temporary`,
// or gives -1 with errno set. On POSIX, until replace_file or remove_file, SIGINT, SIGTERM or
// SIGHUP removes the file before the process ends.
int create_temporary(const std::filesystem::path& target, int existing,
                     std::filesystem::path& temporary);

// Gives true once everything written to `file` has left the process and is on the disk.
bool flush_to_disk(std::FILE* file);

// Puts `temporary` in place of `target` in one step and gives true, or gives false and leaves
// both as they were. The new name is then made to survive a power cut as well as can be.
bool replace_file(const std::filesystem::path& temporary, const std::filesystem::path& target);

// Removes the file `temporary`, which nothing needs any more.
void remove_file(const std::filesystem::path& temporary);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_PLATFORM_H_
