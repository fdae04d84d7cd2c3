// Stand-in for the deferred MFT retry until it lands: nothing is re-read.
#include "engine/windows/ntfs_logfile/mft_retry.h"

namespace kavel_lib::engine::windows {

std::uint32_t delayed_mft_retry(const DirectoryScope&, const NtfsVolumeData&, const VolumeHandle&,
                                const UsnCandidateMap*, const std::unordered_set<std::uint64_t>&,
                                std::vector<DeletedEntry>&, std::unordered_set<std::string>&,
                                std::unordered_set<std::uint64_t>&, std::uint64_t, std::uint32_t) {
  return 0;
}

}  // namespace kavel_lib::engine::windows
