#include "ipc/ui_clients.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "ipc/app_data.h"
#include "platform/file_ops.h"
#include "platform/process_info.h"
#include "platform/small_file.h"
#include "platform/system_info.h"

namespace kavel_lib::ipc {

namespace {

// A registry file larger than this is taken as unreadable: no real list comes near it, and
// the whole file is held in memory to be read.
constexpr std::size_t kMaxFileBytes = 16 * 1024 * 1024;

std::atomic<bool> g_registered{false};

// Decodes one UTF-8 sequence at text[i]; the code point and its length, or nothing when the
// bytes there are not well-formed UTF-8 (overlong forms, surrogates and values above
// U+10FFFF are not).
std::optional<std::pair<char32_t, std::size_t>> decode_utf8(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return std::pair{static_cast<char32_t>(b0), std::size_t{1}};
  std::size_t length;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - i < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return std::pair{cp, length};
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto decoded = decode_utf8(text, i);
    if (!decoded) return false;
    i += decoded->second;
  }
  return true;
}

// Unicode White_Space.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Trims white space from both ends of valid UTF-8 text.
std::string_view trim_white_space(std::string_view line) {
  // Leading.
  while (!line.empty()) {
    const auto decoded = decode_utf8(line, 0);
    if (!decoded || !is_white_space(decoded->first)) break;
    line.remove_prefix(decoded->second);
  }
  // Trailing: step back to the start of the last code point.
  while (!line.empty()) {
    std::size_t start = line.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) --start;
    const auto decoded = decode_utf8(line, start);
    if (!decoded || !is_white_space(decoded->first)) break;
    line.remove_suffix(line.size() - start);
  }
  return line;
}

// An unsigned 32-bit decimal number: optional "+", then one or more digits.
std::optional<std::uint32_t> parse_u32(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The whole file, or nothing on any failure. Read through a close-on-exec descriptor that never
// blocks on a FIFO, so no tool started meanwhile inherits it and a planted pipe cannot hang us.
std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
  auto content = platform::read_small_file(path, kMaxFileBytes);
  if (!content) return std::nullopt;
  return std::move(*content);
}

}  // namespace

std::filesystem::path ui_clients_file_path() { return app_data_dir() / "service_ui_clients.txt"; }

std::vector<std::uint32_t> parse_ui_clients(std::string_view text) {
  std::vector<std::uint32_t> pids;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (auto pid = parse_u32(trim_white_space(line))) pids.push_back(*pid);
  }
  return pids;
}

std::vector<std::uint32_t> read_ui_clients_file() {
  const auto content = read_whole_file(ui_clients_file_path());
  if (!content || !is_valid_utf8(*content)) return {};
  return parse_ui_clients(*content);
}

std::vector<std::uint32_t> prune_dead_ui_clients(const std::vector<std::uint32_t>& pids) {
  std::vector<std::uint32_t> alive;
  for (std::uint32_t pid : pids) {
    if (process_is_alive(pid)) alive.push_back(pid);
  }
  return alive;
}

void write_ui_clients_file(const std::vector<std::uint32_t>& pids) {
  const auto path = ui_clients_file_path();
  if (pids.empty()) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return;
  }
  // Its folders are made as any destination's are (never on the evidence).
  (void)platform::create_parent_folders(path);
  std::string content;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (i != 0) content.push_back('\n');
    content += std::to_string(pids[i]);
  }
  // Written like any destination file: close-on-exec, never through a final link, only onto a
  // regular file. Failures are silent, as every failure of the registry is.
  auto out = platform::DestinationFile::create(path);
  if (!out) return;
  if (out->write_all(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()))) {
    (void)out->close();
  }
}

void register_ui_client() {
  if (g_registered.exchange(true)) return;
  const std::uint32_t self = platform::current_process_id();
  auto pids = prune_dead_ui_clients(read_ui_clients_file());
  if (std::find(pids.begin(), pids.end(), self) == pids.end()) pids.push_back(self);
  write_ui_clients_file(pids);
}

bool process_is_alive(std::uint32_t pid) { return platform::process_is_alive(pid); }

}  // namespace kavel_lib::ipc
