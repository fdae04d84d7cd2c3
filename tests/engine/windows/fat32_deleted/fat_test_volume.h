// A builder-made FAT volume mapped to a drive letter, opened and parsed, for the tests of
// this folder.
#pragma once

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "engine/windows/fat32_deleted/fat_geometry.h"
#include "ipc/device_open.h"
#include "support/fat_builder.h"
#include "support/mapped_volume.h"

namespace kavel_lib::engine::windows::fat32_deleted {

struct OpenFatVolume {
  explicit OpenFatVolume(const kavel_test::FatBuilder& builder, char letter = 'F')
      : mapped(std::make_unique<kavel_test::MappedVolume>(builder.image(), letter)) {
    auto opened = ipc::open_device_or_via_service(mapped->device_path());
    if (!opened) throw std::runtime_error(opened.error().display());
    device = std::move(*opened);
    auto parsed = parse_fat_boot(device);
    if (!parsed) throw std::runtime_error(parsed.error().display());
    geometry = *parsed;
  }

  std::unique_ptr<kavel_test::MappedVolume> mapped;
  platform::Device device;
  FatGeometry geometry;
};

}  // namespace kavel_lib::engine::windows::fat32_deleted
