// Decoding of one channel pair's sub-block into 16-bit PCM.
#ifndef ORV_VLKDEC_DECODER_SYNTHESIS_H
#define ORV_VLKDEC_DECODER_SYNTHESIS_H

#include <cstdint>

#include "decoder/block_decoder.h"

namespace orv::vlkdec {

// One pair's sub-block: the payload bytes from `start` up to `end`, the end
// of the block's payload. Bytes at and after `end` read as zero.
struct SubBlock {
  const uint8_t* start;
  const uint8_t* end;
};

// Where a pair's output goes in a block's frame order: channel c of the
// pair, sample i, at first[i * stride + c].
struct FrameOrder {
  int16_t* first;
  uint32_t stride;
};

// The consumed length is reported in its low 29 bits. A payload is never
// longer than 65535 bytes, so the mask takes nothing away.
constexpr uint32_t consumed_length_mask = (1u << 29) - 1;

// Decodes `input` with `decoder` into block_bytes of PCM at `out` (16-byte
// aligned), crossfading with and then replacing the decoder's tail, the one
// part of the decoder that changes.
// `coeffs` is a 16-byte aligned work area of transform_count * n floats.
// A crossfade shift of 0 means no crossfade (the pair's first block);
// otherwise it is the decoder's overlap_shift. Returns the bytes of payload
// consumed (a multiple of 4), or 0 when start is not before end, in which
// case nothing is written.
uint32_t decode_sub_block(BlockDecoder& decoder, SubBlock input, float* coeffs,
                          int16_t* out, uint32_t crossfade_shift);

// decode_sub_block for a decoder of the planar layout (or of one channel),
// writing the pair's output straight into frame order, for the n - n/16
// samples per channel that are not held back. The samples are those
// decode_sub_block gives; only their places differ. The output needs no
// alignment.
uint32_t decode_sub_block_frames(BlockDecoder& decoder, SubBlock input,
                                 float* coeffs, FrameOrder out,
                                 uint32_t crossfade_shift);

// Blends the first bytes / 2 samples of `out` from `tail` into the new
// signal with a linear ramp of 2^shift steps.
void crossfade_overlap(int16_t* out, const int16_t* tail, uint32_t bytes,
                       uint32_t shift);

}  // namespace orv::vlkdec

#endif
