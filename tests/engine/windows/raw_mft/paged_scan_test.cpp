// The paged scan over whole volumes: the threaded scan with 2, 4 and 8 workers and the
// single-threaded pager give the same entries and counters; the entries are those the Sleuth
// Kit lists as deleted; skip set, budget, failed opens and the result list's failed state.
// Volumes: ntfs-small and ntfs-large of the real test volumes (ntfs-large's MFT lies in two
// runs), and builder volumes with an MFT in three runs.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "engine/windows/raw_mft/paged_scan.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "support/manifest_scope.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;
using EntryKeys = std::set<std::pair<std::uint64_t, std::string>>;

constexpr TimeBudget kLongBudget{600, 0};

std::vector<DeletedEntry> sorted(std::vector<DeletedEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const DeletedEntry& a, const DeletedEntry& b) {
    return std::tie(a.frn, a.path, a.parent, a.size, a.time) < std::tie(b.frn, b.path, b.parent, b.size, b.time);
  });
  return entries;
}

EntryKeys keys_of(const std::vector<DeletedEntry>& entries) {
  EntryKeys out;
  for (const auto& e : entries) out.emplace(e.frn, e.path);
  return out;
}

// Every counter but the threads field.
std::array<std::uint64_t, 5> counters(const PagedScanStats& s) {
  return {s.chunk_count, s.done_chunks, s.failed_chunks, s.records_scanned, s.entries_found};
}

// A volume image mapped to E: with its geometry, MFT record count and a folder's scope.
class MappedNtfs {
 public:
  MappedNtfs(const fs::path& image, DirectoryScope scope)
      : env_("KAVEL_DRIVES", "E=" + image.string()), scope_(std::move(scope)) {
    auto volume = open_volume_by_letter('E');
    if (!volume) return;
    auto data = query_ntfs_volume_data(*volume);
    if (!data) return;
    geometry_ = record_reader_geometry(*data);
    auto layout = volume->mft_layout(geometry_);
    if (!layout) return;
    mft_records_ = layout->record_count;
    bitmap_ = load_mft_in_use_bitmap(*volume, geometry_.record_size);
    volume_ = std::move(*volume);
  }

  [[nodiscard]] bool ok() const { return volume_.has_value(); }
  [[nodiscard]] const VolumeHandle& volume() const { return *volume_; }
  [[nodiscard]] std::uint64_t mft_records() const { return mft_records_; }
  [[nodiscard]] std::uint64_t estimate() const {
    return mft_record_count_estimate(bitmap_ ? std::optional<std::uint64_t>(bitmap_->size()) : std::nullopt);
  }
  [[nodiscard]] const DirectoryScope& scope() const { return scope_; }

  PagedScanInputs inputs(std::uint64_t records, std::uint32_t chunk, std::uint64_t threads,
                         const std::unordered_set<std::uint64_t>& skip, TimeBudget budget = kLongBudget) const {
    return PagedScanInputs{.geometry = geometry_,
                           .letter = 'E',
                           .folder = scope_.path,
                           .folder_frn = scope_.dir_frn,
                           .parent_match_frns = scope_.parent_match_frns,
                           .dir_names = scope_.dir_names,
                           .skip = skip,
                           .record_count = records,
                           .chunk_records = chunk,
                           .threads = threads,
                           .budget = budget,
                           .start = ScanClock::now()};
  }

 private:
  kavel_test::ScopedEnv env_;
  DirectoryScope scope_;
  VolumeGeometry geometry_;
  std::uint64_t mft_records_ = 0;
  std::optional<std::vector<std::uint8_t>> bitmap_;
  std::optional<VolumeHandle> volume_;
};

struct ScanRun {
  std::vector<DeletedEntry> entries;
  PagedScanStats stats;
};

ScanRun threaded(const PagedScanInputs& inputs) {
  ScanRun r;
  r.entries = sorted(paged_mft_scan(inputs, r.stats));
  return r;
}

ScanRun single(const MappedNtfs& v, const PagedScanInputs& inputs) {
  ScanRun r;
  r.entries = sorted(paginate_mft_by_parent_frn(v.volume(), inputs, nullptr, {}, r.stats));
  return r;
}

