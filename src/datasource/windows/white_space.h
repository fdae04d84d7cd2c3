// Unicode White_Space trimming of UTF-8 text (paths typed by a user may carry blanks).
#pragma once

#include <string_view>

namespace kavel_lib::datasource::windows {

// The text without the White_Space characters at both ends.
std::string_view trim_white_space(std::string_view text);

}  // namespace kavel_lib::datasource::windows
