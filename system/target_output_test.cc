#include "system/target_output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "system/file_names.h"
#include "system/identity.h"
#include "system/new_file.h"
#include "system/target.h"
#include "system/undo_copy.h"
#include "tests/left_behind.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::LeftBehindCase;
using testing::PrintTo;

using testing::file_names;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using testing::write_text;

// The target is the file found when the run began: a file put at its name since is not written.
// Linux writes the file found, under the name it has now; Windows, which opens the name again,
// writes nothing.
TEST(TargetOutput, WritesOnlyTheFileFoundAtTheStart) {
  TempDir dir;
  const std::string path = dir.path("target.c13");
  write_file(path, "previous");
  FoundTarget found(path.c_str());
  std::filesystem::rename(path, dir.path("moved.c13"));
  write_file(path, "someone else's");
  const std::string text = "the result";
  const OutputPiece pieces[] = {OutputPiece{text}};

  const Failure status = found.write(pieces).failure;

  EXPECT_EQ(read_file(path), "someone else's");
  const bool written = testing::kWritesTheFileFoundUnderItsNewName;
  EXPECT_EQ(status, written ? Failure::kNone : Failure::kCannotOpen);
  EXPECT_EQ(read_file(dir.path("moved.c13")), written ? text : "previous");
}

TEST(TargetOutput, NewFileStandsBesideTheTargetUntilRemoved) {
  TempDir dir;
  write_file(dir.path("target.c13"), "previous");
  std::filesystem::path made;
  platform::Target target = platform::open_target(dir.path("target.c13").c_str());
  platform::Descriptor file(platform::create_replacement(target, made).descriptor);
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(made.filename().string().rfind(".target.c13.pairset-", 0), 0U) << made;
  EXPECT_EQ(file_names(dir).size(), 2U);
  ASSERT_TRUE(file.close());
  platform::remove_file(target, made);
  EXPECT_EQ(file_names(dir), std::vector<std::string>{"target.c13"});
}

// Such a target has a new file whose name, cut short, still fits beside it.
TEST(TargetOutput, ReplacesTargetsWhoseNewFileNameWouldBeTooLong) {
  TempDir dir;
  const std::filesystem::path target = testing::path_near_the_limit(dir);
  const std::filesystem::path folder = target.parent_path();
  const std::string path = target.string();
  write_file(path, "previous");

  EXPECT_EQ(write_text(path, "new"), Failure::kNone);
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

// A new file whose name was cut to fit, left by a run cut short, is known by that name and
// removed by the next run.
TEST(TargetOutput, ClearsALeftNewFileWhoseNameWasCutToFit) {
  TempDir dir;
  const std::string path = testing::path_whose_new_file_is_cut(dir);
  write_file(path, "previous");
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  testing::leave_new_file_of_an_ended_run(path);
  std::filesystem::path left;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename() != std::filesystem::path(path).filename()) left = entry.path();
  }
  ASSERT_FALSE(left.empty());
  ASSERT_LT(left.filename().string().size(),
            std::filesystem::path(path).filename().string().size() +
                std::string_view("..pairset-Ab12Cd").size())
      << "the name was not cut";
  // Written long ago, as far as its time tells: on Windows a new file is taken for left behind
  // only then.
  std::filesystem::last_write_time(
      left, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));

  platform::clear_abandoned_files(platform::look_up_target(path.c_str()));

  EXPECT_FALSE(std::filesystem::exists(left)) << left;
  EXPECT_EQ(read_file(path), "previous");
}

class LeftBehindTest : public ::testing::TestWithParam<LeftBehindCase> {};

