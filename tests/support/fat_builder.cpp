#include "support/fat_builder.h"

#include <stdexcept>

namespace kavel_test {

namespace {

std::uint32_t entry_bits(FatType type) {
  switch (type) {
    case FatType::Fat12: return 12;
    case FatType::Fat16: return 16;
    case FatType::Fat32: return 32;
  }
  return 16;
}

}  // namespace

FatBuilder::FatBuilder(FatLayout layout) : layout_(std::move(layout)) {
  const bool fat32 = layout_.type == FatType::Fat32;
  if (layout_.reserved_sectors == 0) layout_.reserved_sectors = fat32 ? 32 : 1;
  if (fat32) layout_.root_entries = 0;
  const std::uint64_t bps = layout_.bytes_per_sector;
  fat_size_ = layout_.fat_size_sectors;
  if (fat_size_ == 0) {
    const std::uint64_t fat_bytes = (std::uint64_t{layout_.cluster_count} + 2) * entry_bits(layout_.type) / 8 + 2;
    fat_size_ = static_cast<std::uint32_t>((fat_bytes + bps - 1) / bps);
  }
  const std::uint64_t root_sectors = (std::uint64_t{layout_.root_entries} * 32 + bps - 1) / bps;
  total_sectors_ = layout_.reserved_sectors + std::uint64_t{layout_.fat_count} * fat_size_ + root_sectors +
                   std::uint64_t{layout_.cluster_count} * layout_.sectors_per_cluster;
  if (layout_.total_in_16bit_field && total_sectors_ > 0xFFFF) {
    throw std::invalid_argument("volume too large for the 16-bit total");
  }
  image_.resize(total_sectors_ * bps);

  // Boot sector and BIOS parameter block.
  const std::uint8_t jump[3] = {0xEB, static_cast<std::uint8_t>(fat32 ? 0x58 : 0x3C), 0x90};
  image_.write(0, jump);
  std::string oem = layout_.oem_name;
  oem.resize(8, ' ');
  image_.write_text(3, oem);
  image_.write_u16(11, layout_.bytes_per_sector);
  image_.write_u8(13, layout_.sectors_per_cluster);
  image_.write_u16(14, layout_.reserved_sectors);
  image_.write_u8(16, layout_.fat_count);
  image_.write_u16(17, layout_.root_entries);
  if (layout_.total_in_16bit_field) {
    image_.write_u16(19, static_cast<std::uint16_t>(total_sectors_));
    image_.write_u32(32, 0);
  } else {
    image_.write_u16(19, 0);
    image_.write_u32(32, static_cast<std::uint32_t>(total_sectors_));
  }
  image_.write_u8(21, 0xF8);  // fixed disk
  image_.write_u16(24, 63);   // sectors per track
  image_.write_u16(26, 255);  // heads
  if (fat32) {
    image_.write_u16(22, 0);
    image_.write_u32(36, fat_size_);
    image_.write_u32(44, 2);   // root directory cluster
    image_.write_u16(48, 1);   // FSInfo sector
    image_.write_u16(50, 6);   // backup boot sector
    image_.write_u8(64, 0x80);
    image_.write_u8(66, 0x29);
    image_.write_u32(67, 0x12345678);
    image_.write_text(71, "BUILDER    ");
    image_.write_text(82, "FAT32   ");
  } else {
    image_.write_u16(22, static_cast<std::uint16_t>(fat_size_));
    image_.write_u8(36, 0x80);
    image_.write_u8(38, 0x29);
    image_.write_u32(39, 0x12345678);
    image_.write_text(43, "BUILDER    ");
    image_.write_text(54, layout_.type == FatType::Fat12 ? "FAT12   " : "FAT16   ");
  }
  image_.write_u8(510, 0x55);
  image_.write_u8(511, 0xAA);

  // Reserved entries 0 (media) and 1 (end of chain).
  set_entry(0, (end_mark() & ~0xFFu) | 0xF8);
  set_entry(1, end_mark() | 0x7);
  if (fat32) write_file({2}, {});  // root directory: one cluster, end of chain
}

std::uint32_t FatBuilder::cluster_bytes() const {
  return std::uint32_t{layout_.bytes_per_sector} * layout_.sectors_per_cluster;
}

std::uint64_t FatBuilder::fat_offset() const {
  return std::uint64_t{layout_.reserved_sectors} * layout_.bytes_per_sector;
}

std::uint64_t FatBuilder::data_start() const {
  const std::uint64_t bps = layout_.bytes_per_sector;
  const std::uint64_t root_sectors = (std::uint64_t{layout_.root_entries} * 32 + bps - 1) / bps;
  return (layout_.reserved_sectors + std::uint64_t{layout_.fat_count} * fat_size_ + root_sectors) * bps;
}

std::uint64_t FatBuilder::cluster_offset(std::uint32_t cluster) const {
  if (cluster < 2) throw std::invalid_argument("clusters are numbered from 2");
  return data_start() + std::uint64_t{cluster - 2} * cluster_bytes();
}

std::uint32_t FatBuilder::end_mark() const {
  switch (layout_.type) {
    case FatType::Fat12: return 0xFF8;
    case FatType::Fat16: return 0xFFF8;
    case FatType::Fat32: return 0x0FFFFFF8;
  }
  return 0xFFF8;
}

void FatBuilder::set_entry(std::uint32_t cluster, std::uint32_t value) {
  const std::uint64_t fat_bytes = std::uint64_t{fat_size_} * layout_.bytes_per_sector;
  for (std::uint32_t copy = 0; copy < layout_.fat_count; ++copy) {
    const std::uint64_t base = fat_offset() + copy * fat_bytes;
    switch (layout_.type) {
      case FatType::Fat12: {
        const std::uint64_t at = base + cluster + cluster / 2;
        const std::uint16_t old = static_cast<std::uint16_t>(image_.byte_at(at) | (image_.byte_at(at + 1) << 8));
        const std::uint16_t v = static_cast<std::uint16_t>(value & 0xFFF);
        const std::uint16_t packed = (cluster & 1) ? static_cast<std::uint16_t>((old & 0x000F) | (v << 4))
                                                   : static_cast<std::uint16_t>((old & 0xF000) | v);
        image_.write_u16(at, packed);
        break;
      }
      case FatType::Fat16:
        image_.write_u16(base + std::uint64_t{cluster} * 2, static_cast<std::uint16_t>(value));
        break;
      case FatType::Fat32: {
        // The top four bits are reserved and kept as they are.
        const std::uint64_t at = base + std::uint64_t{cluster} * 4;
        const std::uint32_t top = static_cast<std::uint32_t>(image_.byte_at(at + 3) & 0xF0) << 24;
        image_.write_u32(at, top | (value & 0x0FFFFFFF));
        break;
      }
    }
  }
}

std::uint32_t FatBuilder::entry(std::uint32_t cluster) const {
  const std::uint64_t base = fat_offset();
  switch (layout_.type) {
    case FatType::Fat12: {
      const std::uint64_t at = base + cluster + cluster / 2;
      const std::uint32_t pair = image_.byte_at(at) | (image_.byte_at(at + 1) << 8);
      return (cluster & 1) ? pair >> 4 : pair & 0xFFF;
    }
    case FatType::Fat16:
      return image_.byte_at(base + cluster * 2ull) | (image_.byte_at(base + cluster * 2ull + 1) << 8);
    case FatType::Fat32: {
      std::uint32_t v = 0;
      for (int i = 3; i >= 0; --i) v = (v << 8) | image_.byte_at(base + cluster * 4ull + i);
      return v & 0x0FFFFFFF;
    }
  }
  return 0;
}

void FatBuilder::write_cluster(std::uint32_t cluster, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > cluster_bytes()) throw std::invalid_argument("more bytes than a cluster holds");
  image_.write(cluster_offset(cluster), bytes);
}

void FatBuilder::write_file(const std::vector<std::uint32_t>& clusters, std::span<const std::uint8_t> contents) {
  const std::size_t per = cluster_bytes();
  if (contents.size() > clusters.size() * per) throw std::invalid_argument("contents exceed the clusters");
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const std::size_t from = i * per;
    if (from < contents.size()) {
      write_cluster(clusters[i], contents.subspan(from, std::min(per, contents.size() - from)));
    }
    set_entry(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : end_mark() | 0x7);
  }
}

void FatBuilder::free_clusters(const std::vector<std::uint32_t>& clusters) {
  for (const auto c : clusters) set_entry(c, 0);
}

std::vector<std::uint8_t> pattern_bytes(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> out(length);
  std::uint32_t x = seed * 2654435761u + 1;
  if (x == 0) x = 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

}  // namespace kavel_test
