// Phases 4 and 5 on a builder volume whose $LogFile holds record pages: the stream read, the
// findings of the page search, the entries they give (from the record, or from the log's name
// alone) and the counters the driver reports.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_logfile/logfile_scan.h"
#include "scanner/directory_scope.h"
#include "scanner/mft_orchestrator.h"
#include "support/log_pages.h"
#include "support/mapped_volume.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;
using kavel_test::LogName;
using kavel_test::name_record_bytes;
using kavel_test::ntfs::LogRecordSpec;
using kavel_test::ntfs::VolumeBuilder;

// An operation-3 record naming record `frn` (1024-byte records in 4096-byte clusters).
LogRecordSpec deallocate(std::uint64_t frn, std::uint16_t undo = 2) {
  LogRecordSpec r;
  r.redo_operation = 3;
  r.undo_operation = undo;
  r.redo_data = std::vector<std::uint8_t>(8, 0x11);
  r.target_vcn = static_cast<std::int64_t>(frn / 4);
  r.cluster_block_offset = static_cast<std::uint16_t>((frn % 4) * 2);
  r.target_block_size = 2;
  r.lcns = {0x1234};
  return r;
}

LogRecordSpec named(std::uint16_t operation, const LogName& name) {
  LogRecordSpec r;
  r.redo_operation = operation;
  r.undo_operation = operation == 13 ? 12 : 5;
  r.redo_data = name_record_bytes(name);
  r.lcns = {0x1234};
  return r;
}

// A record that only fills page space (an attribute value update).
LogRecordSpec filler(std::size_t bytes) {
  LogRecordSpec r;
  r.redo_operation = 7;
  r.undo_operation = 7;
  r.redo_data = std::vector<std::uint8_t>(bytes, 0x5A);
  r.undo_data = std::vector<std::uint8_t>(bytes, 0x5A);
  r.lcns = {0x1234};
  return r;
}

class LogVolume : public ::testing::Test {
 protected:
  // docs\2 with a deleted file, docs with a live file elsewhere, and the log records.
  void build(std::vector<LogRecordSpec> records, std::uint64_t log_size = 1u << 20) {
    VolumeBuilder b;
    docs_ = b.add_folder(b.root(), "docs");
    two_ = b.add_folder(docs_, "2");
    gone_ = b.add_file(two_, "gone.txt", "bye", {.deleted = true});
    live_ = b.add_file(docs_, "other.txt", "still here");
    ref_two_ = b.reference(two_);
    ref_docs_ = b.reference(docs_);
    ref_live_ = b.reference(live_);
    ref_gone_ = b.reference(gone_);
    b.set_log_file({.size = log_size, .records = std::move(records)});
    const auto path = dir_ / "volume.img";
    auto written = b.write(path);
    ASSERT_TRUE(written) << written.error();
    mapped_ = std::make_unique<kavel_test::MappedVolume>(path, 'F');
    auto v = ew::open_volume_by_letter('F');
    ASSERT_TRUE(v) << v.error().display();
    volume_ = std::make_unique<ew::VolumeHandle>(std::move(*v));
    auto d = ew::query_ntfs_volume_data(*volume_);
    ASSERT_TRUE(d) << d.error().display();
    data_ = *d;
    auto scope = build_directory_scope("F:\\docs\\2", *volume_, ew::record_reader_geometry(data_));
    ASSERT_TRUE(scope) << scope.error().display();
    scope_ = std::move(*scope);
  }

  // The records every test puts in: the deleted file's record number, a name in docs\2 whose
  // record is the live file elsewhere, a name whose record number the volume does not hold,
  // and a name whose parent is outside the folder.
  std::vector<LogRecordSpec> standard_records(std::uint64_t gone, std::uint64_t ref_two, std::uint64_t ref_live,
                                              std::uint64_t ref_docs) {
    std::vector<LogRecordSpec> r;
    r.push_back(filler(1400));
    r.push_back(filler(1400));
    r.push_back(deallocate(gone));
    r.push_back(named(13, LogName{ref_two, ref_live, "renamed.txt"}));
    r.push_back(named(13, LogName{ref_two, 5000, "phantom.txt"}));
    r.push_back(named(6, LogName{ref_docs, ref_live, "outside.txt"}));
    return r;
  }

  // Record numbers are handed out in order from 64: docs, 2, gone.txt, other.txt.
  void build_standard(std::uint64_t log_size = 1u << 20) {
    build(standard_records(66, (std::uint64_t{1} << 48) | 65, (std::uint64_t{1} << 48) | 67,
                           (std::uint64_t{1} << 48) | 64),
          log_size);
    ASSERT_EQ(docs_, 64u);
    ASSERT_EQ(two_, 65u);
    ASSERT_EQ(gone_, 66u);
    ASSERT_EQ(live_, 67u);
    ASSERT_EQ(ref_two_, (std::uint64_t{1} << 48) | 65);
    ASSERT_EQ(ref_live_, (std::uint64_t{1} << 48) | 67);
  }

