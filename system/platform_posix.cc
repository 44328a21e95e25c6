// Files on POSIX systems: paths are bytes, buffers lie on large pages, and a descriptor is read
// and written whole. The target itself (target_posix.cc), the new file beside it
// (new_file_posix.cc), writing in place (in_place_posix.cc) and the ending signals
// (endings_posix.cc) stand in files of their own.
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "system/open_file_posix.h"
#include "system/platform.h"

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

bool proc_is_the_kernels() {
  static const bool kernels = [] {
    struct statfs file_system {};
    return statfs("/proc/self/fd", &file_system) == 0 && file_system.f_type == PROC_SUPER_MAGIC;
  }();
  return kernels;
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

std::FILE* open_stream(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

std::uint64_t regular_file_size(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
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

bool truncate(int descriptor, std::uint64_t size) {
  return ftruncate(descriptor, static_cast<off_t>(size)) == 0;
}

bool flush_to_disk(int descriptor) {
  // A device, a FIFO or a pipe keeps nothing to sync, and some refuse to.
  struct stat info {};
  return fstat(descriptor, &info) == 0 && (!S_ISREG(info.st_mode) || fsync(descriptor) == 0);
}

}  // namespace pairset::platform
