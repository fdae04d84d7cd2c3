// Reading a whole master file table the way the paged scan does (chunks of 4096 records, one
// read per MFT run touched), against the Sleuth Kit's icat extracting the same $MFT stream.
// Volume: ntfs-large.img of the real test volumes (a $MFT of about 100,000 records in two runs).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>

#include "engine/windows/raw_mft/record_reader.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;

namespace {

std::filesystem::path large_image() { return kavel_test::real_volumes_dir() / "ntfs-large.img"; }

ew::VolumeGeometry boot_geometry(const kavel_lib::platform::Device& device) {
  std::vector<std::uint8_t> boot(512);
  (void)device.read_exact_at(0, boot);
  const std::uint64_t cluster = std::uint64_t(boot[0x0B] | (boot[0x0C] << 8)) * boot[0x0D];
  std::uint64_t lcn = 0;
  for (int i = 7; i >= 0; --i) lcn = (lcn << 8) | boot[0x30 + static_cast<std::size_t>(i)];
  const auto per = static_cast<std::int8_t>(boot[0x40]);
  return {cluster, lcn, per < 0 ? (1u << -per) : static_cast<std::uint32_t>(per * cluster)};
}

void BM_ReadMftInChunks(benchmark::State& state) {
  if (!std::filesystem::exists(large_image())) {
    state.SkipWithError("ntfs-large.img missing (set KAVEL_REAL_VOLUMES)");
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + large_image().string());
  std::uint64_t records = 0;
  for (auto _ : state) {
    auto volume = ew::open_volume_by_letter('E');
    if (!volume) {
      state.SkipWithError("cannot open the volume");
      return;
    }
    const auto g = boot_geometry(volume->device());
    const auto layout = volume->mft_layout(g);
    records = layout ? layout->record_count : 0;
    std::uint64_t files = 0;
    for (std::uint64_t s = 0; s < records; s += 4096) {
      auto chunk = ew::read_mft_records(*volume, g, s, 4096);
      if (chunk) files += (*chunk)[0] == 'F';
    }
    benchmark::DoNotOptimize(files);
  }
  state.counters["records"] = static_cast<double>(records);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
}
BENCHMARK(BM_ReadMftInChunks)->Unit(benchmark::kMillisecond);

void BM_IcatMft(benchmark::State& state) {
  if (!std::filesystem::exists(large_image()) || kavel_test::program_missing("icat")) {
    state.SkipWithError("ntfs-large.img or icat missing");
    return;
  }
  const std::string command = "icat " + kavel_test::shell_quote(large_image().string()) + " 0 > /dev/null";
  for (auto _ : state) benchmark::DoNotOptimize(kavel_test::run_command(command).status);
}
BENCHMARK(BM_IcatMft)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
