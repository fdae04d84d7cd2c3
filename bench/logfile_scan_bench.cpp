// The $LogFile page search over the 8 MiB that phase 4 reads: a log of record pages (the
// Windows 7 log repeated to 8 MiB) and a blank log of unused 0xFF pages. The search looks at
// every byte position once per pass, so its time grows with the bytes only.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <unordered_set>

#include "engine/windows/ntfs_logfile/log_page_scan.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;

namespace {

constexpr std::size_t kTail = 8u << 20;

std::vector<std::uint8_t> windows7_log_repeated() {
  std::ifstream in(kavel_test::test_data_dir() / "windows-journal" / "LogFile_7.bin", std::ios::binary);
  const std::vector<std::uint8_t> one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> log;
  if (one.empty()) return log;
  log.reserve(kTail);
  while (log.size() < kTail) log.insert(log.end(), one.begin(), one.begin() + std::min(one.size(), kTail - log.size()));
  return log;
}

void run(benchmark::State& state, const std::vector<std::uint8_t>& log) {
  const std::unordered_set<std::uint64_t> scope{5, 35, 36, 64, 65};
  ew::UsnCandidateMap map;
  map.names_by_frn[36] = {"tracking.log.tmp"};
  for (auto _ : state) {
    auto result = ew::scan_logfile_pages(log, {4096, 1024, 1u << 20}, scope, &map);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(log.size()));
}

void BM_ScanRecordPages8MiB(benchmark::State& state) {
  static const std::vector<std::uint8_t> log = windows7_log_repeated();
  if (log.empty()) {
    state.SkipWithError("LogFile_7.bin missing");
    return;
  }
  run(state, log);
}

void BM_ScanBlankLog8MiB(benchmark::State& state) {
  static const std::vector<std::uint8_t> log(kTail, 0xFF);
  run(state, log);
}

}  // namespace

BENCHMARK(BM_ScanRecordPages8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanBlankLog8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
