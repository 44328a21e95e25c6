#include "system/undo_copy.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <vector>

#include "system/buffer_copy.h"
#include "system/endings.h"
#include "system/fingerprint.h"
#include "system/in_place.h"
#include "system/io.h"
#include "system/new_file.h"

namespace pairset {
namespace {

// The first line says what the file is to a program; the second says it to a person.
constexpr std::string_view kFirstLine = "pairset undo copy 3\n";
constexpr std::string_view kNotice =
    "The old contents of a file that pairset was writing in place when it was cut short. The "
    "next pairset run on that file puts them back. Do not delete this file while the file it "
    "names is half written.\n";

// Gives `text` after `prefix`, or nothing where it does not start so.
std::optional<std::string_view> after(std::string_view text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return std::nullopt;
  return text.substr(prefix.size());
}

// Reads the decimal number that `text` starts with, followed by `end`; gives the rest of `text`.
std::optional<std::string_view> read_number(std::string_view text, std::uint64_t& number,
                                            char end) {
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || stop == text.data() + text.size() || *stop != end) {
    return std::nullopt;
  }
  return text.substr(static_cast<std::size_t>(stop - text.data()) + 1);
}

// Gives the header's numbers in the order it records them, each after its word.
template <class Header>
auto numbers_of(Header& header) {
  const auto number = [](std::string_view word, auto* value) { return std::pair{word, value}; };
  return std::array{number("file-system", &header.target.file_system),
                    number("inode", &header.target.inode),
                    number("generation", &header.target.generation),
                    number("birth", &header.target.birth),
                    number("size", &header.size),
                    number("result", &header.result)};
}

// Gives the first bytes of the copy, as many as a header can have.
std::string read_start(const platform::UndoCopy& copy, std::uint64_t size) {
  constexpr std::size_t kLongestHeader = 8192;
  std::string start(static_cast<std::size_t>(std::min<std::uint64_t>(size, kLongestHeader)), '\0');
  if (!platform::read_at(copy.file.get(), 0, {start.data(), start.size()})) return {};
  return start;
}

// Gives where in a copy its fingerprints start.
std::uint64_t fingerprints_at(const ParsedUndoHeader& parsed) {
  return parsed.length + parsed.header.size;
}

// Gives true when the copy of `size` bytes holds all the old contents and fingerprints its header
// announces. No file holds 2^60 bytes: a header that says so is no copy's, and the sum is exact.
bool complete(const platform::UndoCopy& copy, const ParsedUndoHeader& parsed, std::uint64_t size) {
  constexpr std::uint64_t kLargest = std::uint64_t{1} << 60;
  if (parsed.header.size >= kLargest || parsed.header.result >= kLargest ||
      size !=
          fingerprints_at(parsed) + 8 * sectors_of(parsed.header.result) + kUndoTrailer.size()) {
    return false;
  }
  std::string trailer(kUndoTrailer.size(), '\0');
  return platform::read_at(copy.file.get(), size - trailer.size(),
                           {trailer.data(), trailer.size()}) &&
         trailer == kUndoTrailer;
}

// Gives the name for the header in UTF-8, which every name has a spelling in.
std::string name_of(const std::filesystem::path& name) {
  const std::u8string text = name.u8string();
  return {text.begin(), text.end()};
}

}  // namespace

std::string encode_undo_header(const UndoHeader& header) {
  std::string encoded(kFirstLine);
  encoded.append(kNotice);
  for (const auto& [word, number] : numbers_of(header)) {
    encoded.append(word).append(" ").append(std::to_string(*number)).append(" ");
  }
  return encoded.append("name ")
      .append(std::to_string(header.name.size()))
      .append(":")
      .append(header.name)
      .append("\n");
}

std::optional<ParsedUndoHeader> parse_undo_header(std::string_view bytes) {
  std::optional<std::string_view> rest = after(bytes, kFirstLine);
  if (rest) rest = after(*rest, kNotice);
  ParsedUndoHeader parsed;
  for (const auto& [word, number] : numbers_of(parsed.header)) {
    if (rest) rest = after(*rest, word);
    if (rest) rest = after(*rest, " ");
    if (rest) rest = read_number(*rest, *number, ' ');
  }
  std::uint64_t name_size = 0;
  if (rest) rest = after(*rest, "name ");
  if (rest) rest = read_number(*rest, name_size, ':');
  if (!rest || rest->size() <= name_size || (*rest)[name_size] != '\n') return std::nullopt;
  parsed.header.name = rest->substr(0, name_size);
  parsed.length = bytes.size() - rest->size() + name_size + 1;
  return parsed;
}

