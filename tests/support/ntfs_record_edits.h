// Edits of a built NTFS image for tests that need records the volume builder does not write:
// a file whose $DATA is split over extension records named by an $ATTRIBUTE_LIST (resident or
// non-resident), sparse runs, a "BAAD" record, a record copied to another place of the MFT.
//
// Records are composed here with the builder's byte-level pieces (format::serialize and
// format::protect) and put into the built image at a record number of the caller's choice;
// clusters are reserved beforehand by adding to the builder a deleted file whose clusters
// each begin with a marker (reserve_clusters), then found again in the image by that marker.
// Like the builder, this shares no code with the readers under test.
//
// Usage:
//   VolumeBuilder b;
//   auto reserve = reserve_clusters(b, "payload", 6);          // before build()
//   auto image = b.build();
//   ImageEdits edits(*image, options, b.mft_extents());
//   auto lcns = edits.find_reserved("payload", 6);             // the clusters, in order
//   edits.write_cluster(lcns[0], bytes);
//   edits.put_record(120, compose_record({...}));
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/ntfs_builder.h"
#include "support/ntfs_builder_format.h"

namespace kavel_test::ntfs {

// Adds a deleted file of `clusters` clusters whose clusters begin with "<tag>#<index>;" and
// are otherwise filled with '.', so that their places can be found in the built image.
// Returns its record number.
std::uint64_t reserve_clusters(VolumeBuilder& builder, std::string_view tag, std::uint64_t clusters,
                               std::uint32_t cluster_size = 4096);

// One attribute of a composed record.
struct ComposedAttribute {
  std::uint32_t type = 0;
  std::u16string name{};
  bool resident = true;
  format::Bytes value{};                 // resident
  std::uint64_t lowest_vcn = 0;          // non-resident: first VCN of this extent
  std::vector<format::Run> runs{};       // non-resident: this extent's runs (lcn < 0 sparse)
  std::uint64_t data_size = 0;           // non-resident: the stream's size (0 in later extents)
  std::uint16_t flags = 0;               // 0x8000 sparse
  std::optional<std::uint64_t> allocated_size{};  // non-resident: default the extent's clusters
  std::optional<std::uint64_t> initialized_size{};  // non-resident: default the data size
};

struct ComposedRecord {
  std::uint32_t record_size = 1024;
  std::uint64_t number = 0;
  std::uint16_t sequence = 1;
  std::uint16_t flags = 0;               // 1 in use; 0 for a deleted file
  std::uint64_t base_reference = 0;      // extension records: their base record's reference
  std::vector<ComposedAttribute> attributes{};  // written in this order
  std::uint32_t cluster_size = 4096;
};

// The record in its on-disk form (update sequence applied); nothing when it overflows.
std::optional<format::Bytes> compose_record(const ComposedRecord& desc);

// One $ATTRIBUTE_LIST entry naming an attribute and the record that holds it.
format::Bytes attribute_list_entry(std::uint32_t type, std::u16string_view name, std::uint64_t lowest_vcn,
                                   std::uint64_t record_reference, std::uint16_t attribute_id = 0);

// The usual head of a file record: $STANDARD_INFORMATION and one Win32 $FILE_NAME.
std::vector<ComposedAttribute> file_head(std::uint64_t parent_reference, std::string_view name, std::uint64_t size);

class ImageEdits {
 public:
  // `image` is the builder's image (the disk when Options::disk_offset is set).
  ImageEdits(std::vector<std::uint8_t>& image, const Options& options,
             std::vector<std::pair<std::uint64_t, std::uint64_t>> mft_extents);

  // Byte offset in the image of cluster `lcn` and of record `n` (through the MFT's extents).
  [[nodiscard]] std::uint64_t cluster_offset(std::uint64_t lcn) const;
  [[nodiscard]] std::optional<std::uint64_t> record_offset(std::uint64_t n) const;

  // The clusters reserve_clusters(tag, count) got, in order; nothing when one is missing.
  [[nodiscard]] std::optional<std::vector<std::uint64_t>> find_reserved(std::string_view tag,
                                                                        std::uint64_t count) const;

  // Writes bytes from the start of a cluster (and on into the next ones).
  void write_cluster(std::uint64_t lcn, const format::Bytes& bytes);
  // Replaces record n (on-disk form); false when n lies outside the MFT.
  bool put_record(std::uint64_t n, const format::Bytes& record);
  // Record n as it lies on disk (update sequence not undone).
  [[nodiscard]] std::optional<format::Bytes> record(std::uint64_t n) const;
  // Writes bytes at a byte offset of the volume.
  void write_volume(std::uint64_t offset, const format::Bytes& bytes);
  // Replaces the signature of record n ("BAAD", "FILE" or anything of 4 bytes).
  bool set_signature(std::uint64_t n, std::string_view signature);

 private:
  std::vector<std::uint8_t>& image_;
  Options options_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mft_extents_;
};

}  // namespace kavel_test::ntfs
