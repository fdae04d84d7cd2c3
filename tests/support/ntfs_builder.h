// A synthetic NTFS volume, written byte by byte from a description.
//
// The builder writes the published on-disk formats (boot sector and its backup, the MFT with
// update sequences, the system files, directory indexes with $INDEX_ROOT, INDX blocks and
// their $BITMAP, $Extend\$UsnJrnl, $LogFile restart and record pages) and shares no code with
// the readers it is meant to test: the model behind the seam and the engine's parsers.
//
// Usage:
//   kavel_test::ntfs::VolumeBuilder b;                         // 16 MiB, 4 KiB clusters, 1 KiB records
//   auto docs = b.add_folder(b.root(), "docs");
//   auto keep = b.add_file(docs, "keep.txt", "hello");         // resident $DATA
//   auto big  = b.add_file(docs, "big.bin", std::string(50000, 'x'), {.fragments = 3});
//   auto gone = b.add_file(docs, "gone.txt", "bye", {.deleted = true});
//   b.set_usn_journal({.records = {{.version = 2, .file_reference = b.reference(gone),
//                                   .parent_reference = b.reference(docs), .reason = 0x200,
//                                   .name = "gone.txt"}}});
//   auto image = b.build();                                    // std::expected<bytes, text>
//   b.write(path);                                             // the same image into a file
//
// Record numbers are handed out when an entry is added (from Options::first_user_record on, or
// EntryOptions::record), so USN and log records can name them before the volume is built.
// `reference(n)` is the reference the file had while in use (the sequence number it was
// given); a deleted record carries that sequence number plus one on disk.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavel_test::ntfs {

// FILETIME of 2024-01-02 03:04:05 UTC, the times of every entry unless told otherwise.
inline constexpr std::uint64_t kDefaultTime = 133486358450000000ull;

enum class Residency {
  Auto,         // resident when the value fits comfortably in the record
  Resident,     // inside the FILE record
  NonResident,  // in clusters, through data runs
};

// What becomes of a deleted entry's name in its folder's index.
enum class DeletedIndexEntry {
  Removed,       // gone, as NTFS leaves it
  KeptInIndex,   // still a live entry of the index (a stale entry naming a free record)
  InFreedBlock,  // in an INDX block whose bit is clear in the index $BITMAP
};

struct NamedStream {
  std::string name{};  // UTF-8
  std::string data{};
  Residency residency = Residency::Auto;
};

struct EntryOptions {
  std::optional<std::string> dos_name{};  // a short 8.3 name beside the long one
  Residency residency = Residency::Auto;  // files: where the unnamed $DATA lives
  unsigned fragments = 1;                 // files: extents of non-resident data, with gaps between
  std::vector<NamedStream> streams{};       // files: named $DATA streams
  bool deleted = false;                   // in-use flag clear, sequence raised, clusters freed
  DeletedIndexEntry index_entry = DeletedIndexEntry::Removed;
  std::uint16_t sequence = 1;             // sequence number while the entry is in use
  std::optional<std::uint32_t> attributes{};  // FILE_ATTRIBUTE_* (default archive for files)
  std::uint64_t usn = 0;                    // last USN kept in $STANDARD_INFORMATION
  std::uint64_t time = kDefaultTime;        // the four times, FILETIME
  std::optional<std::uint32_t> reparse_tag{};  // adds a $REPARSE_POINT carrying that tag
  std::optional<std::uint64_t> record{};       // a record number of the caller's choice
};

// One record of $J. The builder assigns its USN (its byte offset in $J).
struct UsnRecordSpec {
  std::uint16_t version = 2;  // 2, 3 or 4
  std::uint64_t file_reference = 0;
  std::uint64_t parent_reference = 0;
  std::uint64_t file_reference_high = 0;    // V3 and V4: the upper half of the 128-bit id
  std::uint64_t parent_reference_high = 0;  // V3 and V4
  std::uint32_t reason = 0;
  std::string name{};  // V2 and V3, UTF-8
  std::int64_t time_stamp = 0;
  std::uint32_t attributes = 0;
  std::uint32_t source_info = 0;
  std::uint32_t security_id = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> extents{};  // V4: (offset, length)
};

struct UsnJournalSpec {
  std::uint64_t journal_id = 0x01D0C0FFEE000001ull;
  std::uint64_t sparse_head = 0;  // bytes of sparse $J before the first record (whole clusters)
  std::uint64_t maximum_size = 32u << 20;
  std::uint64_t allocation_delta = 4u << 20;
  std::optional<std::int64_t> lowest_valid_usn{};  // default: sparse_head
  std::vector<UsnRecordSpec> records{};
};

