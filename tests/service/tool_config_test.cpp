// The parts of the tool search that do not depend on where the executable lies: the decoder of
// "config.json", the path tests, absolutize_against_exe_dir, probe_candidates,
// resolve_configured_tool and require_tool_file.
#include "service/tool_config.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_env.h"

namespace kavel_lib::service {
namespace {

namespace fs = std::filesystem;
using kavel_test::TempDir;
using kavel_test::write_file;

std::optional<std::string> none() { return std::nullopt; }

TEST(ToolConfigDecode, ObjectWithEveryKey) {
  const auto config = parse_tool_config(
      R"({"ddrescue":"d","testdisk":"t","photorec":"p","fls":"C:/sk/fls.exe","foremost":"f"})");
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, (ToolConfig{"d", "t", "p", "C:/sk/fls.exe", "f"}));
}

TEST(ToolConfigDecode, EmptyObjectLeavesEveryFieldUnset) {
  const auto config = parse_tool_config(" \t\r\n{}\n");
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, ToolConfig{});
}

TEST(ToolConfigDecode, NullAndUnknownKeys) {
  const auto config = parse_tool_config(
      R"({"fls":null,"icat":"x","nested":{"a":[1,2,{"b":null}],"a":true},"foremost":"/f"})");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->fls, none());
  EXPECT_EQ(config->foremost, std::optional<std::string>("/f"));
  EXPECT_EQ(config->ddrescue, none());
}

TEST(ToolConfigDecode, KeyGivenTwiceFails) {
  EXPECT_FALSE(parse_tool_config(R"({"fls":"a","fls":"b"})"));
  EXPECT_FALSE(parse_tool_config(R"({"fls":null,"fls":null})"));
  EXPECT_FALSE(parse_tool_config(R"({"other":1,"other":2})"));
}

TEST(ToolConfigDecode, WrongTypesFail) {
  EXPECT_FALSE(parse_tool_config(R"({"fls":5})"));
  EXPECT_FALSE(parse_tool_config(R"({"fls":true})"));
  EXPECT_FALSE(parse_tool_config(R"({"fls":["a"]})"));
  EXPECT_FALSE(parse_tool_config(R"({"fls":{}})"));
  EXPECT_FALSE(parse_tool_config(R"("fls")"));
  EXPECT_FALSE(parse_tool_config("null"));
  EXPECT_FALSE(parse_tool_config("7"));
}

TEST(ToolConfigDecode, ArrayForm) {
  auto config = parse_tool_config(R"(["d",null,"p"])");
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, (ToolConfig{"d", std::nullopt, "p", std::nullopt, std::nullopt}));
  config = parse_tool_config(R"(["a","b","c","d","e"])");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->fls, std::optional<std::string>("d"));
  EXPECT_TRUE(parse_tool_config("[]"));
  EXPECT_FALSE(parse_tool_config(R"(["a","b","c","d","e","f"])"));
  EXPECT_FALSE(parse_tool_config(R"(["a","b","c","d","e",null])"));
  EXPECT_FALSE(parse_tool_config(R"([1])"));
  EXPECT_FALSE(parse_tool_config(R"([["a"]])"));
}

TEST(ToolConfigDecode, SurroundingsMustBeJsonWhiteSpace) {
  EXPECT_FALSE(parse_tool_config("\xEF\xBB\xBF{}"));
  EXPECT_FALSE(parse_tool_config("{} x"));
  EXPECT_FALSE(parse_tool_config("{}{}"));
  EXPECT_FALSE(parse_tool_config("\f{}"));
  EXPECT_FALSE(parse_tool_config("{}\v"));
  EXPECT_FALSE(parse_tool_config("{} // note"));
  EXPECT_FALSE(parse_tool_config(""));
  EXPECT_FALSE(parse_tool_config(std::string("{}\0", 3)));
  EXPECT_FALSE(parse_tool_config(std::string("{}\0junk", 7)));
}

TEST(ToolConfigDecode, TextMustBeUtf8) {
  EXPECT_FALSE(parse_tool_config("{\"fls\":\"\xFF\"}"));
  EXPECT_FALSE(parse_tool_config("{\"x\":1}\xC0"));
  EXPECT_FALSE(parse_tool_config(R"({"fls":"\ud800"})"));  // a lone surrogate
  const auto config = parse_tool_config("{\"fls\":\"/\xE5\xB7\xA5\xE5\x85\xB7/fls\"}");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->fls, std::optional<std::string>("/\xE5\xB7\xA5\xE5\x85\xB7/fls"));
}

