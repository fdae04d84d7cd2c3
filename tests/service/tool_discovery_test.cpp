// The tool search as the service sees it, run inside a copy of tool_discovery_probe placed in a
// temporary folder, so that the executable folder (base of "config.json" and of "3rd") is one
// the test built.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using kavel_test::TempDir;
using kavel_test::write_file;
using nlohmann::json;

constexpr const char* kProbe = "tool_discovery_probe";

// A folder with a copy of the probe program in app/ and room for tools around it.
class ProbeFolder {
 public:
  ProbeFolder() {
    fs::create_directories(app());
    fs::copy_file(kavel_test::program_path(kProbe), app() / kProbe);
  }
  [[nodiscard]] fs::path root() const { return dir_.path(); }
  [[nodiscard]] fs::path app() const { return dir_.path() / "app"; }
  // Creates an (empty) file and its folders.
  fs::path touch(const fs::path& path) const {
    fs::create_directories(path.parent_path());
    write_file(path, "");
    return path;
  }
  void config(const std::string& text) const { write_file(app() / "config.json", text); }

  // Runs the probe with KAVEL_BUNDLED_TOOLS unset, or set to `bundled`.
  json run(const std::string& args, const std::optional<std::string>& bundled = std::nullopt) const {
    std::string command = "env -u KAVEL_BUNDLED_TOOLS ";
    if (bundled) command += "KAVEL_BUNDLED_TOOLS=" + kavel_test::shell_quote(*bundled) + " ";
    command += kavel_test::shell_quote((app() / kProbe).string()) + " " + args;
    const auto result = kavel_test::run_command(command);
    EXPECT_EQ(result.status, 0) << command;
    return json::parse(result.output);
  }
  json report(const std::optional<std::string>& bundled = std::nullopt) const { return run("report", bundled); }

 private:
  TempDir dir_;
};

std::string text(const fs::path& path) { return path.string(); }

TEST(ToolDiscovery, BuiltServiceFindsTheSleuthKitOfThisMachine) {
  if (!fs::exists("/usr/bin/fls") || !fs::exists("/usr/bin/icat")) GTEST_SKIP() << "the Sleuth Kit is not installed";
  const auto config = kavel_test::program_path("config.json");
  ASSERT_TRUE(fs::exists(config)) << "the build writes config.json beside PolvaneService";
  const auto result = kavel_test::run_command("env -u KAVEL_BUNDLED_TOOLS " +
                                              kavel_test::shell_quote(kavel_test::program_path(kProbe).string()) +
                                              " report");
  ASSERT_EQ(result.status, 0);
  const auto report = json::parse(result.output);
  EXPECT_EQ(report["loaded"]["fls"], "/usr/bin/fls");
  EXPECT_EQ(report["resolved"]["fls"], "/usr/bin/fls");
  EXPECT_EQ(report["icat"], "/usr/bin/icat");
  EXPECT_EQ(report["icat_required"], "/usr/bin/icat");
}

TEST(ToolDiscovery, ThirdFolderBesideTheExecutable) {
  ProbeFolder folder;
  const auto third = folder.app() / "3rd";
  folder.touch(third / "sleuthkit" / "fls.exe");
  const auto icat = folder.touch(third / "sleuthkit" / "icat.exe");
  const auto report = folder.report();
  EXPECT_EQ(report["exe_dir"], text(folder.app()));
  EXPECT_EQ(report["tools_dir"], text(third));
  // No config.json: the defaults; the default fls path exists and stays.
  EXPECT_EQ(report["loaded"]["fls"], text(third / "sleuthkit" / "fls.exe"));
  EXPECT_EQ(report["resolved"]["fls"], text(third / "sleuthkit" / "fls.exe"));
  EXPECT_EQ(report["resolved"]["testdisk"], nullptr);
  EXPECT_EQ(report["icat"], text(icat));
}

