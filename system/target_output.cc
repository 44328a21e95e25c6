#include "system/target_output.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "system/endings.h"
#include "system/fingerprint.h"
#include "system/identity.h"
#include "system/in_place.h"
#include "system/io.h"
#include "system/new_file.h"
#include "system/recovery.h"
#include "system/target.h"
#include "system/undo_copy.h"

namespace pairset {
namespace {

using Pieces = std::span<const OutputPiece>;

// The most one write or copy is given: small enough that a console event on Windows is seen
// within a moment, large enough that the number of calls does not matter.
constexpr std::uint64_t kWriteChunk = std::uint64_t{4} << 20;

// A result up to this size, all in memory, is gathered and written in one call: a settings file
// of a few KiB is five small pieces, and five system calls cost more than the copy.
constexpr std::uint64_t kGatheredSize = std::uint64_t{64} << 10;

// What one write in place is given: a whole number of sectors.
constexpr std::uint64_t kSectorChunk = std::uint64_t{1} << 20;
static_assert(kSectorChunk % kSectorSize == 0);

// Gives the outcome `failure` of the target.
Outcome result(Failure failure) {
  return {failure, nullptr};
}

// Gives true when every piece is in memory.
bool all_in_memory(Pieces pieces) {
  return std::all_of(pieces.begin(), pieces.end(),
                     [](const OutputPiece& piece) { return !piece.in_file(); });
}

// Gives true when the piece is read from the file whose identity is `identity`.
bool reads_file(const OutputPiece& piece, const std::optional<platform::FileIdentity>& identity) {
  return piece.in_file() && identity && platform::identity_of(piece.file) == identity;
}

// Writes the pieces in order at the descriptor's position, copying those in files from them; an
// ending asked for is seen between chunks.
Outcome write_pieces(int descriptor, Pieces pieces) {
  if (all_in_memory(pieces) && total_length(pieces) <= kGatheredSize) {
    std::string gathered;
    for (const OutputPiece& piece : pieces) gathered.append(piece.bytes.data(), piece.bytes.size());
    return result(platform::write_all(descriptor, gathered) ? Failure::kNone
                                                            : Failure::kWriteError);
  }
  for (const OutputPiece& piece : pieces) {
    for (std::uint64_t done = 0; done < piece.length();) {
      if (platform::ending_requested()) return result(Failure::kWriteError);
      const std::uint64_t count = std::min(piece.length() - done, kWriteChunk);
      if (!piece.in_file()) {
        if (!platform::write_all(descriptor,
                                 piece.bytes.subspan(static_cast<std::size_t>(done),
                                                     static_cast<std::size_t>(count)))) {
          return result(Failure::kWriteError);
        }
      } else {
        // A read error names the piece's source; any other failure is the target's.
        const Failure copied =
            platform::copy_range(piece.file, piece.offset + done, descriptor, std::nullopt, count);
        if (copied != Failure::kNone) {
          return {copied, copied == Failure::kReadError ? piece.source : nullptr};
        }
      }
      done += count;
    }
  }
  return result(Failure::kNone);
}

// Writes the pieces from the start of the file in whole chunks of 1 MiB and a last, shorter one:
// a write cut short anywhere (a kill, the kernel stopping at a page, a power cut) leaves the file
// changed in whole sectors, by which the next run tells the cut from a change made since.
Outcome write_in_sectors(int descriptor, Pieces pieces) {
  const auto capacity =
      static_cast<std::size_t>(std::min<std::uint64_t>(total_length(pieces), kSectorChunk));
  const platform::Buffer chunk(platform::allocate_buffer(std::max<std::size_t>(capacity, 1)));
  if (!chunk) return result(Failure::kOutOfMemory);
  std::size_t filled = 0;
  std::uint64_t written = 0;
  const auto flush = [&] {
    const bool done = platform::write_at(descriptor, written, {chunk.get(), filled});
    written += filled;
    filled = 0;
    return done;
  };
  for (const OutputPiece& piece : pieces) {
    for (std::uint64_t done = 0; done < piece.length();) {
      // Whole chunks of a file straight from it, by the kernel where it can.
      const std::uint64_t whole = (piece.length() - done) / capacity * capacity;
      if (piece.in_file() && filled == 0 && whole > 0) {
        const Failure copied =
            platform::copy_range(piece.file, piece.offset + done, descriptor, written, whole);
        if (copied != Failure::kNone) {
          return {copied, copied == Failure::kReadError ? piece.source : nullptr};
        }
        written += whole;
        done += whole;
        continue;
      }
      const auto count = static_cast<std::size_t>(
          std::min<std::uint64_t>(piece.length() - done, capacity - filled));
      if (!piece.in_file()) {
        std::copy_n(piece.bytes.data() + done, count, chunk.get() + filled);
      } else if (!platform::read_at(piece.file, piece.offset + done,
                                    {chunk.get() + filled, count})) {
        return {Failure::kReadError, piece.source};
      }
      filled += count;
      done += count;
      if (filled == capacity && !flush()) return result(Failure::kWriteError);
    }
  }
  return result(filled == 0 || flush() ? Failure::kNone : Failure::kWriteError);
}

// Gives `pieces` in `kept`, those read from the file whose identity is `identity` read into
// `memory` first: a stream that is that very file would write over what is still to be read.
Outcome buffer_pieces_of(const std::optional<platform::FileIdentity>& identity, Pieces pieces,
                         std::vector<OutputPiece>& kept, std::vector<platform::Buffer>& memory) {
  kept.assign(pieces.begin(), pieces.end());
  for (std::size_t index = 0; index < kept.size(); ++index) {
    OutputPiece& piece = kept[index];
    if (!reads_file(piece, identity)) continue;
    if (piece.size > std::numeric_limits<std::size_t>::max()) {
      return result(Failure::kOutOfMemory);
    }
    const auto size = static_cast<std::size_t>(piece.size);
    memory.emplace_back(platform::allocate_buffer(size));
    if (!memory.back()) return result(Failure::kOutOfMemory);
    if (!platform::read_at(piece.file, piece.offset, {memory.back().get(), size})) {
      return {Failure::kReadError, piece.source};
    }
    piece = OutputPiece{{memory.back().get(), size}};
  }
  return result(Failure::kNone);
}

// A device, a FIFO or pipe, or a stream the process has open: the bytes go straight in. A reader
// that leaves early is a failed write, but on standard output, where it ends the run as always.
Outcome write_directly(platform::Target& target, Pieces pieces) {
  std::vector<OutputPiece> kept;
  std::vector<platform::Buffer> memory;
  const Outcome read =
      buffer_pieces_of(platform::identity_of(target.file.get()), pieces, kept, memory);
  if (read.failure != Failure::kNone) return read;
  std::optional<platform::BrokenPipesReported> reported;
  if (!target.is_standard_output) reported.emplace();
  const Outcome written = write_pieces(target.file.get(), kept);
  if (written.failure != Failure::kNone) return written;
  return result(platform::flush_to_disk(target.file.get()) && target.file.close()
                    ? Failure::kNone
                    : Failure::kWriteError);
}

// A target made empty by this run, written directly; removed again if that fails, since it had
// nothing before.
Outcome write_created(platform::Target& target, Pieces pieces) {
  Outcome written = write_pieces(target.file.get(), pieces);
  if (written.failure == Failure::kNone && !platform::flush_to_disk(target.file.get())) {
    written = result(Failure::kWriteError);
  }
  if (!platform::settle_created(target, written.failure == Failure::kNone) &&
      written.failure == Failure::kNone) {
    written = result(Failure::kWriteError);
  }
  return written;
}

// Gives `pieces`, with those read from the target itself read from its kept old contents
// instead: the target is about to be written over.
std::vector<OutputPiece> read_from_copy(Pieces pieces, const platform::FileIdentity& target,
                                        const KeptContents& kept) {
  std::vector<OutputPiece> redirected(pieces.begin(), pieces.end());
  for (OutputPiece& piece : redirected) {
    if (!reads_file(piece, target)) continue;
    piece.file = kept.copy.file.get();
    piece.offset += kept.contents_at;
  }
  return redirected;
}

// Writes the existing regular target in place, as FoundTarget::write says.
Outcome write_in_place(platform::Target& target, Pieces pieces) {
  platform::Descriptor file(platform::open_for_update(target));
  if (!file.is_open()) return result(Failure::kCannotOpen);
  // Another run writing the same file finishes first, its result then the old contents; one that
  // locks it for longer, or another program's lock, leaves it untouched.
  if (!platform::lock_exclusively(file.get())) return result(Failure::kCannotOpen);
  // What a run cut short since this one began left of the file goes back first.
  const std::optional<platform::FileIdentity> identity = platform::identity_of(file.get());
  const std::optional<platform::FileOrigin> origin = platform::origin_of(file.get());
  const bool read_as_a_source =
      std::any_of(pieces.begin(), pieces.end(),
                  [&](const OutputPiece& piece) { return reads_file(piece, identity); });
  if (!identity || !origin ||
      !put_back_left_copies(target, file.get(), *origin, read_as_a_source)) {
    return result(Failure::kWriteError);
  }
  const std::optional<std::uint64_t> old_size = platform::file_size(file.get());
  if (!old_size) return result(Failure::kWriteError);

  // The old contents, and the result's fingerprints, go to an undo copy on the disk before the
  // first byte changes: a power cut or a kill from here on leaves it for the next run. Every other
  // ending is deferred until the file is whole and the copy gone.
  const platform::EndingsDeferred deferred;
  KeptContents kept;
  const Outcome kept_outcome =
      keep_old_contents(target, file.get(), *old_size, *origin, pieces, kept);
  if (!kept_outcome.ok()) return kept_outcome;
  // A piece of the target itself is read from the copy, which has it as it was.
  const std::vector<OutputPiece> sources = read_from_copy(pieces, *identity, kept);

  const std::uint64_t new_size = total_length(sources);
  if (!platform::reserve(file.get(), new_size)) {
    static_cast<void>(platform::truncate(file.get(), *old_size));
    static_cast<void>(discard_undo_copy(kept.copy));
    return result(Failure::kWriteError);
  }
  // Success only once the copy is unusable on the disk too: one that came back after a power cut
  // would otherwise put the old contents back.
  Outcome written = write_in_sectors(file.get(), sources);
  if (written.failure == Failure::kNone) {
    if (platform::truncate(file.get(), new_size) && platform::flush_to_disk(file.get()) &&
        discard_undo_copy(kept.copy)) {
      // A failed close now cannot make the result less whole: the run reports what is true.
      static_cast<void>(file.close());
      return written;
    }
    written = result(Failure::kWriteError);
  }
  // Where even putting back fails, the copy stays, and the next run puts it back; the target is
  // then what the run reports.
  if (!copy_back(kept.copy, kept.contents_at, kept.old_size, file.get())) {
    return result(Failure::kWriteError);
  }
  static_cast<void>(discard_undo_copy(kept.copy));
  return written;
}

// The new file beside the target, removed on every way out unless it took the target's place.
class NewFile {
 public:
  explicit NewFile(platform::Target& target)
      : target_(target),
        made_(platform::create_replacement(target, path_)),
        file_(made_.descriptor) {}
  ~NewFile() { discard(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  platform::Descriptor& file() { return file_; }
  // Gives true where no new file was made because none can take the target's place.
  bool refused() const { return made_.refused; }
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
  platform::NewFileMade made_;
  platform::Descriptor file_;
};

// Replaces the target (or makes the missing one) through a new file beside it, else writes an
// existing target in place and makes a missing one directly. Gives nothing where a file took a
// missing target's name meanwhile: it is to be written as the existing target it now is.
std::optional<Outcome> write_through_new_file(platform::Target& target, Pieces pieces) {
  const bool exists = target.kind == platform::TargetKind::kRegular;
  // Where an open file keeps its name, a target read for the result goes in place at once: its
  // rename would be refused until every retry had failed.
  if (exists && !platform::replaces_open_files()) {
    const std::optional<platform::FileIdentity> identity = platform::identity_of(target.file.get());
    if (std::any_of(pieces.begin(), pieces.end(),
                    [&](const OutputPiece& piece) { return reads_file(piece, identity); })) {
      return write_in_place(target, pieces);
    }
  }
  if (exists && !platform::wait_until_unlocked(target)) return result(Failure::kCannotOpen);
  NewFile replacement(target);
  if (!replacement.file().is_open()) {
    const bool refused = replacement.refused();
    if (exists) return refused ? write_in_place(target, pieces) : result(Failure::kWriteError);
    // As creating the target itself would have failed; unless only the new file's name did not
    // fit, and the target's own name does.
    if (!refused || !platform::create_target(target)) return result(Failure::kCannotOpen);
    return write_created(target, pieces);
  }
  const Outcome written = write_pieces(replacement.file().get(), pieces);
  if (written.failure != Failure::kNone) return written;
  if (!platform::flush_to_disk(replacement.file().get()) || !replacement.file().close()) {
    return result(Failure::kWriteError);
  }
  switch (replacement.put_in_place()) {
    case platform::Replacement::kReplaced:
      return written;
    case platform::Replacement::kRefused:
      replacement.discard();
      return exists ? write_in_place(target, pieces) : result(Failure::kCannotOpen);
    case platform::Replacement::kFailed:
      break;
    case platform::Replacement::kNameTaken:
      replacement.discard();
      return std::nullopt;
  }
  return result(Failure::kWriteError);
}

}  // namespace

FoundTarget::FoundTarget(const char* path)
    : path_(path), target_(std::make_unique<platform::Target>(platform::look_up_target(path))) {}
FoundTarget::~FoundTarget() = default;
FoundTarget::FoundTarget(FoundTarget&& other) noexcept = default;
FoundTarget& FoundTarget::operator=(FoundTarget&& other) noexcept = default;

Outcome FoundTarget::restore(std::span<const char* const> sources) {
  return result(restore_interrupted(*target_, sources));
}

Outcome FoundTarget::write(Pieces pieces) {
  // An empty name opens nothing, as creating it would not.
  if (*path_ == '\0') return result(Failure::kCannotOpen);
  // A file that takes a new target's name meanwhile is written once more, as the file it is.
  platform::Target target = platform::open_target(path_, std::move(*target_));
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) target = platform::open_target(path_);
    switch (target.kind) {
      case platform::TargetKind::kCannotOpen:
        return result(Failure::kCannotOpen);
      case platform::TargetKind::kStream:
        return write_directly(target, pieces);
      case platform::TargetKind::kCreated:
        return write_created(target, pieces);
      case platform::TargetKind::kMissing:
      case platform::TargetKind::kRegular:
        break;
    }
    if (const std::optional<Outcome> written = write_through_new_file(target, pieces)) {
      return *written;
    }
  }
  return result(Failure::kCannotOpen);
}

}  // namespace pairset
