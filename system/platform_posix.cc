// Files on POSIX systems: paths are bytes, a new file is made with mkstemp, and rename replaces
// a file in one step.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>  // mkostemp
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>

#include "system/platform.h"

namespace pairset::platform {
namespace {

// The signals that end a console program at a user's or the system's request; each removes the
// temporary file on its way.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file that a signal must remove; kept where a signal handler may read it.
char g_temporary[4096];
volatile sig_atomic_t g_temporary_exists = 0;
struct sigaction g_previous_actions[std::size(kEndingSignals)];

extern "C" void remove_temporary_and_end(int signal_number) {
  if (g_temporary_exists != 0) static_cast<void>(unlink(g_temporary));
  // The signal's usual result stands: it is raised again with the default action.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  static_cast<void>(sigaction(signal_number, &default_action, nullptr));
  static_cast<void>(raise(signal_number));
}

// Holds the ending signals back for the life of the scope, so that the temporary file and the
// note of it never disagree.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : kEndingSignals) sigaddset(&held, signal_number);
    static_cast<void>(sigprocmask(SIG_BLOCK, &held, &previous_));
  }
  ~EndingSignalsHeld() { static_cast<void>(sigprocmask(SIG_SETMASK, &previous_, nullptr)); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

// Makes the ending signals remove the temporary file; a signal the caller ignores stays ignored.
void arm_ending_signals() {
  struct sigaction action {};
  action.sa_handler = remove_temporary_and_end;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kEndingSignals) sigaddset(&action.sa_mask, signal_number);
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    struct sigaction& previous = g_previous_actions[i];
    static_cast<void>(sigaction(kEndingSignals[i], nullptr, &previous));
    if (previous.sa_handler != SIG_IGN) {
      static_cast<void>(sigaction(kEndingSignals[i], &action, nullptr));
    }
  }
  g_temporary_exists = 1;
}

// Gives the ending signals back their actions from before the temporary file existed.
void disarm_ending_signals() {
  if (g_temporary_exists == 0) return;
  g_temporary_exists = 0;
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    static_cast<void>(sigaction(kEndingSignals[i], &g_previous_actions[i], nullptr));
  }
}

// Gives the permissions a file created at a path gets: 0666 less the umask.
mode_t new_file_permissions() {
  const mode_t mask = umask(0);
  static_cast<void>(umask(mask));
  return 0666 & ~mask;
}

// A temporary name keeps at most this much of the target's name, so that it stays within the
// 255 bytes a name may have.
constexpr std::size_t kKeptNameBytes = 200;

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

Descriptor::~Descriptor() {
  if (descriptor_ >= 0) static_cast<void>(close(descriptor_));
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

int open_existing_for_writing(const std::filesystem::path& path) {
  return open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

std::FILE* writing_stream(int descriptor) {
  return fdopen(descriptor, "wb");
}

bool is_regular_file(int descriptor) {
  struct stat info {};
  return fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

std::filesystem::path follow_links(const std::filesystem::path& path) {
  std::filesystem::path followed = path;
  // As many links as the kernel itself follows; a loop of links ends where it stands.
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(followed, error))) break;
    const std::filesystem::path link = std::filesystem::read_symlink(followed, error);
    if (error) break;
    followed = link.is_absolute() ? link : followed.parent_path() / link;
  }
  return followed;
}

int create_temporary(const std::filesystem::path& target, int existing,
                     std::filesystem::path& temporary) {
  const std::string name = target.filename().string().substr(0, kKeptNameBytes);
  const std::string pattern = (target.parent_path() / ("." + name + ".pairset-XXXXXX")).string();
  if (pattern.size() >= sizeof g_temporary) {
    errno = ENAMETOOLONG;
    return -1;
  }

  int descriptor = -1;
  int error = 0;
  {
    const EndingSignalsHeld held;
    std::memcpy(g_temporary, pattern.c_str(), pattern.size() + 1);
    descriptor = mkostemp(g_temporary, O_CLOEXEC);
    error = errno;
    if (descriptor >= 0) arm_ending_signals();
  }
  // The caller tells a folder that refuses new files from a full disk by errno, so restoring the
  // signal mask must not be what it reads.
  if (descriptor < 0) {
    errno = error;
    return -1;
  }
  temporary = g_temporary;

  // The new file takes the target's place, so it takes the target's owner (where the process
  // may give it) and permissions too; mkstemp made it 0600.
  struct stat info {};
  bool permitted = false;
  if (existing >= 0) {
    permitted = fstat(existing, &info) == 0;
    if (permitted) static_cast<void>(fchown(descriptor, info.st_uid, info.st_gid));
    permitted = permitted && fchmod(descriptor, info.st_mode & 07777) == 0;
  } else {
    permitted = fchmod(descriptor, new_file_permissions()) == 0;
  }
  if (!permitted) {
    error = errno;
    static_cast<void>(close(descriptor));
    remove_file(temporary);
    errno = error;
    return -1;
  }
  return descriptor;
}

bool flush_to_disk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  // A device or a FIFO keeps nothing to sync, and some refuse to.
  struct stat info {};
  return fstat(fileno(file), &info) == 0 && (!S_ISREG(info.st_mode) || fsync(fileno(file)) == 0);
}

bool replace_file(const std::filesystem::path& temporary, const std::filesystem::path& target) {
  {
    const EndingSignalsHeld held;
    if (rename(temporary.c_str(), target.c_str()) != 0) return false;
    disarm_ending_signals();
  }
  // The rename is done and cannot be taken back; syncing the folder only makes the new name
  // survive a power cut, so a folder that cannot be synced changes nothing that can be reported.
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  const Descriptor folder_descriptor(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder_descriptor.is_open()) static_cast<void>(fsync(folder_descriptor.get()));
  return true;
}

void remove_file(const std::filesystem::path& temporary) {
  const EndingSignalsHeld held;
  static_cast<void>(unlink(temporary.c_str()));
  disarm_ending_signals();
}

}  // namespace pairset::platform
