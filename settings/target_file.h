// The .c13 target settings file of DNC terminals v1.3 and later: both directions of one CNC
// unit's settings under one setting name.
//   offset 0         43 bytes  signature "DNC-terminal ucpu settings file (one) v1.3" and a zero
//   offset 43        16 bytes  setting name
//   offset 59        L1 bytes  settings body of the input source
//   offset 59 + L1   16 bytes  the same setting name
//   offset 75 + L1   L2 bytes  settings body of the output source
#ifndef PAIRSET_SETTINGS_TARGET_FILE_H_
#define PAIRSET_SETTINGS_TARGET_FILE_H_

#include <array>
#include <optional>
#include <string_view>

#include "settings/source_file.h"
#include "system/target_output.h"

namespace pairset {

inline constexpr std::string_view kTargetSignature{"DNC-terminal ucpu settings file (one) v1.3",
                                                   kSignatureSize};

// The fixed 16-byte setting name field, zero-padded, with no closing zero when full.
using SettingName = std::array<char, kSettingNameSize>;

// Gives the setting name of a source file: its bytes from offset 43, zero-padded where the
// file ends before the field does.
SettingName setting_name_of(const SourceFile& source);

// Gives the setting name for `text` given on the command line: its first 16 bytes, zero-padded.
SettingName setting_name_from_text(std::string_view text);

// Writes the target file (found at the start of the run as `target`) from the two sources, under
// `new_name` when it is given, else under the setting name of `input_source`, as FoundTarget::write
// says; the target may be either source. A failure names the target (a null path), but a read
// error, which names the source whose body could not be read to its end.
Outcome write_target_file(FoundTarget target, const SourceFile& input_source,
                          const SourceFile& output_source,
                          std::optional<std::string_view> new_name);

}  // namespace pairset

#endif  // PAIRSET_SETTINGS_TARGET_FILE_H_
