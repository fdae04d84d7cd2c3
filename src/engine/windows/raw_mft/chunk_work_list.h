// The paged scans' work list: the MFT read in chunks of C consecutive records, chunk k starting
// at record k x C for every multiple of C below the record count N, taken nearest the folder's
// own chunk first. Equal distances keep ascending order, so the chunk below the folder's comes
// before the chunk above it. The order is computed, not stored, so a work list of any length
// costs no memory; `first_record` gives what a stable sort of all chunk starts by
// |start / C - folder / C| would hold at that position.
#pragma once

#include <cstdint>
#include <vector>

namespace kavel_lib::engine::windows {

class ChunkWorkList {
 public:
  // chunk_records must not be 0 (the callers stop before that).
  ChunkWorkList(std::uint64_t record_count, std::uint32_t chunk_records, std::uint64_t folder_frn);

  // Number of chunks: ceil(N / C).
  [[nodiscard]] std::uint64_t size() const { return count_; }
  [[nodiscard]] std::uint32_t chunk_records() const { return chunk_records_; }
  [[nodiscard]] std::uint64_t record_count() const { return record_count_; }
  // First record number of the chunk at this position of the nearest-first order
  // (position < size()).
  [[nodiscard]] std::uint64_t first_record(std::uint64_t position) const;
  // Records the chunk starting at first_record holds: min(N - first, C), 0 at or past N.
  [[nodiscard]] std::uint32_t records_in_chunk(std::uint64_t first_record) const;

 private:
  std::uint64_t record_count_;
  std::uint32_t chunk_records_;
  std::uint64_t count_;
  std::uint64_t target_;  // the folder's chunk index
};

// A contiguous run of positions [begin, end) of the work list: one worker's share.
struct ChunkSlice {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  friend bool operator==(const ChunkSlice&, const ChunkSlice&) = default;
};

// Most workers a paged scan starts, whatever the thread option says.
inline constexpr std::uint64_t kMaxPagedWorkers = 16;

// The work list cut for min(threads, 16) workers (1 when threads is 0): slices of
// ceil(chunks / workers) positions in order, the last possibly shorter; no empty slice, so
// fewer chunks than workers give one slice per chunk.
std::vector<ChunkSlice> slice_work_list(std::uint64_t chunks, std::uint64_t threads);

}  // namespace kavel_lib::engine::windows
