// The copying buffer, the same on every system.
#include "system/io.h"

#include <algorithm>

#include "system/files.h"

namespace pairset::platform {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

// Gives the process's copying buffer, at least `wanted` bytes, made on first use and again only
// where a copy needs more; null when memory is short. A copy of a few KiB takes a few KiB; a large
// one a large page, filled at one fault, not 256 (through small fresh pages a 1 MiB pair took 1.5
// times as long as the whole run before).
char* buffer(std::size_t wanted) {
  static Buffer kept;
  static std::size_t capacity = 0;
  if (capacity < wanted) {
    kept.reset(allocate_buffer(wanted));
    capacity = kept ? wanted : 0;
  }
  return kept.get();
}

}  // namespace

Failure read_through_buffer(int from, std::uint64_t from_offset, std::uint64_t size,
                            const std::function<bool(std::span<const char>)>& take) {
  if (size == 0) return Failure::kNone;
  const auto capacity = static_cast<std::size_t>(std::min<std::uint64_t>(size, kBufferSize));
  char* const chunk = buffer(capacity);
  if (chunk == nullptr) return Failure::kOutOfMemory;
  for (std::uint64_t done = 0; done < size;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, capacity));
    if (!read_at(from, from_offset + done, {chunk, count})) {
      return Failure::kReadError;
    }
    if (!take({chunk, count})) return Failure::kWriteError;
    done += count;
  }
  return Failure::kNone;
}

Failure copy_through_buffer(int from, std::uint64_t from_offset, int to,
                            std::optional<std::uint64_t> to_offset, std::uint64_t size) {
  std::uint64_t done = 0;
  return read_through_buffer(from, from_offset, size, [&](std::span<const char> bytes) {
    const bool written = to_offset ? write_at(to, *to_offset + done, bytes) : write_all(to, bytes);
    done += bytes.size();
    return written;
  });
}

}  // namespace pairset::platform