TEST(ToolConfigDecode, NestingOfSkippedValuesIsBounded) {
  auto nested = [](int depth) {
    return R"({"skip":)" + std::string(static_cast<std::size_t>(depth - 1), '[') +
           std::string(static_cast<std::size_t>(depth - 1), ']') + "}";
  };
  EXPECT_TRUE(parse_tool_config(nested(127)));
  EXPECT_FALSE(parse_tool_config(nested(128)));
  EXPECT_FALSE(parse_tool_config(nested(100000)));
}

TEST(ToolPathTests, FileFolderAndLinks) {
  TempDir dir;
  write_file(dir / "tool", "x");
  fs::create_directory(dir / "folder");
  fs::create_symlink(dir / "tool", dir / "link-to-file");
  fs::create_symlink(dir / "folder", dir / "link-to-folder");
  fs::create_symlink(dir / "gone", dir / "dangling");

  EXPECT_TRUE(path_is_file(dir / "tool"));
  EXPECT_TRUE(path_is_file(dir / "link-to-file"));  // links are followed
  EXPECT_FALSE(path_is_file(dir / "folder"));
  EXPECT_FALSE(path_is_file(dir / "link-to-folder"));
  EXPECT_TRUE(path_is_folder(dir / "link-to-folder"));
  EXPECT_FALSE(path_exists(dir / "dangling"));
  EXPECT_TRUE(path_exists(dir / "folder"));
  EXPECT_FALSE(path_exists(dir.path().string() + std::string("/tool\0junk", 10)));
}

TEST(ToolPaths, AbsolutizeAgainstExeDir) {
  EXPECT_EQ(absolutize_against_exe_dir("/usr/bin/fls"), fs::path("/usr/bin/fls"));
  EXPECT_EQ(absolutize_against_exe_dir("tools/fls"), exe_dir() / "tools/fls");
  // Host rules: a Windows drive path is a relative name here.
  EXPECT_EQ(absolutize_against_exe_dir("C:\\sk\\fls.exe"), exe_dir() / "C:\\sk\\fls.exe");
  EXPECT_FALSE(exe_dir().empty());
}

TEST(ToolPaths, ProbeCandidatesTakesTheFirstFileInOrder) {
  TempDir dir;
  const std::string_view names[] = {"a.exe", "b.exe", "c"};
  EXPECT_EQ(probe_candidates(dir.path(), names), none());
  fs::create_directory(dir / "a.exe");  // a folder is not a candidate
  write_file(dir / "c", "");
  EXPECT_EQ(probe_candidates(dir.path(), names), std::optional<std::string>((dir / "c").string()));
  write_file(dir / "b.exe", "");
  EXPECT_EQ(probe_candidates(dir.path(), names), std::optional<std::string>((dir / "b.exe").string()));
}

TEST(ToolPaths, ResolveConfiguredTool) {
  TempDir dir;
  write_file(dir / "fls", "");
  const std::optional<std::string> present = (dir / "fls").string();
  const std::optional<std::string> missing = (dir / "nothing").string();
  const std::optional<std::string> found = "/found/fls";
  EXPECT_EQ(resolve_configured_tool(none(), found), found);
  EXPECT_EQ(resolve_configured_tool(none(), none()), none());
  EXPECT_EQ(resolve_configured_tool(present, found), present);
  EXPECT_EQ(resolve_configured_tool(missing, found), found);
  EXPECT_EQ(resolve_configured_tool(missing, none()), none());
  // A folder exists, so it is kept as configured.
  EXPECT_EQ(resolve_configured_tool(dir.path().string(), none()), std::optional<std::string>(dir.path().string()));
}

TEST(ToolPaths, RequireToolFile) {
  TempDir dir;
  write_file(dir / "icat", "");
  const auto located = require_tool_file("icat", dir / "icat");
  ASSERT_TRUE(located);
  EXPECT_EQ(located->path, dir / "icat");
  EXPECT_EQ(located->label, "icat");

  const auto missing = require_tool_file("icat", "/nowhere/\xFF/icat");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "tool not found: icat not found at /nowhere/\xEF\xBF\xBD/icat");
  EXPECT_TRUE(std::holds_alternative<EngineError::ToolNotFound>(missing.error().value()));
}

}  // namespace
}  // namespace kavel_lib::service
