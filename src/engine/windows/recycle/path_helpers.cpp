#include "engine/windows/recycle/path_helpers.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "datasource/windows/white_space.h"
#include "engine/windows/recycle/unicode_lower.h"
#include "engine/windows/wtf8.h"
#include "platform/volume_paths.h"

namespace kavel_lib::engine::windows {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string as_valid(std::string_view text) { return is_valid_utf8(text) ? std::string(text) : lossy_utf8(text); }

// A path split into its prefix (drive "E:", UNC "\\server\share", verbatim or device forms),
// whether a root separator follows it, and its names ("." left out).
struct SplitPath {
  std::string prefix;
  int prefix_kind = 0;  // 0 none, 1 drive, 2 UNC, 3 verbatim/device
  bool has_root = false;
  std::vector<std::string_view> names;
};

// Length of a server\share (or one more component) part starting at pos: up to and
// excluding the separator after the second component.
std::size_t two_components(std::string_view s, std::size_t pos) {
  std::size_t end = pos;
  for (int k = 0; k < 2 && end <= s.size(); ++k) {
    while (end < s.size() && !is_separator(s[end])) ++end;
    if (k == 0 && end < s.size()) ++end;
  }
  return std::min(end, s.size());
}

SplitPath split_path(std::string_view s) {
  SplitPath out;
  std::size_t pos = 0;
  if (s.size() >= 4 && is_separator(s[0]) && is_separator(s[1]) && (s[2] == '?' || s[2] == '.') &&
      is_separator(s[3])) {
    // \\?\X:, \\?\UNC\server\share, \\.\device
    out.prefix_kind = 3;
    std::size_t end = 4;
    if (s.size() >= 6 && s[2] == '?' && is_ascii_letter(s[4]) && s[5] == ':') {
      end = 6;
    } else if (s.size() >= 8 && s[2] == '?' && s.substr(4, 3) == "UNC" && is_separator(s[7])) {
      end = two_components(s, 8);
    } else {
      while (end < s.size() && !is_separator(s[end])) ++end;
    }
    out.prefix = std::string(s.substr(0, end));
    pos = end;
  } else if (s.size() >= 2 && is_separator(s[0]) && is_separator(s[1])) {
    out.prefix_kind = 2;
    const std::size_t end = two_components(s, 2);
    out.prefix = std::string(s.substr(0, end));
    pos = end;
  } else if (s.size() >= 2 && is_ascii_letter(s[0]) && s[1] == ':') {
    out.prefix_kind = 1;
    out.prefix = std::string(s.substr(0, 2));
    out.prefix[0] = static_cast<char>(out.prefix[0] >= 'a' ? out.prefix[0] - 'a' + 'A' : out.prefix[0]);
    pos = 2;
  }
  if (pos < s.size() && is_separator(s[pos])) out.has_root = true;
  // A UNC or verbatim prefix always has a root after it.
  if (out.prefix_kind >= 2) out.has_root = true;
  while (pos < s.size()) {
    while (pos < s.size() && is_separator(s[pos])) ++pos;
    std::size_t end = pos;
    while (end < s.size() && !is_separator(s[end])) ++end;
    if (end > pos) {
      const std::string_view name = s.substr(pos, end - pos);
      if (name != ".") out.names.push_back(name);
    }
    pos = end;
  }
  return out;
}

int compare_bytes(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

std::string strip_verbatim_prefix(std::string_view text) {
  std::string_view t = datasource::windows::trim_white_space(text);
  if (t.size() >= 4 && (t.starts_with("\\\\?\\") || t.starts_with("\\??\\"))) t.remove_prefix(4);
  return std::string(t);
}

std::string normalize_path(std::string_view text) {
  std::string s = strip_verbatim_prefix(text);
  std::replace(s.begin(), s.end(), '/', '\\');
  std::string collapsed;
  collapsed.reserve(s.size());
  for (char c : s) {
    if (c == '\\' && !collapsed.empty() && collapsed.back() == '\\') continue;
    collapsed.push_back(c);
  }
  while (!collapsed.empty() && collapsed.back() == '\\') collapsed.pop_back();
  return unicode_lower(collapsed);
}

namespace {

// The folder's normalised canonical form. Resolving it walks the volume's directory indexes,
// and the scan's phases ask for the same folder once or twice per candidate record, so the
// last answer is kept per thread for a short while (a scan of one folder on an image whose
// folders do not change meanwhile).
std::string normalized_folder(std::string_view folder) {
  struct Memo {
    std::string folder;
    std::string normalized;
    std::chrono::steady_clock::time_point taken;
  };
  thread_local std::optional<Memo> memo;
  constexpr auto kFreshFor = std::chrono::seconds(1);
  const auto now = std::chrono::steady_clock::now();
  if (memo && memo->folder == folder && now - memo->taken < kFreshFor) return memo->normalized;

  const std::string folder_text(datasource::windows::trim_white_space(folder));
  std::string folder_norm;
  if (platform::volume_paths::is_directory(folder_text)) {
    auto canonical = platform::volume_paths::canonicalize(folder_text);
    folder_norm = normalize_path(canonical ? as_valid(*canonical) : folder_text);
  } else {
    folder_norm = normalize_path(folder_text);
  }
  memo = Memo{std::string(folder), folder_norm, now};
  return folder_norm;
}

}  // namespace

bool path_is_under(std::string_view path, std::string_view folder) {
  const std::string folder_norm = normalized_folder(folder);
  const std::string path_norm = normalize_path(strip_verbatim_prefix(as_valid(path)));
  if (folder_norm.empty() || path_norm.empty()) return false;
  if (!path_norm.starts_with(folder_norm)) return false;
  return path_norm.size() == folder_norm.size() || path_norm[folder_norm.size()] == '\\';
}

bool is_volume_root(std::string_view text) {
  const std::string n = normalize_path(text);
  return n.size() == 2 && n[1] == ':';
}

std::string join_path(std::string_view base, std::string_view component) {
  std::string out(base);
  if (!out.empty() && !is_separator(out.back())) out.push_back('\\');
  out.append(component);
  return out;
}

std::optional<std::string_view> last_component(std::string_view path) {
  const SplitPath split = split_path(path);
  if (split.names.empty() || split.names.back() == "..") return std::nullopt;
  return split.names.back();
}

int compare_path_components(std::string_view a, std::string_view b) {
  const SplitPath x = split_path(a);
  const SplitPath y = split_path(b);
  // Components in order: prefix (when present), root (when present), names.
  auto head = [](const SplitPath& p) {
    std::vector<std::pair<int, std::string_view>> items;
    if (p.prefix_kind != 0) items.emplace_back(0, p.prefix);
    if (p.has_root) items.emplace_back(1, std::string_view{});
    return items;
  };
  auto hx = head(x);
  auto hy = head(y);
  for (const auto& n : x.names) hx.emplace_back(2, n);
  for (const auto& n : y.names) hy.emplace_back(2, n);
  const std::size_t n = std::min(hx.size(), hy.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (hx[i].first != hy[i].first) return hx[i].first < hy[i].first ? -1 : 1;
    if (const int c = compare_bytes(hx[i].second, hy[i].second); c != 0) return c;
  }
  if (hx.size() == hy.size()) return 0;
  return hx.size() < hy.size() ? -1 : 1;
}

}  // namespace kavel_lib::engine::windows
