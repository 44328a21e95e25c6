// Recovering a whole run: what runs cut short left of a target, put back, removed or set aside
// before the run reads anything.
#include "system/recovery.h"

#include <algorithm>
#include <cstring>

#include "system/endings.h"
#include "system/fingerprint.h"
#include "system/in_place.h"
#include "system/io.h"
#include "system/new_file.h"
#include "system/undo_copy.h"

namespace pairset {
namespace {

// Sets aside the whole copies that runs cut short left beside the missing `target`: the file
// they belong to was deleted since, and a person is told. Gives true where there were none.
bool set_aside_copies_of_a_gone_file(const platform::Target& target) {
  const std::string name = name_in_header(target);
  bool none = true;
  for (platform::UndoCopy& copy : platform::find_undo_copies(target, {})) {
    const std::optional<LeftCopy> left = copy.trusted ? read_left_copy(copy) : std::nullopt;
    if (left && left->whole && left->parsed->header.name == name) {
      static_cast<void>(platform::set_aside_undo_copy(copy));
      none = false;
    }
  }
  return none;
}

// What a target contains, told against the complete undo copy that a run cut short left of it.
enum class LeftState {
  kOld,      // wholly the old contents: the run had not yet written
  kResult,   // wholly the result: the run had written all of it
  kCut,      // each sector the one or the other, at a length the run leaves: cut while writing
  kChanged,  // anything else: someone changed the file since the cut
};

// Tells what the target open at `file` has against the complete copy `copy` (header `parsed`);
// nothing where it cannot be read. A run lengthens the file (with zeros) to a longer result first
// and cuts it to a shorter one last; a disk writes each sector whole or not at all.
std::optional<LeftState> compare_with_copy(const platform::UndoCopy& copy,
                                           const ParsedUndoHeader& parsed, int file) {
  const UndoHeader& header = parsed.header;
  const std::optional<std::uint64_t> size = platform::file_size(file);
  if (!size) return std::nullopt;
  if (*size != header.size && *size != header.result) return LeftState::kChanged;
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  const platform::Buffer now(platform::allocate_buffer(kChunk));
  const platform::Buffer before(platform::allocate_buffer(kChunk));
  if (!now || !before) return std::nullopt;
  // The fingerprints of a chunk's sectors, of those that the result reaches.
  std::string prints(8 * sectors_of(kChunk), '\0');
  const auto stored_print = [&prints](std::size_t index) {
    std::uint64_t print = 0;
    for (int byte = 7; byte >= 0; --byte) {
      print = (print << 8) | static_cast<unsigned char>(prints[index * 8 + byte]);
    }
    return print;
  };
  bool all_old = *size == header.size;
  bool all_result = *size == header.result;
  for (std::uint64_t at = 0; at < *size; at += kChunk) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *size - at));
    // The old contents there, and zeros past their end.
    const auto old_count = static_cast<std::size_t>(
        at < header.size ? std::min<std::uint64_t>(count, header.size - at) : 0);
    const std::uint64_t first_print = at / kSectorSize;
    const auto print_count =
        static_cast<std::size_t>(std::min(sectors_of(at + count), sectors_of(header.result)) -
                                 std::min(first_print, sectors_of(header.result)));
    if (!platform::read_at(file, at, {now.get(), count}) ||
        !platform::read_at(copy.file.get(), parsed.length + at, {before.get(), old_count}) ||
        !platform::read_at(copy.file.get(), fingerprints_at(parsed) + 8 * first_print,
                           {prints.data(), 8 * print_count})) {
      return std::nullopt;
    }
    std::memset(before.get() + old_count, 0, count - old_count);
    for (std::size_t sector = 0; sector < count; sector += kSectorSize) {
      const std::size_t end = std::min(sector + kSectorSize, count);
      const std::uint64_t offset = at + sector;
      // The result's part of the sector; past the result's end, what was there before.
      const std::size_t result_end =
          offset < header.result ? sector + static_cast<std::size_t>(std::min<std::uint64_t>(
                                                end - sector, header.result - offset))
                                 : sector;
      const bool old = std::memcmp(now.get() + sector, before.get() + sector, end - sector) == 0;
      const bool result =
          offset < header.result &&
          sector_fingerprint({now.get() + sector, result_end - sector}) ==
              stored_print(sector / kSectorSize) &&
          std::memcmp(now.get() + result_end, before.get() + result_end, end - result_end) == 0;
      if (!old && !result) return LeftState::kChanged;
      all_old = all_old && old;
      all_result = all_result && result;
    }
  }
  return all_result ? LeftState::kResult : all_old ? LeftState::kOld : LeftState::kCut;
}

}  // namespace

