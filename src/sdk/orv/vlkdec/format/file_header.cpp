#include "format/file_header.h"

#include "format/byte_order.h"

namespace orv::vlkdec {

bool has_file_magic(const uint8_t* bytes, size_t size) {
  return size >= 4 && load_u32(bytes) == file_magic;
}

std::optional<FileHeader> parse_file_header(const uint8_t* bytes, size_t size) {
  if (size < file_header_bytes || !has_file_magic(bytes, size) ||
      bytes[4] > max_file_version) {
    return std::nullopt;
  }
  FileHeader header{};
  header.version = bytes[4];
  header.channels = bytes[5];
  header.sample_rate = static_cast<uint16_t>(load_u16(bytes + 6));
  header.total_samples = load_u32(bytes + 8);
  header.max_block_size = load_u32(bytes + 12);
  header.file_size = load_u32(bytes + 16);
  const uint32_t seek_word = load_u32(bytes + 20);
  if (header.version == 2) {
    header.seek_entry_count = seek_word & max_v2_seek_entry_count;
    header.blocks_per_seek_entry = seek_word >> 16;
  } else {
    header.seek_entry_count = seek_word;
    header.blocks_per_seek_entry = 0;
  }
  return header;
}

std::array<uint8_t, file_header_bytes> write_file_header(
    const FileHeader& header) {
  std::array<uint8_t, file_header_bytes> out{};
  store_u32(&out[0], file_magic);
  out[4] = header.version;
  out[5] = header.channels;
  store_u16(&out[6], header.sample_rate);
  store_u32(&out[8], header.total_samples);
  store_u32(&out[12], header.max_block_size);
  store_u32(&out[16], header.file_size);
  uint32_t seek_word = header.seek_entry_count;
  if (header.version == 2) {
    seek_word = (header.seek_entry_count & max_v2_seek_entry_count) |
                (header.blocks_per_seek_entry & max_blocks_per_seek_entry)
                    << 16;
  }
  store_u32(&out[20], seek_word);
  return out;
}

}  // namespace orv::vlkdec
