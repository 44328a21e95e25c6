#include "system/undo_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/fingerprint.h"
#include "system/in_place.h"
#include "system/io.h"
#include "system/recovery.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

// The header read back gives what was written, for names a file system allows (a colon and a
// line break among them), and its length is where the old contents start.
TEST(UndoHeader, ReadsBackWhatWasWritten) {
  for (const std::string& name : {std::string("t.c13"), std::string(), std::string("a:b\nc.c13"),
                                  std::string("\xd0\x9a\xff")}) {
    const UndoHeader written{{12, 34, 78, 90}, 56, 1000, name};
    const std::string header = encode_undo_header(written);
    const std::optional<ParsedUndoHeader> parsed = parse_undo_header(header + "old contents");
    ASSERT_TRUE(parsed) << name;
    EXPECT_EQ(parsed->header.target, written.target);
    EXPECT_EQ(parsed->header.size, 56U);
    EXPECT_EQ(parsed->header.result, 1000U);
    EXPECT_EQ(parsed->header.name, name);
    EXPECT_EQ(parsed->length, header.size());
  }
}

// The layout the guide gives for taking the old contents out of a set-aside copy by hand: three
// lines, the third with "size N", then the N old bytes.
TEST(UndoHeader, KeepsTheOldContentsWhereTheGuideSaysTheyAre) {
  const std::string old_contents = std::string("DNC\0\n\r\n", 7) + std::string(300, '\xff');
  const std::string name = reinterpret_cast<const char*>(u8"16К20.c13");
  const std::string copy =
      testing::undo_copy_file({12, 34, 78, 90}, name, old_contents, std::string(700, 'r'));
  std::size_t third_line_end = 0;
  for (int line = 0; line < 3; ++line) third_line_end = copy.find('\n', third_line_end) + 1;
  const std::string third_line = copy.substr(0, third_line_end);
  EXPECT_NE(third_line.find(" size 307 result 700 name 10:" + name + "\n"), std::string::npos)
      << third_line;
  EXPECT_EQ(copy.substr(third_line_end, old_contents.size()), old_contents);
}

// A sector's fingerprint changes with any byte of it, and gathered from pieces of any size it is
// the same as of the whole sector.
TEST(SectorFingerprints, TellEveryChangeAndIgnoreHowTheBytesCame) {
  std::string bytes(1300, 'r');
  SectorFingerprints whole;
  whole.add(bytes);
  const std::vector<std::uint64_t> prints = whole.finish();
  ASSERT_EQ(prints.size(), 3U);
  EXPECT_EQ(prints[0], sector_fingerprint({bytes.data(), 512}));
  EXPECT_EQ(prints[2], sector_fingerprint({bytes.data() + 1024, 276}));
  SectorFingerprints pieces;
  for (std::size_t at = 0; at < bytes.size(); at += 7) {
    pieces.add(std::string_view(bytes).substr(at, 7));
  }
  EXPECT_EQ(pieces.finish(), prints);
  for (const std::size_t changed : {std::size_t{0}, std::size_t{7}, std::size_t{511}}) {
    std::string other = bytes.substr(0, 512);
    other[changed] = 's';
    EXPECT_NE(sector_fingerprint(other), prints[0]) << changed;
  }
  EXPECT_NE(sector_fingerprint({bytes.data(), 511}), prints[0]);
}

// A header cut short anywhere, or changed in any field, is no header: such a copy is never put
// back.
TEST(UndoHeader, CutOrChangedIsNone) {
  const std::string header = encode_undo_header({{1, 2, 4, 5}, 3, 6, "t.c13"});
  for (std::size_t size = 0; size < header.size(); ++size) {
    EXPECT_FALSE(parse_undo_header(header.substr(0, size))) << size;
    EXPECT_TRUE(starts_like_undo_copy(header.substr(0, size))) << size;
  }
  for (const auto& [from, to] : {std::pair{"file-system 1", "file-system x"},
                                 {"inode 2", "inode -2"},
                                 {"generation 4", "generation 4.0"},
                                 {"birth 5", "birthday 5"},
                                 {"size 3", "size 3x"},
                                 {"result 6", "result"},
                                 {"name 5:", "name 9:"},
                                 {"pairset undo copy 3", "pairset undo copy 2"}}) {
    std::string changed = header;
    changed.replace(changed.find(from), std::string_view(from).size(), to);
    EXPECT_FALSE(parse_undo_header(changed + "old contents")) << to;
  }
  EXPECT_FALSE(starts_like_undo_copy("my own notes"));
}

// A copy names the target only where its name and number do, and its generation and birth
// where both are known; the file system's identity counts in the state folder, where a copy of
// any file may stand, but not beside the target, whose device may come back under another number.
TEST(UndoHeader, NamesTheTargetByNameNumberGenerationAndBirth) {
  const platform::FileOrigin target{7, 100, 5, 9};
  struct Row {
    const char* label;
    platform::FileOrigin recorded;
    std::string_view name;
    bool beside;
    bool names_it;
  };
  for (const Row& row : {
           Row{"the same", {7, 100, 5, 9}, "t.c13", false, true},
           Row{"another name", {7, 100, 5, 9}, "u.c13", true, false},
           Row{"another number", {7, 101, 5, 9}, "t.c13", true, false},
           Row{"another generation", {7, 100, 6, 9}, "t.c13", true, false},
           Row{"no generation kept", {7, 100, 0, 9}, "t.c13", true, true},
           Row{"born at another time", {7, 100, 5, 8}, "t.c13", true, false},
           Row{"no birth kept", {7, 100, 5, 0}, "t.c13", true, true},
           Row{"another file system, beside", {8, 100, 5, 9}, "t.c13", true, true},
           Row{"another file system, in the state folder", {8, 100, 5, 9}, "t.c13", false, false},
       }) {
    EXPECT_EQ(
        names_the_target({row.recorded, 1, 1, std::string(row.name)}, target, "t.c13", row.beside),
        row.names_it)
        << row.label;
  }
}

