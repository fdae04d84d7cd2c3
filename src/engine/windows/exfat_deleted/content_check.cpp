#include "engine/windows/exfat_deleted/content_check.h"

#include <algorithm>
#include <array>
#include <string>

namespace kavel_lib::engine::windows::exfat_deleted {

namespace {

constexpr std::array<std::string_view, 11> kTextExtensions = {"md",  "sh",  "txt", "log", "csv", "ini",
                                                             "cfg", "xml", "bat", "ps1", "json"};

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is not one. When
// it is not, `*bad` is the length of its maximal ill-formed prefix (at least 1), which stands
// as one U+FFFD.
std::size_t utf8_sequence(std::span<const std::uint8_t> s, std::size_t* bad) {
  const std::uint8_t b0 = s[0];
  *bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i <= need; ++i) {
    if (i >= s.size()) return 0;
    const std::uint8_t b = s[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
    *bad = i + 1;
  }
  return need + 1;
}

// The bytes decoded as UTF-8 with every ill-formed sequence replaced by U+FFFD, ASCII letters
// made lower case.
std::string lossy_lower_text(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad = 1;
    const std::size_t n = utf8_sequence(bytes.subspan(i), &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
      continue;
    }
    for (std::size_t k = 0; k < n; ++k) out.push_back(ascii_lower(static_cast<char>(bytes[i + k])));
    i += n;
  }
  return out;
}

}  // namespace

bool content_matches_extension(std::span<const std::uint8_t> data, std::uint64_t size, std::string_view name) {
  const auto sample = data.first(static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), size)));
  const std::uint64_t n = sample.size();
  if (n == 0 || std::all_of(sample.begin(), sample.end(), [](std::uint8_t b) { return b == 0; })) return false;

  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), ascii_lower);
  const auto last_dot = lower.rfind('.');
  std::string_view extension = lower;
  std::string_view stem = lower;
  if (last_dot != std::string::npos) {
    extension = std::string_view(lower).substr(last_dot + 1);
    const auto before = last_dot == 0 ? std::string::npos : lower.rfind('.', last_dot - 1);
    const std::size_t stem_start = before == std::string::npos ? 0 : before + 1;
    stem = std::string_view(lower).substr(stem_start, last_dot - stem_start);
  }

  const bool is_text = std::find(kTextExtensions.begin(), kTextExtensions.end(), extension) != kTextExtensions.end();
  std::uint64_t count = 0;
  if (is_text) {
    count = static_cast<std::uint64_t>(std::count_if(sample.begin(), sample.end(), [](std::uint8_t b) {
      return b == 9 || b == 10 || b == 13 || (b >= 32 && b <= 126);
    }));
  } else {
    count = static_cast<std::uint64_t>(std::count_if(sample.begin(), sample.end(), [](std::uint8_t b) { return b != 0; }));
  }
  // count <= n, so 100 * count cannot overflow for any sample that fits in memory.
  const std::uint64_t percent = 100 * count / n;
  if (percent < (is_text ? 60u : 40u)) return false;

  if (stem.size() > 3 && lossy_lower_text(sample).find(stem) != std::string::npos) return true;
  return !extension.empty();
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
