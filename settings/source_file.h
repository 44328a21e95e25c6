// The .cn1 source settings file of DNC terminals v1.0 to v1.2: one direction (input into the
// CNC unit, or output) of one unit's settings.
//
//   offset 0   43 bytes  signature "DNC-terminal ucpu settings file (one) v1.0" and a zero byte
//   offset 43  16 bytes  setting name
//   offset 59  the rest  settings body, opaque
#ifndef PAIRSET_SETTINGS_SOURCE_FILE_H_
#define PAIRSET_SETTINGS_SOURCE_FILE_H_

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "system/files.h"
#include "system/outcome.h"

namespace pairset {

inline constexpr std::size_t kSignatureSize = 43;
inline constexpr std::size_t kSettingNameOffset = kSignatureSize;
inline constexpr std::size_t kSettingNameSize = 16;
inline constexpr std::size_t kSettingsBodyOffset = kSettingNameOffset + kSettingNameSize;

// The v1.0 signature; the only one a source file may open with. The closing zero is part of it.
inline constexpr std::string_view kSourceSignature{"DNC-terminal ucpu settings file (one) v1.0",
                                                   kSignatureSize};

// A source settings file as loaded: a small file, or a stream that tells no size (a pipe), whole
// in memory; a larger regular file as its first 59 bytes, the file kept open for its body, so the
// memory a run takes stays the same however large the file is.
struct SourceFile {
  platform::Buffer data;
  std::size_t size = 0;  // of `data`
  // Where the body stays in the file: the file, open for reading, and the body's length (the
  // file's size when it was opened, less 59).
  platform::Descriptor file;
  std::uint64_t body_size = 0;
  // The path it was loaded from, as the command line gave it: a failed read of its body names it.
  const char* path = nullptr;

  // Gives the file's start, always in memory: its signature and setting name, or what it has.
  std::span<const char> start() const;
  // Gives the settings body: in memory, or in the file, read when it is needed; none where the
  // file ends before its body would begin.
  OutputPiece body() const;
};

// A source as loaded, or why it could not be (kCannotOpen: it does not open for reading;
// kReadError: reading it failed before its end; kOutOfMemory: it tells no size and is larger than
// the memory the process can have), naming it by its path.
struct LoadResult {
  Outcome outcome;
  SourceFile file;  // empty unless the outcome is ok
};

// Gives the file at `path` (held whole, or its start with the file kept open for its body), or
// why it could not be had.
LoadResult load_source_file(const char* path);

// Gives true when `file` opens with all 43 bytes of the v1.0 signature.
bool has_source_signature(const SourceFile& file);

}  // namespace pairset

#endif  // PAIRSET_SETTINGS_SOURCE_FILE_H_
