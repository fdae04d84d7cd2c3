#include "support/exfat_builder.h"

#include <algorithm>
#include <stdexcept>

namespace kavel_test {

ExfatBuilder::ExfatBuilder(ExfatLayout layout) : layout_(layout) {
  const std::uint64_t bps = bytes_per_sector();
  const std::uint64_t fat_bytes = (std::uint64_t{layout_.cluster_count} + 2) * 4;
  const std::uint32_t fat_sectors = static_cast<std::uint32_t>((fat_bytes + bps - 1) / bps);
  if (layout_.heap_offset_sectors == 0) {
    const std::uint32_t per_cluster = 1u << layout_.cluster_shift;
    const std::uint32_t after_fat = layout_.fat_offset_sectors + fat_sectors;
    layout_.heap_offset_sectors = (after_fat + per_cluster - 1) / per_cluster * per_cluster;
  }
  const std::uint64_t volume_sectors =
      layout_.heap_offset_sectors + (std::uint64_t{layout_.cluster_count} << layout_.cluster_shift);
  image_.resize(volume_sectors * bps);

  const std::uint8_t jump[3] = {0xEB, 0x76, 0x90};
  image_.write(0, jump);
  image_.write_text(3, "EXFAT   ");
  // Bytes 11..63 must be zero (they are where FAT volumes keep their parameter block).
  image_.write_u64(64, 0);  // partition offset
  image_.write_u64(72, volume_sectors);
  image_.write_u32(80, layout_.fat_offset_sectors);
  image_.write_u32(84, fat_sectors);
  image_.write_u32(88, layout_.heap_offset_sectors);
  image_.write_u32(92, layout_.cluster_count);
  image_.write_u32(96, layout_.root_cluster);
  image_.write_u32(100, 0x5EED1234);  // volume serial number
  image_.write_u16(104, 0x0100);      // revision 1.0
  image_.write_u16(106, 0);           // volume flags
  image_.write_u8(108, layout_.sector_shift);
  image_.write_u8(109, layout_.cluster_shift);
  image_.write_u8(110, 1);     // number of FATs
  image_.write_u8(111, 0x80);  // drive select
  image_.write_u8(112, 0);     // percent in use
  image_.write_u8(510, 0x55);
  image_.write_u8(511, 0xAA);

  set_entry(0, 0xFFFFFFF8);  // media descriptor
  set_entry(1, 0xFFFFFFFF);
}

std::uint64_t ExfatBuilder::cluster_offset(std::uint32_t cluster) const {
  if (cluster < 2) throw std::invalid_argument("clusters are numbered from 2");
  return heap_offset() + std::uint64_t{cluster - 2} * cluster_bytes();
}

void ExfatBuilder::set_entry(std::uint32_t cluster, std::uint32_t value) {
  image_.write_u32(fat_offset() + std::uint64_t{cluster} * 4, value);
}

void ExfatBuilder::write_cluster(std::uint32_t cluster, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > cluster_bytes()) throw std::invalid_argument("more bytes than a cluster holds");
  image_.write(cluster_offset(cluster), bytes);
}

void ExfatBuilder::write_file(const std::vector<std::uint32_t>& clusters, std::span<const std::uint8_t> contents,
                              bool chain) {
  const std::size_t per = static_cast<std::size_t>(cluster_bytes());
  if (contents.size() > clusters.size() * per) throw std::invalid_argument("contents exceed the clusters");
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const std::size_t from = i * per;
    if (from < contents.size()) write_cluster(clusters[i], contents.subspan(from, std::min(per, contents.size() - from)));
    if (chain) set_entry(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0xFFFFFFFF);
  }
}

void ExfatBuilder::add_allocation_bitmap(std::uint32_t first_cluster) {
  const std::uint64_t bytes = (std::uint64_t{layout_.cluster_count} + 7) / 8;
  const auto clusters = static_cast<std::uint32_t>((bytes + cluster_bytes() - 1) / cluster_bytes());
  const std::uint32_t root = layout_.root_cluster;
  if (root >= first_cluster && root < first_cluster + clusters) {
    throw std::invalid_argument("the bitmap would cover the root directory");
  }
  std::vector<std::uint32_t> chain;
  for (std::uint32_t i = 0; i < clusters; ++i) chain.push_back(first_cluster + i);
  write_file(chain, std::vector<std::uint8_t>(bytes, 0), true);
  std::vector<std::uint8_t> entry(32, 0);
  entry[0] = 0x81;  // Allocation Bitmap, in use; flags 0: the first FAT's bitmap
  for (int i = 0; i < 4; ++i) entry[20 + i] = static_cast<std::uint8_t>(first_cluster >> (8 * i));
  for (int i = 0; i < 8; ++i) entry[24 + i] = static_cast<std::uint8_t>(bytes >> (8 * i));
  image_.write(cluster_offset(root), entry);
  set_entry(root, 0xFFFFFFFF);
  bitmap_first_ = first_cluster;
  set_allocated(root);
  for (const auto c : chain) set_allocated(c);
}

void ExfatBuilder::set_allocated(std::uint32_t cluster, bool in_use) {
  if (bitmap_first_ == 0) throw std::logic_error("no allocation bitmap");
  if (cluster < 2 || cluster - 2 >= layout_.cluster_count) throw std::invalid_argument("not a cluster of the heap");
  const std::uint64_t at = cluster_offset(bitmap_first_) + (cluster - 2) / 8;  // the bitmap is contiguous
  const auto bit = static_cast<std::uint8_t>(1u << ((cluster - 2) % 8));
  const std::uint8_t old = image_.byte_at(at);
  image_.write_u8(at, in_use ? static_cast<std::uint8_t>(old | bit) : static_cast<std::uint8_t>(old & ~bit));
}

}  // namespace kavel_test
