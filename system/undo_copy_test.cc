#include "system/undo_copy.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace pairset {
namespace {

// The header read back gives what was written, for names a file system allows (a colon and a
// line break among them), and its length is where the old contents start.
TEST(UndoHeader, ReadsBackWhatWasWritten) {
  for (const std::string& name : {std::string("t.c13"), std::string(), std::string("a:b\nc.c13"),
                                  std::string("\xd0\x9a\xff")}) {
    const UndoHeader written{{12, 34}, 56, name};
    const std::string header = encode_undo_header(written);
    const std::optional<ParsedUndoHeader> parsed = parse_undo_header(header + "old contents");
    ASSERT_TRUE(parsed) << name;
    EXPECT_EQ(parsed->header.target, written.target);
    EXPECT_EQ(parsed->header.size, 56U);
    EXPECT_EQ(parsed->header.name, name);
    EXPECT_EQ(parsed->length, header.size());
  }
}

// A header cut short anywhere, or changed in any field, is no header: such a copy is never put
// back.
TEST(UndoHeader, CutOrChangedIsNone) {
  const std::string header = encode_undo_header({{1, 2}, 3, "t.c13"});
  for (std::size_t size = 0; size < header.size(); ++size) {
    EXPECT_FALSE(parse_undo_header(header.substr(0, size))) << size;
    EXPECT_TRUE(starts_like_undo_copy(header.substr(0, size))) << size;
  }
  for (const auto& [from, to] : {std::pair{"device 1", "device x"},
                                 {"inode 2", "inode -2"},
                                 {"size 3", "size 3x"},
                                 {"name 5:", "name 9:"},
                                 {"pairset undo copy 1", "pairset undo copy 2"}}) {
    std::string changed = header;
    changed.replace(changed.find(from), std::string_view(from).size(), to);
    EXPECT_FALSE(parse_undo_header(changed + "old contents")) << to;
  }
  EXPECT_FALSE(starts_like_undo_copy("my own notes"));
}

}  // namespace
}  // namespace pairset
