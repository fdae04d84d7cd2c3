// What the record readers need to know of an NTFS volume: the volume data that the NTFS
// driver reports (NTFS_VOLUME_DATA_BUFFER, kept whole) and the geometry built from it.
#pragma once

#include <array>
#include <cstdint>

namespace kavel_lib::engine::windows {

// The 96-byte NTFS_VOLUME_DATA_BUFFER as FSCTL_GET_NTFS_VOLUME_DATA returns it.
struct NtfsVolumeData {
  std::array<std::uint8_t, 96> bytes{};

  [[nodiscard]] std::uint32_t bytes_per_cluster() const;
  [[nodiscard]] std::uint32_t bytes_per_file_record_segment() const;
  [[nodiscard]] std::uint64_t mft_start_lcn() const;

  // A buffer with the three fields the readers use set (tests, and callers that know them).
  static NtfsVolumeData with_fields(std::uint32_t bytes_per_cluster, std::uint32_t bytes_per_record,
                                    std::uint64_t mft_start_lcn);
};

// Smallest record size the readers use; a larger one is kept.
inline constexpr std::uint32_t kMinRecordSize = 1024;

struct VolumeGeometry {
  std::uint64_t bytes_per_cluster = 0;
  std::uint64_t mft_start_lcn = 0;
  std::uint32_t record_size = 0;
  friend bool operator==(const VolumeGeometry&, const VolumeGeometry&) = default;
};

// The geometry of the volume data, the record size raised to 1024 when smaller.
VolumeGeometry record_reader_geometry(const NtfsVolumeData& data);

}  // namespace kavel_lib::engine::windows