TEST_P(LeftBehindTest, NextRunPutsBackOrRemovesOnlyWhatNoLiveRunHolds) {
  const LeftBehindCase& c = GetParam();
  if (const std::string why = testing::cannot_make(c); !why.empty()) GTEST_SKIP() << why;
  // Two sectors of old contents (or more, for the file-size limit), three of the result.
  const std::string old_contents = c.contents == LeftBehindCase::kOverTheFileSizeLimit
                                       ? std::string(std::size_t{100} << 10, 'p')
                                       : "previous" + std::string(1016, 'p');
  const std::string result(1536, 'r');
  const std::string torn = result.substr(0, 512) + old_contents.substr(512);
  const std::string target_now =
      c.now == LeftBehindCase::kWhollyOld        ? old_contents
      : c.now == LeftBehindCase::kWhollyResult   ? result
      : c.now == LeftBehindCase::kRestoredByHand ? std::string(old_contents.size(), 'b')
      : c.now == LeftBehindCase::kEditedSince    ? result.substr(0, 512) + std::string(512, 'e')
                                                 : torn;
  TempDir dir;
  TempDir state;
  write_file(dir.path("out.cn1"), testing::cn1_file("OUT", "o"));
  if (!testing::take_another_users(c, "target", dir.path("target.c13"))) {
    GTEST_SKIP() << "no target anyone may write (made where the tests run as root)";
  }
  write_file(dir.path("target.c13"), target_now);
  platform::Descriptor readable(platform::open_for_reading(dir.path("target.c13")));
  const std::optional<platform::FileOrigin> found = platform::origin_of(readable.get());
  ASSERT_TRUE(found);
  static_cast<void>(readable.close());  // Windows removes no open file
  platform::FileOrigin origin = *found;
  const std::string copy_name = platform::state_copy_name<char>(origin);
  std::string name = "target.c13";
  std::uint64_t size = old_contents.size();
  switch (c.contents) {
    case LeftBehindCase::kAnotherFilesCopy:
      name = "other.c13";
      break;
    case LeftBehindCase::kReusedNumber:
      // Windows (NTFS) tells a reused index by the index itself, which carries a sequence number.
      ++(origin.generation != 0 ? origin.generation
         : origin.birth != 0    ? origin.birth
                                : origin.inode);
      break;
    case LeftBehindCase::kMoreThanTheDiskHasRoomFor:
      size = std::filesystem::space(dir.path("")).available + (std::uint64_t{1} << 30);
      break;
    default:
      break;
  }
  const std::string whole = testing::undo_copy_file(origin, name, old_contents, result);
  const std::string header = encode_undo_header({origin, size, result.size(), name});
  const std::string after_old =
      whole.substr(encode_undo_header({origin, old_contents.size(), result.size(), name}).size() +
                   old_contents.size());
  const bool plain =
      c.contents == LeftBehindCase::kOtherText || c.contents >= LeftBehindCase::kMarkedNewFile;
  const std::string contents = plain ? "my own notes"
                               : c.contents == LeftBehindCase::kCopyCutShort
                                   ? whole.substr(0, whole.size() - 12)
                               : c.contents == LeftBehindCase::kTrailerZeroed
                                   ? whole.substr(0, whole.size() - kUndoTrailer.size()) +
                                         std::string(kUndoTrailer.size(), '\0')
                                   : whole;
  std::string left = dir.path(c.name);
  std::string state_home = testing::state_home_for(c, state.path(""));
  if (c.place == LeftBehindCase::kStateFolder && state_home != state.path("")) {
    left = state_home + "/pairset/" + copy_name;
  } else if (c.place == LeftBehindCase::kStateFolder) {
    std::string folder = state.path("pairset");
    if (c.state_folder == LeftBehindCase::kThroughAnotherUsersFolder) {
      std::filesystem::create_directory(state.path("other"));
      std::filesystem::create_directory_symlink(state.path("other"), state.path("link"));
      folder = state.path("other/pairset");
      state_home = state.path("link");
    } else if (c.state_folder == LeftBehindCase::kUnderHome) {
      folder = state.path(".local/state/pairset");
      std::filesystem::create_directories(state.path(".local/state"));
    } else if (c.state_folder == LeftBehindCase::kRelativeVariable) {
      folder = state.path("relative/pairset");
      std::filesystem::create_directory(state.path("relative"));
    }
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, c.state_folder == LeftBehindCase::kOpenToOthers
                                             ? std::filesystem::perms::all
                                             : std::filesystem::perms::owner_all);
    left = folder + "/" + copy_name;
  }
  const std::optional<bool> taken = testing::take_another_users(c, "copy", left);
  if (!taken) GTEST_SKIP() << "no file of another user (made where the tests run as root)";
  if (c.contents == LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    // Sparse: it takes no room, but tells of more than there is.
    write_file(left, header);
    std::filesystem::resize_file(left, header.size() + size);
    std::ofstream(left, std::ios::binary | std::ios::app) << after_old;
  } else if (c.contents == LeftBehindCase::kEmptyNewFile) {
    // Another user's was made empty, and long ago, before the tests ran.
    if (!*taken) write_file(left, "");
  } else {
    write_file(left, contents);
  }
  if (const std::string why = testing::give_the_row_its_form(c, dir, state, left); !why.empty()) {
    GTEST_SKIP() << why;
  }
  if (c.no_target) std::filesystem::remove(dir.path("target.c13"));
  // Written long ago, as far as its time tells: on Windows a new file is taken for left behind
  // only then. (Only its owner may set the time of another user's copy.)
  if (c.maker == LeftBehindCase::kRunner && !c.fresh) {
    std::filesystem::last_write_time(
        left, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  }
  if (c.stale_there) write_file(platform::stale_copy_name<char>(left), "set aside before");
  platform::Descriptor live;
  if (c.held) {
    live = testing::lock_as_a_live_run(left);
    ASSERT_TRUE(live.is_open());
  }
  platform::Descriptor locked;
  if (c.target_locked) {
    locked = testing::lock_as_a_live_run(dir.path("target.c13"));
    ASSERT_TRUE(locked.is_open());
  }
  testing::set_state_folder(state_home);
  std::shared_ptr<void> surroundings = testing::surround_the_run(c, state);

  const std::string printed = testing::run_in_process(
      {dir.path("missing.cn1"), dir.path(c.target_is_a_source ? "target.c13" : "out.cn1"),
       dir.path("target.c13")});
  surroundings.reset();
  testing::set_state_folder("");

  if (c.reported) {
    // Locked by another program, the target is one the run cannot open; otherwise writing failed.
    EXPECT_EQ(printed, testing::to_cp866(c.target_locked ? u8"\nНе могу открыть файл '"
                                                         : u8"\nОшибка записи файла '") +
                           dir.path("target.c13") + "'\n");
  } else {
    EXPECT_TRUE(printed.ends_with("missing.cn1'\n")) << printed;
  }
  // A copy that could not be put back whole leaves the target torn, and stays for the next run.
  if (!c.no_target && c.contents != LeftBehindCase::kOverTheFileSizeLimit) {
    EXPECT_EQ(read_file(dir.path("target.c13")), c.put_back ? old_contents : target_now);
  }
  EXPECT_EQ(std::filesystem::exists(left), !c.removed);

  if (!c.removed && c.contents != LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    EXPECT_EQ(read_file(left), c.contents == LeftBehindCase::kEmptyNewFile ? "" : contents);
  }
  const std::string stale =
      platform::stale_copy_name<char>(left) + (c.stale_there ? std::string("-1") : "");
  EXPECT_EQ(std::filesystem::exists(stale), c.set_aside);
  if (c.set_aside && std::filesystem::exists(stale) &&
      c.contents != LeftBehindCase::kMoreThanTheDiskHasRoomFor) {
    EXPECT_EQ(read_file(stale), contents);
  }
  if (c.stale_there) {
    EXPECT_EQ(read_file(platform::stale_copy_name<char>(left)), "set aside before");
  }
  if (c.form == LeftBehindCase::kWithASecondName) {
    EXPECT_EQ(read_file(dir.path("notes.c13")), contents);
  }
  // Another user's state folder may stay for the next rows (Windows): what was left in it goes.
  std::error_code ignored;
  if (c.state_folder == LeftBehindCase::kAnotherUsers) std::filesystem::remove(left, ignored);
}

