// Turns UTF-8 text into bytes of code page 866 (IBM866, the DOS Cyrillic code page), so the
// console messages can stay readable in the source and still reach the console as CP866.
#ifndef PAIRSET_APP_CP866_H_
#define PAIRSET_APP_CP866_H_

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace pairset::cp866 {

// Gives the CP866 byte for a code point: ASCII and the Russian alphabet; nothing for the rest.
constexpr std::optional<unsigned char> byte_for(char32_t code_point) {
  if (code_point < 0x80) return static_cast<unsigned char>(code_point);
  if (code_point >= U'А' && code_point <= U'п')
    return static_cast<unsigned char>(code_point - 0x390);
  if (code_point >= U'р' && code_point <= U'я')
    return static_cast<unsigned char>(code_point - 0x360);
  if (code_point == U'Ё') return 0xF0;
  if (code_point == U'ё') return 0xF1;
  return std::nullopt;
}

// Gives the number of CP866 bytes of `text`, writing them to `out` when it is given; nothing
// when `text` is not well-formed UTF-8 or holds a character that CP866 (as above) lacks.
constexpr std::optional<std::size_t> encode(std::u8string_view text, char* out = nullptr) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t code_point = 0;
    if (lead < 0x80) {
      length = 1;
      code_point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code_point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code_point = lead & 0x0F;
    } else {
      return std::nullopt;  // a stray continuation byte, or a code point CP866 cannot hold
    }
    if (text.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    // Overlong forms would smuggle ASCII bytes in under another spelling.
    if ((length == 2 && code_point < 0x80) || (length == 3 && code_point < 0x800)) {
      return std::nullopt;
    }
    const auto byte = byte_for(code_point);
    if (!byte) return std::nullopt;
    if (out != nullptr) out[written] = static_cast<char>(*byte);
    ++written;
    i += length;
  }
  return written;
}

// A UTF-8 string literal that can be passed as a template argument.
template <std::size_t N>
struct Utf8Literal {
  char8_t units[N]{};
  // Implicit on purpose: a literal converts as it is written, bytes<u8"...">().
  consteval Utf8Literal(const char8_t (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) units[i] = text[i];
  }
  constexpr std::u8string_view view() const { return {units, N - 1}; }
};

// Gives the CP866 byte count of a literal; a text that does not convert stops the build here.
template <Utf8Literal text>
consteval std::size_t encoded_size() {
  const auto size = encode(text.view());
  if (!size) throw "text is not UTF-8 that code page 866 can hold";
  return *size;
}

// The CP866 bytes of a literal, made once by the compiler.
template <Utf8Literal text>
inline constexpr auto kEncoded = [] {
  std::array<char, encoded_size<text>()> bytes{};
  encode(text.view(), bytes.data());
  return bytes;
}();

// Gives the CP866 bytes of a UTF-8 literal, converted at compile time.
template <Utf8Literal text>
consteval std::string_view bytes() {
  return {kEncoded<text>.data(), kEncoded<text>.size()};
}

}  // namespace pairset::cp866

#endif  // PAIRSET_APP_CP866_H_
