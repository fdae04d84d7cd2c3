#include "engine/windows/exfat_deleted/content_check.h"

#include <string>

#include <gtest/gtest.h>

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

bool matches(const std::string& data, std::string_view name, std::uint64_t size = UINT64_MAX) {
  return content_matches_extension({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}, size, name);
}

// n text bytes followed by (100 - n) bytes of 0x01 (non-zero, not text).
std::string percent_text(int n) { return std::string(n, 'a') + std::string(100 - n, '\x01'); }
// n non-zero bytes followed by zeros.
std::string percent_nonzero(int n) { return std::string(n, '\xC8') + std::string(100 - n, '\0'); }

TEST(ContentCheck, TextExtensionsNeedSixtyPercentText) {
  EXPECT_FALSE(matches(percent_text(59), "notes.txt"));
  EXPECT_TRUE(matches(percent_text(60), "notes.txt"));
  EXPECT_FALSE(matches(percent_text(59), "NOTES.TXT"));
  EXPECT_TRUE(matches(percent_text(60), "Notes.Txt"));
  for (const char* ext : {"md", "sh", "log", "csv", "ini", "cfg", "xml", "bat", "ps1", "json"}) {
    EXPECT_FALSE(matches(percent_text(59), std::string("x.") + ext)) << ext;
    EXPECT_TRUE(matches(percent_text(60), std::string("x.") + ext)) << ext;
  }
  // Tabs, line breaks and carriage returns count as text.
  EXPECT_TRUE(matches(std::string(60, '\t') + std::string(40, '\x02'), "a.txt"));
  EXPECT_TRUE(matches(std::string(60, '\r') + std::string(40, '\x02'), "a.txt"));
}

TEST(ContentCheck, OtherExtensionsNeedFortyPercentNonZero) {
  EXPECT_FALSE(matches(percent_nonzero(39), "photo.jpg"));
  EXPECT_TRUE(matches(percent_nonzero(40), "photo.jpg"));
  EXPECT_TRUE(matches(percent_nonzero(40), "image.JPG"));
  // Binary data is not text.
  EXPECT_FALSE(matches(percent_nonzero(100), "photo.txt"));
}

TEST(ContentCheck, EmptyOrAllZeroNeverMatches) {
  EXPECT_FALSE(matches("", "a.bin"));
  EXPECT_FALSE(matches(std::string(500, '\0'), "a.bin"));
  // Only the first `size` bytes are looked at.
  EXPECT_FALSE(matches(std::string(10, '\0') + std::string(10, 'x'), "a.bin", 10));
  EXPECT_TRUE(matches(std::string(10, '\0') + std::string(10, 'x'), "a.bin", 20));
}

TEST(ContentCheck, NameWithoutADotIsItsOwnExtensionAndStem) {
  // "readme" is not a text extension: 40 % non-zero is enough, and its extension is not empty.
  EXPECT_TRUE(matches(percent_nonzero(40), "README"));
  // "json" on its own is a text extension.
  EXPECT_FALSE(matches(percent_nonzero(100), "json"));
  EXPECT_TRUE(matches(percent_text(60), "json"));
}

TEST(ContentCheck, NameEndingInADotNeedsItsStemInTheData) {
  EXPECT_TRUE(matches("header QUARTERLY report data", "Quarterly."));
  EXPECT_FALSE(matches("header annual report data", "Quarterly."));
  // A stem of three bytes or fewer is never looked for.
  EXPECT_FALSE(matches("abc abc abc", "abc."));
  // The stem is the part between the last two dots.
  EXPECT_TRUE(matches("...final...", "report.final."));
  EXPECT_FALSE(matches("...report...", "report.final."));
}

TEST(ContentCheck, StemIsFoundAcrossInvalidUtf8) {
  EXPECT_TRUE(matches(std::string("\xFF\xFE") + "NOTES" + "\xC3", "notes."));
  // A replaced sequence does not join its neighbours into the stem.
  EXPECT_FALSE(matches(std::string("NO\xFFTES"), "notes."));
}

TEST(ContentCheck, EmptyNameNeverMatches) {
  EXPECT_FALSE(matches("plenty of text here", ""));
  EXPECT_FALSE(matches(percent_nonzero(100), ""));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
