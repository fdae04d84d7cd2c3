#include "engine/windows/raw_mft/volume.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <list>
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
  // Blocks of records, most recently used first.
  struct RecordBlock {
    VolumeGeometry geometry;
    std::uint64_t first = 0;
    std::vector<std::uint8_t> bytes;
  };
  std::list<RecordBlock> record_blocks;
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

bool VolumeHandle::copy_kept_record(const MftLayout& layout, std::uint64_t frn, std::span<std::uint8_t> out) const {
  const std::uint64_t size = layout.geometry.record_size;
  if (size == 0 || out.size() != size || frn >= layout.record_count) return false;
  const std::uint64_t first = frn / kRecordBlock * kRecordBlock;
  std::lock_guard lock(facts_->mutex);
  auto& blocks = facts_->record_blocks;
  auto it = std::find_if(blocks.begin(), blocks.end(), [&](const Facts::RecordBlock& b) {
    return b.geometry == layout.geometry && b.first == first;
  });
  if (it == blocks.end()) {
    const std::uint64_t count = std::min(kRecordBlock, layout.record_count - first);
    auto pieces = layout.pieces_for(first, count);
    if (!pieces) return false;
    // A full cache gives its least recently used block's bytes to the new block rather than
    // taking a fresh zero-filled allocation for every miss; the pieces tile the block and
    // sparse ones are written as zeros, so nothing of the old block is left in it.
    std::vector<std::uint8_t> bytes;
    if (blocks.size() >= kKeptRecordBlocks) {
      bytes = std::move(blocks.back().bytes);
      blocks.pop_back();
    }
    bytes.resize(static_cast<std::size_t>(count * size));
    if (!read_stream_pieces(device_, *pieces, first * size, bytes)) return false;
    blocks.push_front(Facts::RecordBlock{layout.geometry, first, std::move(bytes)});
    it = blocks.begin();
  } else if (it != blocks.begin()) {
    blocks.splice(blocks.begin(), blocks, it);
    it = blocks.begin();
  }
  std::memcpy(out.data(), it->bytes.data() + (frn - first) * size, out.size());
  return true;
}

void VolumeHandle::forget_records() const {
  std::lock_guard lock(facts_->mutex);
  facts_->record_blocks.clear();
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
