#include "engine/windows/raw_mft/chunk_work_list.h"

#include <algorithm>

namespace kavel_lib::engine::windows {

ChunkWorkList::ChunkWorkList(std::uint64_t record_count, std::uint32_t chunk_records, std::uint64_t folder_frn)
    : record_count_(record_count),
      chunk_records_(chunk_records),
      count_(chunk_records == 0 ? 0 : record_count / chunk_records + (record_count % chunk_records != 0)),
      target_(chunk_records == 0 ? 0 : folder_frn / chunk_records) {}

std::uint64_t ChunkWorkList::first_record(std::uint64_t position) const {
  if (position >= count_) return record_count_;
  std::uint64_t index = 0;
  if (target_ >= count_) {
    // The folder lies past the last chunk: every chunk is below it, the last one nearest.
    index = count_ - 1 - position;
  } else if (position == 0) {
    index = target_;
  } else {
    // Chunks alternate below and above the target while both sides last, then the longer side
    // goes on alone.
    const std::uint64_t below = target_;
    const std::uint64_t above = count_ - 1 - target_;
    const std::uint64_t paired = std::min(below, above);
    if (position <= 2 * paired) {
      const std::uint64_t distance = (position + 1) / 2;
      index = (position % 2 == 1) ? target_ - distance : target_ + distance;
    } else {
      const std::uint64_t distance = paired + (position - 2 * paired);
      index = below > above ? target_ - distance : target_ + distance;
    }
  }
  return index * chunk_records_;
}

std::uint32_t ChunkWorkList::records_in_chunk(std::uint64_t first_record) const {
  if (first_record >= record_count_) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(record_count_ - first_record, chunk_records_));
}

std::vector<ChunkSlice> slice_work_list(std::uint64_t chunks, std::uint64_t threads) {
  std::vector<ChunkSlice> slices;
  if (chunks == 0) return slices;
  const std::uint64_t workers = std::clamp<std::uint64_t>(threads, 1, kMaxPagedWorkers);
  const std::uint64_t length = chunks / workers + (chunks % workers != 0);
  std::uint64_t begin = 0;
  while (chunks - begin > length) {
    slices.push_back({begin, begin + length});
    begin += length;
  }
  slices.push_back({begin, chunks});
  return slices;
}

}  // namespace kavel_lib::engine::windows
