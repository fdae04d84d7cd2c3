#include "engine/windows/raw_mft/paged_scan.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "engine/windows/raw_mft/chunk_reader.h"

namespace kavel_lib::engine::windows {

namespace {

// A broken internal invariant or a thread that cannot be started ends the program.
[[noreturn]] void fatal_stop(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  std::abort();
}

VolumeOpener opener_of(const PagedScanInputs& inputs) {
  if (inputs.open_volume) return inputs.open_volume;
  return [](char letter) { return open_volume_by_letter(letter); };
}

ChunkScanScope chunk_scope(const PagedScanInputs& inputs, const UsnCandidateMap* hints) {
  return ChunkScanScope{.letter = inputs.letter,
                        .folder = inputs.folder,
                        .folder_frn = inputs.folder_frn,
                        .parent_match_frns = inputs.parent_match_frns,
                        .dir_names = inputs.dir_names,
                        .hints = hints,
                        .skip = inputs.skip,
                        .take_in_use = inputs.take_in_use,
                        .extra_name_flag = inputs.extra_name_flag};
}

}  // namespace

void PagedResultList::append(std::vector<DeletedEntry>&& chunk) {
  update([&](std::vector<DeletedEntry>& entries) {
    entries.insert(entries.end(), std::make_move_iterator(chunk.begin()), std::make_move_iterator(chunk.end()));
  });
}

bool PagedResultList::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

std::vector<DeletedEntry> PagedResultList::take() {
  std::lock_guard lock(mutex_);
  if (failed_) return {};
  return std::move(entries_);
}

void paged_mft_scan_worker(ChunkSlice slice, PagedScanShared& shared) {
  const PagedScanInputs& inputs = shared.inputs;
  auto volume = opener_of(inputs)(inputs.letter);
  if (!volume) return;
  const ChunkScanScope scope = chunk_scope(inputs, nullptr);
  ChunkReader reader(*volume, inputs.geometry);  // this worker's one chunk buffer
  for (std::uint64_t position = slice.begin; position < slice.end; ++position) {
    if (budget_spent(inputs.start, inputs.budget)) break;
    const std::uint64_t first = shared.work.first_record(position);
    auto chunk = reader.read(first, shared.work.records_in_chunk(first));
    if (!chunk) {
      shared.failed_chunks.fetch_add(1);
      shared.done_chunks.fetch_add(1);
      continue;
    }
    ChunkScanResult found = scan_mft_chunk(*chunk, first, inputs.geometry.record_size, scope);
    shared.records_scanned.fetch_add(found.scanned);
    shared.entries_found.fetch_add(found.entries.size());
    shared.results.append(std::move(found.entries));
    shared.done_chunks.fetch_add(1);
  }
}

std::vector<DeletedEntry> paged_mft_scan(const PagedScanInputs& inputs, PagedScanStats& stats) {
  if (inputs.chunk_records == 0) fatal_stop("assertion failed: step != 0");
  const ChunkWorkList work(inputs.record_count, inputs.chunk_records, inputs.folder_frn);
  stats.chunk_count = work.size();
  stats.threads = inputs.threads == 0 ? 1 : inputs.threads;

  PagedScanShared shared(inputs, work);
  {
    const std::vector<ChunkSlice> slices = slice_work_list(work.size(), inputs.threads);
    std::vector<std::jthread> workers;
    workers.reserve(slices.size());
    for (const ChunkSlice& slice : slices) {
      try {
        workers.emplace_back(paged_mft_scan_worker, slice, std::ref(shared));
      } catch (const std::system_error&) {
        fatal_stop("failed to spawn thread");
      }
    }
    for (std::jthread& worker : workers) worker.join();
  }

  stats.done_chunks = shared.done_chunks.load();
  stats.failed_chunks = shared.failed_chunks.load();
  stats.records_scanned = shared.records_scanned.load();
  stats.entries_found = shared.entries_found.load();
  return shared.results.take();
}

std::vector<DeletedEntry> paginate_mft_by_parent_frn(const VolumeHandle& volume, const PagedScanInputs& inputs,
                                                     const UsnCandidateMap* hints, const PagedProgressFn& progress,
                                                     PagedScanStats& stats) {
  if (inputs.chunk_records == 0) fatal_stop("assertion failed: step != 0");
  const ChunkWorkList work(inputs.record_count, inputs.chunk_records, inputs.folder_frn);
  const std::uint64_t count = work.size();
  stats = PagedScanStats{};
  stats.chunk_count = count;
  stats.threads = 1;
  const ChunkScanScope scope = chunk_scope(inputs, hints);
  ChunkReader reader(volume, inputs.geometry);
  auto say = [&](std::uint64_t step, std::string_view text) {
    if (progress) progress(step, count, text);
  };

  std::vector<DeletedEntry> entries;
  for (std::uint64_t position = 0; position < count; ++position) {
    if (budget_spent(inputs.start, inputs.budget)) {
      say(stats.done_chunks, "MFT page scan reached time limit");
      break;
    }
    if (stats.done_chunks % 8 == 0) {
      say(stats.done_chunks, fmt::format("MFT pagination (parent FRN) {}/{}", stats.done_chunks, count));
    }
    const std::uint64_t first = work.first_record(position);
    auto chunk = reader.read(first, work.records_in_chunk(first));
    if (!chunk) {
      ++stats.failed_chunks;
      ++stats.done_chunks;
      continue;
    }
    ChunkScanResult found = scan_mft_chunk(*chunk, first, inputs.geometry.record_size, scope);
    stats.records_scanned += found.scanned;
    stats.entries_found += found.entries.size();
    ++stats.done_chunks;
    entries.insert(entries.end(), std::make_move_iterator(found.entries.begin()),
                   std::make_move_iterator(found.entries.end()));
  }
  return entries;
}

}  // namespace kavel_lib::engine::windows
