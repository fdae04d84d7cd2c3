#include "service/engine_error.h"

#include <gtest/gtest.h>

namespace kavel_lib::service {
namespace {

TEST(EngineErrorDisplay, EachVariantHasItsText) {
  EXPECT_EQ(EngineError::io(platform::OsError::from_code(2)).display(),
            "io error: The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(EngineError::image("bad header").display(), "image error: bad header");
  EXPECT_EQ(EngineError::task_not_found("t1").display(), "task not found: t1");
  EXPECT_EQ(EngineError::file_not_found(42).display(), "file not found: 42");
  EXPECT_EQ(EngineError::invalid_source("x").display(), "invalid source: x");
  EXPECT_EQ(EngineError::tool_not_found("Recovery tools not found").display(),
            "tool not found: Recovery tools not found");
  EXPECT_EQ(EngineError::scan_cancelled().display(), "scan cancelled");
}

TEST(EngineErrorDisplay, MessageAddsNothing) {
  EXPECT_EQ(EngineError::message("icat timed out").display(), "icat timed out");
  EXPECT_EQ(EngineError::message("").display(), "");
}

TEST(EngineErrorDisplay, NegativeFileNumberKeepsItsSign) {
  EXPECT_EQ(EngineError::file_not_found(-7).display(), "file not found: -7");
  EXPECT_EQ(EngineError::file_not_found(INT64_MIN).display(), "file not found: -9223372036854775808");
}

TEST(EngineErrorDisplay, IoWithOwnTextAndSinkAppends) {
  const auto error = EngineError::io(platform::OsError::with_text(platform::OsErrorKind::Other, "disk gone"));
  std::string sink = "ICAT: ";
  fmt_engine_error(error, sink);
  EXPECT_EQ(sink, "ICAT: io error: disk gone");
}

TEST(EngineErrorDisplay, VariantOrderIsThatOfTheType) {
  EXPECT_EQ(EngineError::io(platform::OsError::from_code(5)).value().index(), 0u);
  EXPECT_EQ(EngineError::image("").value().index(), 1u);
  EXPECT_EQ(EngineError::task_not_found("").value().index(), 2u);
  EXPECT_EQ(EngineError::file_not_found(0).value().index(), 3u);
  EXPECT_EQ(EngineError::invalid_source("").value().index(), 4u);
  EXPECT_EQ(EngineError::tool_not_found("").value().index(), 5u);
  EXPECT_EQ(EngineError::scan_cancelled().value().index(), 6u);
  EXPECT_EQ(EngineError::message("").value().index(), 7u);
}

}  // namespace
}  // namespace kavel_lib::service
