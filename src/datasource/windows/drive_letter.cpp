#include "datasource/windows/drive_letter.h"

#include "datasource/windows/white_space.h"
#include "platform/volume_paths.h"

namespace kavel_lib::datasource::windows {
namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::optional<char> parse_drive_letter(std::string_view text) {
  const std::string_view t = trim_white_space(text);
  if (t.size() >= 4 && t.starts_with("\\\\.\\")) {
    if (t.size() == 4) return std::nullopt;
    // The character after the prefix is a letter only when it is a single ASCII byte.
    if (t.size() >= 6 && t[5] == ':' && is_ascii_letter(t[4])) return upper(t[4]);
  }
  if (t.size() >= 2 && is_ascii_letter(t[0]) && t[1] == ':') return upper(t[0]);
  return std::nullopt;
}

std::optional<char> drive_letter_of_path(std::string_view path) {
  if (auto letter = parse_drive_letter(path)) return letter;
  auto canonical = platform::volume_paths::canonicalize(path);
  if (!canonical) return std::nullopt;
  return parse_drive_letter(*canonical);
}

}  // namespace kavel_lib::datasource::windows
