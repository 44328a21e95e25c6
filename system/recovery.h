// The recovery of a whole run: before it reads anything, a run puts back what runs cut short
// left of its target, but only onto the file as the cut left it, and only the runner's own copies
// (system/undo_copy.h says what a copy contains).
#ifndef PAIRSET_SYSTEM_RECOVERY_H_
#define PAIRSET_SYSTEM_RECOVERY_H_

#include <span>
#include <string_view>

#include "system/identity.h"
#include "system/outcome.h"
#include "system/target.h"
#include "system/undo_copy.h"

namespace pairset {

// Puts back into the target open at `file` (origin `origin`, held by lock_exclusively) the
// complete undo copies of it that runs cut short left where the file is as the cut left it
// (each sector the old contents or the result), and removes them and the incomplete ones, and
// those whose target is wholly the old contents or wholly the result; gives false when a complete
// copy could not be put back, and it then stays. A copy that is not the runner's own is left as
// it is and counts for nothing, unless `read_as_a_source` (the target is also a source) and it
// says a cut tore the target: then false. A complete copy of a file that had the target's name
// before it, or of the target as it was before someone changed it since the cut, is set aside,
// and false.
bool put_back_left_copies(const platform::Target& target, int file,
                          const platform::FileOrigin& origin, bool read_as_a_source);

// Puts back what runs cut short left of the target `target` (a command-line argument looked up
// with platform::look_up_target), whose sources are at `sources`: the complete undo
// copies of that very file are put back into it and removed, incomplete ones removed, abandoned new
// files beside it removed. Waits for a run that writes the target in place to finish first. Gives
// kNone where nothing was left to put back, or all of it went back; kCannotOpen where a copy was
// left but the target may not be written or stays locked by another program; kWriteError where a
// complete copy could not be put back (the copy then stays), or was set aside.
Failure restore_interrupted(platform::Target& target, std::span<const char* const> sources);

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_RECOVERY_H_
