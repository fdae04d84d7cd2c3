// The raw device path of a drive letter, as the exporters open their volumes.
#pragma once

#include <string>

namespace kavel_lib::engine::windows {

// "\\.\X:" with the letter in place of X: a lower-case a-z is made upper case, any other
// character is used unchanged (written as UTF-8).
std::string drive_device_path(char32_t letter);

}  // namespace kavel_lib::engine::windows
