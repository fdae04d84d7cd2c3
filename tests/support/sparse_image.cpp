#include "support/sparse_image.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace kavel_test {

void SparseImage::resize(std::uint64_t size) {
  size_ = size;
  blocks_.erase(blocks_.lower_bound((size + kBlock - 1) / kBlock), blocks_.end());
}

void SparseImage::write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const std::uint64_t at = offset + done;
    auto& block = blocks_[at / kBlock];
    if (block.empty()) block.assign(kBlock, 0);
    const std::size_t within = static_cast<std::size_t>(at % kBlock);
    const std::size_t n = std::min<std::size_t>(kBlock - within, bytes.size() - done);
    std::copy_n(bytes.data() + done, n, block.data() + within);
    done += n;
  }
  if (offset + bytes.size() > size_) size_ = offset + bytes.size();
}

void SparseImage::write_u8(std::uint64_t offset, std::uint8_t value) { write(offset, std::span(&value, 1)); }

void SparseImage::write_u16(std::uint64_t offset, std::uint16_t value) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
  write(offset, b);
}

void SparseImage::write_u32(std::uint64_t offset, std::uint32_t value) {
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(value >> (8 * i));
  write(offset, b);
}

void SparseImage::write_u64(std::uint64_t offset, std::uint64_t value) {
  std::uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(value >> (8 * i));
  write(offset, b);
}

void SparseImage::write_text(std::uint64_t offset, std::string_view text) {
  write(offset, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::uint8_t SparseImage::byte_at(std::uint64_t offset) const {
  const auto it = blocks_.find(offset / kBlock);
  if (it == blocks_.end()) return 0;
  return it->second[static_cast<std::size_t>(offset % kBlock)];
}

std::vector<std::uint8_t> SparseImage::read(std::uint64_t offset, std::size_t length) const {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < length && offset + i < size_; ++i) out.push_back(byte_at(offset + i));
  return out;
}

void SparseImage::save(const std::filesystem::path& path) const {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path.string());
    for (const auto& [index, block] : blocks_) {
      const std::uint64_t at = index * kBlock;
      if (at >= size_) break;
      const std::uint64_t n = std::min<std::uint64_t>(kBlock, size_ - at);
      out.seekp(static_cast<std::streamoff>(at));
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  std::filesystem::resize_file(path, size_);
}

}  // namespace kavel_test
