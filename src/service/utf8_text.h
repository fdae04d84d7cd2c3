// UTF-8 helpers for texts that come from outside programs and the file system: validation,
// lossy decoding (each ill-formed sequence becomes U+FFFD) and trimming of Unicode white space.
#pragma once

#include <string>
#include <string_view>

namespace kavel_lib::service {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text: every maximal ill-formed subsequence is replaced with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// `text` (well-formed UTF-8) without the characters of the Unicode White_Space property at
// either end.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace kavel_lib::service
