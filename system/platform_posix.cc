// Files on POSIX systems: paths are bytes, a new file is made with mkstemp and given the
// target's owner, permissions and extended attributes, rename replaces a file in one step, and
// every signal that would end the process removes the new file first.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>  // mkostemp
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "system/platform.h"

namespace pairset::platform {
namespace {

// The signals that end a process by default and may be caught, other than those that report a
// fault in the program itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT).
// SIGXFSZ is ignored instead, so that a file-size limit is a failed write.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE,   SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// Gives the set of every ending signal, the real-time ones included.
sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kEndingSignals) sigaddset(&set, signal_number);
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    sigaddset(&set, signal_number);
  }
#endif
  return set;
}

// The new file that a signal must remove; kept where a signal handler may read it.
char g_temporary[PATH_MAX];
volatile sig_atomic_t g_temporary_exists = 0;
constexpr int kSignalLimit = 65;

extern "C" void remove_temporary_and_end(int signal_number) {
  if (g_temporary_exists != 0) static_cast<void>(unlink(g_temporary));
  // The signal's usual result stands: it is raised again with the default action.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  static_cast<void>(sigaction(signal_number, &default_action, nullptr));
  static_cast<void>(raise(signal_number));
}

// Makes the ending signals remove the new file; a signal the caller ignores stays ignored. The
// handlers are installed once and stay: with no new file noted, a handler only raises its
// signal again with the default action, which is what the signal would have done.
void arm_ending_signals() {
  static bool installed = false;
  if (!installed) {
    installed = true;
    const sigset_t endings = ending_signals();
    struct sigaction action {};
    action.sa_handler = remove_temporary_and_end;
    action.sa_mask = endings;
    for (int signal_number = 1; signal_number < kSignalLimit; ++signal_number) {
      if (sigismember(&endings, signal_number) != 1) continue;
      struct sigaction previous {};
      if (sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        static_cast<void>(sigaction(signal_number, &previous, nullptr));
      }
    }
  }
  g_temporary_exists = 1;
}

// Notes that no new file exists any more.
void disarm_ending_signals() {
  g_temporary_exists = 0;
}

// How many EndingsHeld scopes are open, and the signal mask from before the first.
int g_holds = 0;
sigset_t g_mask_before_holds;

// Gives the permissions a file created at a path gets: 0666 less the umask.
mode_t new_file_permissions() {
  const mode_t mask = umask(0);
  static_cast<void>(umask(mask));
  return 0666 & ~mask;
}

// A new file's name keeps at most this much of the target's name, so that it stays within the
// 255 bytes a name may have.
constexpr std::size_t kKeptNameBytes = 200;

// Gives the names of the extended attributes of the open file, or nothing when they cannot be
// listed. A file system without them has none.
std::optional<std::vector<std::string>> attribute_names(int descriptor) {
  const ssize_t size = flistxattr(descriptor, nullptr, 0);
  if (size < 0) {
    if (errno == ENOTSUP) return std::vector<std::string>{};
    return std::nullopt;
  }
  std::string list(static_cast<std::size_t>(size), '\0');
  const ssize_t got = flistxattr(descriptor, list.data(), list.size());
  if (got < 0) return std::nullopt;
  list.resize(static_cast<std::size_t>(got));
  std::vector<std::string> names;
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = list.find('\0', start);
    names.push_back(list.substr(start, end - start));
    start = end == std::string::npos ? list.size() : end + 1;
  }
  return names;
}