TEST(ToolDiscovery, DefaultsPointAtTheFirstCandidates) {
  ProbeFolder folder;
  const auto third = folder.app() / "3rd";
  const auto report = folder.report();
  EXPECT_EQ(report["tools_dir"], text(third));
  EXPECT_EQ(report["defaults"]["ddrescue"], text(third / "ddrescue" / "ddrescue.exe"));
  EXPECT_EQ(report["defaults"]["testdisk"], text(third / "testdisk" / "testdisk_win.exe"));
  EXPECT_EQ(report["defaults"]["photorec"], text(third / "photorec" / "photorec_win.exe"));
  EXPECT_EQ(report["defaults"]["fls"], text(third / "sleuthkit" / "fls.exe"));
  EXPECT_EQ(report["defaults"]["foremost"], text(third / "foremost" / "foremost.exe"));
  EXPECT_EQ(report["loaded"], report["defaults"]);
  for (const auto& [key, value] : report["resolved"].items()) EXPECT_EQ(value, nullptr) << key;
  EXPECT_EQ(report["icat_error"], "tool not found: Recovery tools not found");
}

TEST(ToolDiscovery, DiscoveryTakesLaterCandidatesAndPlainNames) {
  ProbeFolder folder;
  const auto third = folder.app() / "3rd";
  folder.touch(third / "testdisk" / "testdisk.exe");
  folder.touch(third / "photorec" / "photorec");
  folder.touch(third / "ddrescue" / "ddrescue");
  folder.touch(third / "ddrescue" / "ddrescue64.exe");
  fs::create_directories(third / "foremost" / "foremost.exe");  // a folder is not a file
  const auto report = folder.report();
  EXPECT_EQ(report["resolved"]["testdisk"], text(third / "testdisk" / "testdisk.exe"));
  EXPECT_EQ(report["resolved"]["photorec"], text(third / "photorec" / "photorec"));
  EXPECT_EQ(report["resolved"]["ddrescue"], text(third / "ddrescue" / "ddrescue64.exe"));
  // The default path exists (as a folder), so it is kept: existence is all resolution asks.
  EXPECT_EQ(report["resolved"]["foremost"], text(third / "foremost" / "foremost.exe"));
}

TEST(ToolDiscovery, BundledToolsVariableNamesAFolder) {
  ProbeFolder folder;
  const auto tools = folder.root() / "tools";
  const auto icat = folder.touch(tools / "sleuthkit" / "icat");
  auto report = folder.report(text(tools));
  EXPECT_EQ(report["tools_dir"], text(tools));
  EXPECT_EQ(report["icat"], text(icat));

  // "3rd" beside the executable wins over the variable.
  fs::create_directories(folder.app() / "3rd");
  report = folder.report(text(tools));
  EXPECT_EQ(report["tools_dir"], text(folder.app() / "3rd"));
  EXPECT_EQ(report["icat"], nullptr);
}

TEST(ToolDiscovery, BundledToolsVariableNamingAFileOrNothingIsIgnored) {
  ProbeFolder folder;
  const auto file = folder.touch(folder.root() / "tools-file");
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(text(file)), std::optional<std::string>(""),
        std::optional<std::string>(text(folder.root() / "missing")), std::optional<std::string>()}) {
    const auto report = folder.report(value);
    EXPECT_EQ(report["tools_dir"], text(folder.app() / "3rd")) << value.value_or("(unset)");
    EXPECT_EQ(report["icat_error"], "tool not found: Recovery tools not found");
  }
}

TEST(ToolDiscovery, ConfiguredAbsolutePaths) {
  ProbeFolder folder;
  const auto sk = folder.root() / "sk";
  const auto fls = folder.touch(sk / "fls");
  const auto icat = folder.touch(sk / "icat");
  const auto third_testdisk = folder.touch(folder.app() / "3rd" / "testdisk" / "testdisk_win.exe");
  folder.config(json{{"fls", text(fls)}, {"testdisk", text(folder.root() / "missing")}}.dump());
  const auto report = folder.report();
  EXPECT_EQ(report["loaded"]["fls"], text(fls));
  EXPECT_EQ(report["loaded"]["ddrescue"], nullptr);  // never filled from the defaults
  EXPECT_EQ(report["resolved"]["fls"], text(fls));
  // A configured path that does not exist gives way to discovery.
  EXPECT_EQ(report["resolved"]["testdisk"], text(third_testdisk));
  EXPECT_EQ(report["icat"], text(icat));  // beside the configured fls
}

