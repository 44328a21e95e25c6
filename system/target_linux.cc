// The target on Linux, opened once: the kernel alone follows its links (so fs.protected_symlinks
// and the like stay in force), and from then on the target is the file opened.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "system/endings.h"
#include "system/endings_posix.h"
#include "system/open_file_linux.h"
#include "system/retry.h"
#include "system/target.h"

namespace pairset::platform {
namespace {

// What the process's own descriptors already have open of the file a name opened.
struct OwnDescriptors {
  int writable = -1;       // a descriptor that writes it, the lowest
  bool read_only = false;  // a descriptor has it open for reading only
};

// Notes `descriptor` where it is one the process was started with (the run's own are all
// close-on-exec) and has the file `info` describes open.
void note_if_open(OwnDescriptors& own, int descriptor, const struct stat& info) {
  const int flags = fcntl(descriptor, F_GETFD);
  struct stat file {};
  if (flags < 0 || (flags & FD_CLOEXEC) != 0 || fstat(descriptor, &file) != 0 ||
      !same_file(file, info)) {
    return;
  }
  if ((fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_RDONLY) {
    own.read_only = true;
  } else if (own.writable < 0) {
    own.writable = descriptor;
  }
}

// Gives true when `path`, which opens, reaches its file through a magic link (/dev/fd/N,
// /proc/self/fd/N, /dev/stdout and the like): a name that asks for a descriptor's own file.
bool through_magic_link(const char* path) {
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  const long opened = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (opened >= 0) {
    static_cast<void>(close(static_cast<int>(opened)));
    return false;
  }
  if (errno == ELOOP) return true;
  if (errno != ENOSYS && errno != EPERM) return false;
  // Before Linux 5.6 (or where a filter forbids the call): the usual spellings.
  constexpr std::string_view kSpellings[] = {
      "/dev/fd/",   "/proc/self/fd/", "/proc/thread-self/fd/",
      "/dev/stdin", "/dev/stdout",    "/dev/stderr"};
  const std::string_view name = path;
  return std::ranges::any_of(
      kSpellings, [name](std::string_view spelling) { return name.starts_with(spelling); });
}

// Gives what the process has open of the file `info` describes, other than `except`: through a
// magic link any descriptor it was started with; through any other name only standard output or
// error (a `>> log` beside the target `log`), never a descriptor merely passed down (a lock's).
OwnDescriptors own_descriptors_on(const struct stat& info, int except, bool magic) {
  OwnDescriptors own;
  if (!magic) {
    for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
      if (descriptor != except) note_if_open(own, descriptor, info);
    }
    return own;
  }
  DIR* const list = opendir("/proc/self/fd");
  if (list == nullptr) return own;
  while (const dirent* entry = readdir(list)) {
    const std::string_view name = entry->d_name;
    int number = -1;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error == std::errc() && end == name.data() + name.size() && number != except &&
        number != dirfd(list)) {
      note_if_open(own, number, info);
    }
  }
  static_cast<void>(closedir(list));
  return own;
}

// Opens the folder `path` for the *at calls, and for syncing where it may be read.
int open_folder(const std::string& path) {
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return folder >= 0 || errno != EACCES ? folder
                                        : open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Splits `path` into its folder ("." where it names none) and its last name.
std::pair<std::string, std::string> split(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  return {slash == 0 ? "/" : std::string(path.substr(0, slash)),
          std::string(path.substr(slash + 1))};
}

// Gives the path of the file `target` opened as the system keeps it (links followed), or where
// /proc is not the kernel's the path it was opened by; the caller checks it against the file
// opened. Empty where there is none.
std::string real_path(const Target& target) {
  if (!proc_is_the_kernels()) return target.place.opened_as;
  char real[PATH_MAX];
  const ssize_t size = readlink(descriptor_path(target.file.get()).c_str(), real, sizeof real);
  if (size <= 0 || static_cast<std::size_t>(size) >= sizeof real || real[0] != '/') return {};
  return {real, static_cast<std::size_t>(size)};
}

// Opens the FIFO `target` has open for writing once a reader has it open: gives the descriptor,
// or -1 where none came within kLongestWaitMilliseconds (waiting for ever would hang a script).
int open_fifo(const Target& target) {
  int opened = -1;
  const bool answered = keep_trying(kLongestWaitMilliseconds, kSteadyPauses, [&] {
    const Reopened writer =
        reopen(target.file.get(), target.place.opened_as, O_WRONLY | O_NONBLOCK);
    opened = writer.descriptor;
    return writer.error != ENXIO;
  });
  if (!answered || opened < 0) return -1;
  // From here on a full FIFO makes a write wait, as writing to one does.
  const int flags = fcntl(opened, F_GETFL);
  if (flags < 0 || fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    static_cast<void>(close(opened));
    return -1;
  }
  return opened;
}

// Gives true for a FIFO or regular file in a sticky folder anyone may write (/tmp) that is
// neither this user's nor the folder owner's: one another user may have planted, which
// fs.protected_fifos and fs.protected_regular keep `cat >` from opening as well.
bool planted_in_a_shared_folder(const Target& target, const struct stat& info) {
  if ((!S_ISFIFO(info.st_mode) && !S_ISREG(info.st_mode)) || info.st_uid == geteuid()) {
    return false;
  }
  const std::string folder = split(real_path(target)).first;
  struct stat shared {};
  return stat(folder.c_str(), &shared) == 0 && (shared.st_mode & S_ISVTX) != 0 &&
         (shared.st_mode & S_IWOTH) != 0 && info.st_uid != shared.st_uid;
}

// Sets the folder and the one name of the open file `info` describes where the path the system
// keeps for it names that very file, no link followed (a deleted or memory file has none).
void find_name(Target& target, const struct stat& info) {
  const std::string real = real_path(target);
  if (real.empty()) return;
  auto [folder_path, name] = split(real);
  Descriptor folder(open_folder(folder_path));
  if (!folder.is_open() || name.empty() || !still_names(folder.get(), name.c_str(), info)) return;
  target.place.folder = std::move(folder);
  target.place.name = std::move(name);
}

// Makes `target` the missing target (kMissing, with its folder and name) at `path` where that
// folder opens and nothing at all, not even a dangling link, has the name; gives true where so.
bool find_no_file(Target& target, const char* path) {
  auto [folder_path, name] = split(path);
  Descriptor folder(open_folder(folder_path));
  struct stat present {};
  if (!folder.is_open() || name.empty() ||
      fstatat(folder.get(), name.c_str(), &present, AT_SYMLINK_NOFOLLOW) == 0) {
    return false;
  }
  target.kind = TargetKind::kMissing;
  target.place.folder = std::move(folder);
  target.place.name = std::move(name);
  return true;
}

// A target that does not exist: a new file is to be made in its folder. A name there that opens
// nothing is a dangling link: the kernel creates the file it leads to, written directly.
Target missing_target(const char* path) {
  Target target;
  target.place.opened_as = path;
  if (find_no_file(target, path)) return target;
  // Something has the name (or its folder does not open, and the create below fails as well).
  // Endings wait from the create until the file is noted, so that an ending signal removes it.
  const EndingsDeferred deferred;
  target.file = Descriptor(open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  struct stat info {};
  if (!target.file.is_open() || fstat(target.file.get(), &info) != 0) return {};
  // A file that appeared there meanwhile is an existing target after all.
  if (S_ISREG(info.st_mode) && info.st_size != 0) {
    static_cast<void>(target.file.close());
    return open_target(path);
  }
  if (!S_ISREG(info.st_mode)) {
    target.kind = TargetKind::kStream;
    return target;
  }
  target.kind = TargetKind::kCreated;
  find_name(target, info);
  if (target.place.folder.is_open()) {
    static_cast<void>(note_file_in_flight(target.place.folder.get(), target.place.name.c_str()));
  }
  return target;
}

}  // namespace

Target open_target(const char* path, Target found) {
  Target target;
  target.place.opened_as = path;
  if (found.kind == TargetKind::kRegular && found.file.is_open()) {
    // The file the run found before it read anything: a link put at the name since is not
    // followed to another file.
    target.file = std::move(found.file);
  } else {
    // O_PATH opens without reading or writing: a FIFO does not wait for a reader, a device is
    // not started, and a watcher sees no write.
    target.file = Descriptor(open(path, O_PATH | O_CLOEXEC));
  }
  if (!target.file.is_open()) {
    if (errno == ENOENT) return missing_target(path);
    return target;
  }
  struct stat info {};
  if (fstat(target.file.get(), &info) != 0) return {};

  // The process's own output, in any spelling, is written through its descriptor, so `>> log`
  // appends; a descriptor's name for a file open only for reading (/dev/stdin) is not written.
  const bool magic = through_magic_link(path);
  const OwnDescriptors own = own_descriptors_on(info, target.file.get(), magic);
  if (own.writable >= 0) {
    target.file = Descriptor(fcntl(own.writable, F_DUPFD_CLOEXEC, 3));
    target.kind = target.file.is_open() ? TargetKind::kStream : TargetKind::kCannotOpen;
    target.is_standard_output = own.writable == STDOUT_FILENO;
    return target;
  }
  if (magic && own.read_only) return {};
  if (planted_in_a_shared_folder(target, info)) return {};
  if (!S_ISREG(info.st_mode)) {
    // A device, a FIFO, or a pipe or socket reached through another process's descriptor.
    target.file =
        Descriptor(S_ISFIFO(info.st_mode)
                       ? open_fifo(target)
                       : reopen(target.file.get(), target.place.opened_as, O_WRONLY).descriptor);
    target.kind = target.file.is_open() ? TargetKind::kStream : TargetKind::kCannotOpen;
    return target;
  }
  // A rename would replace even a file this user may not write; such a target is refused, as
  // opening it for writing would be.
  if (faccessat(AT_FDCWD, path_of(target.file.get(), path).c_str(), W_OK, AT_EACCESS) != 0) {
    return {};
  }
  target.kind = TargetKind::kRegular;
  find_name(target, info);
  return target;
}

Target look_up_target(const char* path) {
  Target target;
  target.place.opened_as = path;
  if (*path == '\0') return target;
  target.file = Descriptor(open(path, O_PATH | O_CLOEXEC));
  if (!target.file.is_open() && errno == ENOENT) {
    find_no_file(target, path);
    return target;
  }
  struct stat info {};
  if (!target.file.is_open() || fstat(target.file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return {};
  }
  target.kind = TargetKind::kRegular;
  find_name(target, info);
  return target;
}

bool create_target(Target& target) {
  const EndingsDeferred deferred;
  target.file = Descriptor(openat(target.place.folder.get(), target.place.name.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
  if (!target.file.is_open()) return false;
  static_cast<void>(note_file_in_flight(target.place.folder.get(), target.place.name.c_str()));
  target.kind = TargetKind::kCreated;
  return true;
}

bool settle_created(Target& target, bool written) {
  const EndingsDeferred deferred;
  // Only the file made is removed, should its name have been taken over meanwhile.
  const bool named_so = target.place.folder.is_open() &&
                        still_names_open_file(target.place.folder.get(), target.place.name.c_str(),
                                              target.file.get());
  written = target.file.close() && written;
  if (!written && named_so)
    static_cast<void>(unlinkat(target.place.folder.get(), target.place.name.c_str(), 0));
  forget_file_in_flight();
  return written;
}

std::filesystem::path file_name_of(const Target& target) {
  return target.place.name.filename();
}

}  // namespace pairset::platform