// Gives `to` exactly the extended attributes of `from` (on Linux the ACL entries among them), and
// gives true when it could.
bool copy_attributes(int from, int to) {
  const auto wanted = attribute_names(from);
  const auto present = attribute_names(to);
  if (!wanted || !present) return false;
  // What the folder's default ACL gave the new file, the target does not have.
  for (const std::string& name : *present) {
    if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  for (const std::string& name : *wanted) {
    const ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 ||
        fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Makes the new file `made` the same file as the open target `existing` in all but its contents:
// owner and group, extended attributes and ACL entries, permissions. Gives true when it could.
bool take_identity(int made, int existing) {
  struct stat target {};
  if (fstat(existing, &target) != 0) return false;
  // Anyone may give a file their own owner and one of their groups; only root any other.
  static_cast<void>(fchown(made, target.st_uid, target.st_gid));
  struct stat taken {};
  if (fstat(made, &taken) != 0 || taken.st_uid != target.st_uid || taken.st_gid != target.st_gid) {
    return false;
  }
  return copy_attributes(existing, made) && fchmod(made, target.st_mode & 07777) == 0;
}

// Gives the descriptor number that `path` names when it is one of the process's own streams.
std::optional<int> held_stream_number(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
  for (const std::string_view prefix :
       {std::string_view("/dev/fd/"), std::string_view("/proc/self/fd/"), std::string_view(own)}) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
    int number = -1;
    const char* const last = path.data() + path.size();
    const auto [end, error] = std::from_chars(path.data() + prefix.size(), last, number);
    if (error == std::errc() && end == last) return number;
  }
  return std::nullopt;
}

// Gives where the symbolic link at `path` leads, or nothing when `path` is no link.
std::optional<std::filesystem::path> link_target(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) return {};
  const std::filesystem::path link = std::filesystem::read_symlink(path, error);
  if (error) return {};
  return link.is_absolute() ? link : path.parent_path() / link;
}

// As many links as the kernel itself follows; a loop of links ends where it stands.
constexpr int kLinkHops = 40;

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

std::FILE* open_stream(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

std::uint64_t regular_file_size(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

int open_held_stream(const std::filesystem::path& path) {
  // Each link on the way is looked at: /dev/stdout leads to /proc/self/fd/1 and then to the
  // file or pipe behind it.
  std::optional<std::filesystem::path> followed = path;
  for (int hops = 0; followed && hops <= kLinkHops; ++hops) {
    const std::optional<int> number = held_stream_number(followed->lexically_normal().string());
    if (number) return fcntl(*number, F_DUPFD_CLOEXEC, 3);
    followed = link_target(*followed);
  }
  return -1;
}

int open_existing_for_writing(const std::filesystem::path& path) {
  return open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

int open_for_update(const std::filesystem::path& path) {
  const int descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
  return descriptor >= 0 || errno != EACCES ? descriptor : open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

bool is_regular_file(int descriptor) {
  struct stat info {};
  return fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::uint64_t> file_size(int descriptor) {
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::filesystem::path follow_links(const std::filesystem::path& path) {
  std::filesystem::path followed = path;
  for (int hops = 0; hops < kLinkHops; ++hops) {
    std::optional<std::filesystem::path> next = link_target(followed);
    if (!next) break;
    followed = std::move(*next);
  }
  return followed;
}

int create_replacement(const std::filesystem::path& target, int existing,
                       std::filesystem::path& temporary) {
  // A file with other links stays the file those links name only if it is written in place.
  struct stat info {};
  if (existing >= 0 && (fstat(existing, &info) != 0 || info.st_nlink > 1)) {
    errno = EMLINK;
    return -1;
  }
  // The name is cut so that the whole path stays within what the system takes.
  const std::string folder = target.parent_path().string();
  const std::string name = target.filename().string();
  const std::size_t fixed = folder.size() + std::strlen("/..pairset-XXXXXX");
  if (fixed + 1 >= sizeof g_temporary) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const std::size_t kept = std::min({name.size(), kKeptNameBytes, sizeof g_temporary - 1 - fixed});
  std::string new_name = ".";
  new_name.append(name, 0, kept).append(".pairset-XXXXXX");
  const std::string pattern = (target.parent_path() / new_name).string();

  int descriptor = -1;
  int error = 0;
  {
    const EndingsHeld held;
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

  // mkstemp made it 0600; it takes the target's place, so it takes the target's identity.
  const bool taken = existing >= 0 ? take_identity(descriptor, existing)
                                   : fchmod(descriptor, new_file_permissions()) == 0;
  if (!taken) {
    static_cast<void>(::close(descriptor));
    remove_file(temporary);
    errno = EPERM;
    return -1;
  }
  return descriptor;
}

bool refuses_replacement(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case EXDEV:
    case EMLINK:
    case ENAMETOOLONG:
    case ENOTSUP:
      return true;
    default:
      return false;
  }
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

bool reserve(int descriptor, std::uint64_t size) {
  return size == 0 || posix_fallocate(descriptor, 0, static_cast<off_t>(size)) == 0;
}

bool truncate(int descriptor, std::uint64_t size) {
  return ftruncate(descriptor, static_cast<off_t>(size)) == 0;
}

bool flush_to_disk(int descriptor) {
  // A device, a FIFO or a pipe keeps nothing to sync, and some refuse to.
  struct stat info {};
  return fstat(descriptor, &info) == 0 && (!S_ISREG(info.st_mode) || fsync(descriptor) == 0);
}

Replacement replace_file(const std::filesystem::path& temporary,
                         const std::filesystem::path& target) {
  {
    const EndingsHeld held;
    if (rename(temporary.c_str(), target.c_str()) != 0) {
      const int error = errno;
      return error == EACCES || error == EPERM || error == EROFS || error == EBUSY ||
                     error == EXDEV || error == ENAMETOOLONG
                 ? Replacement::kRefused
                 : Replacement::kFailed;
    }
    disarm_ending_signals();
  }
  // The rename is done and cannot be taken back; syncing the folder only makes the new name
  // survive a power cut, so a folder that cannot be synced changes nothing that can be reported.
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  const Descriptor folder_descriptor(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder_descriptor.is_open()) static_cast<void>(fsync(folder_descriptor.get()));
  return Replacement::kReplaced;
}

void remove_file(const std::filesystem::path& temporary) {
  const EndingsHeld held;
  static_cast<void>(unlink(temporary.c_str()));
  disarm_ending_signals();
}

bool ending_requested() {
  return false;
}

EndingsHeld::EndingsHeld() {
  if (g_holds++ > 0) return;
  const sigset_t endings = ending_signals();
  static_cast<void>(sigprocmask(SIG_BLOCK, &endings, &g_mask_before_holds));
}

EndingsHeld::~EndingsHeld() {
  if (--g_holds > 0) return;
  static_cast<void>(sigprocmask(SIG_SETMASK, &g_mask_before_holds, nullptr));
}

}  // namespace pairset::platform
