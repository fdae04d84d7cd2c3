// libFuzzer target over the $LogFile page search: both passes, the candidate merge and the
// filter. Checks that no finding carries a record number the volume does not hold and that
// the filter keeps only what the scope or the journal map accounts for.
//
// Input: four option bytes (cluster size, record size, record count, scope and map), then the
// log bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <unordered_set>

#include "engine/windows/ntfs_logfile/log_page_scan.h"

namespace ew = kavel_lib::engine::windows;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t o0 = data[0], o1 = data[1], o2 = data[2], o3 = data[3];
  const std::span<const std::uint8_t> log(data + 4, size - 4);

  ew::LogScanVolume volume;
  volume.bytes_per_cluster = (o0 & 0x80) ? 0 : (std::uint64_t{512} << (o0 & 7));
  volume.record_size = (o1 & 1) ? 4096 : (o1 & 2) ? 512 : 1024;
  volume.record_count = (o2 == 0xFF) ? ~std::uint64_t{0} : std::uint64_t{o2} * 64;

  // Small record numbers are what hand-made and mutated logs carry most.
  std::unordered_set<std::uint64_t> scope;
  if (o3 & 1) scope = {5, 40, 41, 64};
  if (o3 & 2) scope.insert(std::uint64_t{o2} << 8);
  ew::UsnCandidateMap map;
  for (std::uint64_t frn = 12; frn < 80; frn += 3) map.names_by_frn[frn] = {"x.txt"};
  const ew::UsnCandidateMap* usn_map = (o3 & 4) ? &map : nullptr;

  auto [found, counters] = ew::scan_logfile_pages(log, volume, scope, usn_map);
  for (const ew::LogCandidate& c : found) {
    if (c.frn != 0 && c.frn >= volume.record_count) std::abort();
    const bool in_scope = c.kind == 1 && scope.contains(c.parent);
    const bool hinted = usn_map != nullptr && map.names_by_frn.contains(c.frn);
    if (!in_scope && !hinted) std::abort();
  }
  if (counters.hinted > found.size()) std::abort();
  if (counters.frn_records > counters.headers || counters.name_records > counters.headers) std::abort();
  return 0;
}
