// Plain writes, the kernel's copy between files, and flushing to the disk; each system in its
// platform_*.cc.
#ifndef PAIRSET_SYSTEM_IO_H_
#define PAIRSET_SYSTEM_IO_H_

#include <cstdint>
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
// given, else at the descriptor's position. On Linux the kernel copies them (copy_file_range)
// where it can and where they keep their offset within a page; otherwise they pass through one
// buffer of up to 1 MiB, however many there are. Gives kReadError where `from` could not be read
// or ended before `size` bytes, kWriteError where `to` did not take them, kOutOfMemory where the
// buffer could not be had.
Failure copy_range(int from, std::uint64_t from_offset, int to,
                   std::optional<std::uint64_t> to_offset, std::uint64_t size);

// Asks the system to begin putting what was written to the descriptor on the disk, and gives at
// once: work done meanwhile overlaps the disk's, and a flush to come waits less. Advice only.
void begin_flush(int descriptor);

// Gives true once everything written to the descriptor is on the disk (a device or a FIFO keeps
// nothing to sync).
bool flush_to_disk(int descriptor);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_IO_H_
