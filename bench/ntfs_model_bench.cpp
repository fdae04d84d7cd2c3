// The emulated NTFS driver on ntfs-large (make-real-volumes.sh): every record fetched through
// FSCTL_GET_NTFS_FILE_RECORD, and 10,000 paths of the manifest resolved to their file ids.
// Each is reported per operation ("per_record", "per_path": seconds per operation).
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "platform/ntfs_control.h"
#include "platform/volume_paths.h"
#include "support/test_env.h"

namespace {

using namespace kavel_lib::platform;

std::filesystem::path large_image() { return kavel_test::real_volumes_dir() / "ntfs-large.img"; }

std::vector<std::string> manifest_paths(std::size_t count) {
  std::vector<std::string> out;
  std::ifstream in(kavel_test::real_volumes_dir() / "manifest-ntfs-large.tsv");
  std::string line;
  std::getline(in, line);
  while (out.size() < count && std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string field; std::getline(s, field, '\t');) f.push_back(field);
    if (f.size() < 8 || f[7] != "0") continue;
    std::string p = "E:\\" + f[0];
    for (auto& c : p) {
      if (c == '/') c = '\\';
    }
    out.push_back(std::move(p));
  }
  return out;
}

void BM_FileRecordEveryRecord(benchmark::State& state) {
  if (!std::filesystem::exists(large_image())) {
    state.SkipWithError("ntfs-large.img is missing (set KAVEL_REAL_VOLUMES)");
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + large_image().string());
  auto device = Device::open("\\\\.\\E:");
  if (!device) {
    state.SkipWithError("cannot open the volume");
    return;
  }
  std::vector<std::uint8_t> volume_data(96);
  if (!device_io_control(*device, ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, volume_data)) {
    state.SkipWithError("no volume data");
    return;
  }
  std::uint64_t valid = 0, size = 0;
  for (int i = 0; i < 8; ++i) valid |= std::uint64_t{volume_data[56 + i]} << (8 * i);
  for (int i = 0; i < 4; ++i) size |= std::uint64_t{volume_data[48 + i]} << (8 * i);
  const std::uint64_t records = valid / size;
  std::vector<std::uint8_t> in(8), out(12 + size);
  for (auto _ : state) {
    std::uint64_t answered = 0;
    for (std::uint64_t n = 0; n < records; ++n) {
      for (int i = 0; i < 8; ++i) in[i] = static_cast<std::uint8_t>(n >> (8 * i));
      if (device_io_control(*device, ctl::FSCTL_GET_NTFS_FILE_RECORD, in, out)) ++answered;
    }
    benchmark::DoNotOptimize(answered);
  }
  state.counters["records"] = static_cast<double>(records);
  state.counters["per_record"] = benchmark::Counter(static_cast<double>(records),
                                                    benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FileRecordEveryRecord)->Unit(benchmark::kMillisecond);

void BM_ResolveTenThousandPaths(benchmark::State& state) {
  if (!std::filesystem::exists(large_image())) {
    state.SkipWithError("ntfs-large.img is missing (set KAVEL_REAL_VOLUMES)");
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + large_image().string());
  const auto paths = manifest_paths(10000);
  for (auto _ : state) {
    std::size_t found = 0;
    for (const auto& p : paths) found += volume_paths::file_id(p).has_value() ? 1 : 0;
    if (found != paths.size()) state.SkipWithError("a path did not resolve");
    benchmark::DoNotOptimize(found);
  }
  state.counters["per_path"] = benchmark::Counter(static_cast<double>(paths.size()),
                                                  benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ResolveTenThousandPaths)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
