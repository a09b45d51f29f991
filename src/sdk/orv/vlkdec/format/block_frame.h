// The frame in front of every block: a 16-bit sync word, then the 16-bit
// size of the payload that follows. Blocks follow each other with no gap,
// so the next frame header starts right after the payload. Nothing else
// marks a block: no index, no checksum.
#ifndef ORV_VLKDEC_FORMAT_BLOCK_FRAME_H
#define ORV_VLKDEC_FORMAT_BLOCK_FRAME_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/byte_order.h"

namespace orv::vlkdec {

constexpr uint16_t block_sync = 0x9999;
constexpr uint32_t block_frame_header_bytes = 4;
// The payload size is a 16-bit field.
constexpr uint32_t max_block_payload_bytes = 0xFFFF;
constexpr uint32_t max_whole_block_bytes =
    block_frame_header_bytes + max_block_payload_bytes;

// The payload size of the frame header at `frame`, which holds all four
// bytes; its sync word is not looked at.
constexpr uint32_t block_payload_size(const uint8_t* frame) {
  return load_u16(frame + 2);
}

// The payload size of the frame header at `bytes`, when the `available`
// bytes there hold a whole frame header that starts with the sync word;
// nothing otherwise. The size is not checked against any bound.
constexpr std::optional<uint32_t> read_block_frame(const uint8_t* bytes,
                                                   size_t available) {
  if (available < block_frame_header_bytes || load_u16(bytes) != block_sync) {
    return std::nullopt;
  }
  return block_payload_size(bytes);
}

// Whether the `available` bytes at `bytes` agree with a sync word as far
// as they go: the whole word from two bytes on, its first byte with one.
// No bytes agree with nothing.
constexpr bool agrees_with_block_sync(const uint8_t* bytes, size_t available) {
  if (available >= 2) return load_u16(bytes) == block_sync;
  return available == 1 && bytes[0] == (block_sync & 0xFF);
}

// Writes the frame header of a payload of `payload_size` bytes (at most
// max_block_payload_bytes; higher bits are dropped) at `frame`.
constexpr void write_block_frame(uint8_t* frame, uint32_t payload_size) {
  store_u16(frame, block_sync);
  store_u16(frame + 2, payload_size);
}

}  // namespace orv::vlkdec

#endif
