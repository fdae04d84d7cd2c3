// Exporting one file by its record number, against the Sleuth Kit's icat writing the same file:
// a 40 MiB file in 8 fragments on a builder-made 64 MiB volume (the copy runs in 4 MiB
// chunks), a resident file (one record read, no cluster read), and a deleted 100 MiB file in
// one run on a 160 MiB volume (what the look-up of its clusters in $Bitmap costs beside the
// copy).
#include <benchmark/benchmark.h>

#include <fstream>
#include <optional>

#include "engine/windows/raw_mft/ntfs_export.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace ew = kavel_lib::engine::windows;
namespace nb = kavel_test::ntfs;

namespace {

struct Volume {
  kavel_test::TempDir dir;
  std::filesystem::path image;
  std::uint64_t big = 0, small = 0;
  std::uint64_t big_size = 40u << 20;
};

const Volume& volume() {
  static const Volume* v = [] {
    auto* out = new Volume;
    nb::VolumeBuilder b({.volume_size = 64u << 20});
    std::string data(out->big_size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    out->big = b.add_file(b.root(), "big.bin", std::move(data), {.fragments = 8, .deleted = true});
    out->small = b.add_file(b.root(), "small.txt", std::string(600, 's'), {.deleted = true});
    out->image = out->dir / "volume.img";
    if (!b.write(out->image)) out->image.clear();
    return out;
  }();
  return *v;
}

struct ContiguousVolume {
  kavel_test::TempDir dir;
  std::filesystem::path image;
  std::uint64_t record = 0;
  std::uint64_t size = 100u << 20;
};

const ContiguousVolume& contiguous_volume() {
  static const ContiguousVolume* v = [] {
    auto* out = new ContiguousVolume;
    nb::VolumeBuilder b({.volume_size = 160u << 20});
    std::string data(out->size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 11);
    out->record = b.add_file(b.root(), "whole.bin", std::move(data), {.deleted = true});
    out->image = out->dir / "volume.img";
    if (!b.write(out->image)) out->image.clear();
    return out;
  }();
  return *v;
}

void run_exports(benchmark::State& state, const std::filesystem::path& image, std::uint64_t record,
                 std::uint64_t size, const std::filesystem::path& dest) {
  if (image.empty()) {
    state.SkipWithError("the volume cannot be built");
    return;
  }
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + image.string());
  for (auto _ : state) {
    auto done = ew::export_ntfs_frn(U'E', record, dest);
    if (!done) {
      state.SkipWithError(done.error().display().c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void export_bench(benchmark::State& state, bool big) {
  const Volume& v = volume();
  run_exports(state, v.image, big ? v.big : v.small, big ? v.big_size : 600, v.dir / "out.bin");
}

void icat_bench(benchmark::State& state, bool big) {
  const Volume& v = volume();
  if (v.image.empty() || kavel_test::program_missing("icat")) {
    state.SkipWithError("the volume or icat is missing");
    return;
  }
  const std::string command = "icat " + kavel_test::shell_quote(v.image.string()) + " " +
                              std::to_string(big ? v.big : v.small) + " > " +
                              kavel_test::shell_quote((v.dir / "icat.bin").string());
  for (auto _ : state) {
    if (kavel_test::run_command(command).status != 0) {
      state.SkipWithError("icat failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (big ? v.big_size : 600)));
}

void BM_ExportNtfsFrnFragmented40MiB(benchmark::State& state) { export_bench(state, true); }
void BM_IcatFragmented40MiB(benchmark::State& state) { icat_bench(state, true); }
void BM_ExportNtfsFrnResident(benchmark::State& state) { export_bench(state, false); }
void BM_IcatResident(benchmark::State& state) { icat_bench(state, false); }
void BM_ExportNtfsFrnDeletedContiguous100MiB(benchmark::State& state) {
  const ContiguousVolume& v = contiguous_volume();
  run_exports(state, v.image, v.record, v.size, v.dir / "out.bin");
}

BENCHMARK(BM_ExportNtfsFrnFragmented40MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IcatFragmented40MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportNtfsFrnResident)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IcatResident)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExportNtfsFrnDeletedContiguous100MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
