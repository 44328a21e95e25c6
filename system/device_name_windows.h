// The names that Windows gives to devices rather than to files.
#ifndef PAIRSET_SYSTEM_DEVICE_NAME_WINDOWS_H_
#define PAIRSET_SYSTEM_DEVICE_NAME_WINDOWS_H_

#include <string_view>

namespace pairset::platform {

// Gives true when `path` names a device rather than a file: a path in the \\.\ space, or one
// whose last part is CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9 (also COM¹ to COM³ and LPT¹
// to LPT³), CONIN$ or CONOUT$, in any letter case, with any extension or colon after it and any
// spaces before that (NUL.c13, "COM1 .c13", COM1: and nul.c13: are devices too).
bool names_a_device(std::wstring_view path);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_DEVICE_NAME_WINDOWS_H_
