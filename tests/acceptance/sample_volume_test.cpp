// The demo's sample volume: the same bytes every time, the Sleuth Kit sees the deleted files it
// describes, and tarnwick on E:\docs lists what the demo promises.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "acceptance/tarnwick_report.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "support/sample_volume.h"
#include "support/test_env.h"

namespace {

using kavel_acceptance::Report;
using kavel_test::sample::SampleEntry;

class SampleVolume : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto built = kavel_test::sample::make_sample_volume();
    ASSERT_TRUE(built) << built.error();
    sample_ = new kavel_test::sample::SampleVolume(std::move(*built));
    dir_ = new kavel_test::TempDir();
    image_ = (dir_->path() / "sample.img").string();
    kavel_test::write_file(image_, std::string(sample_->image.begin(), sample_->image.end()));
  }
  static void TearDownTestSuite() {
    delete sample_;
    delete dir_;
    sample_ = nullptr;
    dir_ = nullptr;
  }

  // What tarnwick must list for E:\docs: every deleted entry below \docs whose name the strict
  // noise filter accepts (the deleted folder included), and nothing else.
  static std::set<std::pair<std::uint64_t, std::string>> expected_in_docs() {
    std::set<std::pair<std::uint64_t, std::string>> out;
    for (const SampleEntry& e : sample_->entries) {
      if (!e.deleted || !e.path.starts_with("\\docs\\")) continue;
      if (!kavel_lib::engine::windows::is_plausible_file_name(kavel_acceptance::windows_name_of(e.path), false)) {
        continue;
      }
      out.emplace(e.record, "E:" + e.path);
    }
    return out;
  }

  static kavel_test::sample::SampleVolume* sample_;
  static kavel_test::TempDir* dir_;
  static std::string image_;
};

kavel_test::sample::SampleVolume* SampleVolume::sample_ = nullptr;
kavel_test::TempDir* SampleVolume::dir_ = nullptr;
std::string SampleVolume::image_;

TEST_F(SampleVolume, IsTheSameBytesEveryTimeAndTheProgramWritesThem) {
  auto again = kavel_test::sample::make_sample_volume();
  ASSERT_TRUE(again) << again.error();
  EXPECT_TRUE(again->image == sample_->image);

  const auto program = kavel_test::program_path("make_sample_volume");
  if (!std::filesystem::exists(program)) GTEST_SKIP() << "make_sample_volume is not built: " << program;
  kavel_test::TempDir out;
  const auto written = out / "demo.img";
  const auto run = kavel_test::run_command(kavel_test::shell_quote(program.string()) + " " +
                                           kavel_test::shell_quote(written.string()));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(kavel_test::read_file(written) == std::string(sample_->image.begin(), sample_->image.end()));
  // Its listing names every deleted entry with its record number.
  for (const SampleEntry& e : sample_->entries) {
    if (e.deleted) {
      EXPECT_NE(run.output.find(e.path), std::string::npos) << e.path << "\n" << run.output;
    }
  }
  // No argument: a usage line and a failure status, nothing written.
  const auto bare = kavel_test::run_command(kavel_test::shell_quote(program.string()) + " 2>&1");
  EXPECT_NE(bare.status, 0);
  EXPECT_NE(bare.output.find("usage: make_sample_volume IMAGE"), std::string::npos);
}

TEST_F(SampleVolume, HoldsLiveAndDeletedFilesAtSeveralDepthsAsTheSleuthKitSeesThem) {
  if (auto why = kavel_test::program_missing("fls")) GTEST_SKIP() << *why;
  const auto fls = kavel_acceptance::fls_entries(image_);
  ASSERT_TRUE(fls);
  std::set<std::pair<std::uint64_t, std::string>> fls_deleted, fls_live;
  for (const auto& e : *fls) (e.deleted ? fls_deleted : fls_live).emplace(e.frn, "/" + e.path);

  std::set<std::pair<std::uint64_t, std::string>> deleted_files, live;
  std::set<std::size_t> deleted_depths;
  bool deleted_folder = false;
  for (const SampleEntry& e : sample_->entries) {
    std::string slashed = e.path;
    for (char& c : slashed) c = c == '\\' ? '/' : c;
    if (e.deleted && !e.folder) {
      deleted_files.emplace(e.record, slashed);
      deleted_depths.insert(static_cast<std::size_t>(std::count(e.path.begin(), e.path.end(), '\\')));
    }
    if (e.deleted && e.folder) deleted_folder = true;
    if (!e.deleted) live.emplace(e.record, slashed);
  }
  EXPECT_TRUE(deleted_folder);
  EXPECT_GE(deleted_depths.size(), 3u);  // \docs\x, \docs\a\x, \docs\a\b\x
  EXPECT_EQ(fls_deleted, deleted_files);
  for (const auto& l : live) EXPECT_TRUE(fls_live.contains(l)) << l.second;
}