TEST(ToolDiscovery, IcatExePreferredBesideFls) {
  ProbeFolder folder;
  const auto fls = folder.touch(folder.root() / "sk" / "fls.exe");
  folder.touch(folder.root() / "sk" / "icat");
  const auto icat_exe = folder.touch(folder.root() / "sk" / "icat.exe");
  folder.config(json{{"fls", text(fls)}}.dump());
  EXPECT_EQ(folder.report()["icat"], text(icat_exe));
}

TEST(ToolDiscovery, ConfiguredRelativePathStaysRelative) {
  ProbeFolder folder;
  folder.touch(folder.app() / "tools" / "fls");
  const auto icat = folder.touch(folder.app() / "tools" / "icat");
  folder.config(R"({"fls":"tools/fls"})");
  const auto report = folder.report();
  EXPECT_EQ(report["resolved"]["fls"], "tools/fls");
  EXPECT_EQ(report["icat"], text(icat));
}

TEST(ToolDiscovery, FlsNamedIcatIsTheIcatPathItself) {
  ProbeFolder folder;
  const auto named = folder.touch(folder.root() / "sk" / "ICAT.EXE");
  folder.touch(folder.root() / "sk" / "icat.exe");
  folder.config(json{{"fls", text(named)}}.dump());
  EXPECT_EQ(folder.report()["icat"], text(named));
}

TEST(ToolDiscovery, UnusableConfigGivesTheDefaults) {
  ProbeFolder folder;
  const auto fls = folder.touch(folder.root() / "sk" / "fls");
  const auto configured = json{{"fls", text(fls)}}.dump();
  const std::string cases[] = {
      R"({"fls":")" + text(fls) + R"(","fls":")" + text(fls) + R"("})",
      "\xEF\xBB\xBF" + configured,
      R"({"fls":12})",
      configured + " trailing",
      "{\"fls\":\"" + text(fls) + "\",\"x\":\"\xFF\"}",
      "[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\"]",
  };
  for (const auto& content : cases) {
    folder.config(content);
    const auto report = folder.report();
    EXPECT_EQ(report["loaded"], report["defaults"]) << content;
    EXPECT_EQ(report["resolved"]["fls"], nullptr) << content;
  }
  // A folder named config.json cannot be read either.
  fs::remove(folder.app() / "config.json");
  fs::create_directory(folder.app() / "config.json");
  const auto report = folder.report();
  EXPECT_EQ(report["loaded"], report["defaults"]);
}

TEST(ToolDiscovery, NullAndUnknownKeysInConfig) {
  ProbeFolder folder;
  const auto fls = folder.touch(folder.root() / "sk" / "fls");
  const auto foremost = folder.touch(folder.root() / "fm" / "foremost");
  folder.config(json{{"fls", nullptr}, {"icat", text(fls)}, {"foremost", text(foremost)}}.dump());
  const auto report = folder.report();
  EXPECT_EQ(report["loaded"]["fls"], nullptr);
  EXPECT_EQ(report["resolved"]["foremost"], text(foremost));
  EXPECT_EQ(report["icat"], nullptr);  // the "icat" key names nothing
}

TEST(ToolDiscovery, FindToolExecutableSearchesOneLevelDown) {
  ProbeFolder folder;
  const auto third = folder.app() / "3rd";
  const auto deep = folder.touch(third / "a" / "b" / "icat.exe");
  EXPECT_EQ(folder.run("find icat.exe icat")["found"], nullptr);
  const auto one_down = folder.touch(third / "sleuthkit" / "icat.exe");
  EXPECT_EQ(folder.run("find icat.exe icat")["found"], text(one_down));
  // The tools folder itself is searched completely before any sub-folder.
  const auto top = folder.touch(third / "icat");
  EXPECT_EQ(folder.run("find icat.exe icat")["found"], text(top));
  (void)deep;
}

TEST(ToolDiscovery, FindToolExecutableDoesNotDescendThroughLinks) {
  ProbeFolder folder;
  const auto third = folder.app() / "3rd";
  fs::create_directories(third);
  const auto elsewhere = folder.touch(folder.root() / "elsewhere" / "icat");
  fs::create_directory_symlink(elsewhere.parent_path(), third / "linked");
  EXPECT_EQ(folder.run("find icat")["found"], nullptr);
  // A link to a file in the tools folder is a file: links are followed for that test.
  fs::create_symlink(elsewhere, third / "icat");
  EXPECT_EQ(folder.run("find icat")["found"], text(third / "icat"));
}

}  // namespace
