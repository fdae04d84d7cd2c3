// The directory tree scope and the vicinity phase 1a on ntfs-large.img of the real test
// volumes: E:\tree holds about 3,000 live folders (a scope near its 4096-member bound), and
// phase 1a reads the 8,257 records around the folder one by one through the record cache.
// Against the Sleuth Kit's fls listing the same tree recursively.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "scanner/directory_scope.h"
#include "scanner/mft_phases.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;
namespace sc = kavel_lib::scanner;

namespace {

std::filesystem::path large_image() { return kavel_test::real_volumes_dir() / "ntfs-large.img"; }

void BM_BuildDirectoryScope(benchmark::State& state) {
  if (!std::filesystem::exists(large_image())) {
    state.SkipWithError("ntfs-large.img missing (set KAVEL_REAL_VOLUMES)");
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + large_image().string());
  std::size_t folders = 0;
  for (auto _ : state) {
    auto volume = ew::open_volume_by_letter('E');
    auto data = volume ? ew::query_ntfs_volume_data(*volume) : std::unexpected(volume.error());
    if (!data) {
      state.SkipWithError("cannot open the volume");
      return;
    }
    auto scope = sc::build_directory_scope("E:\\tree", *volume, ew::record_reader_geometry(*data));
    folders = scope ? scope->dir_frns.size() : 0;
  }
  state.counters["folders"] = static_cast<double>(folders);
}
BENCHMARK(BM_BuildDirectoryScope)->Unit(benchmark::kMillisecond);

void BM_VicinityPhase1a(benchmark::State& state) {
  if (!std::filesystem::exists(large_image())) {
    state.SkipWithError("ntfs-large.img missing (set KAVEL_REAL_VOLUMES)");
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + large_image().string());
  auto volume = ew::open_volume_by_letter('E');
  auto data = volume ? ew::query_ntfs_volume_data(*volume) : std::unexpected(volume.error());
  if (!data) {
    state.SkipWithError("cannot open the volume");
    return;
  }
  const auto geometry = ew::record_reader_geometry(*data);
  auto scope = sc::build_directory_scope("E:\\tree", *volume, geometry);
  if (!scope) {
    state.SkipWithError("no scope");
    return;
  }
  const ew::ScanOptions options = ew::default_scan_options();
  std::size_t found = 0;
  for (auto _ : state) {
    ew::ScanContext context;
    ew::MftRecordCache cache;
    sc::PhaseContext ctx{nullptr,  *volume, geometry,        *data, *scope, options, context, cache, 'E',
                         geometry.record_size, ew::ScanClock::now(), ew::TimeBudget{60, 0}, nullptr};
    ew::CollectorState collector;
    sc::run_vicinity_phase_1a(ctx, collector, [](std::uint64_t, std::uint64_t, std::string_view) {});
    found = collector.entries.size();
  }
  state.counters["entries"] = static_cast<double>(found);
}
BENCHMARK(BM_VicinityPhase1a)->Unit(benchmark::kMillisecond);

void BM_FlsRecursiveTree(benchmark::State& state) {
  if (!std::filesystem::exists(large_image()) || kavel_test::program_missing("fls")) {
    state.SkipWithError("ntfs-large.img or fls missing");
    return;
  }
  const std::string command = "fls -r -d -p " + kavel_test::shell_quote(large_image().string()) + " 64 >/dev/null";
  for (auto _ : state) benchmark::DoNotOptimize(kavel_test::run_command(command).status);
}
BENCHMARK(BM_FlsRecursiveTree)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
