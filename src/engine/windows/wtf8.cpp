#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

namespace {


// Decodes one generalized UTF-8 sequence at text[i]; surrogates are accepted when
// allow_surrogates. Returns the length consumed (0 when invalid) and the code point.
std::size_t decode_one(std::string_view text, std::size_t i, bool allow_surrogates, std::uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len;
  std::uint32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) return 0;
  if (!allow_surrogates && cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return len;
}

}  // namespace

void append_code_point(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string wtf8_from_utf16le(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = bytes[2 * i] | (static_cast<std::uint32_t>(bytes[2 * i + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const std::uint32_t lo = bytes[2 * i + 2] | (static_cast<std::uint32_t>(bytes[2 * i + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    append_code_point(out, u);
  }
  return out;
}

bool is_valid_utf8(std::string_view text) {
  std::uint32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    const auto n = decode_one(text, i, false, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::uint32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    const auto n = decode_one(text, i, false, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      // A lone surrogate is one 3-byte sequence: replace it as one character.
      std::uint32_t sur;
      const auto m = decode_one(text, i, true, sur);
      i += m == 0 ? 1 : m;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::u16string utf16_from_wtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::uint32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    auto n = decode_one(text, i, true, cp);
    if (n == 0) {
      cp = 0xFFFD;
      n = 1;
    }
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += n;
  }
  return out;
}

}  // namespace kavel_lib::engine::windows
