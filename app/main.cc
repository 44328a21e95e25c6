// pairset: converts the two .cn1 settings files of a CNC unit (DNC terminal v1.0 to v1.2) into
// one .c13 settings file (v1.3 and later).
#include <cstddef>
#include <span>

#include "app/messages.h"
#include "app/run.h"
#include "system/console.h"
#include "system/files.h"

int main(int argc, char* argv[]) {
  pairset::platform::prepare(argc, argv);
  const std::span<const char* const> args(argv + 1,
                                          static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
  if (args.size() == 1 && args[0] == pairset::kStartedByExplorerSwitch) {
    return pairset::console::caller_started_by_explorer() ? 0 : 1;
  }
  pairset::run_pairset(args, pairset::console::standard_output());
  pairset::console::finish(pairset::press_any_key());
  // Scripts tell success from failure by the text; the status is 0 on every path.
  return 0;
}
