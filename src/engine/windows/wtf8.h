// Text of names read from disk. NTFS names are UTF-16 and may hold unpaired surrogates, so
// they are kept as WTF-8: UTF-8 in which a lone surrogate is encoded like any other code
// point. Valid names are plain UTF-8; shown to a user, the rest print lossily (U+FFFD).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kavel_lib::engine::windows {

// Appends one code point in (generalised) UTF-8; a surrogate is encoded like any other value.
void append_code_point(std::string& out, std::uint32_t cp);

// Decodes little-endian UTF-16 code units (an odd trailing byte is ignored).
std::string wtf8_from_utf16le(std::span<const std::uint8_t> bytes);

// Whether the text is valid UTF-8 (no surrogates, no overlong forms).
bool is_valid_utf8(std::string_view text);

// The text with every invalid sequence (a lone surrogate included) replaced by U+FFFD.
std::string lossy_utf8(std::string_view text);

// Little-endian UTF-16 code units of a WTF-8 text (invalid bytes become U+FFFD).
std::u16string utf16_from_wtf8(std::string_view text);

}  // namespace kavel_lib::engine::windows
