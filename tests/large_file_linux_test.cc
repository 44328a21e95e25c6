// Sources larger than the memory the process may have, under the shell's address-space limit.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/cp866.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::cn1_file;
using testing::console;
using testing::name_field;
using testing::reads_zeros;
using testing::run_command;
using testing::TempDir;
using testing::write_sparse_file;

// Sources larger than the memory the process may have convert: a body goes from its file to the
// target, and old contents to the undo copy, through the kernel or a small buffer. A stream that
// tells no size is kept whole, so one that does not fit gives the out-of-memory message, the
// target untouched.
TEST(LargeSource, BeyondTheMemoryLimitConvertsUnlessItIsAStream) {
#ifdef PAIRSET_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit allows";
#else
  enum class Large { kSource, kTarget, kStream };
  for (const Large large : {Large::kSource, Large::kTarget, Large::kStream}) {
    TempDir dir;
    const std::string input = dir.path("in.cn1");
    const std::string target = dir.path("target.c13");
    const std::uint64_t size = std::uint64_t{512} << 20;
    write_sparse_file(input, cn1_file("BIG", ""), "end", large == Large::kTarget ? 62 : size);
    testing::write_file(dir.path("out.cn1"), cn1_file("X", ""));
    if (large == Large::kTarget) {
      // A second name, so that it is written in place.
      write_sparse_file(target, "previous", "end", size);
      std::filesystem::create_hard_link(target, dir.path("second-name"));
    } else {
      testing::write_file(target, "previous");
    }

    // 256 MiB of address space: ample for the program, too little for the large file.
    const std::string run = testing::pairset_command(testing::quoted(
        {large == Large::kStream ? "/dev/stdin" : input, dir.path("out.cn1"), target}));
    const testing::Outcome outcome = run_command(
        "ulimit -v 262144; " +
            (large == Large::kStream ? "exec <\"" + input + "\" cat | " + run : "exec " + run),
        dir);

    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    std::vector<std::string> names{"in.cn1", "out.cn1", "stderr.txt", "target.c13"};
    if (large == Large::kStream) {
      EXPECT_EQ(outcome.out,
                console(std::string(cp866::bytes<u8"\nНе хватает памяти для файла '">()) +
                        "/dev/stdin'\n"));
      EXPECT_EQ(testing::read_file(target), "previous");
      EXPECT_EQ(testing::file_names(dir), names);
      continue;
    }
    EXPECT_EQ(outcome.out,
              console(std::string(cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">())));
    if (large == Large::kTarget) {
      EXPECT_EQ(testing::read_file(target), testing::c13_file(name_field("BIG"), "end", ""));
      names.insert(names.begin() + 2, "second-name");
      EXPECT_EQ(testing::file_names(dir), names);
      continue;
    }
    // The input's body whole: a hole, then "end"; the output's name and empty body after it.
    const std::uint64_t target_size = 75 + (size - 59);
    ASSERT_EQ(std::filesystem::file_size(target), target_size);
    std::ifstream written(target, std::ios::binary);
    std::string head(59, '\0');
    written.read(head.data(), 59);
    EXPECT_EQ(head,
              testing::bytes("DNC-terminal ucpu settings file (one) v1.3\0") + name_field("BIG"));
    EXPECT_TRUE(reads_zeros(written, target_size - 59 - 19));
    std::string tail(19, '\0');
    written.read(tail.data(), 19);
    EXPECT_EQ(tail, "end" + name_field("BIG"));
    EXPECT_EQ(testing::file_names(dir), names);
  }
#endif
}

}  // namespace
}  // namespace pairset
