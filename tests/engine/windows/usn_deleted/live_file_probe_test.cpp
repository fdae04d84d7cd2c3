#include "engine/windows/usn_deleted/live_file_probe.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/windows/raw_mft/mft_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::mft::Bytes;
using kavel_test::mft::RecordBuilder;

constexpr std::uint64_t kSeq1 = 1ull << 48;

// Records by number, as the file system would hand them out; reads are counted.
struct Records {
  std::map<std::uint64_t, Bytes> by_number;
  std::map<std::uint64_t, int> reads;

  void add(std::uint64_t frn, std::uint64_t parent, const std::u16string& name, std::uint16_t flags = 1,
           std::uint16_t sequence = 1) {
    by_number[frn] = RecordBuilder(1024, flags, sequence).file_name(parent | kSeq1, name).fixed();
  }
  LiveFileProbe probe() {
    return LiveFileProbe([this](std::uint64_t frn) -> std::optional<std::vector<std::uint8_t>> {
      ++reads[frn];
      auto it = by_number.find(frn);
      if (it == by_number.end()) return std::nullopt;
      return it->second;
    });
  }
};

TEST(LiveFileProbe, PlaceComesFromTheParentChainAndEachRecordIsReadOnce) {
  Records r;
  r.add(30, 5, u"$RECYCLE.bin", 3);
  r.add(31, 30, u"S-1-5-21-1-2-3-1001", 3);
  r.add(32, 5, u"docs", 3);
  r.add(33, 32, u"sub", 3);
  r.add(40, 33, u"kept.txt");       // live in docs\sub
  r.add(41, 31, u"$R0A1B2C.txt");   // in the Recycle Bin
  r.add(42, 33, u"old.txt", 0);     // free record
  r.add(43, 33, u"reused.txt", 1, 2);
  r.add(50, 51, u"a", 3);           // a parent chain that loops
  r.add(51, 50, u"b", 3);
  r.add(44, 50, u"looped.txt");
  r.add(45, 60, u"orphan.txt");     // parent 60 cannot be read
  r.add(46, 5, u"root.txt");
  auto probe = r.probe();
  EXPECT_TRUE(probe.live_outside_recycle_bin(40 | kSeq1));
  EXPECT_TRUE(probe.live_outside_recycle_bin(46 | kSeq1));
  EXPECT_FALSE(probe.live_outside_recycle_bin(41 | kSeq1)) << "in $RECYCLE.BIN, whatever its case";
  EXPECT_FALSE(probe.live_outside_recycle_bin(42 | kSeq1)) << "not in use";
  EXPECT_FALSE(probe.live_outside_recycle_bin(43 | kSeq1)) << "another sequence number";
  EXPECT_TRUE(probe.live_outside_recycle_bin(43 | (2ull << 48)));
  EXPECT_FALSE(probe.live_outside_recycle_bin(44 | kSeq1)) << "a chain that never reaches the root";
  EXPECT_FALSE(probe.live_outside_recycle_bin(45 | kSeq1)) << "a parent that cannot be read";
  EXPECT_FALSE(probe.live_outside_recycle_bin(70 | kSeq1)) << "no record";
  EXPECT_TRUE(probe.live_outside_recycle_bin(40 | kSeq1));
  for (const auto& [frn, n] : r.reads) EXPECT_EQ(n, 1) << frn;
  EXPECT_FALSE(r.reads.contains(5)) << "the root is never read";
}

TEST(LiveFileProbe, StopsReadingAtItsLimit) {
  Records r;
  auto probe = r.probe();
  for (std::uint64_t frn = 100; frn < 100 + kLiveProbeMaxReads; ++frn) probe.live_outside_recycle_bin(frn | kSeq1);
  r.add(7, 5, u"late.txt");
  EXPECT_FALSE(probe.live_outside_recycle_bin(7 | kSeq1)) << "past the limit it cannot tell";
  EXPECT_FALSE(r.reads.contains(7));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
