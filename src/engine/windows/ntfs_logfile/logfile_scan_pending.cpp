// Stand-in for the $LogFile scan until it lands: the log yields no bytes and no candidates.
#include "engine/windows/ntfs_logfile/logfile_scan.h"

namespace kavel_lib::engine::windows {

std::expected<std::vector<std::uint8_t>, platform::OsError> read_logfile_stream(char) {
  return std::vector<std::uint8_t>{};
}

std::pair<std::vector<LogCandidate>, LogScanCounters> scan_logfile_pages(std::span<const std::uint8_t>, std::uint64_t,
                                                                         std::uint64_t,
                                                                         const std::unordered_set<std::uint64_t>&,
                                                                         const UsnCandidateMap*) {
  return {};
}

void logfile_candidates_to_entries(const DirectoryScope&, const LogCandidate&, const NtfsVolumeData&,
                                   const VolumeHandle&, const UsnCandidateMap*, std::vector<DeletedEntry>&,
                                   std::unordered_set<std::string>&, std::unordered_set<std::uint64_t>&,
                                   std::uint32_t&) {}

}  // namespace kavel_lib::engine::windows
