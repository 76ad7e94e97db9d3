#pragma once
// What the logic needs of Unicode: the White_Space property that term trimming uses, and the
// shape of a UTF-8 text (code points and the largest one) that a Python str is sized from.
// Texts come from the interpreter's UTF-8 encoder, so they are always well formed.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrin {

// Exactly the Unicode White_Space characters. Not the C library's isspace and not Python's
// str.isspace: U+001C..U+001F and U+200B are ordinary name characters here.
constexpr bool is_white_space(char32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the character starting at `p`; `length` receives its byte count.
char32_t decode_utf8(const char* p, std::size_t& length) noexcept;

// The width of the White_Space character starting at text[i], or 0 when there is none.
std::size_t white_space_at(std::string_view text, std::size_t i) noexcept;

// The trimming of trim_white_space, for texts that may need it.
std::string_view trim_white_space_slowly(std::string_view text) noexcept;

// `text` without the White_Space at its ends. Most names are settled by their two end bytes:
// every ASCII White_Space character is at most U+0020, and no byte of 0x21 to 0x7F is part of
// a longer character, so a text that begins and ends with one has nothing to trim.
inline std::string_view trim_white_space(std::string_view text) noexcept {
  if (!text.empty()) {
    auto first = static_cast<unsigned char>(text.front());
    auto last = static_cast<unsigned char>(text.back());
    if (first - 0x21u < 0x5Fu && last - 0x21u < 0x5Fu) return text;
  }
  return trim_white_space_slowly(text);
}

struct TextShape {
  std::size_t length = 0;  // in code points
  char32_t max_char = 0;
};

TextShape shape_of(std::string_view utf8) noexcept;

}  // namespace kestrin
