// Files on Linux: paths are bytes, buffers lie on large pages, a descriptor is read and
// written whole, and the kernel copies between files itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "system/buffer_copy.h"
#include "system/io.h"
#include "system/new_file.h"
#include "system/open_file_linux.h"
#include "system/retry.h"

namespace pairset::platform {
namespace {

// Transparent huge pages are this large on x86-64 and arm64. A buffer from 128 KiB up (where
// malloc would map fresh small pages for it anyway) is aligned to them and rounded up to a
// whole number of them: filling 1 MiB of small fresh pages took three times as long as copying
// it with cat, and filling huge ones about as long.
constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kLargeBuffer = std::size_t{128} << 10;

}  // namespace

char* allocate_buffer(std::size_t capacity) {
  if (capacity < kLargeBuffer || capacity > SIZE_MAX - kLargePage) {
    return static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
  }
  const std::size_t rounded = (capacity + kLargePage - 1) / kLargePage * kLargePage;
  void* const memory = std::aligned_alloc(kLargePage, rounded);
  // Advice only: where large pages are off or scarce, the buffer works with small ones.
  if (memory != nullptr) static_cast<void>(madvise(memory, rounded, MADV_HUGEPAGE));
  return static_cast<char*>(memory);
}

bool Descriptor::close() {
  const int descriptor = std::exchange(descriptor_, -1);
  return descriptor < 0 || ::close(descriptor) == 0;
}

void prepare(int, char**) {
  // A file-size limit then makes the write fail with EFBIG, which is reported and cleaned up.
  static_cast<void>(signal(SIGXFSZ, SIG_IGN));
}

std::filesystem::path native_path(const char* path) {
  return path;
}

int open_for_reading(const std::filesystem::path& path) {
  // Without waiting: a FIFO with no writer would hold the open for ever.
  Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!file.is_open() || fstat(file.get(), &info) != 0) return -1;
  if (S_ISFIFO(info.st_mode)) {
    // A writer shows itself by writing, or by leaving (an empty source); one that does neither
    // within the wait is taken for none, as a FIFO target's reader is.
    struct pollfd writer {
      file.get(), POLLIN, 0
    };
    if (!keep_trying(kLongestWaitMilliseconds, kSteadyPauses,
                     [&writer] { return poll(&writer, 1, 0) > 0; })) {
      return -1;
    }
  }
  // From here on a read waits for what the source has still to give, as reading one does.
  const int flags = fcntl(file.get(), F_GETFL);
  if (flags < 0 || fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
  return file.release();
}

std::uint64_t regular_file_size(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::size_t> read_up_to(int descriptor, std::span<char> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = read(descriptor, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::optional<std::uint64_t> file_size(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

bool write_all(int descriptor, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(descriptor, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool write_at(int descriptor, std::uint64_t offset, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const ssize_t written =
        pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

bool read_at(int descriptor, std::uint64_t offset, std::span<char> bytes) {
  while (!bytes.empty()) {
    const ssize_t got = pread(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

namespace {

// Gives true when the bytes at `from_offset` go to a place of the same offset within a page in
// `to` (at `to_offset`, else at its position). Elsewhere every page the kernel copies straddles
// two, and copying a 256 MiB body so took 0.14 s where one warm buffer took 0.10 s.
bool lands_page_aligned(int to, std::uint64_t from_offset, std::optional<std::uint64_t> to_offset) {
  static const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  const off_t at = to_offset ? static_cast<off_t>(*to_offset) : lseek(to, 0, SEEK_CUR);
  return at >= 0 && page > 0 && (static_cast<std::uint64_t>(at) - from_offset) % page == 0;
}

}  // namespace

Failure copy_range(int from, std::uint64_t from_offset, int to,
                   std::optional<std::uint64_t> to_offset, std::uint64_t size) {
  if (!lands_page_aligned(to, from_offset, to_offset)) {
    return copy_through_buffer(from, from_offset, to, to_offset, size);
  }
  auto in = static_cast<off_t>(from_offset);
  auto out = static_cast<off_t>(to_offset.value_or(0));
  while (size > 0) {
    const ssize_t copied = copy_file_range(
        from, &in, to, to_offset ? &out : nullptr,
        static_cast<std::size_t>(std::min<std::uint64_t>(size, std::uint64_t{1} << 30)), 0);
    if (copied < 0 && errno == EINTR) continue;
    // Refused (a kernel or file system without it, a pipe, another kind of file system), an
    // error, or an end that some file systems report falsely: the buffer copies what is left,
    // and its reads and writes tell which file failed, if one did.
    if (copied <= 0) break;
    size -= static_cast<std::uint64_t>(copied);
  }
  return copy_through_buffer(from, static_cast<std::uint64_t>(in), to,
                             to_offset ? std::optional<std::uint64_t>(out) : std::nullopt, size);
}

bool replaces_open_files() {
  return true;
}

bool flush_to_disk(int descriptor) {
  // A device, a FIFO or a pipe keeps nothing to sync, and some refuse to.
  struct stat info {};
  return fstat(descriptor, &info) == 0 && (!S_ISREG(info.st_mode) || fsync(descriptor) == 0);
}

void pause_for(int milliseconds) {
  static_cast<void>(usleep(static_cast<useconds_t>(milliseconds) * 1000));
}

}  // namespace pairset::platform
