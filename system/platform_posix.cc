// Files on POSIX systems: paths are bytes, and a descriptor is read and written whole.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <utility>

#include "system/files.h"
#include "system/io.h"
#include "system/new_file.h"
#include "system/retry.h"

namespace pairset::platform {
namespace {

// Calls `transfer` with how many of `size` bytes are done until all are, again where a signal
// broke in; gives false where it fails or meets the end first.
template <class Transfer>
bool all_of(std::size_t size, Transfer transfer) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t moved = transfer(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return false;
    done += static_cast<std::size_t>(moved);
  }
  return true;
}

}  // namespace

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
  // Without waiting: a FIFO with no writer would keep the open waiting for ever.
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
  return all_of(bytes.size(), [&](std::size_t done) {
    return write(descriptor, bytes.data() + done, bytes.size() - done);
  });
}

bool write_at(int descriptor, std::uint64_t offset, std::span<const char> bytes) {
  return all_of(bytes.size(), [&](std::size_t done) {
    return pwrite(descriptor, bytes.data() + done, bytes.size() - done,
                  static_cast<off_t>(offset + done));
  });
}

bool read_at(int descriptor, std::uint64_t offset, std::span<char> bytes) {
  return all_of(bytes.size(), [&](std::size_t done) {
    return pread(descriptor, bytes.data() + done, bytes.size() - done,
                 static_cast<off_t>(offset + done));
  });
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
