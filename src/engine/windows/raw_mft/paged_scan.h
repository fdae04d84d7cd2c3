// The paged MFT scan: the whole table read chunk by chunk, nearest the folder first, on up to
// 16 worker threads, each over its own contiguous slice of the work list and through its own
// volume handle. The workers share the budget, four atomic counters and one lock-guarded
// result list; all are joined before the scan returns. A single-threaded pager over the same
// work list serves thread counts below 2.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/windows/raw_mft/chunk_scan.h"
#include "engine/windows/raw_mft/chunk_work_list.h"
#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/raw_mft/volume_geometry.h"
#include "engine/windows/scan_records.h"
#include "engine/windows/time_budget.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// How a worker opens its own handle on the volume (open_volume_by_letter unless told).
using VolumeOpener = std::function<std::expected<VolumeHandle, platform::OsError>(char)>;

// Progress lines of the single-threaded pager: (step, total, text).
using PagedProgressFn = std::function<void(std::uint64_t, std::uint64_t, std::string_view)>;

// What one paged scan reads. The sets are shared read-only by every worker: nothing may write
// them until the scan has returned.
struct PagedScanInputs {
  VolumeGeometry geometry;
  char letter = 0;
  std::string_view folder{};
  std::uint64_t folder_frn = 0;
  const std::unordered_set<std::uint64_t>& parent_match_frns;
  const DirNameMap& dir_names;
  const std::unordered_set<std::uint64_t>& skip;  // records an earlier phase already found
  std::uint64_t record_count = 0;                 // N: mft_record_count_estimate of the bitmap
  std::uint32_t chunk_records = 4096;             // C
  std::uint64_t threads = 1;
  TimeBudget budget{};
  ScanClock::time_point start{};
  bool take_in_use = false;
  bool extra_name_flag = false;
  VolumeOpener open_volume{};
};

// The result list the workers append finished chunks to, under its one lock. A worker that
// fails while holding the lock marks the list failed: later chunks are discarded and the scan
// hands back no entries.
class PagedResultList {
 public:
  // Appends the chunk's entries; discards them once the list is marked failed.
  void append(std::vector<DeletedEntry>&& chunk);
  // Runs step on the list under the lock; a step that throws marks the list failed.
  template <class Step>
  void update(Step&& step) {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    try {
      step(entries_);
    } catch (...) {
      failed_ = true;
    }
  }
  [[nodiscard]] bool failed() const;
  // The entries in the order appended, or none when the list was marked failed.
  std::vector<DeletedEntry> take();

 private:
  mutable std::mutex mutex_;
  std::vector<DeletedEntry> entries_;
  bool failed_ = false;
};

// Everything the workers of one threaded scan share; it outlives every worker.
struct PagedScanShared {
  PagedScanShared(const PagedScanInputs& scan_inputs, const ChunkWorkList& work_list)
      : inputs(scan_inputs), work(work_list) {}

  const PagedScanInputs& inputs;
  const ChunkWorkList& work;
  std::atomic<std::uint64_t> done_chunks{0};
  std::atomic<std::uint64_t> failed_chunks{0};
  std::atomic<std::uint64_t> records_scanned{0};
  std::atomic<std::uint64_t> entries_found{0};
  PagedResultList results;
};

// The threaded scan: writes every field of stats (threads = the option, 1 when it is 0) and
// returns the entries found, in the order the workers appended their chunks. A zero chunk size
// ("assertion failed: step != 0") and a thread that cannot be started ("failed to spawn
// thread") stop the program.
std::vector<DeletedEntry> paged_mft_scan(const PagedScanInputs& inputs, PagedScanStats& stats);

// One worker: opens its own volume handle (when that fails it does nothing and counts nothing),
// then for each position of its slice, until the budget is spent, reads the chunk into its one
// chunk buffer (one read per MFT run the chunk touches), scans it without a hint map and
// appends its entries.
void paged_mft_scan_worker(ChunkSlice slice, PagedScanShared& shared);

// The single-threaded pager: the same work list in the same order through the scan's own
// volume handle, with the journal's hint map; progress lines "MFT pagination (parent FRN)
// {done}/{count}" every 8 chunks and "MFT page scan reached time limit" when the budget ends
// it. Writes every field of stats (threads 1).
std::vector<DeletedEntry> paginate_mft_by_parent_frn(const VolumeHandle& volume, const PagedScanInputs& inputs,
                                                     const UsnCandidateMap* hints, const PagedProgressFn& progress,
                                                     PagedScanStats& stats);

}  // namespace kavel_lib::engine::windows
