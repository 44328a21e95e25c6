// The Linux half of the helpers the tests share.
#include <sys/wait.h>

#include <cstdio>

#include "tests/test_support.h"

namespace pairset::testing {

const Failure kFolderSourceFailure = Failure::kReadError;  // it opens, but does not read
const char8_t* const kFolderSourceMessage = u8"\nОшибка чтения файла '{}'\n";

std::string host_path(const char* path) {
  return path;
}

std::FILE* start_command(const std::string& line) {
  // The executable runs through the shell on purpose, as users' scripts run it.
  return popen(line.c_str(), "r");  // NOLINT(cert-env33-c)
}

int end_command(std::FILE* pipe) {
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string console(std::string_view text) {
  return std::string(text);
}

}  // namespace pairset::testing
