#include "support/log_pages.h"

namespace kavel_test {

LogBytes::LogBytes(std::size_t pages) : bytes_(pages * kPage, kFill) {}

void LogBytes::grow(std::size_t end) {
  if (bytes_.size() < end) bytes_.resize(end, kFill);
}

void LogBytes::mark_page(std::size_t page, const char (&marker)[5]) {
  grow((page + 1) * kPage);
  for (std::size_t i = 0; i < 4; ++i) bytes_[page * kPage + i] = static_cast<std::uint8_t>(marker[i]);
}

void LogBytes::put_u16(std::size_t offset, std::uint16_t value) {
  grow(offset + 2);
  bytes_[offset] = static_cast<std::uint8_t>(value);
  bytes_[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void LogBytes::put_u64(std::size_t offset, std::uint64_t value) {
  grow(offset + 8);
  for (std::size_t i = 0; i < 8; ++i) bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void LogBytes::put_header(std::size_t offset, const LogHeader& h) {
  grow(offset + 32);
  put_u16(offset + 0x00, h.redo_operation);
  put_u16(offset + 0x02, h.undo_operation);
  put_u16(offset + 0x04, h.redo_offset);
  put_u16(offset + 0x06, h.redo_length);
  put_u16(offset + 0x14, h.cluster_block_offset);
  put_u16(offset + 0x16, h.record_divisor);
  put_u64(offset + 0x18, static_cast<std::uint64_t>(h.target_vcn));
}

std::size_t LogBytes::put_name(std::size_t offset, const LogName& name) {
  const std::size_t length = 0x42 + 2 * name.name.size();
  grow(offset + length);
  put_u64(offset, name.parent);
  put_u64(offset + 8, name.reference);
  // Where a $FILE_NAME value keeps its times and sizes: never zero on a real volume.
  for (std::size_t i = 0x10; i < 0x40; ++i) bytes_[offset + i] = kNameFill;
  bytes_[offset + 0x40] = static_cast<std::uint8_t>(name.name.size());
  bytes_[offset + 0x41] = name.name_space;
  for (std::size_t i = 0; i < name.name.size(); ++i) put_u16(offset + 0x42 + 2 * i, static_cast<unsigned char>(name.name[i]));
  return length;
}

std::vector<std::uint8_t> name_record_bytes(const LogName& name) {
  LogBytes b;
  const std::size_t length = b.put_name(0, name);
  b.bytes().resize(length);
  return b.bytes();
}

LogHeader LogBytes::deallocate(std::int64_t vcn, std::uint16_t block_offset, std::uint16_t divisor) {
  LogHeader h;
  h.redo_operation = 3;
  h.undo_operation = 2;
  h.redo_offset = 0x20;
  h.redo_length = 1;
  h.cluster_block_offset = block_offset;
  h.record_divisor = divisor;
  h.target_vcn = vcn;
  return h;
}

std::size_t LogBytes::put_named(std::size_t offset, std::uint16_t operation, const LogName& name,
                                std::uint16_t redo_offset) {
  const std::size_t length = put_name(offset + redo_offset, name);
  LogHeader h;
  h.redo_operation = operation;
  h.undo_operation = operation == 13 ? 12 : 5;
  h.redo_offset = redo_offset;
  h.redo_length = static_cast<std::uint16_t>(length);
  put_header(offset, h);
  return offset + redo_offset + length;
}

}  // namespace kavel_test
