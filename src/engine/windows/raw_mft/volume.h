// An NTFS volume opened by drive letter ("\\.\E:"), read only through the platform seam: the
// device's positioned reads and the NTFS control codes. The handle keeps what is read once
// per open volume: its volume data, the MFT's own run list and the MFT's in-use bitmap, and
// keeps the last blocks of consecutive records it read, so that records read one by one near
// one another cost one read of the volume per block.
//
// A handle serves one thread at a time (each worker of the paged scan opens its own); the
// lazily filled facts are guarded all the same.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/windows/raw_mft/mft_map.h"
#include "engine/windows/raw_mft/volume_geometry.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// The control-code call a volume uses: the seam's device_io_control, or a stand-in in tests.
using ControlCall = std::function<std::expected<std::size_t, platform::WinError>(
    const platform::Device&, std::uint32_t, std::span<const std::uint8_t>, std::span<std::uint8_t>)>;

class VolumeHandle {
 public:
  explicit VolumeHandle(platform::Device device, ControlCall control = {});
  VolumeHandle(VolumeHandle&&) noexcept;
  VolumeHandle& operator=(VolumeHandle&&) noexcept;
  VolumeHandle(const VolumeHandle&) = delete;
  VolumeHandle& operator=(const VolumeHandle&) = delete;
  ~VolumeHandle();

  [[nodiscard]] const platform::Device& device() const { return device_; }
  std::expected<std::size_t, platform::WinError> control(std::uint32_t code, std::span<const std::uint8_t> input,
                                                         std::span<std::uint8_t> output) const;

  // The MFT layout for this geometry: loaded on first use, then kept (a different geometry
  // is loaded afresh and not kept). Null when the MFT cannot be mapped.
  [[nodiscard]] std::shared_ptr<const MftLayout> mft_layout(const VolumeGeometry& geometry) const;
  // The volume data, queried once; nothing when the query fails.
  [[nodiscard]] std::optional<NtfsVolumeData> cached_volume_data() const;
  // The in-use bitmap: `load` runs on the first call only, its outcome is kept. Null when
  // there is none.
  using BitmapLoad = std::function<std::optional<std::vector<std::uint8_t>>()>;
  [[nodiscard]] std::shared_ptr<const std::vector<std::uint8_t>> bitmap(const BitmapLoad& load) const;

  // The bytes of record frn of the layout, as read from the volume (no fixups applied), from
  // a kept block of kRecordBlock consecutive records; the block is read whole on a miss. False
  // when its block cannot be read whole (the caller then reads the record alone).
  static constexpr std::uint64_t kRecordBlock = 256;
  static constexpr std::size_t kKeptRecordBlocks = 16;
  [[nodiscard]] bool copy_kept_record(const MftLayout& layout, std::uint64_t frn, std::span<std::uint8_t> out) const;
  // Drops the kept blocks: the next record read goes to the volume again.
  void forget_records() const;

 private:
  struct Facts;

  platform::Device device_;
  ControlCall control_;
  std::unique_ptr<Facts> facts_;
};

// Opens "\\.\{letter}:" for reading; a letter in 'a'..'z' is upper-cased, any other
// character is used as given.
std::expected<VolumeHandle, platform::OsError> open_volume_by_letter(char letter);
// The same, the error given as its display text.
std::expected<VolumeHandle, std::string> try_open_volume_by_letter(char letter);

// FSCTL_GET_NTFS_VOLUME_DATA with a 96-byte output buffer; a failure is an error of kind
// Other whose text is the Windows error's display text.
std::expected<NtfsVolumeData, platform::OsError> query_ntfs_volume_data(const VolumeHandle& volume);

}  // namespace kavel_lib::engine::windows
