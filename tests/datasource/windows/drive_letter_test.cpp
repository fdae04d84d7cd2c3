#include "datasource/windows/drive_letter.h"

#include <gtest/gtest.h>

#include "datasource/windows/white_space.h"

namespace kavel_lib::datasource::windows {
namespace {

TEST(ParseDriveLetter, LettersOfDrivesAndDevicePaths) {
  EXPECT_EQ(parse_drive_letter("  e:\\docs \t"), 'E');
  EXPECT_EQ(parse_drive_letter("\u3000e:\\docs\u00a0"), 'E');  // Unicode white space
  EXPECT_EQ(parse_drive_letter("\\\\.\\d:"), 'D');
  EXPECT_EQ(parse_drive_letter("\\\\.\\d:\\x"), 'D');
  EXPECT_EQ(parse_drive_letter("e:"), 'E');
  EXPECT_EQ(parse_drive_letter("Z:/x"), 'Z');
}

TEST(ParseDriveLetter, NoLetter) {
  EXPECT_EQ(parse_drive_letter("\\\\.\\PhysicalDrive0"), std::nullopt);
  EXPECT_EQ(parse_drive_letter("\\\\.\\"), std::nullopt);
  EXPECT_EQ(parse_drive_letter("docs"), std::nullopt);
  EXPECT_EQ(parse_drive_letter("1:\\x"), std::nullopt);
  EXPECT_EQ(parse_drive_letter("e"), std::nullopt);
  EXPECT_EQ(parse_drive_letter(""), std::nullopt);
  EXPECT_EQ(parse_drive_letter("\\\\server\\share\\x"), std::nullopt);
  // The verbatim form is not read (its letter sits after "\\?\").
  EXPECT_EQ(parse_drive_letter("\\\\?\\E:\\docs"), std::nullopt);
  EXPECT_EQ(parse_drive_letter("\u00e9:\\x"), std::nullopt);
}

TEST(DriveLetterOfPath, FallsBackToNothingForUncAndRelativePaths) {
  EXPECT_EQ(drive_letter_of_path("E:\\2"), 'E');
  EXPECT_EQ(drive_letter_of_path("\\\\server\\share\\x"), std::nullopt);
  EXPECT_EQ(drive_letter_of_path("relative\\dir"), std::nullopt);
}

TEST(TrimWhiteSpace, BothEndsOnly) {
  EXPECT_EQ(trim_white_space(" \t a b \n"), "a b");
  EXPECT_EQ(trim_white_space("\u2003x\u2029"), "x");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space("\xff "), "\xff");  // invalid bytes stay
}

}  // namespace
}  // namespace kavel_lib::datasource::windows
