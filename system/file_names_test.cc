#include "system/file_names.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace pairset::platform {
namespace {

// A run finds what an earlier one left only by these names, so each is made and recognised by
// the same rule, in bytes and in wide characters alike.
template <class Char>
void names_are_made_and_recognised() {
  using String = std::basic_string<Char>;
  using View = std::basic_string_view<Char>;
  const String target = spelled<Char>("target.c13");
  const String prefix = new_file_prefix<Char>(target, 200);
  EXPECT_EQ(prefix, spelled<Char>(".target.c13.pairset-"));
  // Cut to fit: only the first characters of a long name are kept.
  EXPECT_EQ(new_file_prefix<Char>(target, 3), spelled<Char>(".tar.pairset-"));

  const String made = new_file_name(prefix);
  EXPECT_EQ(made.size(), prefix.size() + kNewFileLetters);
  EXPECT_TRUE(is_new_file_name<Char>(made, prefix));
  struct Row {
    const char* entry;
    bool recognised;
  };
  for (const Row& row : {Row{".target.c13.pairset-Ab12Cd", true},
                         Row{".target.c13.pairset-Ab12C", false},    // a letter short
                         Row{".target.c13.pairset-Ab12Cde", false},  // a letter more
                         Row{".other.c13.pairset-Ab12Cd", false},    // another target's
                         Row{"target.c13.pairset-undo", false}}) {   // an undo copy
    EXPECT_EQ(is_new_file_name<Char>(spelled<Char>(row.entry), View(prefix)), row.recognised)
        << row.entry;
  }

  EXPECT_EQ(undo_copy_name<Char>(target), spelled<Char>("target.c13.pairset-undo"));
  EXPECT_EQ(state_copy_name<Char>({.file_system = 2049, .inode = 131}),
            spelled<Char>("2049-131.pairset-undo"));
  EXPECT_EQ(stale_copy_name<Char>(undo_copy_name<Char>(target)),
            spelled<Char>("target.c13.pairset-stale"));
  EXPECT_EQ(stale_copy_name<Char>(spelled<Char>("2049-131.pairset-undo")),
            spelled<Char>("2049-131.pairset-stale"));
}

TEST(FileNames, AreMadeAndRecognisedInBytes) {
  names_are_made_and_recognised<char>();
}

TEST(FileNames, AreMadeAndRecognisedInWideCharacters) {
  names_are_made_and_recognised<wchar_t>();
}

}  // namespace
}  // namespace pairset::platform
