// The target file while it is written: replaced whole or not at all.
#ifndef PAIRSET_SYSTEM_TARGET_OUTPUT_H_
#define PAIRSET_SYSTEM_TARGET_OUTPUT_H_

#include <cstdio>
#include <filesystem>

#include "system/file_handle.h"

namespace pairset {

enum class TargetStatus {
  kOpened,
  kCannotOpen,  // the target may not be written, or its folder does not exist
  kWriteError,  // no file could be made beside it (a full disk); it is as it was
};

// The bytes of a target go to a new file in the target's folder, which takes the target's place
// in one step when they are all on the disk; until then, and on any failure, the target keeps
// what it held. A device or a FIFO has no file to replace and takes the bytes directly, and so
// does a writable target in a folder that takes no new file, since there is no other way.
class TargetOutput {
 public:
  // Opens the target at `path`; status() tells whether stream() may be written.
  explicit TargetOutput(const char* path);
  // Removes the new file unless commit() put it in place.
  ~TargetOutput();
  TargetOutput(const TargetOutput&) = delete;
  TargetOutput& operator=(const TargetOutput&) = delete;

  TargetStatus status() const { return status_; }
  std::FILE* stream() const { return stream_.get(); }

  // Puts everything written in place of the target and gives true, or gives false with the
  // target as it was (a target written directly: with as much as it took).
  bool commit();

 private:
  TargetStatus status_ = TargetStatus::kCannotOpen;
  FileHandle stream_;
  std::filesystem::path temporary_;  // the new file; empty when the target is written directly
  std::filesystem::path target_;     // the file the new one replaces, links followed
};

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_TARGET_OUTPUT_H_
