// Whether a file reference of the change journal still names a live file, read through the
// file system's own record access (FSCTL_GET_NTFS_FILE_RECORD): the record of that number is
// in use and carries the reference's sequence number. A journal record without FILE_DELETE
// for such a file is a rename or change of a file that still exists, not a deletion, unless
// the file now lies in a recycle-bin folder ($RECYCLE.BIN in the volume's root, in any case):
// a delete to the Recycle Bin is a rename into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/windows/raw_mft/volume.h"

namespace kavel_lib::engine::windows {

// Record numbers the probe reads at most in one scan; past that it answers that it cannot
// tell, so a journal full of renames costs the scan a bounded number of reads.
inline constexpr std::size_t kLiveProbeMaxReads = 16384;
// Parent steps from a file up to the root at most.
inline constexpr std::size_t kLiveProbeMaxDepth = 64;

// The FILE record of a record number as the file system gives it (the reply for exactly that
// number), or nothing.
using FileRecordRead = std::function<std::optional<std::vector<std::uint8_t>>(std::uint64_t frn)>;

class LiveFileProbe {
 public:
  explicit LiveFileProbe(FileRecordRead read);

  // True when the reference's record is in use with the reference's sequence number and every
  // one of its names lies, through a parent chain that reaches the root, outside the root's
  // $RECYCLE.BIN. False otherwise, and whenever that cannot be told (a record that cannot be
  // read, a chain that breaks, loops or runs deeper than 64, the read limit reached). Each
  // record number is read once.
  bool live_outside_recycle_bin(std::uint64_t reference);

 private:
  struct RecordFacts {
    bool in_use = false;
    std::uint16_t sequence = 0;
    std::vector<std::pair<std::uint64_t, std::string>> names;  // (parent, name), non-DOS
  };
  enum class Place { Outside, InRecycleBin, Unknown };

  const RecordFacts* facts(std::uint64_t frn);
  Place place_of_directory(std::uint64_t frn);

  FileRecordRead read_;
  std::unordered_map<std::uint64_t, std::optional<RecordFacts>> records_;
};

// The probe over FSCTL_GET_NTFS_FILE_RECORD of an open volume; the reply's size from the
// volume's record size.
std::shared_ptr<LiveFileProbe> live_file_probe_of(std::shared_ptr<const VolumeHandle> volume);

}  // namespace kavel_lib::engine::windows
