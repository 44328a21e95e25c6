// What runs cut short leave beside a target or in the state folder: the rows of LeftBehindTest,
// and what each system does to make them (system/target_output_{linux,windows}_test.cc).
#ifndef PAIRSET_TESTS_LEFT_BEHIND_H_
#define PAIRSET_TESTS_LEFT_BEHIND_H_

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "system/files.h"
#include "tests/test_support.h"

namespace pairset::testing {

// What runs cut short leave, as the next run on the target finds it: one whose input source is
// missing, so that all it does is that.
struct LeftBehindCase {
  const char* label;
  enum Place { kBeside, kStateFolder } place = kBeside;
  // Beside the target (by default the undo copy's); in the state folder the copy's own is taken.
  const char* name = "target.c13.pairset-undo";
  enum Contents {
    kWholeCopy,
    kCopyCutShort,
    kAnotherFilesCopy,  // of a file of another name
    kReusedNumber,      // of a file that had the target's name and number, but another generation
    kMoreThanTheDiskHasRoomFor,  // whole, announcing more old contents than the disk has room for
    kTrailerZeroed,              // of the announced length, but with zeros where the trailer goes
    kOverTheFileSizeLimit,       // whole, with old contents that a file-size limit stops halfway
    kOtherText,
    // A new file's name: one a run marked (on Windows, plain text), one cut before its mark
    // (empty), and what a run cut short swapped out of the target's place: the file the target's
    // mark names, and another program's save, which it does not.
    kMarkedNewFile,
    kEmptyNewFile,
    kSwappedOutTarget,
    kSwappedOutSave,
  } contents = kWholeCopy;
  bool held = false;       // by a live run
  bool removed = false;    // by the run
  bool put_back = false;   // the target has its old contents again
  bool no_target = false;  // the run cut short was making a new target
  // Who made the copy (POSIX, as root: the copy and the target are given to other users).
  enum Maker {
    kRunner,
    kUserWhoMayNotWrite,       // user 4321, where the target is root's, 0644
    kUserInAStickyFolder,      // user 4321, in a folder anyone may write (as /tmp)
    kUserWhereAnyoneMayWrite,  // user 4321, where anyone may write the target
    kTargetsOwner,  // user 4321, who owns the target too (a run as root gives it its new files)
  } maker = kRunner;
  enum StateFolder {
    kPrivate,
    kAnotherUsers,               // the state folder is user 4321's
    kThroughAnotherUsersFolder,  // reached through a link into a folder of user 4321's
    // POSIX: the runner's own, but one that others may write, or named by a relative
    // XDG_STATE_HOME (relative to the working folder), or, with XDG_STATE_HOME unset, the one
    // under HOME that most users have
    kOpenToOthers,
    kRelativeVariable,
    kUnderHome,
  } state_folder = kPrivate;
  bool target_is_a_source = false;  // the run's output source is the target
  bool reported = false;       // the run says it cannot write (locked: open) the target, and stops
  bool set_aside = false;      // the copy is kept as NAME.pairset-stale instead
  bool by_marks = false;       // told by the new file's mark (Linux; Windows with named streams)
  bool target_locked = false;  // by another program, for longer than a run waits
  // What the target contains against a copy of it, as the next run finds it.
  enum Now {
    kTorn,            // the result's first sector, then the old contents: cut within a page
    kWhollyOld,       // the run had not yet written
    kWhollyResult,    // the run had written all of it; only the copy's removal was lost
    kRestoredByHand,  // another file's bytes copied over it since, as cp from a backup does
    kEditedSince,     // one sector that is neither the old contents nor the result
  } now = kTorn;
  // How the runner's copy stands (POSIX): as a run makes it, or open to others in some way.
  enum Form { kAsMade, kReadableByOthers, kWithAnAclEntry, kWithASecondName } form = kAsMade;
  bool stale_there = false;  // a copy set aside before is there: this one is numbered
  bool fresh = false;        // written just now, as far as its time tells
};

// Gives true where the row's files are made by another user, or its state folder is another's.
inline bool made_by_another_user(const LeftBehindCase& c) {
  return c.maker != LeftBehindCase::kRunner || c.state_folder == LeftBehindCase::kAnotherUsers ||
         c.state_folder == LeftBehindCase::kThroughAnotherUsersFolder;
}

// What each system does, in its own test file.

// Whether a run tells a live run's new file by its lock alone (Linux), or also by its age.
extern const bool kToldByItsLockAlone;

// Whether the file found at the start is written under any name it has since (Linux), or the name
// is opened again and must still give that file (Windows).
extern const bool kWritesTheFileFoundUnderItsNewName;

// Locks the file at `path` as a live run locks its new file or undo copy, through an open of its
// own (on Windows without delete sharing).
platform::Descriptor lock_as_a_live_run(const std::string& path);

// Makes `folder` the user's state folder for undo copies; an empty one, the system's again.
void set_state_folder(const std::string& folder);

// Gives the path of a target in `dir` a few characters short of the longest path: a new file's
// name must be cut to fit beside it.
std::filesystem::path path_near_the_limit(const TempDir& dir);

// Gives the path of a target in `dir` whose new file's name must be cut to fit (Linux: its name
// near the longest; Windows: its path).
std::string path_whose_new_file_is_cut(const TempDir& dir);

// Leaves beside the target at `path` the new file of a run that has since ended without a word.
void leave_new_file_of_an_ended_run(const std::string& path);

// Gives why the row cannot be made on this system, or an empty text where it can.
std::string cannot_make(const LeftBehindCase& c);

// Gives the folder the row's state folder is in: `own`, or another user's.
std::string state_home_for(const LeftBehindCase& c, const std::string& own);

// Moves another user's file of `kind` ("copy", "target"), made before the tests ran, to `path`
// where the row plants one (Windows); gives whether it did, or nothing where it could not.
std::optional<bool> take_another_users(const LeftBehindCase& c, const std::string& kind,
                                       const std::string& path);

// Gives the row's left file at `left` its mark, rights, second name and maker, and the target
// and state folder theirs; gives why it cannot, or an empty text.
std::string give_the_row_its_form(const LeftBehindCase& c, const TempDir& dir, const TempDir& state,
                                  const std::string& left);

// Sets what the row's run finds around it (Linux: HOME, the working folder, a file-size limit)
// until the guard goes.
std::shared_ptr<void> surround_the_run(const LeftBehindCase& c, const TempDir& state);

}  // namespace pairset::testing

#endif  // PAIRSET_TESTS_LEFT_BEHIND_H_
