#include "settings/source_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "system/file_handle.h"
#include "system/platform.h"

namespace pairset {
namespace {

// The most one fread asks for; some C runtimes mishandle single requests of 2 GiB or more.
constexpr std::size_t kReadChunk = std::size_t{64} << 20;
// Where a stream tells no size (a pipe, a device), the buffer starts here and doubles.
constexpr std::size_t kUnknownSizeStart = std::size_t{64} << 10;

// Gives a buffer of `capacity` bytes, left uninitialised since it is about to be filled, or
// null when memory is short.
Buffer allocate(std::size_t capacity) {
  return Buffer(platform::allocate_buffer(capacity));
}

LoadResult failure(LoadStatus status) {
  return {status, {}};
}

}  // namespace

LoadResult load_source_file(const char* path) {
  FileHandle file(platform::open_stream(platform::native_path(path), "rb"));
  if (!file) return failure(LoadStatus::kCannotOpen);

  // A regular file is read into a buffer of its exact size; anything that turns out longer
  // than it said (a file still growing, a pipe) makes the buffer double.
  const std::uint64_t expected = platform::regular_file_size(file.get());
  if (expected > std::numeric_limits<std::size_t>::max()) {
    return failure(LoadStatus::kOutOfMemory);
  }
  std::size_t capacity = expected > 0 ? static_cast<std::size_t>(expected) : kUnknownSizeStart;
  Buffer data = allocate(capacity);
  if (!data) return failure(LoadStatus::kOutOfMemory);

  std::size_t size = 0;
  for (;;) {
    if (size == capacity) {
      const int next = std::fgetc(file.get());
      if (next == EOF) break;
      if (capacity > std::numeric_limits<std::size_t>::max() / 2) {
        return failure(LoadStatus::kOutOfMemory);
      }
      Buffer larger = allocate(capacity * 2);
      if (!larger) return failure(LoadStatus::kOutOfMemory);
      std::memcpy(larger.get(), data.get(), size);
      data = std::move(larger);
      capacity *= 2;
      data[size++] = static_cast<char>(next);
    }
    const std::size_t wanted = std::min(capacity - size, kReadChunk);
    const std::size_t got = std::fread(data.get() + size, 1, wanted, file.get());
    size += got;
    if (got < wanted) break;
  }
  // A failed read is never taken for the end of a shorter file.
  if (std::ferror(file.get()) != 0) return failure(LoadStatus::kReadError);
  return {LoadStatus::kLoaded, SourceFile{std::move(data), size}};
}

bool has_source_signature(const SourceFile& file) {
  const std::span<const char> bytes = file.bytes();
  return bytes.size() >= kSignatureSize &&
         std::equal(kSourceSignature.begin(), kSourceSignature.end(), bytes.begin());
}

}  // namespace pairset
