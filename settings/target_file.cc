#include "settings/target_file.h"

#include <algorithm>
#include <iterator>
#include <span>
#include <utility>

namespace pairset {

SettingName setting_name_of(const SourceFile& source) {
  SettingName name{};
  const std::span<const char> bytes = source.start();
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

Outcome write_target_file(FoundTarget target, const SourceFile& input_source,
                          const SourceFile& output_source,
                          std::optional<std::string_view> new_name) {
  const SettingName name =
      new_name ? setting_name_from_text(*new_name) : setting_name_of(input_source);

  const OutputPiece pieces[] = {OutputPiece{kTargetSignature}, OutputPiece{name},
                                input_source.body(), OutputPiece{name}, output_source.body()};
  return target.write(pieces);
}

}  // namespace pairset
