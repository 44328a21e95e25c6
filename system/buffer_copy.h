// Copying between two open files through one buffer, the way every system can: what remains where
// the kernel copies nothing itself, and the way on Windows.
#ifndef PAIRSET_SYSTEM_BUFFER_COPY_H_
#define PAIRSET_SYSTEM_BUFFER_COPY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include "system/files.h"
#include "system/outcome.h"

namespace pairset {

// Reads `size` bytes of `from`, from `from_offset`, through the process's buffer (below), giving
// each part in order to `take`: kReadError where a read fails, kWriteError where `take` gives
// false, kOutOfMemory where there is no buffer.
Failure read_through_buffer(int from, std::uint64_t from_offset, std::uint64_t size,
                            const std::function<bool(std::span<const char>)>& take);

// Copies `size` bytes of `from`, from `from_offset`, to `to`: at `to_offset` where it is given,
// else at the descriptor's position. The buffer is at most 1 MiB and kept for the process, so the
// memory a run takes stays the same however large its files are.
Failure copy_through_buffer(int from, std::uint64_t from_offset, int to,
                            std::optional<std::uint64_t> to_offset, std::uint64_t size);

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_BUFFER_COPY_H_
