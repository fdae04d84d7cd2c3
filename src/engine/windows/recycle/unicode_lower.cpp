#include "engine/windows/recycle/unicode_lower.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::int32_t stride;
};
struct MultiLower {
  char32_t code;
  char32_t lower[3];
  int count;
};
struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "engine/windows/recycle/unicode_lower_table.inc"

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t c) {
  auto it = std::upper_bound(std::begin(table), std::end(table), c,
                             [](char32_t v, const CodeRange& r) { return v < r.first; });
  if (it == std::begin(table)) return false;
  --it;
  return c <= it->last;
}

bool is_cased(char32_t c) { return in_ranges(kCasedRanges, c); }
bool is_case_ignorable(char32_t c) { return in_ranges(kCaseIgnorableRanges, c); }

std::vector<char32_t> decode(std::string_view utf8) {
  std::vector<char32_t> out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b0 = static_cast<std::uint8_t>(utf8[i]);
    const std::size_t len = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : 4;
    char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len && i + k < utf8.size(); ++k) {
      c = (c << 6) | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3F);
    }
    out.push_back(c);
    i += len;
  }
  return out;
}

void encode(char32_t c, std::string& out) { append_code_point(out, static_cast<std::uint32_t>(c)); }

char32_t simple_lower(char32_t c) {
  auto it = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), c,
                             [](char32_t v, const LowerRun& r) { return v < r.first; });
  if (it == std::begin(kLowerRuns)) return c;
  --it;
  if (c > it->last || (c - it->first) % static_cast<char32_t>(it->stride) != 0) return c;
  return static_cast<char32_t>(static_cast<std::int64_t>(c) + it->delta);
}

// Capital sigma at index i is final when a cased letter precedes it and none follows it,
// case-ignorable characters being skipped on both sides.
bool is_final_sigma(const std::vector<char32_t>& cps, std::size_t i) {
  std::size_t j = i;
  while (j > 0 && is_case_ignorable(cps[j - 1])) --j;
  if (j == 0 || !is_cased(cps[j - 1])) return false;
  std::size_t k = i + 1;
  while (k < cps.size() && is_case_ignorable(cps[k])) ++k;
  return k == cps.size() || !is_cased(cps[k]);
}

}  // namespace

std::string unicode_lower(std::string_view text) {
  const std::string valid = is_valid_utf8(text) ? std::string(text) : lossy_utf8(text);
  const std::vector<char32_t> cps = decode(valid);
  std::string out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const char32_t c = cps[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    } else if (c == 0x03A3) {
      encode(is_final_sigma(cps, i) ? 0x03C2 : 0x03C3, out);
    } else {
      auto multi = std::find_if(std::begin(kMultiLower), std::end(kMultiLower),
                                [c](const MultiLower& m) { return m.code == c; });
      if (multi != std::end(kMultiLower)) {
        for (int k = 0; k < multi->count; ++k) encode(multi->lower[k], out);
      } else {
        encode(simple_lower(c), out);
      }
    }
  }
  return out;
}

}  // namespace kavel_lib::engine::windows
