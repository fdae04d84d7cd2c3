// The exFAT export's relocation search at its worst: a zeroed heap whose FAT links every
// cluster to the next, so that every candidate has a long chain, and a start cluster that
// holds only zeros. With an allocation bitmap that marks the heap free every candidate of
// the near window and the low scan is read and tested; without one the search takes none.
// Sizes 4096 and 2^63 (the read is capped at 64 MiB and 4096 clusters).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "engine/windows/exfat_deleted/exfat_export.h"
#include "support/exfat_builder.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace ex = kavel_lib::engine::windows::exfat_deleted;

namespace {

// 512-byte clusters 2 .. 99,999, every FAT entry pointing to the next cluster.
std::unique_ptr<kavel_test::MappedVolume> zeroed_heap(bool bitmap, char letter) {
  kavel_test::ExfatBuilder b({.sector_shift = 9, .cluster_shift = 0, .fat_offset_sectors = 24, .cluster_count = 99998});
  std::uint32_t first = 2;
  if (bitmap) {
    b.add_allocation_bitmap(5);
    first = 30;
  }
  for (std::uint32_t c = first; c < 99999; ++c) b.set_entry(c, c + 1);
  return std::make_unique<kavel_test::MappedVolume>(b.image(), letter);
}

void relocate_bench(benchmark::State& state, bool bitmap, std::uint64_t size) {
  static const auto with_bitmap = zeroed_heap(true, 'X');
  static const auto without = zeroed_heap(false, 'Y');
  const char letter = bitmap ? 'X' : 'Y';
  kavel_test::ScopedEnv env("KAVEL_DRIVES", std::string(1, letter) + "=" +
                                                (bitmap ? with_bitmap : without)->image_path().string());
  kavel_test::TempDir out;
  for (auto _ : state) {
    // Nothing fits: the export ends in NotFound after the whole search.
    auto done = ex::export_exfat(static_cast<char32_t>(letter), 1000, 0, size, false, "x.bin", out / "x.bin");
    benchmark::DoNotOptimize(done);
  }
}

void BM_RelocateZeroedHeapFreeBitmap4096(benchmark::State& s) { relocate_bench(s, true, 4096); }
void BM_RelocateZeroedHeapFreeBitmapSize2To63(benchmark::State& s) { relocate_bench(s, true, 1ull << 63); }
void BM_RelocateZeroedHeapNoBitmap4096(benchmark::State& s) { relocate_bench(s, false, 4096); }
void BM_RelocateZeroedHeapNoBitmapSize2To63(benchmark::State& s) { relocate_bench(s, false, 1ull << 63); }

}  // namespace

BENCHMARK(BM_RelocateZeroedHeapFreeBitmap4096)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RelocateZeroedHeapFreeBitmapSize2To63)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RelocateZeroedHeapNoBitmap4096)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RelocateZeroedHeapNoBitmapSize2To63)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
