#include "engine/windows/scan_records.h"

#include <gtest/gtest.h>

#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {
namespace {

TEST(FrnPathKey, KnownFnv1aVectors) {
  // FNV-1a of the eight zero bytes of parent 0 and of nothing else.
  EXPECT_EQ(frn_path_key(0, std::nullopt), 0xa8c7f832281a39c5ull);
  // FNV-1a of 05 00 00 00 00 00 00 00 'a'.
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (int b : {5, 0, 0, 0, 0, 0, 0, 0, int('a')}) h = (h ^ static_cast<std::uint64_t>(b)) * 0x100000001b3ull;
  EXPECT_EQ(frn_path_key(5, "a"), h);
  EXPECT_EQ(frn_path_key_hex(0x1f), "000000000000001f");
}

TEST(FrnPathKey, SequenceBitsAndInvalidNamesDoNotCount) {
  EXPECT_EQ(frn_path_key(5, "x.txt"), frn_path_key(5 + (1ull << 48), "x.txt"));
  EXPECT_NE(frn_path_key(5, "x.txt"), frn_path_key(6, "x.txt"));
  const std::string lone_surrogate = wtf8_from_utf16le(std::vector<std::uint8_t>{0x00, 0xD8});
  EXPECT_EQ(frn_path_key(5, lone_surrogate), frn_path_key(5, std::nullopt));
  EXPECT_EQ(frn_path_key(5, ""), frn_path_key(5, std::nullopt));
}

TEST(ScanOptions, ThreadsAreClampedToTwoToEight) {
  EXPECT_EQ(threads_for_processors(1), 2u);
  EXPECT_EQ(threads_for_processors(6), 6u);
  EXPECT_EQ(threads_for_processors(32), 8u);
  EXPECT_EQ(threads_for_processors(0), 4u);
}

TEST(ScanOptions, FullModeDiffersOnlyWhereItShould) {
  const auto d = default_scan_options();
  const auto f = full_scan_options();
  EXPECT_EQ(d.vicinity_dirs, 384u);
  EXPECT_EQ(f.vicinity_dirs, 512u);
  EXPECT_FALSE(d.index_ring || d.vicinity_3 || d.take_in_use || d.extra_name_flag || d.deleted_dir_phase);
  EXPECT_TRUE(f.index_ring && f.vicinity_3 && f.take_in_use && f.extra_name_flag && f.deleted_dir_phase);
  EXPECT_FALSE(f.alt_phase_order || f.order_a || f.local_band || f.index_expansion);
  EXPECT_TRUE(d.paged_phase && d.logfile_phase && d.retry_phase && d.record_cache && d.vicinity_1a);
}

TEST(MftAudit, LineHasEveryFieldInOrder) {
  ScanContext c;
  c.folder = "E:\\docs";
  c.scope_folders = 3;
  c.mft_records = 1000;
  c.index = 1;
  c.deleted_dir = 2;
  c.local_band_count = 4;
  c.expand = 5;
  c.usn = 6;
  c.paged = 7;
  c.logfile = 8;
  c.retry = 9;
  c.pending = 10;
  c.cache_reads = 11;
  c.filtered = 12;
  c.paged_stats.done_chunks = 13;
  c.paged_stats.chunk_count = 14;
  c.paged_stats.threads = 4;
  c.elapsed_ms = 1500;
  c.status = "Completed";
  EXPECT_EQ(print_mft_audit(c),
            "MFT Audit: folder=E:\\docs FRN=3 $MFT\u2248" "1000 index=1 deleted-dir=2 local-band=4 expand=5 USN=6 "
            "paged=7 LogFile=8 retry=9 pending=10 cache-read=11 filtered-cross-dir=12 block13/14 thread4 1500ms "
            "Completed");
  const auto r = summary_only_result("Cannot identify drive letter");
  EXPECT_TRUE(r.entries.empty());
  EXPECT_EQ(r.usn_summary, "Cannot identify drive letter");
  EXPECT_FALSE(r.mft_summary.has_value());
}

TEST(Wtf8, SurrogatesRoundTripAndPrintLossily) {
  // "a", U+1F600 as a pair, a lone high surrogate, "b".
  const std::vector<std::uint8_t> units{'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8, 'b', 0};
  const auto text = wtf8_from_utf16le(units);
  EXPECT_FALSE(is_valid_utf8(text));
  EXPECT_EQ(lossy_utf8(text), "a\xF0\x9F\x98\x80\xEF\xBF\xBD" "b");
  const auto back = utf16_from_wtf8(text);
  ASSERT_EQ(back.size(), 5u);
  EXPECT_EQ(back[3], 0xD800);
  EXPECT_TRUE(is_valid_utf8("\xE2\x89\x88 \xE4\xB8\xAD"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));  // overlong
}

}  // namespace
}  // namespace kavel_lib::engine::windows

namespace kavel_lib::engine::windows {
namespace {

TEST(FirstName, SmallestByBytesWhateverTheSetOrder) {
  EXPECT_EQ(first_name({}), std::nullopt);
  std::unordered_set<std::string> names{"b.txt", "B.txt", "a.txt", "\xc3\xa4.txt"};
  for (int i = 0; i < 50; ++i) names.insert("z" + std::to_string(i));  // rehashes the set
  EXPECT_EQ(first_name(names), "B.txt");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