constexpr auto kInTheStateFolder = LeftBehindCase::kStateFolder;
constexpr const char* kNewFileName = ".target.c13.pairset-Ab12Cd";

INSTANTIATE_TEST_SUITE_P(
    AnySystem, LeftBehindTest,
    ::testing::Values(
        LeftBehindCase{.label = "whole_copy", .removed = true, .put_back = true},
        LeftBehindCase{.label = "whole_copy_in_the_state_folder",
                       .place = kInTheStateFolder,
                       .removed = true,
                       .put_back = true},
        // Its run was cut short before it touched the target.
        LeftBehindCase{
            .label = "copy_cut_short", .contents = LeftBehindCase::kCopyCutShort, .removed = true},
        LeftBehindCase{.label = "copy_a_live_run_holds", .held = true},
        // Only a copy that ends with its trailer is whole; one with zeros there was cut short.
        LeftBehindCase{.label = "copy_whose_trailer_is_zeros",
                       .contents = LeftBehindCase::kTrailerZeroed,
                       .removed = true},
        // Another program holds the target longer than a run waits: nothing is put back into it.
        LeftBehindCase{.label = "copy_of_a_target_another_program_holds",
                       .reported = true,
                       .target_locked = true},
        // Putting it back fails halfway: the copy stays, the only whole one of the old contents.
        LeftBehindCase{.label = "copy_that_cannot_be_put_back_whole",
                       .contents = LeftBehindCase::kOverTheFileSizeLimit,
                       .reported = true},
        // Of a file of another name: nothing of this target's.
        LeftBehindCase{.label = "copy_of_another_file",
                       .contents = LeftBehindCase::kAnotherFilesCopy},
        // Of the file that had the target's name and number before them (deleted, and the number
        // given to a file copied in): never put into it, kept aside, and the run says so.
        LeftBehindCase{.label = "copy_of_a_file_whose_number_was_reused",
                       .contents = LeftBehindCase::kReusedNumber,
                       .removed = true,
                       .reported = true,
                       .set_aside = true},
        LeftBehindCase{.label = "copy_of_a_reused_number_in_the_state_folder",
                       .place = kInTheStateFolder,
                       .contents = LeftBehindCase::kReusedNumber,
                       .removed = true,
                       .reported = true,
                       .set_aside = true},
        // A copy set aside before is kept: this one takes the next number.
        LeftBehindCase{.label = "copy_of_a_target_restored_by_hand_set_aside_again",
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kRestoredByHand,
                       .stale_there = true},
        // Another user's file at the copy's name of a deleted target is theirs: untouched.
        LeftBehindCase{.label = "another_users_copy_of_a_deleted_target",
                       .no_target = true,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite},
        // Of a target deleted by hand since: kept aside, and the run says so.
        LeftBehindCase{.label = "copy_of_a_deleted_target",
                       .removed = true,
                       .no_target = true,
                       .reported = true,
                       .set_aside = true},
        // Announcing old contents of a length the target could not have after a cut: kept
        // aside, and the run says so.
        LeftBehindCase{.label = "copy_announcing_more_than_the_disk_has_room_for",
                       .contents = LeftBehindCase::kMoreThanTheDiskHasRoomFor,
                       .removed = true,
                       .reported = true,
                       .set_aside = true},
        // Put back only onto the file as the cut left it: not yet written, or wholly written,
        // only the copy goes; restored by hand or edited since, the file is someone's now, and
        // the copy is kept aside.
        LeftBehindCase{.label = "copy_of_a_target_not_yet_written",
                       .removed = true,
                       .now = LeftBehindCase::kWhollyOld},
        LeftBehindCase{.label = "copy_of_a_target_wholly_written",
                       .removed = true,
                       .now = LeftBehindCase::kWhollyResult},
        LeftBehindCase{.label = "copy_of_a_target_restored_by_hand",
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kRestoredByHand},
        LeftBehindCase{.label = "copy_of_a_target_edited_since",
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kEditedSince},
        LeftBehindCase{.label = "copy_in_the_state_folder_of_a_target_restored_by_hand",
                       .place = kInTheStateFolder,
                       .removed = true,
                       .reported = true,
                       .set_aside = true,
                       .now = LeftBehindCase::kRestoredByHand},
        // The runner's own only where no one else may read or write it: never put back, never
        // removed (and the file linked in as the copy keeps its bytes).
        LeftBehindCase{.label = "copy_readable_by_others",
                       .form = LeftBehindCase::kReadableByOthers},
        LeftBehindCase{.label = "copy_with_an_acl_entry", .form = LeftBehindCase::kWithAnAclEntry},
        LeftBehindCase{.label = "copy_with_a_second_name",
                       .form = LeftBehindCase::kWithASecondName},
        // Made by someone who may not write the target: never put back, left where it is.
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_the_target",
                       .maker = LeftBehindCase::kUserWhoMayNotWrite},
        LeftBehindCase{.label = "copy_by_a_user_in_a_sticky_folder",
                       .maker = LeftBehindCase::kUserInAStickyFolder},
        // ... unless the target is a source that it says a cut tore: then it is not read. One
        // that says the source is whole stops nothing.
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_a_source",
                       .maker = LeftBehindCase::kUserWhoMayNotWrite,
                       .target_is_a_source = true,
                       .reported = true},
        LeftBehindCase{.label = "copy_by_a_user_who_may_not_write_a_source_it_says_is_whole",
                       .maker = LeftBehindCase::kUserWhoMayNotWrite,
                       .target_is_a_source = true,
                       .now = LeftBehindCase::kWhollyOld},
        // ... nor by someone whom the target's rights let write it: only the runner's own is.
        LeftBehindCase{.label = "copy_by_a_user_where_anyone_may_write_the_target",
                       .maker = LeftBehindCase::kUserWhereAnyoneMayWrite},
        // A state folder that is not the runner's own and private is not looked in.
        LeftBehindCase{.label = "copy_in_another_users_state_folder",
                       .place = kInTheStateFolder,
                       .state_folder = LeftBehindCase::kAnotherUsers},
        LeftBehindCase{.label = "copy_in_a_state_folder_reached_through_another_users",
                       .place = kInTheStateFolder,
                       .state_folder = LeftBehindCase::kThroughAnotherUsersFolder},
        // The runner's own, but open to others, or named relative to the working folder: not
        // looked in. Under HOME, where most users have it: put back.
        LeftBehindCase{.label = "copy_in_a_state_folder_others_may_write",
                       .place = kInTheStateFolder,
                       .state_folder = LeftBehindCase::kOpenToOthers},
        LeftBehindCase{.label = "copy_in_a_state_folder_named_relative",
                       .place = kInTheStateFolder,
                       .state_folder = LeftBehindCase::kRelativeVariable},
        LeftBehindCase{.label = "copy_in_the_state_folder_under_home",
                       .place = kInTheStateFolder,
                       .removed = true,
                       .put_back = true,
                       .state_folder = LeftBehindCase::kUnderHome},
        LeftBehindCase{.label = "a_users_file_under_the_copys_name",
                       .contents = LeftBehindCase::kOtherText},
        LeftBehindCase{.label = "abandoned_new_file",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = true},
        LeftBehindCase{.label = "abandoned_new_file_of_a_new_target",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = true,
                       .no_target = true},
        // Written just now and held by no one: on Windows, where a share may not enforce its
        // share modes, a new file that young is a live run's; on Linux the lock alone tells.
        LeftBehindCase{.label = "new_file_written_just_now",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = testing::kToldByItsLockAlone,
                       .fresh = true},
        LeftBehindCase{.label = "new_file_a_live_run_holds",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .held = true},
        // A new file's name is not enough: a user's or another program's file of that form is
        // kept, and so is another user's in a sticky folder; one cut before its mark has
        // nothing. Swapped out of the target's place by a run cut short: the file the target's
        // mark names is the old target, removed; another program's save is kept.
        LeftBehindCase{.label = "a_users_file_of_a_new_files_name",
                       .name = ".target.c13.pairset-backup",
                       .contents = LeftBehindCase::kOtherText,
                       .by_marks = true},
        LeftBehindCase{.label = "another_users_marked_file_in_a_sticky_folder",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .maker = LeftBehindCase::kUserInAStickyFolder,
                       .by_marks = true},
        LeftBehindCase{.label = "another_users_new_file",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kEmptyNewFile,
                       .maker = LeftBehindCase::kUserWhoMayNotWrite},
        LeftBehindCase{.label = "new_file_cut_before_its_mark",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kEmptyNewFile,
                       .removed = true,
                       .by_marks = true},
        // Only the file itself proves it a run's: one that another file's mark names (the old
        // target a run cut between its exchange and its check swapped out, or a colleague's
        // forged mark) is kept, and so is a marked one with a second name.
        LeftBehindCase{.label = "old_target_swapped_out_by_a_run_cut_short",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kSwappedOutTarget,
                       .by_marks = true},
        LeftBehindCase{.label = "marked_new_file_with_a_second_name",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .by_marks = true,
                       .form = LeftBehindCase::kWithASecondName},
        // A run as root gives its new file to the target's owner: that one's is root's own.
        LeftBehindCase{.label = "abandoned_new_file_of_another_users_target",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kMarkedNewFile,
                       .removed = true,
                       .maker = LeftBehindCase::kTargetsOwner},
        LeftBehindCase{.label = "another_programs_save_swapped_out_by_a_run_cut_short",
                       .name = kNewFileName,
                       .contents = LeftBehindCase::kSwappedOutSave,
                       .by_marks = true},
        LeftBehindCase{.label = "a_name_only_like_a_new_files",
                       .name = ".target.c13.pairset-Ab12",
                       .contents = LeftBehindCase::kOtherText},
        // One letter more than a new file's name has, though marked: no run made it.
        LeftBehindCase{.label = "a_name_longer_than_a_new_files",
                       .name = ".target.c13.pairset-Ab12Cd7",
                       .contents = LeftBehindCase::kMarkedNewFile}),
    testing::kRowLabel);

}  // namespace
}  // namespace pairset
