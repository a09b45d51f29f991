// The seek table between the file header and the first block: the header's
// seek_entry_count 16-bit values, each the size in bytes of one stretch of
// consecutive blocks (of blocks_per_seek_entry blocks in version 2). The
// stretches follow each other from the first block on.
#ifndef ORV_VLKDEC_FORMAT_SEEK_TABLE_H
#define ORV_VLKDEC_FORMAT_SEEK_TABLE_H

#include <cstddef>
#include <cstdint>

#include "format/byte_order.h"
#include "format/file_header.h"

namespace orv::vlkdec {

constexpr uint32_t seek_entry_bytes = 2;
// A stretch size is a 16-bit field.
constexpr uint32_t max_seek_stretch_bytes = 0xFFFF;

// The file offset of the first block: right after the header and a table
// of `seek_entry_count` entries. Up to 2^33 + 22 for the 32-bit count of
// versions 0 and 1.
constexpr uint64_t data_start_for(uint32_t seek_entry_count) {
  return file_header_bytes + uint64_t{seek_entry_bytes} * seek_entry_count;
}
constexpr uint64_t data_start_for(const FileHeader& header) {
  return data_start_for(header.seek_entry_count);
}

// The stretch size stored as entry `index` of the table bytes at `table`.
constexpr uint32_t read_seek_entry(const uint8_t* table, size_t index) {
  return load_u16(table + seek_entry_bytes * index);
}

// Stores `stretch_bytes` (at most max_seek_stretch_bytes; higher bits are
// dropped) as entry `index` of the table bytes at `table`.
constexpr void write_seek_entry(uint8_t* table, size_t index,
                                uint32_t stretch_bytes) {
  store_u16(table + seek_entry_bytes * index, stretch_bytes);
}

}  // namespace orv::vlkdec

#endif
