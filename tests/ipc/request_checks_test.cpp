// The dispatcher's field checks on their own, for the cases the socket tests do not reach.
#include <gtest/gtest.h>

#include "ipc/peer_identity.h"
#include "ipc/request_checks.h"

namespace kavel_lib::ipc {
namespace {

TEST(RequestChecks, DriveLetterTakesTheFirstCharacterAfterUnicodeBlanks) {
  EXPECT_EQ(parse_request_drive_letter("e:"), 'E');
  EXPECT_EQ(parse_request_drive_letter("E:\\"), 'E');
  EXPECT_EQ(parse_request_drive_letter("Elephant"), 'E');
  EXPECT_EQ(parse_request_drive_letter("\xE2\x80\x83z"), 'Z');  // an em space first
  EXPECT_EQ(parse_request_drive_letter("\xC3\xA9"), std::unexpected(std::string("invalid drive letter: \xC3\xA9")));
  EXPECT_EQ(parse_request_drive_letter("\xE2\x80\x83"), std::unexpected(std::string("missing drive letter")));
}

TEST(RequestChecks, DestinationsThatAreAccepted) {
  for (const char* dest : {"/tmp/a.doc", "/developer/x", "/tmp/dev/x", "/procs/x", "/system/x", "/tmp/x/../y",
                           "/home/u/\xE6\x96\x87\xE4\xBB\xB6.txt"}) {
    const auto checked = validate_export_destination(dest);
    ASSERT_TRUE(checked.has_value()) << dest;
    EXPECT_EQ(checked->native(), dest);
  }
}

// A path text is bounded first: over 4,096 bytes, or a component over 255 bytes, is the
// system's "too long" error whatever else the text holds.
TEST(RequestChecks, OverlongDestinationsAreRefusedFirst) {
  const auto too_long = std::unexpected(std::string("The filename or extension is too long. (os error 206)"));
  std::string dots = "/tmp";
  while (dots.size() < 4096) dots += "/.";
  dots.resize(4096);
  EXPECT_TRUE(validate_export_destination(dots).has_value());
  EXPECT_EQ(validate_export_destination(dots + "x"), too_long);
  EXPECT_EQ(validate_export_destination("relative/" + std::string(5000, 'a')), too_long);
  EXPECT_EQ(validate_export_destination("/dev/" + std::string(256, 'a')), too_long);
  EXPECT_TRUE(validate_export_destination("/tmp/" + std::string(255, 'a') + "/b").has_value());
  EXPECT_EQ(validate_export_destination("/tmp/" + std::string(256, 'a') + "/b"), too_long);
}

TEST(RequestChecks, DevicePathNeedsItsExactPrefixAndSixBytes) {
  EXPECT_TRUE(validate_device_path("\\\\.\\C:").has_value());
  EXPECT_FALSE(validate_device_path("\\\\.\\C").has_value());
  EXPECT_FALSE(validate_device_path("\\\\.\\\\C:").has_value());
  EXPECT_FALSE(validate_device_path("\\\\.\\PhysicalDrive0\\").has_value());
  EXPECT_FALSE(validate_device_path(std::string("\\\\.\\C:\0", 7)).has_value());
}

TEST(RequestChecks, InodeLengthIsCountedAsReceived) {
  // 128 bytes with blanks around is fine; the blanks count toward the limit.
  EXPECT_TRUE(validate_inode(" " + std::string(126, '7') + " ").has_value());
  EXPECT_FALSE(validate_inode(" " + std::string(127, '7') + " ").has_value());
}

// A refusal quotes at most 256 characters of what the client sent, then "…".
TEST(RequestChecks, RefusalsQuoteAtMostTheFirst256Characters) {
  const std::string long_text = "9" + std::string(1 << 20, 'a');
  const std::string quoted = "9" + std::string(255, 'a') + "\u2026";
  EXPECT_EQ(parse_request_drive_letter(long_text), std::unexpected("invalid drive letter: " + quoted));
  EXPECT_EQ(validate_device_path(long_text), std::unexpected("device path not allowed: " + quoted));
  EXPECT_EQ(parse_icat_fs_type(long_text), std::unexpected("unsupported icat fs type: " + quoted));
  // Characters, not bytes, are counted, and none is split: 256 four-byte characters are whole,
  // the 257th is not shown.
  std::string wide;
  for (int i = 0; i < 256; ++i) wide += "\U0001F600";
  EXPECT_EQ(validate_device_path(wide), std::unexpected("device path not allowed: " + wide));
  EXPECT_EQ(validate_device_path(wide + "\u00e9"), std::unexpected("device path not allowed: " + wide + "\u2026"));
}

// Texts that hold a NUL character name something else once they reach the system (the text
// ends at the NUL there), so the checks refuse them.
TEST(RequestChecks, TextsWithANulCharacterAreRefused) {
  EXPECT_EQ(validate_export_destination(std::string("/tmp/a\0/../b", 12)),
            std::unexpected(std::string("export destination must be an absolute path")));
  EXPECT_EQ(validate_export_destination(std::string("/tmp/a.bin\0", 11)),
            std::unexpected(std::string("export destination must be an absolute path")));
  EXPECT_EQ(validate_inode(std::string("5\0-1", 4)), std::unexpected(std::string("invalid inode")));
  EXPECT_EQ(validate_inode(std::string("\0", 1)), std::unexpected(std::string("invalid inode")));
}

TEST(PeerIdentity, WhomTheFileOperationsActAs) {
  const platform::FileIdentity root{0, 0, {0}};
  const platform::FileIdentity user{1000, 1000, {1000, 27}};
  const platform::PeerCredentials client{42, 1000, 1000, {27, 1000}};
  const platform::PeerCredentials root_client{43, 0, 0, {}};
  const std::string denied = "Access is denied. (os error 5)";

  // A root service acts as any other user, as itself for root.
  const auto as_client = acting_identity_for(client, root);
  ASSERT_TRUE(as_client.has_value());
  ASSERT_TRUE(as_client->has_value());
  EXPECT_EQ(**as_client, (platform::FileIdentity{1000, 1000, {27, 1000}}));
  const auto as_root = acting_identity_for(root_client, root);
  ASSERT_TRUE(as_root.has_value());
  EXPECT_FALSE(as_root->has_value());

  // A service of user 1000 acts for its own user only.
  const auto same_user = acting_identity_for(client, user);
  ASSERT_TRUE(same_user.has_value());
  EXPECT_FALSE(same_user->has_value());
  EXPECT_EQ(acting_identity_for(root_client, user), std::unexpected(denied));
  EXPECT_EQ(acting_identity_for(std::nullopt, root), std::unexpected(denied));
}

}  // namespace
}  // namespace kavel_lib::ipc
