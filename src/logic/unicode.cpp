#include "logic/unicode.hpp"

namespace kestrin {

char32_t decode_utf8(const char* p, std::size_t& length) noexcept {
  auto b = [p](int i) { return static_cast<char32_t>(static_cast<unsigned char>(p[i])); };
  char32_t c = b(0);
  if (c < 0x80) {
    length = 1;
    return c;
  }
  if (c < 0xE0) {
    length = 2;
    return ((c & 0x1F) << 6) | (b(1) & 0x3F);
  }
  if (c < 0xF0) {
    length = 3;
    return ((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  }
  length = 4;
  return ((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

std::size_t white_space_at(std::string_view text, std::size_t i) noexcept {
  unsigned char first = static_cast<unsigned char>(text[i]);
  if (first < 0x80) return is_white_space(first) ? 1 : 0;
  // Every White_Space character above ASCII starts with one of these lead bytes.
  if (first != 0xC2 && first != 0xE1 && first != 0xE2 && first != 0xE3) return 0;
  std::size_t length;
  char32_t c = decode_utf8(text.data() + i, length);
  return is_white_space(c) ? length : 0;
}

std::string_view trim_white_space_slowly(std::string_view text) noexcept {
  // An ASCII byte at either end settles that end with one test; only a byte of a longer
  // character needs decoding.
  std::size_t begin = 0;
  while (begin < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[begin]);
    if (c < 0x80) {
      if (!is_white_space(c)) break;
      ++begin;
      continue;
    }
    std::size_t width = white_space_at(text, begin);
    if (width == 0) break;
    begin += width;
  }
  std::size_t end = text.size();
  while (end > begin) {
    unsigned char c = static_cast<unsigned char>(text[end - 1]);
    if (c < 0x80) {
      if (!is_white_space(c)) break;
      --end;
      continue;
    }
    std::size_t lead = end - 1;
    while (lead > begin && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
    if (white_space_at(text, lead) == 0) break;
    end = lead;
  }
  return text.substr(begin, end - begin);
}

TextShape shape_of(std::string_view utf8) noexcept {
  TextShape shape;
  const char* p = utf8.data();
  const char* end = p + utf8.size();
  while (p != end) {
    std::size_t length;
    char32_t c = decode_utf8(p, length);
    if (c > shape.max_char) shape.max_char = c;
    ++shape.length;
    p += length;
  }
  return shape;
}

}  // namespace kestrin
