// A disk image held sparsely in memory: only the 4 KiB blocks that were written take memory,
// and saving writes a sparse file. Used by the volume builders for images of hundreds of MiB.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string_view>
#include <vector>

namespace kavel_test {

class SparseImage {
 public:
  explicit SparseImage(std::uint64_t size = 0) : size_(size) {}

  [[nodiscard]] std::uint64_t size() const { return size_; }
  // Grows or shrinks the image; bytes past a shrunken end are dropped.
  void resize(std::uint64_t size);

  // Writes bytes at an offset, growing the image when they end past it.
  void write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  void write_u8(std::uint64_t offset, std::uint8_t value);
  void write_u16(std::uint64_t offset, std::uint16_t value);
  void write_u32(std::uint64_t offset, std::uint32_t value);
  void write_u64(std::uint64_t offset, std::uint64_t value);
  void write_text(std::uint64_t offset, std::string_view text);

  // Bytes at an offset (unwritten bytes are 0; bytes past the end are left out).
  [[nodiscard]] std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) const;
  [[nodiscard]] std::uint8_t byte_at(std::uint64_t offset) const;

  // Writes the image to a file of exactly size() bytes with holes where nothing was written.
  void save(const std::filesystem::path& path) const;

 private:
  static constexpr std::uint64_t kBlock = 4096;
  std::uint64_t size_ = 0;
  std::map<std::uint64_t, std::vector<std::uint8_t>> blocks_;
};

}  // namespace kavel_test
