// The paged MFT phase over ntfs-large.img of the real test volumes (a $MFT of 103,117 records,
// 105.6 MB, in two runs) with 1, 2, 4 and 8 threads, warm page cache, against two bounds: plain
// sequential reads of the same byte ranges (the MFT's runs, 4 MiB at a time) and the Sleuth
// Kit's `fls -r -d -p` listing every deleted name of the volume.
//
// Rates: records/s and bytes/s of the MFT (the phase's chunk count comes from the in-use
// bitmap and reaches far past the MFT; those chunks cost no read). Folders: "tree" (10,200
// deleted files below it) and "docs/2" (500).
//   ./build/bench/paged_scan_bench            (KAVEL_REAL_VOLUMES names the volumes' folder)
#include <benchmark/benchmark.h>

#include <filesystem>
#include <optional>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/raw_mft/paged_scan.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "scanner/paged_phase.h"
#include "support/manifest_scope.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;
namespace ks = kavel_lib::scanner;

namespace {

const char* const kFolders[] = {"tree", "docs/2"};

std::filesystem::path large_image() { return kavel_test::real_volumes_dir() / "ntfs-large.img"; }

// The volume mapped to E:, opened once for the whole program.
struct LargeVolume {
  std::optional<kavel_test::ScopedEnv> env;
  std::optional<ew::VolumeHandle> volume;
  ew::NtfsVolumeData data;
  ew::VolumeGeometry geometry;
  std::shared_ptr<const ew::MftLayout> layout;
  std::optional<std::vector<std::uint8_t>> bitmap;
  std::vector<kavel_test::ManifestRow> rows;
  std::string missing;

  LargeVolume() {
    if (!std::filesystem::exists(large_image())) {
      missing = "ntfs-large.img missing (set KAVEL_REAL_VOLUMES)";
      return;
    }
    auto manifest = kavel_test::read_manifest(kavel_test::real_volumes_dir() / "manifest-ntfs-large.tsv");
    if (!manifest) {
      missing = "manifest-ntfs-large.tsv missing";
      return;
    }
    rows = std::move(*manifest);
    env.emplace("KAVEL_DRIVES", "E=" + large_image().string());
    auto opened = ew::open_volume_by_letter('E');
    if (!opened) {
      missing = "cannot open the volume";
      return;
    }
    auto queried = ew::query_ntfs_volume_data(*opened);
    if (!queried) {
      missing = "cannot read the volume data";
      return;
    }
    data = *queried;
    geometry = ew::record_reader_geometry(data);
    layout = opened->mft_layout(geometry);
    if (!layout) {
      missing = "cannot map the MFT";
      return;
    }
    bitmap = ew::load_mft_in_use_bitmap(*opened, geometry.record_size);
    volume.emplace(std::move(*opened));
  }

  [[nodiscard]] std::uint64_t mft_bytes() const { return layout->record_count * geometry.record_size; }
};

LargeVolume& large() {
  static LargeVolume v;
  return v;
}

void set_rates(benchmark::State& state, const LargeVolume& v) {
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(v.layout->record_count), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(v.mft_bytes()) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

// Plain reads of the MFT's byte ranges, 4 MiB at a time into one buffer: the bound.
void BM_SequentialReadOfTheMft(benchmark::State& state) {
  LargeVolume& v = large();
  if (!v.missing.empty()) {
    state.SkipWithError(v.missing.c_str());
    return;
  }
  auto pieces = v.layout->pieces_for(0, v.layout->record_count);
  if (!pieces) {
    state.SkipWithError("cannot map the MFT's runs");
    return;
  }
  std::vector<std::uint8_t> buffer(4u << 20);
  for (auto _ : state) {
    std::uint64_t total = 0;
    for (const auto& piece : *pieces) {
      for (std::uint64_t at = 0; at < piece.length; at += buffer.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), piece.length - at));
        auto got = v.volume->device().read_at(piece.device_offset + at, std::span(buffer.data(), n));
        total += got ? *got : 0;
      }
    }
    benchmark::DoNotOptimize(total);
  }
  set_rates(state, v);
}
BENCHMARK(BM_SequentialReadOfTheMft)->Unit(benchmark::kMillisecond);