bool put_back_left_copies(const platform::Target& target, int file,
                          const platform::FileOrigin& origin, bool read_as_a_source) {
  const std::string name = name_in_header(target);
  bool restored = true;
  for (platform::UndoCopy& copy : platform::find_undo_copies(target, origin)) {
    const std::optional<LeftCopy> left = read_left_copy(copy);
    if (!left) {
      // Only a copy that may be put back is missed.
      if (copy.trusted) restored = false;
      continue;
    }
    const std::optional<ParsedUndoHeader>& parsed = left->parsed;
    const bool whole = left->whole;
    const bool ours = parsed && names_the_target(parsed->header, origin, name, copy.beside_target);
    if (!copy.trusted) {
      // Someone else's: its bytes never go in, and it stays. Only a source that it says a cut
      // tore is then not read.
      if (read_as_a_source && whole && ours &&
          compare_with_copy(copy, *parsed, file).value_or(LeftState::kCut) == LeftState::kCut) {
        restored = false;
      }
      continue;
    }
    if (parsed && !ours) {
      // The old contents of a file that had this name (a reused number, a file replaced or
      // restored by hand): never put into the file that has the name now, but not lost either.
      if (whole && parsed->header.name == name) {
        static_cast<void>(platform::set_aside_undo_copy(copy));
        restored = false;
      }
      continue;  // another file's
    }
    if (!whole) {
      // Cut short while it was written, so the target was not yet touched; or made unusable by
      // a run that had written the whole result, and only its removal was lost.
      if (starts_like_undo_copy(left->start)) static_cast<void>(platform::remove_undo_copy(copy));
      continue;
    }
    const std::optional<LeftState> state = compare_with_copy(copy, *parsed, file);
    if (!state) {
      restored = false;
      continue;
    }
    if (*state == LeftState::kChanged) {
      // Restored from a backup, edited or written anew since the cut: what the file has now is
      // someone's, and the old contents are kept aside for a person to look at.
      static_cast<void>(platform::set_aside_undo_copy(copy));
      restored = false;
      continue;
    }
    if (*state != LeftState::kCut) {
      // Untouched, or wholly written: only the copy's removal was lost.
      static_cast<void>(discard_undo_copy(copy));
      continue;
    }
    const platform::EndingsDeferred deferred;
    if (!copy_back(copy, parsed->length, parsed->header.size, file) || !discard_undo_copy(copy)) {
      restored = false;
    }
  }
  return restored;
}

Failure restore_interrupted(platform::Target& target, std::span<const char* const> sources) {
  if (target.kind == platform::TargetKind::kCannotOpen) return Failure::kNone;
  // A run cut short while it made a new target leaves its new file too, and no copy.
  platform::clear_abandoned_files(target);
  if (target.kind == platform::TargetKind::kMissing) {
    return set_aside_copies_of_a_gone_file(target) ? Failure::kNone : Failure::kWriteError;
  }
  if (target.kind != platform::TargetKind::kRegular) return Failure::kNone;
  const std::optional<platform::FileOrigin> named = platform::origin_of(target.file.get());
  // Cheap where nothing was left: no copy means nothing to wait for.
  if (!named || platform::find_undo_copies(target, *named).empty()) return Failure::kNone;

  // A run writing the target in place holds it from before it makes its copy until after it
  // removes it: once it is done, the copies left are from runs that were cut short, and no run
  // can make the target newer than they are while it is held here.
  // A target that may not be written, or that another program keeps locked, is not touched: the run
  // says it cannot open it, as it would without a copy.
  platform::Descriptor file(platform::open_for_update(target));
  if (!file.is_open() || !platform::lock_exclusively(file.get())) return Failure::kCannotOpen;
  const std::optional<platform::FileOrigin> origin = platform::origin_of(file.get());
  const std::optional<platform::FileIdentity> identity = platform::identity_of(file.get());
  if (!origin || !identity) return Failure::kWriteError;
  const bool read_as_a_source =
      std::any_of(sources.begin(), sources.end(),
                  [&](const char* source) { return platform::identity_at(source) == identity; });
  return put_back_left_copies(target, file.get(), *origin, read_as_a_source) ? Failure::kNone
                                                                             : Failure::kWriteError;
}

}  // namespace pairset
