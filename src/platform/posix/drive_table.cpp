#include "platform/drive_table.h"

#include <cstdlib>

#include <fmt/format.h>

namespace kavel_lib::platform {

namespace {

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool iequals_prefix(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_upper(text[i]) != ascii_upper(prefix[i])) return false;
  }
  return true;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (!all_digits(s) || s.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace

std::optional<std::string> canonical_device_name(std::string_view name) {
  if (name.size() == 1 || (name.size() == 2 && name[1] == ':')) {
    const char letter = ascii_upper(name[0]);
    if (letter < 'A' || letter > 'Z') return std::nullopt;
    return std::string{letter, ':'};
  }
  constexpr std::string_view kDisk = "PhysicalDrive";
  if (iequals_prefix(name, kDisk)) {
    const auto digits = name.substr(kDisk.size());
    if (!all_digits(digits) || digits.size() > 9) return std::nullopt;
    return std::string(kDisk) + std::string(digits);
  }
  constexpr std::string_view kVolume = "Volume{";
  if (iequals_prefix(name, kVolume) && name.size() > kVolume.size() + 1 && name.back() == '}') {
    const auto inner = name.substr(kVolume.size(), name.size() - kVolume.size() - 1);
    for (char c : inner) {
      const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
      if (!ok) return std::nullopt;
    }
    return std::string(kVolume) + std::string(inner) + "}";
  }
  return std::nullopt;
}

std::optional<std::string> device_name_of_path(std::string_view device_path) {
  constexpr std::string_view kPrefix = "\\\\.\\";
  if (!device_path.starts_with(kPrefix)) return std::nullopt;
  const auto name = device_path.substr(kPrefix.size());
  // A bare letter is not a device path: the drive form needs its colon.
  if (name.size() == 1) return std::nullopt;
  return canonical_device_name(name);
}

std::expected<DriveTable, std::string> DriveTable::parse(std::string_view text) {
  DriveTable table;
  while (!text.empty()) {
    const auto end = text.find(';');
    const auto raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const auto entry = trim(raw);
    if (entry.empty()) continue;  // "a;;b" and a trailing ";" hold no entry

    const auto eq = entry.find('=');
    if (eq == std::string_view::npos) {
      return std::unexpected(fmt::format("KAVEL_DRIVES: entry \"{}\" is not NAME=PATH", entry));
    }
    const auto name = canonical_device_name(trim(entry.substr(0, eq)));
    if (!name) {
      return std::unexpected(fmt::format(
          "KAVEL_DRIVES: entry \"{}\" does not name a drive letter, PhysicalDriveN or Volume{{...}}", entry));
    }
    auto path = trim(entry.substr(eq + 1));
    std::uint64_t offset = 0;
    if (const auto at = path.rfind('@'); at != std::string_view::npos) {
      const auto suffix = path.substr(at + 1);
      if (all_digits(suffix)) {
        const auto value = parse_u64(suffix);
        if (!value) return std::unexpected(fmt::format("KAVEL_DRIVES: entry \"{}\" has an offset out of range", entry));
        offset = *value;
        path = path.substr(0, at);
      }
    }
    if (path.empty()) return std::unexpected(fmt::format("KAVEL_DRIVES: entry \"{}\" has no path", entry));
    for (const auto& existing : table.entries_) {
      if (existing.name == *name) {
        return std::unexpected(fmt::format("KAVEL_DRIVES: entry \"{}\" maps {} a second time", entry, *name));
      }
    }
    table.entries_.push_back(DriveEntry{*name, std::string(path), offset});
  }
  return table;
}

std::expected<DriveTable, std::string> DriveTable::from_environment() {
  const char* value = std::getenv("KAVEL_DRIVES");
  return parse(value ? std::string_view(value) : std::string_view{});
}

std::optional<DriveEntry> DriveTable::lookup(std::string_view device_name) const {
  const auto name = canonical_device_name(device_name);
  if (!name) return std::nullopt;
  for (const auto& e : entries_) {
    if (e.name == *name) return e;
  }
  return std::nullopt;
}

}  // namespace kavel_lib::platform
