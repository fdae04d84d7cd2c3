// Windows path text helpers shared by the scanner: folder containment, the volume-root test,
// joining and splitting components, and the component-wise order of the report.
//
// Paths are Windows paths ("E:\docs\2", "\\?\E:\docs") whatever machine runs the code; both
// '\' and '/' separate components. Texts are WTF-8; where a text is compared, invalid
// sequences are replaced by U+FFFD first.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavel_lib::engine::windows {

// The text trimmed of white space, without a leading "\\?\" or "\??\".
std::string strip_verbatim_prefix(std::string_view text);

// Lower-case (full Unicode mapping), no verbatim prefix, backslashes only, no repeated and no
// trailing backslash: "E:/Docs//A.TXT/" and "e:\docs\a.txt" give the same text.
std::string normalize_path(std::string_view text);

// True when path is the folder itself or lies below it. An existing folder is compared by its
// canonical form; the path, which names a deleted file, is compared as given.
bool path_is_under(std::string_view path, std::string_view folder);

// True for a bare drive ("E:", "e:\", "\\?\E:\").
bool is_volume_root(std::string_view text);

// base joined with one component: "\" stands between them unless base is empty or already
// ends in a separator, so "E:" + "x" is "E:\x" and "E:\" + "x" is "E:\x".
std::string join_path(std::string_view base, std::string_view component);

// The last name of a path ("E:\docs\a.txt" -> "a.txt", "E:\docs\" -> "docs"); nothing for a
// path that is only a prefix or root ("E:", "E:\", "\\server\share") or ends in "..".
std::optional<std::string_view> last_component(std::string_view path);

// The order of the report: component by component (drive prefix, root, then each name as a
// case-sensitive byte string); a path that is a leading part of another sorts first.
// Negative, zero or positive like strcmp.
int compare_path_components(std::string_view a, std::string_view b);

}  // namespace kavel_lib::engine::windows
