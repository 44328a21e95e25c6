#include "system/retry.h"

#include <gtest/gtest.h>

namespace pairset::platform {
namespace {

// An attempt is made once more after every pause, and pauses stop once they add up to the
// longest wait: a wait of 0 tries once.
TEST(KeepTrying, TriesUntilAnAnswerOrTheLongestWait) {
  struct Row {
    const char* label;
    int answers_at = 0;  // the attempt that gives true; 0 for none
    int longest;
    Pauses pauses;
    bool answered = false;
    int attempts;
  };
  const Row rows[] = {
      Row{.label = "answered at once",
          .answers_at = 1,
          .longest = 0,
          .pauses = kSteadyPauses,
          .answered = true,
          .attempts = 1},
      Row{.label = "no wait", .longest = 0, .pauses = kSteadyPauses, .attempts = 1},
      Row{.label = "answered after two pauses",
          .answers_at = 3,
          .longest = 100,
          .pauses = kSteadyPauses,
          .answered = true,
          .attempts = 3},
      Row{.label = "steady pauses of 20 ms within 40 ms",
          .longest = 40,
          .pauses = kSteadyPauses,
          .attempts = 3},
      Row{.label = "pauses of 10 and 20 ms within 30 ms",
          .longest = 30,
          .pauses = kGrowingPauses,
          .attempts = 3},
      Row{.label = "pauses of 10, 20, 40 and 80 ms within 150 ms",
          .longest = 150,
          .pauses = kGrowingPauses,
          .attempts = 5},
  };
  for (const Row& row : rows) {
    int attempts = 0;
    const bool answered =
        keep_trying(row.longest, row.pauses, [&] { return ++attempts == row.answers_at; });
    EXPECT_EQ(answered, row.answered) << row.label;
    EXPECT_EQ(attempts, row.attempts) << row.label;
  }
}

}  // namespace
}  // namespace pairset::platform
