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

// Holds the file at `descriptor` exclusively until the descriptor is closed, once no other run or
// program holds it (two runs writing one file in place then follow each other); gives false
// where it is still held after kLongestWaitMilliseconds. A file system that keeps no locks is
// written without one.
bool lock_exclusively(int descriptor);

// Gives true once the existing target (kRegular) is held by no lock of another program, or
// false where it still is after kLongestWaitMilliseconds: a target is replaced only when it
// could be written in place, so that both ways treat a locked target alike.
bool wait_until_unlocked(const Target& target);

// Makes sure that writing the file at `descriptor` in place to `size` bytes, and putting its
// present contents back after a failure, cannot run out of space; gives false when there is no
// room (a full disk, a file-size limit). May lengthen the file; the caller cuts it back.
bool reserve(int descriptor, std::uint64_t size);

// Sets the file's length to `size` and gives true.
bool truncate(int descriptor, std::uint64_t size);

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_IN_PLACE_H_
