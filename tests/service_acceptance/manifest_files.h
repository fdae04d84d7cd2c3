// The deleted files of a real test volume as its manifest lists them (manifest-*.tsv of
// make-real-volumes.sh: path, type, size, sha256, inode, first_cluster, runs, deleted, note),
// and the exFAT no-FAT-chain flags read from the volume's deleted directory entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/manifest_scope.h"

namespace kavel_test::service_acceptance {

struct DeletedFile {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
  std::optional<std::uint64_t> inode;          // absent when the manifest says "?"
  std::optional<std::uint32_t> first_cluster;  // absent for "-", "?" and "resident"
  std::string runs;
  std::string note;

  [[nodiscard]] bool record_reused() const { return note.find("mft-record-reused-by:") != std::string::npos; }
  [[nodiscard]] bool clusters_reused() const { return note.find("clusters-reused-by:") != std::string::npos; }
  [[nodiscard]] bool fragmented() const { return runs.find(',') != std::string::npos; }
};

// Every deleted regular file of the manifest; empty when it cannot be read.
inline std::vector<DeletedFile> manifest_deleted_files(const std::filesystem::path& manifest) {
  std::vector<DeletedFile> out;
  const auto rows = kavel_test::read_manifest(manifest);
  if (!rows) return out;
  for (const auto& row : *rows) {
    if (row.type != "f" || !row.deleted) continue;
    DeletedFile file;
    file.path = row.path;
    file.size = row.size.value_or(0);
    file.sha256 = row.sha256;
    file.inode = row.inode;
    if (row.first_cluster && *row.first_cluster <= 0xFFFFFFFFu) {
      file.first_cluster = static_cast<std::uint32_t>(*row.first_cluster);
    }
    file.runs = row.runs;
    file.note = row.note;
    out.push_back(std::move(file));
  }
  return out;
}

inline std::uint32_t le32_at(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

inline std::uint64_t le64_at(const std::string& b, std::size_t at) {
  return le32_at(b, at) | (std::uint64_t{le32_at(b, at + 4)} << 32);
}

// The flags byte of the deleted Stream Extension entries of an exFAT image (type 0x40 right
// after a deleted File entry 0x05, valid data length equal to the data length), keyed by first
// cluster and data length. Bit 1 is NoFatChain.
inline std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint8_t> exfat_deleted_stream_flags(
    const std::string& image) {
  std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint8_t> flags;
  for (std::size_t at = 32; at + 32 <= image.size(); at += 32) {
    if (static_cast<std::uint8_t>(image[at]) != 0x40 || static_cast<std::uint8_t>(image[at - 32]) != 0x05) continue;
    const std::uint64_t length = le64_at(image, at + 24);
    if (le64_at(image, at + 8) != length) continue;
    flags[{le32_at(image, at + 20), length}] = static_cast<std::uint8_t>(image[at + 1]);
  }
  return flags;
}

inline constexpr std::uint8_t kNoFatChainFlag = 0x02;

}  // namespace kavel_test::service_acceptance
