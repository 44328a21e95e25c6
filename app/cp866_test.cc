#include "app/cp866.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "tests/test_support.h"

namespace pairset::cp866 {
namespace {

// Gives the CP866 bytes of `text`, or nothing when it does not convert.
std::optional<std::string> convert(std::u8string_view text) {
  const auto size = encode(text);
  if (!size) return std::nullopt;
  std::string out(*size, '\0');
  encode(text, out.data());
  return out;
}

struct EncodeCase {
  const char8_t* text;
  std::optional<std::string> expected;
};

// Names a row by its text's bytes in hex: the same in every build, unlike the struct's raw bytes.
void PrintTo(const EncodeCase& row, std::ostream* out) {
  constexpr std::string_view kDigits = "0123456789ABCDEF";
  if (*row.text == u8'\0') *out << "empty";
  for (const char8_t* at = row.text; *at != u8'\0'; ++at) {
    *out << kDigits[static_cast<unsigned char>(*at) >> 4] << kDigits[*at & 0xF];
  }
}

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, GivesTheCodePageBytesOrRefuses) {
  EXPECT_EQ(convert(GetParam().text), GetParam().expected);
}

// The edges of each run of the Russian alphabet, where an off-by-one would show.
INSTANTIATE_TEST_SUITE_P(Letters, EncodeTest,
                         ::testing::Values(EncodeCase{u8"", ""},
                                           EncodeCase{u8"PAIRSET /N 'a'\n", "PAIRSET /N 'a'\n"},
                                           EncodeCase{u8"А", "\x80"}, EncodeCase{u8"Я", "\x9F"},
                                           EncodeCase{u8"а", "\xA0"}, EncodeCase{u8"п", "\xAF"},
                                           EncodeCase{u8"р", "\xE0"}, EncodeCase{u8"я", "\xEF"},
                                           EncodeCase{u8"Ё", "\xF0"}, EncodeCase{u8"ё", "\xF1"},
                                           EncodeCase{u8"УЧПУ", "\x93\x97\x8F\x93"}));

// Text the console could not show must stop the build, not reach the console garbled.
INSTANTIATE_TEST_SUITE_P(
    Refused, EncodeTest,
    ::testing::Values(EncodeCase{u8"é", std::nullopt}, EncodeCase{u8"€", std::nullopt},
                      EncodeCase{u8"😀", std::nullopt},
                      EncodeCase{reinterpret_cast<const char8_t*>("\xD0"), std::nullopt},
                      EncodeCase{reinterpret_cast<const char8_t*>("\x80"), std::nullopt},
                      EncodeCase{reinterpret_cast<const char8_t*>("\xC1\x81"), std::nullopt},
                      EncodeCase{reinterpret_cast<const char8_t*>("\xD0\x41"), std::nullopt}));

TEST(Cp866Bytes, ConvertAtCompileTime) {
  constexpr std::string_view converted = bytes<u8"Файл">();
  static_assert(converted == "\x94\xA0\xA9\xAB");
  EXPECT_EQ(converted, "\x94\xA0\xA9\xAB");
}

// The system's own converter (iconv, WideCharToMultiByte) agrees on every character.
TEST(Cp866Bytes, AgreeWithTheSystemsConverterOnTheWholeAlphabet) {
  const std::u8string_view alphabet =
      u8"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя"
      u8" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
      u8"abcdefghijklmnopqrstuvwxyz{|}~\n";
  EXPECT_EQ(convert(alphabet), testing::system_cp866(alphabet));
}

}  // namespace
}  // namespace pairset::cp866