// ---- real volumes --------------------------------------------------------------------------

class PagedScanRealVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto m = kavel_test::real_volumes_missing()) GTEST_SKIP() << *m;
    if (auto m = kavel_test::program_missing("fls")) GTEST_SKIP() << *m;
  }

  std::unique_ptr<MappedNtfs> open(const std::string& image, const std::string& manifest, const std::string& folder) {
    const fs::path dir = kavel_test::real_volumes_dir();
    auto rows = kavel_test::read_manifest(dir / manifest);
    if (!rows) return nullptr;
    auto scope = kavel_test::manifest_scope(*rows, folder, 'E');
    if (!scope) return nullptr;
    auto v = std::make_unique<MappedNtfs>(dir / image, std::move(*scope));
    if (!v->ok()) return nullptr;
    return v;
  }

  std::unordered_set<std::uint64_t> no_skip_;
};

TEST_F(PagedScanRealVolume, LargeVolumeTwoFourAndEightThreadsAgreeWithEachOtherAndThePager) {
  auto v = open("ntfs-large.img", "manifest-ntfs-large.tsv", "tree");
  ASSERT_TRUE(v);
  ASSERT_EQ(v->mft_records(), 105'591'808u / 1024);  // $MFT's $DATA size: 103,117 records
  // The record count the bitmap gives (4,194,304: 1024 chunks, 26 of them in the MFT) and the
  // MFT's own record count (26 chunks, spread over every worker).
  for (const std::uint64_t records : {v->estimate(), v->mft_records()}) {
    const ScanRun one = single(*v, v->inputs(records, 4096, 1, no_skip_));
    EXPECT_EQ(one.stats.threads, 1u);
    EXPECT_EQ(one.stats.records_scanned, 103'117u);
    EXPECT_EQ(one.stats.done_chunks, one.stats.chunk_count);
    EXPECT_EQ(one.stats.failed_chunks, one.stats.chunk_count - 26);
    EXPECT_EQ(one.stats.entries_found, one.entries.size());
    EXPECT_GT(one.entries.size(), 9000u);
    for (const std::uint64_t threads : {2u, 4u, 8u}) {
      const ScanRun t = threaded(v->inputs(records, 4096, threads, no_skip_));
      EXPECT_EQ(t.entries, one.entries) << records << " records, " << threads << " threads";
      EXPECT_EQ(counters(t.stats), counters(one.stats)) << records << " records, " << threads << " threads";
      EXPECT_EQ(t.stats.threads, threads);
    }
  }
}

TEST_F(PagedScanRealVolume, SmallChunksSpreadTheLargeMftOverEveryWorker) {
  auto v = open("ntfs-large.img", "manifest-ntfs-large.tsv", "docs");
  ASSERT_TRUE(v);
  const ScanRun one = single(*v, v->inputs(v->mft_records(), 509, 1, no_skip_));
  EXPECT_EQ(one.stats.records_scanned, 103'117u);
  EXPECT_EQ(one.stats.failed_chunks, 0u);
  for (const std::uint64_t threads : {2u, 8u, 16u, 40u}) {
    const ScanRun t = threaded(v->inputs(v->mft_records(), 509, threads, no_skip_));
    EXPECT_EQ(t.entries, one.entries) << threads;
    EXPECT_EQ(counters(t.stats), counters(one.stats)) << threads;
  }
}

TEST_F(PagedScanRealVolume, EntriesAreTheDeletedFilesOfTheManifestAndAllThatTheSleuthKitLists) {
  for (const auto& [image, manifest, folder] :
       {std::tuple{"ntfs-large.img", "manifest-ntfs-large.tsv", "docs/2"},
        std::tuple{"ntfs-large.img", "manifest-ntfs-large.tsv", "tree/g10"},
        std::tuple{"ntfs-small.img", "manifest-ntfs.tsv", "docs/2"},
        std::tuple{"ntfs-small.img", "manifest-ntfs.tsv", "docs"}}) {
    auto v = open(image, manifest, folder);
    ASSERT_TRUE(v) << image;
    const auto rows = kavel_test::read_manifest(kavel_test::real_volumes_dir() / manifest);
    ASSERT_TRUE(rows);
    // The noise filter's own rejections (".bin" names among them) are not the scan's concern.
    EntryKeys expected;
    for (const auto& [frn, path] : kavel_test::manifest_deleted_files(*rows, folder, 'E')) {
      if (is_plausible_file_name(path.substr(path.rfind('\\') + 1), false)) expected.emplace(frn, path);
    }
    ASSERT_FALSE(expected.empty()) << image << " " << folder;
    const ScanRun r = threaded(v->inputs(v->estimate(), 4096, 4, no_skip_));
    const EntryKeys found = keys_of(r.entries);
    EntryKeys missing, extra;
    std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(),
                        std::inserter(missing, missing.end()));
    std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                        std::inserter(extra, extra.end()));
    EXPECT_TRUE(missing.empty() && extra.empty())
        << image << " " << folder << ": " << missing.size() << " missing, first "
        << (missing.empty() ? "-" : missing.begin()->second) << "; " << extra.size() << " extra, first "
        << (extra.empty() ? "-" : extra.begin()->second);

    // fls finds fewer (only names that a directory index still holds), never others.
    const auto listed = kavel_test::fls_deleted_files(kavel_test::real_volumes_dir() / image, folder, 'E');
    ASSERT_TRUE(listed);
    for (const auto& key : *listed) {
      if (is_plausible_file_name(key.second.substr(key.second.rfind('\\') + 1), false)) {
        EXPECT_TRUE(found.contains(key)) << key.first << " " << key.second;
      }
    }
  }
}

