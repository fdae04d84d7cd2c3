// The whole folder scan of tarnwick (scan_folder_deleted with its 60 s budget, as the program
// runs it) on E:\docs\2 of ntfs-large.img, warm page cache: once as the program runs it, and
// once without the designed waits of phase 5 (its two 200 ms pauses between re-read passes).
// KAVEL_SCAN_IMAGE names another image to scan the same folder of.
// bench/compare_peers.sh runs it beside the program and the peers.
//   ./build/bench/folder_scan_bench            (KAVEL_REAL_VOLUMES names the volumes' folder)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "scanner/folder_scan.h"
#include "scanner/mft_orchestrator.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;
namespace ks = kavel_lib::scanner;

namespace {

constexpr const char* kFolder = "E:\\docs\\2";

// ntfs-large.img of the real volumes, or the image KAVEL_SCAN_IMAGE names (a volume with the
// same folder, such as the one bench/large_volume_image writes).
std::optional<std::string> map_large_volume(std::optional<kavel_test::ScopedEnv>& env) {
  const char* chosen = std::getenv("KAVEL_SCAN_IMAGE");
  const auto image = chosen != nullptr && *chosen != '\0' ? std::filesystem::path(chosen)
                                                          : kavel_test::real_volumes_dir() / "ntfs-large.img";
  if (!std::filesystem::exists(image)) return image.string() + " missing (set KAVEL_REAL_VOLUMES)";
  env.emplace("KAVEL_DRIVES", "E=" + image.string());
  return std::nullopt;
}

// The driver's sources with phase 5 pausing not at all.
ks::FolderScanSources without_phase5_waits() {
  ks::FolderScanSources sources = ks::default_folder_scan_sources();
  sources.run_mft_phases = [](const ew::DirectoryScope& scope, char letter, ew::TimeBudget remaining,
                              const ew::UsnCandidateMap* usn_map, const ew::ScanOptions& options,
                              const ks::TextSink& out) {
    ks::MftStepSources step = ks::default_mft_step_sources();
    step.logfile_and_retry = [](auto&&... args) {
      return ks::run_logfile_and_retry_phases(std::forward<decltype(args)>(args)...,
                                              [](std::chrono::nanoseconds) {});
    };
    return ks::run_mft_phases(scope, letter, remaining, usn_map, options, out, step);
  };
  return sources;
}

void run_scan(benchmark::State& state, const ks::FolderScanSources& sources) {
  std::optional<kavel_test::ScopedEnv> env;
  if (auto why = map_large_volume(env)) {
    state.SkipWithError(why->c_str());
    return;
  }
  const ks::TextSink quiet = [](std::string_view) {};
  std::size_t found = 0;
  for (auto _ : state) {
    const ew::ScanResult result = ks::scan_folder_deleted(kFolder, ew::TimeBudget{60, 0}, false, quiet, sources);
    found = result.entries.size();
    benchmark::DoNotOptimize(found);
  }
  state.counters["found"] = static_cast<double>(found);
}

void BM_FolderScan_Docs2(benchmark::State& state) { run_scan(state, ks::default_folder_scan_sources()); }
void BM_FolderScan_Docs2_NoPhase5Waits(benchmark::State& state) { run_scan(state, without_phase5_waits()); }

}  // namespace

BENCHMARK(BM_FolderScan_Docs2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FolderScan_Docs2_NoPhase5Waits)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
