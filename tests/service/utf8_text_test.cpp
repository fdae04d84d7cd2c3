#include "service/utf8_text.h"

#include <gtest/gtest.h>

namespace kavel_lib::service {
namespace {

TEST(Utf8Text, Validation) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("\xE4\xB8\xAD\xE6\x96\x87"));          // 中文
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));                  // U+1F600
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));                         // overlong "/"
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));                     // a surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));                 // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("abc\xE4\xB8"));                      // cut short
  EXPECT_FALSE(is_valid_utf8("\x80"));
}

TEST(Utf8Text, LossyReplacesEachMaximalSubpart) {
  EXPECT_EQ(utf8_lossy("ok \xE4\xB8\xAD"), "ok \xE4\xB8\xAD");
  // A truncated three-byte sequence is one subpart; the stray continuation byte is another.
  EXPECT_EQ(utf8_lossy("a\xE4\xB8" "b\x80" "c"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");
  // Bytes that can never start a sequence are replaced one by one.
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), "\xEF\xBF\xBD");
}

TEST(Utf8Text, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_unicode_whitespace("  bad inode\r\n"), "bad inode");
  EXPECT_EQ(trim_unicode_whitespace("\xE3\x80\x80x y\xC2\xA0\t"), "x y");  // U+3000, U+00A0
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");   // U+200B is not white space
  EXPECT_EQ(trim_unicode_whitespace(" \n "), "");
  EXPECT_EQ(trim_unicode_whitespace("\xEF\xBF\xBD "), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kavel_lib::service
