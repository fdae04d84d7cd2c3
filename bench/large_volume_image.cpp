// Writes a large NTFS volume for the scaling run of bench/compare_peers.sh, with the test
// builder: RECORDS records in the MFT (default 1,000,000), E:\docs\2 three tenths of the way
// in, 500 deleted files of docs\2 (the first half in the records right after the folder's,
// the second half near the MFT's end), and live files in folders of 1000 filling the rest.
//   ./build/bench/large_volume_image PATH [RECORDS]
// Prints the folder's record number; an existing PATH of the same description is kept.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/ntfs_builder.h"

namespace kn = kavel_test::ntfs;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH [RECORDS]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path path = argv[1];
  std::uint64_t records = 1'000'000;
  if (argc > 2) {
    const std::string_view text = argv[2];
    if (std::from_chars(text.data(), text.data() + text.size(), records).ec != std::errc{} || records < 20'000) {
      std::fprintf(stderr, "RECORDS: a number of at least 20000\n");
      return 2;
    }
  }
  constexpr std::uint64_t kFirst = 64;
  constexpr std::uint64_t kDeleted = 500;
  const std::uint64_t folder = records * 3 / 10;
  const std::uint64_t far_start = records - 2 * kDeleted;
  const std::uint64_t last = records - 1;  // the last record handed out; a few spare follow
  const std::filesystem::path stamp = path.string() + ".desc";
  const std::string desc = std::to_string(records) + " " + std::to_string(folder) + "\n";
  if (std::filesystem::exists(path) && std::filesystem::exists(stamp)) {
    std::ifstream in(stamp);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (kept == desc) {
      std::printf("%llu\n", static_cast<unsigned long long>(folder));
      return 0;
    }
  }

  // Records of 1 KiB, 4 KiB clusters; the volume twice the MFT's size and some room.
  kn::Options options;
  options.volume_size = (records * 1024 * 2 + (64u << 20)) / 4096 * 4096;
  options.first_user_record = kFirst;
  options.spare_records = 8;
  kn::VolumeBuilder b(options);
  const std::uint64_t docs = b.add_folder(b.root(), "docs", {.record = kFirst});
  b.add_folder(docs, "2", {.record = folder});
  std::uint64_t deleted = 0;
  auto add_deleted = [&](std::uint64_t record) {
    char name[16];
    std::snprintf(name, sizeof name, "x%04llu", static_cast<unsigned long long>(deleted++));
    b.add_file(folder, name, "deleted " + std::string(name), {.deleted = true, .record = record});
  };
  for (std::uint64_t i = 0; i < kDeleted / 2; ++i) add_deleted(folder + 1 + 2 * i);
  for (std::uint64_t i = 0; i < kDeleted / 2; ++i) add_deleted(far_start + 2 * i);

  std::uint64_t fill_folder = 0;
  std::uint64_t in_folder = 1000;
  for (std::uint64_t r = kFirst + 1; r <= last; ++r) {
    const bool near_deleted = r > folder && r <= folder + kDeleted && (r - folder) % 2 == 1;
    const bool far_deleted = r >= far_start && r < far_start + kDeleted && (r - far_start) % 2 == 0;
    if (r == folder || near_deleted || far_deleted || r == kn::kUsnJournalRecord) continue;
    if (in_folder == 1000) {
      fill_folder = b.add_folder(docs, "f" + std::to_string(r), {.record = r});
      in_folder = 0;
      continue;
    }
    b.add_file(fill_folder, "n" + std::to_string(r), "live", {.record = r});
    ++in_folder;
  }
  auto written = b.write(path);
  if (!written) {
    std::fprintf(stderr, "large_volume_image: %s\n", written.error().c_str());
    return 1;
  }
  std::ofstream(stamp) << desc;
  std::printf("%llu\n", static_cast<unsigned long long>(folder));
  return 0;
}
