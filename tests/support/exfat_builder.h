// Builds exFAT volumes byte by byte from the published exFAT layout: the main boot sector,
// the FAT and the cluster heap. Directory entries are left to the tests that need them.
// Written independently of the exporter's parser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "support/sparse_image.h"

namespace kavel_test {

struct ExfatLayout {
  std::uint8_t sector_shift = 9;   // bytes per sector = 2^sector_shift
  std::uint8_t cluster_shift = 3;  // sectors per cluster = 2^cluster_shift
  std::uint32_t fat_offset_sectors = 24;
  std::uint32_t cluster_count = 1000;
  std::uint32_t heap_offset_sectors = 0;  // 0: right after the FAT, cluster aligned
  std::uint32_t root_cluster = 4;
};

class ExfatBuilder {
 public:
  explicit ExfatBuilder(ExfatLayout layout);

  [[nodiscard]] const ExfatLayout& layout() const { return layout_; }
  [[nodiscard]] std::uint64_t bytes_per_sector() const { return std::uint64_t{1} << layout_.sector_shift; }
  [[nodiscard]] std::uint64_t cluster_bytes() const { return bytes_per_sector() << layout_.cluster_shift; }
  [[nodiscard]] std::uint64_t heap_offset() const { return std::uint64_t{layout_.heap_offset_sectors} * bytes_per_sector(); }
  [[nodiscard]] std::uint64_t fat_offset() const { return std::uint64_t{layout_.fat_offset_sectors} * bytes_per_sector(); }
  [[nodiscard]] std::uint64_t cluster_offset(std::uint32_t cluster) const;

  void set_entry(std::uint32_t cluster, std::uint32_t value);
  void write_cluster(std::uint32_t cluster, std::span<const std::uint8_t> bytes);
  // Writes the contents along the clusters; with `chain` they are also linked in the FAT and
  // the chain is ended with 0xFFFFFFFF (without it the file is contiguous: no FAT entries).
  void write_file(const std::vector<std::uint32_t>& clusters, std::span<const std::uint8_t> contents, bool chain);

  SparseImage& image() { return image_; }
  [[nodiscard]] const SparseImage& image() const { return image_; }

 private:
  ExfatLayout layout_;
  SparseImage image_;
};

}  // namespace kavel_test
