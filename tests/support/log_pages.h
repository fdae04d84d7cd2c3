// Hand-made $LogFile bytes for the tests of the transaction scan: 4096-byte pages with a
// marker, NTFS client log record headers placed at chosen offsets and the name records of
// their redo data. Written from the published layouts, independently of the scanner's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavel_test {

// The fields of a client log record header that the tests set.
struct LogHeader {
  std::uint16_t redo_operation = 0;
  std::uint16_t undo_operation = 0;
  std::uint16_t redo_offset = 0x28;
  std::uint16_t redo_length = 0;
  std::uint16_t cluster_block_offset = 0;  // 512-byte units
  std::uint16_t record_divisor = 0;        // 512-byte units
  std::int64_t target_vcn = 0;
};

// A name record: parent reference, record reference, namespace and UTF-16 name (ASCII text).
struct LogName {
  std::uint64_t parent = 0;
  std::uint64_t reference = 0;
  std::string name;
  std::uint8_t name_space = 1;  // 1 Win32, 2 DOS
};

// The bytes of a name record (0x42 + 2 x name units), unused fields filled as a $FILE_NAME
// value's times and sizes would be.
std::vector<std::uint8_t> name_record_bytes(const LogName& name);

class LogBytes {
 public:
  static constexpr std::size_t kPage = 4096;
  // Bytes not written read as an unused log page does (0xFF), so that no stray run of zeros
  // looks like a header to the search.
  static constexpr std::uint8_t kFill = 0xFF;
  static constexpr std::uint8_t kNameFill = 0xEE;

  // `pages` pages of unused log.
  explicit LogBytes(std::size_t pages = 0);

  // Writes four marker bytes ("RCRD", "CHKD", ...) at the start of page n.
  void mark_page(std::size_t page, const char (&marker)[5]);
  // Writes the header fields that LogHeader holds at offset (the other bytes stay as they are).
  void put_header(std::size_t offset, const LogHeader& header);
  // Writes the name record at offset; returns its length (0x42 + 2 x name units).
  std::size_t put_name(std::size_t offset, const LogName& name);
  void put_u16(std::size_t offset, std::uint16_t value);
  void put_u64(std::size_t offset, std::uint64_t value);

  // Header of operation 3 (undo 2) with a target position, and no data beyond one byte.
  static LogHeader deallocate(std::int64_t vcn, std::uint16_t block_offset, std::uint16_t divisor);
  // A header of `operation` (6 or 13) whose redo data, at redo_offset, holds a name record.
  // Places both; returns the offset just past the redo data.
  std::size_t put_named(std::size_t offset, std::uint16_t operation, const LogName& name,
                        std::uint16_t redo_offset = 0x28);

  std::vector<std::uint8_t>& bytes() { return bytes_; }
  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  void grow(std::size_t end);
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kavel_test
