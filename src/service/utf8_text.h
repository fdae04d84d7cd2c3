// UTF-8 helpers for texts that come from outside programs, clients and the file system:
// validation, lossy decoding (each ill-formed sequence becomes U+FFFD), trimming of Unicode
// white space, cutting a text after a number of characters, and the characters that must not
// reach a reader as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavel_lib::service {

// One character read from the start of a text.
struct Utf8Character {
  char32_t code_point = 0;
  // Bytes taken; for an ill-formed sequence the length of its maximal subpart (at least 1).
  std::size_t length = 0;
  bool ok = false;
};

// The character at the start of `bytes` (not empty).
Utf8Character decode_utf8_character(std::string_view bytes);

// The first `count` characters of `text` (an ill-formed subpart counts as one), never ending
// inside a sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t count);

// Characters that would end, break, reorder or hide in a line shown to a reader: the C0
// controls, DEL, the C1 controls (U+0080 to U+009F), the line and paragraph separators (U+2028,
// U+2029), every bidirectional control (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to
// U+2069) and the zero-width no-break space U+FEFF.
bool is_line_control(char32_t c);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text: every maximal ill-formed subsequence is replaced with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// `text` (well-formed UTF-8) without the characters of the Unicode White_Space property at
// either end.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace kavel_lib::service
