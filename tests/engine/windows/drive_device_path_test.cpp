#include "engine/windows/drive_device_path.h"

#include <gtest/gtest.h>

namespace kavel_lib::engine::windows {
namespace {

TEST(DriveDevicePath, LowerCaseLettersAreRaisedOthersKept) {
  EXPECT_EQ(drive_device_path(U'e'), "\\\\.\\E:");
  EXPECT_EQ(drive_device_path(U'Z'), "\\\\.\\Z:");
  EXPECT_EQ(drive_device_path(U'1'), "\\\\.\\1:");
  EXPECT_EQ(drive_device_path(U'\u00e9'), "\\\\.\\\xC3\xA9:");  // not an ASCII letter: unchanged
  EXPECT_EQ(drive_device_path(char32_t{0xD800}), "\\\\.\\\xEF\xBF\xBD:");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
