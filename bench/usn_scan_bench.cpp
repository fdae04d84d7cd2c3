// The change-journal scan of one folder on a builder volume whose $J holds 120,000 records
// (about 10 MB, so the scan reads its last 8,000,000 bytes twice), against the Sleuth Kit's
// usnjls listing the whole journal of the same image; and the record walk alone over one
// 256 KiB answer held in memory.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <unordered_set>

#include "engine/windows/usn_deleted/usn_scan.h"
#include "engine/windows/usn_deleted/usn_walk.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;
namespace nb = kavel_test::ntfs;

namespace {

constexpr int kRecords = 120'000;

struct BigJournal {
  kavel_test::TempDir dir;
  std::filesystem::path image;
  std::uint64_t docs = 0;
  std::string error;

  BigJournal() {
    nb::VolumeBuilder b({.volume_size = 96u << 20});
    docs = b.add_folder(b.root(), "docs");
    const std::uint64_t other = b.add_folder(b.root(), "other");
    nb::UsnJournalSpec journal;
    journal.maximum_size = 64u << 20;
    for (int i = 0; i < kRecords; ++i) {
      const bool mine = i % 100 == 0;
      const std::uint64_t file = (0x0001000000000000ull) | static_cast<std::uint64_t>(1000 + i % 5000);
      journal.records.push_back({.version = 2, .file_reference = file,
                                 .parent_reference = b.reference(mine ? docs : other),
                                 .reason = i % 7 == 0 ? 0x80000200u : 0x80000002u,
                                 .name = "file_" + std::to_string(i % 5000) + ".txt"});
    }
    b.set_usn_journal(std::move(journal));
    image = dir / "journal.img";
    if (auto w = b.write(image); !w) error = w.error();
  }
};

BigJournal& big_journal() {
  static BigJournal journal;
  return journal;
}

void BM_ScanUsnDeletedFolder(benchmark::State& state) {
  BigJournal& j = big_journal();
  if (!j.error.empty()) {
    state.SkipWithError(j.error.c_str());
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "F=" + j.image.string());
  const std::unordered_set<std::uint64_t> scope{j.docs};
  std::size_t found = 0;
  for (auto _ : state) {
    auto r = ew::scan_usn_deleted("F:\\docs", j.docs, j.docs, &scope, nullptr, false);
    found = r ? r->candidates.size() : 0;
    benchmark::DoNotOptimize(found);
  }
  state.counters["candidates"] = static_cast<double>(found);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_ScanUsnDeletedFolder)->Unit(benchmark::kMillisecond);

void BM_UsnjlsSameImage(benchmark::State& state) {
  BigJournal& j = big_journal();
  if (!j.error.empty() || kavel_test::program_missing("usnjls")) {
    state.SkipWithError("usnjls or the image missing");
    return;
  }
  const std::string command = "usnjls " + kavel_test::shell_quote(j.image.string()) + " > /dev/null";
  for (auto _ : state) benchmark::DoNotOptimize(kavel_test::run_command(command).status);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_UsnjlsSameImage)->Unit(benchmark::kMillisecond);

// One answer's worth of V2 records, none of them in the folder: the parse and test cost alone.
void BM_WalkOneAnswer(benchmark::State& state) {
  std::vector<std::uint8_t> buffer;
  std::int64_t records = 0;
  while (buffer.size() + 96 <= 0x40000) {
    std::vector<std::uint8_t> r(96, 0);
    const auto put = [&](std::size_t at, std::uint64_t v, int w) {
      for (int i = 0; i < w; ++i) r[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(0, 96, 4);
    put(4, 2, 2);
    put(8, 5000 + static_cast<std::uint64_t>(records), 8);
    put(16, 77, 8);
    put(40, 0x80000200, 4);
    put(56, 24, 2);
    put(58, 60, 2);
    const char* name = "document_1234.txt";
    for (int i = 0; i < 12; ++i) r[60 + 2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(name[i]);
    buffer.insert(buffer.end(), r.begin(), r.end());
    ++records;
  }
  ew::UsnWalkContext context;
  context.folder = "Z:\\docs";
  context.dir_frn = 100;
  context.dir_ref = 100;
  for (auto _ : state) {
    ew::UsnFindings findings;
    std::unordered_set<std::uint64_t> unpaired;
    ew::walk_usn_buffer(buffer, context, findings, unpaired);
    benchmark::DoNotOptimize(findings.candidates.size());
  }
  state.SetItemsProcessed(state.iterations() * records);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
}
BENCHMARK(BM_WalkOneAnswer)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
