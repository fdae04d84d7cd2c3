// Builds exFAT volumes byte by byte from the published exFAT layout: the main boot sector,
// the FAT and the cluster heap, and on request the allocation bitmap with its entry in the root
// directory. Other directory entries are left to the tests that need them.
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

  // Writes an allocation bitmap, all clear, into the clusters from `first_cluster` on (linked
  // in the FAT), names it by an Allocation Bitmap entry (type 0x81) at the start of the root
  // directory's cluster (which becomes a chain of its own), and marks the root directory's
  // and the bitmap's clusters in use.
  void add_allocation_bitmap(std::uint32_t first_cluster);
  // Sets or clears a cluster's bit in the bitmap (add_allocation_bitmap first).
  void set_allocated(std::uint32_t cluster, bool in_use = true);

  SparseImage& image() { return image_; }
  [[nodiscard]] const SparseImage& image() const { return image_; }

 private:
  ExfatLayout layout_;
  SparseImage image_;
  std::uint32_t bitmap_first_ = 0;  // 0: no bitmap
};

}  // namespace kavel_test
