#include "service/utf8_text.h"

#include <cstdint>

namespace kavel_lib::service {

namespace {

using Decoded = Utf8Character;

// Decodes one character at the start of `bytes` (not empty). On an ill-formed sequence the
// length is that of its maximal subpart (at least 1), as Unicode's replacement practice asks.
Decoded decode_one(std::string_view bytes) {
  const auto b0 = static_cast<std::uint8_t>(bytes[0]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t need;
  char32_t cp;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1, false};
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= bytes.size()) return {0, i, false};
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    const std::uint8_t low = i == 1 ? lo : 0x80;
    const std::uint8_t high = i == 1 ? hi : 0xBF;
    if (b < low || b > high) return {0, i, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1, true};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The last character of `text` (well-formed, not empty) and its length.
Decoded decode_last(std::string_view text) {
  std::size_t start = text.size() - 1;
  while (start > 0 && text.size() - start < 4 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
  auto d = decode_one(text.substr(start));
  if (!d.ok || d.length != text.size() - start) return {0, 1, false};
  return d;
}

}  // namespace

Utf8Character decode_utf8_character(std::string_view bytes) { return decode_one(bytes); }

std::string_view utf8_prefix(std::string_view text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t taken = 0; taken < count && at < text.size(); ++taken) at += decode_one(text.substr(at)).length;
  return text.substr(0, at);
}

bool is_line_control(char32_t c) {
  const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
  const bool separator = c == 0x2028 || c == 0x2029;
  // Unicode's Bidi_Control set: the Arabic letter mark, the left-to-right and right-to-left
  // marks, the embeddings and overrides, and the isolates.
  const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                    (c >= 0x2066 && c <= 0x2069);
  return control || separator || bidi || c == 0xFEFF;
}

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto d = decode_one(bytes);
    if (!d.ok) return false;
    bytes.remove_prefix(d.length);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto d = decode_one(bytes);
    if (d.ok) out.append(bytes.substr(0, d.length));
    else out += "\xEF\xBF\xBD";
    bytes.remove_prefix(d.length);
  }
  return out;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    const auto d = decode_one(text);
    if (!d.ok || !is_white_space(d.code_point)) break;
    text.remove_prefix(d.length);
  }
  while (!text.empty()) {
    const auto d = decode_last(text);
    if (!d.ok || !is_white_space(d.code_point)) break;
    text.remove_suffix(d.length);
  }
  return text;
}

}  // namespace kavel_lib::service
