#include "system/undo_copy.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <vector>

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

// Gives where the trailer of the copy, `size` bytes long, starts, or nothing where it does not
// end with one.
std::optional<std::uint64_t> trailer_at(const platform::UndoCopy& copy, std::uint64_t size) {
  if (size < kUndoTrailer.size()) return std::nullopt;
  const std::uint64_t at = size - kUndoTrailer.size();
  std::string trailer(kUndoTrailer.size(), '\0');
  if (!platform::read_at(copy.file.get(), at, {trailer.data(), trailer.size()}) ||
      trailer != kUndoTrailer) {
    return std::nullopt;
  }
  return at;
}

// Gives true when the copy of `size` bytes has all the old contents and fingerprints its header
// announces, and then its trailer. No file is 2^60 bytes long: a header that says so is no
// copy's, and the sum is exact.
bool complete(const platform::UndoCopy& copy, const ParsedUndoHeader& parsed, std::uint64_t size) {
  constexpr std::uint64_t kLargest = std::uint64_t{1} << 60;
  return parsed.header.size < kLargest && parsed.header.result < kLargest &&
         trailer_at(copy, size) == fingerprints_at(parsed) + 8 * sectors_of(parsed.header.result);
}

}  // namespace

std::uint64_t fingerprints_at(const ParsedUndoHeader& parsed) {
  return parsed.length + parsed.header.size;
}

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

std::string name_in_header(const platform::Target& target) {
  const std::u8string text = platform::file_name_of(target).u8string();
  return {text.begin(), text.end()};
}

std::optional<LeftCopy> read_left_copy(const platform::UndoCopy& copy) {
  const std::optional<std::uint64_t> size = platform::file_size(copy.file.get());
  if (!size) return std::nullopt;
  constexpr std::size_t kLongestHeader = 8192;
  LeftCopy left;
  left.start.resize(static_cast<std::size_t>(std::min<std::uint64_t>(*size, kLongestHeader)));
  if (!platform::read_at(copy.file.get(), 0, {left.start.data(), left.start.size()})) {
    left.start.clear();
  }
  left.parsed = parse_undo_header(left.start);
  left.whole = left.parsed && complete(copy, *left.parsed, *size);
  return left;
}

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
    const Failure read =
        piece.in_file() ? platform::read_through_buffer(piece.file, piece.offset, piece.size, add)
        : add(piece.bytes) ? Failure::kNone
                           : Failure::kWriteError;
    if (read != Failure::kNone) return {read, read == Failure::kReadError ? piece.source : nullptr};
  }
  return {platform::write_all(copy, encode_fingerprints(prints.finish())) ? Failure::kNone
                                                                          : Failure::kWriteError,
          nullptr};
}

}  // namespace

Outcome keep_old_contents(const platform::Target& target, int file, std::uint64_t old_size,
                          const platform::FileOrigin& origin, std::span<const OutputPiece> result,
                          KeptContents& kept) {
  platform::UndoCopy& copy = kept.copy;
  if (!platform::create_undo_copy(target, origin, copy)) return {Failure::kWriteError, nullptr};
  const std::string header =
      encode_undo_header({origin, old_size, total_length(result), name_in_header(target)});
  kept.contents_at = header.size();
  kept.old_size = old_size;
  // Written in order, then flushed, then named on the disk: a copy cut short anywhere lacks its
  // trailer, and the target is not touched before all of it is there. Through the buffer, not
  // by the kernel: a copy that shared the target's blocks would take no room of its own, and
  // room for both is what keeps writing in place from running out of it.
  Failure copied = Failure::kWriteError;
  if (platform::write_all(copy.file.get(), header)) {
    copied = platform::copy_through_buffer(file, 0, copy.file.get(), std::nullopt, old_size);
  }
  Outcome written{copied == Failure::kOutOfMemory ? copied : Failure::kWriteError, nullptr};
  if (copied == Failure::kNone) {
    // The disk takes the old contents while the fingerprints are made.
    platform::begin_flush(copy.file.get());
    written = write_fingerprints(copy.file.get(), result);
  }
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

// Writes `trailer` at `at` in the copy and flushes it; gives true once it is on the disk.
bool end_with(const platform::UndoCopy& copy, std::uint64_t at, std::string_view trailer) {
  return platform::write_at(copy.file.get(), at, trailer) &&
         platform::flush_to_disk(copy.file.get());
}

}  // namespace

bool copy_back(const platform::UndoCopy& copy, std::uint64_t contents_at, std::uint64_t old_size,
               int file) {
  return platform::copy_through_buffer(copy.file.get(), contents_at, file, 0, old_size) ==
             Failure::kNone &&
         platform::truncate(file, old_size) && platform::flush_to_disk(file);
}

bool discard_undo_copy(platform::UndoCopy& copy) {
  if (!copy.file.is_open()) return true;
  const std::optional<std::uint64_t> size = platform::file_size(copy.file.get());
  const std::optional<std::uint64_t> at = size ? trailer_at(copy, *size) : std::nullopt;
  if (at && !end_with(copy, *at, kObsoleteTrailer)) {
    static_cast<void>(end_with(copy, *at, kUndoTrailer));
    return false;
  }
  if (platform::remove_undo_copy(copy)) return true;
  if (at) static_cast<void>(end_with(copy, *at, kUndoTrailer));
  return false;
}

}  // namespace pairset
