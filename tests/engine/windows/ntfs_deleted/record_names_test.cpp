#include "engine/windows/ntfs_deleted/record_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kavel_lib::engine::windows {
namespace {

// A FILE record written byte by byte: header, then attributes from 0x38.
class RecordBytes {
 public:
  explicit RecordBytes(std::size_t size = 1024) : bytes_(size, 0) {
    std::memcpy(bytes_.data(), "FILE", 4);
    put16(0x14, 0x38);
  }

  // A resident $FILE_NAME (type 0x30) with the name in UTF-16LE (ASCII names only).
  RecordBytes& file_name(std::uint64_t parent_ref, const std::string& name, std::uint8_t name_space = 1,
                         std::uint64_t allocated = 4096, std::uint64_t modified = 0x01D9000000000000ull) {
    const std::size_t value_len = 66 + 2 * name.size();
    const std::size_t attr_len = (24 + value_len + 7) & ~std::size_t{7};
    const std::size_t a = cursor_;
    put32(a, 0x30);
    put32(a + 4, static_cast<std::uint32_t>(attr_len));
    bytes_[a + 8] = 0;
    put32(a + 0x10, static_cast<std::uint32_t>(value_len));
    put16(a + 0x14, 24);
    const std::size_t v = a + 24;
    put64(v, parent_ref);
    put64(v + 0x10, modified);
    put64(v + 0x28, allocated);
    bytes_[v + 64] = static_cast<std::uint8_t>(name.size());
    bytes_[v + 65] = name_space;
    for (std::size_t i = 0; i < name.size(); ++i) bytes_[v + 66 + 2 * i] = static_cast<std::uint8_t>(name[i]);
    cursor_ += attr_len;
    return *this;
  }
  // A non-resident attribute of the type (its value is not read).
  RecordBytes& non_resident(std::uint32_t type) {
    put32(cursor_, type);
    put32(cursor_ + 4, 0x48);
    bytes_[cursor_ + 8] = 1;
    cursor_ += 0x48;
    return *this;
  }
  RecordBytes& raw_attribute_length(std::uint32_t type, std::uint32_t length) {
    put32(cursor_, type);
    put32(cursor_ + 4, length);
    return *this;
  }
  RecordBytes& end() {
    put32(cursor_, 0xFFFFFFFF);
    return *this;
  }
  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  void put16(std::size_t o, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) bytes_[o + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void put32(std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[o + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void put64(std::size_t o, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_[o + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t cursor_ = 0x38;
};

constexpr std::uint64_t kSeq = 3ull << 48;

TEST(RecordDetail, TakesNamesWhoseParentIsInTheSet) {
  RecordBytes r;
  r.file_name(100 | kSeq, "REPORT~1.DOC", 2)  // DOS name: skipped
      .file_name(100 | kSeq, "Report.docx", 1, 8192, 777)
      .file_name(200, "Elsewhere.txt")
      .file_name(100, "Report.docx")  // same name again: skipped
      .end();
  const auto sources = record_detail(r.bytes(), {100});
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0], (DeletedEntrySource{"Report.docx", 100, 8192, 777}));
  EXPECT_TRUE(record_detail(r.bytes(), {}).empty());
}

TEST(RecordDetail, ShortAndMalformedRecordsEndTheWalk) {
  EXPECT_TRUE(record_detail(std::vector<std::uint8_t>(47, 0), {100}).empty());
  RecordBytes r;
  r.file_name(100, "kept.txt").raw_attribute_length(0x30, 8);  // a length below 24 ends the walk
  EXPECT_EQ(record_detail(r.bytes(), {100}).size(), 1u);
  RecordBytes past;
  past.file_name(100, "kept.txt").raw_attribute_length(0x30, 0x10000);  // reaches past the record
  EXPECT_EQ(record_detail(past.bytes(), {100}).size(), 1u);
  // A name longer than its attribute's room is passed over without reading past the record.
  RecordBytes tiny(0x38 + 96 + 8);
  tiny.file_name(100, "ab");
  std::vector<std::uint8_t> cut = tiny.bytes();
  cut[0x38 + 24 + 64] = 200;  // claims 200 UTF-16 units
  EXPECT_TRUE(record_detail(cut, {100}).empty());
}

TEST(CollectFileNames, AllNonDosNamesInOrderWithoutParentTest) {
  RecordBytes r;
  r.file_name(7 | kSeq, "a.txt").non_resident(0x80).file_name(9, "B", 2).file_name(9, "b.txt").end();
  const auto names = collect_file_names(r.bytes());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], (std::pair<std::uint64_t, std::string>{7, "a.txt"}));
  EXPECT_EQ(names[1], (std::pair<std::uint64_t, std::string>{9, "b.txt"}));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