  kavel_test::TempDir dir_;
  std::unique_ptr<kavel_test::MappedVolume> mapped_;
  std::unique_ptr<ew::VolumeHandle> volume_;
  ew::NtfsVolumeData data_;
  ew::DirectoryScope scope_;
  std::uint64_t docs_ = 0, two_ = 0, gone_ = 0, live_ = 0;
  std::uint64_t ref_two_ = 0, ref_docs_ = 0, ref_live_ = 0, ref_gone_ = 0;
};

TEST_F(LogVolume, StreamIsTheWholeLogWhenBelowEightMebibytes) {
  build_standard(4u << 20);
  auto stream = ew::read_logfile_stream('F');
  ASSERT_TRUE(stream) << stream.error().display();
  EXPECT_EQ(stream->size(), 4u << 20);
  EXPECT_TRUE(std::equal(stream->begin(), stream->begin() + 4, "RSTR"));
  EXPECT_TRUE(std::equal(stream->begin() + 4 * 4096, stream->begin() + 4 * 4096 + 4, "RCRD"));
}

TEST_F(LogVolume, FindingsOfTheRecordPages) {
  build_standard();
  auto stream = ew::read_logfile_stream('F');
  ASSERT_TRUE(stream);
  ew::UsnCandidateMap map;
  map.names_by_frn[gone_] = {"gone.txt"};
  const ew::LogScanVolume v = ew::log_scan_volume(data_, *volume_);
  auto [found, counters] = ew::scan_logfile_pages(*stream, v, scope_.parent_match_frns, &map);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], (ew::LogCandidate{1, two_, "phantom.txt", 0}));  // 5000: no record of the volume
  EXPECT_EQ(found[1], (ew::LogCandidate{0, 0, std::nullopt, gone_}));
  EXPECT_EQ(found[2], (ew::LogCandidate{1, two_, "renamed.txt", live_}));
  EXPECT_EQ(counters.hinted, 1u);
  EXPECT_GE(counters.frn_records, 1u);
  EXPECT_GE(counters.name_records, 3u);
}

TEST_F(LogVolume, EntriesFromTheRecordAndFromTheLogsNameAlone) {
  build_standard();
  auto stream = ew::read_logfile_stream('F');
  ASSERT_TRUE(stream);
  ew::UsnCandidateMap map;
  map.names_by_frn[gone_] = {"gone.txt"};
  auto [found, counters] =
      ew::scan_logfile_pages(*stream, ew::log_scan_volume(data_, *volume_), scope_.parent_match_frns, &map);
  ew::CollectorState c;
  std::uint32_t from_log = 0;
  for (const auto& candidate : found) {
    ew::logfile_candidates_to_entries(scope_, candidate, data_, *volume_, &map, c.entries, c.dedup_texts, c.found_frns,
                                      from_log);
  }
  std::vector<std::pair<std::uint64_t, std::string>> got;
  for (const auto& e : c.entries) got.emplace_back(e.frn, e.path);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::pair<std::uint64_t, std::string>>{{gone_, "F:\\docs\\2\\gone.txt"},
                                                                     {live_, "F:\\docs\\2\\renamed.txt"}}));
  EXPECT_EQ(from_log, 1u);
}

TEST_F(LogVolume, DriverCountsWhatPhase4Added) {
  build_standard();
  ew::UsnCandidateMap map;
  map.names_by_frn[gone_] = {"gone.txt"};
  ew::CollectorState collector;
  LateCounters counters;
  std::string out;
  const TextSink sink = [&out](std::string_view t) { out += t; };
  auto error = run_logfile_and_retry_phases('F', scope_, &map, data_, *volume_, 1024, {}, collector, counters,
                                            {0, 150'000'000}, true, true, sink);
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(counters.logfile, 2u);
  EXPECT_EQ(counters.retry, 0u);  // 0.15 s left: no phase 5
  EXPECT_EQ(counters.pending, 0u);
  EXPECT_EQ(out, "  [0/1] 阶段4 $LogFile 事务（刚删）\n");
}

TEST_F(LogVolume, WithoutJournalMapOnlyNamesInTheFolderCount) {
  build_standard();
  auto stream = ew::read_logfile_stream('F');
  ASSERT_TRUE(stream);
  auto [found, counters] =
      ew::scan_logfile_pages(*stream, ew::log_scan_volume(data_, *volume_), scope_.parent_match_frns, nullptr);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "phantom.txt");
  EXPECT_EQ(found[1].name, "renamed.txt");
  EXPECT_EQ(counters.hinted, 0u);
}

// The search steps 8 bytes past every header it accepts, and the six zero bytes that end the
// log record header before the client data read as a header of operation 0 whose redo offset
// and length are the real header's operation codes x 256. Early in a page (where such a
// header still fits) that false header hides an operation-3 record from both passes.
TEST_F(LogVolume, OperationThreeEarlyInAPageIsHiddenByTheZerosBeforeIt) {
  build({deallocate(66)});
  auto stream = ew::read_logfile_stream('F');
  ASSERT_TRUE(stream);
  ew::UsnCandidateMap map;
  map.names_by_frn[66] = {"gone.txt"};
  auto [found, counters] =
      ew::scan_logfile_pages(*stream, ew::log_scan_volume(data_, *volume_), scope_.parent_match_frns, &map);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(counters.frn_records, 0u);
}

}  // namespace
}  // namespace kavel_lib::scanner
