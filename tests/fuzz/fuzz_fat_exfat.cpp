// Fuzzes the FAT and exFAT boot-sector parsers, the FAT readers and both chain walkers, the
// exFAT data reads, the content test and the relocation search over arbitrary volume images.
//
// Input: a 16-byte parameter block, then the volume image.
//   0..3  start cluster   4..7  offset into the first cluster
//   8..11 size (at most 1 MiB is used)   12 flags: bit 0 no FAT chain, bit 1 relocate, bit 2 no FAT cache
//   13    file name choice
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "engine/windows/exfat_deleted/allocation_bitmap.h"
#include "engine/windows/exfat_deleted/content_check.h"
#include "engine/windows/exfat_deleted/exfat_chain.h"
#include "engine/windows/exfat_deleted/exfat_data.h"
#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/relocate.h"
#include "engine/windows/fat32_deleted/fat_chain.h"
#include "engine/windows/fat32_deleted/fat_geometry.h"
#include "engine/windows/fat32_deleted/fat_table.h"
#include "engine/windows/fat32_deleted/fat_volume.h"
#include "platform/device.h"

namespace {

namespace fat = kavel_lib::engine::windows::fat32_deleted;
namespace exfat = kavel_lib::engine::windows::exfat_deleted;
using kavel_lib::platform::Device;

std::uint32_t u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::string_view kNames[] = {"", "notes.txt", "photo.jpg", "README", "report.final.", "abc.", "x.JSON"};

void run_fat(const Device& volume, std::uint32_t start, std::uint64_t size) {
  auto geometry = fat::parse_fat_boot(volume);
  if (!geometry) return;
  const auto cache = fat::build_fat_cache(*geometry, volume);
  auto chain = fat::follow_cluster_chain(*geometry, volume, start, cache, size);
  if (!chain) return;
  std::size_t read = 0;
  for (const auto c : *chain) {
    if (++read > 8) break;
    (void)fat::read_fat_cluster(*geometry, volume, c);
  }
}

void run_exfat(const Device& volume, std::uint32_t start, std::uint32_t offset, std::uint64_t size,
               std::uint8_t flags, std::string_view name) {
  auto geometry = exfat::parse_exfat_boot(volume);
  if (!geometry) return;
  const exfat::ExfatFat fat(*geometry, volume, (flags & 4) != 0 ? 0 : exfat::kMaxCachedExfatFatBytes);
  (void)exfat::collect_fat_chain(*geometry, fat, start, exfat::kMaxFileClusters);
  auto data = exfat::read_exfat_file_data(*geometry, volume, fat, start, offset, size, (flags & 1) != 0);
  if (data) (void)exfat::content_matches_extension(*data, size, name);
  const auto bitmap = exfat::AllocationBitmap::find(*geometry, volume, fat);
  if (flags & 2) {
    (void)exfat::relocate_start_cluster(*geometry, volume, fat, bitmap ? &*bitmap : nullptr, start, offset, size,
                                        (flags & 1) != 0, name);
  }
  if (bitmap) {
    (void)bitmap->is_free(start);
    (void)bitmap->is_in_use(start);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
  if (length < 16) return 0;
  const std::uint32_t start = u32(bytes);
  const std::uint32_t offset = u32(bytes + 4);
  const std::uint64_t size = u32(bytes + 8) % (1u << 20);
  const std::uint8_t flags = bytes[12];
  const std::string_view name = kNames[bytes[13] % std::size(kNames)];

  std::FILE* file = std::tmpfile();
  if (file == nullptr) return 0;
  if (std::fwrite(bytes + 16, 1, length - 16, file) == length - 16 && std::fflush(file) == 0) {
    Device volume = Device::adopt(fileno(file));
    run_fat(volume, start, size);
    run_exfat(volume, start, offset, size, flags, name);
    volume.release();  // the stream owns the descriptor
  }
  std::fclose(file);
  return 0;
}
