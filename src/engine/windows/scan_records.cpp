#include "engine/windows/scan_records.h"

#include <fmt/format.h>

#include "engine/windows/wtf8.h"
#include "platform/system_info.h"

namespace kavel_lib::engine::windows {

std::uint64_t frn_path_key(std::uint64_t parent, std::optional<std::string_view> name) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](std::uint8_t byte) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  };
  const std::uint64_t masked = parent & kFrnMask;
  for (int i = 0; i < 8; ++i) mix(static_cast<std::uint8_t>(masked >> (8 * i)));
  if (name && is_valid_utf8(*name)) {
    for (char c : *name) mix(static_cast<std::uint8_t>(c));
  }
  return hash;
}

std::string frn_path_key_hex(std::uint64_t key) { return fmt::format("{:016x}", key); }

std::uint64_t threads_for_processors(unsigned processors) {
  if (processors == 0) return 4;
  if (processors < 2) return 2;
  if (processors > 8) return 8;
  return processors;
}

ScanOptions default_scan_options() {
  ScanOptions o;
  o.threads = threads_for_processors(platform::processor_count());
  return o;
}

ScanOptions full_scan_options() {
  ScanOptions o = default_scan_options();
  o.vicinity_dirs = 512;
  o.index_ring = true;
  o.vicinity_3 = true;
  o.take_in_use = true;
  o.extra_name_flag = true;
  o.deleted_dir_phase = true;
  return o;
}

std::string print_mft_audit(const ScanContext& c) {
  return fmt::format(
      "MFT Audit: folder={} FRN={} $MFT\u2248{} index={} deleted-dir={} local-band={} expand={} USN={} paged={} "
      "LogFile={} retry={} pending={} cache-read={} filtered-cross-dir={} block{}/{} thread{} {}ms {}",
      c.folder, c.scope_folders, c.mft_records, c.index, c.deleted_dir, c.local_band_count, c.expand, c.usn, c.paged,
      c.logfile, c.retry, c.pending, c.cache_reads, c.filtered, c.paged_stats.done_chunks,
      c.paged_stats.chunk_count, c.paged_stats.threads, c.elapsed_ms, c.status);
}

std::optional<std::string> first_name(const std::unordered_set<std::string>& names) {
  const std::string* best = nullptr;
  for (const auto& name : names) {
    if (best == nullptr || name < *best) best = &name;
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

ScanResult summary_only_result(std::string text) {
  ScanResult r;
  r.usn_summary = std::move(text);
  return r;
}

}  // namespace kavel_lib::engine::windows
