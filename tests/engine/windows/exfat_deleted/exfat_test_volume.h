// A builder-made exFAT volume mapped to a drive letter, opened and parsed, for the tests of
// this folder.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>

#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/exfat_read.h"
#include "ipc/device_open.h"
#include "support/exfat_builder.h"
#include "support/mapped_volume.h"

namespace kavel_lib::engine::windows::exfat_deleted {

struct OpenExfatVolume {
  explicit OpenExfatVolume(const kavel_test::ExfatBuilder& builder, char letter = 'X')
      : mapped(std::make_unique<kavel_test::MappedVolume>(builder.image(), letter)) {
    auto opened = ipc::open_device_or_via_service(mapped->device_path());
    if (!opened) throw std::runtime_error(opened.error().display());
    device = std::move(*opened);
    auto parsed = parse_exfat_boot(device);
    if (!parsed) throw std::runtime_error(parsed.error().display());
    geometry = *parsed;
    fat.emplace(geometry, device);
  }
  // The FAT keeps the addresses of the geometry and the device.
  OpenExfatVolume(OpenExfatVolume&&) = delete;

  std::unique_ptr<kavel_test::MappedVolume> mapped;
  platform::Device device;
  ExfatGeometry geometry;
  std::optional<ExfatFat> fat;  // cached
};

inline std::vector<std::uint8_t> text_bytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace kavel_lib::engine::windows::exfat_deleted
