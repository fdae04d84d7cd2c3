#include "engine/windows/ntfs_logfile/log_candidates.h"

#include <utility>

namespace kavel_lib::engine::windows {

void merge_logfile_candidate(LogCandidateMap& map, LogCandidate c) {
  if (c.frn == 0 && !c.name) return;
  std::uint64_t key = 0;
  if (c.frn != 0) {
    key = c.frn;
  } else if (c.kind == LogCandidate::kNamed && c.parent != 0) {
    key = c.parent;
  } else {
    return;
  }
  if (auto it = map.find(key); it != map.end()) {
    LogCandidate& s = it->second;
    if (c.frn != 0) s.frn = c.frn;
    if (s.kind == LogCandidate::kRecordOnly) {
      s.kind = c.kind;
      s.parent = c.parent;
    }
    if (!s.name) s.name = std::move(c.name);
    return;
  }
  if (map.size() >= kMaxLogCandidates) return;
  map.emplace(key, std::move(c));
}

}  // namespace kavel_lib::engine::windows
