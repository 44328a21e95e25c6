// The recovery of a whole run: before it reads anything, a run puts back what runs cut short left
// of its target, only the runner's own copies and only onto the file as the cut left it.
#ifndef PAIRSET_SYSTEM_RECOVERY_H_
#define PAIRSET_SYSTEM_RECOVERY_H_

#include <span>
#include <string_view>

#include "system/identity.h"
#include "system/outcome.h"
#include "system/target.h"
#include "system/undo_copy.h"

namespace pairset {

// Puts back into the target open at `file` (origin `origin`, locked by lock_exclusively) each
// complete undo copy of the runner's own where the file is as the cut left it (each sector the
// old contents or the result), and removes it, the incomplete ones, and those whose target is
// wholly either; gives false where one could not be put back, and it then stays. Another user's
// copy counts for nothing, unless the target is `read_as_a_source` and the copy says a cut tore
// it: then false. A copy of a file that had the name before, or of a file changed since the cut,
// is set aside, and false.
bool put_back_left_copies(const platform::Target& target, int file,
                          const platform::FileOrigin& origin, bool read_as_a_source);

// Puts back what runs cut short left of `target` (as platform::look_up_target found it), whose
// sources are at `sources`, as put_back_left_copies does, after removing the abandoned new files
// beside it and waiting for a run that writes it in place. Gives kNone where nothing was left or
// all of it went back; kCannotOpen where a copy was left but the target may not be written or
// stays locked; kWriteError where a copy could not be put back, or was set aside.
Failure restore_interrupted(platform::Target& target, std::span<const char* const> sources);

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_RECOVERY_H_
