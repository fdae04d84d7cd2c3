// The unnamed stream of one attribute type of a file, gathered from its base record and from
// every extension record its $ATTRIBUTE_LIST names: a resident value, or the runs of all its
// non-resident extents, each placed by its own lowest VCN.
//
// A large or fragmented file keeps its $DATA in several extents: the one in the base record
// starts at VCN 0 and carries the stream's size; the others, in extension records, start
// further on and carry size 0. Only the extents of the unnamed attribute belong to the file's
// data; named streams of the same type (an alternate stream such as "Zone.Identifier") never
// do.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/data_runs.h"

namespace kavel_lib::engine::windows {

// Largest $ATTRIBUTE_LIST read through its runs (NTFS keeps it well below this).
inline constexpr std::uint64_t kMaxAttributeListBytes = 1u << 20;

// The record numbers (low 48 bits of each entry's reference) of an $ATTRIBUTE_LIST value, in
// entry order. The walk stops when fewer than 26 bytes remain, at an entry length below 26, or
// at an entry that passes the value's end.
std::vector<std::uint64_t> attribute_list_references(std::span<const std::uint8_t> value);

// A resident attribute's value (a view of the record) and its header's data flags.
struct ResidentValue {
  std::span<const std::uint8_t> value;
  std::uint16_t flags = 0;
};

// The first resident unnamed attribute of the type whose value lies inside the record; named
// ones are passed over.
std::optional<ResidentValue> unnamed_resident_attribute(std::span<const std::uint8_t> record, std::uint32_t type);

// The value of that attribute.
std::optional<std::span<const std::uint8_t>> unnamed_resident_value(std::span<const std::uint8_t> record,
                                                                    std::uint32_t type);

// One non-resident extent: its lowest VCN (attribute offset 0x10), its real size and its
// initialized size (meaningful in the extent at VCN 0; the initialized size is the real size
// when the header is too short to hold it), its header's data flags and its runs, numbered
// from its lowest VCN.
struct AttributeExtent {
  std::uint64_t lowest_vcn = 0;
  std::uint64_t real_size = 0;
  std::uint64_t initialized_size = 0;
  std::uint16_t flags = 0;
  std::vector<DataRun> runs;
};

// The record's non-resident extents of the unnamed attribute of the type, in record order.
// An extent whose header does not reach 0x38 bytes or whose mapping pairs lie outside it is
// passed over.
std::vector<AttributeExtent> unnamed_extents(std::span<const std::uint8_t> record, std::uint32_t type);

// What gathering reads from the volume.
struct ExtentSources {
  // Record `n`, fixed up and proven to be record n; nothing when it cannot be had.
  std::function<std::optional<std::vector<std::uint8_t>>(std::uint64_t n)> read_record;
  // The first `size` bytes of a stream through its runs (VCN order); nothing when unreadable.
  std::function<std::optional<std::vector<std::uint8_t>>(std::span<const DataRun> runs, std::uint64_t size)>
      read_stream;
};

struct GatheredStream {
  std::optional<std::uint64_t> data_size;  // from the extent at VCN 0, when there is one
  // From the same extent, at most the data size: the stream's bytes from here on read as
  // zeros, whatever its clusters hold (Windows writes nothing past it).
  std::uint64_t initialized_size = 0;
  // The data flags of the same extent (compressed, encrypted, sparse); 0 without one.
  std::uint16_t flags = 0;
  std::vector<DataRun> runs;  // every extent's runs, in VCN order
};

// The non-resident extents of the unnamed attribute `type` of base record `frn`: those in the
// base record, then those of every other record its $ATTRIBUTE_LIST (resident, or
// non-resident and read through its runs) names, each record read once. A listed record that
// is not an extension record of `frn` (its base reference is 0, or names another record) belongs
// to another file now and is passed over, as are records that cannot be read.
GatheredStream gather_unnamed_stream(std::span<const std::uint8_t> base_record, std::uint64_t frn,
                                     std::uint32_t type, const ExtentSources& sources);

// Whether the runs (VCN order) lay the bytes [0, size) out without a gap and without two runs
// claiming the same cluster: sparse runs count as laid out. False for a zero cluster size or a
// position that overflows.
bool runs_cover(std::span<const DataRun> runs, std::uint64_t bytes_per_cluster, std::uint64_t size);

}  // namespace kavel_lib::engine::windows
