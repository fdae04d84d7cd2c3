// One NTFS volume as the emulated driver sees it: the geometry, the MFT's own run list and
// in-use bitmap (both cached when the volume is loaded), the $UpCase table, and reads of
// records and attribute streams. A loaded volume is immutable apart from its directory cache
// and its cache of MFT blocks, so threads may share it; every read goes through the Reader it
// is given (all readers of one loaded volume read the same bytes).
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/ntfs_model/boot_sector.h"
#include "platform/posix/ntfs_model/mft_cache.h"
#include "platform/posix/ntfs_model/record.h"

namespace kavel_lib::platform::ntfs_model {

// Positioned reads of the volume's bytes (offset 0 is the boot sector).
class Reader {
 public:
  virtual ~Reader() = default;
  // Fills out entirely from offset, or returns false.
  [[nodiscard]] virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

// A reader over bytes held in memory (tests, fuzzing).
class MemoryReader final : public Reader {
 public:
  explicit MemoryReader(Bytes data) : data_(data) {}
  [[nodiscard]] bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  Bytes data_;
};

// A non-resident attribute's data, possibly gathered from several records.
struct Stream {
  std::vector<Run> runs;  // in VCN order
  std::uint64_t data_size = 0;
  std::uint64_t initialized_size = 0;
};

// An attribute's value, resident or not.
struct AttributeValue {
  bool resident = true;
  std::vector<std::uint8_t> value;  // resident
  Stream stream;                    // non-resident
};

enum class RecordStatus {
  Ok,
  OutOfRange,  // past the MFT's data
  Unreadable,  // the bytes could not be read
  Corrupt,     // bad signature or update sequence
};

struct JournalLocation {
  std::uint64_t record = 0;  // $UsnJrnl's record number
  std::uint64_t journal_id = 0;
  std::int64_t lowest_valid_usn = 0;
  std::uint64_t maximum_size = 0;
  std::uint64_t allocation_delta = 0;
  Stream j;  // the $J stream
};

struct DirectoryEntry;  // index.h
struct DirectoryListing;

class Volume {
 public:
  // Loads a volume: boot sector, record 0 with its run list and bitmap, $UpCase, the journal's
  // location. Errors: 1 (not NTFS), 1005 (NTFS fields out of range or record 0 unusable).
  static std::expected<std::shared_ptr<const Volume>, WinError> load(const Reader& reader);

  [[nodiscard]] const Geometry& geometry() const { return geometry_; }
  [[nodiscard]] std::uint64_t record_count() const { return record_count_; }
  [[nodiscard]] const Stream& mft() const { return mft_; }
  [[nodiscard]] std::uint64_t free_clusters(const Reader& reader) const;

  // Whether the MFT's bitmap marks the record in use.
  [[nodiscard]] bool in_use(std::uint64_t number) const;
  // The highest in-use record number at or below number (clamped to the last record).
  [[nodiscard]] std::optional<std::uint64_t> in_use_at_or_below(std::uint64_t number) const;
  // The next in-use record number at or above number.
  [[nodiscard]] std::optional<std::uint64_t> in_use_at_or_above(std::uint64_t number) const;

  // Reads record `number` through the MFT's run list and undoes its update sequence. The
  // MFT's bytes come from the volume's block cache.
  RecordStatus read_record(const Reader& reader, std::uint64_t number, std::vector<std::uint8_t>& out) const;

  // Reads [offset, offset + out.size()) of a stream: sparse runs and bytes past the initialized
  // size read as zeros, bytes past the data size are an error.
  [[nodiscard]] bool read_stream(const Reader& reader, const Stream& stream, std::uint64_t offset,
                                 std::span<std::uint8_t> out) const;

  // The value of the attribute (type, name) of a base record, following its $ATTRIBUTE_LIST
  // to extension records. A resident value or a non-resident stream description.
  [[nodiscard]] std::optional<AttributeValue> attribute_value(const Reader& reader, Bytes base_record,
                                                              std::uint64_t base_number, std::uint32_t type,
                                                              std::u16string_view name) const;
  // Reads a whole attribute value into memory, refusing more than `limit` bytes.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> read_attribute(const Reader& reader, Bytes base_record,
                                                                        std::uint64_t base_number, std::uint32_t type,
                                                                        std::u16string_view name,
                                                                        std::uint64_t limit) const;

  // Upper case of one UTF-16 unit: the volume's $UpCase table, else a built-in mapping.
  [[nodiscard]] char16_t upcase(char16_t unit) const;
  [[nodiscard]] std::u16string upcase(std::u16string_view text) const;

  [[nodiscard]] const std::optional<JournalLocation>& journal() const { return journal_; }

  // The cache of MFT blocks that record reads go through (null while the volume loads).
  [[nodiscard]] const MftBlockCache* mft_cache() const { return mft_cache_.get(); }

  // The directory listing of a folder record, cached by record number and sequence.
  std::expected<std::shared_ptr<const DirectoryListing>, WinError> directory(const Reader& reader,
                                                                              std::uint64_t number) const;

 private:
  Volume() = default;
  bool load_mft(const Reader& reader, std::vector<std::uint8_t>& record0);
  void load_upcase(const Reader& reader);
  void load_journal(const Reader& reader);

  Geometry geometry_;
  Stream mft_;
  std::uint64_t record_count_ = 0;
  std::vector<std::uint8_t> bitmap_;
  std::vector<char16_t> upcase_;  // 65536 units when the volume's table was read
  std::optional<JournalLocation> journal_;

  struct DirectoryCache;
  std::shared_ptr<DirectoryCache> directories_;
  std::unique_ptr<MftBlockCache> mft_cache_;
};

// The built-in upper-case mapping used when a volume has no readable $UpCase.
char16_t simple_upcase(char16_t unit);

}  // namespace kavel_lib::platform::ntfs_model
