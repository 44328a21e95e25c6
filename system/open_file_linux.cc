// Whether /proc/self/fd reaches open files on this system.
#include <linux/magic.h>
#include <sys/statfs.h>

#include "system/open_file_linux.h"

namespace pairset::platform {

bool proc_is_the_kernels() {
  static const bool kernels = [] {
    struct statfs file_system {};
    return statfs("/proc/self/fd", &file_system) == 0 && file_system.f_type == PROC_SUPER_MAGIC;
  }();
  return kernels;
}

}  // namespace pairset::platform
