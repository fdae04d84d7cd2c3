#include "platform/drive_table.h"

#include <gtest/gtest.h>

namespace kavel_lib::platform {
namespace {

TEST(DriveTableGrammar, NamesAreCaseInsensitiveAndBareLettersAreDrives) {
  auto t = DriveTable::parse("e=/srv/e.img;PHYSICALDRIVE0=/dev/sdb;F:=/srv/f.img");
  ASSERT_TRUE(t.has_value()) << t.error();
  ASSERT_EQ(t->entries().size(), 3u);
  EXPECT_EQ(t->entries()[0].name, "E:");
  EXPECT_EQ(t->entries()[1].name, "PhysicalDrive0");
  EXPECT_EQ(t->entries()[2].name, "F:");
  EXPECT_EQ(t->lookup("E:")->host_path, "/srv/e.img");
  EXPECT_EQ(t->lookup("e")->host_path, "/srv/e.img");
  EXPECT_EQ(t->lookup("physicaldrive0")->host_path, "/dev/sdb");
  EXPECT_FALSE(t->lookup("G:").has_value());
  EXPECT_FALSE(t->lookup("PhysicalDrive1").has_value());
}

TEST(DriveTableGrammar, OffsetsAndPathsWithAt) {
  auto t = DriveTable::parse("PhysicalDrive0=/img/disk.img; E=/img/disk.img@1048576 ;V=/a@b/c.img;W=/x@12y");
  ASSERT_TRUE(t.has_value()) << t.error();
  EXPECT_EQ(t->lookup("E")->offset, 1048576u);
  EXPECT_EQ(t->lookup("E")->host_path, "/img/disk.img");
  EXPECT_EQ(t->lookup("PhysicalDrive0")->offset, 0u);
  // An "@" not followed by digits only belongs to the path.
  EXPECT_EQ(t->lookup("V")->host_path, "/a@b/c.img");
  EXPECT_EQ(t->lookup("W")->host_path, "/x@12y");
  EXPECT_EQ(t->lookup("W")->offset, 0u);
}

TEST(DriveTableGrammar, EmptyTextsHoldNoEntries) {
  EXPECT_TRUE(DriveTable::parse("")->entries().empty());
  EXPECT_EQ(DriveTable::parse("E=/a;;")->entries().size(), 1u);
}

TEST(DriveTableGrammar, MalformedEntriesAreErrorsNamingTheEntry) {
  for (const char* bad : {"E", "/srv/e.img", "EE=/x", "1=/x", "E=", "PhysicalDriveX=/x", "Volume{}=/x",
                          "E=/x@99999999999999999999999", "E=/a;e=/b"}) {
    auto t = DriveTable::parse(bad);
    ASSERT_FALSE(t.has_value()) << bad;
    EXPECT_NE(t.error().find("KAVEL_DRIVES: entry"), std::string::npos) << t.error();
  }
  auto t = DriveTable::parse("E=/ok;Q");
  ASSERT_FALSE(t.has_value());
  EXPECT_NE(t.error().find("\"Q\""), std::string::npos) << t.error();
}

TEST(DevicePaths, OnlyTheThreeDeviceFormsAreDevices) {
  EXPECT_EQ(device_name_of_path("\\\\.\\E:"), "E:");
  EXPECT_EQ(device_name_of_path("\\\\.\\e:"), "E:");
  EXPECT_EQ(device_name_of_path("\\\\.\\PhysicalDrive12"), "PhysicalDrive12");
  EXPECT_EQ(device_name_of_path("\\\\.\\volume{1234-abcd}"), "Volume{1234-abcd}");
  for (const char* bad : {"E:", "\\\\.\\E", "\\\\.\\E:\\", "\\\\.\\C:\\Users\\x\\a", "\\\\?\\E:", "\\\\.\\pipe\\x",
                          "\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive1/../x", "\\\\.\\Volume{../x}", "/dev/sda"}) {
    EXPECT_FALSE(device_name_of_path(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace kavel_lib::platform
