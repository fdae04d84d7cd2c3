// The drive letter that a Windows path names ("E:\docs", "\\.\D:"), which decides the volume
// ("\\.\{}:") that the scanner opens.
#pragma once

#include <optional>
#include <string_view>

namespace kavel_lib::datasource::windows {

// The upper-case letter of "X:..." or of the device path "\\.\X:..." (white space around the
// text is ignored); nothing for anything else.
std::optional<char> parse_drive_letter(std::string_view text);

// parse_drive_letter of the path, else of its canonical form as the file system gives it.
// The canonical form carries the verbatim prefix "\\?\", which parse_drive_letter does not
// read, so a path without a letter of its own (a relative path, a UNC path) gives none.
std::optional<char> drive_letter_of_path(std::string_view path);

}  // namespace kavel_lib::datasource::windows
