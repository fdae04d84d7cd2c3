#include "engine/windows/raw_mft/volume.h"

#include <fmt/format.h>

#include <mutex>

#include "engine/windows/raw_mft/ntfs_layout.h"
#include "platform/ntfs_control.h"

namespace kavel_lib::engine::windows {

struct VolumeHandle::Facts {
  std::mutex mutex;
  bool volume_data_loaded = false;
  std::optional<NtfsVolumeData> volume_data;
  bool layout_loaded = false;
  VolumeGeometry layout_geometry;
  std::shared_ptr<const MftLayout> layout;
  bool bitmap_loaded = false;
  std::shared_ptr<const std::vector<std::uint8_t>> bitmap;
};

VolumeHandle::VolumeHandle(platform::Device device, ControlCall control)
    : device_(std::move(device)), control_(std::move(control)), facts_(std::make_unique<Facts>()) {
  if (!control_) control_ = platform::device_io_control;
}
VolumeHandle::VolumeHandle(VolumeHandle&&) noexcept = default;
VolumeHandle& VolumeHandle::operator=(VolumeHandle&&) noexcept = default;
VolumeHandle::~VolumeHandle() = default;

std::expected<std::size_t, platform::WinError> VolumeHandle::control(std::uint32_t code,
                                                                     std::span<const std::uint8_t> input,
                                                                     std::span<std::uint8_t> output) const {
  return control_(device_, code, input, output);
}

namespace {
std::shared_ptr<const MftLayout> shared_layout(const platform::Device& device, const VolumeGeometry& geometry) {
  auto layout = load_mft_layout(device, geometry);
  if (!layout) return nullptr;
  return std::make_shared<const MftLayout>(std::move(*layout));
}
}  // namespace

std::shared_ptr<const MftLayout> VolumeHandle::mft_layout(const VolumeGeometry& geometry) const {
  std::lock_guard lock(facts_->mutex);
  if (facts_->layout_loaded) {
    if (facts_->layout_geometry == geometry) return facts_->layout;
    return shared_layout(device_, geometry);
  }
  facts_->layout = shared_layout(device_, geometry);
  facts_->layout_geometry = geometry;
  facts_->layout_loaded = true;
  return facts_->layout;
}

std::optional<NtfsVolumeData> VolumeHandle::cached_volume_data() const {
  {
    std::lock_guard lock(facts_->mutex);
    if (facts_->volume_data_loaded) return facts_->volume_data;
  }
  auto data = query_ntfs_volume_data(*this);
  std::lock_guard lock(facts_->mutex);
  if (!facts_->volume_data_loaded) {
    if (data) facts_->volume_data = *data;
    facts_->volume_data_loaded = true;
  }
  return facts_->volume_data;
}

std::shared_ptr<const std::vector<std::uint8_t>> VolumeHandle::bitmap(const BitmapLoad& load) const {
  {
    std::lock_guard lock(facts_->mutex);
    if (facts_->bitmap_loaded) return facts_->bitmap;
  }
  auto loaded = load();
  std::lock_guard lock(facts_->mutex);
  if (!facts_->bitmap_loaded) {
    if (loaded) facts_->bitmap = std::make_shared<const std::vector<std::uint8_t>>(std::move(*loaded));
    facts_->bitmap_loaded = true;
  }
  return facts_->bitmap;
}

std::expected<VolumeHandle, platform::OsError> open_volume_by_letter(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  auto device = platform::Device::open(fmt::format("\\\\.\\{}:", letter));
  if (!device) return std::unexpected(platform::OsError::from_code(device.error().code));
  return VolumeHandle(std::move(*device));
}

std::expected<VolumeHandle, std::string> try_open_volume_by_letter(char letter) {
  auto volume = open_volume_by_letter(letter);
  if (!volume) return std::unexpected(volume.error().display());
  return std::move(*volume);
}

std::expected<NtfsVolumeData, platform::OsError> query_ntfs_volume_data(const VolumeHandle& volume) {
  NtfsVolumeData data;
  auto result = volume.control(platform::ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, data.bytes);
  if (!result) return std::unexpected(platform::OsError::from_win(result.error()));
  return data;
}

}  // namespace kavel_lib::engine::windows