bool starts_like_undo_copy(std::string_view bytes) {
  const std::size_t compared = std::min(bytes.size(), kFirstLine.size());
  return bytes.substr(0, compared) == kFirstLine.substr(0, compared);
}

std::string encode_fingerprints(std::span<const std::uint64_t> fingerprints) {
  std::string encoded;
  encoded.reserve(fingerprints.size() * 8);
  for (std::uint64_t print : fingerprints) {
    for (int byte = 0; byte < 8; ++byte, print >>= 8) encoded.push_back(static_cast<char>(print));
  }
  return encoded;
}

namespace {

// Writes at the position of `copy` the fingerprints of each sector of `result`, read from its
// pieces a buffer at a time: what they take stays the same however large the result is.
Outcome write_fingerprints(int copy, std::span<const OutputPiece> result) {
  SectorFingerprints prints;
  const auto add = [&](std::span<const char> bytes) {
    prints.add(bytes);
    return platform::write_all(copy, encode_fingerprints(prints.take()));
  };
  for (const OutputPiece& piece : result) {
    const Failure read = piece.in_file()
                             ? read_through_buffer(piece.file, piece.offset, piece.size, add)
                         : add(piece.bytes) ? Failure::kNone
                                            : Failure::kWriteError;
    if (read != Failure::kNone) return {read, read == Failure::kReadError ? piece.source : nullptr};
  }
  return {platform::write_all(copy, encode_fingerprints(prints.finish())) ? Failure::kNone
                                                                          : Failure::kWriteError,
          nullptr};
}

// Gives the total length of the pieces.
std::uint64_t length_of(std::span<const OutputPiece> pieces) {
  std::uint64_t length = 0;
  for (const OutputPiece& piece : pieces) length += piece.length();
  return length;
}

}  // namespace

Outcome keep_old_contents(const platform::Target& target, int file, std::uint64_t old_size,
                          const platform::FileOrigin& origin, std::span<const OutputPiece> result,
                          KeptContents& kept) {
  platform::UndoCopy& copy = kept.copy;
  if (!platform::create_undo_copy(target, origin, copy)) return {Failure::kWriteError, nullptr};
  const std::string header = encode_undo_header(
      {origin, old_size, length_of(result), name_of(platform::file_name_of(target))});
  kept.contents_at = header.size();
  kept.old_size = old_size;
  // Written in order, then flushed, then named on the disk: a copy cut short anywhere lacks its
  // trailer, and the target is not touched before all of it is there. Through the buffer, not
  // by the kernel: a copy that shared the target's blocks would take no room of its own, and
  // room for both is what keeps writing in place from running out of it.
  Failure copied = Failure::kWriteError;
  if (platform::write_all(copy.file.get(), header)) {
    copied = copy_through_buffer(file, 0, copy.file.get(), std::nullopt, old_size);
  }
  Outcome written{copied == Failure::kOutOfMemory ? copied : Failure::kWriteError, nullptr};
  if (copied == Failure::kNone) written = write_fingerprints(copy.file.get(), result);
  if (written.ok() && platform::write_all(copy.file.get(), kUndoTrailer) &&
      platform::flush_to_disk(copy.file.get()) && platform::sync_undo_folder(copy)) {
    return written;
  }
  // Cut short or not on the disk, the target was not touched: nothing to make unusable first.
  static_cast<void>(platform::remove_undo_copy(copy));
  if (written.ok()) written.failure = Failure::kWriteError;
  return written;
}

namespace {

// Puts the `old_size` bytes of old contents that start at `contents_at` in `copy` back into the
// target open at `file`, cuts it to that length and flushes it to the disk.
bool copy_back(const platform::UndoCopy& copy, std::uint64_t contents_at, std::uint64_t old_size,
               int file) {
  return copy_through_buffer(copy.file.get(), contents_at, file, 0, old_size) == Failure::kNone &&
         platform::truncate(file, old_size) && platform::flush_to_disk(file);
}

// Gives where the trailer of a complete copy starts, or nothing where the copy does not end with
// one.
std::optional<std::uint64_t> trailer_at(const platform::UndoCopy& copy) {
  const std::optional<std::uint64_t> size = platform::file_size(copy.file.get());
  if (!size || *size < kUndoTrailer.size()) return std::nullopt;
  const std::uint64_t at = *size - kUndoTrailer.size();
  std::string trailer(kUndoTrailer.size(), '\0');
  if (!platform::read_at(copy.file.get(), at, {trailer.data(), trailer.size()}) ||
      trailer != kUndoTrailer) {
    return std::nullopt;
  }
  return at;
}

// Writes `trailer` at `at` in the copy and flushes it; gives true once it is on the disk.
bool end_with(const platform::UndoCopy& copy, std::uint64_t at, std::string_view trailer) {
  return platform::write_at(copy.file.get(), at, trailer) &&
         platform::flush_to_disk(copy.file.get());
}

}  // namespace

