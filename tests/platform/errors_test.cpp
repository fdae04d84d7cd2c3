#include "platform/errors.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace kavel_lib::platform {
namespace {

TEST(WinErrorDisplay, MessageThenHresult) {
  EXPECT_EQ(WinError{2}.display(), "The system cannot find the file specified. (0x80070002)");
  EXPECT_EQ(WinError{5}.display(), "Access is denied. (0x80070005)");
  EXPECT_EQ(WinError{38}.display(), "Reached the end of the file. (0x80070026)");
  EXPECT_EQ(WinError{87}.display(), "The parameter is incorrect. (0x80070057)");
  EXPECT_EQ(WinError{1179}.display(), "The volume change journal is not active. (0x8007049B)");
  EXPECT_EQ(WinError{1223}.display(), "The operation was canceled by the user. (0x800704C7)");
}

TEST(WinErrorDisplay, UnknownCodeShowsHresultAlone) {
  EXPECT_EQ(WinError{0x1234}.display(), "0x80071234");
  // Only the low 16 bits of the code enter the HRESULT.
  EXPECT_EQ(WinError{0x12345}.hresult(), 0x80072345u);
  EXPECT_EQ(WinError{0}.hresult(), 0u);
}

TEST(OsErrorDisplay, SystemErrorsCarryTheirCode) {
  EXPECT_EQ(OsError::from_code(2).display(), "The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(OsError::from_errno(EACCES).display(), "Access is denied. (os error 5)");
  EXPECT_EQ(OsError::from_code(0x1234).display(), "Unknown error (os error 4660)");
}

TEST(OsErrorDisplay, TextErrorsShowTheirText) {
  EXPECT_EQ(OsError::unexpected_eof().display(), "failed to fill whole buffer");
  EXPECT_EQ(OsError::unexpected_eof().kind(), OsErrorKind::UnexpectedEof);
  EXPECT_EQ(OsError::write_zero().display(), "failed to write whole buffer");
  EXPECT_EQ(OsError::write_zero().kind(), OsErrorKind::WriteZero);
  const auto e = OsError::with_text(OsErrorKind::InvalidData, "invalid exFAT geometry");
  EXPECT_EQ(e.display(), "invalid exFAT geometry");
  EXPECT_FALSE(e.code().has_value());
  EXPECT_EQ(OsError::from_win(WinError{87}).display(), "The parameter is incorrect. (0x80070057)");
  EXPECT_EQ(OsError::from_win(WinError{87}).kind(), OsErrorKind::Other);
}

TEST(ErrnoMapping, KindsFollowTheWindowsCode) {
  EXPECT_EQ(OsError::from_errno(ENOENT).kind(), OsErrorKind::NotFound);
  EXPECT_EQ(OsError::from_errno(ENOTDIR).kind(), OsErrorKind::NotFound);
  EXPECT_EQ(OsError::from_errno(EPERM).kind(), OsErrorKind::PermissionDenied);
  EXPECT_EQ(OsError::from_errno(EINVAL).kind(), OsErrorKind::InvalidInput);
  EXPECT_EQ(OsError::from_errno(EBADF).code(), 6u);
  // Every errno the table does not know still maps to a code with a message.
  EXPECT_TRUE(windows_message(windows_code_from_errno(EXDEV)).has_value());
}

}  // namespace
}  // namespace kavel_lib::platform
