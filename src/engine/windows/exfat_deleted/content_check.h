// Whether recovered bytes look like a file of a given name's type.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kavel_lib::engine::windows::exfat_deleted {

// True when the first min(data length, size) bytes are plausible for `name`: not empty and not
// all zero; for text extensions (md, sh, txt, log, csv, ini, cfg, xml, bat, ps1, json) at least
// 60 % printable text bytes, for others at least 40 % non-zero bytes; then either the name's
// stem (when longer than 3 bytes) occurs case-folded in the bytes, or the name has a
// non-empty extension.
bool content_matches_extension(std::span<const std::uint8_t> data, std::uint64_t size, std::string_view name);

}  // namespace kavel_lib::engine::windows::exfat_deleted
