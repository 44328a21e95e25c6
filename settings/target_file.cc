#include "settings/target_file.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "system/target_output.h"

namespace pairset {
namespace {

// The most one fwrite is given; some C runtimes mishandle single requests of 2 GiB or more.
constexpr std::size_t kWriteChunk = std::size_t{64} << 20;

// Gives the settings body of a source: its bytes from offset 59, none when it is shorter.
std::span<const char> settings_body(const SourceFile& source) {
  const std::span<const char> bytes = source.bytes();
  return bytes.size() > kSettingsBodyOffset ? bytes.subspan(kSettingsBodyOffset)
                                            : std::span<const char>{};
}

// Writes all of `bytes` to `file` and gives true when every byte was taken.
bool write_all(std::FILE* file, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const std::size_t count = std::min(bytes.size(), kWriteChunk);
    if (std::fwrite(bytes.data(), 1, count, file) != count) return false;
    bytes = bytes.subspan(count);
  }
  return true;
}

}  // namespace

SettingName setting_name_of(const SourceFile& source) {
  SettingName name{};
  const std::span<const char> bytes = source.bytes();
  if (bytes.size() > kSettingNameOffset) {
    const std::span<const char> field = bytes.subspan(
        kSettingNameOffset, std::min(kSettingNameSize, bytes.size() - kSettingNameOffset));
    std::copy(field.begin(), field.end(), name.begin());
  }
  return name;
}

SettingName setting_name_from_text(std::string_view text) {
  SettingName name{};
  const std::string_view kept = text.substr(0, kSettingNameSize);
  std::copy(kept.begin(), kept.end(), name.begin());
  return name;
}

WriteStatus write_target_file(const char* path, const SourceFile& input_source,
                              const SourceFile& output_source,
                              std::optional<std::string_view> new_name) {
  const SettingName name =
      new_name ? setting_name_from_text(*new_name) : setting_name_of(input_source);

  TargetOutput target(path);
  switch (target.status()) {
    case TargetStatus::kOpened:
      break;
    case TargetStatus::kCannotOpen:
      return WriteStatus::kCannotOpen;
    case TargetStatus::kWriteError:
      return WriteStatus::kWriteError;
  }
  std::FILE* const file = target.stream();
  const bool written = write_all(file, kTargetSignature) && write_all(file, name) &&
                       write_all(file, settings_body(input_source)) && write_all(file, name) &&
                       write_all(file, settings_body(output_source));
  return written && target.commit() ? WriteStatus::kWritten : WriteStatus::kWriteError;
}

}  // namespace pairset
