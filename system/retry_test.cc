#include "system/retry.h"

#include <gtest/gtest.h>

namespace pairset::platform {
namespace {

// An attempt is made once more after every pause, and pauses stop once they add up to the
// longest wait: a wait of 0 tries once.
TEST(KeepTrying, TriesUntilAnAnswerOrTheLongestWait) {
  struct Row {
    const char* label;
    int answers_at;  // the attempt that gives true; 0 for none
    int longest;
    Pauses pauses;
    bool answered;
    int attempts;
  };
  for (const Row& row : {
           Row{"answered at once", 1, 0, kSteadyPauses, true, 1},
           Row{"no wait", 0, 0, kSteadyPauses, false, 1},
           Row{"answered after two pauses", 3, 100, kSteadyPauses, true, 3},
           Row{"steady pauses of 20 ms within 40 ms", 0, 40, kSteadyPauses, false, 3},
           Row{"pauses of 10 and 20 ms within 30 ms", 0, 30, kGrowingPauses, false, 3},
           Row{"pauses of 10, 20, 40 and 80 ms within 150 ms", 0, 150, kGrowingPauses, false, 5},
       }) {
    int attempts = 0;
    const bool answered =
        keep_trying(row.longest, row.pauses, [&] { return ++attempts == row.answers_at; });
    EXPECT_EQ(answered, row.answered) << row.label;
    EXPECT_EQ(attempts, row.attempts) << row.label;
  }
}

}  // namespace
}  // namespace pairset::platform
