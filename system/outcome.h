// What an operation on the run's files came to, from the system call up to the message: made
// where a failure happens, while its cause is known, and passed up as it is. The system layer
// answers in three ways: true or false where the caller needs only whether it was done; a thing
// or none (std::optional, a descriptor or -1) where it needs a thing; a value that says what
// happened where the next step depends on why (Failure, TargetKind, Replacement, NewFileMade).
// errno never carries a decision past the call that set it.
#ifndef PAIRSET_SYSTEM_OUTCOME_H_
#define PAIRSET_SYSTEM_OUTCOME_H_

namespace pairset {

enum class Failure {
  kNone,
  kCannotOpen,   // the file does not open, or may not be written; a target is untouched
  kReadError,    // the file opened, but reading it failed before its end (a source cut short)
  kWriteError,   // writing, flushing or reserving room failed (a full disk); a target is as it
                 // was, but for a device or a stream, which may have taken part of the result
  kOutOfMemory,  // memory for keeping or copying a file could not be had; a target is untouched
};

// A failure and the file it names: a source, by the path it was given as on the command line,
// or, where `path` is null, the target.
struct Outcome {
  Failure failure = Failure::kNone;
  const char* path = nullptr;

  bool ok() const { return failure == Failure::kNone; }
};

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_OUTCOME_H_
