// One channel pair's decoder state and its setup.
#ifndef ORV_VLKDEC_DECODER_BLOCK_DECODER_H
#define ORV_VLKDEC_DECODER_BLOCK_DECODER_H

#include <cstdint>
#include <type_traits>

#include "format/bands.h"
#include "format/frame.h"

namespace orv::vlkdec {

// Flags word of a BlockDecoder.
constexpr uint32_t decoder_flag_separate_transforms = 1u;  // always set
constexpr uint32_t decoder_flag_planar = 2u;  // each channel as its own run

// Bytes of the fixed fields; the overlap tail follows them.
constexpr uint32_t block_decoder_fixed_bytes = 176;
// Decoder storage comes in whole 16-byte vectors, the unit in which the
// tail is read and written.
constexpr uint32_t block_decoder_alignment = 16;

// Bytes of decoder storage with a tail of `overlap_bytes`: the fixed fields,
// then the tail, rounded up to whole vectors. Every tail in use is a whole
// number of vectors already, so the size is fixed bytes + overlap_bytes.
constexpr uint32_t block_decoder_state_size_for_overlap(
    uint32_t overlap_bytes) {
  return (block_decoder_fixed_bytes + overlap_bytes + block_decoder_alignment -
          1) &
         ~(block_decoder_alignment - 1);
}

// Bytes of decoder storage for a pair of `channels` (1 or 2) channels:
// the fixed fields, then the tail, a sixteenth of the pair's block output
// (n * channels / 8 bytes).
constexpr uint32_t block_decoder_state_size(uint32_t sample_rate,
                                            uint32_t channels) {
  return block_decoder_state_size_for_overlap(
      frame_length_for_rate(sample_rate) * channels * bytes_per_sample / 16);
}

struct BlockDecoder {
  int16_t* tail;  // overlap_bytes of held-back output, 16-byte aligned
  const float* transform_table;
  uint32_t transform_length;        // n: coefficients and samples per channel
  float scale;                      // 2 / sqrt(n)
  uint32_t block_bytes;             // 2 * n * transform_count
  uint32_t overlap_bytes;           // block_bytes / 16, held back as the tail
  uint32_t overlap_shift;           // log2(overlap_bytes / 2)
  uint32_t transform_count;         // channels in the pair, 1 or 2
  int32_t first_block;              // 1 until the first sub-block is decoded
  uint32_t band_count;              // 0..25
  uint32_t transform_table_length;  // 2048
  uint32_t flags;
  uint32_t state_size;
  // Band j covers coefficients 2*band_edges[j] .. 2*band_edges[j+1]-1;
  // entry band_count is n / 2.
  uint32_t band_edges[max_band_count + 1];
};
static_assert(std::is_trivially_copyable_v<BlockDecoder>);
static_assert(sizeof(BlockDecoder) <= block_decoder_fixed_bytes);

// Initialises the decoder at the start of `storage` (16-byte aligned, at
// least block_decoder_state_size bytes) and returns it. The tail is cleared,
// so that every output is defined even before a sub-block has been decoded.
BlockDecoder* setup_block_decoder(void* storage, uint32_t sample_rate,
                                  uint32_t channels, uint32_t flags);

}  // namespace orv::vlkdec

#endif
