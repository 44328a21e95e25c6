#include "settings/source_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "system/files.h"

namespace pairset {
namespace {

// A regular file up to this size is read whole at once: a settings file of a few KiB is one read,
// and the target is then written in one call. A larger one keeps its body in the file.
constexpr std::uint64_t kLargestHeldFile = std::uint64_t{64} << 10;
// Where a stream tells no size (a pipe, a device), the buffer starts here and doubles.
constexpr std::size_t kUnknownSizeStart = std::size_t{64} << 10;

// Gives a buffer of `capacity` bytes, left uninitialised since it is about to be filled, or
// null when memory is short.
platform::Buffer allocate(std::size_t capacity) {
  return platform::Buffer(platform::allocate_buffer(capacity));
}

// Gives the outcome `failure` of loading the source at `path`.
LoadResult failure(Failure failure, const char* path) {
  return {{failure, path}, {}};
}

// Gives the signature and setting name of the regular file `file` of `size` bytes, with the file
// kept open for its body.
LoadResult load_start(const char* path, platform::Descriptor file, std::uint64_t size) {
  platform::Buffer start = allocate(kSettingsBodyOffset);
  if (!start) return failure(Failure::kOutOfMemory, path);
  if (!platform::read_at(file.get(), 0, {start.get(), kSettingsBodyOffset})) {
    return failure(Failure::kReadError, path);
  }
  return {{},
          SourceFile{std::move(start), kSettingsBodyOffset, std::move(file),
                     size - kSettingsBodyOffset, path}};
}

}  // namespace

LoadResult load_source_file(const char* path) {
  platform::Descriptor file(platform::open_for_reading(platform::native_path(path)));
  if (!file.is_open()) return failure(Failure::kCannotOpen, path);

  const std::uint64_t expected = platform::regular_file_size(file.get());
  if (expected > kLargestHeldFile) return load_start(path, std::move(file), expected);

  // A small regular file is read into a buffer of its exact size; anything that turns out
  // longer than it said (a file still growing, a pipe) makes the buffer double.
  std::size_t capacity = expected > 0 ? static_cast<std::size_t>(expected) : kUnknownSizeStart;
  platform::Buffer data = allocate(capacity);
  if (!data) return failure(Failure::kOutOfMemory, path);

  std::size_t size = 0;
  for (;;) {
    if (size == capacity) {
      // A stream that does not open as a .cn1 file is not one, however much more it has
      // (/dev/zero): what is read so far decides.
      if (size >= kSignatureSize &&
          !std::equal(kSourceSignature.begin(), kSourceSignature.end(), data.get())) {
        break;
      }
      char next = 0;
      const std::optional<std::size_t> more = platform::read_up_to(file.get(), {&next, 1});
      // A failed read is never taken for the end of a shorter file.
      if (!more) return failure(Failure::kReadError, path);
      if (*more == 0) break;
      if (capacity > std::numeric_limits<std::size_t>::max() / 2) {
        return failure(Failure::kOutOfMemory, path);
      }
      platform::Buffer larger = allocate(capacity * 2);
      if (!larger) return failure(Failure::kOutOfMemory, path);
      std::memcpy(larger.get(), data.get(), size);
      data = std::move(larger);
      capacity *= 2;
      data[size++] = next;
    }
    const std::size_t wanted = capacity - size;
    const std::optional<std::size_t> got =
        platform::read_up_to(file.get(), {data.get() + size, wanted});
    if (!got) return failure(Failure::kReadError, path);
    size += *got;
    if (*got < wanted) break;
  }
  LoadResult loaded;
  loaded.file.data = std::move(data);
  loaded.file.size = size;
  loaded.file.path = path;
  return loaded;
}

std::span<const char> SourceFile::start() const {
  return {data.get(), std::min(size, kSettingsBodyOffset)};
}

OutputPiece SourceFile::body() const {
  if (file.is_open()) return OutputPiece{{}, file.get(), kSettingsBodyOffset, body_size, path};
  return OutputPiece{
      size > kSettingsBodyOffset
          ? std::span<const char>(data.get() + kSettingsBodyOffset, size - kSettingsBodyOffset)
          : std::span<const char>{}};
}

bool has_source_signature(const SourceFile& file) {
  const std::span<const char> bytes = file.start();
  return bytes.size() >= kSignatureSize &&
         std::equal(kSourceSignature.begin(), kSourceSignature.end(), bytes.begin());
}

}  // namespace pairset
