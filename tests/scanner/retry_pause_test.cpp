// Phase 5 with the pause handed in (what the folder-scan benchmark uses to time the scan without
// its designed waits): the passes and their pauses are the same as with the real sleep, only the
// waiting is the caller's.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "scanner/directory_scope.h"
#include "scanner/mft_orchestrator.h"
#include "support/mapped_volume.h"
#include "support/sample_volume.h"
#include "support/test_env.h"

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;

class RetryPause : public ::testing::Test {
 protected:
  void SetUp() override {
    auto sample = kavel_test::sample::make_sample_volume();
    ASSERT_TRUE(sample) << sample.error();
    const auto path = dir_ / "sample.img";
    kavel_test::write_file(path, std::string(sample->image.begin(), sample->image.end()));
    mapped_ = std::make_unique<kavel_test::MappedVolume>(path, 'F');
    auto v = ew::open_volume_by_letter('F');
    ASSERT_TRUE(v) << v.error().display();
    volume_ = std::make_unique<ew::VolumeHandle>(std::move(*v));
    auto d = ew::query_ntfs_volume_data(*volume_);
    ASSERT_TRUE(d) << d.error().display();
    data_ = *d;
    auto scope = build_directory_scope("F:\\docs", *volume_, ew::record_reader_geometry(data_));
    ASSERT_TRUE(scope) << scope.error().display();
    scope_ = std::move(*scope);
  }

  // Phase 5 alone with 5 s left; returns the entries it added.
  std::size_t run(const scanner::RetryPause& pause, ew::CollectorState& collector) {
    LateCounters counters;
    const TextSink quiet = [](std::string_view) {};
    auto error = run_logfile_and_retry_phases('F', scope_, nullptr, data_, *volume_, 1024, {}, collector, counters,
                                              {5, 0}, false, true, quiet, pause);
    EXPECT_FALSE(error.has_value());
    EXPECT_EQ(counters.logfile, 0u);
    return counters.retry;
  }

  kavel_test::TempDir dir_;
  std::unique_ptr<kavel_test::MappedVolume> mapped_;
  std::unique_ptr<ew::VolumeHandle> volume_;
  ew::NtfsVolumeData data_;
  ew::DirectoryScope scope_;
};

TEST_F(RetryPause, TheHandedPauseGetsBothWaitsAndTheResultIsTheSame) {
  std::vector<std::chrono::nanoseconds> pauses;
  ew::CollectorState with_pause;
  const std::size_t added = run([&](std::chrono::nanoseconds d) { pauses.push_back(d); }, with_pause);
  // Three passes over the window around the folder, 200 ms apart.
  ASSERT_EQ(pauses.size(), 2u);
  EXPECT_EQ(pauses[0], std::chrono::milliseconds(200));
  EXPECT_EQ(pauses[1], std::chrono::milliseconds(200));

  // The real sleep finds the same entries: the deleted files of \docs the window holds.
  ew::CollectorState with_sleep;
  EXPECT_EQ(run({}, with_sleep), added);
  EXPECT_GT(added, 0u);
  ASSERT_EQ(with_pause.entries.size(), with_sleep.entries.size());
  for (std::size_t i = 0; i < with_pause.entries.size(); ++i) {
    EXPECT_EQ(with_pause.entries[i].path, with_sleep.entries[i].path);
    EXPECT_EQ(with_pause.entries[i].frn, with_sleep.entries[i].frn);
  }
}

}  // namespace
}  // namespace kavel_lib::scanner
