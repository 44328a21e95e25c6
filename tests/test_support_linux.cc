// The Linux half of the helpers the tests share.
#include <iconv.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

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

std::string system_cp866(std::u8string_view text) {
  iconv_t converter = iconv_open("CP866", "UTF-8");
  // (iconv_t)-1 is how iconv_open says it has no such conversion.
  EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));  // NOLINT(performance-no-int-to-ptr)
  std::string in(text.begin(), text.end());
  std::string out(in.size(), '\0');
  char* in_next = in.data();
  std::size_t in_left = in.size();
  char* out_next = out.data();
  std::size_t out_left = out.size();
  EXPECT_NE(iconv(converter, &in_next, &in_left, &out_next, &out_left),
            static_cast<std::size_t>(-1));
  iconv_close(converter);
  out.resize(out.size() - out_left);
  return out;
}

}  // namespace pairset::testing
