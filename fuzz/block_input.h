// The input of the fuzz targets that drive one channel pair's block decoder
// without the stream around it (block_decoder, differential), so that one
// corpus serves both:
//
//   bytes 0-1    sample rate, u16 little-endian (0 is taken as 1); it picks
//                the frame length (512, 1024, 2048) and the band layout
//   byte 2       layout: bit 0 = channels in the pair (0: one, 1: two);
//                bit 1 = planar output (the flag of files of more than two
//                channels); bits 2-3 = how many bytes the payload starts
//                past a 4-byte boundary
//   then, up to max_sub_blocks times:
//     2 bytes    L, u16 little-endian: payload bytes of this sub-block
//     L bytes    the payload (fewer when the input ends first)
#ifndef ORV_FUZZ_BLOCK_INPUT_H
#define ORV_FUZZ_BLOCK_INPUT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "decoder/block_decoder.h"

namespace orv::fuzz {

struct SubBlockBytes {
  const uint8_t* bytes;
  size_t length;
};

struct BlockInput {
  static constexpr size_t max_sub_blocks = 16;

  uint32_t sample_rate;
  uint32_t channels;
  uint32_t flags;                         // the decoder's flags word
  size_t misalign;                        // 0 to 3
  std::vector<SubBlockBytes> sub_blocks;  // pointing into the input
};

// Nothing for fewer than three bytes.
inline std::optional<BlockInput> parse_block_input(const uint8_t* data,
                                                   size_t size) {
  if (size < 3) return std::nullopt;
  BlockInput input;
  input.sample_rate = uint32_t{data[0]} | uint32_t{data[1]} << 8;
  if (input.sample_rate == 0) input.sample_rate = 1;
  input.channels = (data[2] & 1) != 0 ? 2 : 1;
  input.flags = vlkdec::decoder_flag_separate_transforms |
                ((data[2] & 2) != 0 ? vlkdec::decoder_flag_planar : 0);
  input.misalign = (data[2] >> 2) & 3;
  for (size_t at = 3; input.sub_blocks.size() < BlockInput::max_sub_blocks &&
                      at + 2 <= size;) {
    size_t length = size_t{data[at]} | size_t{data[at + 1]} << 8;
    at += 2;
    if (length > size - at) length = size - at;
    input.sub_blocks.push_back({data + at, length});
    at += length;
  }
  return input;
}

}  // namespace orv::fuzz

#endif
