#include "settings/target_file.h"

#include <algorithm>
#include <span>

#include "system/undo_copy.h"

namespace pairset {
namespace {

// Gives the settings body of a source: its bytes from offset 59, none when it is shorter.
std::span<const char> settings_body(const SourceFile& source) {
  const std::span<const char> bytes = source.bytes();
  return bytes.size() > kSettingsBodyOffset ? bytes.subspan(kSettingsBodyOffset)
                                            : std::span<const char>{};
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

  const std::span<const char> pieces[] = {kTargetSignature, name, settings_body(input_source), name,
                                          settings_body(output_source)};
  return write_target_output(path, pieces);
}

bool restore_target_file(const char* path) {
  return restore_interrupted(path);
}

}  // namespace pairset
