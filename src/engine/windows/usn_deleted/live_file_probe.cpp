// Live-file test of journal references: records read once each through the file system, their
// in-use flag, sequence number and names, and the parent chain of each name up to the root.
#include "engine/windows/usn_deleted/live_file_probe.h"

#include "engine/windows/ntfs_deleted/record_names.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "engine/windows/recycle/unicode_lower.h"
#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

namespace {

// The recycle-bin folder's name, lower-cased.
constexpr std::string_view kRecycleBinLower = "$recycle.bin";

}  // namespace

LiveFileProbe::LiveFileProbe(FileRecordRead read) : read_(std::move(read)) {}

const LiveFileProbe::RecordFacts* LiveFileProbe::facts(std::uint64_t frn) {
  if (auto it = records_.find(frn); it != records_.end()) return it->second ? &*it->second : nullptr;
  if (records_.size() >= kLiveProbeMaxReads || !read_) return nullptr;
  std::optional<RecordFacts> found;
  if (auto record = read_(frn)) {
    if (auto flags = ntfs::file_record_flags(*record)) {
      RecordFacts f;
      f.in_use = (*flags & ntfs::kRecordFlagInUse) != 0;
      f.sequence = ntfs::load_u16(*record, ntfs::kRecordSequenceNumber);
      f.names = collect_file_names(*record);
      found = std::move(f);
    }
  }
  // Elements of an unordered_map keep their place when it grows: the pointer stays valid.
  const auto& kept = records_.emplace(frn, std::move(found)).first->second;
  return kept ? &*kept : nullptr;
}

LiveFileProbe::Place LiveFileProbe::place_of_directory(std::uint64_t frn) {
  for (std::size_t step = 0; step < kLiveProbeMaxDepth; ++step) {
    if (frn == ntfs::kRootDirectoryFrn) return Place::Outside;
    const RecordFacts* dir = facts(frn);
    if (dir == nullptr || !dir->in_use || dir->names.empty()) return Place::Unknown;
    // A directory has one name (besides its DOS name).
    const auto& [parent, name] = dir->names.front();
    if (parent == ntfs::kRootDirectoryFrn) {
      return unicode_lower(name) == kRecycleBinLower ? Place::InRecycleBin : Place::Outside;
    }
    frn = parent;
  }
  return Place::Unknown;
}

bool LiveFileProbe::live_outside_recycle_bin(std::uint64_t reference) {
  const RecordFacts* file = facts(reference & kFrnMask);
  if (file == nullptr || !file->in_use || file->sequence != (reference >> 48) || file->names.empty()) return false;
  for (const auto& name : file->names) {
    if (place_of_directory(name.first) != Place::Outside) return false;
  }
  return true;
}

std::shared_ptr<LiveFileProbe> live_file_probe_of(std::shared_ptr<const VolumeHandle> volume) {
  const auto data = volume->cached_volume_data();
  const std::uint32_t record_size = data ? record_reader_geometry(*data).record_size : kMinRecordSize;
  return std::make_shared<LiveFileProbe>([volume = std::move(volume), record_size](std::uint64_t frn) {
    return fsctl_get_ntfs_file_record(*volume, frn, record_size);
  });
}

}  // namespace kavel_lib::engine::windows
