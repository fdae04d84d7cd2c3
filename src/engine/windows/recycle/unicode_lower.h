// Full Unicode lower-casing (the special mappings such as U+0130 and the final-sigma rule
// included), as Windows paths are compared without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace kavel_lib::engine::windows {

// The lower-case form of UTF-8 text. Invalid sequences become U+FFFD first.
std::string unicode_lower(std::string_view text);

}  // namespace kavel_lib::engine::windows
