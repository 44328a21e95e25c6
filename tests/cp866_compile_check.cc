// Compiled, not run, by CTest: text that code page 866 cannot spell must stop the build, while
// Russian text builds.
#include "app/cp866.h"

#if PAIRSET_TEXT_OUTSIDE_CP866
constexpr auto kText = pairset::cp866::bytes<u8"Файл café">();
#else
constexpr auto kText = pairset::cp866::bytes<u8"Файл">();
#endif

int main() {
  return static_cast<int>(kText.size());
}