bool discard_undo_copy(platform::UndoCopy& copy) {
  if (!copy.file.is_open()) return true;
  const std::optional<std::uint64_t> at = trailer_at(copy);
  if (at && !end_with(copy, *at, kObsoleteTrailer)) {
    static_cast<void>(end_with(copy, *at, kUndoTrailer));
    return false;
  }
  if (platform::remove_undo_copy(copy)) return true;
  if (at) static_cast<void>(end_with(copy, *at, kUndoTrailer));
  return false;
}

namespace {

// Sets aside the whole copies that runs cut short left beside the missing `target`: the file
// they belong to was deleted since, and a person is told. Gives true where there were none.
bool set_aside_copies_of_a_gone_file(const platform::Target& target) {
  const std::string name = name_of(platform::file_name_of(target));
  bool none = true;
  for (platform::UndoCopy& copy : platform::find_undo_copies(target, {})) {
    const std::optional<std::uint64_t> size = platform::file_size(copy.file.get());
    if (!copy.trusted || !size) continue;
    const std::optional<ParsedUndoHeader> parsed = parse_undo_header(read_start(copy, *size));
    if (parsed && parsed->header.name == name && complete(copy, *parsed, *size)) {
      static_cast<void>(platform::set_aside_undo_copy(copy));
      none = false;
    }
  }
  return none;
}

}  // namespace

bool names_the_target(const UndoHeader& header, const platform::FileOrigin& origin,
                      std::string_view name, bool beside_target) {
  const auto agree = [](std::uint64_t recorded, std::uint64_t now) {
    return recorded == 0 || now == 0 || recorded == now;
  };
  return header.name == name && header.target.inode == origin.inode &&
         agree(header.target.generation, origin.generation) &&
         agree(header.target.birth, origin.birth) &&
         (beside_target || agree(header.target.file_system, origin.file_system));
}

namespace {

// What a target holds, told against the complete undo copy that a run cut short left of it.
enum class LeftState {
  kOld,      // wholly the old contents: the run had not yet written
  kResult,   // wholly the result: the run had written all of it
  kCut,      // each sector the one or the other, at a length the run leaves: cut while writing
  kChanged,  // anything else: someone changed the file since the cut
};

// Tells what the target open at `file` holds against the complete copy `copy`, whose header is
// `parsed`; nothing where it cannot be read. Before the run wrote the result it lengthened the
// file to the result's length where that is longer (with zeros), and it cut the file to that
// length last; a disk writes each sector whole or not at all.
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
  const std::string name = name_of(platform::file_name_of(target));
  bool restored = true;
  for (platform::UndoCopy& copy : platform::find_undo_copies(target, origin)) {
    const std::optional<std::uint64_t> size = platform::file_size(copy.file.get());
    if (!size) {
      // Only a copy that may be put back is missed.
      if (copy.trusted) restored = false;
      continue;
    }
    const std::string start = read_start(copy, *size);
    const std::optional<ParsedUndoHeader> parsed = parse_undo_header(start);
    const bool whole = parsed && complete(copy, *parsed, *size);
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
      if (starts_like_undo_copy(start)) static_cast<void>(platform::remove_undo_copy(copy));
      continue;
    }
    const std::optional<LeftState> state = compare_with_copy(copy, *parsed, file);
    if (!state) {
      restored = false;
      continue;
    }
    if (*state == LeftState::kChanged) {
      // Restored from a backup, edited or written anew since the cut: what the file holds now is
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
  // A target that may not be written, or that another program holds, is not touched: the run
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

bool put_back(const KeptContents& kept, int file) {
  return copy_back(kept.copy, kept.contents_at, kept.old_size, file);
}

}  // namespace pairset