// A copy that a run made unusable before it removed it, and that a power cut then brought back (a
// removal not yet on the disk: Windows flushes no folder), is removed by the next run, which never
// puts the old contents back over the result.
TEST(UndoCopy, ComesBackUnusableWhereItsRemovalIsLost) {
  testing::TempDir dir;
  const std::string path = dir.path("target.c13");
  const std::string copy_path = dir.path("target.c13.pairset-undo");
  testing::write_file(path, "previous");
  {
    platform::Target target = platform::open_target(path.c_str());
    ASSERT_EQ(target.kind, platform::TargetKind::kRegular);
    platform::Descriptor file(platform::open_for_update(target));
    ASSERT_TRUE(file.is_open());
    const std::optional<platform::FileOrigin> origin = platform::origin_of(file.get());
    ASSERT_TRUE(origin);
    KeptContents kept;
    const std::string result = "the result";
    const OutputPiece pieces[] = {OutputPiece{result}};
    ASSERT_EQ(keep_old_contents(target, file.get(), 8, *origin, pieces, kept).failure,
              Failure::kNone);
    ASSERT_TRUE(platform::write_at(file.get(), 0, result));
    ASSERT_TRUE(platform::truncate(file.get(), result.size()));
    ASSERT_TRUE(platform::flush_to_disk(file.get()));
    // A second name keeps the copy's file as the removal leaves it on the disk.
    std::filesystem::create_hard_link(copy_path, dir.path("kept"));
    ASSERT_TRUE(discard_undo_copy(kept.copy));
    EXPECT_FALSE(std::filesystem::exists(copy_path));
  }
  std::filesystem::rename(dir.path("kept"), copy_path);
  platform::Target target = platform::look_up_target(path.c_str());

  EXPECT_EQ(restore_interrupted(target, {}), Failure::kNone);

  EXPECT_EQ(testing::read_file(path), "the result");
  EXPECT_FALSE(std::filesystem::exists(copy_path));
}

// A power cut while a file is written in place leaves each of its sectors old or new, in any
// order the disk wrote them back, at the length the run had given the file then (lengthened to
// the result first where it is longer, cut to it once all of it is written). Every such state is
// put back to the old contents, but for the whole result at its length, which is kept; also for
// a target that the next run reads as its source.
TEST(UndoCopy, PutsBackEveryStateAPowerCutCanLeave) {
  for (const auto& [old_size, result_size] : {std::pair{1280, 1800}, std::pair{1800, 1280}}) {
    const std::string old_contents(old_size, 'o');
    std::string result(result_size, 'r');
    result[700] = 'x';  // a sector unlike the others
    std::string old_padded = old_contents;
    old_padded.resize(std::max(old_size, result_size), '\0');
    std::vector<std::string> states = {result};
    for (std::uint32_t mask = 0; mask < (1U << sectors_of(old_padded.size())); ++mask) {
      std::string& now = states.emplace_back(old_padded);
      for (std::size_t at = 0; at < result.size(); at += kSectorSize) {
        if ((mask & (1U << (at / kSectorSize))) != 0) {
          const std::size_t count = std::min(kSectorSize, result.size() - at);
          now.replace(at, count, result, at, count);
        }
      }
    }
    for (std::size_t row = 0; row < 2 * states.size(); ++row) {
      const std::string& now = states[row / 2];
      const bool as_a_source = row % 2 == 1;
      testing::TempDir dir;
      const std::string path = dir.path("target.c13");
      testing::write_file(path, old_contents);
      {
        platform::Target target = platform::open_target(path.c_str());
        platform::Descriptor file(platform::open_for_update(target));
        const std::optional<platform::FileOrigin> origin = platform::origin_of(file.get());
        ASSERT_TRUE(origin);
        KeptContents kept;
        const OutputPiece pieces[] = {OutputPiece{result}};
        ASSERT_EQ(keep_old_contents(target, file.get(), old_size, *origin, pieces, kept).failure,
                  Failure::kNone);
        // Cut here: the copy stays, and the target is as the disk left it.
        ASSERT_TRUE(platform::write_at(file.get(), 0, now));
        ASSERT_TRUE(platform::truncate(file.get(), now.size()));
      }
      platform::Target target = platform::look_up_target(path.c_str());

      const char* const source = path.c_str();
      EXPECT_EQ(restore_interrupted(target, {&source, as_a_source ? 1U : 0U}), Failure::kNone)
          << old_size << " " << row;

      EXPECT_EQ(testing::read_file(path), now == result ? result : old_contents)
          << old_size << " " << row;
      EXPECT_FALSE(std::filesystem::exists(dir.path("target.c13.pairset-undo")));
    }
  }
}

}  // namespace
}  // namespace pairset
