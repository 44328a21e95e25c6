// An owned C stream that is closed on every way out of the scope that opened it.
#ifndef PAIRSET_SYSTEM_FILE_HANDLE_H_
#define PAIRSET_SYSTEM_FILE_HANDLE_H_

#include <cstdio>
#include <memory>

namespace pairset {

// Closes a stream on a way out where its result no longer matters: a read-only stream, or a
// target already being reported as failed.
struct FileCloser {
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};

// A stream that closes itself; call close_file() where the result of closing matters.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Closes the stream and gives true when everything written to it reached the file.
inline bool close_file(FileHandle file) {
  return std::fclose(file.release()) == 0;
}

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_FILE_HANDLE_H_