// One NTFS client record of $LogFile (the LFS record header is written around it).
struct LogRecordSpec {
  std::uint16_t redo_operation = 0;
  std::uint16_t undo_operation = 0;
  std::vector<std::uint8_t> redo_data{};
  std::vector<std::uint8_t> undo_data{};
  std::uint16_t target_attribute = 0;
  std::uint16_t record_offset = 0;
  std::uint16_t attribute_offset = 0;
  std::uint16_t cluster_block_offset = 0;  // 512-byte units
  std::uint16_t target_block_size = 0;     // 512-byte units ("record divisor")
  std::int64_t target_vcn = 0;
  std::vector<std::int64_t> lcns{};
  std::uint32_t transaction_id = 0;
};

struct LogFileSpec {
  std::uint64_t size = 1u << 20;  // whole 4 KiB pages, at least 8
  bool restart_pages = true;      // two RSTR pages at the start
  std::int16_t major_version = 1;
  std::int16_t minor_version = 1;
  std::vector<LogRecordSpec> records{};  // packed into RCRD pages from page 4 on
};

struct Options {
  std::uint32_t bytes_per_sector = 512;
  std::uint32_t cluster_size = 4096;
  std::uint32_t record_size = 1024;  // 1024 or 4096
  std::uint32_t index_block_size = 4096;
  std::uint64_t volume_size = 16u << 20;
  std::uint64_t serial_number = 0x4B4156454C4E5446ull;
  std::string label = "KAVEL";
  std::uint64_t first_user_record = 64;
  std::uint64_t spare_records = 16;  // free records at the end of the MFT
  unsigned mft_fragments = 1;        // extents of the $MFT's data
  bool mft_bitmap_resident = false;  // the MFT's $BITMAP inside record 0
  // Non-zero: the image is a disk with an MBR whose one partition (type 0x07) holds the volume
  // at this byte offset.
  std::uint64_t disk_offset = 0;
};

class VolumeBuilder {
 public:
  explicit VolumeBuilder(Options options = {});

  [[nodiscard]] static constexpr std::uint64_t root() { return 5; }
  [[nodiscard]] static constexpr std::uint64_t extend() { return 11; }

  // Adds a folder or a file under a folder; returns its record number.
  std::uint64_t add_folder(std::uint64_t parent, std::string name, EntryOptions options = {});
  std::uint64_t add_file(std::uint64_t parent, std::string name, std::string data, EntryOptions options = {});

  void set_usn_journal(UsnJournalSpec journal) { journal_ = std::move(journal); }
  void set_log_file(LogFileSpec log) { log_ = std::move(log); }

  // The reference an entry had while in use: number | sequence << 48.
  [[nodiscard]] std::uint64_t reference(std::uint64_t record) const;
  // The USNs given to the journal's records, in order (known after build()).
  [[nodiscard]] const std::vector<std::int64_t>& usns() const { return usns_; }
  // Where the MFT's data lies: (first cluster, cluster count) per extent (known after build()).
  [[nodiscard]] const std::vector<std::pair<std::uint64_t, std::uint64_t>>& mft_extents() const { return mft_extents_; }

  // The image: the volume, or the disk holding it when Options::disk_offset is set. A text
  // says what in the description cannot be built.
  std::expected<std::vector<std::uint8_t>, std::string> build();
  // build() into a file (created or truncated).
  std::expected<void, std::string> write(const std::filesystem::path& path);

  struct Entry {
    std::uint64_t record = 0;
    std::uint64_t parent = 0;
    std::string name{};
    bool folder = false;
    std::string data{};
    EntryOptions options{};
  };

 private:
  std::uint64_t add(std::uint64_t parent, std::string name, bool folder, std::string data, EntryOptions options);

  Options options_;
  std::map<std::uint64_t, Entry> entries_{};  // by record number
  std::uint64_t next_record_{};
  std::optional<UsnJournalSpec> journal_{};
  std::optional<LogFileSpec> log_{};
  std::vector<std::int64_t> usns_{};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mft_extents_{};
  std::string error_{};
};

// The record number a USN journal gets in a built volume ($Extend\$UsnJrnl).
inline constexpr std::uint64_t kUsnJournalRecord = 24;

}  // namespace kavel_test::ntfs
