#include "system/buffer_copy.h"

#include <algorithm>

namespace pairset {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

// Gives the process's copying buffer, made on first use; null when memory is short. Where the
// system backs it with a large page, filling it the first time is one fault, not 256: a 1 MiB
// body copied through small fresh pages took 1.5 times as long as the whole run before.
char* buffer() {
  static const platform::Buffer kept(platform::allocate_buffer(kBufferSize));
  return kept.get();
}

}  // namespace

platform::CopyStatus copy_through_buffer(int from, std::uint64_t from_offset, int to,
                                         std::optional<std::uint64_t> to_offset,
                                         std::uint64_t size) {
  if (size == 0) return platform::CopyStatus::kCopied;
  char* const chunk = buffer();
  if (chunk == nullptr) return platform::CopyStatus::kOutOfMemory;
  for (std::uint64_t done = 0; done < size;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kBufferSize));
    if (!platform::read_at(from, from_offset + done, {chunk, count})) {
      return platform::CopyStatus::kReadFailed;
    }
    const std::span<const char> bytes(chunk, count);
    if (!(to_offset ? platform::write_at(to, *to_offset + done, bytes)
                    : platform::write_all(to, bytes))) {
      return platform::CopyStatus::kWriteFailed;
    }
    done += count;
  }
  return platform::CopyStatus::kCopied;
}

}  // namespace pairset