TEST_F(PagedScanRealVolume, RecordsInTheSkipSetAreNotScannedNorFound) {
  auto v = open("ntfs-large.img", "manifest-ntfs-large.tsv", "docs/2");
  ASSERT_TRUE(v);
  const ScanRun all = threaded(v->inputs(v->estimate(), 4096, 8, no_skip_));
  ASSERT_GE(all.entries.size(), 10u);
  std::unordered_set<std::uint64_t> skip;
  for (std::size_t i = 0; i < all.entries.size(); i += 2) skip.insert(all.entries[i].frn);
  skip.insert(200'000);  // past the MFT: changes nothing
  const ScanRun rest = threaded(v->inputs(v->estimate(), 4096, 8, skip));
  EXPECT_EQ(rest.stats.records_scanned, all.stats.records_scanned - (skip.size() - 1));
  for (const auto& e : rest.entries) EXPECT_FALSE(skip.contains(e.frn)) << e.frn;
  std::vector<DeletedEntry> left;
  for (const auto& e : all.entries) {
    if (!skip.contains(e.frn)) left.push_back(e);
  }
  EXPECT_EQ(rest.entries, left);
}

TEST_F(PagedScanRealVolume, SpentBudgetTakesNoChunk) {
  auto v = open("ntfs-small.img", "manifest-ntfs.tsv", "docs/2");
  ASSERT_TRUE(v);
  ScanRun t = threaded(v->inputs(v->estimate(), 4096, 8, no_skip_, TimeBudget{0, 0}));
  EXPECT_TRUE(t.entries.empty());
  EXPECT_EQ(counters(t.stats), (std::array<std::uint64_t, 5>{1024, 0, 0, 0, 0}));
  EXPECT_EQ(t.stats.threads, 8u);

  std::vector<std::pair<std::uint64_t, std::string>> lines;
  PagedScanStats stats;
  auto entries = paginate_mft_by_parent_frn(
      v->volume(), v->inputs(v->estimate(), 4096, 1, no_skip_, TimeBudget{0, 0}), nullptr,
      [&](std::uint64_t i, std::uint64_t n, std::string_view text) { lines.emplace_back(i * 10000 + n, text); },
      stats);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(counters(stats), (std::array<std::uint64_t, 5>{1024, 0, 0, 0, 0}));
  EXPECT_EQ(lines, (std::vector<std::pair<std::uint64_t, std::string>>{{1024, "MFT page scan reached time limit"}}));
}

TEST_F(PagedScanRealVolume, PagerReportsEveryEighthChunk) {
  auto v = open("ntfs-small.img", "manifest-ntfs.tsv", "docs/2");
  ASSERT_TRUE(v);
  std::vector<std::string> lines;
  PagedScanStats stats;
  (void)paginate_mft_by_parent_frn(
      v->volume(), v->inputs(v->estimate(), 4096, 1, no_skip_), nullptr,
      [&](std::uint64_t i, std::uint64_t n, std::string_view text) { lines.push_back(fmt::format("{}/{} {}", i, n, text)); },
      stats);
  ASSERT_EQ(lines.size(), 128u);
  EXPECT_EQ(lines[0], "0/1024 MFT pagination (parent FRN) 0/1024");
  EXPECT_EQ(lines[1], "8/1024 MFT pagination (parent FRN) 8/1024");
  EXPECT_EQ(lines[127], "1016/1024 MFT pagination (parent FRN) 1016/1024");
}

TEST_F(PagedScanRealVolume, PagerTakesJournalHintsTheWorkersDoNot) {
  auto v = open("ntfs-small.img", "manifest-ntfs.tsv", "docs/2");
  ASSERT_TRUE(v);
  // notes-live-120.txt (record 89) is in use; a hint naming it makes the pager parse it, but
  // a live file's path still exists, so it never becomes an entry.
  UsnCandidateMap hints;
  hints.names_by_frn[89] = {"notes-live-120.txt"};
  PagedScanStats stats;
  auto hinted = sorted(paginate_mft_by_parent_frn(v->volume(), v->inputs(v->estimate(), 4096, 1, no_skip_), &hints,
                                                  {}, stats));
  const ScanRun plain = single(*v, v->inputs(v->estimate(), 4096, 1, no_skip_));
  EXPECT_EQ(hinted, plain.entries);
  EXPECT_FALSE(keys_of(hinted).contains({89, "E:\\docs\\2\\notes-live-120.txt"}));
}

TEST_F(PagedScanRealVolume, WorkersThatCannotOpenTheVolumeCountNothing) {
  auto v = open("ntfs-small.img", "manifest-ntfs.tsv", "docs/2");
  ASSERT_TRUE(v);
  auto inputs = v->inputs(v->estimate(), 4096, 4, no_skip_);
  inputs.open_volume = [](char) -> std::expected<VolumeHandle, platform::OsError> {
    return std::unexpected(platform::OsError::from_code(5));
  };
  const ScanRun none = threaded(inputs);
  EXPECT_TRUE(none.entries.empty());
  EXPECT_EQ(counters(none.stats), (std::array<std::uint64_t, 5>{1024, 0, 0, 0, 0}));

  // Only the first worker to ask fails: its slice of 256 chunks is left out.
  std::atomic<int> opens{0};
  inputs.open_volume = [&](char letter) -> std::expected<VolumeHandle, platform::OsError> {
    if (opens.fetch_add(1) == 0) return std::unexpected(platform::OsError::from_code(5));
    return open_volume_by_letter(letter);
  };
  const ScanRun some = threaded(inputs);
  EXPECT_EQ(opens.load(), 4);
  EXPECT_EQ(some.stats.done_chunks, 768u);
}

// ---- builder volumes -----------------------------------------------------------------------

struct BuiltVolume {
  kavel_test::TempDir dir;
  fs::path image;
  DirectoryScope scope;
  EntryKeys expected;
};

// docs with a subfolder, 40 files in each and in an unrelated folder, every third one deleted;
// the MFT in three runs with free records at its end.
std::unique_ptr<BuiltVolume> build_volume(std::uint32_t record_size) {
  auto out = std::make_unique<BuiltVolume>();
  kavel_test::ntfs::VolumeBuilder b(
      {.record_size = record_size, .volume_size = 32u << 20, .spare_records = 300, .mft_fragments = 3});
  const auto docs = b.add_folder(b.root(), "docs");
  const auto sub = b.add_folder(docs, "sub");
  const auto other = b.add_folder(b.root(), "other");
  for (int i = 0; i < 40; ++i) {
    const bool deleted = i % 3 == 0;
    const auto d = b.add_file(docs, fmt::format("report-{:02}.txt", i), std::string(100 + i, 'd'), {.deleted = deleted});
    const auto s = b.add_file(sub, fmt::format("photo-{:02}.jpg", i), std::string(5000 + i, 's'), {.deleted = deleted});
    (void)b.add_file(other, fmt::format("other-{:02}.txt", i), "o", {.deleted = deleted});
    if (deleted) {
      out->expected.emplace(d, fmt::format("E:\\docs\\report-{:02}.txt", i));
      out->expected.emplace(s, fmt::format("E:\\docs\\sub\\photo-{:02}.jpg", i));
    }
  }
  out->image = out->dir / "built.img";
  if (!b.write(out->image)) return nullptr;
  out->scope.path = "E:\\docs";
  out->scope.dir_frn = docs;
  out->scope.dir_ref = b.reference(docs);
  out->scope.dir_frns = {docs, sub};
  out->scope.parent_match_frns = {docs, sub, b.reference(docs)};
  out->scope.dir_names = {{docs, {"", 5}}, {sub, {"sub", docs}}};
  return out;
}

class PagedScanBuiltVolume : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PagedScanBuiltVolume, ChunksAcrossMftRunsGiveTheSameEntriesOnEveryThreadCount) {
  auto built = build_volume(GetParam());
  ASSERT_TRUE(built);
  MappedNtfs v(built->image, built->scope);
  ASSERT_TRUE(v.ok());
  const std::unordered_set<std::uint64_t> no_skip;
  // 7 records a chunk: chunks straddle clusters and the MFT's run boundaries.
  const ScanRun one = single(v, v.inputs(v.mft_records(), 7, 1, no_skip));
  EXPECT_EQ(keys_of(one.entries), built->expected);
  EXPECT_EQ(one.stats.records_scanned, v.mft_records());
  EXPECT_EQ(one.stats.failed_chunks, 0u);
  for (const std::uint64_t threads : {2u, 4u, 8u}) {
    const ScanRun t = threaded(v.inputs(v.mft_records(), 7, threads, no_skip));
    EXPECT_EQ(t.entries, one.entries) << threads;
    EXPECT_EQ(counters(t.stats), counters(one.stats)) << threads;
  }
  // The bitmap's estimate reaches far past the MFT: those chunks fail, nothing else changes.
  const ScanRun wide = threaded(v.inputs(v.estimate(), 4096, 8, no_skip));
  EXPECT_EQ(wide.entries, one.entries);
  EXPECT_EQ(wide.stats.records_scanned, v.mft_records());
  EXPECT_EQ(wide.stats.failed_chunks, 1023u);
}

