// Stand-in declarations of the volume access module (opening a volume by letter, its volume
// data and geometry, the MFT's in-use bitmap, the per-scan record cache) until the record
// readers land; the names and shapes are theirs. Remove together with
// volume_access_pending.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// The 96-byte NTFS_VOLUME_DATA_BUFFER as FSCTL_GET_NTFS_VOLUME_DATA returns it.
struct NtfsVolumeData {
  std::array<std::uint8_t, 96> bytes{};

  [[nodiscard]] std::uint32_t bytes_per_cluster() const;
  [[nodiscard]] std::uint32_t bytes_per_file_record_segment() const;
  [[nodiscard]] std::uint64_t mft_start_lcn() const;
};

inline constexpr std::uint32_t kMinRecordSize = 1024;

struct VolumeGeometry {
  std::uint64_t bytes_per_cluster = 0;
  std::uint64_t mft_start_lcn = 0;
  std::uint32_t record_size = 0;
  friend bool operator==(const VolumeGeometry&, const VolumeGeometry&) = default;
};

VolumeGeometry record_reader_geometry(const NtfsVolumeData& data);

// An NTFS volume opened by drive letter.
class VolumeHandle {
 public:
  explicit VolumeHandle(platform::Device device) : device_(std::move(device)) {}
  [[nodiscard]] const platform::Device& device() const { return device_; }

 private:
  platform::Device device_;
};

std::expected<VolumeHandle, platform::OsError> open_volume_by_letter(char letter);
std::expected<NtfsVolumeData, platform::OsError> query_ntfs_volume_data(const VolumeHandle& volume);
std::optional<std::vector<std::uint8_t>> load_mft_in_use_bitmap(const VolumeHandle& volume, std::uint32_t size_hint);
std::uint64_t mft_record_count_estimate(std::optional<std::uint64_t> bitmap_length);

// The per-scan cache of raw records.
struct MftRecordCache {
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> records;
  std::uint32_t reads = 0;
  std::uint32_t productive = 0;
};

}  // namespace kavel_lib::engine::windows
