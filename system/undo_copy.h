// The undo copy of a target written in place: a header that says whose old contents follow, the
// old contents, the fingerprints of the result the run is about to write, and a trailer that
// marks it complete; on the disk before the target's first byte changes, removed once the target
// has the whole result. A run cut short (a power cut, kill -9) leaves it, and the next run on the
// target puts it back before it reads anything, but only onto the file as the cut left it, each
// sector the old contents or the result: a file changed since is never written over with it.
#ifndef PAIRSET_SYSTEM_UNDO_COPY_H_
#define PAIRSET_SYSTEM_UNDO_COPY_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "system/files.h"
#include "system/identity.h"
#include "system/outcome.h"
#include "system/target.h"
#include "system/undo_store.h"

namespace pairset {

// What the header of an undo copy records.
struct UndoHeader {
  platform::FileOrigin target;  // the file whose old contents these are
  std::uint64_t size = 0;       // how many bytes of old contents follow the header
  std::uint64_t result = 0;     // the length of the result, whose fingerprints follow them
  std::string name;             // the target's name in its folder (UTF-8 on Windows)
};

// Closes a complete copy: the old contents are all there only where it ends with this.
inline constexpr std::string_view kUndoTrailer = "\npairset undo copy complete\n";

// Written over the trailer of a copy that is no longer needed, before it is removed: a copy that
// ends so is one that no run puts back.
inline constexpr std::string_view kObsoleteTrailer = "\npairset undo copy obsolete\n";
static_assert(kObsoleteTrailer.size() == kUndoTrailer.size(), "written in the trailer's place");

// Gives the header that opens the undo copy described by `header`.
std::string encode_undo_header(const UndoHeader& header);

// What the start of a file turned out to be.
struct ParsedUndoHeader {
  UndoHeader header;
  std::size_t length = 0;  // of the header, in bytes: the old contents start there
};

// Gives the header at the start of `bytes`, or nothing where `bytes` do not open with a whole
// one.
std::optional<ParsedUndoHeader> parse_undo_header(std::string_view bytes);

// Gives true when `bytes` could start an undo copy whose writing was cut short: empty, or opening
// with (a part of) the copy's first line. Any other file is not one, and is left alone.
bool starts_like_undo_copy(std::string_view bytes);

// The old contents of a target that this run keeps while it writes the target in place: the undo
// copy, where in it they start, and how long they are.
struct KeptContents {
  platform::UndoCopy copy;
  std::uint64_t contents_at = 0;
  std::uint64_t old_size = 0;
};

// Keeps the old contents of the target (open at `file`, `old_size` bytes, origin `origin`) in a
// new undo copy, `kept`, with the fingerprints of each sector of the `result` about to be written
// (read before the target is touched), the copy and its name on the disk. kWriteError where no
// copy can be made or reach the disk; kReadError naming the source where a piece cannot be read;
// kOutOfMemory where there is no buffer.
Outcome keep_old_contents(const platform::Target& target, int file, std::uint64_t old_size,
                          const platform::FileOrigin& origin, std::span<const OutputPiece> result,
                          KeptContents& kept);

// Gives the fingerprints of a copy, as they follow its old contents: eight bytes each, the
// lowest first.
std::string encode_fingerprints(std::span<const std::uint64_t> fingerprints);

// Removes the copy once it is no longer needed, its trailer made obsolete on the disk first: a
// removal a power cut undoes (no folder flush on Windows, nor on some Linux file systems) brings
// back a copy no run puts back. True once it is gone; where it stays, it is as usable as it was.
bool discard_undo_copy(platform::UndoCopy& copy);

// Gives true when the header of a copy found for the target `origin`, named `name`, names that
// very file: the same name and number, and the same generation, birth and (in the state folder)
// file system where both are known; never the device number, which a remount changes.
bool names_the_target(const UndoHeader& header, const platform::FileOrigin& origin,
                      std::string_view name, bool beside_target);

// Gives the target's name as a copy's header records it: in UTF-8, which every name has a
// spelling in.
std::string name_in_header(const platform::Target& target);

// An undo copy that a run left, as its bytes tell.
struct LeftCopy {
  std::string start;                       // its first bytes, as many as a header can have
  std::optional<ParsedUndoHeader> parsed;  // its header, where it opens with one
  bool whole = false;  // it has all that its header announces, and then the trailer
};

// Reads what `copy` contains; nothing where its size cannot be told.
std::optional<LeftCopy> read_left_copy(const platform::UndoCopy& copy);

// Gives where in a copy with the header `parsed` its fingerprints start.
std::uint64_t fingerprints_at(const ParsedUndoHeader& parsed);

// Puts the `old_size` bytes of old contents that start at `contents_at` in `copy` back into the
// target open at `file`, cuts it to that length and flushes it to the disk; gives true when all
// of that was done.
bool copy_back(const platform::UndoCopy& copy, std::uint64_t contents_at, std::uint64_t old_size,
               int file);

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_UNDO_COPY_H_
