// The ending signals on POSIX systems, as the new-file code needs them: a new file noted here is
// removed by any signal that ends the process before it is renamed or removed.
#ifndef PAIRSET_SYSTEM_ENDINGS_POSIX_H_
#define PAIRSET_SYSTEM_ENDINGS_POSIX_H_

namespace pairset::platform {

// Notes the new file `name` in the folder `folder` as the one an ending signal removes, and
// makes every ending signal do so; a signal the caller ignores stays ignored. Call with endings
// deferred. Gives false when the name is too long to note.
bool note_file_in_flight(int folder, const char* name);

// Notes that no new file exists any more.
void forget_file_in_flight();

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_ENDINGS_POSIX_H_