TEST_F(SampleVolume, JournalAndLogHoldTheLastSessionsDeletes) {
  std::size_t in_journal = 0, in_log = 0, old = 0;
  for (const SampleEntry& e : sample_->entries) {
    if (!e.deleted) {
      EXPECT_FALSE(e.in_journal || e.in_log) << e.path;
      continue;
    }
    in_journal += e.in_journal;
    in_log += e.in_log;
    old += !e.in_journal;
    if (e.in_log) {
      EXPECT_TRUE(e.in_journal) << e.path;
    }
  }
  EXPECT_EQ(in_journal, 8u);
  EXPECT_EQ(in_log, 7u);
  EXPECT_EQ(old, 3u);
  if (auto why = kavel_test::program_missing("usnjls")) GTEST_SKIP() << *why;
  // The Sleuth Kit reads the journal: one delete record per recent deletion.
  const auto run = kavel_test::run_command("usnjls " + kavel_test::shell_quote(image_) + " 2>&1");
  ASSERT_EQ(run.status, 0) << run.output;
  std::size_t deletes = 0;
  for (std::size_t at = run.output.find("FILE_DELETE"); at != std::string::npos;
       at = run.output.find("FILE_DELETE", at + 1)) {
    ++deletes;
  }
  EXPECT_EQ(deletes, in_journal) << run.output;
}

TEST_F(SampleVolume, TarnwickListsTheDeletedFilesOfDocsWithRecordNumbersAndSizes) {
  const Report r = kavel_acceptance::run_tarnwick("E=" + image_, kavel_test::sample::kDemoFolder);
  ASSERT_EQ(r.status, 0) << r.output;
  const auto expected = expected_in_docs();
  ASSERT_EQ(expected.size(), 9u);
  EXPECT_EQ(r.frn_paths(), expected) << r.output;
  for (const auto& [path, n] : r.path_counts()) EXPECT_EQ(n, 1) << path;
  EXPECT_EQ(r.total, expected.size());
  EXPECT_EQ(r.usn_line, "变更日志发现7个删除记录");
  // The deleted folder came from the log too (phase 4 builds it from the log's name alone).
  EXPECT_NE(r.mft_line.find(" LogFile=1 "), std::string::npos) << r.mft_line;
  EXPECT_NE(r.mft_line.find(" Completed"), std::string::npos) << r.mft_line;

  for (const auto& e : r.entries) {
    const SampleEntry* s = nullptr;
    for (const auto& c : sample_->entries) {
      if (c.record == e.frn) s = &c;
    }
    ASSERT_NE(s, nullptr) << e.path;
    // The allocated size and the time its $FILE_NAME keeps, also where the journal's item
    // (which arrives first) is the one kept: it takes them from the record's copy. The
    // deleted folder's line comes from the journal and the log alone (a folder's size is 0).
    EXPECT_EQ(e.size, s->allocated) << e.path;
    if (!s->folder) {
      EXPECT_TRUE(e.time) << e.path;
      EXPECT_GT(e.size, 0u) << e.path;
    }
  }
  // Outside the folder, live, or a compiler's output: never listed.
  EXPECT_EQ(r.output.find("shopping-list.txt"), std::string::npos);
  EXPECT_EQ(r.output.find("parser_core-1a2b3c.o"), std::string::npos);
  EXPECT_EQ(r.output.find("readme.txt"), std::string::npos);
  EXPECT_EQ(r.output.find("taxes.pdf"), std::string::npos);
}

TEST_F(SampleVolume, TarnwickOnASubfolderListsOnlyItsOwnTree) {
  const Report r = kavel_acceptance::run_tarnwick("E=" + image_, "E:\\docs\\letters");
  ASSERT_EQ(r.status, 0) << r.output;
  std::set<std::pair<std::uint64_t, std::string>> expected;
  for (const auto& e : expected_in_docs()) {
    if (e.second.starts_with("E:\\docs\\letters\\")) expected.insert(e);
  }
  ASSERT_EQ(expected.size(), 2u);  // reply-draft.docx, 2023\summary.md
  EXPECT_EQ(r.frn_paths(), expected) << r.output;
}

}  // namespace
