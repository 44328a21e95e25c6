// How a target file reaches the disk: replaced whole through a new file beside it where that new
// file can become the same file, written in place otherwise, and never left half written by a
// failure or an ending the program can see.
#ifndef PAIRSET_SYSTEM_TARGET_OUTPUT_H_
#define PAIRSET_SYSTEM_TARGET_OUTPUT_H_

#include <span>

namespace pairset {

enum class OutputStatus {
  kWritten,
  kCannotOpen,   // the target may not be written, or its folder does not exist; it is untouched
  kWriteError,   // writing, flushing or reserving room failed (a full disk); the target is as it
                 // was, but for a device or a stream, which may hold part of the result
  kOutOfMemory,  // the old contents, kept to be put back, did not fit in memory; untouched
};

// Writes `pieces`, one after another, as the whole file at `path` (a command-line argument).
// Until all of it is on the disk the target keeps what it held.
//  - A target that may be replaced by a new file (a regular file with one link, whose owner,
//    permissions and attributes the new file can take; or no file yet) is: the new file is
//    written, flushed to the disk and renamed over it.
//  - Any other existing target, or one whose folder refuses the new file or the rename, is
//    written in place: room for the result is reserved first, every ending is held from the
//    first changed byte until the file holds the whole result, and a failed write puts the old
//    contents back.
//  - A device, a FIFO or a stream the process already holds is written directly.
OutputStatus write_target_output(const char* path, std::span<const std::span<const char>> pieces);

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_TARGET_OUTPUT_H_
