// The record parser against a journal that Windows wrote, with Windows' own listing of it
// (fsutil usn readjournal) as the oracle.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/windows/scan_records.h"
#include "engine/windows/usn_deleted/usn_record.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

struct FsutilEntry {
  std::optional<std::string> name;
  std::uint32_t reason = 0;
  std::uint64_t file = 0;    // low 64 bits of the 128-bit id
  std::uint64_t parent = 0;  // low 64 bits
  int major = 0;
};

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
  std::size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  return s.substr(b);
}

// "Key   : value" lines; a block starts with "Usn". The 128-bit ids print as 32 hex digits.
std::map<std::int64_t, FsutilEntry> parse_fsutil(const std::filesystem::path& path) {
  std::map<std::int64_t, FsutilEntry> out;
  std::ifstream in(path);
  std::string line;
  FsutilEntry* current = nullptr;
  while (std::getline(in, line)) {
    const auto colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    const std::string key = trim(line.substr(0, colon));
    const std::string value = trim(line.substr(colon + 3));
    if (key == "Usn") {
      current = &out[std::stoll(value)];
      continue;
    }
    if (current == nullptr) continue;
    if (key == "File name") current->name = value;
    if (key == "Reason") current->reason = static_cast<std::uint32_t>(std::stoul(value.substr(0, 10), nullptr, 16));
    if (key == "File ID") current->file = std::stoull(value.substr(16, 16), nullptr, 16);
    if (key == "Parent file ID") current->parent = std::stoull(value.substr(16, 16), nullptr, 16);
    if (key == "Major version") current->major = std::stoi(value);
  }
  return out;
}

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(UsnWindowsJournal, EveryRecordMatchesWindowsOwnListing) {
  const auto dir = kavel_test::test_data_dir() / "windows-journal";
  if (auto why = kavel_test::test_data_missing({"windows-journal/usnjrnlj.bin", "windows-journal/usnjrnlj.fsutil.txt"})) {
    GTEST_SKIP() << *why;
  }
  const auto oracle = parse_fsutil(dir / "usnjrnlj.fsutil.txt");
  ASSERT_EQ(oracle.size(), 268u);
  const auto journal = read_bytes(dir / "usnjrnlj.bin");

  std::size_t parsed = 0, v2 = 0, v4 = 0;
  std::vector<std::int64_t> without_entry;
  std::set<std::int64_t> matched;
  for_each_usn_record(journal, [&](const ParsedUsnRecord& r, std::size_t at) {
    ++parsed;
    // The stream holds USN 0 at byte 0: a record's offset is its USN.
    const auto usn = static_cast<std::int64_t>(at);
    const auto it = oracle.find(usn);
    if (it == oracle.end()) {
      without_entry.push_back(usn);
      return;
    }
    matched.insert(usn);
    const FsutilEntry& e = it->second;
    EXPECT_EQ(r.frn, e.file & kFrnMask) << usn;
    EXPECT_EQ(r.parent, e.parent & kFrnMask) << usn;
    EXPECT_EQ(r.reason, e.reason) << usn;
    if (e.major == 4) {
      ++v4;
      EXPECT_TRUE(r.name.empty()) << usn;
    } else {
      ++v2;
      ASSERT_TRUE(e.name) << usn;
      EXPECT_EQ(r.name, *e.name) << usn;
    }
  });
  EXPECT_EQ(parsed, 271u);
  EXPECT_EQ(v2, 261u);
  EXPECT_EQ(v4, 7u);
  EXPECT_EQ(without_entry, (std::vector<std::int64_t>{29792, 29880, 29968}));
  EXPECT_EQ(matched.size(), oracle.size()) << "every listed record was found";
}

TEST(UsnWindowsJournal, SingleRecordFiles) {
  const auto dir = kavel_test::test_data_dir() / "windows-journal";
  if (auto why = kavel_test::test_data_missing({"windows-journal/usn_1170953448.bin", "windows-journal/usn_1170955904.bin",
                                                "windows-journal/usn_1170989584.bin", "windows-journal/usn_1170990440.bin"})) {
    GTEST_SKIP() << *why;
  }
  auto large = parse_usn_record(read_bytes(dir / "usn_1170953448.bin"), 0);
  ASSERT_TRUE(large);
  EXPECT_EQ(large->name, "large_file.txt");
  EXPECT_EQ(large->frn, 0x13252u);
  EXPECT_EQ(large->parent, 0x9EBu);
  EXPECT_EQ(large->reason, 0x80000001u);
  auto range = parse_usn_record(read_bytes(dir / "usn_1170989584.bin"), 0);
  ASSERT_TRUE(range);
  EXPECT_TRUE(range->name.empty());
  EXPECT_EQ(range->frn, 0x13DE8u);
  EXPECT_EQ(range->parent, 0x1076u);
  EXPECT_EQ(range->record_length, 80u);
  // Every single-record file parses whole, and none parses when cut short by a byte.
  for (const char* name : {"usn_1170953448.bin", "usn_1170955904.bin", "usn_1170989584.bin", "usn_1170990440.bin"}) {
    const auto bytes = read_bytes(dir / name);
    auto r = parse_usn_record(bytes, 0);
    ASSERT_TRUE(r) << name;
    EXPECT_EQ(r->record_length, bytes.size()) << name;
    EXPECT_FALSE(parse_usn_record(std::span<const std::uint8_t>(bytes).first(bytes.size() - 1), 0)) << name;
  }
}

}  // namespace
}  // namespace kavel_lib::engine::windows
