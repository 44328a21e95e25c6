// Sources larger than 32-bit counts convert exactly.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/cp866.h"
#include "tests/test_support.h"

namespace pairset {
namespace {

using testing::cn1_file;
using testing::name_field;
using testing::reads_zeros;
using testing::run_in_process;
using testing::TempDir;
using testing::write_sparse_file;

TEST(LargeSource, OverTwoGibibytesConvertsExactly) {
  TempDir dir;
  const std::uint64_t size = (std::uint64_t{1} << 31) + 4097;  // past every 32-bit signed count
  const std::string head = cn1_file("HUGE", "first line\r\n");
  const std::string tail = "\r\nlast line\x1A";
  write_sparse_file(dir.path("in.cn1"), head, tail, size);
  testing::write_file(dir.path("out.cn1"), cn1_file("X", "output body"));

  ASSERT_EQ(run_in_process({dir.path("in.cn1"), dir.path("out.cn1"), dir.path("target.c13")}),
            cp866::bytes<u8"\nPAIRSET завешилась успешно.\n\n">());

  const std::string expected_head =
      testing::bytes("DNC-terminal ucpu settings file (one) v1.3\0") + head.substr(43);
  const std::string expected_tail = tail + name_field("HUGE") + "output body";
  const std::uint64_t target_size = 75 + (size - 59) + 11;
  ASSERT_EQ(std::filesystem::file_size(dir.path("target.c13")), target_size);
  std::ifstream target(dir.path("target.c13"), std::ios::binary);
  std::string got_head(expected_head.size(), '\0');
  target.read(got_head.data(), static_cast<std::streamsize>(got_head.size()));
  EXPECT_EQ(got_head, expected_head);
  EXPECT_TRUE(reads_zeros(target, target_size - expected_head.size() - expected_tail.size()));
  std::string got_tail(expected_tail.size(), '\0');
  target.read(got_tail.data(), static_cast<std::streamsize>(got_tail.size()));
  EXPECT_EQ(got_tail, expected_tail);
}

}  // namespace
}  // namespace pairset
