// How a target file reaches the disk: replaced whole through a new file beside it where that new
// file can become the same file, written in place otherwise, and never left half written by a
// failure or an ending the program can see.
#ifndef PAIRSET_SYSTEM_TARGET_OUTPUT_H_
#define PAIRSET_SYSTEM_TARGET_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "system/files.h"
#include "system/outcome.h"

namespace pairset {
namespace platform {
struct Target;
}  // namespace platform

// The target named on the command line, looked up once before any source is read: the restore
// and the write are both made on the file found then, whatever has its name later. What it keeps
// is the system layer's own.
class FoundTarget {
 public:
  // Looks up the target at `path` (a command-line argument, which must outlive it) as it is now;
  // nothing is made, opened for writing or waited for.
  explicit FoundTarget(const char* path);
  ~FoundTarget();
  FoundTarget(FoundTarget&& other) noexcept;
  FoundTarget& operator=(FoundTarget&& other) noexcept;
  FoundTarget(const FoundTarget&) = delete;
  FoundTarget& operator=(const FoundTarget&) = delete;

  // Puts back what runs cut short left of the target, whose sources are at `sources`, as
  // restore_interrupted in system/recovery.h says. A failure names the target.
  Outcome restore(std::span<const char* const> sources);

  // Writes `pieces`, one after another, as the whole target, once; until all of it is on the disk
  // the target keeps what it had, and a piece read from the target itself reads it as it was.
  // A regular file with one link whose owner, permissions and attributes a new file can take (or
  // no file yet) is replaced by a new file; any other file, or one whose folder refuses the new
  // file or the rename, is written in place behind an undo copy, with every ending deferred from
  // the first changed byte to the last; a device, a FIFO or an open stream is written directly.
  // A failure names the target, but a read error, which names the piece's source.
  Outcome write(std::span<const OutputPiece> pieces);

 private:
  const char* path_;
  std::unique_ptr<platform::Target> target_;
};

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_TARGET_OUTPUT_H_
