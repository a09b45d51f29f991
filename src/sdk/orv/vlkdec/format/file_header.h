// The 24-byte header at the start of every file. The seek table follows it
// (seek_table.h), then the framed blocks (block_frame.h).
#ifndef ORV_VLKDEC_FORMAT_FILE_HEADER_H
#define ORV_VLKDEC_FORMAT_FILE_HEADER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// max_block_size bounds a whole block, its frame header included.
#include "format/block_frame.h"

namespace orv::vlkdec {

constexpr uint32_t file_magic = 0x564C4B31;  // "1KLV" read little-endian
constexpr uint32_t max_file_version = 2;
constexpr uint32_t file_header_bytes = 24;
constexpr uint32_t max_channels = 8;
// The header stores the sample rate in 16 bits.
constexpr uint32_t max_sample_rate = 0xFFFF;
// Version 2 splits the seek word into two 16-bit fields.
constexpr uint32_t max_v2_seek_entry_count = 0xFFFF;
constexpr uint32_t max_blocks_per_seek_entry = 0xFFFF;
// Channels are decoded in pairs; an odd last channel forms a pair alone.
constexpr uint32_t max_pairs = (max_channels + 1) / 2;

// The header's fields, with the seek word split: for version 2 its low 16
// bits are the entry count and its high 16 bits the blocks per entry; for
// versions 0 and 1 the whole word is the entry count.
struct FileHeader {
  uint8_t version;
  uint8_t channels;
  uint16_t sample_rate;
  uint32_t total_samples;   // sample frames
  uint32_t max_block_size;  // bound on a whole block, frame header included
  uint32_t file_size;
  uint32_t seek_entry_count;
  uint32_t blocks_per_seek_entry;  // 0 for versions 0 and 1
};
static_assert(sizeof(FileHeader) == 24);

// Whether `bytes` start with the file magic: a Velk audio file, though
// perhaps of a version this code does not read.
bool has_file_magic(const uint8_t* bytes, size_t size);
// Parses the stored header. Nothing when fewer than 24 bytes are given, the
// magic is wrong or the version is above max_file_version; every other
// field is returned as stored, unchecked.
std::optional<FileHeader> parse_file_header(const uint8_t* bytes, size_t size);
// The 24 stored bytes of `header`, magic included. For version 2 the entry
// count and the blocks per entry each keep their low 16 bits.
std::array<uint8_t, file_header_bytes> write_file_header(
    const FileHeader& header);

}  // namespace orv::vlkdec

#endif