INSTANTIATE_TEST_SUITE_P(RecordSizes, PagedScanBuiltVolume, ::testing::Values(1024u, 4096u));

// ---- shared pieces -------------------------------------------------------------------------

DeletedEntry entry(std::uint64_t frn, std::string path) {
  DeletedEntry e;
  e.frn = frn;
  e.path = std::move(path);
  return e;
}

TEST(PagedResultList, AppendsInOrderUntilAFailureThenGivesNothing) {
  PagedResultList list;
  list.append({entry(1, "a")});
  list.append({entry(2, "b"), entry(3, "c")});
  EXPECT_FALSE(list.failed());
  EXPECT_EQ(list.take().size(), 3u);

  PagedResultList failing;
  failing.append({entry(1, "a")});
  failing.update([](std::vector<DeletedEntry>&) { throw std::bad_alloc(); });
  EXPECT_TRUE(failing.failed());
  failing.append({entry(2, "b")});
  EXPECT_TRUE(failing.take().empty());
}

TEST(PagedScanDeathTest, ZeroChunkSizeStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::unordered_set<std::uint64_t> none;
  const DirNameMap names;
  const PagedScanInputs inputs{.geometry = {},
                               .letter = 'E',
                               .folder = "E:\\",
                               .folder_frn = 5,
                               .parent_match_frns = none,
                               .dir_names = names,
                               .skip = none,
                               .record_count = 100,
                               .chunk_records = 0,
                               .threads = 4};
  PagedScanStats stats;
  EXPECT_DEATH((void)paged_mft_scan(inputs, stats), "assertion failed: step != 0");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
