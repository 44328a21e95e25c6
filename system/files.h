// What the layers above system/ read files with: the run made ready, buffers, descriptors, reads,
// and a file's bytes kept in memory or left in the file. The rest of system/ is for itself.
#ifndef PAIRSET_SYSTEM_FILES_H_
#define PAIRSET_SYSTEM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <utility>

namespace pairset::platform {

// Makes the process ready for one run on `argv`: a file-size limit is a failed write, not the
// end; the endings a user may ask for clean up after the run; and on Windows every argument
// keeps its wide spelling, so that a name the ANSI code page cannot spell still opens.
void prepare(int argc, char** argv);

// Gives `capacity` bytes of uninitialised memory, to be released with std::free, or null when
// memory is short; a large one where the system can back it with large pages (filling fresh
// memory costs mostly one fault per page).
char* allocate_buffer(std::size_t capacity);

// Releases a buffer of allocate_buffer.
struct BufferRelease {
  void operator()(char* data) const { std::free(data); }
};
using Buffer = std::unique_ptr<char[], BufferRelease>;

// Gives the path that opens the file `path` names: on Windows, for a command-line argument (the
// very pointer), its wide spelling, so that two names the ANSI code page spells alike stay apart,
// else the ANSI reading; on Linux the bytes as they are.
std::filesystem::path native_path(const char* path);

// Gives a descriptor that reads the file at `path` from its start, not inherited by other
// programs, or -1.
int open_for_reading(const std::filesystem::path& path);

// Gives the size of the regular file behind `descriptor`, or 0 when it is not a regular file.
std::uint64_t regular_file_size(int descriptor);

// Fills `bytes` from the descriptor's position until they are full or the file ends; gives how
// many were read, or nothing when a read failed.
std::optional<std::size_t> read_up_to(int descriptor, std::span<char> bytes);

// An open file descriptor that closes itself.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() { static_cast<void>(close()); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : descriptor_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      static_cast<void>(close());
      descriptor_ = other.release();
    }
    return *this;
  }

  int get() const { return descriptor_; }
  bool is_open() const { return descriptor_ >= 0; }
  // Gives the descriptor up to the caller.
  int release() { return std::exchange(descriptor_, -1); }
  // Closes the descriptor and gives true when everything written through it was taken.
  bool close();

 private:
  int descriptor_ = -1;
};

// Fills `bytes` from `offset` and gives true when all of them were read.
bool read_at(int descriptor, std::uint64_t offset, std::span<char> bytes);

}  // namespace pairset::platform

namespace pairset {

// Bytes of a file as the run has them, the pieces a target is written from: `bytes` in memory,
// or, where `file` is open, `size` bytes of it from `offset`, read when needed (a source's body);
// `source` is the path a failed read names.
struct OutputPiece {
  std::span<const char> bytes;
  int file = -1;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  const char* source = nullptr;

  // Gives true where the bytes are to be read from `file`.
  bool in_file() const { return file >= 0; }
  // Gives how many bytes the piece has.
  std::uint64_t length() const { return in_file() ? size : bytes.size(); }
};

// Gives the length of the whole of `pieces`, one after another.
inline std::uint64_t total_length(std::span<const OutputPiece> pieces) {
  std::uint64_t length = 0;
  for (const OutputPiece& piece : pieces) length += piece.length();
  return length;
}

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_FILES_H_
