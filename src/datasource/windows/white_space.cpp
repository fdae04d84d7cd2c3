#include "datasource/windows/white_space.h"

#include <array>
#include <cstdint>

namespace kavel_lib::datasource::windows {
namespace {

// The code points with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680) return true;
  if (c >= 0x2000 && c <= 0x200A) return true;
  return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the well-formed UTF-8 sequence starting at i; returns its length, 0 when invalid.
std::size_t decode_at(std::string_view s, std::size_t i, char32_t& out) {
  const auto b0 = static_cast<std::uint8_t>(s[i]);
  std::size_t len = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<std::uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  out = c;
  return len;
}

// Start of the code point that ends just before `end` (UTF-8 continuation bytes skipped).
std::size_t start_before(std::string_view s, std::size_t end) {
  std::size_t i = end - 1;
  while (i > 0 && end - i < 4 && (static_cast<std::uint8_t>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c = 0;
    const std::size_t len = decode_at(text, begin, c);
    if (len == 0 || !is_white_space(c)) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = start_before(text, end);
    char32_t c = 0;
    const std::size_t len = decode_at(text, start, c);
    if (len == 0 || start + len != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kavel_lib::datasource::windows
