// Fuzz target of the emulated NTFS driver's readers. The first byte chooses what the rest is:
//   0: a FILE record (update sequence, attribute walk, data runs, $FILE_NAME values);
//   1: an index node (the entry walk);
//   2: patches (offset u32, byte) applied to a small volume made by the test builder, which is
//      then loaded and asked for records, directory listings, journal reads and enumerations.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/ntfs_model/controls.h"
#include "platform/posix/ntfs_model/index.h"
#include "platform/posix/ntfs_model/record.h"
#include "platform/posix/ntfs_model/volume.h"
#include "support/ntfs_builder.h"

namespace {

using namespace kavel_lib::platform::ntfs_model;

struct Base {
  std::vector<std::uint8_t> image;
  std::uint64_t mft_offset = 0;
  std::uint64_t docs = 0;
};

const Base& base() {
  static const Base b = [] {
    kavel_test::ntfs::VolumeBuilder builder({.volume_size = 2u << 20, .spare_records = 4});
    Base out;
    out.docs = builder.add_folder(builder.root(), "docs");
    for (int i = 0; i < 40; ++i) {
      builder.add_file(out.docs, "a file with a name " + std::to_string(i), std::string(i * 100, 'x'),
                       {.deleted = i % 7 == 0,
                        .index_entry = i % 14 == 0 ? kavel_test::ntfs::DeletedIndexEntry::InFreedBlock
                                                   : kavel_test::ntfs::DeletedIndexEntry::Removed});
    }
    kavel_test::ntfs::UsnJournalSpec j{.journal_id = 3};
    for (int i = 0; i < 30; ++i) {
      j.records.push_back({.version = static_cast<std::uint16_t>(2 + i % 3), .reason = 0x100, .name = "r" + std::to_string(i)});
    }
    builder.set_usn_journal(j);
    out.image = builder.build().value();
    out.mft_offset = builder.mft_extents().front().first * 4096;
    return out;
  }();
  return b;
}

void exercise_record(std::vector<std::uint8_t> record) {
  record.resize(1024);
  apply_update_sequence(record, "FILE");
  for (const auto& a : record_attributes(record)) {
    if (a.non_resident) (void)decode_runs(a.mapping_pairs, a.start_vcn);
    if (a.type == kAttrFileName) (void)parse_file_name(a.value);
  }
}

void exercise_volume(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image = base().image;
  for (std::size_t i = 0; i + 5 <= size; i += 5) {
    std::uint32_t offset = static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) | (data[i + 3] << 24));
    // Most patches land in the MFT, where the readers start.
    if ((offset & 0x80000000u) == 0) offset = static_cast<std::uint32_t>(base().mft_offset + offset % (200 * 1024));
    image[offset % image.size()] = data[i + 4];
  }
  const MemoryReader reader(image);
  const auto volume = Volume::load(reader);
  if (!volume) return;
  std::vector<std::uint8_t> out(1 << 16);
  (void)get_volume_data(**volume, reader, out);
  for (const std::uint64_t n : std::vector<std::uint64_t>{0, 5, 11, base().docs, base().docs + 10, 0xFFFFFFFF}) {
    std::vector<std::uint8_t> in(8);
    for (int b = 0; b < 8; ++b) in[b] = static_cast<std::uint8_t>(n >> (8 * b));
    (void)get_file_record(**volume, reader, in, out);
  }
  (void)(*volume)->directory(reader, 5);
  (void)(*volume)->directory(reader, base().docs);
  std::vector<std::uint8_t> read_in(48, 0);
  if ((*volume)->journal()) {
    for (int b = 0; b < 8; ++b) read_in[32 + b] = static_cast<std::uint8_t>((*volume)->journal()->journal_id >> (8 * b));
  }
  read_in[8] = read_in[9] = read_in[10] = read_in[11] = 0xFF;
  read_in[40] = 2;
  read_in[42] = 4;
  (void)query_usn_journal(**volume, out, 4);
  (void)read_usn_journal(**volume, reader, read_in, out, 4);
  std::vector<std::uint8_t> enum_in(32, 0);
  for (int b = 16; b < 23; ++b) enum_in[b] = 0xFF;
  enum_in[23] = 0x7F;
  enum_in[24] = 2;
  enum_in[26] = 3;
  (void)enum_usn_data(**volume, reader, enum_in, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0] % 3;
  ++data;
  --size;
  if (mode == 0) {
    exercise_record(std::vector<std::uint8_t>(data, data + size));
  } else if (mode == 1) {
    walk_index_node(Bytes(data, size), [](Bytes entry, bool, bool, std::uint64_t) {
      if (entry.size() > 0x10) (void)parse_file_name(entry.subspan(0x10));
      return true;
    });
  } else {
    exercise_volume(data, size);
  }
  return 0;
}