// The whole phase: title, the threaded scan (or the pager for 1 thread), the collector.
void BM_PagedPhase(benchmark::State& state) {
  LargeVolume& v = large();
  if (!v.missing.empty()) {
    state.SkipWithError(v.missing.c_str());
    return;
  }
  const std::string folder = kFolders[state.range(1)];
  auto scope = kavel_test::manifest_scope(v.rows, folder, 'E');
  if (!scope) {
    state.SkipWithError("folder not in the manifest");
    return;
  }
  ew::ScanOptions options = ew::default_scan_options();
  options.threads = static_cast<std::uint64_t>(state.range(0));
  std::uint64_t entries = 0;
  ew::PagedScanStats stats;
  for (auto _ : state) {
    ew::ScanContext context;
    ew::MftRecordCache cache;
    ew::CollectorState collector;
    ks::PhaseContext ctx{v.bitmap ? &*v.bitmap : nullptr,
                         *v.volume,
                         v.geometry,
                         v.data,
                         *scope,
                         options,
                         context,
                         cache,
                         'E',
                         v.geometry.record_size,
                         ew::ScanClock::now(),
                         ew::TimeBudget{60, 0},
                         nullptr};
    ks::run_mft_paged_phase(ctx, collector.found_frns, collector.entries, collector.dedup_texts,
                            [](std::uint64_t, std::uint64_t, std::string_view) {});
    entries = collector.entries.size();
    stats = context.paged_stats;
  }
  state.SetLabel(folder);
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["chunks"] = static_cast<double>(stats.chunk_count);
  state.counters["scanned"] = static_cast<double>(stats.records_scanned);
  set_rates(state, v);
}
BENCHMARK(BM_PagedPhase)
    ->ArgsProduct({{1, 2, 4, 8}, {0, 1}})
    ->ArgNames({"threads", "folder"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The threaded scan alone with N the MFT's own record count and 1024-record chunks, so that the
// chunks spread over every worker: how the workers scale when there is work for all of them.
void BM_PagedScanSpread(benchmark::State& state) {
  LargeVolume& v = large();
  if (!v.missing.empty()) {
    state.SkipWithError(v.missing.c_str());
    return;
  }
  auto scope = kavel_test::manifest_scope(v.rows, "tree", 'E');
  if (!scope) {
    state.SkipWithError("folder not in the manifest");
    return;
  }
  const std::unordered_set<std::uint64_t> skip;
  for (auto _ : state) {
    const ew::PagedScanInputs inputs{.geometry = v.geometry,
                                     .letter = 'E',
                                     .folder = scope->path,
                                     .folder_frn = scope->dir_frn,
                                     .parent_match_frns = scope->parent_match_frns,
                                     .dir_names = scope->dir_names,
                                     .skip = skip,
                                     .record_count = v.layout->record_count,
                                     .chunk_records = 1024,
                                     .threads = static_cast<std::uint64_t>(state.range(0)),
                                     .budget = ew::TimeBudget{60, 0},
                                     .start = ew::ScanClock::now()};
    ew::PagedScanStats stats;
    benchmark::DoNotOptimize(ew::paged_mft_scan(inputs, stats).size());
  }
  set_rates(state, v);
}
BENCHMARK(BM_PagedScanSpread)->Arg(2)->Arg(4)->Arg(8)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

// The Sleuth Kit listing every deleted name of the same image with full paths.
void BM_FlsRecursiveDeleted(benchmark::State& state) {
  if (!std::filesystem::exists(large_image()) || kavel_test::program_missing("fls")) {
    state.SkipWithError("ntfs-large.img or fls missing");
    return;
  }
  const std::string command = "fls -r -d -p " + kavel_test::shell_quote(large_image().string()) + " > /dev/null";
  for (auto _ : state) benchmark::DoNotOptimize(kavel_test::run_command(command).status);
  if (!large().missing.empty()) return;
  set_rates(state, large());
}
BENCHMARK(BM_FlsRecursiveDeleted)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
