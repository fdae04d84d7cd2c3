// Builds FAT12, FAT16 and FAT32 volumes byte by byte from the published FAT layout: a boot
// sector with its BIOS parameter block, the FAT copies, the FAT12/16 root-directory area and
// the data clusters. Written independently of the exporter's parser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "support/sparse_image.h"

namespace kavel_test {

enum class FatType { Fat12, Fat16, Fat32 };

struct FatLayout {
  FatType type = FatType::Fat16;
  std::uint16_t bytes_per_sector = 512;
  std::uint8_t sectors_per_cluster = 4;
  std::uint16_t reserved_sectors = 0;  // 0: 1 on FAT12/16, 32 on FAT32
  std::uint8_t fat_count = 2;
  std::uint16_t root_entries = 512;  // FAT12/16 only
  std::uint32_t cluster_count = 1000;
  std::uint32_t fat_size_sectors = 0;  // 0: just large enough for the clusters
  // Small volumes keep their total in the 16-bit field at 19 and 0 in the 32-bit one at 32.
  bool total_in_16bit_field = false;
  std::string oem_name = "MSWIN4.1";
};

class FatBuilder {
 public:
  explicit FatBuilder(FatLayout layout);

  [[nodiscard]] const FatLayout& layout() const { return layout_; }
  [[nodiscard]] std::uint32_t cluster_bytes() const;
  [[nodiscard]] std::uint32_t fat_size_sectors() const { return fat_size_; }
  [[nodiscard]] std::uint64_t total_sectors() const { return total_sectors_; }
  [[nodiscard]] std::uint64_t fat_offset() const;
  // First byte of data cluster 2.
  [[nodiscard]] std::uint64_t data_start() const;
  [[nodiscard]] std::uint64_t cluster_offset(std::uint32_t cluster) const;

  // Sets a cluster's entry in every FAT copy (12-bit entries packed two in three bytes).
  void set_entry(std::uint32_t cluster, std::uint32_t value);
  [[nodiscard]] std::uint32_t entry(std::uint32_t cluster) const;
  [[nodiscard]] std::uint32_t end_mark() const;

  void write_cluster(std::uint32_t cluster, std::span<const std::uint8_t> bytes);
  // Writes the contents along the clusters, links them in the FAT and ends the chain.
  void write_file(const std::vector<std::uint32_t>& clusters, std::span<const std::uint8_t> contents);
  // Deletes as FAT drivers do: the entries of the clusters become 0, the data stays.
  void free_clusters(const std::vector<std::uint32_t>& clusters);

  SparseImage& image() { return image_; }
  [[nodiscard]] const SparseImage& image() const { return image_; }
  void save(const std::filesystem::path& path) const { image_.save(path); }

 private:
  FatLayout layout_;
  std::uint32_t fat_size_ = 0;
  std::uint64_t total_sectors_ = 0;
  SparseImage image_;
};

// Bytes of a recognisable pattern (seeded so different files differ).
std::vector<std::uint8_t> pattern_bytes(std::size_t length, std::uint32_t seed);

}  // namespace kavel_test
