#include "system/target_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "system/platform.h"
#include "system/undo_copy.h"

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

// A device, a FIFO or pipe, or a stream the process holds: nothing to replace or put back, so
// the bytes go straight in. A reader that leaves early is a failed write, except on the process's
// own standard output, where it ends the run as it always has.
OutputStatus write_directly(platform::Target& target, Pieces pieces) {
  std::optional<platform::BrokenPipesReported> reported;
  if (!target.is_standard_output) reported.emplace();
  const bool written = write_pieces(target.file.get(), pieces) &&
                       platform::flush_to_disk(target.file.get()) && target.file.close();
  return written ? OutputStatus::kWritten : OutputStatus::kWriteError;
}

// A target made empty by this run, written directly; removed again if that fails, since it held
// nothing before.
OutputStatus write_created(platform::Target& target, Pieces pieces) {
  const bool written =
      write_pieces(target.file.get(), pieces) && platform::flush_to_disk(target.file.get());
  return platform::settle_created(target, written) ? OutputStatus::kWritten
                                                   : OutputStatus::kWriteError;
}

// Writes the existing regular target in place, as the description of write_target_output says.
OutputStatus write_in_place(platform::Target& target, Pieces pieces) {
  platform::Descriptor file(platform::open_for_update(target));
  if (!file.is_open()) return OutputStatus::kCannotOpen;
  // Another run writing the same file finishes first; its result is then the old contents. One
  // that holds it for longer, or another program's lock, leaves it untouched.
  if (!platform::lock_exclusively(file.get())) return OutputStatus::kCannotOpen;
  // What a run cut short since this one began left of the file goes back first.
  const std::optional<platform::FileIdentity> identity = platform::identity_of(file.get());
  if (!identity || !put_back_left_copies(target, file.get(), *identity)) {
    return OutputStatus::kWriteError;
  }
  const std::optional<std::uint64_t> old_size = platform::file_size(file.get());
  if (!old_size) return OutputStatus::kWriteError;

  // The old contents go to an undo copy on the disk before the first byte changes: a power cut
  // or a kill from here on leaves them there, and the next run puts them back. Every ending is
  // held from here until the file is whole and the copy gone, so no other ending leaves either.
  const platform::EndingsHeld held;
  platform::UndoCopy undo;
  std::uint64_t contents_at = 0;
  switch (keep_old_contents(target, file.get(), *old_size, *identity, undo, contents_at)) {
    case UndoStatus::kDone:
      break;
    case UndoStatus::kFailed:
      return OutputStatus::kWriteError;
    case UndoStatus::kOutOfMemory:
      return OutputStatus::kOutOfMemory;
  }

  const std::uint64_t new_size = total_size(pieces);
  if (!platform::reserve(file.get(), new_size)) {
    static_cast<void>(platform::truncate(file.get(), *old_size));
    static_cast<void>(platform::remove_undo_copy(undo));
    return OutputStatus::kWriteError;
  }
  // The whole result on the disk is not yet success: the copy's removal must be there too, or a
  // copy that came back after a power cut would put the old contents back.
  if (write_pieces_at_start(file.get(), pieces) && platform::truncate(file.get(), new_size) &&
      platform::flush_to_disk(file.get()) && platform::remove_undo_copy(undo)) {
    // A close that reports a failure now cannot make the result less whole, and the target no
    // longer holds what it held, so the run reports what is true.
    static_cast<void>(file.close());
    return OutputStatus::kWritten;
  }
  // Where even putting back fails, the copy stays, and the next run puts it back.
  if (put_back(undo, contents_at, *old_size, file.get())) {
    static_cast<void>(platform::remove_undo_copy(undo));
  }
  return OutputStatus::kWriteError;
}

// The new file beside the target, removed on every way out unless it took the target's place.
class NewFile {
 public:
  explicit NewFile(platform::Target& target)
      : target_(target), file_(platform::create_replacement(target, path_)) {}
  ~NewFile() { discard(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  platform::Descriptor& file() { return file_; }
  // Removes the new file (closed first: Windows removes no open file).
  void discard() {
    if (path_.empty()) return;
    static_cast<void>(file_.close());
    platform::remove_file(target_, path_);
    path_.clear();
  }
  // Puts the new file in the target's place.
  platform::Replacement put_in_place() {
    const platform::Replacement result = platform::replace_file(target_, path_);
    if (result == platform::Replacement::kReplaced) path_.clear();
    return result;
  }

 private:
  platform::Target& target_;
  std::filesystem::path path_;
  platform::Descriptor file_;
};

// Replaces the target (or makes the missing one) through a new file beside it, falling back to
// writing an existing target in place, and a missing one directly, where no new file may stand.
// Gives nothing where a file took a missing target's name meanwhile: it is to be written as the
// existing target it now is.
std::optional<OutputStatus> write_through_new_file(platform::Target& target, Pieces pieces) {
  const bool exists = target.kind == platform::TargetKind::kRegular;
  if (exists && !platform::wait_until_unlocked(target)) return OutputStatus::kCannotOpen;
  NewFile replacement(target);
  if (!replacement.file().is_open()) {
    const bool refused = platform::refuses_replacement(errno);
    if (exists) return refused ? write_in_place(target, pieces) : OutputStatus::kWriteError;
    // As creating the target itself would have failed; unless only the new file's name did not
    // fit, and the target's own name does.
    if (!refused || !platform::create_target(target)) return OutputStatus::kCannotOpen;
    return write_created(target, pieces);
  }
  if (!write_pieces(replacement.file().get(), pieces) ||
      !platform::flush_to_disk(replacement.file().get()) || !replacement.file().close()) {
    return OutputStatus::kWriteError;
  }
  switch (replacement.put_in_place()) {
    case platform::Replacement::kReplaced:
      return OutputStatus::kWritten;
    case platform::Replacement::kRefused:
      replacement.discard();
      return exists ? write_in_place(target, pieces) : OutputStatus::kCannotOpen;
    case platform::Replacement::kFailed:
      break;
    case platform::Replacement::kNameTaken:
      replacement.discard();
      return std::nullopt;
  }
  return OutputStatus::kWriteError;
}

}  // namespace

OutputStatus write_target_output(const char* path, Pieces pieces) {
  // An empty name opens nothing, as creating it would not.
  if (*path == '\0') return OutputStatus::kCannotOpen;
  // A file that takes a new target's name meanwhile is written once more, as the file it is.
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::Target target = platform::open_target(path);
    switch (target.kind) {
      case platform::TargetKind::kCannotOpen:
        return OutputStatus::kCannotOpen;
      case platform::TargetKind::kStream:
        return write_directly(target, pieces);
      case platform::TargetKind::kCreated:
        return write_created(target, pieces);
      case platform::TargetKind::kMissing:
      case platform::TargetKind::kRegular:
        break;
    }
    if (const std::optional<OutputStatus> written = write_through_new_file(target, pieces)) {
      return *written;
    }
  }
  return OutputStatus::kCannotOpen;
}

}  // namespace pairset
