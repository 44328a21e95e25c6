// Plain writes, copies between files (the kernel's, or through one buffer the way every system
// can) and flushing to the disk; each system's part in its platform_*.cc, the buffer's in io.cc.
#ifndef PAIRSET_SYSTEM_IO_H_
#define PAIRSET_SYSTEM_IO_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "system/outcome.h"

namespace pairset::platform {

// Gives the size of the file behind `descriptor`, or nothing when it cannot be told.
std::optional<std::uint64_t> file_size(int descriptor);

// Writes all of `bytes` at the descriptor's position and gives true when every byte was taken.
bool write_all(int descriptor, std::span<const char> bytes);

// Writes all of `bytes` at `offset` and gives true when every byte was taken.
bool write_at(int descriptor, std::uint64_t offset, std::span<const char> bytes);

// Copies `size` bytes of the file `from`, from `from_offset`, to `to`: at `to_offset` where it is
// given, else at its position; by the kernel where it can (Linux, the bytes keeping their offset
// within a page), else as copy_through_buffer. Gives kReadError where `from` failed or ended
// early, kWriteError where `to` did not take them, kOutOfMemory where there is no buffer.
Failure copy_range(int from, std::uint64_t from_offset, int to,
                   std::optional<std::uint64_t> to_offset, std::uint64_t size);

// Reads `size` bytes of `from`, from `from_offset`, through the process's buffer (below), giving
// each part in order to `take`: kReadError where a read fails, kWriteError where `take` gives
// false, kOutOfMemory where there is no buffer.
Failure read_through_buffer(int from, std::uint64_t from_offset, std::uint64_t size,
                            const std::function<bool(std::span<const char>)>& take);

// Copies as copy_range does, always through the buffer: at most 1 MiB, kept for the process, so a
// run takes the same memory however large its files are.
Failure copy_through_buffer(int from, std::uint64_t from_offset, int to,
                            std::optional<std::uint64_t> to_offset, std::uint64_t size);

// Asks the system to begin putting what was written to the descriptor on the disk, and gives at
// once: work done meanwhile overlaps the disk's, and a flush to come waits less. Advice only.
void begin_flush(int descriptor);

// Gives true once everything written to the descriptor is on the disk (a device or a FIFO keeps
// nothing to sync).
bool flush_to_disk(int descriptor);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_IO_H_
