#include "system/target_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "system/platform.h"

namespace pairset {
namespace {

using Pieces = std::span<const std::span<const char>>;

// The most one write is given: small enough that a console event on Windows is seen within a
// moment, large enough that the number of calls does not matter.
constexpr std::size_t kWriteChunk = std::size_t{4} << 20;

// Gives the length of the whole result.
std::uint64_t total_size(Pieces pieces) {
  std::uint64_t size = 0;
  for (const std::span<const char> piece : pieces) size += piece.size();
  return size;
}

// A result up to this size is gathered and written in one call: a settings file of a few KiB
// is five small pieces, and five system calls cost more than the copy.
constexpr std::size_t kGatheredSize = std::size_t{64} << 10;

// Writes the pieces in order at the descriptor's position; gives false on a failed write or
// when the run is asked to end.
bool write_pieces(int descriptor, Pieces pieces) {
  if (total_size(pieces) <= kGatheredSize) {
    std::string gathered;
    for (const std::span<const char> piece : pieces) gathered.append(piece.data(), piece.size());
    return platform::write_all(descriptor, gathered);
  }
  for (std::span<const char> piece : pieces) {
    while (!piece.empty()) {
      if (platform::ending_requested()) return false;
      const std::size_t count = std::min(piece.size(), kWriteChunk);
      if (!platform::write_all(descriptor, piece.first(count))) return false;
      piece = piece.subspan(count);
    }
  }
  return true;
}

// Writes the pieces in order from the start of the file; gives false on a failed write.
bool write_pieces_at_start(int descriptor, Pieces pieces) {
  std::uint64_t offset = 0;
  for (const std::span<const char> piece : pieces) {
    if (!platform::write_at(descriptor, offset, piece)) return false;
    offset += piece.size();
  }
  return true;
}

// A device, a FIFO or a stream: nothing to replace or put back, so the bytes go straight in.
OutputStatus write_directly(platform::Descriptor& descriptor, Pieces pieces) {
  const bool written = write_pieces(descriptor.get(), pieces) &&
                       platform::flush_to_disk(descriptor.get()) && descriptor.close();
  return written ? OutputStatus::kWritten : OutputStatus::kWriteError;
}

// Writes the existing regular file at `path` in place, as the description of
// write_target_output says.
OutputStatus write_in_place(const std::filesystem::path& path, Pieces pieces) {
  platform::Descriptor file(platform::open_for_update(path));
  if (!file.is_open()) return OutputStatus::kCannotOpen;
  const std::optional<std::uint64_t> old_size = platform::file_size(file.get());
  if (!old_size || *old_size > SIZE_MAX) return OutputStatus::kWriteError;

  // The old contents are kept in memory, to be put back if a write fails. A file that may be
  // written but not read cannot be kept; it is still written only after its room is reserved.
  const auto old_length = static_cast<std::size_t>(*old_size);
  const std::unique_ptr<char[]> old(new (std::nothrow) char[std::max<std::size_t>(old_length, 1)]);
  if (!old) return OutputStatus::kWriteError;
  const std::span<const char> old_contents(old.get(), old_length);
  const bool kept = platform::read_at(file.get(), 0, {old.get(), old_length});

  // From the first change (reserving room may lengthen the file) until the file is whole.
  const platform::EndingsHeld held;
  const std::uint64_t new_size = total_size(pieces);
  if (!platform::reserve(file.get(), new_size)) {
    static_cast<void>(platform::truncate(file.get(), *old_size));
    return OutputStatus::kWriteError;
  }
  if (write_pieces_at_start(file.get(), pieces) && platform::truncate(file.get(), new_size) &&
      platform::flush_to_disk(file.get())) {
    return file.close() ? OutputStatus::kWritten : OutputStatus::kWriteError;
  }
  if (kept) {
    static_cast<void>(platform::write_at(file.get(), 0, old_contents));
    static_cast<void>(platform::truncate(file.get(), *old_size));
    static_cast<void>(platform::flush_to_disk(file.get()));
  }
  return OutputStatus::kWriteError;
}

// The new file beside the target, removed on every way out unless it took the target's place.
class Replacement {
 public:
  Replacement(const std::filesystem::path& target, int existing)
      : file_(platform::create_replacement(target, existing, path_)) {}
  ~Replacement() { discard(); }
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  platform::Descriptor& file() { return file_; }
  // Removes the new file (closed first: Windows removes no open file).
  void discard() {
    if (path_.empty()) return;
    static_cast<void>(file_.close());
    platform::remove_file(path_);
    path_.clear();
  }
  // Puts the new file in the target's place.
  platform::Replacement put_in_place(const std::filesystem::path& target) {
    const platform::Replacement result = platform::replace_file(path_, target);
    if (result == platform::Replacement::kReplaced) path_.clear();
    return result;
  }

 private:
  std::filesystem::path path_;
  platform::Descriptor file_;
};

}  // namespace

OutputStatus write_target_output(const char* path, Pieces pieces) {
  // An empty name opens nothing, as creating it would not.
  if (*path == '\0') return OutputStatus::kCannotOpen;
  const std::filesystem::path native = platform::native_path(path);

  // The process's own output named as the target (/dev/stdout) gets the result and then the
  // message, in that order, rather than having its file replaced under it.
  platform::Descriptor held_stream(platform::open_held_stream(native));
  if (held_stream.is_open()) return write_directly(held_stream, pieces);

  // An existing target is opened for writing, without emptying it, to learn that it may be
  // written at all: a rename would replace even a read-only file.
  platform::Descriptor existing(platform::open_existing_for_writing(native));
  if (!existing.is_open() && errno != ENOENT) return OutputStatus::kCannotOpen;
  if (existing.is_open() && !platform::is_regular_file(existing.get())) {
    return write_directly(existing, pieces);
  }
  const bool exists = existing.is_open();

  const std::filesystem::path target = platform::follow_links(native);
  Replacement replacement(target, existing.get());
  const int error = errno;
  // Windows replaces no file that is open, not even by this process.
  static_cast<void>(existing.close());
  if (!replacement.file().is_open()) {
    if (!exists) return OutputStatus::kCannotOpen;  // as creating the target would have failed
    if (!platform::refuses_replacement(error)) return OutputStatus::kWriteError;
    return write_in_place(native, pieces);
  }
  if (!write_pieces(replacement.file().get(), pieces) ||
      !platform::flush_to_disk(replacement.file().get()) || !replacement.file().close()) {
    return OutputStatus::kWriteError;
  }
  switch (replacement.put_in_place(target)) {
    case platform::Replacement::kReplaced:
      return OutputStatus::kWritten;
    case platform::Replacement::kRefused:
      replacement.discard();
      return exists ? write_in_place(native, pieces) : OutputStatus::kCannotOpen;
    case platform::Replacement::kFailed:
      break;
  }
  return OutputStatus::kWriteError;
}

}  // namespace pairset
