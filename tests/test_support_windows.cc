// The Windows half of the helpers the tests share.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/test_support.h"

namespace pairset::testing {

const Failure kFolderSourceFailure = Failure::kCannotOpen;  // it does not open
const char8_t* const kFolderSourceMessage = u8"\nНе могу открыть файл '{}'\n";

std::string host_path(const char* path) {
  // Under wine the Unix root is the drive Z:.
  return *path == '/' ? std::string("Z:").append(path) : std::string(path);
}

std::FILE* start_command(const std::string& line) {
  // cmd /c drops the first and the last quote of the line: give it a pair to drop. The line goes
  // to Windows in wide characters, so that a name in any alphabet reaches the program whole.
  const std::string quoted = "\"" + line + "\"";
  std::wstring wide(quoted.size() + 1, L'\0');
  wide.resize(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, quoted.c_str(), -1, wide.data(),
                                                   static_cast<int>(wide.size())) -
                               1));
  return _wpopen(wide.c_str(), L"rb");  // NOLINT(cert-env33-c)
}

int end_command(std::FILE* pipe) {
  return _pclose(pipe);
}

std::string console(std::string_view text) {
  // stdout is a text stream: each line feed reaches the console as CR LF.
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string system_cp866(std::u8string_view text) {
  const auto* utf8 = reinterpret_cast<const char*>(text.data());
  const int size = static_cast<int>(text.size());
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  wide.resize(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8, size, wide.data(), size)));
  std::string out(wide.size(), '\0');
  const int made = WideCharToMultiByte(866, 0, wide.data(), static_cast<int>(wide.size()),
                                       out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  EXPECT_GT(made, 0) << "no code page 866";
  out.resize(static_cast<std::size_t>(std::max(made, 0)));
  return out;
}

}  // namespace pairset::testing
