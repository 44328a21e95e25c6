// Writing an existing file in place: opened again for writing, locked against other runs and
// programs, given room for the result and cut to its length. Each system in its own
// in_place_*.cc.
#ifndef PAIRSET_SYSTEM_IN_PLACE_H_
#define PAIRSET_SYSTEM_IN_PLACE_H_

#include <cstdint>

#include "system/target.h"

namespace pairset::platform {

// Opens the existing target (kRegular) for reading and writing (for writing alone where it may
// not be read) without emptying it: gives its descriptor, or -1.
int open_for_update(Target& target);

// Locks the file at `descriptor` exclusively until it is closed, once no other run or program
// locks it (two runs in place follow each other); false where it is still locked after
// kLongestWaitMilliseconds. A file system that keeps no locks is written without one.
bool lock_exclusively(int descriptor);

// Gives true once the existing target is locked by no other program, false where it still is
// after kLongestWaitMilliseconds: both ways of writing treat a locked target alike.
bool wait_until_unlocked(const Target& target);

// Makes sure that writing the file at `descriptor` in place to `size` bytes, and putting its
// contents back after a failure, cannot run out of space; false where there is no room. May
// lengthen the file; the caller cuts it back.
bool reserve(int descriptor, std::uint64_t size);

// Sets the file's length to `size` and gives true.
bool truncate(int descriptor, std::uint64_t size);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_IN_PLACE_H_
