#include "system/console.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace pairset::console {
namespace {

using testing::PrintTo;

struct WaitCase {
  const char* label;
  ConsoleFacts facts;
  bool waits;
};

class WaitForKeyTest : public ::testing::TestWithParam<WaitCase> {};

// A key is asked for only where a person sees the window and can press one.
TEST_P(WaitForKeyTest, AsksOnlyWhereAPersonCanAnswer) {
  EXPECT_EQ(should_wait_for_key(GetParam().facts), GetParam().waits);
}

// Every fact as a double-click's window has it, less the one the case names.
constexpr ConsoleFacts kDoubleClick{.alone = true,
                                    .input_is_console = true,
                                    .output_is_console = true,
                                    .has_window = true,
                                    .started_hidden = false,
                                    .interactive_station = true,
                                    .started_by_explorer = true};

ConsoleFacts double_click_but(bool ConsoleFacts::*fact, bool value) {
  ConsoleFacts facts = kDoubleClick;
  facts.*fact = value;
  return facts;
}

INSTANTIATE_TEST_SUITE_P(
    Console, WaitForKeyTest,
    ::testing::Values(
        WaitCase{"double_click", kDoubleClick, true},
        WaitCase{"from_cmd_or_a_batch_file", double_click_but(&ConsoleFacts::alone, false), false},
        WaitCase{"input_from_nul", double_click_but(&ConsoleFacts::input_is_console, false), false},
        WaitCase{"output_redirected", double_click_but(&ConsoleFacts::output_is_console, false),
                 false},
        WaitCase{"create_no_window", double_click_but(&ConsoleFacts::has_window, false), false},
        WaitCase{"started_hidden", double_click_but(&ConsoleFacts::started_hidden, true), false},
        WaitCase{"service_or_task", double_click_but(&ConsoleFacts::interactive_station, false),
                 false},
        // A window of its own, shown, on the user's desktop, but opened by another program than
        // Explorer: nobody may be looking at it.
        WaitCase{"start_wait_from_cmd", double_click_but(&ConsoleFacts::started_by_explorer, false),
                 false},
        WaitCase{"start_min_from_a_batch_file",
                 double_click_but(&ConsoleFacts::started_by_explorer, false), false},
        WaitCase{"task_run_only_when_the_user_is_logged_on",
                 double_click_but(&ConsoleFacts::started_by_explorer, false), false},
        WaitCase{"front_end_that_waits_after_shell_execute",
                 double_click_but(&ConsoleFacts::started_by_explorer, false), false},
        // Explorer's, but shared: a console program started from a shortcut that runs a batch
        // file shares the batch file's console.
        WaitCase{"shortcut_to_a_batch_file", double_click_but(&ConsoleFacts::alone, false), false}),
    testing::kRowLabel);

}  // namespace
}  // namespace pairset::console
